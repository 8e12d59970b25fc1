// The request socket and the router thread.
//
// One nng REP socket, bound to "tcp://[addr]:5557" for every configured
// address (and "tls+tcp://" ones when TLS is configured). Each request
// arrives on a context of its own, which travels with the job and carries
// the reply back to the peer that asked, so many requests are answered at
// once, in any order. The router thread is the only receiver: it waits up
// to 230 ms per receive, takes each message zero-copy, notes who sent it,
// and appends it as a job to the tail of the daemon's queue under
// jobs_mutex, broadcasting jobs_cv. The queue is bounded in requests and
// body bytes (the limits module); while it is full the router does not
// receive, so the bound can be passed by at most one message, and nothing
// received is dropped. The router's own mutex guards only the binding list
// and the start handshake; the thread ends when its run flag is cleared
// (within one poll period).
#include "router.hpp"

#include <nng/nng.h>
#include <nng/protocol/reqrep0/rep.h>
#include <arpa/inet.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <new>

#include "binding.hpp"
#include "caller.hpp"
#include "handles.hpp"
#include "config.hpp"
#include "info.hpp"
#include "tls.hpp"
#include "utils.hpp"

namespace {

std::string address_text(const nng_sockaddr &sa) {
    char text[INET6_ADDRSTRLEN] = {};
    switch (sa.s_family) {
    case NNG_AF_INET:
        if (inet_ntop(AF_INET, &sa.s_in.sa_addr, text, sizeof text) != nullptr)
            return text;
        break;
    case NNG_AF_INET6:
        if (inet_ntop(AF_INET6, sa.s_in6.sa_addr, text, sizeof text) != nullptr)
            return text;
        break;
    default:
        break;
    }
    return "unknown";
}

// The identity of the peer at the other end of pipe; "tcp:unknown" when the
// address cannot be read.
std::string tuvod_caller_of(nng_pipe pipe) {
    std::string cn;
    if (tuvod_tls_peer_cn(pipe, &cn))
        return "tls:" + cn;
    nng_sockaddr sa;
    std::memset(&sa, 0, sizeof sa);
    if (nng_pipe_get_addr(pipe, NNG_OPT_REMADDR, &sa) != 0)
        return "tcp:unknown";
    return "tcp:" + address_text(sa);
}

constexpr int ROUTER_PORT = 5557;
constexpr int ROUTER_TLS_PORT = 5558;
constexpr int ROUTER_POLL_MS = 230;
constexpr size_t ROUTER_URL_SZ = 4096;

// Closes an nng socket unless released.
class nng_socket_owner {
  public:
    nng_socket_owner() = default;
    ~nng_socket_owner() {
        if (nng_socket_id(sock_) > 0)
            nng_close(sock_);
    }
    nng_socket_owner(const nng_socket_owner &) = delete;
    nng_socket_owner &operator=(const nng_socket_owner &) = delete;
    nng_socket *out() { return &sock_; }
    nng_socket get() const { return sock_; }
    void release() { sock_ = NNG_SOCKET_INITIALIZER; }

