// tuvoctl on the wire: the envelopes it sends, how it reads answers and
// turns them into output and exit statuses, the legacy framing, and a real
// REQ exchange with a stand-in daemon.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "capture.hpp"
#include "ctl.hpp"

namespace {

json_ptr reply_from(const std::string &text) {
    std::string err;
    json_ptr r = ctl_parse_reply(text.data(), text.size(), &err);
    EXPECT_TRUE(r) << err << " in " << text;
    return r;
}

ctl_options_t opts_for(ctl_cmd_t cmd) {
    ctl_options_t o;
    o.cmd = cmd;
    o.argv = {"/opt/x.sh"};
    return o;
}

TEST(TuvoctlProtocol, EnvelopesCarryExactlyTheFourMembers) {
    ctl_options_t o = opts_for(ctl_cmd_t::start);
    o.argv = {"/opt/x.sh", "a b", "ü"};
    o.authority = "ops";
    json_ptr req = ctl_request_for(o, "id-1");
    ASSERT_TRUE(req);
    json_error_t e;
    const char *uuid, *auth, *op;
    json_t *args;
    ASSERT_EQ(json_unpack_ex(req.get(), &e, JSON_STRICT, "{s:s, s:s, s:s, s:o}", "requestUUID", &uuid,
                             "authority", &auth, "op", &op, "args", &args), 0) << e.text;
    EXPECT_STREQ(uuid, "id-1");
    EXPECT_STREQ(auth, "ops");
    EXPECT_STREQ(op, "execute");
    EXPECT_TRUE(json_equal(args, json_ptr(json_pack("{s:[s,s,s], s:b}", "argv", "/opt/x.sh", "a b", "ü",
                                                     "asynchronous", 1)).get()));

    // get and clear name the command by the envelope's own identifier.
    o = opts_for(ctl_cmd_t::get);
    o.target_uuid = "cmd-7";
    req = ctl_request_for(o, "ignored");
    EXPECT_STREQ(json_string_value(json_object_get(req.get(), "requestUUID")), "cmd-7");
    EXPECT_EQ(json_array_size(json_object_get(json_object_get(req.get(), "args"), "properties")), 7u);
    o = opts_for(ctl_cmd_t::clear);
    o.target_uuid = "cmd-7";
    o.force = true;
    req = ctl_request_for(o, "ignored");
    EXPECT_STREQ(json_string_value(json_object_get(req.get(), "requestUUID")), "cmd-7");
    EXPECT_TRUE(json_is_true(json_object_get(json_object_get(req.get(), "args"), "force")));

    // An argument that JSON cannot hold is refused here rather than sent mangled.
    o = opts_for(ctl_cmd_t::run);
    o.argv = {"/opt/x.sh", "\xff"};
    EXPECT_FALSE(ctl_request_for(o, "id"));
}

TEST(TuvoctlProtocol, RepliesAreReadUpToTheNulAndKeepNulBytesInStrings) {
    std::string body = R"({"result":{"output":{"stdout":"a\u0000b"},"state":"COMPLETE"},"errors":[]})";
    body += '\0';
    body += "trailing garbage";
    json_ptr r = reply_from(body);
    ASSERT_TRUE(r);
    json_t *out = json_object_get(json_object_get(json_object_get(r.get(), "result"), "output"), "stdout");
    EXPECT_EQ(json_string_length(out), 3u);

    std::string err;
    EXPECT_FALSE(ctl_parse_reply("nope", 4, &err));
    EXPECT_FALSE(ctl_parse_reply("{\"errors\":[]}", 13, &err));
    EXPECT_FALSE(ctl_parse_reply("[1]", 3, &err));
}

TEST(TuvoctlProtocol, RunPassesTheScriptsOutputAndStatusOn) {
    json_ptr r = reply_from(R"({"result":{"name":"x","state":"COMPLETE","errors":[],
        "output":{"exitStatus":3,"stdout":"out\u0000put\n","stderr":"oops\n"}},"errors":[]})");
    capture out, err;
    EXPECT_EQ(ctl_render_reply(opts_for(ctl_cmd_t::run), "id", r.get(), out.file(), err.file()), 3);
    EXPECT_EQ(out.text(), std::string("out\0put\n", 8));
    EXPECT_EQ(err.text(), "oops\n");
}

