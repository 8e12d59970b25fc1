// What tuvoctl says when it cannot reach the daemon the way it was told to:
// one sentence per failure, naming what went wrong and what to do about it.
// The transport and legacy code decide which failure it is; the words live
// here so the tests can pin them.
#include <cerrno>
#include <cstring>
#include <string>

#include "ctl.hpp"

namespace {

// The same endpoint with the other scheme: "tcp://h:p" <-> "tls+tcp://h:p".
std::string with_scheme(const std::string &endpoint, const char *scheme) {
    size_t sep = endpoint.find("://");
    return std::string(scheme) + (sep == std::string::npos ? endpoint : endpoint.substr(sep));
}

} // namespace

std::string ctl_msg_no_port(const std::string &endpoint, const std::string &host) {
    return "the endpoint '" + ctl_escape(endpoint) + "' has no port: the daemon listens on tcp://" +
           ctl_escape(host) + ":5557 (cleartext) and, when TLS is configured, on tls+tcp://" + ctl_escape(host) +
           ":5558";
}

std::string ctl_msg_bad_port(const std::string &endpoint) {
    return "the endpoint '" + ctl_escape(endpoint) + "' has no valid port (1 to 65535; the daemon's are 5557 "
           "cleartext and 5558 TLS)";
}

std::string ctl_msg_cleartext_at_tls(const std::string &endpoint, bool answered_tls) {
    std::string tls = with_scheme(endpoint, "tls+tcp");
    std::string why = answered_tls ? " is a TLS listener (it answered in TLS)"
                                   : " closed the connection without the greeting a cleartext listener sends, "
                                     "as a TLS listener does";
    return endpoint + why + ": use " + tls + " with --cert, --key and --ca, or the cleartext port (5557 by default)";
}

std::string ctl_msg_tls_at_cleartext(const std::string &endpoint) {
    return endpoint + " is a cleartext listener, not TLS (it greets in tuvod's cleartext protocol): use " +
           with_scheme(endpoint, "tcp") + ", or the TLS port (5558 by default) with tls+tcp://";
}

std::string ctl_msg_legacy_unreachable(const std::string &where, int err) {
    std::string head = "no legacy gateway answers at " + where;
    if (err == ECONNREFUSED)
        return head + ": nothing listens there; tuvod is not running or is still starting (it opens the "
                      "gateway last): see systemctl status tuvod";
    if (err == 0)
        return head + ": no connection within the time-out; is tuvod running and not stuck? (systemctl status tuvod)";
    return head + ": " + strerror(err) + " (is tuvod running?)";
}

std::string ctl_msg_legacy_closed(const std::string &where, unsigned uid) {
    if (uid != 0)
        return "the legacy gateway at " + where + " closed the connection without an answer: it serves only root "
               "and the users in \"legacyUsers\" of " + CTL_DEFAULT_DAEMON_CONFIG + ", and this is uid " +
               std::to_string(uid) + "; run as root or have that uid added there";
    return "the legacy gateway at " + where + " closed the connection without an answer: tuvod may be stopping, "
           "or could not serve the request (its log says why)";
}

std::string ctl_legacy_status_note(int32_t status, size_t data_len, const std::string &path, int configured) {
    // Only the gateway's "no such script" is explained; a script may exit
    // with 102 itself, which an answer with output shows.
    if (status != 102 || data_len > 0)
        return "";
    std::string quoted = "'" + ctl_escape(path) + "'";
    if (configured == 0)
        return "legacy: status 102 and no output: the script exited with 102, or tuvod has not loaded the "
               "configuration that names " + quoted + " yet (systemctl reload tuvod)";
    std::string note = "legacy: status 102: tuvod has no script with the path " + quoted;
    if (configured == 1)
        note += std::string(" (no configuration in ") + CTL_DEFAULT_SCRIPTS_DIR + " names it)";
    else
        note += " (or the script exited with 102 and printed nothing)";
    return note + "; the first word must be a configured script's \"path\", exactly";
}
