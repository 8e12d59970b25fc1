// The worker pool and the request/response envelopes.
//
// Workers share the daemon's FIFO job queue under jobs_mutex: each takes the
// job at the head, waking at least once a second (jobs_cv with a whole-second
// deadline) to look at its run flag. A job is parsed up to its first NUL or
// the end of the body, never further; the envelope must be exactly
// {"requestUUID", "authority", "op", "args"}. The operation handler runs with
// no worker lock held and with the job's caller identity in scope. Each
// reply goes back through the job's own context. A send waits only while an
// earlier reply to the same peer is still being written: at most
// REPLY_WAIT_MS, and at most SHUTDOWN_SEND_TIMEOUT once the worker is told
// to stop; then the reply is dropped and logged.
//
// Shutdown: the entry clears each worker's run flag and sends it SIGUSR1
// (unblocked only in worker threads here) to interrupt blocking calls; a
// worker finishes and answers the job in hand before it ends. Jobs still
// queued are released unanswered by whoever frees the queue.
#include "worker.hpp"

#include <nng/nng.h>
#include <signal.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

#include "argv.hpp"
#include "caller.hpp"
#include "counters.hpp"
#include "error.hpp"
#include "handles.hpp"
#include "info.hpp"
#include "jsondump.hpp"
#include "ops.hpp"
#include "status.hpp"
#include "utils.hpp"
#include "wire.hpp"

tuvod_op_handler_fn_t (*tuvod_op_lookup)(const char *op) = tuvod_op_fn;

