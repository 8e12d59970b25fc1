// The asynchronous runs at shutdown: a run still going is killed and
// recorded LOST, a run still waiting for its turn is recorded LOST without
// ever starting, and afterwards no run is live. The shutdown stops the
// process-wide registry for good, so each case runs in a child process.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "async.hpp"
#include "handles.hpp"
#include "request_fixture.hpp"

namespace {

class AsyncStop : public RequestFixture {
  protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        RequestFixture::SetUp();
        script_->script_timeout = 60;
        script_->script_concurrent = false;
    }

    std::string execute_async(const std::string &id, const std::string &pidfile) {
        json_ptr req(json_pack("{s:s, s:s, s:s, s:{s:[s,s,s,s,s], s:b}}", "requestUUID", id.c_str(),
                               "authority", "test", "op", "execute", "args", "argv",
                               exec_test::helper_path().c_str(), "pidfile", pidfile.c_str(), "sleep", "60",
                               "asynchronous", 1));
        cstr_ptr body(json_dumps(req.get(), JSON_COMPACT));
        json_ptr r = handle(body.get());
        const char *s = json_string_value(json_object_get(json_object_get(r.get(), "result"), "state"));
        return s != nullptr ? s : "";
    }

    // The stored state and newest error text of a record ("" when none).
    std::pair<std::string, std::string> recorded(const std::string &id) {
        char *state = nullptr;
        json_t *errors = nullptr;
        int rc = tuvod_db_get_cmd(&tuvod_, id.c_str(), &state, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  &errors, nullptr);
        cstr_ptr owned(state);
        json_ptr owned_errors(errors);
        if (rc != 0 || state == nullptr)
            return {"", ""};
        const char *text = json_string_value(json_object_get(json_array_get(errors, 0), "errorString"));
        return {state, text != nullptr ? text : ""};
    }

    // The scenario, in the child: one run going, one waiting, then the shutdown.
    bool going_and_waiting_runs_are_recorded_lost() {
        std::string pids = log_.path("pids");
        if (execute_async("going", pids) != "RUNNING" || execute_async("waiting", pids) != "RUNNING")
            return fail("not accepted");
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        struct stat st;
        while (stat(pids.c_str(), &st) != 0 || st.st_size == 0) {
            if (std::chrono::steady_clock::now() > deadline)
                return fail("the first run never started");
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (async_runs_live() != 2)
            return fail("expected two live runs");
        async_runs_stop(&tuvod_);
        auto going = recorded("going");
        auto waiting = recorded("waiting");
        if (going.first != "LOST" || going.second.find("ended by daemon shutdown") == std::string::npos)
            return fail("going: " + going.first + " " + going.second);
        if (waiting.first != "LOST" || waiting.second.find("not started before daemon shutdown") == std::string::npos)
            return fail("waiting: " + waiting.first + " " + waiting.second);
        if (log_sandbox::read_file(pids).find('\n') != log_sandbox::read_file(pids).size() - 1)
            return fail("the waiting run started");
        if (async_runs_live() != 0 || reserve_async_slot(&tuvod_))
            return fail("runs are still accepted after the shutdown");
        return true;
    }

    static bool fail(const std::string &why) {
        fprintf(stderr, "%s\n", why.c_str());
        return false;
    }
};

} // namespace

TEST_F(AsyncStop, RunsGoingAndWaitingAtShutdownAreRecordedLost) {
    EXPECT_EXIT(exit(going_and_waiting_runs_are_recorded_lost() ? 0 : 1), testing::ExitedWithCode(0), "");
}
