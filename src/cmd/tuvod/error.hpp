// Error stacks: the failures a requester must be told about, newest first.
// A stack is used by one thread at a time and cleared once by its owner.
#pragma once

#include <cstdarg>

#include "info.hpp"
#include "state.hpp"

// Pushes an entry without logging it; takes a new reference to error_data_js.
int stack_error(tuvod_error_t **errors, tuvod_error_severity_t severity, int error_code,
                json_t *error_data_js, const char *format, va_list args)
    __attribute__((format(printf, 5, 0)));
void clear_error_stack(tuvod_error_t **errors);
// Deep copy in the same order, or none (also for an empty stack).
tuvod_error_t *copy_error_stack(tuvod_error_t *errors);
// New JSON array of the entries, newest first; none only if the array cannot be made.
json_t *error_stack_json(tuvod_error_t *errors);

// Clears a stack at the end of a scope.
class error_stack {
  public:
    error_stack() = default;
    ~error_stack() { clear_error_stack(&head_); }
    error_stack(const error_stack &) = delete;
    error_stack &operator=(const error_stack &) = delete;
    tuvod_error_t **ptr() { return &head_; }
    tuvod_error_t *head() const { return head_; }

  private:
    tuvod_error_t *head_ = nullptr;
};

// Pushes an entry and logs "<strerror> : <message>" at lvl.
int set_err(info_level_t lvl, tuvod_error_t **errors, int error_code, json_t *error_data_js,
            const char *format, ...) __attribute__((format(printf, 5, 6)));