namespace {

// A reply waits for its connection only while an earlier reply to the
// same peer is still being written. A peer that takes none for this long
// is not reading: the reply is dropped and the worker goes on.
constexpr int REPLY_WAIT_MS = 60000;
// Once the worker is told to stop, a reply waits at most this long.
constexpr auto SHUTDOWN_SEND_TIMEOUT = std::chrono::seconds(10);
constexpr auto SEND_POLL = std::chrono::seconds(1);

// A dequeued job. Closing its context without a reply leaves the request
// unanswered.
struct job_deleter {
    void operator()(tuvod_job_t *job) const noexcept {
        if (job->msg != nullptr)
            nng_msg_free(job->msg);
        if (nng_ctx_id(job->ctx) > 0)
            nng_ctx_close(job->ctx);
        delete job;
    }
};

struct aio_deleter {
    void operator()(nng_aio *aio) const noexcept { nng_aio_free(aio); }
};
using aio_ptr = std::unique_ptr<nng_aio, aio_deleter>;

// The end of one send, signalled from the library's thread.
struct send_wait {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
};

void on_send_done(void *arg) {
    auto *wait = static_cast<send_wait *>(arg);
    std::lock_guard<std::mutex> lock(wait->mutex);
    wait->done = true;
    wait->cv.notify_all();
}
using job_ptr = std::unique_ptr<tuvod_job_t, job_deleter>;

// Takes the job at the head of the queue, waiting while it is empty; none
// once the worker's run flag is cleared.
job_ptr take_job(tuvod_worker_t *worker) {
    tuvod_state_t *tuvod = worker->tuvod;
    mutex_guard lock(&tuvod->jobs_mutex);
    while (tuvod->jobs == nullptr && worker->run) {
        struct timeval now;
        gettimeofday(&now, nullptr);
        struct timespec deadline = {now.tv_sec + 1, 0};
        pthread_cond_timedwait(&tuvod->jobs_cv, &tuvod->jobs_mutex, &deadline);
    }
    if (!worker->run)
        return nullptr;
    tuvod_job_t *job = tuvod->jobs;
    tuvod->jobs = job->next;
    if (tuvod->jobs == nullptr)
        tuvod->jobs_tail = &tuvod->jobs;
    job->next = nullptr;
    tuvod->n_jobs_pending--;
    tuvod->n_jobs_bytes -= static_cast<size_t>(job->req_sz);
    pthread_cond_signal(&tuvod->jobs_space_cv);
    return job_ptr(job);
}

const char *op_for_log(json_t *req_js) {
    const char *op = json_string_value(json_object_get(req_js, "op"));
    return op != nullptr ? op : "(none)";
}

// The answer sent instead of a response that cannot be allocated: the
// envelope's identifiers, a failed result and one error. None when even
// that cannot be made.
json_ptr error_only_response(json_t *resp_js, int code, const char *message) {
    error_stack errors;
    set_err(INFO_ERROR, errors.ptr(), code, nullptr, "%s", message);
    json_t *errors_js = error_stack_json(errors.head());
    if (errors_js == nullptr)
        return nullptr;
    return json_ptr(json_pack("{s:O?, s:O?, s:O?, s:{s:n, s:s}, s:o}", "tuvodInstanceUUID",
                              json_object_get(resp_js, "tuvodInstanceUUID"), "requestUUID",
                              json_object_get(resp_js, "requestUUID"), "op",
                              json_object_get(resp_js, "op"), "result", "output", "state",
                              tuvod_exec_res_str(TUVOD_EXEC_FAILED), "errors", errors_js));
}

// The response as a library message (compact JSON and its NUL), or none
// when it cannot be allocated.
nng_msg *serialise_response(json_t *resp_js) {
    // Serialised straight into the message that the library takes over
    // (zero-copy): a response can carry a large output, and it should not be
    // held a third time while it is sent.
    size_t text_len = json_dumpb_fast(resp_js, nullptr, 0, JSON_COMPACT);
    nng_msg *msg = nullptr;
    if (text_len == 0 || nng_msg_alloc(&msg, text_len + 1) != 0)
        return nullptr;
    auto *text = static_cast<char *>(nng_msg_body(msg));
    json_dumpb_fast(resp_js, text, text_len, JSON_COMPACT);
    text[text_len] = '\0';
    return msg;
}

// Waits for the send on aio to end; once the worker is told to stop, for at
// most SHUTDOWN_SEND_TIMEOUT, after which the send is cancelled.
void wait_for_send(tuvod_worker_t *worker, send_wait *wait, nng_aio *aio) {
    std::unique_lock<std::mutex> lock(wait->mutex);
    std::chrono::steady_clock::time_point give_up{};
    while (!wait->cv.wait_for(lock, SEND_POLL, [wait] { return wait->done; })) {
        if (worker->run)
            continue;
        auto now = std::chrono::steady_clock::now();
        if (give_up == std::chrono::steady_clock::time_point{}) {
            give_up = now + SHUTDOWN_SEND_TIMEOUT;
        } else if (now >= give_up) {
            lock.unlock();
            nng_aio_cancel(aio);
            lock.lock();
            wait->cv.wait(lock, [wait] { return wait->done; });
        }
    }
}

// Sends msg (taking it) back through the job's context to the peer that
// asked. Only a reply that never left is logged and freed here.
void send_message(tuvod_worker_t *worker, const tuvod_job_t *job, nng_msg *msg) {
    send_wait wait;
    nng_aio *raw = nullptr;
    int rv = nng_aio_alloc(&raw, on_send_done, &wait);
    if (rv != 0) {
        nng_msg_free(msg);
        PRINT_INFO(INFO_ERROR, "Failed to send response: %s\n", nng_strerror(rv));
        return;
    }
    aio_ptr aio(raw); // freed (after its callback) before wait goes
    nng_aio_set_timeout(raw, REPLY_WAIT_MS);
    nng_aio_set_msg(raw, msg);
    nng_ctx_send(job->ctx, raw);
    wait_for_send(worker, &wait, raw);
    if ((rv = nng_aio_result(raw)) == 0)
        return;
    // The message is the library's only once a send succeeds.
    nng_msg_free(nng_aio_get_msg(raw));
    if (rv == NNG_ETIMEDOUT)
        PRINT_INFO(INFO_ERROR, "Dropped a response: its peer took no reply for %d s\n", REPLY_WAIT_MS / 1000);
    else
        PRINT_INFO(INFO_ERROR, "Failed to send response: %s\n", nng_strerror(rv));
}

// Sends one reply: compact JSON plus its NUL, to the peer in the job's
// routing header. A response too large to allocate is answered with an
// out-of-memory error instead; the daemon goes on.
void send_response(tuvod_worker_t *worker, tuvod_job_t *job, json_t *req_js, json_t *resp_js) {
    nng_msg *msg = serialise_response(resp_js);
    if (msg == nullptr) {
        size_t want = json_dumpb(resp_js, nullptr, 0, JSON_COMPACT);
        JSON_TRACE(DEBUG_WORKER, resp_js, "Unable to serialise JSON response to %s", op_for_log(req_js));
        PRINT_INFO(INFO_ERROR, "Unable to serialise JSON response to %s (%zu bytes)\n", op_for_log(req_js), want);
        json_ptr fallback = error_only_response(resp_js, TUVOD_ENOMEM, "Unable to allocate the response");
        if (fallback)
            msg = serialise_response(fallback.get());
        if (msg == nullptr)
            return;
    }
    PRINT_DEBUG(DEBUG_WORKER, "Response is %s (%zu bytes)\n", static_cast<const char *>(nng_msg_body(msg)),
                nng_msg_len(msg));
    send_message(worker, job, msg);
}

// Sets member key of resp_js to a copy of the request's string member.
int copy_envelope_string(json_t *resp_js, json_t *req_js, const char *key) {
    json_t *val_js = json_object_get(req_js, key);
    return json_object_set_new(resp_js, key, json_stringn(json_string_value(val_js), json_string_length(val_js)));
}

// Checks the envelope and calls the operation's handler; every failure the
// requester must see goes on errors. Sets *uuid to the request identifier
// once the envelope is known good.
void dispatch_request(tuvod_state_t *tuvod, json_t *req_js, json_t *resp_js, tuvod_error_t **errors,
                      const char **uuid) {
    const char *authority = nullptr;
    const char *op = nullptr;
    json_t *args_js = nullptr;
    json_error_t err;
    if (json_unpack_ex(req_js, &err, JSON_STRICT, "{s:s, s:s, s:s, s:o}", "requestUUID", uuid, "authority",
                       &authority, "op", &op, "args", &args_js) != 0) {
        *uuid = nullptr;
        json_ptr traced(request_for_trace(req_js, -1));
        JSON_TRACE(DEBUG_WORKER, traced.get(), "Request:");
        set_err(INFO_ERROR, errors, TUVOD_EINVAL, nullptr, "Malformed request: %s (line %d)", err.text, err.line);
        return;
    }
    if (copy_envelope_string(resp_js, req_js, "requestUUID") != 0) {
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Failed to set 'requestUUID' in resposne");
        return;
    }
    if (copy_envelope_string(resp_js, req_js, "op") != 0) {
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Failed to set 'op' in resposne");
        return;
    }
    tuvod_op_handler_fn_t handler = tuvod_op_lookup(op);
    if (handler == nullptr) {
        set_err(INFO_ERROR, errors, TUVOD_EINVAL, nullptr, "Invalid op '%s' in request", op);
        return;
    }
    // A handler that throws must not end the worker: the request is
    // answered with the failure and the worker goes on.
    try {
        handler(tuvod, *uuid, req_js, resp_js, errors);
    } catch (const std::bad_alloc &) {
        set_err(INFO_ERROR, errors, TUVOD_ENOMEM, nullptr, "Out of memory handling '%s'", op);
    } catch (const std::exception &e) {
        set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "Internal failure handling '%s': %s", op, e.what());
    } catch (...) {
        set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "Internal failure handling '%s'", op);
    }
}