TEST(TuvoctlProtocol, CommandsThatDidNotCompleteGetTheirOwnStatuses) {
    // A time-out keeps the partial output and shows every error entry.
    json_ptr r = reply_from(R"({"result":{"state":"TIMEDOUT","errors":[{"errorCode":145,
        "errorString":"Command timed out"}],"output":{"exitStatus":null,"stdout":"so far\n","stderr":""}},
        "errors":[]})");
    capture out, err;
    EXPECT_EQ(ctl_render_reply(opts_for(ctl_cmd_t::run), "id", r.get(), out.file(), err.file()),
              CTL_EXIT_TIMEDOUT);
    EXPECT_EQ(out.text(), "so far\n");
    EXPECT_NE(err.text().find("TIMEDOUT"), std::string::npos) << err.text();
    EXPECT_NE(err.text().find("ETIMEDOUT (145): Command timed out"), std::string::npos) << err.text();

    struct {
        const char *state;
        int status;
    } cases[] = {{"WONTDIE", CTL_EXIT_TIMEDOUT}, {"INVALID_CMD", CTL_EXIT_INVALID_CMD},
                 {"INVALID_SCRIPT", CTL_EXIT_INVALID_SCRIPT}, {"FAILED", CTL_EXIT_NOT_RUN},
                 {"DIED", CTL_EXIT_NOT_RUN}, {"ABNORMAL_EXOIT", CTL_EXIT_NOT_RUN}};
    for (const auto &c : cases) {
        json_ptr s = reply_from(std::string(R"({"result":{"output":null,"state":")") + c.state +
                                R"("},"errors":[{"errorCode":1,"errorString":"No authority"}]})");
        capture o2, e2;
        EXPECT_EQ(ctl_render_reply(opts_for(ctl_cmd_t::run), "id", s.get(), o2.file(), e2.file()),
                  c.status) << c.state;
        EXPECT_NE(e2.text().find("EPERM (1): No authority"), std::string::npos) << e2.text();
    }

    // COMPLETE without an exit status is not an answer tuvoctl can trust.
    json_ptr bad = reply_from(R"({"result":{"state":"COMPLETE","output":{}},"errors":[]})");
    capture o3, e3;
    EXPECT_EQ(ctl_render_reply(opts_for(ctl_cmd_t::run), "id", bad.get(), o3.file(), e3.file()),
              CTL_EXIT_PROTOCOL);
}

