// The legacy request gateway.
//
// Protocol (127.0.0.1:4562, host byte order): the client sends a 4-byte
// length and that many bytes of command line; the daemon answers with a
// 4-byte exit status, a 4-byte data length and the script's standard
// output, then closes. One request per connection: the command line becomes
// a synchronous execute request for the script whose path is its first word.
//
// Threads: the main thread accepts (tuvo_legacy_poll waits at most one tick,
// with SIGTERM and SIGHUP unblocked only inside that wait) and hands each
// connection to a thread of its own, at most TUVO_MAX_CONNECTIONS at once;
// while all are busy the listening socket is not polled and further clients
// wait in the listen backlog. A finished thread says so on an eventfd, and
// the main thread joins it. The whole request (header and text) must arrive
// within one deadline, and the answer must keep being taken (no stretch of
// TUVO_WRITE_TIMEOUT_MS without a byte accepted), so a slow reader gets a
// large answer whole while a client that stops reading frees its thread.
//
// Nothing a client does may end the daemon: every failure of one
// connection is logged, closes that connection and lets the main loop go
// on. Only a failure of the listening socket itself is fatal.
#include "legacy.hpp"

#include "argv.hpp"
#include "caller.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <atomic>
#include <cstring>
#include <string>
#include <memory>
#include <new>
#include <vector>

#include "config.hpp"
#include "error.hpp"
#include "handles.hpp"
#include "info.hpp"
#include "ops.hpp"
#include "peer.hpp"
#include "scripts.hpp"
#include "utils.hpp"
#include "wire.hpp"