// Parses and dispatches one request body; the response, or none when the
// body is not JSON or the response cannot be built. req_out receives the
// parsed request.
json_ptr build_response(tuvod_state_t *tuvod, const char *body, size_t body_sz,
                        const char *who, json_ptr *req_out) {
    const size_t text_len = body_sz > 0 ? strnlen(body, body_sz) : 0;

    json_error_t err;
    json_ptr req_js(json_loadb(body, text_len, 0, &err));
    if (!req_js) {
        // The body is not shown: it may hold an authority.
        PRINT_INFO(INFO_WARN, "Bad request: %s (line %d)\n", err.text, err.line);
        PRINT_DEBUG(DEBUG_PROTOCOL, "          (%zu bytes not shown)\n", text_len);
        return nullptr;
    }
    json_ptr resp_js(json_pack("{s:O, s:n, s:n, s:{s:n, s:s}, s:[]}", "tuvodInstanceUUID", tuvod->uuid_js,
                               "requestUUID", "op", "result", "output", "state",
                               tuvod_exec_res_str(TUVOD_EXEC_FAILED), "errors"));
    if (!resp_js) {
        PRINT_INFO(INFO_ERROR, "Failed to allocate response on %s\n", who);
        return nullptr;
    }

    error_stack errors;
    const char *uuid = nullptr;
    dispatch_request(tuvod, req_js.get(), resp_js.get(), errors.ptr(), &uuid);
    json_t *errors_js = error_stack_json(errors.head());
    if (errors_js == nullptr || json_object_set_new(resp_js.get(), "errors", errors_js) != 0)
        PRINT_INFO(INFO_ERROR, "Unable to set error stack for request %s\n", uuid != nullptr ? uuid : "(none)");
    *req_out = std::move(req_js);
    return resp_js;
}

