// Log output, info levels and debug masks.
//
// vlog formats into a stack buffer, then compares with the last message
// written: identical messages are counted instead of written, and the count
// line is written before the next different message, carrying the time of
// the latest suppressed repetition.
#include "info.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "escape.hpp"
#include "files.hpp"
#include "groupwrite.hpp"
#include "handles.hpp"
#include "jsondump.hpp"

bool abort_on_error = false;
uint32_t global_debug_mask = 0;
debug_mask_desc_t *debug_mask_descs = nullptr;

namespace {

struct info_level_desc_t {
    const char *item;
    info_level_t level;
};

constexpr info_level_desc_t info_level_descs[] = {
    {"Critical", INFO_CRITICAL}, {"Error", INFO_ERROR}, {"Warning", INFO_WARN},
    {"Info", INFO_INFO},         {"Debug", INFO_DEBUG}, {nullptr, INFO_CRITICAL},
};

constexpr size_t MSGBUF_SZ = 4096;
constexpr size_t TIMEBUF_SZ = 24;

// Read without a lock by the call-site macros; changed only during start-up.
std::atomic<unsigned> info_level{INFO_WARN};

pthread_mutex_t log_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t exec_log_mutex = PTHREAD_MUTEX_INITIALIZER;
FILE *info_file = nullptr;     // guarded by log_mutex; none: standard error
FILE *exec_log_file = nullptr; // guarded by exec_log_mutex
char last_msgbuf[MSGBUF_SZ];
char last_msgtime[TIMEBUF_SZ];
int msgbuf_rep = 0;

class lock_guard {
  public:
    explicit lock_guard(pthread_mutex_t *m) : m_(m) { pthread_mutex_lock(m_); }
    ~lock_guard() { pthread_mutex_unlock(m_); }
    lock_guard(const lock_guard &) = delete;
    lock_guard &operator=(const lock_guard &) = delete;

  private:
    pthread_mutex_t *m_;
};

FILE *destination() { return info_file != nullptr ? info_file : stderr; }

// The 23-character UTC prefix; empty on standard error.
void time_prefix(char (&buf)[TIMEBUF_SZ]) {
    std::memset(buf, 0, sizeof buf);
    if (info_file == nullptr)
        return;
    time_t now = time(nullptr);
    struct tm tm_utc;
    if (gmtime_r(&now, &tm_utc) == nullptr || strftime(buf, 21, "%FT%TZ", &tm_utc) == 0)
        buf[0] = '\0';
    strcat(buf, " : ");
}

// The journal's priority for a level, or -1 for levels it does not get.
int journal_priority(info_level_t level) {
    switch (level) {
    case INFO_CRITICAL:
        return LOG_CRIT;
    case INFO_ERROR:
        return LOG_ERR;
    case INFO_WARN:
        return LOG_WARNING;
    default:
        return -1;
    }
}

void journal_send(int priority, const char *message) {
    sd_journal_send("MESSAGE=%s", message, "PRIORITY=%i", priority, "SYSLOG_IDENTIFIER=tuvod", nullptr);
}

// Under a service manager that keeps a journal (JOURNAL_STREAM is its mark)
// and with the log in a file, warnings and worse also go to the journal with
// their priority; on standard error the journal has every line already.
void to_journal(int priority, const char *msg) {
    if (priority < 0 || tuvod_journal_sink == nullptr || getenv("JOURNAL_STREAM") == nullptr)
        return;
    {
        lock_guard lock(&log_mutex);
        if (info_file == nullptr)
            return;
    }
    size_t len = strlen(msg);
    std::string line(msg, len > 0 && msg[len - 1] == '\n' ? len - 1 : len);
    tuvod_journal_sink(priority, line.c_str());
}

void vlog(int priority, const char *format, va_list args) __attribute__((format(printf, 2, 0)));
void vlog(int priority, const char *format, va_list args) {
    char raw[MSGBUF_SZ];
    vsnprintf(raw, sizeof raw, format, args);
    char msg[MSGBUF_SZ];
    escape_log_message(raw, msg, sizeof msg);
    to_journal(priority, msg);

    lock_guard lock(&log_mutex);
    FILE *out = destination();
    char prefix[TIMEBUF_SZ];
    time_prefix(prefix);
    if (std::strcmp(msg, last_msgbuf) == 0) {
        std::memcpy(last_msgtime, prefix, sizeof last_msgtime);
        msgbuf_rep++;
        return;
    }
    if (msgbuf_rep > 0)
        fprintf(out, "%sLast message repeated %d times\n", last_msgtime, msgbuf_rep);
    fprintf(out, "%s%s", prefix, msg);
    fflush(out);
    msgbuf_rep = 0;
    std::memcpy(last_msgbuf, msg, sizeof last_msgbuf);
}

FILE *open_log_file(const char *filename) {
    unique_fd fd(open(filename, O_WRONLY | O_APPEND | O_CREAT | O_DSYNC | O_CLOEXEC, 0640));
    if (!fd) {
        PRINT_INFO(INFO_ERROR, "Unable to open log file %s: %s\n", filename, strerror(errno));
        return nullptr;
    }
    // Logs may hold outputs and names no other user should read.
    mode_t before = 0;
    int rc = narrow_fd_mode(fd.get(), 0640, &before);
    log_mode_narrowing(filename, rc, before, 0640, true);
    FILE *f = fdopen(fd.get(), "a");
    if (f == nullptr) {
        PRINT_INFO(INFO_ERROR, "Unable to open log file %s: %s\n", filename, strerror(errno));
        return nullptr;
    }
    fd.release();
    return f;
}

void replace_stream(pthread_mutex_t *mutex, FILE **slot, FILE *stream) {
    lock_guard lock(mutex);
    if (*slot != nullptr)
        fclose(*slot);
    *slot = stream;
}

} // namespace

