// tuvoctl's own sentences for the mistakes operators make when pointing it
// at the daemon: a wrong scheme for the port, a missing port, the legacy
// gateway absent or refusing, and the gateway's "no such script".
#include <gtest/gtest.h>

#include <cerrno>

#include "ctl.hpp"

namespace {

TEST(TuvoctlMessages, EndpointsWithoutAUsablePortSayWhichPortsTheDaemonHas) {
    EXPECT_EQ(ctl_endpoint_problem("tcp://127.0.0.1:5557"), "");
    EXPECT_EQ(ctl_endpoint_problem("tls+tcp://[::1]:5558"), "");
    EXPECT_EQ(ctl_endpoint_problem("tcp://127.0.0.1"),
              "the endpoint 'tcp://127.0.0.1' has no port: the daemon listens on tcp://127.0.0.1:5557 (cleartext) "
              "and, when TLS is configured, on tls+tcp://127.0.0.1:5558");
    // Brackets keep an IPv6 address's colons from reading as a port.
    EXPECT_EQ(ctl_endpoint_problem("tls+tcp://[::1]"), ctl_msg_no_port("tls+tcp://[::1]", "[::1]"));
    EXPECT_EQ(ctl_endpoint_problem("tcp://appliance:"), ctl_msg_no_port("tcp://appliance:", "appliance"));
    for (const char *bad : {"tcp://h:0", "tcp://h:65536", "tcp://h:55570000", "tcp://h:55x"})
        EXPECT_EQ(ctl_endpoint_problem(bad), ctl_msg_bad_port(bad)) << bad;
    EXPECT_EQ(ctl_endpoint_problem("udp://h:1"), "invalid endpoint 'udp://h:1' (tcp://host:port or tls+tcp://host:port)");
    EXPECT_EQ(ctl_endpoint_problem("tcp://:5557"), "invalid endpoint 'tcp://:5557' (tcp://host:port or tls+tcp://host:port)");
}

TEST(TuvoctlMessages, AWrongSchemeNamesTheOneThatFits) {
    EXPECT_EQ(ctl_msg_cleartext_at_tls("tcp://10.1.2.3:5558", true),
              "tcp://10.1.2.3:5558 is a TLS listener (it answered in TLS): use tls+tcp://10.1.2.3:5558 with --cert, "
              "--key and --ca, or the cleartext port (5557 by default)");
    EXPECT_EQ(ctl_msg_cleartext_at_tls("tcp://10.1.2.3:5558", false),
              "tcp://10.1.2.3:5558 closed the connection without the greeting a cleartext listener sends, as a TLS "
              "listener does: use tls+tcp://10.1.2.3:5558 with --cert, --key and --ca, or the cleartext port (5557 by "
              "default)");
    EXPECT_EQ(ctl_msg_tls_at_cleartext("tls+tcp://10.1.2.3:5557"),
              "tls+tcp://10.1.2.3:5557 is a cleartext listener, not TLS (it greets in tuvod's cleartext protocol): "
              "use tcp://10.1.2.3:5557, or the TLS port (5558 by default) with tls+tcp://");
}

TEST(TuvoctlMessages, LegacyFailuresSayWhatToDo) {
    const std::string where = "127.0.0.1 port 4562";
    EXPECT_EQ(ctl_msg_legacy_unreachable(where, ECONNREFUSED),
              "no legacy gateway answers at 127.0.0.1 port 4562: nothing listens there; tuvod is not running or is "
              "still starting (it opens the gateway last): see systemctl status tuvod");
    EXPECT_EQ(ctl_msg_legacy_unreachable(where, 0),
              "no legacy gateway answers at 127.0.0.1 port 4562: no connection within the time-out; is tuvod running "
              "and not stuck? (systemctl status tuvod)");
    EXPECT_EQ(ctl_msg_legacy_closed(where, 1000),
              "the legacy gateway at 127.0.0.1 port 4562 closed the connection without an answer: it serves only "
              "root and the users in \"legacyUsers\" of /lumo/conf/tuvod/config.json, and this is uid 1000; run as "
              "root or have that uid added there");
    // Root is never refused for who it is.
    EXPECT_EQ(ctl_msg_legacy_closed(where, 0).find("legacyUsers"), std::string::npos);
}

TEST(TuvoctlMessages, Status102IsExplainedOnlyWhenItCanBeTheGateways) {
    EXPECT_EQ(ctl_legacy_status_note(102, 0, "/usr/lib/x", 1),
              "legacy: status 102: tuvod has no script with the path '/usr/lib/x' (no configuration in "
              "/lumo/conf/tuvod/script_config.d names it); the first word must be a configured script's \"path\", "
              "exactly");
    EXPECT_EQ(ctl_legacy_status_note(102, 0, "/usr/lib/x", -1),
              "legacy: status 102: tuvod has no script with the path '/usr/lib/x' (or the script exited with 102 and "
              "printed nothing); the first word must be a configured script's \"path\", exactly");
    EXPECT_EQ(ctl_legacy_status_note(102, 0, "/usr/lib/x", 0),
              "legacy: status 102 and no output: the script exited with 102, or tuvod has not loaded the "
              "configuration that names '/usr/lib/x' yet (systemctl reload tuvod)");
    // Output means the script ran: 102 is its own status.
    EXPECT_EQ(ctl_legacy_status_note(102, 3, "/usr/lib/x", 1), "");
    EXPECT_EQ(ctl_legacy_status_note(101, 0, "/usr/lib/x", 1), "");
    // The path is the caller's text: escaped like any other.
    EXPECT_NE(ctl_legacy_status_note(102, 0, "/x\x1b[2J", 1).find("'/x\\x1b[2J'"), std::string::npos);
}

} // namespace