TEST(TuvoctlProtocol, StartGetListAndClearOutput) {
    json_ptr running = reply_from(R"({"result":{"output":null,"state":"RUNNING"},"errors":[]})");
    capture out, err;
    EXPECT_EQ(ctl_render_reply(opts_for(ctl_cmd_t::start), "id-9", running.get(), out.file(), err.file()), 0);
    EXPECT_EQ(out.text(), "id-9\n");

    ctl_options_t get = opts_for(ctl_cmd_t::get);
    get.properties = {"state", "output", "finish"};
    json_ptr got = reply_from(R"({"result":{"output":{"exitStatus":0,"stdout":"hi\n","stderr":""},
        "state":"COMPLETE","finish":null},"errors":[]})");
    capture gout, gerr;
    EXPECT_EQ(ctl_render_reply(get, "x", got.get(), gout.file(), gerr.file()), 0);
    EXPECT_EQ(gout.text(), "state: COMPLETE\noutput: {\"exitStatus\":0,\"stdout\":\"hi\\n\",\"stderr\":\"\"}\n"
                           "finish: null\n");

    json_ptr missing = reply_from(R"({"result":{"output":null,"state":"FAILED"},
        "errors":[{"errorCode":22,"errorString":"Unable to get x"}]})");
    capture mout, merr;
    EXPECT_EQ(ctl_render_reply(get, "x", missing.get(), mout.file(), merr.file()), CTL_EXIT_FAILED);
    EXPECT_EQ(mout.text(), "");
    EXPECT_NE(merr.text().find("EINVAL (22): Unable to get x"), std::string::npos);

    // The daemon's odd code for a clear of a running record is explained.
    json_ptr still = reply_from(R"({"result":{},"errors":[{"errorCode":12,"errorString":"Unable to delete x"}]})");
    capture rout, rerr;
    EXPECT_EQ(ctl_render_reply(opts_for(ctl_cmd_t::clear), "x", still.get(), rout.file(), rerr.file()),
              CTL_EXIT_FAILED);
    EXPECT_NE(rerr.text().find("ENOMEM (12): Unable to delete x\ntuvoctl: the command is still running (or "
                               "unknown); use --force, or cancel it first\n"),
              std::string::npos)
        << rerr.text();

    json_ptr listed = reply_from(R"({"result":{"u1":"RUNNING","u2":"COMPLETE"},"errors":[]})");
    capture lout, lerr;
    EXPECT_EQ(ctl_render_reply(opts_for(ctl_cmd_t::list), "x", listed.get(), lout.file(), lerr.file()), 0);
    EXPECT_EQ(lout.text(), "u1 RUNNING\nu2 COMPLETE\n");

    capture cout_, cerr_;
    EXPECT_EQ(ctl_render_reply(opts_for(ctl_cmd_t::clear), "x", missing.get(), cout_.file(), cerr_.file()),
              CTL_EXIT_FAILED);

    // --json prints the whole response and keeps the exit status.
    ctl_options_t js = opts_for(ctl_cmd_t::run);
    js.json = true;
    json_ptr done = reply_from(R"({"result":{"state":"COMPLETE","output":{"exitStatus":4,"stdout":"x"}},"errors":[]})");
    capture jout, jerr;
    EXPECT_EQ(ctl_render_reply(js, "x", done.get(), jout.file(), jerr.file()), 4);
    json_error_t e;
    json_ptr echoed(json_loads(jout.text().c_str(), 0, &e));
    EXPECT_TRUE(json_equal(echoed.get(), done.get())) << jout.text();
}

TEST(TuvoctlProtocol, LegacyFraming) {
    // The gateway's own example: 14 bytes of text, answered 0 with "ok\n".
    EXPECT_EQ(ctl_legacy_encode("/usr/lib/x arg"), std::string("\x0e\0\0\0/usr/lib/x arg", 18));
    EXPECT_EQ(ctl_legacy_encode(std::string(300, 'a')).substr(0, 4), std::string("\x2c\x01\0\0", 4));

    int32_t status = 99;
    std::string data;
    std::string answer("\0\0\0\0\x03\0\0\0ok\n", 11);
    for (size_t cut = 0; cut < answer.size(); cut++)
        EXPECT_EQ(ctl_legacy_decode(answer.substr(0, cut), &status, &data), 0) << cut;
    ASSERT_EQ(ctl_legacy_decode(answer, &status, &data), 1);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(data, "ok\n");

    ASSERT_EQ(ctl_legacy_decode(std::string("\x66\0\0\0\0\0\0\0", 8), &status, &data), 1);
    EXPECT_EQ(status, 102);
    EXPECT_EQ(data, "");
    ASSERT_EQ(ctl_legacy_decode(std::string("\xff\xff\xff\xff\0\0\0\0", 8), &status, &data), 1);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(ctl_legacy_decode(std::string("\0\0\0\0\xff\xff\xff\xff", 8), &status, &data), -1);
}

// A stand-in daemon: answers one request with a reply of the given size.
class fake_daemon {
  public:
    fake_daemon(const std::string &endpoint, size_t stdout_len) : sock_(nn_socket(AF_SP, NN_REP)) {
        int unlimited = -1;
        nn_setsockopt(sock_, NN_SOL_SOCKET, NN_RCVMAXSIZE, &unlimited, sizeof unlimited);
        EXPECT_GE(nn_bind(sock_, endpoint.c_str()), 0) << nn_strerror(nn_errno());
        thread_ = std::thread([this, stdout_len] { serve(stdout_len); });
    }
    ~fake_daemon() {
        thread_.join();
        nn_close(sock_);
    }
    std::string request;