void (*tuvod_journal_sink)(int priority, const char *message) = journal_send;

void set_info_level(info_level_t level) { info_level = level; }

info_level_t get_info_level() { return static_cast<info_level_t>(info_level.load()); }

void set_abort_on_error(bool value) { abort_on_error = value; }

const char *info_level2str(info_level_t level) {
    for (const auto *d = info_level_descs; d->item != nullptr; d++)
        if (d->level == level)
            return d->item;
    return "Unknown";
}

int str2info_level(const char *desc, info_level_t *level) {
    if (desc == nullptr) {
        PRINT_INFO(INFO_ERROR, "No info level supplied\n");
        return -1;
    }
    char *end = nullptr;
    errno = 0;
    long n = strtol(desc, &end, 0);
    if (end != desc && *end == '\0' && errno == 0) {
        if (n >= 1 && n <= 4) {
            *level = static_cast<info_level_t>(n);
            return 0;
        }
        PRINT_INFO(INFO_ERROR, "Invalid info level %ld supplied\n", n);
        return -1;
    }
    for (const auto *d = info_level_descs; d->item != nullptr; d++) {
        if (std::strcmp(desc, d->item) == 0) {
            *level = d->level;
            return 0;
        }
    }
    PRINT_INFO(INFO_ERROR, "Invalid info level '%s' supplied\n", desc);
    return -1;
}

void print_info(info_level_t level, const char *format, ...) {
    if (static_cast<unsigned>(level) > info_level.load())
        return;
    va_list args;
    va_start(args, format);
    vlog(journal_priority(level), format, args);
    va_end(args);
    if (level == INFO_CRITICAL) {
        if (abort_on_error)
            abort();
        exit(1);
    }
}

void print_debug(uint32_t debug_mask, uint32_t debug_type, const char *format, ...) {
    if (info_level.load() <= INFO_INFO || (debug_mask & debug_type) == 0)
        return;
    va_list args;
    va_start(args, format);
    vlog(-1, format, args);
    va_end(args);
}

