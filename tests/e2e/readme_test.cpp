// The README's examples, run as a reader runs them. The console blocks and
// the TLS walkthrough are read out of README.md itself, so the documentation
// and this test cannot drift apart: each "# " line of a console block runs
// through sh -c with the built tuvoctl on PATH, against one daemon on the
// example configurations and scripts (installed at their documented paths
// inside the test's mount namespace), in README order, since later blocks
// depend on earlier ones. What it prints must match the lines the README
// shows under it, but for the few things the README says differ from
// machine to machine; see expected_pattern() and MACHINE_SHAPES.
//
// The README's other shell blocks are not run: they build (make), install
// a package, or drive systemd (systemctl, journalctl, systemd-analyze),
// which a test must not do to its host.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "harness.hpp"

extern char **environ;

namespace fs = std::filesystem;

namespace {

constexpr const char *EXAMPLES_DIR = "/usr/local/libexec/tuvod/examples";

// ---- README.md, read as documentation ----

struct Block {
    std::string heading; // the bold lead-in or section heading above it
    int line = 0;        // of the opening fence, 1-based
    std::string lang;
    std::vector<std::string> lines;
};

// Every fenced block with the nearest heading or bold lead-in above it.
std::vector<Block> readme_blocks() {
    std::ifstream in(std::string(TUVOD_SOURCE_DIR) + "/README.md");
    std::vector<Block> blocks;
    std::string line, heading;
    bool inside = false;
    for (int n = 1; std::getline(in, line); n++) {
        if (line.rfind("```", 0) == 0) {
            if (inside) {
                inside = false;
            } else {
                inside = true;
                blocks.push_back({heading, n, line.substr(3), {}});
            }
        } else if (inside) {
            blocks.back().lines.push_back(line);
        } else if (line.rfind("#", 0) == 0) {
            heading = line.substr(line.find(' ') + 1);
        } else if (line.rfind("**", 0) == 0 && line.find("**", 2) != std::string::npos) {
            heading = line.substr(2, line.find("**", 2) - 2);
        }
    }
    return blocks;
}

// The number of the first line below line from that holds text; 0 when none.
int line_of(const std::string &text, int from = 0) {
    std::ifstream in(std::string(TUVOD_SOURCE_DIR) + "/README.md");
    std::string line;
    for (int n = 1; std::getline(in, line); n++)
        if (n > from && line.find(text) != std::string::npos)
            return n;
    return 0;
}

// The first block of a language below line at; none when absent or at is 0.
const Block *block_after(const std::vector<Block> &blocks, const std::string &lang, int at) {
    for (const Block &b : blocks)
        if (at > 0 && b.line > at && b.lang == lang)
            return &b;
    return nullptr;
}

std::string joined(const std::vector<std::string> &lines) {
    std::string text;
    for (const auto &l : lines)
        text += l + "\n";
    return text;
}

struct Step {
    std::string command;
    std::vector<std::string> expected;
    int line = 0;
};

// A console block as commands each with the lines under it. A command is
// "# " and a lower-case word ("# tuvoctl", "# echo"): output can hold
// "# HELP" and "# TYPE" lines of the metrics text too.
std::vector<Step> steps_of(const Block &b) {
    std::vector<Step> steps;
    for (size_t i = 0; i < b.lines.size(); i++) {
        const std::string &l = b.lines[i];
        if (l.size() > 2 && l.rfind("# ", 0) == 0 && islower(static_cast<unsigned char>(l[2])))
            steps.push_back({l.substr(2), {}, b.line + 1 + static_cast<int>(i)});
        else if (!steps.empty())
            steps.back().expected.push_back(l);
    }
    return steps;
}

// ---- Comparing what ran with what the README shows ----

const std::string UUID_RE = "[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}";

// Lines whose values are the machine's own ("host name, sizes, identifiers,
// times" in the README's words): a README line of one of these shapes
// matches an output line of the same shape. A service's state depends on
// whether the host runs systemd.
const char *const MACHINE_SHAPES[] = {
    R"(host: +\S+)",
    R"(kernel: +Linux \S+)",
    R"(uptime: +\d+d \d\dh \d\dm)",
    R"(load: +[0-9.]+ [0-9.]+ [0-9.]+)",
    R"(cpus: +\d+)",
    R"(memory: +\d+ MiB total, \d+ MiB available)",
    R"(Filesystem +Size +Used +Avail +Use% +Mounted on)",
    R"(\S+ +[0-9.]+[KMGTPE]? +[0-9.]+[KMGTPE]? +[0-9.]+[KMGTPE]? +\d+% +/)",
    R"(apache2: (inactive|not running))",
};

std::string regex_escape(const std::string &s) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(s, special, R"(\$&)");
}

