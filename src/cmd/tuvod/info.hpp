// Diagnostics: the log file and its levels, debug masks, JSON dumps, and the
// command execution log.
//
// Every write to the log destination happens under one mutex (log_mutex),
// which also guards the repeat suppression state; the execution log has its
// own mutex. The level, the abort flag and the debug mask are changed only
// during start-up, before other threads exist, and read without a lock.
#pragma once

#include <string>

#include <pthread.h>

#include <cstdarg>
#include <cstdio>
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

// Opens filename for appending with synchronous writes (mode 0640 at most,
// narrowed with a warning when wider), or none after logging why.
FILE *open_log_file(const char *filename);
// Puts stream in *slot under mutex, closing what was there.
void replace_stream(pthread_mutex_t *mutex, FILE **slot, FILE *stream);

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
