// The worker pool and the request/response envelopes.
//
// Workers take requests from the transport's bounded queue (router module),
// waiting at most a second at a time so they see their run flag. A request
// is parsed up to its first NUL or the end of the body, never further; the
// envelope must be exactly {"requestUUID", "authority", "op", "args"}. The
// operation handler runs with no worker lock held and with the request's
// caller identity (fixed by its connection) in scope. The reply goes to the
// request's token, which hands it to the connection and returns at once: a
// worker never waits for a peer.
//
// A status request is answered on the transport's I/O thread instead (the
// fast path): it only reads counters, so it is answered while every worker
// is busy and the queue is full.
//
// Shutdown: the entry clears each worker's run flag and sends it SIGUSR1
// (unblocked only in worker threads here) to interrupt blocking calls; a
// worker finishes and answers the request in hand before it ends. Requests
// still queued are dropped unanswered by the transport.
#include "worker.hpp"

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
#include "router.hpp"
#include "status.hpp"
#include "utils.hpp"
#include "wire.hpp"

tuvod_op_handler_fn_t (*tuvod_op_lookup)(const char *op) = tuvod_op_fn;

namespace {

// A worker looks at its run flag at least this often.
constexpr auto TAKE_WAIT = std::chrono::seconds(1);

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

// The response as sent: compact JSON and its NUL, after room bytes left
// for the transport's frame; empty when it cannot be allocated.
std::string serialise_response(json_t *resp_js, size_t room) {
    size_t text_len = json_dumpb_fast(resp_js, nullptr, 0, JSON_COMPACT);
    std::string text;
    if (text_len == 0)
        return text;
    try {
        text.resize(room + text_len + 1);
    } catch (const std::bad_alloc &) {
        return std::string();
    }
    json_dumpb_fast(resp_js, text.data() + room, text_len, JSON_COMPACT);
    return text;
}

// The reply to send: compact JSON plus its NUL. A response too large to
// allocate becomes an out-of-memory error instead; empty when even that
// cannot be made.
std::string response_text(json_t *req_js, json_t *resp_js, size_t room) {
    std::string text = serialise_response(resp_js, room);
    if (text.empty()) {
        size_t want = json_dumpb(resp_js, nullptr, 0, JSON_COMPACT);
        JSON_TRACE(DEBUG_WORKER, resp_js, "Unable to serialise JSON response to %s", op_for_log(req_js));
        PRINT_INFO(INFO_ERROR, "Unable to serialise JSON response to %s (%zu bytes)\n", op_for_log(req_js), want);
        json_ptr fallback = error_only_response(resp_js, TUVOD_ENOMEM, "Unable to allocate the response");
        if (fallback)
            text = serialise_response(fallback.get(), room);
        if (text.empty())
            return text;
    }
    PRINT_DEBUG(DEBUG_WORKER, "Response is %s (%zu bytes)\n", text.c_str() + room, text.size() - room);
    return text;
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

// Parses and dispatches one request body as identity; the reply text after
// room free bytes, or empty for a request that gets none (not JSON, no
// response could be built).
std::string answer(tuvod_state_t *tuvod, const std::string &identity, const char *body, size_t body_sz,
                   const char *who, size_t room) {
    json_ptr req_js;
    json_ptr resp_js;
    caller_scope scope(identity);
    try {
        resp_js = build_response(tuvod, body, body_sz, who, &req_js);
    } catch (const std::bad_alloc &) {
        // Outside the handler: no envelope to keep, only the failure.
        json_ptr bare(json_object());
        resp_js = error_only_response(bare.get(), TUVOD_ENOMEM, "Out of memory handling the request");
    }
    return resp_js ? response_text(req_js.get(), resp_js.get(), room) : std::string();
}

void worker_turn(tuvod_worker_t *worker) {
    const char *id = worker->worker_uuid_str.c_str();
    PRINT_DEBUG(DEBUG_WORKER, "Waiting for a job on %s...\n", id);
    std::optional<edge::request> r = tuvod_router_take(worker->tuvod, TAKE_WAIT);
    if (!r)
        return;
    PRINT_DEBUG(DEBUG_WORKER, "...received request to process on %s (%zu bytes)\n", id, r->body.size());
    std::string text;
    try {
        // Busy until the reply is ready, not until it has been handed on: a
        // client that has its reply and asks for status finds this worker free.
        busy_worker busy;
        // Built behind the frame's room: a reply of tens of megabytes is not
        // copied again to be framed.
        text = answer(worker->tuvod, r->identity, r->body.data(), r->body.size(), id, r->token.frame_room());
    } catch (const std::exception &e) {
        PRINT_INFO(INFO_ERROR, "Failed to serve a request on %s: %s\n", id, e.what());
    }
    if (text.empty())
        return;
    try {
        r->token.reply_framed(std::move(text));
    } catch (const std::exception &e) {
        PRINT_INFO(INFO_ERROR, "Failed to send a reply on %s: %s\n", id, e.what());
    }
}

// A status request, recognised without running anything: small, JSON, and
// its "op" is "status".
bool is_status_request(std::string_view body) {
    if (body.size() > edge::SMALL_MESSAGE || body.find("\"status\"") == std::string_view::npos)
        return false;
    json_ptr req(json_loadb(body.data(), strnlen(body.data(), body.size()), 0, nullptr));
    const char *op = json_string_value(json_object_get(req.get(), "op"));
    return op != nullptr && strcmp(op, "status") == 0;
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
    tuvod_router_set_fast_path(tuvod, [tuvod](const std::string &identity,
                                              std::string_view body) -> std::optional<std::string> {
        if (!is_status_request(body))
            return std::nullopt;
        std::string text = answer(tuvod, identity, body.data(), body.size(), "(fast path)", 0);
        if (text.empty())
            return std::nullopt;
        return text;
    });
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