// One README output line as a pattern. Besides the machine shapes, what
// varies from run to run: identifiers (a full one the commands did not
// give, or one the README abbreviates as "9a0b..."; an abbreviation the
// commands used stands for the identifier given for it), start times
// ("2025-05-20 10:02:14"), durations as tuvoctl prints them ("1.2s",
// "150ms", "3d04h", "2h03m"), the number of a run's cgroup ("CTID 12") and
// process ids ("PID 4242").
// Runs of blanks that align table columns match any such run; indentation
// is literal.
std::string expected_pattern(const std::string &full_line, const std::map<std::string, std::string> &ids) {
    for (const char *shape : MACHINE_SHAPES)
        if (std::regex_match(full_line, std::regex(shape)))
            return shape;
    // How many steps of slow-task.sh are done when a time-out or cancel
    // strikes depends on the machine's load, not on the product.
    static const std::regex steps_done(R"((step |interrupted after )\d+( of \d+ (done|steps)))");
    std::smatch sm;
    if (std::regex_match(full_line, sm, steps_done))
        return regex_escape(sm[1].str()) + R"(\d+)" + regex_escape(sm[2].str());
    size_t indent = full_line.find_first_not_of(' ');
    indent = indent == std::string::npos ? 0 : indent;
    const std::string line = full_line.substr(indent);
    static const std::regex token(UUID_RE + R"(|[0-9a-f]{4}\.\.\.|\d{4}-\d\d-\d\d \d\d:\d\d:\d\d|)"
                                  R"(\b(\d+\.\ds|\d+ms|\d+m\d\ds|\d+h\d\dm|\d+d\d\dh)\b|(CTID|PID) \d+| {2,})");
    std::string out = full_line.substr(0, indent);
    auto begin = std::sregex_iterator(line.begin(), line.end(), token);
    size_t last = 0;
    for (auto it = begin; it != std::sregex_iterator(); ++it) {
        const std::smatch &m = *it;
        out += regex_escape(line.substr(last, static_cast<size_t>(m.position()) - last));
        std::string t = m.str();
        if (ids.count(t) != 0)
            out += regex_escape(ids.at(t));
        else if (t.size() == 36 || (t.size() == 7 && t.compare(4, 3, "...") == 0))
            out += UUID_RE;
        else if (t[0] == ' ')
            out += " {2,}";
        else if (t.rfind("CTID", 0) == 0 || t.rfind("PID", 0) == 0)
            out += t.substr(0, t.find(' ')) + R"( \d+)";
        else if (t[4] == '-')
            out += R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)";
        else
            out += R"((\d+\.\ds|\d+ms|\d+m\d\ds|\d+h\d\dm|\d+d\d\dh))";
        last = static_cast<size_t>(m.position() + m.length());
    }
    return out + regex_escape(line.substr(last));
}

// A line "..." (indented or not) in the README stands for any number of lines.
bool is_ellipsis(const std::string &line) {
    size_t at = line.find_first_not_of(' ');
    return at != std::string::npos && line.substr(at) == "...";
}

bool lines_match(const std::vector<std::string> &want, size_t i, const std::vector<std::string> &got, size_t j,
                 const std::map<std::string, std::string> &ids) {
    if (i == want.size())
        return j == got.size();
    if (is_ellipsis(want[i])) {
        for (size_t k = j; k <= got.size(); k++)
            if (lines_match(want, i + 1, got, k, ids))
                return true;
        return false;
    }
    return j < got.size() && std::regex_match(got[j], std::regex(expected_pattern(want[i], ids))) &&
           lines_match(want, i + 1, got, j + 1, ids);
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    return lines;
}

// ---- Running shell text ----

struct ShellResult {
    int status = -1; // -1 when it did not end within the bound
    std::string output; // standard output and error, interleaved as written
};