  private:
    void serve(size_t stdout_len) {
        int timeout = 10000;
        nn_setsockopt(sock_, NN_SOL_SOCKET, NN_RCVTIMEO, &timeout, sizeof timeout);
        void *buf = nullptr;
        int n = nn_recv(sock_, &buf, NN_MSG, 0);
        if (n < 0)
            return;
        request.assign(static_cast<char *>(buf), static_cast<size_t>(n));
        nn_freemsg(buf);
        json_ptr reply(json_pack("{s:{s:s, s:{s:i, s:s%, s:s}}, s:[]}", "result", "state", "COMPLETE",
                                 "output", "exitStatus", 0, "stdout", std::string(stdout_len, 'x').c_str(),
                                 stdout_len, "stderr", "", "errors"));
        char *text = json_dumps(reply.get(), JSON_COMPACT);
        nn_send(sock_, text, strlen(text) + 1, 0);
        free(text);
    }
    int sock_;
    std::thread thread_;
};

// A loopback port that nothing listens on.
int unused_port() {
    unique_fd fd(socket(AF_INET, SOCK_STREAM, 0));
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (bind(fd.get(), reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0 ||
        getsockname(fd.get(), reinterpret_cast<struct sockaddr *>(&sa), &len) != 0)
        return 1;
    return ntohs(sa.sin_port);
}

TEST(TuvoctlProtocol, LargeRepliesArriveWhole) {
    // Above nanomsg's default 1 MiB receive limit, which would drop the reply.
    const size_t big = 3u << 20;
    json_ptr reply;
    std::string err;
    json_ptr req = ctl_request("id-big", "a", "execute", json_object());
    std::string endpoint = "tcp://127.0.0.1:" + std::to_string(unused_port());
    {
        fake_daemon d(endpoint, big);
        ASSERT_EQ(ctl_call(endpoint, 10000, req.get(), &reply, &err), 0) << err;
        // The request text goes out with its terminating NUL.
        ASSERT_FALSE(d.request.empty());
        EXPECT_EQ(d.request.back(), '\0');
    }
    json_t *out = json_object_get(json_object_get(json_object_get(reply.get(), "result"), "output"), "stdout");
    EXPECT_EQ(json_string_length(out), big);
}

TEST(TuvoctlProtocol, NoDaemonFailsFastWithAClearReason) {
    json_ptr req = ctl_request("id", "a", "list", json_object());
    json_ptr reply;
    std::string err;
    auto t0 = std::chrono::steady_clock::now();
    // Nothing listens there; the reply time-out is far longer than the wait allowed.
    std::string endpoint = "tcp://127.0.0.1:" + std::to_string(unused_port());
    EXPECT_EQ(ctl_call(endpoint, 60000, req.get(), &reply, &err), CTL_EXIT_UNAVAILABLE);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30));
    EXPECT_NE(err.find("no daemon answers at " + endpoint), std::string::npos) << err;

    EXPECT_EQ(ctl_call("bogus://x", 1000, req.get(), &reply, &err), CTL_EXIT_USAGE);

    int32_t status;
    std::string data;
    EXPECT_EQ(ctl_legacy_call("127.0.0.1", unused_port(), "/x", 5000, &status, &data, &err),
              CTL_EXIT_UNAVAILABLE);
    EXPECT_NE(err.find("no legacy gateway answers"), std::string::npos) << err;
}

} // namespace