// Parses, dispatches and answers one job. Requests that are not JSON, and
// responses that cannot be built, get no answer.
void serve_job(tuvod_worker_t *worker, tuvod_job_t *job) {
    const size_t body_sz = job->req_sz > 0 ? static_cast<size_t>(job->req_sz) : 0;
    json_ptr req_js;
    json_ptr resp_js;
    caller_scope scope(job->caller);
    try {
        resp_js = build_response(worker->tuvod, job->req_buf, body_sz, worker->worker_uuid_str.c_str(), &req_js);
    } catch (const std::bad_alloc &) {
        // Outside the handler: no envelope to keep, only the failure.
        json_ptr bare(json_object());
        resp_js = error_only_response(bare.get(), TUVOD_ENOMEM, "Out of memory handling the request");
    }
    if (resp_js)
        send_response(worker, job, req_js.get(), resp_js.get());
}

void worker_turn(tuvod_worker_t *worker) {
    const char *id = worker->worker_uuid_str.c_str();
    PRINT_DEBUG(DEBUG_WORKER, "Waiting for a job on %s...\n", id);
    job_ptr job = take_job(worker);
    if (!job)
        return;
    PRINT_DEBUG(DEBUG_WORKER, "...received request to process on %s (%d bytes)\n", id, job->req_sz);
    busy_worker busy;
    try {
        serve_job(worker, job.get());
    } catch (const std::exception &e) {
        PRINT_INFO(INFO_ERROR, "Failed to serve a request on %s: %s\n", id, e.what());
    }
}

void *tuvod_worker(void *arg) {
    auto *worker = static_cast<tuvod_worker_t *>(arg);
    try {
        sigset_t usr1;
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);
        const char *id = worker->worker_uuid_str.c_str();
        PRINT_DEBUG(DEBUG_WORKER, "Starting worker thread for %s\n", id);
        tuvod_incr_counter(worker->tuvod, &worker->tuvod->n_workers_running);
        {
            mutex_guard lock(&worker->mutex);
            worker->started = true;
            pthread_cond_broadcast(&worker->start_cv);
        }
        while (worker->run)
            worker_turn(worker);
        PRINT_INFO(INFO_INFO, "Worker %s thread terminating\n", id);
    } catch (const std::exception &e) {
        PRINT_INFO(INFO_ERROR, "Worker thread failed: %s\n", e.what());
    } catch (...) {
        PRINT_INFO(INFO_ERROR, "Worker thread failed\n");
    }
    return nullptr;
}

// Starts one worker and waits until its thread runs. 0 or -1; on failure
// the record is left as it was given (apart from the state pointer).
int tuvod_start_worker(tuvod_state_t *tuvod, tuvod_worker_t *worker, unsigned id) {
    (void)id;
    worker->tuvod = tuvod;
    cstr_ptr uuid(generate_uuid_str());
    if (!uuid) {
        PRINT_INFO(INFO_ERROR, "Failed to create worker UUID\n");
        return -1;
    }
    worker->worker_uuid_str = uuid.get();
    if (pthread_mutex_init(&worker->mutex, nullptr) != 0) {
        PRINT_INFO(INFO_ERROR, "Failed to create worker mutex\n");
        worker->worker_uuid_str.clear();
        PRINT_DEBUG(DEBUG_WORKER, "Worker failed to start\n");
        return -1;
    }
    if (pthread_cond_init(&worker->start_cv, nullptr) != 0) {
        PRINT_INFO(INFO_ERROR, "Failed to create worker start cv\n");
        pthread_mutex_destroy(&worker->mutex);
        worker->worker_uuid_str.clear();
        PRINT_DEBUG(DEBUG_WORKER, "Worker failed to start\n");
        return -1;
    }
    worker->run = true;
    if (pthread_create(&worker->thread, nullptr, tuvod_worker, worker) != 0) {
        PRINT_INFO(INFO_ERROR, "Failed to create worker thread\n");
        worker->run = false;
        pthread_cond_destroy(&worker->start_cv);
        pthread_mutex_destroy(&worker->mutex);
        worker->worker_uuid_str.clear();
        PRINT_DEBUG(DEBUG_WORKER, "Worker failed to start\n");
        return -1;
    }
    mutex_guard lock(&worker->mutex);
    while (!worker->started) {
        PRINT_DEBUG(DEBUG_WORKER, "Waiting for worker to start...\n");
        pthread_cond_wait(&worker->start_cv, &worker->mutex);
    }
    return 0;
}