void json_trace(uint32_t debug_mask, uint32_t debug_type, const json_t *obj_js, int json_flags,
                const char *format, ...) {
    if (info_level.load() < INFO_DEBUG || (debug_mask & debug_type) == 0)
        return;
    char raw[MSGBUF_SZ];
    va_list args;
    va_start(args, format);
    vsnprintf(raw, sizeof raw, format, args);
    va_end(args);
    char msg[MSGBUF_SZ];
    escape_log_message(raw, msg, sizeof msg);

    lock_guard lock(&log_mutex);
    FILE *out = destination();
    char prefix[TIMEBUF_SZ];
    time_prefix(prefix);
    fprintf(out, "%s%s", prefix, msg);
    if (obj_js == nullptr || json_dumpf(obj_js, out, static_cast<size_t>(json_flags)) < 0)
        fputs("<--- DUMP INCOMPLETE", out);
    fputc('\n', out);
    fflush(out);
}

namespace {
void heal_exec_log(const char *filename, FILE *f);
} // namespace

void set_log_file(const char *filename) {
    FILE *f = open_log_file(filename);
    replace_stream(&log_mutex, &info_file, f);
}

void set_exec_log_file(const char *filename) {
    FILE *f = open_log_file(filename);
    if (f != nullptr)
        heal_exec_log(filename, f);
    replace_stream(&exec_log_mutex, &exec_log_file, f);
}

