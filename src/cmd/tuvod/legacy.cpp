// The legacy request gateway.
//
// Protocol (127.0.0.1:4562, host byte order): the client sends a 4-byte
// length and that many bytes of command line; the daemon answers with a
// 4-byte exit status, a 4-byte data length and the script's standard
// output, then closes. One request per connection, served on the main
// thread: the command line becomes a synchronous execute request for the
// script whose path is its first word.
//
// Nothing a client does may end the daemon: every failure of one
// connection is logged, closes that connection and lets the main loop go
// on. Only a failure of the listening socket itself is fatal.
#include "legacy.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config.hpp"
#include "error.hpp"
#include "handles.hpp"
#include "info.hpp"
#include "ops.hpp"
#include "peer.hpp"
#include "scripts.hpp"
#include "utils.hpp"

namespace {

constexpr uint16_t TUVO_PORT = 4562;
constexpr size_t TUVO_INITIAL_BUF_SZ = 2048;
constexpr uint32_t TUVO_MAX_REQUEST = 16384;
constexpr int TUVO_READ_TIMEOUT_MS = 3000;
// A client that stops reading its answer must not hold the main thread.
constexpr int TUVO_WRITE_TIMEOUT_S = 10;

enum tuvo_status : int32_t {
    TUVO_STATUS_TIMEDOUT = 100,
    TUVO_STATUS_FAILED = 101,
    TUVO_STATUS_INVALID_CMD = 102,
    TUVO_STATUS_INVALID_REQUEST = 103,
    TUVO_STATUS_WONTDIE = 104,
};

struct cmd_request_t {
    uint32_t length;
};

struct cmd_response_t {
    int32_t exit_status;
    uint32_t length;
};
static_assert(sizeof(cmd_response_t) == 8, "the answer header is 8 bytes on the wire");

// Results of reading from a client.
enum class read_result { ok, closed, failed };

int set_int_option(int fd, int level, int option, int value) {
    return setsockopt(fd, level, option, &value, sizeof value);
}

// Waits for input; returns the poll result (retrying interruptions) and the events.
int poll_input(int fd, short *revents) {
    struct pollfd pfd {fd, POLLIN, 0};
    int rc;
    do {
        pfd.revents = 0;
        rc = poll(&pfd, 1, TUVO_READ_TIMEOUT_MS);
    } while (rc < 0 && errno == EINTR);
    *revents = pfd.revents;
    return rc;
}

read_result read_header(int fd, cmd_request_t *hdr) {
    auto *bytes = reinterpret_cast<char *>(hdr);
    size_t got = 0;
    while (got < sizeof *hdr) {
        short revents = 0;
        int rc = poll_input(fd, &revents);
        if (rc < 0) {
            PRINT_INFO(INFO_ERROR, "Header poll failed for tuvo request: %s\n", strerror(errno));
            return read_result::failed;
        }
        if (revents != POLLIN) {
            PRINT_INFO(INFO_ERROR, "Unexpected return from header poll\n");
            return read_result::failed;
        }
        ssize_t n = read(fd, bytes + got, sizeof *hdr - got);
        if (n == 0) {
            PRINT_INFO(INFO_WARN, "No header data from tuvo client\n");
            return read_result::closed;
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            PRINT_INFO(INFO_ERROR, "Header read failed for tuvo request: %s\n", strerror(errno));
            return read_result::failed;
        }
        got += static_cast<size_t>(n);
    }
    return read_result::ok;
}

read_result read_text(int fd, const char *uuid, char *buf, uint32_t length) {
    size_t got = 0;
    while (got < length) {
        short revents = 0;
        int rc = poll_input(fd, &revents);
        if (rc <= 0) {
            // A stall is reported as a time-out, the error it amounts to.
            PRINT_INFO(INFO_ERROR, "Data poll failed for tuvo request %s: %s\n", uuid,
                       strerror(rc == 0 ? ETIMEDOUT : errno));
            return read_result::failed;
        }
        if (revents != POLLIN) {
            PRINT_INFO(INFO_ERROR, "Unexpected return from tuvo data poll\n");
            return read_result::failed;
        }
        ssize_t n = read(fd, buf + got, length - got);
        if (n == 0) {
            PRINT_INFO(INFO_WARN, "TUVO client request %s closed after %zu of %u bytes\n", uuid, got,
                       length);
            return read_result::closed;
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            PRINT_INFO(INFO_ERROR, "Data read failed for tuvo request %s: %s\n", uuid,
                       strerror(errno));
            return read_result::failed;
        }
        got += static_cast<size_t>(n);
    }
    return read_result::ok;
}

// Splits at every blank outside a double-quoted run; quotes stay in the text.
bool append_arguments(json_t *argv_js, const char *text) {
    const char *start = text;
    bool quoted = false;
    for (const char *p = text;; p++) {
        if (*p == '"') {
            quoted = !quoted;
            continue;
        }
        if ((*p == ' ' && !quoted) || *p == '\0') {
            if (json_array_append_new(argv_js, json_stringn(start, static_cast<size_t>(p - start))) != 0)
                return false;
            if (*p == '\0')
                return true;
            start = p + 1;
        }
    }
}

int32_t status_for_state(const char *state) {
    static constexpr struct {
        tuvod_exec_state_t state;
        int32_t status;
    } table[] = {
        {TUVOD_EXEC_TIMEDOUT, TUVO_STATUS_TIMEDOUT},
        {TUVOD_EXEC_CMD_INVALID, TUVO_STATUS_INVALID_CMD},
        {TUVOD_EXEC_SCRIPT_INVALID, TUVO_STATUS_INVALID_REQUEST},
        {TUVOD_EXEC_WONTDIE, TUVO_STATUS_WONTDIE},
    };
    for (const auto &row : table)
        if (std::strcmp(state, tuvod_exec_res_str(row.state)) == 0)
            return row.status;
    return TUVO_STATUS_FAILED;
}

int set_tuvo_legacy_response(json_t *resp_js, cmd_response_t *resp_hdr, const char **stdout_strp) {
    *stdout_strp = nullptr;
    resp_hdr->length = 0;
    json_t *output = nullptr;
    const char *state = nullptr;
    json_error_t err;
    if (json_unpack_ex(resp_js, &err, 0, "{s:{s:o, s:s}}", "result", "output", &output, "state",
                       &state) != 0) {
        PRINT_INFO(INFO_ERROR, "Malformed response: %s (line %d)\n", err.text, err.line);
        return -1;
    }
    if (std::strcmp(state, tuvod_exec_res_str(TUVOD_EXEC_COMPLETE)) != 0) {
        resp_hdr->exit_status = status_for_state(state);
        return 0;
    }
    int exit_status = 0;
    const char *out = nullptr;
    if (json_unpack_ex(output, &err, 0, "{s:i, s:s}", "exitStatus", &exit_status, "stdout", &out) != 0) {
        JSON_TRACE(DEBUG_LEGACY, output, "Output:");
        PRINT_INFO(INFO_ERROR, "Malformed response: %s (line %d)\n", err.text, err.line);
        return -1;
    }
    resp_hdr->exit_status = exit_status;
    *stdout_strp = out;
    resp_hdr->length = static_cast<uint32_t>(strlen(out));
    return 0;
}

int send_response(int client_fd, cmd_response_t *resp_hdr, const char *resp_data) {
    ssize_t n = send(client_fd, resp_hdr, sizeof *resp_hdr, MSG_NOSIGNAL);
    if (n < 0) {
        PRINT_INFO(INFO_ERROR, "Failed to write legacy tuvo response header%s\n", strerror(errno));
        return -1;
    }
    if (static_cast<size_t>(n) < sizeof *resp_hdr) {
        PRINT_INFO(INFO_ERROR, "Only wrote %zd bytes of legacy tuvo response header\n", n);
        return -1;
    }
    if (resp_hdr->length == 0)
        return 0;
    n = send(client_fd, resp_data, resp_hdr->length, MSG_NOSIGNAL);
    if (n < 0) {
        PRINT_INFO(INFO_ERROR, "Failed to write legacy tuvo response data: %s\n", strerror(errno));
        PRINT_DEBUG(DEBUG_LEGACY, "Data is: '%s' (len %d)\n", resp_data,
                    static_cast<int>(resp_hdr->length));
        return -1;
    }
    if (static_cast<size_t>(n) < resp_hdr->length) {
        PRINT_INFO(INFO_ERROR, "Only wrote %zd of %d bytes of legacy tuvo data", n,
                   static_cast<int>(resp_hdr->length));
        return -1;
    }
    return 0;
}

int send_status(int client_fd, int32_t status) {
    cmd_response_t hdr{status, 0};
    return send_response(client_fd, &hdr, nullptr);
}

bool ensure_buffer(tuvod_state_t *tuvod, uint32_t length) {
    if (length < tuvod->tuvo_cmd_buf_sz)
        return true;
    size_t want = static_cast<size_t>(length) + 1;
    auto *grown = static_cast<char *>(realloc(tuvod->tuvo_cmd_buf, want));
    if (grown == nullptr) {
        PRINT_INFO(INFO_ERROR, "Unable to allocate %zd bytes for TUVO buffer\n",
                   static_cast<ssize_t>(want));
        return false;
    }
    tuvod->tuvo_cmd_buf = grown;
    tuvod->tuvo_cmd_buf_sz = want;
    return true;
}

// Runs the request and answers it; the connection is closed by the caller.
void run_request(tuvod_state_t *tuvod, tuvod_op_handler_fn_t exec_fn, int client_fd,
                 const char *uuid, uint32_t length) {
    json_ptr req(tuvo_legacy_request_json(uuid, tuvod->tuvo_cmd_buf, length + 1));
    if (!req) {
        PRINT_INFO(INFO_ERROR, "Unable to construct tuvod request\n");
        return;
    }
    json_t *argv_js = json_object_get(json_object_get(req.get(), "args"), "argv");
    const char *command = json_string_value(json_array_get(argv_js, 0));
    tuvod_script_ref script = tuvod_script(tuvod, command != nullptr ? command : "");
    json_ptr traced(request_for_trace(req.get(), script ? script->script_redact_argv : -1));
    JSON_TRACE(DEBUG_LEGACY, traced.get(), "tuvo request:");
    if (!script) {
        PRINT_INFO(INFO_ERROR, "Invalid command '%s'\n", command != nullptr ? command : "");
        send_status(client_fd, TUVO_STATUS_INVALID_CMD);
        return;
    }
    if (json_object_set_new(req.get(), "authority", json_string(script->script_authority.c_str())) != 0) {
        PRINT_INFO(INFO_ERROR, "Failed to construct request\n");
        return;
    }
    script.reset();
    json_ptr resp(json_pack("{s:O, s:s, s:s, s:{s:n, s:s}, s:[]}", "tuvodInstanceUUID",
                            tuvod->uuid_js, "requestUUID", uuid, "op", "execute", "result",
                            "output", "state", tuvod_exec_res_str(TUVOD_EXEC_FAILED), "errors"));
    if (!resp) {
        PRINT_INFO(INFO_ERROR, "Unable to construct tuvod response\n");
        return;
    }
    error_stack errors;
    exec_fn(tuvod, uuid, req.get(), resp.get(), errors.ptr());
    JSON_TRACE(DEBUG_LEGACY, resp.get(), "tuvo response:");
    cmd_response_t hdr{};
    const char *data = nullptr;
    if (set_tuvo_legacy_response(resp.get(), &hdr, &data) != 0)
        return;
    PRINT_DEBUG(DEBUG_LEGACY, "Legacy tuvo request %s returns exit status %d (%d bytes data)\n", uuid,
                hdr.exit_status, static_cast<int>(hdr.length));
    send_response(client_fd, &hdr, data);
}

// The "legacyUsers" entries: user names, or uids as text or numbers.
std::vector<std::string> legacy_users(tuvod_state_t *tuvod) {
    std::vector<std::string> users;
    json_t *list = tuvod_conf_get_array(tuvod, nullptr, "legacyUsers", nullptr);
    size_t i;
    json_t *entry;
    json_array_foreach(list, i, entry) {
        if (json_is_string(entry))
            users.emplace_back(json_string_value(entry));
        else if (json_is_integer(entry) && json_integer_value(entry) >= 0)
            users.emplace_back(std::to_string(json_integer_value(entry)));
    }
    return users;
}

// The gateway presents a script's own authority, so only local
// administrators may use it: the peer's socket must belong to root or to a
// user in "legacyUsers". Anyone else is closed before a byte is read.
bool legacy_peer_allowed(tuvod_state_t *tuvod, int client_fd) {
    uid_t uid = 0;
    if (tcp_peer_uid(client_fd, &uid) != 0) {
        PRINT_INFO(INFO_WARN, "Refusing legacy connection: owner of the peer socket unknown: %s\n",
                   strerror(errno));
        return false;
    }
    if (uid_in_user_list(uid, legacy_users(tuvod)))
        return true;
    PRINT_INFO(INFO_WARN, "Refusing legacy connection from uid %u: not root or in legacyUsers\n",
               static_cast<unsigned>(uid));
    return false;
}

void serve_connection(tuvod_state_t *tuvod, tuvod_op_handler_fn_t exec_fn, int client_fd) {
    if (!legacy_peer_allowed(tuvod, client_fd))
        return;
    PRINT_DEBUG(DEBUG_LEGACY, "Processing request on fd %d\n", client_fd);
    struct timeval tv {TUVO_WRITE_TIMEOUT_S, 0};
    setsockopt(client_fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    cmd_request_t hdr{};
    if (read_header(client_fd, &hdr) != read_result::ok)
        return;
    cstr_ptr uuid(generate_uuid_str());
    if (!uuid) {
        PRINT_INFO(INFO_ERROR, "Unable to generate a request UUID\n");
        return;
    }
    PRINT_DEBUG(DEBUG_LEGACY, "TUVO client request %s (length %d)\n", uuid.get(),
                static_cast<int>(hdr.length));
    if (hdr.length == 0 || hdr.length > TUVO_MAX_REQUEST) {
        PRINT_INFO(INFO_ERROR, "TUVO client request %s has invalid size (%d bytes)\n", uuid.get(),
                   static_cast<int>(hdr.length));
        send_status(client_fd, TUVO_STATUS_INVALID_REQUEST);
        return;
    }
    if (!ensure_buffer(tuvod, hdr.length))
        return;
    if (read_text(client_fd, uuid.get(), tuvod->tuvo_cmd_buf, hdr.length) != read_result::ok)
        return;
    tuvod->tuvo_cmd_buf[hdr.length] = '\0';
    run_request(tuvod, exec_fn, client_fd, uuid.get(), hdr.length);
}

// Failures of one incoming connection rather than of the listening socket.
bool per_connection_accept_error(int err) {
    switch (err) {
    case ECONNABORTED:
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case EPROTO:
    case EPERM:
        return true;
    default:
        return false;
    }
}

} // namespace

json_t *tuvo_legacy_request_json(const char *uuid_str, char *req_buf, size_t req_buf_sz) {
    json_ptr req(json_pack("{s:s, s:s, s:n, s:{s:[], s:b}}", "op", "execute", "requestUUID",
                           uuid_str, "authority", "args", "argv", "asynchronous", 0));
    if (!req)
        return nullptr;
    json_t *argv_js = json_object_get(json_object_get(req.get(), "args"), "argv");
    // The text ends at its first NUL, or at the end of the buffer.
    std::string text(req_buf, strnlen(req_buf, req_buf_sz));
    if (!append_arguments(argv_js, text.c_str()))
        return nullptr;
    return req.release();
}

int tuvo_legacy_start(tuvod_state_t *tuvod) {
    unique_fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        PRINT_INFO(INFO_ERROR, "Failed to open legacy tuvo socket: %s\n", strerror(errno));
        return -1;
    }
    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(TUVO_PORT);
    if (set_int_option(fd.get(), SOL_SOCKET, SO_REUSEADDR, 1) != 0) {
        PRINT_INFO(INFO_ERROR, "Failed to set SO_REUSEADDR on legacy tuvo socket: %s\n",
                   strerror(errno));
        return -1;
    }
    if (set_int_option(fd.get(), IPPROTO_TCP, TCP_NODELAY, 1) != 0) {
        PRINT_INFO(INFO_ERROR, "Failed to set TCP_NODELAY on legacy tuvo socket: %s\n",
                   strerror(errno));
        return -1;
    }
    if (bind(fd.get(), reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
        PRINT_INFO(INFO_ERROR, "Failed to bind legacy tuvo socket: %s\n", strerror(errno));
        return -1;
    }
    if (listen(fd.get(), 10) != 0) {
        PRINT_INFO(INFO_ERROR, "Failed to listen on tuvo socket: %s\n", strerror(errno));
        return -1;
    }
    auto *buf = static_cast<char *>(malloc(TUVO_INITIAL_BUF_SZ));
    if (buf == nullptr) {
        PRINT_INFO(INFO_ERROR, "Failed to allocate tuvo command buffer\n");
        return -1;
    }
    tuvod->tuvo_cmd_buf = buf;
    tuvod->tuvo_cmd_buf_sz = TUVO_INITIAL_BUF_SZ;
    tuvod->tuvo_fd = fd.release();
    return 0;
}

int tuvo_legacy_poll(tuvod_state_t *tuvod) {
    PRINT_DEBUG(DEBUG_LEGACY, "Polling for tuvo request...\n");
    tuvod_op_handler_fn_t exec_fn = tuvod_op_fn("execute");
    if (exec_fn == nullptr) {
        PRINT_INFO(INFO_ERROR, "No exec handler, unable to process legacy requests\n");
        return -1;
    }
    unique_fd client(accept4(tuvod->tuvo_fd, nullptr, nullptr, SOCK_CLOEXEC));
    if (!client) {
        int err = errno;
        if (err == EINTR)
            return 0;
        PRINT_INFO(INFO_ERROR, "accept failed for tuvo client: %s\n", strerror(err));
        if (!per_connection_accept_error(err))
            return -1;
        // Out of descriptors or memory: give the system a moment instead of spinning.
        poll(nullptr, 0, 100);
        return 0;
    }
    serve_connection(tuvod, exec_fn, client.get());
    return 0;
}

void tuvo_legacy_stop(tuvod_state_t *tuvod) {
    if (tuvod->tuvo_fd > 0) {
        shutdown(tuvod->tuvo_fd, SHUT_RDWR);
        close(tuvod->tuvo_fd);
        tuvod->tuvo_fd = 0;
    }
    free(tuvod->tuvo_cmd_buf);
    tuvod->tuvo_cmd_buf = nullptr;
    tuvod->tuvo_cmd_buf_sz = 0;
}
