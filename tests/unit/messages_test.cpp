// Texts that clients and log readers match on, odd spellings included: a
// tidy-up must not change them. Each is produced the way the daemon
// produces it, here by running out of memory in the JSON library at every
// allocation in turn until the failure in question is reached (which also
// shows that no allocation failure on the way crashes or hangs).
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "error.hpp"
#include "handles.hpp"
#include "request_fixture.hpp"

namespace {

// Makes the JSON library's allocation number n (counted from 0, from now)
// fail, once; the library's own allocator is back when the guard goes.
class json_alloc_failure {
  public:
    explicit json_alloc_failure(long n) {
        countdown_ = n;
        json_set_alloc_funcs(failing_malloc, std::free);
    }
    ~json_alloc_failure() { json_set_alloc_funcs(std::malloc, std::free); }
    json_alloc_failure(const json_alloc_failure &) = delete;
    json_alloc_failure &operator=(const json_alloc_failure &) = delete;
    static bool fired() { return countdown_ < 0; }

  private:
    static void *failing_malloc(size_t size) { return countdown_-- == 0 ? nullptr : std::malloc(size); }
    static inline std::atomic<long> countdown_{-1};
};

constexpr long max_allocations = 5000;

std::string first_error_text(json_t *reply) {
    const char *s = json_string_value(json_object_get(json_array_get(json_object_get(reply, "errors"), 0),
                                                      "errorString"));
    return s != nullptr ? s : "";
}

class Messages : public RequestFixture {};

} // namespace

TEST_F(Messages, ResponseObjectThatCannotBeMadeSaysComnmand) {
    std::string found;
    for (long n = 0; n < max_allocations && found.empty(); n++) {
        std::string body = "{\"requestUUID\":\"m-" + std::to_string(n) +
                           "\",\"authority\":\"test\",\"op\":\"execute\",\"args\":{\"argv\":[\"" +
                           exec_test::helper_path() + "\",\"out\",\"x\"],\"asynchronous\":false}}";
        json_ptr reply;
        {
            json_alloc_failure failure(n);
            reply = handle(body);
            if (!json_alloc_failure::fired())
                break; // the whole request went through: nothing left to fail
        }
        if (reply && first_error_text(reply.get()) == "Failed to create comnmand response object")
            found = first_error_text(reply.get());
    }
    EXPECT_EQ(found, "Failed to create comnmand response object");
}

TEST_F(Messages, ErrorThatCannotJoinTheStackSaysSstack) {
    error_stack errors;
    // More entries than the array first holds, so that it must grow.
    for (int i = 0; i < 9; i++)
        set_err(INFO_DEBUG, errors.ptr(), TUVOD_EIO, nullptr, "entry %d", i);
    bool logged = false;
    for (long n = 0; n < max_allocations && !logged; n++) {
        json_ptr stack;
        {
            json_alloc_failure failure(n);
            stack.reset(error_stack_json(errors.head()));
            if (!json_alloc_failure::fired())
                break;
        }
        logged = log_.raw().find("to the sstack") != std::string::npos;
    }
    // Newest first: the ninth entry to join is the oldest.
    EXPECT_TRUE(logged);
    EXPECT_NE(log_.raw().find("Unable to add error entry 0 to the sstack\n"), std::string::npos) << log_.raw();
}

TEST_F(Messages, ListThatTheDatabaseCannotAnswerSaysCommandsWithAnApostrophe) {
    sqlite3 *other = nullptr;
    ASSERT_EQ(sqlite3_open(db_path_.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "DROP TABLE CMDS;", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    json_ptr reply = handle("{\"requestUUID\":\"l-1\",\"authority\":\"test\",\"op\":\"list\",\"args\":{}}");
    ASSERT_TRUE(reply);
    EXPECT_EQ(first_error_text(reply.get()), "Failed to list commands'");
    EXPECT_EQ(json_integer_value(json_object_get(json_array_get(json_object_get(reply.get(), "errors"), 0),
                                                 "errorCode")),
              2);
}