namespace {

// How far back the start-up looks for the end of the last whole record.
constexpr off_t HEAL_SCAN_MAX = off_t{1} << 30;

// Writes all of len bytes at the end of the file; false when a write fails.
bool write_fully(int fd, const char *data, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Offset just past the last whole record before end (a record ends with a
// "}" alone on its line), 0 when there is none within the scan limit.
off_t last_record_end(int fd, off_t end) {
    static constexpr char mark[] = "\n}\n";
    constexpr size_t mark_len = sizeof mark - 1;
    constexpr off_t step = 65536;
    // Room for a step and the overlap below.
    std::string block(static_cast<size_t>(step) + mark_len - 1, '\0');
    off_t lowest = end > HEAL_SCAN_MAX ? end - HEAL_SCAN_MAX : 0;
    for (off_t hi = end; hi > lowest;) {
        off_t lo = std::max(lowest, hi - step);
        // Overlap the next block by the mark's length so no mark is split.
        off_t to = std::min(end, hi + static_cast<off_t>(mark_len - 1));
        ssize_t n = pread(fd, block.data(), static_cast<size_t>(to - lo), lo);
        if (n <= 0)
            return 0;
        std::string_view view(block.data(), static_cast<size_t>(n));
        size_t at = view.rfind(std::string_view(mark, mark_len));
        if (at != std::string_view::npos)
            return lo + static_cast<off_t>(at + mark_len);
        hi = lo;
    }
    return 0;
}

// A record cut short by a crash leaves the file without its final newline;
// the next record must not run on from it, or a reader that finds records
// by their lines loses it too.
void heal_exec_log(const char *filename, FILE *f) {
    // The log is open for appending only; its text is read through a
    // descriptor of its own, on the same file.
    struct stat st, reading;
    unique_fd in(open(filename, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    char last = '\n';
    if (!in || fstat(fileno(f), &st) != 0 || fstat(in.get(), &reading) != 0 || st.st_ino != reading.st_ino ||
        st.st_dev != reading.st_dev || st.st_size == 0 || pread(in.get(), &last, 1, st.st_size - 1) != 1 ||
        last == '\n')
        return;
    off_t fragment = last_record_end(in.get(), st.st_size);
    if (!write_fully(fileno(f), "\n", 1)) {
        PRINT_INFO(INFO_ERROR, "Unable to end the cut-off record in execution log %s: %s\n", filename,
                   strerror(errno));
        return;
    }
    PRINT_INFO(INFO_WARN, "Execution log %s ended in a cut-off record at offset %lld (%lld bytes); its line is ended\n",
               filename, static_cast<long long>(fragment), static_cast<long long>(st.st_size - fragment));
}

} // namespace

// The whole record goes out in one write: the file is opened for
// synchronous writes, so each write is a disk sync, and a record written
// in pieces is more likely to be cut by a crash. Records of runs that end
// together share that write (see groupwrite.hpp).
bool exec_log_write(const json_t *record) {
    size_t n = json_dumpb_fast(record, nullptr, 0, JSON_INDENT(4));
    if (n == 0)
        return false;
    std::string text(n + 1, '\n');
    if (json_dumpb_fast(record, text.data(), n, JSON_INDENT(4)) != n)
        return false;
    return group_append(&exec_log_mutex, &exec_log_file, text);
}

// ---- Debug masks -------------------------------------------------------

namespace {

char debug_masks_buf[256];

int process_mask_for_item(const char *debug_ident, debug_mask_action_t action) {
    int result = -1;
    for (debug_mask_desc_t *d = debug_mask_descs; d != nullptr; d = d->next) {
        if (debug_ident != nullptr && std::strcmp(debug_ident, d->debug_ident) != 0)
            continue;
        if (action == DEBUG_MASK_ACTION_SET)
            *d->debug_mask_ptr |= d->debug_bit;
        else
            *d->debug_mask_ptr &= ~d->debug_bit;
        result = 0;
        if (debug_ident != nullptr)
            break;
    }
    return result;
}

int process_debug_masks_from_string(debug_mask_action_t action, const char *debug_mask_str,
                                    bool show_errors) {
    if (debug_mask_str == nullptr || *debug_mask_str == '\0') {
        PRINT_INFO(INFO_ERROR, "No debug mask supplied\n");
        return -1;
    }
    char *end = nullptr;
    errno = 0;
    unsigned long n = strtoul(debug_mask_str, &end, 0);
    if (end != debug_mask_str && *end == '\0' && errno == 0) {
        auto bits = static_cast<uint32_t>(n);
        if (action == DEBUG_MASK_ACTION_SET)
            global_debug_mask |= bits;
        else
            global_debug_mask &= ~bits;
        return 0;
    }
    if (std::strcmp(debug_mask_str, "All") == 0)
        return process_mask_for_item(nullptr, action);

    cstr_ptr copy(strdup(debug_mask_str));
    if (!copy) {
        PRINT_INFO(INFO_ERROR, "Failed to duplicate debug mask string\n");
        return -1;
    }
    int result = 0;
    char *save = nullptr;
    for (char *item = strtok_r(copy.get(), "|", &save); item != nullptr;
         item = strtok_r(nullptr, "|", &save)) {
        result = process_mask_for_item(item, action);
        if (result != 0 && show_errors)
            PRINT_INFO(INFO_ERROR, "Invalid debug type '%s' specified\n", item);
    }
    return result;
}

} // namespace

void set_global_debug_mask(uint32_t value) { global_debug_mask = value; }

int debug_register_mask_desc(uint32_t debug_bit, uint32_t *debug_mask_ptr, const char *debug_ident) {
    for (debug_mask_desc_t *d = debug_mask_descs; d != nullptr; d = d->next) {
        bool same_bit = d->debug_bit == debug_bit && d->debug_mask_ptr == debug_mask_ptr;
        if (same_bit || std::strcmp(d->debug_ident, debug_ident) == 0) {
            PRINT_INFO(INFO_ERROR,
                       "Unable to register debreug desc %s (0x%x) as it duplicates %s (0x%x)\n",
                       debug_ident, debug_bit, d->debug_ident, d->debug_bit);
            return -1;
        }
    }
    // Registrations live for the whole process and are never freed.
    auto *desc = static_cast<debug_mask_desc_t *>(calloc(1, sizeof(debug_mask_desc_t)));
    char *ident = strdup(debug_ident);
    if (desc == nullptr || ident == nullptr) {
        PRINT_INFO(INFO_ERROR, "Unable to register mask for %s (0x%x)\n", debug_ident, debug_bit);
        free(desc);
        free(ident);
        return -1;
    }
    desc->debug_ident = ident;
    desc->debug_bit = debug_bit;
    desc->debug_mask_ptr = debug_mask_ptr;
    desc->next = debug_mask_descs;
    debug_mask_descs = desc;
    return 0;
}

void debug_register_default_masks() {
    static constexpr struct {
        uint32_t bit;
        const char *name;
    } areas[] = {
        {DEBUG_GENERAL, "General"}, {DEBUG_PROTOCOL, "Protocol"}, {DEBUG_ROUTER, "Router"},
        {DEBUG_WORKER, "Worker"},   {DEBUG_CONTRACT, "Contract"}, {DEBUG_DB, "DB"},
        {DEBUG_COMMAND, "Command"}, {DEBUG_LEGACY, "Legacy"},
    };
    for (const auto &a : areas)
        debug_register_mask_desc(a.bit, &global_debug_mask, a.name);
}

const char *debug_masks2str() {
    debug_masks_buf[0] = '\0';
    size_t pos = 0;
    for (debug_mask_desc_t *d = debug_mask_descs; d != nullptr && pos < sizeof debug_masks_buf;
         d = d->next) {
        if ((*d->debug_mask_ptr & d->debug_bit) == 0)
            continue;
        int n = snprintf(debug_masks_buf + pos, sizeof debug_masks_buf - pos, "|%s", d->debug_ident);
        if (n > 0)
            pos += static_cast<size_t>(n);
    }
    return debug_masks_buf[0] == '|' ? debug_masks_buf + 1 : debug_masks_buf;
}

int set_debug_masks_from_string(const char *debug_mask_str, bool show_errors) {
    return process_debug_masks_from_string(DEBUG_MASK_ACTION_SET, debug_mask_str, show_errors);
}

int clear_debug_masks_from_string(const char *debug_mask_str, bool show_errors) {
    return process_debug_masks_from_string(DEBUG_MASK_ACTION_CLEAR, debug_mask_str, show_errors);
}

// ---- Command execution log record ----
//
// The record is built from the values the command's completion recorded,
// held by the caller, not read back from the database.

void log_cmd(tuvod_state_t *tuvod, const tuvod_cmd_log_t *rec) {
    (void)tuvod;
    const char *uuid = rec->uuid != nullptr ? rec->uuid : "(none)";
    if (rec->uuid == nullptr || rec->name == nullptr || rec->state == nullptr ||
        rec->start == nullptr || rec->finish == nullptr || rec->args == nullptr ||
        rec->output == nullptr || rec->errors == nullptr) {
        PRINT_INFO(INFO_ERROR, "Unable to construct log for %s\n", uuid);
        return;
    }
    json_ptr record(json_pack("{s:s, s:s, s:O, s:s, s:s, s:O, s:O, s:s}", "UUID", rec->uuid,
                              "name", rec->name, "argv", rec->args, "state", rec->state,
                              "startTime", rec->start, "output", rec->output, "errors",
                              rec->errors, "finishTime", rec->finish));
    if (!record || (rec->caller != nullptr &&
                    json_object_set_new(record.get(), "caller", json_string(rec->caller)) != 0)) {
        PRINT_INFO(INFO_ERROR, "Unable to construct log for %s\n", uuid);
        return;
    }
    exec_log_write(record.get());
}

void log_mode_narrowing(const char *path, int rc, mode_t before, mode_t max, bool warn) {
    if (rc < 0)
        PRINT_INFO(INFO_ERROR, "Unable to narrow the mode of %s: %s\n", path, strerror(errno));
    else if (rc > 0 && warn)
        PRINT_INFO(INFO_WARN, "Narrowed the mode of %s from %04o to %04o\n", path,
                   static_cast<unsigned>(before), static_cast<unsigned>(before & max));
}
