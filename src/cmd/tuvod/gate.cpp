#include "gate.hpp"

#include <algorithm>
#include <map>
#include <mutex>
#include <string>

#include "info.hpp"
#include "utils.hpp"

namespace {

// Gates by script path. An entry lives while a record or a run holds its
// gate; expired entries are swept when a gate is made.
std::mutex gates_mutex;
std::map<std::string, std::weak_ptr<tuvod_run_gate_t>> gates;

std::shared_ptr<tuvod_run_gate_t> gate_for_path(const std::string &path) {
    std::lock_guard<std::mutex> lock(gates_mutex);
    std::weak_ptr<tuvod_run_gate_t> &slot = gates[path];
    std::shared_ptr<tuvod_run_gate_t> gate = slot.lock();
    if (gate)
        return gate;
    for (auto it = gates.begin(); it != gates.end();)
        it = it->second.expired() && it->first != path ? gates.erase(it) : std::next(it);
    gate = std::make_shared<tuvod_run_gate_t>();
    slot = gate;
    return gate;
}

// Caller holds gate->mutex; see gate_leave.
tuvod_exec_args_t *gate_next_locked(tuvod_run_gate_t *gate, bool stopping) {
    if (gate->running != 0 || gate->waiting.empty())
        return nullptr;
    tuvod_gate_waiter_t *first = gate->waiting.front();
    if (first->run == nullptr) {
        pthread_cond_broadcast(&gate->cv);
        return nullptr;
    }
    if (stopping)
        return nullptr;
    gate->waiting.pop_front();
    first->queued = false;
    gate->running++;
    return first->run;
}

} // namespace

std::shared_ptr<tuvod_run_gate_t> tuvod_script_gate(tuvod_script_t *script) {
    mutex_guard lock(&script->script_mutex);
    if (!script->script_gate)
        script->script_gate = gate_for_path(script->script_path);
    return script->script_gate;
}

void gate_enter_sync(tuvod_run_gate_t *gate, const tuvod_script_t *script) {
    mutex_guard lock(&gate->mutex);
    if (!script->script_concurrent && (gate->running != 0 || !gate->waiting.empty())) {
        tuvod_gate_waiter_t me;
        me.queued = true;
        gate->waiting.push_back(&me);
        PRINT_DEBUG(DEBUG_WORKER, "Waiting for current %s script to finish...\n",
                    script->script_name.c_str());
        while (gate->waiting.front() != &me || gate->running != 0)
            pthread_cond_wait(&gate->cv, &gate->mutex);
        gate->waiting.pop_front();
    }
    gate->running++;
}

bool gate_enter_async(tuvod_run_gate_t *gate, const tuvod_script_t *script,
                      tuvod_gate_waiter_t *waiter) {
    mutex_guard lock(&gate->mutex);
    if (script->script_concurrent || (gate->running == 0 && gate->waiting.empty())) {
        gate->running++;
        return true;
    }
    waiter->queued = true;
    gate->waiting.push_back(waiter);
    return false;
}

tuvod_exec_args_t *gate_leave(tuvod_run_gate_t *gate, bool stopping) {
    mutex_guard lock(&gate->mutex);
    gate->running--;
    return gate_next_locked(gate, stopping);
}

bool gate_withdraw(tuvod_run_gate_t *gate, tuvod_gate_waiter_t *waiter) {
    mutex_guard lock(&gate->mutex);
    if (!waiter->queued)
        return false;
    auto &waiting = gate->waiting;
    waiting.erase(std::find(waiting.begin(), waiting.end(), waiter));
    waiter->queued = false;
    gate_next_locked(gate, true); // wakes a synchronous request now first
    return true;
}
