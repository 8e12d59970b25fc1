// The registry of runs in progress; see runs.hpp.
#include "runs.hpp"

#include <sys/eventfd.h>

#include <cstdint>
#include <map>

#include "error.hpp"
#include "info.hpp"
#include "wire.hpp"

namespace {

std::mutex registry_mutex;
std::map<std::string, tuvod_run_ref> registry;
thread_local tuvod_run_t *thread_run = nullptr;

} // namespace

run_registration::run_registration(const char *request_uuid, tuvod_script_ref script, std::string caller) {
    try {
        auto run = std::make_shared<tuvod_run_t>();
        run->request_uuid = request_uuid;
        run->caller = std::move(caller);
        run->script = std::move(script);
        run->wake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!run->wake) {
            PRINT_INFO(INFO_WARN, "Request %s cannot be cancelled: no eventfd\n", request_uuid);
            return;
        }
        std::lock_guard<std::mutex> lock(registry_mutex);
        if (!registry.emplace(run->request_uuid, run).second)
            return;
        run_ = std::move(run);
    } catch (const std::bad_alloc &) {
        PRINT_INFO(INFO_WARN, "Request %s cannot be cancelled: out of memory\n", request_uuid);
    }
}

run_registration::~run_registration() {
    if (run_) {
        std::lock_guard<std::mutex> lock(registry_mutex);
        registry.erase(run_->request_uuid);
    }
}

current_run_scope::current_run_scope(tuvod_run_t *run) : previous_(thread_run) { thread_run = run; }

current_run_scope::~current_run_scope() { thread_run = previous_; }

tuvod_run_t *current_run() { return thread_run; }

int current_run_wake_fd() { return thread_run != nullptr ? thread_run->wake.get() : -1; }

bool current_run_cancelled() { return thread_run != nullptr && thread_run->cancelled; }

std::string run_cancelled_by(tuvod_run_t *run) {
    std::lock_guard<std::mutex> lock(run->mutex);
    return run->cancelled_by;
}

tuvod_run_ref find_run(const char *request_uuid) {
    std::lock_guard<std::mutex> lock(registry_mutex);
    auto it = registry.find(request_uuid);
    return it == registry.end() ? nullptr : it->second;
}

bool cancel_run(tuvod_run_t *run, const char *by) {
    {
        std::lock_guard<std::mutex> lock(run->mutex);
        if (run->cancelled)
            return false;
        run->cancelled_by = by;
        run->cancelled = true;
    }
    uint64_t one = 1;
    if (write(run->wake.get(), &one, sizeof one) != sizeof one)
        PRINT_INFO(INFO_WARN, "Unable to wake the run of %s\n", run->request_uuid.c_str());
    return true;
}

size_t runs_in_progress() {
    std::lock_guard<std::mutex> lock(registry_mutex);
    return registry.size();
}

void set_cancel_err(tuvod_run_t *run, const char *uuid, tuvod_error_t **errors) {
    if (run->by_shutdown)
        set_err(INFO_WARN, errors, TUVOD_ECANCELED, nullptr, "Command %s stopped by daemon shutdown", uuid);
    else
        set_err(INFO_WARN, errors, TUVOD_ECANCELED, nullptr, "Command %s cancelled by request %s", uuid,
                run_cancelled_by(run).c_str());
}
