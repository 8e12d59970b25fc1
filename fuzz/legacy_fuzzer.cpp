// The legacy gateway. Each input is what a client sends on one connection
// (a 4-byte host-order length, then the command line); it goes through the
// gateway's own accept, header check, read and run path over a local
// socket, and the command-line splitting is also checked on its own with
// the text exactly as long as the input (no terminating NUL).
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_env.hpp"
#include "handles.hpp"
#include "legacy.hpp"

namespace {

// More than the gateway accepts (16 KiB), less than a socket buffer holds,
// so that writing the whole input never waits for the single-threaded reader.
constexpr size_t MAX_SENT = 32768;
std::string socket_path() { return fuzz::scratch_dir() + "/legacy.sock"; }

void start_gateway(tuvod_state_t *tuvod) {
    unique_fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::string path = socket_path();
    fuzz::check(fd && path.size() < sizeof addr.sun_path, "gateway socket");
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    fuzz::check(bind(fd.get(), reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0 &&
                    listen(fd.get(), 4) == 0,
                "gateway listens");
    tuvod->tuvo_fd = fd.release();
}

// Splitting keeps every byte but the separating blanks, so the arguments
// joined by blanks give the text back.
void check_split(const uint8_t *data, size_t size) {
    // Exactly the input's bytes, in a block of their own so that reading past
    // them is caught.
    auto text = std::make_unique<char[]>(size);
    memcpy(text.get(), data, size);
    json_ptr req(tuvo_legacy_request_json("fuzz", text.get(), size));
    const size_t len = strnlen(text.get(), size);
    if (!req) {
        // Only text that JSON cannot hold is refused; blanks never fall
        // inside a multi-byte sequence, so the whole text tells.
        json_ptr whole(json_stringn(text.get(), len));
        fuzz::check(!whole, "request built");
        return;
    }
    json_t *argv = json_object_get(json_object_get(req.get(), "args"), "argv");
    fuzz::check(json_array_size(argv) > 0, "at least one argument");
    std::string joined;
    size_t i;
    json_t *arg;
    json_array_foreach(argv, i, arg) {
        fuzz::check(json_is_string(arg), "argument is text");
        if (i > 0)
            joined += ' ';
        joined.append(json_string_value(arg), json_string_length(arg));
    }
    fuzz::check(joined == std::string(text.get(), len), "arguments give the text back");
}

// An answer is either nothing or an 8-byte header followed by exactly the
// data length it announces; no script can run here, so no data.
void check_answer(const std::string &answer) {
    if (answer.empty())
        return;
    fuzz::check(answer.size() >= 8, "whole answer header");
    uint32_t length;
    memcpy(&length, answer.data() + 4, sizeof length);
    fuzz::check(answer.size() == 8 + static_cast<size_t>(length), "answer length");
    fuzz::check(length == 0, "no script ran");
}

void serve_once(tuvod_state_t *tuvod, const uint8_t *data, size_t size) {
    unique_fd client(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::string path = socket_path();
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    fuzz::check(client && connect(client.get(), reinterpret_cast<struct sockaddr *>(&addr),
                                  sizeof addr) == 0,
                "connect to gateway");
    size_t left = size < MAX_SENT ? size : MAX_SENT;
    while (left > 0) {
        ssize_t n = write(client.get(), data, left);
        fuzz::check(n > 0, "send request");
        data += n;
        left -= static_cast<size_t>(n);
    }
    shutdown(client.get(), SHUT_WR);
    fuzz::check(tuvo_legacy_poll(tuvod) >= 0, "gateway keeps serving");
    std::string answer;
    char buf[4096];
    ssize_t n;
    while ((n = read(client.get(), buf, sizeof buf)) > 0)
        answer.append(buf, static_cast<size_t>(n));
    check_answer(answer);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::quiet_logging();
    start_gateway(fuzz::daemon_state());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    check_split(data, size);
    serve_once(fuzz::daemon_state(), data, size);
    return 0;
}