// Runs sh with args in cwd, with env added to (and replacing in) this
// process's environment; killed after timeout_ms.
ShellResult run_sh(const std::vector<std::string> &args, const std::string &cwd,
                   const std::map<std::string, std::string> &env, int timeout_ms) {
    ShellResult r;
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return r;
    unique_fd rd(p[0]), wr(p[1]);
    std::vector<std::string> env_text;
    for (char **e = environ; *e != nullptr; e++) {
        std::string kv = *e;
        if (env.count(kv.substr(0, kv.find('='))) == 0)
            env_text.push_back(kv);
    }
    for (const auto &[k, v] : env)
        if (!v.empty())
            env_text.push_back(k + "=" + v);
    std::vector<std::string> argv_text = {"sh"};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char *> argv, envp;
    for (auto &a : argv_text)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto &e : env_text)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, wr.get(), 1);
    posix_spawn_file_actions_adddup2(&fa, wr.get(), 2);
    posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
    pid_t pid = -1;
    int rc = posix_spawn(&pid, "/bin/sh", &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    wr.reset();
    if (rc != 0)
        return r;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    bool ended = false;
    while (!ended) {
        long left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                        .count();
        struct pollfd pfd {rd.get(), POLLIN, 0};
        if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) <= 0)
            break;
        char buf[4096];
        ssize_t n = read(rd.get(), buf, sizeof buf);
        if (n > 0)
            r.output.append(buf, static_cast<size_t>(n));
        else
            ended = true;
    }
    if (!ended)
        kill(pid, SIGKILL);
    int ws = 0;
    waitpid(pid, &ws, 0);
    if (ended && WIFEXITED(ws))
        r.status = WEXITSTATUS(ws);
    return r;
}

std::string tuvoctl_dir() { return fs::path(TUVOCTL_BINARY).parent_path().string(); }

std::map<std::string, std::string> client_env(const std::string &home) {
    return {{"PATH", tuvoctl_dir() + ":" + (getenv("PATH") != nullptr ? getenv("PATH") : "/usr/bin:/bin")},
            {"HOME", home}};
}

// A tmpfs on dir for this test process's mount namespace, so what the
// examples install or write there never reaches the host.
void private_tmpfs(const std::string &dir) {
    ASSERT_EQ(mount("tuvod-readme", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=64m"), 0)
        << dir << ": " << strerror(errno);
}

// The state of a record, "" when the daemon knows none.
std::string record_state(const std::string &id) {
    e2e::Client c;
    json_ptr r = c.call("get", json_pack("{s:[s], s:b}", "properties", "state", "peek", 1), id, "");
    return e2e::state_of(r);
}

// PIDs of the processes whose parent is pid.
std::set<pid_t> children_of(pid_t pid) {
    std::set<pid_t> kids;
    for (auto [child, state] : e2e::children_with_state(pid))
        kids.insert(child);
    return kids;
}

// The example slow-task.sh running with argument arg in this test's
// daemon's cgroup (another test may run the same example), or -1.
pid_t slow_task_pid(const std::string &cgroup, const std::string &arg) {
    std::string want = std::string(EXAMPLES_DIR) + "/slow-task.sh" + '\0' + arg + '\0';
    for (const std::string &sub : e2e::subdirs(cgroup))
        for (pid_t pid : e2e::cgroup_procs(cgroup + "/" + sub)) {
            std::string cmdline = e2e::read_file("/proc/" + std::to_string(pid) + "/cmdline");
            if (cmdline.size() >= want.size() &&
                cmdline.compare(cmdline.size() - want.size(), want.size(), want) == 0)
                return pid;
        }
    return -1;
}

// Waits until slow-task.sh (run with arg) has finished `steps` steps: each
// step is one `sleep 1` child, so the step is done once the next one starts.
bool wait_for_steps(const std::string &cgroup, const std::string &arg, int steps) {
    pid_t pid = -1;
    if (!e2e::wait_until([&] { return (pid = slow_task_pid(cgroup, arg)) > 0; }, 10000))
        return false;
    std::set<pid_t> seen;
    return e2e::wait_until(
        [&] {
            for (pid_t k : children_of(pid))
                seen.insert(k);
            return static_cast<int>(seen.size()) > steps;
        },
        steps * 1000 + 15000);
}

class Readme : public e2e::DaemonTest {
  protected:
    void prepare() override {
        // The examples at their documented paths, as `make run` installs them.
        ASSERT_NO_FATAL_FAILURE(private_tmpfs("/usr/local"));
        fs::create_directories(EXAMPLES_DIR);
        for (const auto &e : fs::directory_iterator(std::string(TUVOD_SOURCE_DIR) + "/examples/scripts")) {
            std::string to = std::string(EXAMPLES_DIR) + "/" + e.path().filename().string();
            sb_->write(to, e2e::read_file(e.path().string()), 0755);
        }
        for (const auto &e : fs::directory_iterator(std::string(TUVOD_SOURCE_DIR) + "/examples/script_config.d"))
            sb_->write(sb_->scripts_dir + "/" + e.path().filename().string(), e2e::read_file(e.path().string()),
                       0600);
        // store-secret.sh keeps its secrets under /var/lib.
        ASSERT_NO_FATAL_FAILURE(private_tmpfs("/var/lib"));
        home_ = sb_->root + "/home";
        ASSERT_EQ(mkdir(home_.c_str(), 0700), 0);
    }

    std::string home_;
};

// An identifier for every abbreviated one ("9a0b...") a block's commands
// use, so that the block runs and its output can be checked against it.
void give_ids(const std::vector<Step> &steps, std::map<std::string, std::string> &ids) {
    static const std::regex abbreviated(R"([0-9a-f]{4}\.\.\.)");
    for (const Step &s : steps)
        for (auto it = std::sregex_iterator(s.command.begin(), s.command.end(), abbreviated);
             it != std::sregex_iterator(); ++it)
            if (ids.count(it->str()) == 0)
                ids[it->str()] = it->str().substr(0, 4) + e2e::new_uuid().substr(4);
}

std::string with_ids(std::string command, const std::map<std::string, std::string> &ids) {
    for (const auto &[abbrev, id] : ids)
        for (size_t at; (at = command.find(abbrev)) != std::string::npos;)
            command.replace(at, abbrev.size(), id);
    return command;
}

std::vector<std::string> ids_in(const std::string &text) {
    std::vector<std::string> found;
    static const std::regex id(UUID_RE);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), id); it != std::sregex_iterator(); ++it)
        found.push_back(it->str());
    return found;
}

