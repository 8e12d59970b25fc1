// The request socket and the router thread.
//
// One raw nanomsg REP socket, bound to "tcp://[addr]:5557" for every
// configured address. The router thread is its only reader: it polls every
// 230 ms, receives each message zero-copy together with its routing header,
// and appends it as a job to the tail of the daemon's queue under jobs_mutex,
// broadcasting jobs_cv. The queue is bounded in requests and body bytes
// (the limits module); while it is full the router does not receive, so the
// bound can be passed by at most one message, and nothing received is
// dropped. Workers send the replies on the same socket under
// job_rep_mutex, so receiving and sending run in parallel. The router's own
// mutex guards only the binding list and the start handshake; the thread
// ends when its run flag is cleared (within one poll period).
#include "router.hpp"

#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "binding.hpp"
#include "config.hpp"
#include "info.hpp"
#include "utils.hpp"

namespace {

constexpr int ROUTER_PORT = 5557;
constexpr int ROUTER_POLL_MS = 230;
constexpr size_t ROUTER_URL_SZ = 4096;

// Closes a nanomsg socket unless released.
class nn_socket_owner {
  public:
    explicit nn_socket_owner(int sock) : sock_(sock) {}
    ~nn_socket_owner() {
        if (sock_ >= 0)
            nn_close(sock_);
    }
    nn_socket_owner(const nn_socket_owner &) = delete;
    nn_socket_owner &operator=(const nn_socket_owner &) = delete;
    int get() const { return sock_; }
    int release() {
        int s = sock_;
        sock_ = -1;
        return s;
    }

  private:
    int sock_;
};

// A router record whose mutex and condition variable have been initialised;
// destroys them and frees the record unless released.
struct router_deleter {
    void operator()(tuvod_router_t *router) const noexcept {
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

// Binds every string in the configured "bindAddrs"; failures are logged by
// the binding module and skipped.
void bind_configured_addrs(tuvod_state_t *tuvod, tuvod_router_t *router) {
    json_t *addrs_js = tuvod_conf_get_array(tuvod, nullptr, "bindAddrs", nullptr);
    size_t i;
    json_t *addr_js;
    json_array_foreach(addrs_js, i, addr_js) {
        if (!json_is_string(addr_js)) {
            PRINT_INFO(INFO_WARN, "Ignoring bindAddrs element %zu: not an address string\n", i);
            continue;
        }
        char url[ROUTER_URL_SZ];
        snprintf(url, sizeof url, "tcp://[%s]:%d", json_string_value(addr_js), ROUTER_PORT);
        (void)tuvod_bind_router(router, url);
    }
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

// Waits for one message and queues it; returns when there is none yet.
// After nn_term every call fails at once; pause so the thread does not
// spin until the shutdown clears its run flag.
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

void router_turn(tuvod_router_t *router) {
    if (!wait_for_room(router))
        return;
    struct nn_pollfd pfd = {router->sock, NN_POLLIN, 0};
    if (nn_poll(&pfd, 1, ROUTER_POLL_MS) < 0 && errno == ETERM) {
        pause_after_term();
        return;
    }
    if ((pfd.revents & NN_POLLIN) == 0)
        return;

    std::unique_ptr<tuvod_job_t> job = new_job();
    if (!job) {
        PRINT_INFO(INFO_ERROR, "Failed to allocate job\n");
        return;
    }
    job->rep_sock = router->sock;
    struct nn_iovec iov = {&job->req_buf, NN_MSG};
    struct nn_msghdr hdr = {};
    hdr.msg_iov = &iov;
    hdr.msg_iovlen = 1;
    hdr.msg_control = &job->control;
    hdr.msg_controllen = NN_MSG;
    job->req_sz = nn_recvmsg(router->sock, &hdr, 0);
    if (job->req_sz < 0) {
        // A socket closed by nn_term reports EBADF: that is the shutdown, not a failure.
        if (errno == ETERM || errno == EBADF) {
            pause_after_term();
            return;
        }
        PRINT_INFO(INFO_ERROR, "Failed to receieve message: %s\n", strerror(errno));
        return;
    }
    PRINT_DEBUG(DEBUG_ROUTER, "Received request with %d bytes payload on socket %d\n", job->req_sz,
                router->sock);
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
    nn_socket_owner sock(nn_socket(AF_SP_RAW, NN_REP));
    if (sock.get() < 0) {
        PRINT_INFO(INFO_ERROR, "Failed to open router socket\n");
        return -1;
    }
    router->sock = sock.get();
    int32_t max_msgsz = tuvod->max_msgsz;
    if (nn_setsockopt(sock.get(), NN_SOL_SOCKET, NN_RCVMAXSIZE, &max_msgsz, sizeof max_msgsz) != 0) {
        PRINT_INFO(INFO_ERROR, "Unable to set maximum message size for router REP socket: %s\n",
                   strerror(errno));
        return -1;
    }
    bind_configured_addrs(tuvod, router.get());
    if (router->rep_bindings == nullptr) {
        PRINT_INFO(INFO_ERROR, "Failed to bind any listeners\n");
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
        nn_close(router->sock);
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
        // The library is already terminated: endpoints go with it.
        mutex_guard lock(&router->mutex);
        destroy_all_bindings(&router->rep_bindings, router->sock, false);
    }
    router_ptr owned(router);
    tuvod->tuvod_router = nullptr;
    return 0;
}

int tuvod_bind_router(tuvod_router_t *router, const char *url) {
    if (router == nullptr)
        return -1;
    int rc;
    {
        mutex_guard lock(&router->mutex);
        rc = add_binding_for_url(&router->rep_bindings, router->sock, url);
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