  private:
    nng_socket sock_ = NNG_SOCKET_INITIALIZER;
};

// A router record whose mutex and condition variable have been initialised;
// destroys them and frees the record unless released.
struct router_deleter {
    void operator()(tuvod_router_t *router) const noexcept {
        if (nng_ctx_id(router->recv_ctx) > 0)
            nng_ctx_close(router->recv_ctx);
        if (router->recv_aio != nullptr)
            nng_aio_free(router->recv_aio);
        pthread_cond_destroy(&router->start_cv);
        pthread_mutex_destroy(&router->mutex);
        delete router;
    }
};
using router_ptr = std::unique_ptr<tuvod_router_t, router_deleter>;

router_ptr new_router(tuvod_state_t *tuvod) {
    std::unique_ptr<tuvod_router_t> router(new (std::nothrow) tuvod_router_t);
    if (!router) {
        PRINT_INFO(INFO_ERROR, "Failed to allocate router state\n");
        return nullptr;
    }
    router->tuvod = tuvod;
    if (pthread_mutex_init(&router->mutex, nullptr) != 0) {
        PRINT_INFO(INFO_ERROR, "Failed to create router mutex\n");
        return nullptr;
    }
    if (pthread_cond_init(&router->start_cv, nullptr) != 0) {
        pthread_mutex_destroy(&router->mutex);
        PRINT_INFO(INFO_ERROR, "Failed to create router start cv\n");
        return nullptr;
    }
    return router_ptr(router.release());
}

// Binds "<scheme>://[addr]:port" for every string in addrs_js; failures
// are logged by the binding module and skipped. The number bound.
int bind_addrs(tuvod_router_t *router, json_t *addrs_js, const char *what, const char *scheme, int port,
               nng_tls_config *tls) {
    int bound = 0;
    size_t i;
    json_t *addr_js;
    json_array_foreach(addrs_js, i, addr_js) {
        if (!json_is_string(addr_js)) {
            PRINT_INFO(INFO_WARN, "Ignoring %s element %zu: not an address string\n", what, i);
            continue;
        }
        char url[ROUTER_URL_SZ];
        snprintf(url, sizeof url, "%s://[%s]:%d", scheme, json_string_value(addr_js), port);
        if (tuvod_bind_router(router, url, tls) == 0)
            bound++;
    }
    return bound;
}

// The cleartext listeners: the configured "bindAddrs", or only the loopback
// address when the TLS configuration keeps cleartext local.
void bind_configured_addrs(tuvod_state_t *tuvod, tuvod_router_t *router) {
    if (tuvod_conf_get_bool(tuvod, "tls", "cleartextLoopbackOnly", false)) {
        json_ptr loopback(json_pack("[s]", "127.0.0.1"));
        bind_addrs(router, loopback.get(), "bindAddrs", "tcp", ROUTER_PORT, nullptr);
        return;
    }
    json_t *addrs_js = tuvod_conf_get_array(tuvod, nullptr, "bindAddrs", nullptr);
    bind_addrs(router, addrs_js, "bindAddrs", "tcp", ROUTER_PORT, nullptr);
}

const char *tls_file(json_t *tls_js, const char *key) {
    const char *value = json_string_value(json_object_get(tls_js, key));
    return value != nullptr ? value : "";
}

// The TLS listeners, when "tls" is configured. -1 (start-up refused) when
// its files cannot be used or nothing could be bound.
int bind_tls_addrs(tuvod_state_t *tuvod, tuvod_router_t *router) {
    json_t *tls_js = json_object_get(tuvod->config_js, "tls");
    if (tls_js == nullptr)
        return 0;
    if (!json_is_object(tls_js)) {
        PRINT_INFO(INFO_ERROR, "TLS configuration refused: \"tls\" is not an object\n");
        return -1;
    }
    json_t *port_js = json_object_get(tls_js, "port");
    if (port_js != nullptr && (!json_is_integer(port_js) || json_integer_value(port_js) < 1 ||
                               json_integer_value(port_js) > 65535)) {
        PRINT_INFO(INFO_ERROR, "TLS configuration refused: \"port\" is not a port number\n");
        return -1;
    }
    int port = port_js != nullptr ? static_cast<int>(json_integer_value(port_js)) : ROUTER_TLS_PORT;
    std::string err;
    tls_config_ptr cfg = tuvod_tls_server_config(tls_file(tls_js, "certFile"), tls_file(tls_js, "keyFile"),
                                                 tls_file(tls_js, "clientCAFile"), &err);
    if (!cfg) {
        PRINT_INFO(INFO_ERROR, "TLS configuration refused: %s\n", err.c_str());
        return -1;
    }
    // Each listener holds its own reference to the configuration.
    if (bind_addrs(router, json_object_get(tls_js, "bindAddrs"), "tls bindAddrs", "tls+tcp", port, cfg.get()) == 0) {
        PRINT_INFO(INFO_ERROR, "Failed to bind any TLS listeners\n");
        return -1;
    }
    return 0;
}

void append_job(tuvod_state_t *tuvod, tuvod_job_t *job) {
    mutex_guard lock(&tuvod->jobs_mutex);
    *tuvod->jobs_tail = job;
    tuvod->jobs_tail = &job->next;
    tuvod->n_jobs_pending++;
    tuvod->n_jobs_bytes += static_cast<size_t>(job->req_sz);
    pthread_cond_broadcast(&tuvod->jobs_cv);
}

// Caller holds jobs_mutex.
bool queue_full(const tuvod_state_t *tuvod) {
    return static_cast<unsigned>(tuvod->n_jobs_pending) >= tuvod->max_queued_requests ||
           tuvod->n_jobs_bytes >= tuvod->max_queued_bytes;
}

// Waits up to one poll period for room in the job queue; false while it is
// still full. Not receiving meanwhile leaves further requests in the
// library and the peers' connections, which is how a flood is held back.
bool wait_for_room(tuvod_router_t *router) {
    tuvod_state_t *tuvod = router->tuvod;
    mutex_guard lock(&tuvod->jobs_mutex);
    if (!queue_full(tuvod))
        return true;
    PRINT_DEBUG(DEBUG_ROUTER, "Job queue full (%d requests, %zu bytes); not receiving\n",
                tuvod->n_jobs_pending, tuvod->n_jobs_bytes);
    struct timespec deadline = realtime_after_ms(ROUTER_POLL_MS);
    while (queue_full(tuvod) && router->run)
        if (pthread_cond_timedwait(&tuvod->jobs_space_cv, &tuvod->jobs_mutex, &deadline) == ETIMEDOUT)
            break;
    return !queue_full(tuvod);
}

// After the socket is closed every call fails at once; pause so the thread
// does not spin until the shutdown clears its run flag.
void pause_after_term() {
    struct timespec pause = {0, ROUTER_POLL_MS * 1000000L / 10};
    nanosleep(&pause, nullptr);
}

std::unique_ptr<tuvod_job_t> new_job() {
    try {
        return std::make_unique<tuvod_job_t>();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

// The context the next request is received on; opened when the last one
// left with a job. False (logged) when none can be opened.
bool ensure_recv_ctx(tuvod_router_t *router) {
    if (nng_ctx_id(router->recv_ctx) > 0)
        return true;
    int rv = nng_ctx_open(&router->recv_ctx, router->sock);
    if (rv == 0)
        return true;
    router->recv_ctx = NNG_CTX_INITIALIZER;
    if (rv != NNG_ECLOSED)
        PRINT_INFO(INFO_ERROR, "Failed to open a request context: %s\n", nng_strerror(rv));
    pause_after_term();
    return false;
}

// Waits up to one poll period for a request; its message, or none.
nng_msg *receive_request(tuvod_router_t *router) {
    nng_aio_set_timeout(router->recv_aio, ROUTER_POLL_MS);
    nng_ctx_recv(router->recv_ctx, router->recv_aio);
    nng_aio_wait(router->recv_aio);
    int rv = nng_aio_result(router->recv_aio);
    if (rv == 0)
        return nng_aio_get_msg(router->recv_aio);
    if (rv == NNG_ECLOSED)
        pause_after_term();
    else if (rv != NNG_ETIMEDOUT && rv != NNG_ECANCELED)
        PRINT_INFO(INFO_ERROR, "Failed to receieve message: %s\n", nng_strerror(rv));
    return nullptr;
}

void router_turn(tuvod_router_t *router) {
    if (!wait_for_room(router) || !ensure_recv_ctx(router))
        return;
    nng_msg *msg = receive_request(router);
    if (msg == nullptr)
        return;
    std::unique_ptr<tuvod_job_t> job = new_job();
    if (!job) {
        // Unanswered, as a request the library could not deliver would be.
        nng_msg_free(msg);
        PRINT_INFO(INFO_ERROR, "Failed to allocate job\n");
        return;
    }
    job->ctx = router->recv_ctx;
    router->recv_ctx = NNG_CTX_INITIALIZER;
    job->msg = msg;
    job->req_buf = static_cast<char *>(nng_msg_body(msg));
    job->req_sz = static_cast<int>(nng_msg_len(msg));
    job->caller = tuvod_caller_of(nng_msg_get_pipe(msg));
    PRINT_DEBUG(DEBUG_ROUTER, "Received request with %d bytes payload on socket %d\n", job->req_sz,
                nng_socket_id(router->sock));
    append_job(router->tuvod, job.release());
}

void *tuvod_router_thread(void *arg) {
    auto *router = static_cast<tuvod_router_t *>(arg);
    try {
        sigset_t usr1;
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);
        {
            mutex_guard lock(&router->mutex);
            router->started = true;
            pthread_cond_broadcast(&router->start_cv);
        }
        while (router->run)
            router_turn(router);
        PRINT_DEBUG(DEBUG_ROUTER, "Router exiting\n");
    } catch (const std::exception &e) {
        PRINT_INFO(INFO_ERROR, "Router thread failed: %s\n", e.what());
    } catch (...) {
        PRINT_INFO(INFO_ERROR, "Router thread failed\n");
    }
    return nullptr;
}

} // namespace

int tuvod_init_router(tuvod_state_t *tuvod) {
    router_ptr router = new_router(tuvod);
    if (!router)
        return -1;
    nng_socket_owner sock;
    if (nng_rep0_open(sock.out()) != 0) {
        PRINT_INFO(INFO_ERROR, "Failed to open router socket\n");
        return -1;
    }
    router->sock = sock.get();
    // -1 means no limit, which the library spells 0.
    size_t max_msgsz = tuvod->max_msgsz < 0 ? 0 : static_cast<size_t>(tuvod->max_msgsz);
    int rv = nng_socket_set_size(sock.get(), NNG_OPT_RECVMAXSZ, max_msgsz);
    if (rv != 0) {
        PRINT_INFO(INFO_ERROR, "Unable to set maximum message size for router REP socket: %s\n",
                   nng_strerror(rv));
        return -1;
    }
    if ((rv = nng_aio_alloc(&router->recv_aio, nullptr, nullptr)) != 0) {
        PRINT_INFO(INFO_ERROR, "Unable to allocate the router's receive operation: %s\n", nng_strerror(rv));
        return -1;
    }
    bind_configured_addrs(tuvod, router.get());
    if (router->rep_bindings == nullptr) {
        PRINT_INFO(INFO_ERROR, "Failed to bind any listeners\n");
        return -1;
    }
    if (bind_tls_addrs(tuvod, router.get()) != 0) {
        destroy_all_bindings(&router->rep_bindings, sock.get(), true);
        return -1;
    }
    sock.release();
    tuvod->tuvod_router = router.release();
    return 0;
}

int tuvod_start_router(tuvod_state_t *tuvod) {
    tuvod_router_t *router = tuvod->tuvod_router;
    if (router == nullptr)
        return -1;
    PRINT_DEBUG(DEBUG_ROUTER, "Starting router\n");
    router->run = true;
    if (pthread_create(&router->thread, nullptr, tuvod_router_thread, router) != 0) {
        PRINT_INFO(INFO_ERROR, "Failed to create router thread\n");
        router->run = false;
        destroy_all_bindings(&router->rep_bindings, router->sock, true);
        nng_close(router->sock);
        router_ptr owned(router);
        tuvod->tuvod_router = nullptr;
        return -1;
    }
    mutex_guard lock(&router->mutex);
    while (!router->started) {
        PRINT_DEBUG(DEBUG_WORKER, "Waiting for router to start...\n");
        pthread_cond_wait(&router->start_cv, &router->mutex);
    }
    return 0;
}

int tuvod_shutdown_router(tuvod_state_t *tuvod) {
    tuvod_router_t *router = tuvod->tuvod_router;
    if (router == nullptr)
        return -1;
    PRINT_DEBUG(DEBUG_ROUTER, "Shutting down router\n");
    router->run = false;
    bool started;
    {
        mutex_guard lock(&router->mutex);
        started = router->started;
    }
    if (started)
        pthread_join(router->thread, nullptr);
    {
        // Closing the socket closes its listeners and connections.
        mutex_guard lock(&router->mutex);
        destroy_all_bindings(&router->rep_bindings, router->sock, false);
        nng_close(router->sock);
    }
    router_ptr owned(router);
    tuvod->tuvod_router = nullptr;
    return 0;
}

int tuvod_bind_router(tuvod_router_t *router, const char *url, nng_tls_config *tls) {
    if (router == nullptr)
        return -1;
    int rc;
    {
        mutex_guard lock(&router->mutex);
        rc = add_binding_for_url(&router->rep_bindings, router->sock, url, tls);
    }
    if (rc == 0)
        PRINT_INFO(INFO_INFO, "Router bound to %s\n", url);
    return rc;
}

int tuvod_unbind_router(tuvod_router_t *router, const char *url) {
    if (router == nullptr)
        return -1;
    int rc;
    {
        mutex_guard lock(&router->mutex);
        rc = destroy_binding_for_url(&router->rep_bindings, router->sock, url, true);
    }
    if (rc == 0)
        PRINT_INFO(INFO_INFO, "Router unbound from %s\n", url);
    return rc;
}
