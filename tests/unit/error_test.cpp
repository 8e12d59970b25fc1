// Error stacks: order, the JSON form of an entry, data references, copies,
// and set_err's severities and log line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "error.hpp"
#include "handles.hpp"
#include "info.hpp"
#include "log_sandbox.hpp"
#include "utils.hpp"

using lines_t = std::vector<std::string>;

namespace {

int push(tuvod_error_t **errors, int code, json_t *data, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
int push(tuvod_error_t **errors, int code, json_t *data, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int rc = stack_error(errors, TUVOD_ERROR_SEVERITY_ERROR, code, data, format, args);
    va_end(args);
    return rc;
}

std::vector<std::string> keys_in_order(json_t *obj) {
    std::vector<std::string> keys;
    for (void *it = json_object_iter(obj); it != nullptr; it = json_object_iter_next(obj, it))
        keys.push_back(json_object_iter_key(it));
    return keys;
}

std::string str_member(json_t *obj, const char *key) {
    json_t *v = json_object_get(obj, key);
    return json_is_string(v) ? json_string_value(v) : "<none>";
}

} // namespace

TEST(ErrorStack, NewestFirstWithExactLayout) {
    error_stack errors;
    json_ptr detail(json_pack("{s:s}", "path", "/bin/x"));
    ASSERT_EQ(push(errors.ptr(), TUVOD_ENOENT, nullptr, "A %d", 1), 0);
    ASSERT_EQ(push(errors.ptr(), TUVOD_EINVAL, detail.get(), "B"), 0);
    ASSERT_EQ(set_err(INFO_WARN, errors.ptr(), TUVOD_ETIMEDOUT, nullptr, "C"), 0);
    // The entry holds its own reference: the caller may drop its one.
    detail.reset();

    json_ptr array(error_stack_json(errors.head()));
    ASSERT_TRUE(json_is_array(array.get()));
    ASSERT_EQ(json_array_size(array.get()), 3u);
    const lines_t layout = {"errorTime", "errorSeverity", "errorCode", "errorData", "errorString"};
    for (size_t i = 0; i < 3; i++) {
        json_t *e = json_array_get(array.get(), i);
        EXPECT_EQ(keys_in_order(e), layout);
        EXPECT_TRUE(has_shape(str_member(e, "errorTime"), "9999-99-99T99:99:99.999999~9999"))
            << str_member(e, "errorTime");
    }
    json_t *c = json_array_get(array.get(), 0);
    json_t *b = json_array_get(array.get(), 1);
    json_t *a = json_array_get(array.get(), 2);
    EXPECT_EQ(str_member(c, "errorString"), "C");
    EXPECT_EQ(str_member(c, "errorSeverity"), "WARNING");
    EXPECT_EQ(json_integer_value(json_object_get(c, "errorCode")), 145);
    EXPECT_TRUE(json_is_null(json_object_get(c, "errorData")));
    EXPECT_EQ(str_member(b, "errorString"), "B");
    EXPECT_EQ(str_member(b, "errorSeverity"), "ERROR");
    EXPECT_EQ(str_member(json_object_get(b, "errorData"), "path"), "/bin/x");
    EXPECT_EQ(str_member(a, "errorString"), "A 1");
    EXPECT_EQ(json_integer_value(json_object_get(a, "errorCode")), 2);

    error_stack none;
    json_ptr empty(error_stack_json(none.head()));
    ASSERT_TRUE(json_is_array(empty.get()));
    EXPECT_EQ(json_array_size(empty.get()), 0u);
}

TEST(ErrorStack, SetErrSeveritiesAndLogLine) {
    log_sandbox log;
    EXPECT_EQ(set_err(INFO_ERROR, nullptr, TUVOD_EINVAL, nullptr, "never %s", "seen"), -1);

    error_stack errors;
    set_info_level(INFO_INFO);
    ASSERT_EQ(set_err(INFO_INFO, errors.ptr(), TUVOD_EIO, nullptr, "notice"), 0);
    EXPECT_EQ(errors.head()->error_severity, TUVOD_ERROR_SEVERITY_NOTICE);
    ASSERT_EQ(set_err(INFO_WARN, errors.ptr(), TUVOD_EPERM, nullptr, "warning"), 0);
    EXPECT_EQ(errors.head()->error_severity, TUVOD_ERROR_SEVERITY_WARNING);
    ASSERT_EQ(set_err(INFO_ERROR, errors.ptr(), TUVOD_EINVAL, nullptr, "Invalid op '%s' in request",
                      "nop"),
              0);
    EXPECT_EQ(errors.head()->error_severity, TUVOD_ERROR_SEVERITY_ERROR);
    EXPECT_EQ(errors.head()->error_code, TUVOD_EINVAL);
    // The wire code 145 is logged with the local text for a time-out.
    ASSERT_EQ(set_err(INFO_ERROR, errors.ptr(), TUVOD_ETIMEDOUT, nullptr, "too slow"), 0);
    EXPECT_EQ(errors.head()->error_code, 145);

    EXPECT_EQ(log.lines(), (lines_t{
                               std::string(strerror(EIO)) + " : notice",
                               std::string(strerror(EPERM)) + " : warning",
                               std::string(strerror(EINVAL)) + " : Invalid op 'nop' in request",
                               std::string(strerror(ETIMEDOUT)) + " : too slow",
                           }));
}

TEST(ErrorStack, CopyKeepsOrderAndSharesData) {
    error_stack errors;
    json_ptr detail(json_pack("{s:i}", "n", 1));
    push(errors.ptr(), TUVOD_EIO, nullptr, "old");
    push(errors.ptr(), TUVOD_ENOMEM, detail.get(), "new");

    tuvod_error_t *copy = copy_error_stack(errors.head());
    ASSERT_NE(copy, nullptr);
    ASSERT_NE(copy->next, nullptr);
    EXPECT_EQ(copy->next->next, nullptr);
    EXPECT_STREQ(copy->error_string, "new");
    EXPECT_NE(copy->error_string, errors.head()->error_string);
    EXPECT_EQ(copy->error_data_js, detail.get());
    EXPECT_EQ(copy->error_code, TUVOD_ENOMEM);
    EXPECT_EQ(copy->error_time.tv_sec, errors.head()->error_time.tv_sec);
    EXPECT_EQ(copy->error_time.tv_usec, errors.head()->error_time.tv_usec);
    EXPECT_STREQ(copy->next->error_string, "old");
    EXPECT_EQ(detail->refcount, 3u); // ours, the entry's and the copy's

    clear_error_stack(&copy);
    EXPECT_EQ(copy, nullptr);
    clear_error_stack(&copy); // twice is harmless
    EXPECT_EQ(detail->refcount, 2u);
    EXPECT_EQ(copy_error_stack(nullptr), nullptr);
}
