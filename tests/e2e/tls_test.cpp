// The TLS listener: mutual authentication with certificates the test makes
// with openssl, the caller identity in every record, allowedCallers, and
// records scoped to the identity that started them.
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "../unit/edge_peers.hpp"
#include "harness.hpp"

namespace {

using e2e::Client;
using e2e::Daemon;
using e2e::Sandbox;

constexpr uint16_t TLS_PORT = 5558;

struct TlsAnswer {
    int dial = -1; // 0 when the daemon took the connection and answered
    json_ptr reply;
};

// One request over TLS as the client whose certificate is dir/<who>.pem
// (no certificate when who is empty).
TlsAnswer tls_request(const std::string &dir, const std::string &who, json_t *req) {
    TlsAnswer out;
    edge_test::tls_client c(dir, who);
    if (!c.connect(TLS_PORT))
        return out;
    cstr_ptr text(json_dumps(req, JSON_COMPACT));
    std::optional<std::string> body = c.call(std::string(text.get()) + '\0');
    if (!body)
        return out;
    out.dial = 0;
    out.reply.reset(json_loadb(body->data(), strnlen(body->data(), body->size()), 0, nullptr));
    return out;
}

json_ptr request(const std::string &op, json_t *args_stolen, const std::string &uuid,
                 const std::string &authority = "test") {
    return json_ptr(json_pack("{s:s, s:s, s:s, s:o}", "requestUUID", uuid.c_str(), "authority", authority.c_str(),
                              "op", op.c_str(), "args", args_stolen));
}

json_ptr get_args() { return json_ptr(json_pack("{s:[s, s], s:b}", "properties", "state", "output", "peek", 1)); }

class TlsE2E : public e2e::DaemonTest {
  protected:
    void prepare() override {
        certs_ = sb_->root + "/certs";
        ASSERT_EQ(mkdir(certs_.c_str(), 0700), 0);
        ASSERT_TRUE(isolation::make_certificates(certs_));
        marker_ = sb_->root + "/ran";
        sb_->add_script({.name = "hello", .body = "echo \"$1\" >> " + marker_ + "; echo hello"});
        sb_->add_script({.name = "alice-only", .body = "echo only", .allowed_callers = {"alice"}});
        sb_->add_script({.name = "sleeper", .body = "sleep 30"});
    }
    void write_tls_config(const std::string &tls_extra = "") {
        write_config("{\"bindAddrs\": [\"127.0.0.1\"], \"tls\": {\"bindAddrs\": [\"127.0.0.1\"], \"port\": 5558, "
                     "\"certFile\": \"" + certs_ + "/server.pem\", \"keyFile\": \"" + certs_ + "/server.key\", "
                     "\"clientCAFile\": \"" + certs_ + "/ca.pem\"" + tls_extra + "}}");
    }
    void start() {
        write_tls_config();
        DaemonTest::start({"-f", "-v"});
    }
    // Runs hello as who; the answer.
    json_ptr run_hello(const std::string &who, const std::string &uuid, bool async = false) {
        json_ptr req = request("execute", e2e::exec_args({sb_->bin_dir + "/hello", uuid}, async).release(), uuid);
        return tls_request(certs_, who, req.get()).reply;
    }
    std::string db_caller(const std::string &uuid) {
        sqlite3 *db = nullptr;
        std::string caller = "(none)";
        if (sqlite3_open_v2((sb_->cache_dir + "/tuvod.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_stmt *st = nullptr;
            sqlite3_prepare_v2(db, "SELECT CALLER FROM CMDS WHERE REQUEST_UUID = ?", -1, &st, nullptr);
            sqlite3_bind_text(st, 1, uuid.c_str(), -1, SQLITE_TRANSIENT);
            if (sqlite3_step(st) == SQLITE_ROW && sqlite3_column_text(st, 0) != nullptr)
                caller = reinterpret_cast<const char *>(sqlite3_column_text(st, 0));
            sqlite3_finalize(st);
        }
        sqlite3_close(db);
        return caller;
    }
    std::string exec_log() const { return e2e::read_file(sb_->log_dir + "/tuvod_exec.log"); }

    std::string certs_, marker_;
};

TEST_F(TlsE2E, VerifiedClientRunsAndItsIdentityIsRecorded) {
    start();
    std::string id = e2e::new_uuid();
    json_ptr r = run_hello("alice", id);
    ASSERT_EQ(e2e::state_of(r), "COMPLETE") << e2e::text_of(r);
    EXPECT_NE(exec_log().find("\"caller\": \"tls:alice\""), std::string::npos) << exec_log();
    EXPECT_NE(d_->log().find("Executing 'hello' for tls:alice"), std::string::npos) << d_->log();

    // An asynchronous run keeps its row until it is collected.
    std::string async_id = e2e::new_uuid();
    ASSERT_EQ(e2e::state_of(run_hello("alice", async_id, true)), "RUNNING");
    EXPECT_EQ(db_caller(async_id), "tls:alice");

    // A cleartext caller on this host is named by the owner of its socket.
    std::string id2 = e2e::new_uuid();
    Client c;
    json_ptr r2 = c.call("execute", e2e::exec_args({sb_->bin_dir + "/hello", id2}, true).release(), id2);
    ASSERT_EQ(e2e::state_of(r2), "RUNNING") << e2e::text_of(r2);
    EXPECT_EQ(db_caller(id2), "local:uid=0");
    EXPECT_TRUE(e2e::wait_until([&] { return exec_log().find("\"caller\": \"local:uid=0\"") != std::string::npos; },
                                10000))
        << exec_log();
}

TEST_F(TlsE2E, RefusedCertificatesAreStoppedAtTheHandshakeAndRunNothing) {
    start();
    for (const char *who : {"", "mallory", "old", "nocn"}) {
        TlsAnswer a = tls_request(certs_, who, request("execute", e2e::exec_args({sb_->bin_dir + "/hello", who}, false).release(), e2e::new_uuid()).get());
        EXPECT_NE(a.dial, 0) << "client '" << who << "' was let in";
        EXPECT_FALSE(a.reply) << who;
    }
    EXPECT_TRUE(d_->wait_for_log("certificate has expired", 5000)) << d_->log();
    // Every refusal names the peer turned away.
    std::string log = d_->log();
    int refusals = 0;
    for (size_t at = log.find("TLS handshake failed: "); at != std::string::npos;
         at = log.find("TLS handshake failed: ", at + 1), refusals++) {
        std::string line = log.substr(at, log.find('\n', at) - at);
        EXPECT_TRUE(line.ends_with(" (from 127.0.0.1)")) << line;
    }
    EXPECT_GT(refusals, 0) << log;
    EXPECT_TRUE(d_->wait_for_log("the client certificate names no CN", 5000)) << d_->log();
    EXPECT_EQ(e2e::read_file(marker_), "");
    // The listener still serves good clients afterwards.
    EXPECT_EQ(e2e::state_of(run_hello("bob", e2e::new_uuid())), "COMPLETE");
}

// A typo must not turn TLS off: the file that stops parsing is left for the
// administrator, and the daemon runs on the last good copy, with the same
// identity and listeners.
TEST_F(TlsE2E, TrailingCommaRunsOnTheLastGoodCopy) {
    start();
    EXPECT_EQ(d_->stop(), 0) << d_->log();
    std::string text = e2e::read_file(sb_->config_path());
    json_ptr conf(json_loads(text.c_str(), 0, nullptr));
    const std::string uuid = json_string_value(json_object_get(conf.get(), "tuvodUUID"));
    const std::string broken = text.substr(0, text.rfind('}')) + ",}";
    sb_->write(sb_->config_path(), broken, 0600);
    unlink((sb_->root + "/daemon.out").c_str()); // readiness is read from it
    d_ = std::make_unique<Daemon>(*sb_, std::vector<std::string>{"-f", "-v"});
    ASSERT_TRUE(d_->start());
    ASSERT_TRUE(d_->wait_ready()) << d_->log();
    EXPECT_NE(d_->log().find("Unable to parse config file /lumo/conf/tuvod/config.json: "), std::string::npos);
    EXPECT_NE(d_->log().find("; running on the last good copy /lumo/conf/tuvod/config.json.last-good until it is "
                             "fixed"),
              std::string::npos)
        << d_->log();
    EXPECT_NE(d_->log().find("Start-up complete for tuvod instance " + uuid), std::string::npos);
    EXPECT_EQ(e2e::state_of(run_hello("alice", e2e::new_uuid())), "COMPLETE");
    EXPECT_TRUE(static_cast<bool>(Client().call("ping", nullptr)));
    EXPECT_EQ(e2e::read_file(sb_->config_path()), broken);
    EXPECT_EQ(d_->stop(), 0) << d_->log();
}

TEST_F(TlsE2E, AllowedCallersRefuseOtherNames) {
    start();
    auto run_as = [&](const std::string &who) {
        std::string id = e2e::new_uuid();
        json_ptr req = request("execute", e2e::exec_args({sb_->bin_dir + "/alice-only"}, false).release(), id);
        return tls_request(certs_, who, req.get()).reply;
    };
    json_ptr ok = run_as("alice");
    EXPECT_EQ(e2e::state_of(ok), "COMPLETE") << e2e::text_of(ok);
    json_ptr refused = run_as("bob");
    EXPECT_EQ(e2e::state_of(refused), "FAILED") << e2e::text_of(refused);
    EXPECT_EQ(e2e::first_code(refused), 1);
    EXPECT_NE(e2e::first_error(refused).find("Caller 'tls:bob' may not run"), std::string::npos);
}

TEST_F(TlsE2E, RecordsBelongToTheIdentityThatStartedThem) {
    start();
    std::string id = e2e::new_uuid();
    json_ptr started = tls_request(certs_, "alice",
                                   request("execute", e2e::exec_args({sb_->bin_dir + "/sleeper"}, true).release(), id).get()).reply;
    ASSERT_EQ(e2e::state_of(started), "RUNNING") << e2e::text_of(started);
    std::string unknown = e2e::new_uuid();

    // What another identity sees is exactly what an unknown id gets.
    auto errors_for = [&](const std::string &who, const std::string &op, json_t *args, const std::string &uuid) {
        json_ptr req = request(op, args, uuid);
        json_ptr r = who == "local user" ? e2e::request_as(65534, req.get()) : tls_request(certs_, who, req.get()).reply;
        json_t *errs = e2e::errors_of(r);
        std::string text;
        size_t i;
        json_t *e;
        json_array_foreach(errs, i, e) text += std::string(e2e::str(e, "errorString")) + "|";
        return e2e::state_of(r) + " " + text;
    };
    for (const std::string who : {"bob", "local user"}) {
        std::string theirs = errors_for(who, "get", get_args().release(), id);
        std::string none = errors_for(who, "get", get_args().release(), unknown);
        EXPECT_EQ(theirs.substr(0, theirs.find(id)), none.substr(0, none.find(unknown))) << who;
        EXPECT_NE(theirs.find("Unable to get"), std::string::npos) << theirs;
        std::string cleared = errors_for(who, "clear", json_pack("{s:b}", "force", 1), id);
        EXPECT_NE(cleared.find("Unable to delete"), std::string::npos) << who << ": " << cleared;
        std::string cancelled = errors_for(who, "cancel", json_pack("{s:s, s:s}", "cmd", id.c_str(), "authority", "test"),
                                           e2e::new_uuid());
        EXPECT_NE(cancelled.find("No command " + id + " to cancel"), std::string::npos) << who << ": " << cancelled;
    }
    json_ptr user_req = request("list", json_pack("{s:s, s:s}", "cmd", "%", "state", "%"), e2e::new_uuid());
    json_ptr user_list = e2e::request_as(65534, user_req.get());
    ASSERT_TRUE(user_list);
    EXPECT_EQ(json_object_get(e2e::result_of(user_list), id.c_str()), nullptr) << e2e::text_of(user_list);
    // An administrator on the appliance sees it all the same.
    json_ptr root_list = Client().call("list", json_pack("{s:s, s:s}", "cmd", "%", "state", "%"));
    EXPECT_NE(json_object_get(e2e::result_of(root_list), id.c_str()), nullptr) << e2e::text_of(root_list);
    json_ptr bob_list = tls_request(certs_, "bob", request("list", json_pack("{s:s, s:s}", "cmd", "%", "state", "%"), e2e::new_uuid()).get()).reply;
    EXPECT_EQ(json_object_get(e2e::result_of(bob_list), id.c_str()), nullptr) << e2e::text_of(bob_list);
    json_ptr alice_list = tls_request(certs_, "alice", request("list", json_pack("{s:s, s:s}", "cmd", "%", "state", "%"), e2e::new_uuid()).get()).reply;
    EXPECT_NE(json_object_get(e2e::result_of(alice_list), id.c_str()), nullptr) << e2e::text_of(alice_list);

    // The owner still has it: reads it and clears it.
    json_ptr mine = tls_request(certs_, "alice", request("get", get_args().release(), id).get()).reply;
    EXPECT_EQ(e2e::state_of(mine), "RUNNING") << e2e::text_of(mine);
    json_ptr cleared = tls_request(certs_, "alice", request("clear", json_pack("{s:b}", "force", 1), id).get()).reply;
    EXPECT_EQ(json_array_size(e2e::errors_of(cleared)), 0u) << e2e::text_of(cleared);
}

TEST_F(TlsE2E, UnusableFilesRefuseStartUp) {
    struct Case {
        const char *what;
        std::function<void()> spoil;
        const char *message;
    };
    std::string key = certs_ + "/server.key";
    Case cases[] = {
        {"key readable by others", [&] { chmod(key.c_str(), 0644); }, "has mode 0644; it must be 0600 or stricter"},
        {"key of another certificate", [&] { ASSERT_EQ(std::system(("cp " + certs_ + "/alice.key " + key).c_str()), 0); },
         "does not match certificate"},
        {"missing CA", [&] { unlink((certs_ + "/ca.pem").c_str()); }, "cannot open TLS CA file"},
    };
    for (Case &c : cases) {
        ASSERT_TRUE(isolation::make_certificates(certs_));
        c.spoil();
        write_tls_config();
        // Each instance has a log of its own, so each refusal is its own.
        ASSERT_TRUE(spawn());
        EXPECT_FALSE(d_->wait_ready()) << c.what;
        EXPECT_NE(d_->log().find("TLS configuration refused"), std::string::npos) << c.what << ": " << d_->log();
        EXPECT_NE(d_->log().find(c.message), std::string::npos) << c.what << ": " << d_->log();
    }
}

TEST_F(TlsE2E, CleartextCanBeKeptToLoopback) {
    write_tls_config(", \"cleartextLoopbackOnly\": true");
    write_config(e2e::read_file(sb_->config_path())
                     .replace(e2e::read_file(sb_->config_path()).find("[\"127.0.0.1\"]"), 13, "[\"::\"]"));
    ASSERT_NO_FATAL_FAILURE(DaemonTest::start({"-f", "-v"}));
    EXPECT_NE(d_->log().find("Router bound to tcp://[127.0.0.1]:5557"), std::string::npos) << d_->log();
    EXPECT_EQ(d_->log().find("Router bound to tcp://[::]:5557"), std::string::npos) << d_->log();
}

// tuvoctl's output and exit status (its own -t bounds the wait).
std::pair<int, std::string> tuvoctl(const std::string &args, const std::string &env = "") {
    std::string out;
    FILE *p = popen((env + " " + TUVOCTL_BINARY + " -t 10 " + args + " 2>&1").c_str(), "r");
    if (p == nullptr)
        return {-1, ""};
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int status = pclose(p);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

TEST_F(TlsE2E, TuvoctlSpeaksTlsAndSaysWhichSideRefused) {
    start();
    auto tls = [&](const std::string &who, const std::string &ca) {
        return "-e tls+tcp://127.0.0.1:5558 --cert " + certs_ + "/" + who + ".pem --key " + certs_ + "/" + who +
               ".key --ca " + certs_ + "/" + ca + ".pem";
    };
    auto ok = tuvoctl(tls("alice", "ca") + " run -a test -- " + sb_->bin_dir + "/hello x");
    EXPECT_EQ(ok.first, 0) << ok.second;
    EXPECT_EQ(ok.second, "hello\n");

    auto by_daemon = tuvoctl(tls("mallory", "ca") + " run -a test -- " + sb_->bin_dir + "/hello x");
    EXPECT_EQ(by_daemon.first, 69) << by_daemon.second;
    EXPECT_NE(by_daemon.second.find("the daemon at tls+tcp://127.0.0.1:5558 refused the TLS handshake"),
              std::string::npos) << by_daemon.second;

    auto by_client = tuvoctl(tls("alice", "otherca") + " run -a test -- " + sb_->bin_dir + "/hello x");
    EXPECT_EQ(by_client.first, 69) << by_client.second;
    EXPECT_NE(by_client.second.find("this client refused the certificate of tls+tcp://127.0.0.1:5558"),
              std::string::npos) << by_client.second;

    auto no_files = tuvoctl("-e tls+tcp://127.0.0.1:5558 list");
    EXPECT_EQ(no_files.first, 64) << no_files.second;
    EXPECT_NE(no_files.second.find("needs --cert, --key and --ca"), std::string::npos) << no_files.second;
    EXPECT_EQ(e2e::read_file(marker_), "x\n");
}

// The usual slips in an endpoint each get their own sentence, naming the
// endpoint that fits.
TEST_F(TlsE2E, TuvoctlNamesTheSchemeThatFitsThePort) {
    start();
    const std::string files =
        " --cert " + certs_ + "/alice.pem --key " + certs_ + "/alice.key --ca " + certs_ + "/ca.pem";
    auto plain_at_tls = tuvoctl("-e tcp://127.0.0.1:5558 list");
    EXPECT_EQ(plain_at_tls.first, 69);
    EXPECT_EQ(plain_at_tls.second,
              "tuvoctl: tcp://127.0.0.1:5558 closed the connection without the greeting a cleartext listener "
              "sends, as a TLS listener does: use tls+tcp://127.0.0.1:5558 with --cert, --key and --ca, or the "
              "cleartext port (5557 by default)\n");
    auto tls_at_plain = tuvoctl("-e tls+tcp://127.0.0.1:5557" + files + " list");
    EXPECT_EQ(tls_at_plain.first, 69);
    EXPECT_EQ(tls_at_plain.second,
              "tuvoctl: tls+tcp://127.0.0.1:5557 is a cleartext listener, not TLS (it greets in tuvod's cleartext "
              "protocol): use tcp://127.0.0.1:5557, or the TLS port (5558 by default) with tls+tcp://\n");
    auto no_port = tuvoctl("-e tls+tcp://127.0.0.1" + files + " list");
    EXPECT_EQ(no_port.first, 64);
    EXPECT_EQ(no_port.second, "tuvoctl: the endpoint 'tls+tcp://127.0.0.1' has no port: the daemon listens on "
                              "tcp://127.0.0.1:5557 (cleartext) and, when TLS is configured, on "
                              "tls+tcp://127.0.0.1:5558\n");
    // The right endpoint works.
    auto ok = tuvoctl("-e tls+tcp://127.0.0.1:5558" + files + " list -q");
    EXPECT_EQ(ok.first, 0) << ok.second;
}

TEST_F(TlsE2E, TuvoctlTakesEverythingFromItsConfigurationFile) {
    start();
    // The user's default file, with names relative to its directory.
    std::string home = sb_->root + "/home";
    ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
    ASSERT_EQ(symlink(certs_.c_str(), (home + "/certs").c_str()), 0);
    sb_->write(home + "/tuvoctl.json",
               "{\"endpoint\": \"tls+tcp://127.0.0.1:5558\", \"certFile\": \"certs/alice.pem\", "
               "\"keyFile\": \"certs/alice.key\", \"caFile\": \"certs/ca.pem\"}",
               0600);
    const std::string env = "XDG_CONFIG_HOME='" + home + "'";
    auto ok = tuvoctl("run -a test -- " + sb_->bin_dir + "/hello viafile", env);
    EXPECT_EQ(ok.first, 0) << ok.second;
    EXPECT_EQ(ok.second, "hello\n");
    EXPECT_NE(exec_log().find("\"caller\": \"tls:alice\""), std::string::npos) << exec_log();

    // The command line wins: another certificate, or the cleartext endpoint
    // (where the file's TLS files are left unused).
    auto other = tuvoctl("--cert " + certs_ + "/mallory.pem --key " + certs_ + "/mallory.key list", env);
    EXPECT_EQ(other.first, 69) << other.second;
    EXPECT_NE(other.second.find("refused the TLS handshake"), std::string::npos) << other.second;
    auto clear = tuvoctl("-e tcp://127.0.0.1:5557 run -a test -- " + sb_->bin_dir + "/hello clear", env);
    EXPECT_EQ(clear.first, 0) << clear.second;

    // A file other users may change is not trusted with where authorities go.
    chmod((home + "/tuvoctl.json").c_str(), 0666);
    auto refused = tuvoctl("run -a test -- " + sb_->bin_dir + "/hello refused", env);
    EXPECT_EQ(refused.first, 78) << refused.second;
    EXPECT_NE(refused.second.find("may be changed by other users"), std::string::npos) << refused.second;
    EXPECT_EQ(e2e::read_file(marker_), "viafile\nclear\n");
}

TEST(LegacyCaller, IsTheUidOwningTheClientSocket) {
    E2E_REQUIRE_ROOT();
    Sandbox sb;
    std::string exe = sb.add_script({.name = "who", .body = "echo hi"});
    sb.write(sb.config_path(), "{\"bindAddrs\": [\"127.0.0.1\"], \"legacyUsers\": [\"65534\"]}", 0600);
    Daemon d(sb, {"-f", "-v"});
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.log();
    // The request comes from a socket owned by another user.
    pid_t child = fork();
    if (child == 0) {
        bool ok = setgid(65534) == 0 && setuid(65534) == 0 && e2e::legacy_call(exe).status == 0;
        _exit(ok ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0) << d.log();
    std::string exec_log = e2e::read_file(sb.log_dir + "/tuvod_exec.log");
    EXPECT_NE(exec_log.find("\"caller\": \"legacy:uid=65534\""), std::string::npos) << exec_log;
    EXPECT_NE(d.log().find("Executing 'who' for legacy:uid=65534"), std::string::npos) << d.log();
    EXPECT_EQ(d.stop(), 0) << d.log();
}

} // namespace
