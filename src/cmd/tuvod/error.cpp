// Error stacks.
#include "error.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "handles.hpp"
#include "info.hpp"
#include "utils.hpp"
#include "wire.hpp"

namespace {

const char *severity_name(tuvod_error_severity_t severity) {
    switch (severity) {
    case TUVOD_ERROR_SEVERITY_NOTICE:
        return "NOTICE";
    case TUVOD_ERROR_SEVERITY_WARNING:
        return "WARNING";
    case TUVOD_ERROR_SEVERITY_ERROR:
        return "ERROR";
    }
    return "ERROR";
}

// An allocation failure is reported, not thrown: no exception leaves the module.
std::unique_ptr<tuvod_error_t> new_entry() {
    try {
        return std::make_unique<tuvod_error_t>();
    } catch (const std::bad_alloc &) {
        PRINT_INFO(INFO_ERROR, "Failed to allocate error\n");
        return nullptr;
    }
}

// Takes over error_string.
int stack_formatted_error(tuvod_error_t **errors, const struct timeval &error_time,
                          tuvod_error_severity_t severity, int error_code, json_t *error_data_js,
                          char *error_string) {
    cstr_ptr text(error_string);
    auto entry = new_entry();
    if (!entry)
        return -1;
    entry->error_time = error_time;
    entry->error_severity = severity;
    entry->error_code = error_code;
    entry->error_data_js = error_data_js != nullptr ? json_incref(error_data_js) : nullptr;
    entry->error_string = text.release();
    entry->next = *errors;
    *errors = entry.release();
    return 0;
}

void free_entry(tuvod_error_t *e) {
    free(e->error_string);
    json_decref(e->error_data_js);
    std::unique_ptr<tuvod_error_t> owner(e);
}

} // namespace

int stack_error(tuvod_error_t **errors, tuvod_error_severity_t severity, int error_code,
                json_t *error_data_js, const char *format, va_list args) {
    struct timeval now;
    if (gettimeofday(&now, nullptr) != 0) {
        PRINT_INFO(INFO_ERROR, "Failed to obtain error time\n");
        return -1;
    }
    char *text = nullptr;
    if (vasprintf(&text, format, args) < 0) {
        PRINT_INFO(INFO_ERROR, "Failed to create error string\n");
        return -1;
    }
    return stack_formatted_error(errors, now, severity, error_code, error_data_js, text);
}

void clear_error_stack(tuvod_error_t **errors) {
    while (*errors != nullptr) {
        tuvod_error_t *head = *errors;
        *errors = head->next;
        free_entry(head);
    }
}

tuvod_error_t *copy_error_stack(tuvod_error_t *errors) {
    tuvod_error_t *copy = nullptr;
    tuvod_error_t **tail = &copy;
    for (tuvod_error_t *e = errors; e != nullptr; e = e->next) {
        auto entry = new_entry();
        if (!entry) {
            clear_error_stack(&copy);
            return nullptr;
        }
        char *text = strdup(e->error_string);
        if (text == nullptr) {
            PRINT_INFO(INFO_ERROR, "Failed to duplicate error string\n");
            clear_error_stack(&copy);
            return nullptr;
        }
        entry->error_time = e->error_time;
        entry->error_severity = e->error_severity;
        entry->error_code = e->error_code;
        entry->error_data_js = e->error_data_js != nullptr ? json_incref(e->error_data_js) : nullptr;
        entry->error_string = text;
        *tail = entry.release();
        tail = &(*tail)->next;
    }
    return copy;
}

json_t *error_stack_json(tuvod_error_t *errors) {
    json_t *array = json_array();
    if (array == nullptr) {
        PRINT_INFO(INFO_ERROR, "Unable to create error stack\n");
        return nullptr;
    }
    for (tuvod_error_t *e = errors; e != nullptr; e = e->next) {
        json_t *data = e->error_data_js != nullptr ? json_incref(e->error_data_js) : json_null();
        json_t *entry = json_pack("{s:o, s:s, s:i, s:o, s:s}", "errorTime", json_time(&e->error_time),
                                  "errorSeverity", severity_name(e->error_severity), "errorCode",
                                  e->error_code, "errorData", data, "errorString", e->error_string);
        if (entry == nullptr) {
            PRINT_INFO(INFO_WARN, "Unable to create error stack for %s\n", e->error_string);
            continue;
        }
        if (json_array_append_new(array, entry) != 0)
            PRINT_INFO(INFO_WARN, "Unable to add error %s to the sstack\n", e->error_string);
    }
    return array;
}

int set_err(info_level_t lvl, tuvod_error_t **errors, int error_code, json_t *error_data_js,
            const char *format, ...) {
    if (errors == nullptr)
        return -1;
    tuvod_error_severity_t severity = TUVOD_ERROR_SEVERITY_NOTICE;
    if (lvl <= INFO_ERROR)
        severity = TUVOD_ERROR_SEVERITY_ERROR;
    else if (lvl == INFO_WARN)
        severity = TUVOD_ERROR_SEVERITY_WARNING;
    va_list args;
    va_start(args, format);
    int rc = stack_error(errors, severity, error_code, error_data_js, format, args);
    va_end(args);
    if (rc != 0)
        return -1;
    PRINT_INFO(lvl, "%s%s%s\n", wire_strerror(error_code), " : ", (*errors)->error_string);
    return 0;
}