bool mentions(const std::vector<std::string> &lines, const std::string &text) {
    for (const auto &l : lines)
        if (l.find(text) != std::string::npos)
            return true;
    return false;
}

// These run as root on the real file system: a command of a block may
// start only the programs its walkthrough is about, so that an edit of the
// README cannot make the test install, remove or restart anything. Shell
// text as written: comments and continued lines as sh reads them.
::testing::AssertionResult only_programs(const std::string &script, const std::set<std::string> &allowed) {
    std::string text = std::regex_replace(script, std::regex("\\\\\n"), " ");
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        line = std::regex_replace(line, std::regex(R"(^\s*#.*)"), "");
        static const std::regex separator(R"(\|\||&&|[|;])");
        for (auto it = std::sregex_token_iterator(line.begin(), line.end(), separator, -1);
             it != std::sregex_token_iterator(); ++it) {
            std::istringstream words(it->str());
            std::string program;
            if (words >> program && allowed.count(program) == 0)
                return ::testing::AssertionFailure() << "the README runs '" << program << "': " << line;
        }
    }
    return ::testing::AssertionSuccess();
}

// What a reader's pace gives the README and the test has to wait for
// instead, each wait ending on an event and bounded:
// - "sleep N; CMD": CMD once the records it names have left RUNNING;
// - a `get` whose README output shows a finished run: the same (a cancel
//   is answered before its kill steps have run);
// - a `cancel` of slow-task whose output shows "step K of N done": once
//   the script has done K steps.
void wait_as_a_reader_would(std::string &command, const std::vector<std::string> &expected,
                            const std::vector<std::string> &rest, const std::string &cgroup) {
    static const std::regex sleep_prefix(R"(^sleep (\d+); )");
    std::smatch m;
    int bound = 30000;
    bool wait_finished = false;
    if (std::regex_search(command, m, sleep_prefix)) {
        bound += std::stoi(m[1]) * 1000;
        command = m.suffix();
        wait_finished = true;
    }
    if (command.rfind("tuvoctl get ", 0) == 0 && command.find("--peek") == std::string::npos &&
        !mentions(expected, "RUNNING"))
        wait_finished = true;
    if (wait_finished) {
        for (const std::string &id : ids_in(command)) {
            EXPECT_TRUE(e2e::wait_until([&] { return record_state(id) != "RUNNING"; }, bound))
                << id << " still running";
        }
    }
    if (command.rfind("tuvoctl cancel ", 0) == 0) {
        static const std::regex step(R"(step (\d+) of (\d+) done)");
        for (const std::string &l : rest) {
            if (std::regex_match(l, m, step)) {
                EXPECT_TRUE(wait_for_steps(cgroup, m[2], std::stoi(m[1]))) << "slow-task.sh " << m[2] << " step " << m[1];
            }
        }
    }
}