namespace {

// The TLS files say whom tuvoctl trusts: one that others could change is
// refused before anything is sent, as the configuration file would be.
TEST(TuvoctlProtocol, TlsFilesOthersCanChangeAreRefused) {
    char dir[] = "/tmp/tuvoctl-tls-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string d = dir;
    for (const char *f : {"/ca.pem", "/c.pem", "/c.key"}) {
        FILE *fp = fopen((d + f).c_str(), "w");
        ASSERT_NE(fp, nullptr);
        fclose(fp);
        chmod((d + f).c_str(), 0600);
    }
    ctl_tls_t tls{d + "/c.pem", d + "/c.key", d + "/ca.pem"};
    std::string body, err;
    std::string endpoint = "tls+tcp://127.0.0.1:" + std::to_string(unused_port());
    for (const std::string &path : {tls.ca, tls.cert, tls.key}) {
        chmod(path.c_str(), 0666);
        EXPECT_EQ(ctl_exchange(endpoint, 5000, "{}", &body, &err, &tls), CTL_EXIT_CONFIG) << path;
        EXPECT_NE(err.find("may be changed by other users"), std::string::npos) << err;
        chmod(path.c_str(), 0600);
    }
    // With safe files the failure is the absent daemon's.
    EXPECT_EQ(ctl_exchange(endpoint, 5000, "{}", &body, &err, &tls), CTL_EXIT_UNAVAILABLE) << err;
    std::error_code ec;
    std::filesystem::remove_all(d, ec);
}

} // namespace

namespace {

// A listener that is not the daemon: it treats each accepted connection as
// told (index 0 is the first), for the scheme checks below. Bounded: it
// stops accepting when the object goes.
class odd_listener {
  public:
    enum class act { close, hold, tls_alert };
    explicit odd_listener(std::vector<act> acts) : acts_(std::move(acts)), fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        struct sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        EXPECT_EQ(bind(fd_.get(), reinterpret_cast<struct sockaddr *>(&sa), sizeof sa), 0);
        EXPECT_EQ(listen(fd_.get(), 8), 0);
        getsockname(fd_.get(), reinterpret_cast<struct sockaddr *>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~odd_listener() {
        stop_ = true;
        thread_.join();
    }
    std::string endpoint() const { return "tcp://127.0.0.1:" + std::to_string(port_); }

  private:
    void serve() {
        for (size_t n = 0; !stop_;) {
            struct pollfd p = {fd_.get(), POLLIN, 0};
            if (poll(&p, 1, 50) != 1)
                continue;
            unique_fd c(accept(fd_.get(), nullptr, nullptr));
            act a = n < acts_.size() ? acts_[n] : acts_.back();
            n++;
            if (a == act::tls_alert) {
                // As a TLS listener does: read the would-be ClientHello, then
                // alert (reading first, so the close is no reset).
                struct pollfd in = {c.get(), POLLIN, 0};
                char hello[4096];
                if (poll(&in, 1, 2000) == 1)
                    (void)!read(c.get(), hello, sizeof hello);
                static const char alert[] = "\x15\x03\x03\x00\x02\x02\x46";
                (void)!write(c.get(), alert, sizeof alert - 1);
            }
            if (a == act::hold)
                held_.push_back(std::move(c));
        }
    }
    std::vector<act> acts_;
    unique_fd fd_;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::vector<unique_fd> held_;
    std::thread thread_;
};

// A cleartext exchange that meets no greeting is told apart by a second
// look at the port: a TLS listener keeps quiet, waiting for a ClientHello,
// while a listener that closes every connection (a daemon at its limits) is
// no TLS listener at all.
TEST(TuvoctlProtocol, ACleartextEndpointAtATlsPortIsNamed) {
    using act = odd_listener::act;
    json_ptr req = ctl_request("id", "a", "list", json_object());
    json_ptr reply;
    std::string err;
    {
        odd_listener tls_like({act::close, act::hold});
        EXPECT_EQ(ctl_call(tls_like.endpoint(), 10000, req.get(), &reply, &err), CTL_EXIT_UNAVAILABLE);
        EXPECT_EQ(err, ctl_msg_cleartext_at_tls(tls_like.endpoint(), false));
    }
    {
        odd_listener alerting({act::tls_alert});
        EXPECT_EQ(ctl_call(alerting.endpoint(), 10000, req.get(), &reply, &err), CTL_EXIT_UNAVAILABLE);
        EXPECT_EQ(err, ctl_msg_cleartext_at_tls(alerting.endpoint(), true));
    }
    {
        odd_listener closing({act::close});
        EXPECT_EQ(ctl_call(closing.endpoint(), 10000, req.get(), &reply, &err), CTL_EXIT_UNAVAILABLE);
        EXPECT_EQ(err, "lost the connection to tuvod at " + closing.endpoint());
    }
}

} // namespace
