// The run gate: a non-concurrent script's runs take turns in arrival order,
// a waiting asynchronous run is handed to whoever leaves, the shutdown can
// take waiting runs back, and every record of a path shares one gate.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gate.hpp"
#include "utils.hpp"

namespace {

tuvod_script_ref script_at(const std::string &path, bool concurrent) {
    auto s = std::make_shared<tuvod_script_t>();
    s->script_name = "gated";
    s->script_path = path;
    s->script_concurrent = concurrent;
    return s;
}

size_t waiting(tuvod_run_gate_t *gate) {
    mutex_guard lock(&gate->mutex);
    return gate->waiting.size();
}

unsigned running(tuvod_run_gate_t *gate) {
    mutex_guard lock(&gate->mutex);
    return gate->running;
}

// Waits (bounded) until n waiters are queued: a thread has reached the gate.
bool wait_for_waiters(tuvod_run_gate_t *gate, size_t n) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (waiting(gate) < n) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

} // namespace

TEST(Gate, SynchronousRunsOfANonConcurrentScriptTakeTurnsInArrivalOrder) {
    tuvod_script_ref script = script_at("/gate/serial", false);
    auto gate = tuvod_script_gate(script.get());
    gate_enter_sync(gate.get(), script.get());

    std::mutex order_mutex;
    std::vector<int> order;
    std::vector<std::thread> threads;
    for (int i = 1; i <= 3; i++) {
        threads.emplace_back([&, i] {
            gate_enter_sync(gate.get(), script.get());
            {
                std::lock_guard<std::mutex> lock(order_mutex);
                order.push_back(i);
            }
            EXPECT_EQ(gate_leave(gate.get(), false), nullptr);
        });
        // The next thread starts only once this one waits: arrival order is known.
        ASSERT_TRUE(wait_for_waiters(gate.get(), static_cast<size_t>(i)));
    }
    EXPECT_EQ(running(gate.get()), 1u) << "a waiting run entered beside the running one";
    EXPECT_EQ(gate_leave(gate.get(), false), nullptr);
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(running(gate.get()), 0u);
    EXPECT_EQ(waiting(gate.get()), 0u);
}

TEST(Gate, ConcurrentScriptsNeverWait) {
    tuvod_script_ref script = script_at("/gate/concurrent", true);
    auto gate = tuvod_script_gate(script.get());
    gate_enter_sync(gate.get(), script.get());
    gate_enter_sync(gate.get(), script.get());
    tuvod_gate_waiter_t waiter;
    EXPECT_TRUE(gate_enter_async(gate.get(), script.get(), &waiter));
    EXPECT_EQ(running(gate.get()), 3u);
    EXPECT_FALSE(waiter.queued);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(gate_leave(gate.get(), false), nullptr);
}

TEST(Gate, WaitingAsynchronousRunIsHandedToWhoeverLeaves) {
    tuvod_script_ref script = script_at("/gate/handoff", false);
    auto gate = tuvod_script_gate(script.get());
    auto *first = reinterpret_cast<tuvod_exec_args_t *>(0x1000);
    auto *second = reinterpret_cast<tuvod_exec_args_t *>(0x2000);
    tuvod_gate_waiter_t a{first}, b{second};

    gate_enter_sync(gate.get(), script.get());
    EXPECT_FALSE(gate_enter_async(gate.get(), script.get(), &a));
    EXPECT_FALSE(gate_enter_async(gate.get(), script.get(), &b));
    EXPECT_TRUE(a.queued);

    // The leaving run is handed the first waiter, which now holds the gate.
    EXPECT_EQ(gate_leave(gate.get(), false), first);
    EXPECT_FALSE(a.queued);
    EXPECT_EQ(running(gate.get()), 1u);
    EXPECT_EQ(waiting(gate.get()), 1u);

    // While stopping nothing is handed over: the shutdown takes it back.
    EXPECT_EQ(gate_leave(gate.get(), true), nullptr);
    EXPECT_TRUE(b.queued);
    EXPECT_TRUE(gate_withdraw(gate.get(), &b));
    EXPECT_FALSE(gate_withdraw(gate.get(), &b)) << "a run taken back twice";
    EXPECT_EQ(waiting(gate.get()), 0u);
    EXPECT_EQ(running(gate.get()), 0u);
}

TEST(Gate, WithdrawingAnAsynchronousRunWakesTheSynchronousRequestBehindIt) {
    tuvod_script_ref script = script_at("/gate/withdraw", false);
    auto gate = tuvod_script_gate(script.get());
    tuvod_gate_waiter_t queued_async{reinterpret_cast<tuvod_exec_args_t *>(0x1000)};
    gate_enter_sync(gate.get(), script.get());
    ASSERT_FALSE(gate_enter_async(gate.get(), script.get(), &queued_async));

    std::atomic<bool> entered{false};
    std::thread sync_request([&] {
        gate_enter_sync(gate.get(), script.get());
        entered = true;
        gate_leave(gate.get(), true);
    });
    ASSERT_TRUE(wait_for_waiters(gate.get(), 2));
    // The shutdown: the running request ends without handing over, the
    // waiting run is taken back, and the synchronous request goes.
    EXPECT_EQ(gate_leave(gate.get(), true), nullptr);
    EXPECT_TRUE(gate_withdraw(gate.get(), &queued_async));
    sync_request.join();
    EXPECT_TRUE(entered);
    EXPECT_EQ(running(gate.get()), 0u);
}

TEST(Gate, EveryRecordOfAPathSharesOneGateAcrossReloads) {
    tuvod_script_ref before = script_at("/gate/reloaded", false);
    tuvod_script_ref after = script_at("/gate/reloaded", false);
    tuvod_script_ref other = script_at("/gate/other", false);
    auto gate = tuvod_script_gate(before.get());
    EXPECT_EQ(tuvod_script_gate(after.get()), gate);
    EXPECT_NE(tuvod_script_gate(other.get()), gate);

    // A run still going under the old record keeps the reloaded one waiting.
    gate_enter_sync(gate.get(), before.get());
    tuvod_gate_waiter_t waiter{reinterpret_cast<tuvod_exec_args_t *>(0x1000)};
    EXPECT_FALSE(gate_enter_async(tuvod_script_gate(after.get()).get(), after.get(), &waiter));
    EXPECT_EQ(gate_leave(gate.get(), false), waiter.run);
    EXPECT_EQ(gate_leave(gate.get(), false), nullptr);
}