// Joins a started worker's thread and counts it down; a worker joined
// before is left alone, so a repeated shutdown never joins twice.
void tuvod_wait_for_worker_shutdown(tuvod_worker_t *worker) {
    tuvod_state_t *tuvod = worker->tuvod;
    {
        mutex_guard lock(&worker->mutex);
        if (!worker->started)
            return;
    }
    const char *id = worker->worker_uuid_str.c_str();
    PRINT_DEBUG(DEBUG_WORKER, "Waiting for worker %s to terminate\n", id);
    pthread_join(worker->thread, nullptr);
    {
        mutex_guard lock(&worker->mutex);
        worker->started = false;
    }
    tuvod_decr_counter(tuvod, &tuvod->n_workers_running);
    PRINT_DEBUG(DEBUG_WORKER, "Worker %s has terminated\n", id);
}

// Releases a joined worker. A mutex that cannot be destroyed is still in
// use, so that record is kept (and its identifier with it).
void tuvod_free_worker(tuvod_worker_t *worker) {
    if (pthread_mutex_destroy(&worker->mutex) != 0) {
        PRINT_INFO(INFO_ERROR, "Failed to destroy worker mutex\n");
        return;
    }
    pthread_cond_destroy(&worker->start_cv);
    std::unique_ptr<tuvod_worker_t> owned(worker);
}

// Stops and releases a worker that is running but could not be listed.
void discard_running_worker(tuvod_worker_t *worker) {
    worker->run = false;
    tuvod_wait_for_worker_shutdown(worker);
    tuvod_free_worker(worker);
}

} // namespace

json_t *tuvod_handle_request(tuvod_state_t *tuvod, const char *body, size_t body_sz) {
    json_ptr req_js;
    return build_response(tuvod, body, body_sz, "(direct)", &req_js).release();
}

int tuvod_start_workers(tuvod_state_t *tuvod, unsigned int n_workers) {
    {
        mutex_guard lock(&tuvod->workers_mutex);
        if (tuvod->tuvod_workers != nullptr) {
            PRINT_INFO(INFO_ERROR, "tuvod workers already started\n");
            return -1;
        }
    }
    for (unsigned i = 0; i < n_workers; i++) {
        std::unique_ptr<tuvod_worker_t> worker(new (std::nothrow) tuvod_worker_t);
        if (!worker) {
            PRINT_INFO(INFO_WARN, "Failed to alloc worker - only %d of %d running\n",
                       static_cast<int>(tuvod->n_workers), static_cast<int>(n_workers));
            break;
        }
        if (tuvod_start_worker(tuvod, worker.get(), i) != 0) {
            PRINT_INFO(INFO_WARN, "Failed to start worker - only %d running\n", static_cast<int>(i));
            break;
        }
        std::unique_ptr<tuvod_worker_list_t> node(new (std::nothrow) tuvod_worker_list_t);
        if (!node) {
            PRINT_INFO(INFO_WARN, "Failed to link worker - only %d of %d running\n",
                       static_cast<int>(tuvod->n_workers), static_cast<int>(n_workers));
            discard_running_worker(worker.release());
            break;
        }
        node->worker = worker.release();
        mutex_guard lock(&tuvod->workers_mutex);
        node->next = tuvod->tuvod_workers;
        tuvod->tuvod_workers = node.release();
        tuvod->n_workers++;
    }
    {
        mutex_guard lock(&tuvod->daemon_mutex);
        while (tuvod->n_workers_running < tuvod->n_workers) {
            PRINT_DEBUG(DEBUG_WORKER, "Waiting for workers to start (%d of %d have started)\n",
                        static_cast<int>(tuvod->n_workers_running), static_cast<int>(tuvod->n_workers));
            pthread_cond_wait(&tuvod->daemon_cv, &tuvod->daemon_mutex);
        }
    }
    PRINT_DEBUG(DEBUG_WORKER, "All workers have started\n");
    return static_cast<int>(tuvod->n_workers);
}

int tuvod_wait_for_workers_shutdown(tuvod_state_t *tuvod) {
    mutex_guard lock(&tuvod->workers_mutex);
    for (tuvod_worker_list_t *node = tuvod->tuvod_workers; node != nullptr; node = node->next)
        tuvod_wait_for_worker_shutdown(node->worker);
    PRINT_DEBUG(DEBUG_WORKER, "All workers have terminated\n");
    return static_cast<int>(tuvod->n_workers);
}

int tuvod_free_workers(tuvod_state_t *tuvod) {
    mutex_guard lock(&tuvod->workers_mutex);
    const int n_workers = static_cast<int>(tuvod->n_workers);
    while (tuvod->tuvod_workers != nullptr) {
        std::unique_ptr<tuvod_worker_list_t> node(tuvod->tuvod_workers);
        tuvod->tuvod_workers = node->next;
        tuvod_free_worker(node->worker);
    }
    tuvod->n_workers = 0;
    return n_workers;
}
