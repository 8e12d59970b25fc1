// The daemon under floods: a pipelined flood held back by the bounded job
// queue, asynchronous runs bounded and refused unrecorded beyond the limit,
// waiting runs of a non-concurrent script that hold no thread and never
// overlap (reloads included), huge outputs shortened yet recorded, every
// run in the execution log however soon its row is retired, and the runs
// still going at shutdown recorded "LOST".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "harness.hpp"

namespace {

using e2e::Client;
using e2e::errors_of;
using e2e::exec;
using e2e::first_code;
using e2e::first_error;
using e2e::result_of;
using e2e::state_of;
using e2e::str;
using e2e::text_of;

// A raw request/reply peer speaking the scalability protocols' TCP framing
// by hand, so it can pipeline requests without waiting for answers.
class RawPeer {
  public:
    bool connect_to(uint16_t port) {
        fd_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        struct sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (!fd_ || connect(fd_.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
            return false;
        // Header: 0, 'S', 'P', version 0, protocol 48 (a requester), two reserved bytes.
        static const char hello[8] = {0, 'S', 'P', 0, 0, 48, 0, 0};
        char peer[8];
        return send_all(hello, sizeof hello) && recv_all(peer, sizeof peer, 10000);
    }

    // One message: 64-bit length, then the request identifier (top bit set) and the body.
    bool send_request(uint32_t id, const std::string &body) {
        std::string frame(8 + 4, '\0');
        uint64_t len = 4 + body.size();
        for (int i = 0; i < 8; i++)
            frame[i] = static_cast<char>(len >> (56 - 8 * i));
        uint32_t tag = id | 0x80000000u;
        for (int i = 0; i < 4; i++)
            frame[8 + i] = static_cast<char>(tag >> (24 - 8 * i));
        return send_all(frame.data(), frame.size()) && send_all(body.data(), body.size());
    }

    // The body of the next answer, or none after timeout_ms without one.
    std::optional<std::string> recv_answer(int timeout_ms) {
        unsigned char head[8];
        if (!recv_all(reinterpret_cast<char *>(head), sizeof head, timeout_ms))
            return std::nullopt;
        uint64_t len = 0;
        for (unsigned char b : head)
            len = len << 8 | b;
        if (len < 4 || len > (1u << 30))
            return std::nullopt;
        std::string msg(len, '\0');
        if (!recv_all(msg.data(), msg.size(), timeout_ms))
            return std::nullopt;
        return msg.substr(4);
    }

    // Bytes received and not yet read.
    int pending_bytes() const {
        int n = 0;
        return ioctl(fd_.get(), FIONREAD, &n) == 0 ? n : -1;
    }

  private:
    bool send_all(const char *p, size_t n) {
        while (n > 0) {
            ssize_t k = send(fd_.get(), p, n, MSG_NOSIGNAL);
            if (k <= 0)
                return false;
            p += k;
            n -= static_cast<size_t>(k);
        }
        return true;
    }
    bool recv_all(char *p, size_t n, int timeout_ms) {
        while (n > 0) {
            struct pollfd pfd = {fd_.get(), POLLIN, 0};
            if (poll(&pfd, 1, timeout_ms) <= 0)
                return false;
            ssize_t k = recv(fd_.get(), p, n, 0);
            if (k <= 0)
                return false;
            p += k;
            n -= static_cast<size_t>(k);
        }
        return true;
    }
    unique_fd fd_;
};

class Bounded : public e2e::DaemonTest {
  protected:
    void prepare() override { gate_ = sb_->root + "/gate"; }

    // A script that waits for the gate file, then prints its tag.
    std::string add_waiter(const std::string &name, bool concurrent) {
        return sb_->add_script({.name = name,
                                .body = "while [ ! -e " + gate_ + " ]; do sleep 0.05; done; echo \"$1\"",
                                .timeout = 60,
                                .concurrent = concurrent});
    }

    json_ptr get(Client &c, const std::string &uuid, bool peek = true) {
        return c.call("get", json_pack("{s:[s,s,s], s:b}", "properties", "state", "output", "errors", "peek", peek),
                      uuid);
    }

    std::string wait_finished(Client &c, const std::string &uuid, int timeout_ms = 30000) {
        std::string state;
        e2e::wait_until(
            [&] {
                state = state_of(get(c, uuid));
                return state != "RUNNING";
            },
            timeout_ms);
        return state;
    }

    bool listed_running(Client &c, const std::string &id) {
        json_ptr r = c.call("list", json_pack("{s:s}", "state", "RUNNING"));
        return json_object_get(result_of(r), id.c_str()) != nullptr;
    }

    // Groups of the daemon's commands that hold a process now.
    size_t busy_groups() {
        size_t n = 0;
        for (const auto &sub : e2e::subdirs(sb_->cgroup()))
            if (sub.find('/') != std::string::npos && !e2e::cgroup_procs(sb_->cgroup() + "/" + sub).empty())
                n++;
        return n;
    }

    std::string gate_;
};

TEST_F(Bounded, PipelinedFloodIsHeldBackAndEveryRequestAnswered) {
    std::string waiter = add_waiter("waiter", true);
    ASSERT_NO_FATAL_FAILURE(start());
    // Every worker busy with a run that waits for the gate.
    std::vector<std::thread> busy;
    for (int i = 0; i < 8; i++)
        busy.emplace_back([&, i] {
            Client own("tcp://127.0.0.1:5557", 120000);
            exec(own, {waiter, "w" + std::to_string(i)}, false);
        });
    Client c;
    bool all_busy = e2e::wait_until([&] { return busy_groups() == 8; }, 20000);
    if (!all_busy) {
        sb_->write(gate_, "");
        for (auto &t : busy)
            t.join();
        FAIL() << "the workers did not all start their runs";
    }

    e2e::reset_peak_rss(d_->pid());
    long before_kib = e2e::proc_status_kib(d_->pid(), "VmRSS:");
    constexpr int n_flood = 600;
    // The text ends at its first NUL: the rest only fills the message.
    std::string pad(1000000 - 100, 'x');
    RawPeer peer;
    ASSERT_TRUE(peer.connect_to(5557));
    std::atomic<int> sent{0}, answered{0};
    std::thread sender([&] {
        for (int i = 0; i < n_flood; i++) {
            std::string body = "{\"requestUUID\":\"flood-" + std::to_string(i) +
                               "\",\"authority\":\"test\",\"op\":\"list\",\"args\":{\"cmd\":\"none\"}}";
            body += '\0';
            body += pad;
            if (!peer.send_request(static_cast<uint32_t>(i), body))
                return;
            sent++;
        }
    });
    std::thread reader([&] {
        while (answered < n_flood && peer.recv_answer(60000))
            answered++;
    });
    // While the workers are busy, the flood stalls in the transport.
    EXPECT_FALSE(e2e::wait_until([&] { return sent.load() == n_flood; }, 5000)) << "nothing held the flood back";
    int sent_while_busy = sent;

    auto t0 = std::chrono::steady_clock::now();
    sb_->write(gate_, "");
    for (auto &t : busy)
        t.join();
    auto t1 = std::chrono::steady_clock::now();
    sender.join();
    auto t2 = std::chrono::steady_clock::now();
    reader.join();
    auto t3 = std::chrono::steady_clock::now();
    auto secs = [](auto a, auto b) { return std::chrono::duration<double>(b - a).count(); };
    std::printf("[ FIGURES  ] busy runs ended after %.2f s, flood sent after %.2f s, answered after %.2f s\n",
                secs(t0, t1), secs(t0, t2), secs(t0, t3));
    long peak_kib = e2e::proc_status_kib(d_->pid(), "VmHWM:");
    std::printf("[ FIGURES  ] flood of %d x 1 MB: %d sent while the workers were busy, %d answered; "
                "VmRSS %ld KiB before, VmHWM %ld KiB\n",
                n_flood, sent_while_busy, answered.load(), before_kib, peak_kib);
    EXPECT_EQ(sent.load(), n_flood);
    EXPECT_EQ(answered.load(), n_flood);
    // Under the sanitizers freed memory sits in a quarantine, so the
    // resident size says nothing there.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(peak_kib, 160 * 1024);
#endif
    json_ptr later = c.call("list", json_object());
    EXPECT_TRUE(later && json_array_size(errors_of(later)) == 0) << text_of(later);
}

// A peer that pipelines requests with large answers and reads nothing for a
// while still gets every answer once it reads: replies wait for a backed-up
// connection instead of being dropped.
TEST_F(Bounded, PipelinedPeerThatReadsLateGetsEveryAnswer) {
    std::string big = sb_->add_script({.name = "big", .body = "head -c 1000000 /dev/zero | tr '\\0' x"});
    ASSERT_NO_FATAL_FAILURE(start());
    Client c;
    std::string id = e2e::new_uuid();
    ASSERT_EQ(state_of(exec(c, {big}, true, id)), "RUNNING");
    ASSERT_EQ(wait_finished(c, id), "COMPLETE");

    constexpr int n_gets = 150;
    RawPeer peer;
    ASSERT_TRUE(peer.connect_to(5557));
    for (int i = 0; i < n_gets; i++)
        ASSERT_TRUE(peer.send_request(static_cast<uint32_t>(i),
                                      "{\"requestUUID\":\"" + id + "\",\"authority\":\"test\",\"op\":\"get\","
                                      "\"args\":{\"properties\":[\"output\"],\"peek\":true}}"));
    // Far more answers than the connection can buffer are due: wait until
    // it is backed up and the daemon has done all it can meanwhile.
    EXPECT_TRUE(e2e::wait_until([&] { return peer.pending_bytes() >= 65536; }, 30000));
    EXPECT_TRUE(e2e::wait_until_idle(d_->pid(), 500, 60000));
    int answered = 0;
    while (answered < n_gets) {
        std::optional<std::string> answer = peer.recv_answer(30000);
        if (!answer)
            break;
        EXPECT_NE(answer->find("xxxxxxxxxx"), std::string::npos);
        answered++;
    }
    EXPECT_EQ(answered, n_gets);
}

TEST_F(Bounded, AsynchronousRunsBeyondTheLimitAreRefusedUnrecorded) {
    std::string hold = add_waiter("hold", true);
    write_config("{\"maxAsyncRuns\": 16}");
    ASSERT_NO_FATAL_FAILURE(start());
    Client c;
    int threads_before = e2e::proc_thread_count(d_->pid());
    std::vector<std::string> running, refused;
    for (int i = 0; i < 40; i++) {
        std::string id = e2e::new_uuid();
        json_ptr r = exec(c, {hold, "a" + std::to_string(i)}, true, id);
        if (state_of(r) == "RUNNING") {
            running.push_back(id);
            continue;
        }
        EXPECT_EQ(state_of(r), "FAILED") << text_of(r);
        EXPECT_EQ(first_code(r), 11) << text_of(r);
        EXPECT_NE(first_error(r).find("Too many commands are running"), std::string::npos) << text_of(r);
        refused.push_back(id);
    }
    EXPECT_EQ(running.size(), 16u);
    EXPECT_EQ(refused.size(), 24u);
    EXPECT_LE(e2e::proc_thread_count(d_->pid()), threads_before + 16);
    for (const auto &id : refused)
        EXPECT_NE(json_array_size(errors_of(get(c, id))), 0u) << "a refused run was recorded";

    sb_->write(gate_, "");
    for (const auto &id : running)
        EXPECT_EQ(wait_finished(c, id), "COMPLETE");
    // With the runs collected, the slots are free again.
    for (const auto &id : running)
        get(c, id, false);
    EXPECT_EQ(state_of(exec(c, {hold, "again"}, true)), "RUNNING");
}

TEST_F(Bounded, WaitingRunsOfANonConcurrentScriptHoldNoThreadAndNeverOverlap) {
    std::string marks = sb_->root + "/marks";
    std::string serial = sb_->add_script(
        {.name = "serial",
         .body = "echo \"s $1\" >> " + marks + "; while [ ! -e " + gate_ + " ]; do sleep 0.05; done; sleep 0.2; echo \"e $1\" >> " + marks,
         .timeout = 60,
         .concurrent = false});
    // The reload's debug line shows when the new list is in force.
    ASSERT_NO_FATAL_FAILURE(start({"-f", "-d", "General"}));
    Client c;
    int threads_before = e2e::proc_thread_count(d_->pid());
    std::vector<std::string> ids;
    for (int i = 0; i < 6; i++) {
        ids.push_back(e2e::new_uuid());
        EXPECT_EQ(state_of(exec(c, {serial, std::to_string(i)}, true, ids.back())), "RUNNING");
        if (i == 2) {
            // A reload with runs going and waiting: the new record shares the gate.
            d_->signal(SIGHUP);
            ASSERT_TRUE(e2e::wait_until(
                [&] {
                    std::string log = d_->log();
                    return log.find("Re-loaded script configuraton") != std::string::npos ||
                           log.find("instances of serial script to finish") != std::string::npos;
                },
                20000));
        }
    }
    // One run, one thread; the rest wait without one.
    EXPECT_LE(e2e::proc_thread_count(d_->pid()), threads_before + 1);
    sb_->write(gate_, "");
    for (const auto &id : ids)
        EXPECT_EQ(wait_finished(c, id), "COMPLETE");
    std::istringstream in(e2e::read_file(marks));
    std::string kind, tag, open;
    int starts = 0;
    while (in >> kind >> tag) {
        if (kind == "s") {
            EXPECT_EQ(open, "") << "run " << tag << " started while " << open << " ran";
            open = tag;
            starts++;
        } else {
            EXPECT_EQ(open, tag);
            open.clear();
        }
    }
    EXPECT_EQ(starts, 6);
}

TEST_F(Bounded, HugeControlOutputIsShortenedAndStillRecorded) {
    std::string noisy = sb_->add_script(
        {.name = "noisy", .body = "head -c 200000000 /dev/zero | tr '\\000' '\\001'", .timeout = 300});
    ASSERT_NO_FATAL_FAILURE(start());
    Client c("tcp://127.0.0.1:5557", 300000);
    std::string id = e2e::new_uuid();
    e2e::reset_peak_rss(d_->pid());
    ASSERT_EQ(state_of(exec(c, {noisy}, true, id)), "RUNNING");
    // Watched by listing: reading the row back would cost more than running it.
    ASSERT_TRUE(e2e::wait_until([&] { return busy_groups() == 0 && !listed_running(c, id); }, 300000));
    long peak_kib = e2e::proc_status_kib(d_->pid(), "VmHWM:");
    json_ptr r = get(c, id, false);
    json_t *res = result_of(r);
    EXPECT_EQ(state_of(r), "COMPLETE");
    size_t kept = json_string_length(json_object_get(json_object_get(res, "output"), "stdout"));
    // Each control byte takes six bytes of JSON (\u0001); the stored string fits 64 MiB.
    EXPECT_GT(kept, 0u);
    EXPECT_LE(kept * 6 + 2, size_t{64} << 20);
    EXPECT_GT((kept + 1) * 6 + 2, size_t{64} << 20);
    std::string errors = text_of(json_object_get(res, "errors"));
    std::string cut = std::to_string(200000000 - kept);
    EXPECT_NE(errors.find("Output from stdout pipe shortened by " + cut + " bytes"), std::string::npos) << errors;
    std::string exec_log = e2e::read_file(sb_->log_dir + "/tuvod_exec.log");
    EXPECT_NE(exec_log.find("\"UUID\": \"" + id + "\""), std::string::npos);
    std::printf("[ FIGURES  ] 200 MB of control bytes: %zu kept, daemon VmHWM %ld KiB\n", kept, peak_kib);
}

TEST_F(Bounded, RunsStillGoingAtShutdownAreRecordedLost) {
    std::string forever = sb_->add_script(
        {.name = "forever", .body = "sleep 1000", .timeout = 3000, .concurrent = false});
    ASSERT_NO_FATAL_FAILURE(start());
    std::vector<std::string> ids;
    {
        Client c;
        for (int i = 0; i < 3; i++) {
            ids.push_back(e2e::new_uuid());
            EXPECT_EQ(state_of(exec(c, {forever}, true, ids.back())), "RUNNING");
        }
        ASSERT_TRUE(e2e::wait_until([&] { return busy_groups() == 1; }, 10000));
    }
    auto t0 = std::chrono::steady_clock::now();
    d_->signal(SIGTERM);
    EXPECT_EQ(d_->wait_exit(20000), 0) << d_->log();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(seconds, 15.0);
    for (const auto &sub : e2e::subdirs(sb_->cgroup()))
        EXPECT_TRUE(e2e::cgroup_procs(sb_->cgroup() + "/" + sub).empty()) << "left running in " << sub;
    std::string exec_log = e2e::read_file(sb_->log_dir + "/tuvod_exec.log");

    ASSERT_NO_FATAL_FAILURE(start());
    Client c;
    for (const auto &id : ids) {
        EXPECT_EQ(state_of(get(c, id)), "LOST");
        EXPECT_NE(exec_log.find("\"UUID\": \"" + id + "\""), std::string::npos);
    }
    std::printf("[ FIGURES  ] SIGTERM with one run going and two waiting: exit after %.2f s\n", seconds);
}

TEST_F(Bounded, RunsRetiredAsSoonAsTheyEndStillReachTheExecutionLog) {
    std::string quick = sb_->add_script({.name = "quick", .body = "echo \"$1\""});
    ASSERT_NO_FATAL_FAILURE(start());
    Client c;
    std::vector<std::string> ids;
    for (int i = 0; i < 20; i++) {
        ids.push_back(e2e::new_uuid());
        EXPECT_EQ(state_of(exec(c, {quick, std::to_string(i)}, true, ids.back())), "RUNNING");
    }
    // Collected without peeking: each row goes the moment it is complete.
    for (const auto &id : ids)
        EXPECT_TRUE(e2e::wait_until([&] { return state_of(get(c, id, false)) == "COMPLETE"; }, 20000)) << id;
    std::string exec_log;
    EXPECT_TRUE(e2e::wait_until(
        [&] {
            exec_log = e2e::read_file(sb_->log_dir + "/tuvod_exec.log");
            for (const auto &id : ids)
                if (exec_log.find("\"UUID\": \"" + id + "\"") == std::string::npos)
                    return false;
            return true;
        },
        10000));
    EXPECT_EQ(d_->log().find("Unable to obtain results"), std::string::npos);
}

} // namespace