TEST_F(Readme, ConsoleTranscriptsRunAsDocumented) {
    if (sb_->cgroup().empty())
        GTEST_SKIP() << "the cancel transcript finds the example's steps through the daemon's cgroup";
    start();
    std::vector<Block> blocks = readme_blocks();
    int ran = 0;
    for (const Block &b : blocks) {
        if (b.lang != "console")
            continue;
        SCOPED_TRACE("README.md:" + std::to_string(b.line) + " (" + b.heading + ")");
        // The README's "No daemon" is what anyone sees with the daemon stopped.
        if (b.heading.find("No daemon") != std::string::npos) {
            EXPECT_EQ(d_->stop(), 0) << d_->log();
        }
        std::vector<Step> steps = steps_of(b);
        std::map<std::string, std::string> ids;
        give_ids(steps, ids);
        int last_status = 0;
        for (size_t i = 0; i < steps.size(); i++) {
            const Step &s = steps[i];
            SCOPED_TRACE("README.md:" + std::to_string(s.line) + ": # " + s.command);
            std::string command = with_ids(s.command, ids);
            ASSERT_TRUE(only_programs(command, {"tuvoctl", "echo", "tail", "grep", "sleep"}));
            std::vector<std::string> rest; // what the block shows from this command on
            for (size_t k = i; k < steps.size(); k++)
                rest.insert(rest.end(), steps[k].expected.begin(), steps[k].expected.end());
            wait_as_a_reader_would(command, s.expected, rest, sb_->cgroup());
            // "$?" is the status of the line before, as in the reader's shell.
            ShellResult r = run_sh({"-c", "(exit " + std::to_string(last_status) + "); " + command}, sb_->root,
                                   client_env(home_), 90000);
            last_status = r.status;
            std::string patterns;
            for (const std::string &l : s.expected)
                patterns += (is_ellipsis(l) ? l : expected_pattern(l, ids)) + "\n";
            EXPECT_TRUE(lines_match(s.expected, 0, split_lines(r.output), 0, ids))
                << "README shows:\n" << joined(s.expected) << "printed (status " << r.status << "):\n" << r.output
                << "patterns:\n" << patterns;
            ran++;
        }
    }
    EXPECT_GE(ran, 38) << "fewer README commands than expected: were blocks lost?";
}

} // namespace

namespace {

// The TLS section as an administrator follows it: the openssl recipe as
// one shell script (its lines share a directory), the daemon configuration
// added to the file the daemon made, a restart, and both client forms, run
// where the client's files are. The
// appliance's address and name exist only in this test's namespaces.
class ReadmeTls : public Readme {};

TEST_F(ReadmeTls, WalkthroughRunsAsWritten) {
    std::vector<Block> blocks = readme_blocks();
    // The blocks by the sentences that lead into them; each is checked to
    // be what it should before anything runs, as these run as root.
    const int from = line_of("## Authenticated transport (TLS)");
    ASSERT_GT(from, 0);
    const Block *recipe = block_after(blocks, "sh", line_of("Making a CA, a server and a client certificate", from));
    const Block *daemon_conf = block_after(blocks, "json", line_of("then restart the daemon", from));
    const Block *client = block_after(blocks, "sh", line_of("Client (copy", from));
    const Block *client_conf = block_after(blocks, "json", line_of("To avoid repeating these options", from));
    const Block *client_short = block_after(blocks, "sh", client_conf != nullptr ? client_conf->line : 0);
    ASSERT_TRUE(recipe && daemon_conf && client && client_conf && client_short) << "a TLS block is missing";
    ASSERT_NE(joined(recipe->lines).find("openssl req"), std::string::npos) << joined(recipe->lines);
    ASSERT_NE(joined(daemon_conf->lines).find("\"tls\""), std::string::npos) << joined(daemon_conf->lines);
    ASSERT_EQ(joined(client->lines).rfind("tuvoctl -e tls+tcp://", 0), 0u) << joined(client->lines);
    ASSERT_NE(joined(client_conf->lines).find("\"endpoint\""), std::string::npos) << joined(client_conf->lines);
    ASSERT_EQ(joined(client_short->lines).rfind("tuvoctl ", 0), 0u) << joined(client_short->lines);
    ASSERT_TRUE(only_programs(joined(recipe->lines), {"umask", "mkdir", "cd", "openssl", "printf", "install"}));
    ASSERT_TRUE(only_programs(joined(client->lines) + joined(client_short->lines), {"tuvoctl"}));

    ASSERT_EQ(system("ip addr add 192.168.10.5/32 dev lo"), 0);
    std::string hosts = sb_->root + "/hosts";
    sb_->write(hosts, "127.0.0.1 localhost\n192.168.10.5 appliance.example\n");
    ASSERT_EQ(mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr), 0) << strerror(errno);
    e2e::scope_guard unmount_hosts([] { umount2("/etc/hosts", MNT_DETACH); });