namespace {

// "legacy:uid=<n>" for a connection from this host: the owner of the
// peer's socket; "legacy:uid=unknown" when it cannot be found.
std::string tuvod_legacy_caller(int fd) {
    uid_t uid;
    if (tcp_peer_uid(fd, &uid) != 0)
        return "legacy:uid=unknown";
    return "legacy:uid=" + std::to_string(uid);
}


constexpr uint16_t TUVO_PORT = 4562;
constexpr uint32_t TUVO_MAX_REQUEST = 16384;
// The whole request, header and text, must arrive within this time.
constexpr int64_t TUVO_READ_TIMEOUT_MS = 3000;
// A client that takes no byte of its answer for this long must not hold
// its thread; one that keeps reading, however slowly, is served.
constexpr int64_t TUVO_WRITE_TIMEOUT_MS = 10000;
// Connections served at once; more wait in the listen backlog.
constexpr int TUVO_MAX_CONNECTIONS = 8;
// The longest a main-loop pass waits, so the loop ticks at least this often.
constexpr int TUVO_POLL_TICK_MS = 1000;

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

int ms_until(int64_t deadline) {
    int64_t left = deadline - monotonic_ms();
    return left <= 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// Waits for the events until the deadline; returns the poll result
// (retrying interruptions with the time that is left) and the events.
int poll_until(int fd, short events, int64_t deadline, short *revents) {
    struct pollfd pfd {fd, events, 0};
    int rc;
    do {
        pfd.revents = 0;
        rc = poll(&pfd, 1, ms_until(deadline));
    } while (rc < 0 && errno == EINTR);
    *revents = pfd.revents;
    return rc;
}

// A read of a non-blocking socket that found nothing after all is retried.
bool read_again(ssize_t n) { return n < 0 && (errno == EINTR || errno == EAGAIN); }

read_result read_header(int fd, cmd_request_t *hdr, int64_t deadline) {
    auto *bytes = reinterpret_cast<char *>(hdr);
    size_t got = 0;
    while (got < sizeof *hdr) {
        short revents = 0;
        int rc = poll_until(fd, POLLIN, deadline, &revents);
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
            if (read_again(n))
                continue;
            PRINT_INFO(INFO_ERROR, "Header read failed for tuvo request: %s\n", strerror(errno));
            return read_result::failed;
        }
        got += static_cast<size_t>(n);
    }
    return read_result::ok;
}

read_result read_text(int fd, const char *uuid, char *buf, uint32_t length, int64_t deadline) {
    size_t got = 0;
    while (got < length) {
        short revents = 0;
        int rc = poll_until(fd, POLLIN, deadline, &revents);
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
            if (read_again(n))
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

// Sends len bytes, resuming after partial writes and interruptions, while
// the peer takes at least one byte every idle_ms. *sent is what went out;
// -1 with errno (ETIMEDOUT when the peer stalled) unless all did.
int send_all(int fd, const char *data, size_t len, int64_t idle_ms, size_t *sent) {
    *sent = 0;
    int64_t deadline = monotonic_ms() + idle_ms;
    while (*sent < len) {
        ssize_t n = send(fd, data + *sent, len - *sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            *sent += static_cast<size_t>(n);
            deadline = monotonic_ms() + idle_ms;
            continue;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            return -1;
        short revents = 0;
        int rc = poll_until(fd, POLLOUT, deadline, &revents);
        if (rc < 0)
            return -1;
        if (rc == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
    }
    return 0;
}

int send_response(int client_fd, cmd_response_t *resp_hdr, const char *resp_data) {
    size_t sent = 0;
    if (send_all(client_fd, reinterpret_cast<const char *>(resp_hdr), sizeof *resp_hdr, TUVO_WRITE_TIMEOUT_MS,
                 &sent) != 0) {
        if (sent == 0)
            PRINT_INFO(INFO_ERROR, "Failed to write legacy tuvo response header%s\n", strerror(errno));
        else
            PRINT_INFO(INFO_ERROR, "Only wrote %zd bytes of legacy tuvo response header\n",
                       static_cast<ssize_t>(sent));
        return -1;
    }
    if (resp_hdr->length == 0)
        return 0;
    if (send_all(client_fd, resp_data, resp_hdr->length, TUVO_WRITE_TIMEOUT_MS, &sent) != 0) {
        if (sent == 0) {
            PRINT_INFO(INFO_ERROR, "Failed to write legacy tuvo response data: %s\n", strerror(errno));
            PRINT_DEBUG(DEBUG_LEGACY, "Data is: '%s' (len %d)\n", resp_data,
                        static_cast<int>(resp_hdr->length));
        } else {
            PRINT_INFO(INFO_ERROR, "Only wrote %zd of %d bytes of legacy tuvo data",
                       static_cast<ssize_t>(sent), static_cast<int>(resp_hdr->length));
        }
        return -1;
    }
    return 0;
}

int send_status(int client_fd, int32_t status) {
    cmd_response_t hdr{status, 0};
    return send_response(client_fd, &hdr, nullptr);
}

// Runs the request and answers it; the connection is closed by the caller.
void run_request(tuvod_state_t *tuvod, tuvod_op_handler_fn_t exec_fn, int client_fd,
                 const char *uuid, char *text, uint32_t length) {
    json_ptr req(tuvo_legacy_request_json(uuid, text, length + 1));
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

// Serves the one request of a connection; the connection is closed by the caller.
void serve_connection(tuvod_state_t *tuvod, tuvod_op_handler_fn_t exec_fn, int client_fd) {
    if (!legacy_peer_allowed(tuvod, client_fd))
        return;
    PRINT_DEBUG(DEBUG_LEGACY, "Processing request on fd %d\n", client_fd);
    const int64_t deadline = monotonic_ms() + TUVO_READ_TIMEOUT_MS;
    cmd_request_t hdr{};
    if (read_header(client_fd, &hdr, deadline) != read_result::ok)
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
    // Each connection has its own buffer: connections are served at once.
    size_t want = static_cast<size_t>(hdr.length) + 1;
    std::unique_ptr<char[]> text(new (std::nothrow) char[want]);
    if (!text) {
        PRINT_INFO(INFO_ERROR, "Unable to allocate %zd bytes for TUVO buffer\n",
                   static_cast<ssize_t>(want));
        return;
    }
    if (read_text(client_fd, uuid.get(), text.get(), hdr.length, deadline) != read_result::ok)
        return;
    text[hdr.length] = '\0';
    const std::string caller = tuvod_legacy_caller(client_fd);
    caller_scope scope(caller);
    run_request(tuvod, exec_fn, client_fd, uuid.get(), text.get(), hdr.length);
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

// One connection being served. Only the main thread starts, joins and
// reuses a slot; the connection's thread owns fd and sets finished last.
struct legacy_slot_t {
    tuvod_state_t *tuvod = nullptr;
    tuvod_op_handler_fn_t exec_fn = nullptr;
    int fd = -1;
    pthread_t thread{};
    bool busy = false;
    std::atomic<bool> finished{false};
};

legacy_slot_t legacy_slots[TUVO_MAX_CONNECTIONS];
// Counts finished connection threads, so the main thread wakes to join them.
int legacy_wake_fd = -1;
bool legacy_rearmed = true; // only for the debug line of each new wait

void *connection_thread(void *arg) {
    auto *slot = static_cast<legacy_slot_t *>(arg);
    try {
        serve_connection(slot->tuvod, slot->exec_fn, slot->fd);
    } catch (...) {
        PRINT_INFO(INFO_ERROR, "Unexpected failure serving a tuvo client\n");
    }
    close(slot->fd);
    slot->fd = -1;
    slot->finished.store(true);
    uint64_t one = 1;
    if (write(legacy_wake_fd, &one, sizeof one) < 0)
        PRINT_DEBUG(DEBUG_LEGACY, "Unable to wake the main thread: %s\n", strerror(errno));
    return nullptr;
}

void join_slot(legacy_slot_t *slot) {
    pthread_join(slot->thread, nullptr);
    slot->busy = false;
    slot->finished.store(false);
}

// Joins the connection threads that have finished; returns a free slot or none.
legacy_slot_t *reap_connections() {
    legacy_slot_t *free_slot = nullptr;
    for (legacy_slot_t &slot : legacy_slots) {
        if (slot.busy && slot.finished.load())
            join_slot(&slot);
        if (!slot.busy && free_slot == nullptr)
            free_slot = &slot;
    }
    return free_slot;
}

size_t busy_connections() {
    size_t n = 0;
    for (const legacy_slot_t &slot : legacy_slots)
        n += slot.busy ? 1 : 0;
    return n;
}

// After a failed accept the listener is not polled until then (main thread only).
constexpr auto ACCEPT_PAUSE = std::chrono::milliseconds(200);
std::chrono::steady_clock::time_point accept_paused_until;

// Accepts one waiting client, if any, and starts its thread in slot: 1
// when a client is being served, 0 when none was, -1 only when the
// listening socket itself has failed.
int accept_connection(tuvod_state_t *tuvod, tuvod_op_handler_fn_t exec_fn, legacy_slot_t *slot) {
    unique_fd client(accept4(tuvod->tuvo_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!client) {
        int err = errno;
        if (err == EINTR || err == EAGAIN || err == EWOULDBLOCK)
            return 0;
        PRINT_INFO(INFO_ERROR, "accept failed for tuvo client: %s\n", strerror(err));
        if (!per_connection_accept_error(err))
            return -1;
        // Out of descriptors or memory: the client stays in the backlog and
        // the listener would poll readable at once again. Leave it out of the
        // next waits for a moment; those waits still take signals (a wait
        // that returns ready never delivers them).
        accept_paused_until = std::chrono::steady_clock::now() + ACCEPT_PAUSE;
        return 0;
    }
    slot->tuvod = tuvod;
    slot->exec_fn = exec_fn;
    slot->fd = client.get();
    slot->finished.store(false);
    int rc = pthread_create(&slot->thread, nullptr, connection_thread, slot);
    if (rc != 0) {
        // The client sees its connection closed; the daemon goes on.
        PRINT_INFO(INFO_ERROR, "Unable to start a thread for a tuvo client: %s\n", strerror(rc));
        slot->fd = -1;
        return 0;
    }
    client.release();
    slot->busy = true;
    legacy_rearmed = true;
    return 1;
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
    // Non-blocking: the main thread accepts only after a poll said a client
    // waits, and a client that went away meanwhile must not block it.
    unique_fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
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
    unique_fd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake) {
        PRINT_INFO(INFO_ERROR, "Failed to create the tuvo wake-up descriptor: %s\n", strerror(errno));
        return -1;
    }
    legacy_wake_fd = wake.release();
    tuvod->tuvo_fd = fd.release();
    return 0;
}

int tuvo_legacy_poll(tuvod_state_t *tuvod) {
    if (legacy_rearmed)
        PRINT_DEBUG(DEBUG_LEGACY, "Polling for tuvo request...\n");
    legacy_rearmed = false;
    tuvod_op_handler_fn_t exec_fn = tuvod_op_fn("execute");
    if (exec_fn == nullptr) {
        PRINT_INFO(INFO_ERROR, "No exec handler, unable to process legacy requests\n");
        return -1;
    }
    legacy_slot_t *slot = reap_connections();
    // With every slot busy the listening socket is left out: clients wait
    // in the backlog until a connection thread finishes and wakes us.
    auto now = std::chrono::steady_clock::now();
    bool paused = now < accept_paused_until;
    struct pollfd fds[2] = {{legacy_wake_fd, POLLIN, 0},
                            {slot != nullptr && !paused ? tuvod->tuvo_fd : -1, POLLIN, 0}};
    // SIGTERM and SIGHUP stay blocked on this thread except during this
    // wait, so one that arrives at any other moment ends the next wait at once.
    sigset_t wait_mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &wait_mask);
    sigdelset(&wait_mask, SIGTERM);
    sigdelset(&wait_mask, SIGHUP);
    long tick_ms = TUVO_POLL_TICK_MS;
    if (paused)
        tick_ms = std::min<long>(
            tick_ms, std::chrono::duration_cast<std::chrono::milliseconds>(accept_paused_until - now).count() + 1);
    struct timespec tick {tick_ms / 1000, (tick_ms % 1000) * 1000000L};
    int rc = ppoll(fds, 2, &tick, &wait_mask);
    if (rc < 0) {
        if (errno == EINTR)
            return TUVO_POLL_SIGNAL;
        PRINT_INFO(INFO_ERROR, "Poll failed for tuvo clients: %s\n", strerror(errno));
        return -1;
    }
    if ((fds[0].revents & POLLIN) != 0) {
        uint64_t count;
        if (read(legacy_wake_fd, &count, sizeof count) < 0 && errno != EAGAIN)
            PRINT_DEBUG(DEBUG_LEGACY, "Unable to read the wake-up count: %s\n", strerror(errno));
    }
    if (slot != nullptr && fds[1].revents != 0)
        return accept_connection(tuvod, exec_fn, slot) > 0 ? TUVO_POLL_CLIENT : 0;
    return TUVO_POLL_IDLE;
}

void tuvo_legacy_stop(tuvod_state_t *tuvod) {
    if (tuvod->tuvo_fd > 0) {
        shutdown(tuvod->tuvo_fd, SHUT_RDWR);
        close(tuvod->tuvo_fd);
        tuvod->tuvo_fd = 0;
    }
}

void tuvo_legacy_wait(tuvod_state_t *tuvod) {
    (void)tuvod;
    size_t running = busy_connections();
    if (running != 0)
        PRINT_INFO(INFO_INFO, "Waiting for %zu legacy tuvo requests to finish\n", running);
    for (legacy_slot_t &slot : legacy_slots)
        if (slot.busy)
            join_slot(&slot);
    if (legacy_wake_fd >= 0) {
        close(legacy_wake_fd);
        legacy_wake_fd = -1;
    }
}
