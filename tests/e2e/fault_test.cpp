// Faults around the daemon: it is killed outright, its disk fills up, its
// database is unusable, its script directory disappears, and clients leave
// before their answers.
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "harness.hpp"

namespace fs = std::filesystem;

namespace {

using e2e::Client;
using e2e::Daemon;
using e2e::ScriptSpec;
using e2e::errors_of;
using e2e::exec;
using e2e::first_code;
using e2e::first_error;
using e2e::result_of;
using e2e::state_of;
using e2e::str;
using e2e::text_of;

json_ptr get(Client &c, const std::string &id, bool peek = false) {
    return c.call("get", json_pack("{s:[s], s:b}", "properties", "state", "peek", peek), id);
}

bool alive(pid_t pid) { return kill(pid, 0) == 0; }

std::vector<pid_t> read_pids(const std::string &path) {
    std::istringstream in(e2e::read_file(path));
    std::vector<pid_t> pids;
    pid_t p;
    while (in >> p)
        pids.push_back(p);
    return pids;
}

size_t count_of(const std::string &haystack, const std::string &needle) {
    size_t n = 0;
    for (size_t pos = haystack.find(needle); pos != std::string::npos; pos = haystack.find(needle, pos + 1))
        n++;
    return n;
}

class Fault : public e2e::DaemonTest {
  protected:
    // As start, for an instance that logs to a file outside the sandbox.
    void start_logging_to(const std::string &log_file) {
        ASSERT_TRUE(spawn({"-f", "-l", log_file}));
        ASSERT_TRUE(e2e::wait_until(
            [&] { return e2e::read_file(log_file).find("Start-up complete") != std::string::npos; }, 15000))
            << e2e::read_file(log_file) << d_->log();
    }
};

TEST_F(Fault, KilledDaemonsRecordsBecomeLostAndItsGroupsAreRemoved) {
    std::string pids = sb_->root + "/pids", gate = sb_->root + "/gate";
    std::string waiter = sb_->add_script(
        {.name = "waiter", .body = "echo $$ >> " + pids + "; while [ ! -e " + gate + " ]; do sleep 0.05; done"});
    std::string quick = sb_->add_script({.name = "quick", .body = "echo done"});
    ASSERT_NO_FATAL_FAILURE(start());
    Client c;
    std::vector<std::string> running;
    for (int i = 0; i < 3; i++) {
        running.push_back(e2e::new_uuid());
        EXPECT_EQ(state_of(exec(c, {waiter}, true, running.back())), "RUNNING");
    }
    // A finished command nobody has collected yet keeps its state.
    std::string finished = e2e::new_uuid();
    exec(c, {quick}, true, finished);
    ASSERT_TRUE(e2e::wait_until([&] { return state_of(get(c, finished, true)) == "COMPLETE"; }, 10000));
    ASSERT_TRUE(e2e::wait_until([&] { return read_pids(pids).size() == 3; }, 10000));

    pid_t old_pid = d_->pid();
    std::string subtree = sb_->cgroup().empty() ? "" : sb_->cgroup() + "/tuvod." + std::to_string(old_pid);
    d_->signal(SIGKILL);
    EXPECT_EQ(d_->wait_exit(), 128 + SIGKILL);

    // The scripts outlive the daemon and stay inside its groups: nothing of
    // a command escaped while its daemon was gone.
    std::vector<pid_t> orphans = read_pids(pids);
    for (pid_t p : orphans)
        EXPECT_TRUE(alive(p)) << p;
    if (!subtree.empty()) {
        std::vector<pid_t> contained;
        for (const auto &g : e2e::subdirs(subtree))
            for (pid_t p : e2e::cgroup_procs(subtree + "/" + g))
                contained.push_back(p);
        for (pid_t p : orphans)
            EXPECT_NE(std::find(contained.begin(), contained.end(), p), contained.end()) << p;
    }

    ASSERT_NO_FATAL_FAILURE(start({"-f", "-v"}));
    Client c2;
    json_ptr all = c2.call("list", json_object());
    EXPECT_EQ(json_object_size(result_of(all)), 4u) << text_of(all);
    for (const auto &id : running)
        EXPECT_STREQ(str(result_of(all), id.c_str()), "LOST") << text_of(all);
    EXPECT_STREQ(str(result_of(all), finished.c_str()), "COMPLETE");
    // A lost record is finished: a get collects it like any other.
    for (const auto &id : running)
        EXPECT_EQ(state_of(get(c2, id)), "LOST");
    EXPECT_EQ(state_of(get(c2, finished)), "COMPLETE");
    EXPECT_EQ(json_object_size(result_of(c2.call("list", json_object()))), 0u);

    // Start-up removes the dead instance's groups and ends what still ran
    // in them, so no script of a lost command goes on unseen.
    auto gone = [](pid_t p) {
        std::string stat = e2e::read_file("/proc/" + std::to_string(p) + "/stat");
        auto close = stat.rfind(')');
        return close == std::string::npos || stat.compare(close + 1, 3, " Z ") == 0;
    };
    EXPECT_TRUE(e2e::wait_until([&] { return std::all_of(orphans.begin(), orphans.end(), gone); }, 10000));
    if (!subtree.empty()) {
        EXPECT_FALSE(fs::exists(subtree));
        EXPECT_NE(d_->log().find("/tuvod." + std::to_string(old_pid) + " ("), std::string::npos) << d_->log();
        EXPECT_NE(d_->log().find("Removed process groups of a stopped instance in "),
                  std::string::npos)
            << d_->log();
    }
}

// A small file system mounted over a fixed path for the life of the object.
class scoped_tmpfs {
  public:
    scoped_tmpfs(const std::string &where, const std::string &size) : where_(where) {
        ok_ = mount("tmpfs", where.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
    }
    ~scoped_tmpfs() {
        if (ok_)
            umount2(where_.c_str(), MNT_DETACH);
    }
    scoped_tmpfs(const scoped_tmpfs &) = delete;
    scoped_tmpfs &operator=(const scoped_tmpfs &) = delete;
    bool ok() const { return ok_; }

  private:
    std::string where_;
    bool ok_ = false;
};

// Writes path until the file system is full; true when it filled.
bool fill(const std::string &path) {
    std::FILE *f = std::fopen(path.c_str(), "w");
    if (f == nullptr)
        return false;
    std::string block(4096, 'x');
    bool full = false;
    for (int i = 0; i < 1 << 20 && !full; i++)
        full = std::fwrite(block.data(), 1, block.size(), f) != block.size() || std::fflush(f) != 0;
    std::fclose(f);
    return full;
}

TEST_F(Fault, FullDiskFailsRequestsClearlyAndServiceResumes) {
    std::string marker = sb_->root + "/ran";
    std::string touch = sb_->add_script({.name = "touch", .body = "echo x >> " + marker + "; echo ran"});
    std::string gate = sb_->root + "/gate";
    std::string waiter =
        sb_->add_script({.name = "waiter", .body = "while [ ! -e " + gate + " ]; do sleep 0.05; done; echo waited"});
    scoped_tmpfs cache("/var/cache", "1m"), logs("/var/log/orrvik", "1m");
    ASSERT_TRUE(cache.ok() && logs.ok()) << strerror(errno);
    const std::string log_file = "/var/log/orrvik/tuvod.log";
    ASSERT_NO_FATAL_FAILURE(start_logging_to(log_file));
    Client c;
    EXPECT_EQ(state_of(exec(c, {touch})), "COMPLETE");

    // Full logs alone cost log lines, never a command or its answer.
    ASSERT_TRUE(fill("/var/log/orrvik/filler"));
    for (bool async : {false, true}) {
        std::string id = e2e::new_uuid();
        json_ptr r = exec(c, {touch}, async, id);
        EXPECT_EQ(json_array_size(errors_of(r)), 0u) << text_of(r);
        if (async)
            EXPECT_TRUE(e2e::wait_until([&] { return state_of(get(c, id)) == "COMPLETE"; }, 10000));
        else
            EXPECT_STREQ(str(json_object_get(result_of(r), "output"), "stdout"), "ran\n") << text_of(r);
    }

    // Commands that were already running when the database filled up.
    std::string running_async = e2e::new_uuid(), running_sync = e2e::new_uuid();
    EXPECT_EQ(state_of(exec(c, {waiter}, true, running_async)), "RUNNING");
    json_ptr sync_answer;
    std::thread sync_runner([&] {
        Client own;
        sync_answer = exec(own, {waiter}, false, running_sync);
    });
    ASSERT_TRUE(e2e::wait_until(
        [&] { return json_object_size(result_of(c.call("list", json_pack("{s:s}", "state", "RUNNING")))) == 2; },
        10000));

    ASSERT_TRUE(fill("/var/cache/filler"));
    sb_->write(gate, "");
    sync_runner.join();
    // The synchronous requester still gets the output, and is told that
    // the record could not be completed.
    json_t *sync_result = result_of(sync_answer);
    EXPECT_STREQ(str(json_object_get(sync_result, "output"), "stdout"), "waited\n") << text_of(sync_answer);
    EXPECT_NE(text_of(sync_answer).find("Failed to mark command as complete in the DB"), std::string::npos)
        << text_of(sync_answer);

    // Each request either does all it says or fails with an error entry;
    // none is answered as a success that was not recorded.
    int refused = 0, completed = 0;
    std::string first_refusal;
    std::vector<std::string> async_ids;
    for (int i = 0; i < 20; i++) {
        std::string id = e2e::new_uuid();
        bool async = i % 2 == 1;
        json_ptr r = exec(c, {touch}, async, id);
        ASSERT_TRUE(r) << "no answer while the disk is full";
        std::string state = state_of(r);
        if (json_array_size(errors_of(r)) > 0) {
            if (refused++ == 0)
                first_refusal = text_of(r);
            EXPECT_NE(state, "COMPLETE") << text_of(r);
            EXPECT_NE(state, "RUNNING") << text_of(r);
            EXPECT_NE(text_of(r).find("full"), std::string::npos) << text_of(r);
        } else if (async) {
            EXPECT_EQ(state, "RUNNING") << text_of(r);
            async_ids.push_back(id);
        } else {
            completed++;
            EXPECT_EQ(state, "COMPLETE") << text_of(r);
        }
    }
    std::printf("[ FIGURES  ] disk full: %d of 20 executes refused, %d synchronous completed, %zu "
                "asynchronous started\n",
                refused, completed, async_ids.size());
    std::printf("[ FIGURES  ] first refusal: %s\n", first_refusal.c_str());
    EXPECT_GT(refused, 0);
    // A read still works, and the process is still there.
    EXPECT_TRUE(json_is_object(result_of(c.call("list", json_object()))));

    // Space returns: everything works again, and what was started can be
    // collected or cleared.
    std::remove("/var/cache/filler");
    std::remove("/var/log/orrvik/filler");
    std::string id = e2e::new_uuid();
    json_ptr ok = exec(c, {touch}, false, id);
    EXPECT_EQ(state_of(ok), "COMPLETE") << text_of(ok);
    EXPECT_EQ(json_array_size(errors_of(ok)), 0u) << text_of(ok);
    // An asynchronous run that finished while the disk was full keeps trying
    // to record its outcome, so it is not left "RUNNING".
    EXPECT_TRUE(e2e::wait_until(
        [&] { return state_of(c.call("get", json_pack("{s:[s], s:b}", "properties", "state", "peek", 1),
                                     running_async)) == "COMPLETE"; },
        40000));
    json_ptr all = c.call("list", json_object());
    std::printf("[ FIGURES  ] records left once space returned: %s\n", text_of(all).c_str());
    const char *key;
    json_t *value;
    json_object_foreach(result_of(all), key, value) {
        json_ptr cleared = c.call("clear", json_pack("{s:b}", "force", 1), key);
        EXPECT_EQ(json_array_size(errors_of(cleared)), 0u) << key << ": " << text_of(cleared);
    }
    EXPECT_EQ(json_object_size(result_of(c.call("list", json_object()))), 0u);
    EXPECT_NE(e2e::read_file("/var/log/orrvik/tuvod_exec.log").find(id), std::string::npos);
    d_->stop();
    d_.reset();
}

TEST_F(Fault, UnusableDatabaseRefusesStartUp) {
    sb_->add_script({.name = "quick", .body = "exit 0"});
    std::string db = sb_->cache_dir + "/tuvod.db";
    std::string garbage;
    for (int i = 0; i < 4096; i++)
        garbage.push_back(static_cast<char>(i * 7 + 3));
    struct {
        const char *what;
        std::function<void()> prepare;
    } cases[] = {
        {"not a database", [&] { sb_->write(db, garbage); }},
        {"a directory", [&] { fs::create_directory(db); }},
        {"a link to nowhere", [&] { fs::create_symlink("/nonexistent/dir/tuvod.db", db); }},
    };
    for (auto &tc : cases) {
        SCOPED_TRACE(tc.what);
        std::error_code ec;
        fs::remove_all(db, ec);
        tc.prepare();
        sb_->write(sb_->root + "/daemon.out", "");
        Daemon d(*sb_);
        ASSERT_TRUE(d.start());
        EXPECT_EQ(d.wait_exit(), 1) << d.log();
        EXPECT_NE(d.log().find("Failed to initialise command database."), std::string::npos) << d.log();
        EXPECT_EQ(d.log().find("Start-up complete"), std::string::npos);
    }
    // The broken file is left as it was for someone to look at.
    fs::remove(db);
    sb_->write(db, garbage);
    sb_->write(sb_->root + "/daemon.out", "");
    Daemon d(*sb_);
    ASSERT_TRUE(d.start());
    EXPECT_EQ(d.wait_exit(), 1);
    EXPECT_EQ(e2e::read_file(db), garbage);
}

TEST_F(Fault, VanishingScriptDirectoryKeepsTheLoadedScripts) {
    std::string keep = sb_->add_script({.name = "keep", .body = "echo kept"});
    ASSERT_NO_FATAL_FAILURE(start());
    Client c;
    const std::string away = sb_->scripts_dir + ".away";

    // Gone before the reload reads it.
    fs::rename(sb_->scripts_dir, away);
    d_->signal(SIGHUP);
    ASSERT_TRUE(e2e::wait_until([&] { return d_->log().find("re-load script") != std::string::npos ||
                                             d_->log().find("Re-loaded script") != std::string::npos; },
                                10000))
        << d_->log();
    EXPECT_EQ(state_of(exec(c, {keep})), "COMPLETE") << d_->log();
    fs::rename(away, sb_->scripts_dir);

    // Going and coming back while reloads run and commands keep arriving.
    std::atomic<bool> stop{false};
    std::thread flapper([&] {
        for (int i = 0; i < 300 && !stop; i++) {
            std::error_code ec;
            fs::rename(i % 2 == 0 ? sb_->scripts_dir : away, i % 2 == 0 ? away : sb_->scripts_dir, ec);
            d_->signal(SIGHUP);
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
        std::error_code ec;
        fs::rename(away, sb_->scripts_dir, ec);
    });
    int runs = 0;
    for (; runs < 150; runs++) {
        json_ptr r = exec(c, {keep});
        ASSERT_EQ(state_of(r), "COMPLETE") << "run " << runs << ": " << text_of(r);
    }
    stop = true;
    flapper.join();

    // A new script in the restored directory is picked up by a reload. (The
    // log folds repeats of one message, so the reload is seen by its effect.)
    std::string added = sb_->add_script({.name = "added", .body = "echo added"});
    d_->signal(SIGHUP);
    EXPECT_TRUE(e2e::wait_until([&] { return state_of(exec(c, {added})) == "COMPLETE"; }, 10000)) << d_->log();
    EXPECT_EQ(state_of(exec(c, {keep})), "COMPLETE");
}

TEST_F(Fault, ClientsThatLeaveBeforeTheirAnswers) {
    std::string started = sb_->root + "/started", gate = sb_->root + "/gate";
    std::string slow = sb_->add_script(
        {.name = "slow", .body = "echo x >> " + started + "; while [ ! -e " + gate + " ]; do sleep 0.05; done; echo out"});
    std::string quick = sb_->add_script({.name = "quick", .body = "echo quick"});
    ASSERT_NO_FATAL_FAILURE(start());

    // A synchronous request whose client is gone when the script ends.
    {
        Client leaver;
        json_ptr req(json_pack("{s:s, s:s, s:s, s:o}", "requestUUID", e2e::new_uuid().c_str(), "authority", "test",
                               "op", "execute", "args", e2e::exec_args({slow}, false).release()));
        cstr_ptr text(json_dumps(req.get(), JSON_COMPACT));
        ASSERT_TRUE(leaver.send_raw(std::string(text.get()) + '\0'));
        ASSERT_TRUE(e2e::wait_until([&] { return !e2e::read_file(started).empty(); }, 10000));
    }
    // A legacy client that leaves while its command runs.
    {
        unique_fd fd = e2e::legacy_connect();
        ASSERT_TRUE(fd);
        auto length = static_cast<uint32_t>(slow.size());
        ASSERT_TRUE(e2e::legacy_send(fd.get(), std::string(reinterpret_cast<char *>(&length), 4) + slow));
        ASSERT_TRUE(e2e::wait_until([&] { return e2e::read_file(started).size() == 4; }, 10000));
    }
    // Many that send and leave at once.
    for (int i = 0; i < 30; i++) {
        Client leaver;
        json_ptr req(json_pack("{s:s, s:s, s:s, s:o}", "requestUUID", e2e::new_uuid().c_str(), "authority", "test",
                               "op", "execute", "args", e2e::exec_args({quick}, false).release()));
        cstr_ptr text(json_dumps(req.get(), JSON_COMPACT));
        leaver.send_raw(std::string(text.get()) + '\0');
    }
    sb_->write(gate, "");

    // The daemon goes on answering both protocols, and the records of the
    // abandoned synchronous commands are retired as if answered.
    Client c;
    json_ptr r = exec(c, {quick});
    EXPECT_EQ(state_of(r), "COMPLETE") << text_of(r);
    e2e::LegacyAnswer a = e2e::legacy_call(quick);
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.data, "quick\n");
    EXPECT_TRUE(e2e::wait_until(
        [&] { return json_object_size(result_of(c.call("list", json_object()))) == 0; }, 10000))
        << text_of(c.call("list", json_object()));
    std::string exec_log = e2e::read_file(sb_->log_dir + "/tuvod_exec.log");
    EXPECT_GE(count_of(exec_log, "\"slow\""), 2u);
}

} // namespace