    // The daemon as installed: its configuration made at the first start.
    start();
    e2e::Client status_client;
    std::string instance = e2e::str(e2e::result_of(status_client.call("status", nullptr)), "instance");
    ASSERT_FALSE(instance.empty());
    ASSERT_EQ(d_->stop(), 0) << d_->log();

    const auto env = client_env(home_);
    {
        SCOPED_TRACE("README.md:" + std::to_string(recipe->line) + " (the openssl recipe)");
        ShellResult r = run_sh({"-e", "-x", "-c", joined(recipe->lines)}, sb_->root, env, 60000);
        ASSERT_EQ(r.status, 0) << r.output;
    }
    // Its promise: nothing it made is open to others, the CA's key included.
    const std::string ca_dir = home_ + "/tuvod-ca";
    struct stat st {};
    for (const std::string &made : {ca_dir, ca_dir + "/ca.key", ca_dir + "/server.key", ca_dir + "/ops1.key",
                                    std::string(isolation::FIXED_CONF) + "/tls"}) {
        ASSERT_EQ(stat(made.c_str(), &st), 0) << made;
        EXPECT_EQ(st.st_mode & 077, 0u) << made;
    }
    // What its last comment says to copy, as scp would.
    for (const char *f : {"ca.pem", "server.pem", "server.key"})
        sb_->write(std::string(isolation::FIXED_CONF) + "/tls/" + f, e2e::read_file(ca_dir + "/" + f), 0600);

    {
        SCOPED_TRACE("README.md:" + std::to_string(daemon_conf->line) + " (the daemon configuration)");
        json_error_t err;
        json_ptr added(json_loads(joined(daemon_conf->lines).c_str(), 0, &err));
        ASSERT_TRUE(added) << err.text;
        json_ptr config(json_load_file(sb_->config_path().c_str(), 0, &err));
        ASSERT_TRUE(config) << err.text;
        ASSERT_EQ(json_object_update(config.get(), added.get()), 0);
        cstr_ptr text(json_dumps(config.get(), JSON_INDENT(4)));
        write_config(text.get());
        start();
        e2e::Client again;
        EXPECT_EQ(e2e::str(e2e::result_of(again.call("status", nullptr)), "instance"), instance)
            << "the restart gave the daemon a new instance id";
    }
    {
        SCOPED_TRACE("README.md:" + std::to_string(client->line) + " (the client command)");
        ShellResult r = run_sh({"-c", joined(client->lines)}, ca_dir, env, 60000);
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(r.output.rfind("host:", 0), 0u) << r.output;
    }
    {
        SCOPED_TRACE("README.md:" + std::to_string(client_short->line) + " (the client's configuration file)");
        const std::string conf_dir = home_ + "/.config";
        for (const char *f : {"ops1.pem", "ops1.key", "ca.pem"})
            sb_->write(conf_dir + "/tuvod/" + f, e2e::read_file(ca_dir + "/" + f), 0600);
        sb_->write(conf_dir + "/tuvoctl.json", joined(client_conf->lines), 0600);
        auto file_env = env;
        file_env["XDG_CONFIG_HOME"] = ""; // the default ~/.config, as a user has it
        ShellResult r = run_sh({"-c", joined(client_short->lines)}, home_, file_env, 60000);
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(r.output.rfind("host:", 0), 0u) << r.output;
    }
    // Both ran over TLS, as the certificate's name.
    std::string exec_log = e2e::read_file(sb_->log_dir + "/tuvod_exec.log");
    size_t first = exec_log.find("\"caller\": \"tls:ops1\"");
    EXPECT_NE(first, std::string::npos) << exec_log;
    EXPECT_NE(exec_log.find("\"caller\": \"tls:ops1\"", first + 1), std::string::npos) << exec_log;
}

} // namespace
