// Diagnostics: the log file and its levels, debug masks, JSON dumps, and the
// command execution log.
//
// Every write to the log destination happens under one mutex (log_mutex),
// which also guards the repeat suppression state; the execution log has its
// own mutex. The level, the abort flag and the debug mask are changed only
// during start-up, before other threads exist, and read without a lock.
#pragma once

#include <string>

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include <sys/types.h>

#include "state.hpp"

enum info_level_t : unsigned {
    INFO_CRITICAL = 0,
    INFO_ERROR = 1,
    INFO_WARN = 2,
    INFO_INFO = 3,
    INFO_DEBUG = 4,
};

// Debug areas, one bit each of the global mask.
enum tuvod_debug_bit : uint32_t {
    DEBUG_GENERAL = 0x01,
    DEBUG_PROTOCOL = 0x02,
    DEBUG_ROUTER = 0x04,
    DEBUG_WORKER = 0x08,
    DEBUG_CONTRACT = 0x10,
    DEBUG_COMMAND = 0x20,
    DEBUG_DB = 0x40,
    DEBUG_LEGACY = 0x80,
};

extern bool abort_on_error;
extern uint32_t global_debug_mask;

// Writes msg to out with every control character escaped (\n, \r, \t,
// \xHH), except a final newline, which stays: text from outside (a client,
// a script, a file name) cannot start a log line of its own. So are the
// C1 controls and the line, paragraph and direction controls of Unicode
// (\uHHHH) and bytes that are no UTF-8 (\xHH): a terminal showing the log
// acts on none of them. Cut with "..." to fit outsz; returns the length
// written.
size_t escape_log_message(const char *msg, char *out, size_t outsz);
// The same escaping for the whole of len bytes, newlines included, without
// a length cap: for clients printing text that others chose.
std::string escape_outside_text(const char *text, size_t len);

void set_info_level(info_level_t level);
info_level_t get_info_level();
const char *info_level2str(info_level_t info_level);
int str2info_level(const char *desc, info_level_t *info_level);
void set_abort_on_error(bool value);

// Where warnings and worse also go under a journal (see info.cpp): the
// journal itself; replaceable so that tests can see what is sent.
extern void (*tuvod_journal_sink)(int priority, const char *message);

void print_info(info_level_t level, const char *format, ...) __attribute__((format(printf, 2, 3)));
void print_debug(uint32_t debug_mask, uint32_t debug_type, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
void json_trace(uint32_t debug_mask, uint32_t debug_type, const json_t *obj_js, int json_flags,
                const char *format, ...) __attribute__((format(printf, 5, 6)));

// Opens filename as the new log (execution log); the previous one is closed
// even when the open fails, and output then falls back to standard error
// (stops, for the execution log).
// Says what a narrowing of path's mode to max did (rc and before as
// files.hpp returns them): a failure as an error, a narrowing as a warning
// when warn is set.
void log_mode_narrowing(const char *path, int rc, mode_t before, mode_t max, bool warn);

void set_log_file(const char *filename);
void set_exec_log_file(const char *filename);

// Debug masks.
enum debug_mask_action_t { DEBUG_MASK_ACTION_SET = 0, DEBUG_MASK_ACTION_CLEAR = 1 };

struct debug_mask_desc_t {
    char *debug_ident;          // owned
    uint32_t debug_bit;
    uint32_t *debug_mask_ptr;
    debug_mask_desc_t *next;
};
extern debug_mask_desc_t *debug_mask_descs;

void set_global_debug_mask(uint32_t value);
int debug_register_mask_desc(uint32_t debug_bit, uint32_t *debug_mask_ptr, const char *debug_ident);
// Registers the daemon's eight areas in their start-up order.
void debug_register_default_masks();
const char *debug_masks2str();
int set_debug_masks_from_string(const char *debug_mask_str, bool show_errors);
int clear_debug_masks_from_string(const char *debug_mask_str, bool show_errors);

// The values of one command's execution-log record, as the command's
// completion recorded them (all borrowed).
struct tuvod_cmd_log_t {
    const char *uuid = nullptr;
    const char *name = nullptr;
    json_t *args = nullptr;   // the redacted argument vector
    const char *state = nullptr;
    const char *start = nullptr;
    json_t *output = nullptr; // exit status, standard output and error
    json_t *errors = nullptr; // the command's error stack as JSON
    const char *finish = nullptr;
    const char *caller = nullptr; // who asked for the run; none: no "caller" member
};

// Writes the execution log record of one command from the values in hand,
// so no later change to its database row (a client retiring it) can cost
// the record.
void log_cmd(tuvod_state_t *tuvod, const tuvod_cmd_log_t *rec);

// Writes a JSON record to the execution log under its mutex (used by log_cmd).
// Returns false when no execution log is open.
bool exec_log_write(const json_t *record);

// Call-site forms: test the level or mask before formatting anything, and
// carry the source position where the convention asks for it.
#define TUVOD_POS_ARGS __FILE_NAME__, __LINE__, __func__

#define PRINT_INFO(level, fmt, ...)                                                              \
    do {                                                                                         \
        info_level_t lvl_ = (level);                                                             \
        if (static_cast<unsigned>(lvl_) > static_cast<unsigned>(get_info_level()))               \
            break;                                                                               \
        if (get_info_level() < INFO_DEBUG)                                                       \
            print_info(lvl_, fmt __VA_OPT__(, ) __VA_ARGS__);                                    \
        else                                                                                     \
            print_info(lvl_, "[INFO: %s at line %d in %s()] " fmt,                               \
                       TUVOD_POS_ARGS __VA_OPT__(, ) __VA_ARGS__);                               \
    } while (0)

#define PRINT_DEBUG(bit, fmt, ...)                                                               \
    do {                                                                                         \
        if (get_info_level() > INFO_INFO && (global_debug_mask & (bit)) != 0)                    \
            print_debug(global_debug_mask, (bit), "[DEBUG: %s at line %d in %s()] " fmt,        \
                        TUVOD_POS_ARGS __VA_OPT__(, ) __VA_ARGS__);                              \
    } while (0)

#define JSON_TRACE(bit, obj, fmt, ...)                                                           \
    do {                                                                                         \
        if (get_info_level() > INFO_INFO && (global_debug_mask & (bit)) != 0)                    \
            json_trace(global_debug_mask, (bit), (obj), JSON_INDENT(4),                          \
                       "[DEBUG: %s at line %d in %s()] " fmt, TUVOD_POS_ARGS __VA_OPT__(, )      \
                           __VA_ARGS__);                                                         \
    } while (0)
