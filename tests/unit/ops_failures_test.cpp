// Failures around the operations: a handler that throws is answered with an
// error, and an asynchronous run whose thread cannot start leaves no record,
// so that the same request can be retried.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <new>
#include <stdexcept>
#include <string>

#include "async.hpp"
#include "db.hpp"
#include "execute_test_helpers.hpp"
#include "handles.hpp"
#include "info.hpp"
#include "log_sandbox.hpp"
#include "ops.hpp"
#include "request_fixture.hpp"
#include "worker.hpp"

namespace {

json_ptr handle(tuvod_state_t *tuvod, const std::string &body) {
    return json_ptr(tuvod_handle_request(tuvod, body.data(), body.size()));
}

json_t *first_error(const json_ptr &r) { return json_array_get(json_object_get(r.get(), "errors"), 0); }
long long first_code(const json_ptr &r) {
    return json_integer_value(json_object_get(first_error(r), "errorCode"));
}
std::string first_text(const json_ptr &r) {
    const char *s = json_string_value(json_object_get(first_error(r), "errorString"));
    return s != nullptr ? s : "";
}
std::string state_of(const json_ptr &r) {
    const char *s = json_string_value(json_object_get(json_object_get(r.get(), "result"), "state"));
    return s != nullptr ? s : "";
}

void throw_bad_alloc(tuvod_state_t *, const char *, json_t *, json_t *, tuvod_error_t **) {
    throw std::bad_alloc();
}
void throw_runtime(tuvod_state_t *, const char *, json_t *, json_t *, tuvod_error_t **) {
    throw std::runtime_error("handler broke");
}

tuvod_op_handler_fn_t throwing_lookup(const char *op) {
    if (std::string(op) == "alloc")
        return throw_bad_alloc;
    if (std::string(op) == "io")
        return throw_runtime;
    return tuvod_op_fn(op);
}

TEST(HandlerFailures, AThrowIsAnsweredWithAnErrorAndServingGoesOn) {
    log_sandbox log;
    tuvod_state_t tuvod;
    json_ptr instance(json_string("instance"));
    tuvod.uuid_js = instance.get();
    tuvod_op_lookup = throwing_lookup;
    auto request = [](const char *op) {
        return std::string("{\"requestUUID\":\"r-1\",\"authority\":\"a\",\"op\":\"") + op + "\",\"args\":{}}";
    };
    json_ptr r = handle(&tuvod, request("alloc"));
    ASSERT_TRUE(r);
    EXPECT_EQ(first_code(r), 12);
    EXPECT_EQ(state_of(r), "FAILED");
    EXPECT_STREQ(json_string_value(json_object_get(r.get(), "requestUUID")), "r-1");
    r = handle(&tuvod, request("io"));
    ASSERT_TRUE(r);
    EXPECT_EQ(first_code(r), 5);
    EXPECT_NE(first_text(r).find("handler broke"), std::string::npos);
    // The same path still serves the next request as usual.
    r = handle(&tuvod, request("nothing"));
    ASSERT_TRUE(r);
    EXPECT_EQ(first_code(r), 22);
    EXPECT_EQ(first_text(r), "Invalid op 'nothing' in request");
    tuvod_op_lookup = tuvod_op_fn;
}

int failed_create_errno = EAGAIN;
int failing_create(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) { return failed_create_errno; }

class AsyncStart : public RequestFixture {
  protected:
    void TearDown() override {
        tuvod_exec_thread_create = pthread_create;
        RequestFixture::TearDown();
    }

    json_ptr execute(const std::string &id) {
        json_ptr req(json_pack("{s:s, s:s, s:s, s:{s:[s,s,s], s:b}}", "requestUUID", id.c_str(), "authority", "test",
                               "op", "execute", "args", "argv", exec_test::helper_path().c_str(), "out", "done",
                               "asynchronous", 1));
        cstr_ptr body(json_dumps(req.get(), JSON_COMPACT));
        return handle(body.get());
    }

    std::string recorded_state(const std::string &id) {
        char *state = nullptr;
        int rc = tuvod_db_get_cmd(&tuvod_, id.c_str(), &state, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, nullptr);
        cstr_ptr owned(state);
        return rc == 0 && state != nullptr ? state : "";
    }
};

TEST_F(AsyncStart, ThreadThatCannotStartLeavesNoRecordAndTheRetryRuns) {
    tuvod_exec_thread_create = failing_create;
    for (int err : {EAGAIN, ENOMEM}) {
        failed_create_errno = err;
        json_ptr r = execute("a-1");
        ASSERT_TRUE(r);
        EXPECT_EQ(state_of(r), "FAILED");
        EXPECT_EQ(first_code(r), err == EAGAIN ? 11 : 12);
        EXPECT_NE(first_text(r).find("Failed to create exec thread for a-1"), std::string::npos) << first_text(r);
        EXPECT_EQ(recorded_state("a-1"), "") << "the refused run is still recorded";
    }
    tuvod_exec_thread_create = pthread_create;
    json_ptr r = execute("a-1");
    ASSERT_TRUE(r);
    EXPECT_EQ(state_of(r), "RUNNING") << log_.raw();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (recorded_state("a-1") != "COMPLETE" && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(recorded_state("a-1"), "COMPLETE") << log_.raw();
}

} // namespace
