// Common utilities.
#include "utils.hpp"

#include <uuid/uuid.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "error.hpp"
#include "info.hpp"

char *time_str(const struct timeval *time_tv) {
    struct tm tm_local;
    time_t secs = time_tv->tv_sec;
    if (localtime_r(&secs, &tm_local) == nullptr)
        return nullptr;
    char fmt[64];
    if (strftime(fmt, sizeof fmt, "%Y-%m-%dT%H:%M:%S.%%06u%z", &tm_local) == 0)
        return nullptr;
    char text[64];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    snprintf(text, sizeof text, fmt, static_cast<unsigned>(time_tv->tv_usec));
#pragma GCC diagnostic pop
    return strdup(text);
}

json_t *json_time(const struct timeval *time_tv) {
    cstr_ptr text(time_str(time_tv));
    return text ? json_string(text.get()) : nullptr;
}

json_t *json_now() {
    struct timeval now;
    if (gettimeofday(&now, nullptr) != 0)
        return nullptr;
    return json_time(&now);
}

unsigned tuvod_incr_counter(tuvod_state_t *tuvod, unsigned *counter) {
    mutex_guard lock(&tuvod->daemon_mutex);
    unsigned old = (*counter)++;
    pthread_cond_broadcast(&tuvod->daemon_cv);
    return old;
}

unsigned tuvod_decr_counter(tuvod_state_t *tuvod, unsigned *counter) {
    mutex_guard lock(&tuvod->daemon_mutex);
    unsigned old = (*counter)--;
    pthread_cond_broadcast(&tuvod->daemon_cv);
    return old;
}

namespace {
void uuid_text(char (&buf)[37]) {
    uuid_t uu;
    std::memset(buf, 0, sizeof buf);
    uuid_generate(uu);
    uuid_unparse_lower(uu, buf);
}
} // namespace

char *generate_uuid_str() {
    char buf[37];
    uuid_text(buf);
    return strdup(buf);
}

json_t *generate_uuid_js() {
    char buf[37];
    uuid_text(buf);
    return json_string(buf);
}

void stopwatch_start(tuvod_sw_t *sw) {
    if (clock_gettime(CLOCK_MONOTONIC, &sw->start) != 0) {
        PRINT_INFO(INFO_WARN, "Failed to start stopwatch: %s\n", strerror(errno));
        sw->start = {};
    }
}

struct timespec realtime_after_ms(long ms) {
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    t.tv_nsec += ms * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec++;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

const char *stopwatch_str_at(tuvod_sw_t *sw, const struct timespec *now) {
    if (sw->start.tv_sec == 0 && sw->start.tv_nsec == 0)
        return "Stopwatch not running";
    long secs = now->tv_sec - sw->start.tv_sec;
    long nsecs = now->tv_nsec - sw->start.tv_nsec;
    if (now->tv_nsec < sw->start.tv_nsec) {
        secs -= 1;
        nsecs += 1000000000L;
    }
    snprintf(sw->desc, sizeof sw->desc, "%ld.%09lds", secs, nsecs);
    return sw->desc;
}

const char *stopwatch_str(tuvod_sw_t *sw) {
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return "Unavailable";
    return stopwatch_str_at(sw, &now);
}

const char *tuvod_exec_res_str(tuvod_exec_state_t exec_res) {
    static constexpr const char *names[] = {
        "COMPLETE", "RUNNING", "LOST",    "ARCHIVED",       "INVALID_CMD", "INVALID_SCRIPT",
        "FAILED",   "TIMEDOUT", "ABNORMAL_EXOIT", "DIED", "WONTDIE",
    };
    auto index = static_cast<unsigned>(exec_res);
    return index < sizeof names / sizeof names[0] ? names[index] : "UNKNOWN";
}

const char *wire_strerror(int error_code) {
    // Only ETIMEDOUT is numbered differently here; the others coincide.
    return strerror(error_code == TUVOD_ETIMEDOUT ? ETIMEDOUT : error_code);
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

mutex_guard::mutex_guard(pthread_mutex_t *m) : m_(m) {
    int rc = pthread_mutex_lock(m_);
    if (rc != 0)
        PRINT_INFO(INFO_CRITICAL, "Failed to lock mutex: %s\n", strerror(rc));
}

mutex_guard::~mutex_guard() {
    int rc = pthread_mutex_unlock(m_);
    if (rc != 0)
        PRINT_INFO(INFO_CRITICAL, "Failed to unlock mutex: %s\n", strerror(rc));
}

// ---- Request arguments and redaction ----

namespace {

constexpr const char redacted_arg[] = "********";

// The mask has 32 bits. Arguments at index 32 and above lie outside it and are
// never masked (a shift by 32 or more would be undefined, not a mask).
bool arg_is_secret(int redact, size_t index) {
    return index < 32 && ((static_cast<unsigned>(redact) >> index) & 1U) != 0;
}

} // namespace

char **argv_from_json_array(json_t *argv_js) {
    size_t n = json_array_size(argv_js);
    argv_ptr argv(static_cast<char **>(calloc(n + 1, sizeof(char *))));
    if (!argv) {
        PRINT_INFO(INFO_ERROR, "Unable to allocate argument vector\n");
        return nullptr;
    }
    for (size_t i = 0; i < n; i++) {
        json_t *arg_js = json_array_get(argv_js, i);
        if (arg_js == nullptr)
            break;
        const char *arg = json_string_value(arg_js);
        if (arg == nullptr) {
            PRINT_INFO(INFO_ERROR, "Invalid argument type\n");
            return nullptr;
        }
        argv.get()[i] = strdup(arg);
        if (argv.get()[i] == nullptr) {
            PRINT_INFO(INFO_ERROR, "Unable to dup argument\n");
            return nullptr;
        }
    }
    return argv.release();
}

void free_argv(char **argv) {
    if (argv == nullptr)
        return;
    for (char **arg = argv; *arg != nullptr; arg++)
        free(*arg);
    free(argv);
}

json_t *redacted_argv_json(char **argv, int redact) {
    json_ptr arr(json_array());
    if (!arr) {
        PRINT_INFO(INFO_ERROR, "Unable to create redacted argv array\n");
        return nullptr;
    }
    for (size_t i = 0; argv != nullptr && argv[i] != nullptr; i++) {
        const char *shown = arg_is_secret(redact, i) ? redacted_arg : argv[i];
        if (json_array_append_new(arr.get(), json_string(shown)) != 0) {
            PRINT_INFO(INFO_ERROR, "Failed to append redacted arg\n");
            return nullptr;
        }
    }
    return arr.release();
}

std::vector<std::string> secret_args(const char *const *argv, int redact) {
    std::vector<std::string> secrets;
    for (size_t i = 0; argv != nullptr && argv[i] != nullptr; i++)
        if (arg_is_secret(redact, i) && argv[i][0] != '\0')
            secrets.emplace_back(argv[i]);
    return secrets;
}

std::string mask_secrets(const std::string &text, const std::vector<std::string> &secrets) {
    std::string out = text;
    for (const std::string &secret : secrets) {
        if (secret.empty())
            continue;
        for (size_t pos = out.find(secret); pos != std::string::npos;
             pos = out.find(secret, pos + sizeof redacted_arg - 1))
            out.replace(pos, secret.size(), redacted_arg);
    }
    return out;
}

json_t *request_for_trace(const json_t *req_js, int redact) {
    json_ptr copy(json_deep_copy(req_js));
    if (!json_is_object(copy.get()))
        return copy.release();
    if (json_object_get(copy.get(), "authority") != nullptr)
        json_object_set_new(copy.get(), "authority", json_string(redacted_arg));
    // An envelope holds the command line in "args", an "args" object itself.
    json_t *argv_js = json_object_get(json_object_get(copy.get(), "args"), "argv");
    if (argv_js == nullptr)
        argv_js = json_object_get(copy.get(), "argv");
    size_t i;
    json_t *arg;
    json_array_foreach(argv_js, i, arg) {
        bool secret = redact == -1 ? i > 0 : arg_is_secret(redact, i);
        if (secret)
            json_array_set_new(argv_js, i, json_string(redacted_arg));
    }
    return copy.release();
}

const char *cmd_desc_for_exec_req(json_t *props_js, int redact_argv, char *buf, size_t bufsz) {
    if (bufsz <= 3)
        return "...";
    json_t *argv_js = json_object_get(props_js, "argv");
    const char *cmd = json_string_value(json_array_get(argv_js, 0));
    buf[0] = '\0';
    if (cmd == nullptr)
        return buf;
    size_t used = 0;
    size_t left = bufsz;
    size_t n_args = json_array_size(argv_js);
    for (size_t i = 0; i < n_args; i++) {
        json_t *arg_js = json_array_get(argv_js, i);
        if (arg_js == nullptr)
            break;
        const char *arg = json_string_value(arg_js);
        const char *shown = arg_is_secret(redact_argv, i) ? redacted_arg : arg != nullptr ? arg : "";
        int n = snprintf(buf + used, left, "%s", shown);
        if (n < 0) {
            PRINT_INFO(INFO_ERROR, "Unable to return command description for %s (arg %d)\n", cmd,
                       static_cast<int>(i));
            return buf;
        }
        if (static_cast<size_t>(n) >= left) {
            PRINT_INFO(INFO_WARN, "Truncated command description for %s (arg %d)\n", cmd,
                       static_cast<int>(i));
            memcpy(buf + bufsz - 4, "...", 4);
            return buf;
        }
        used += static_cast<size_t>(n);
        left -= static_cast<size_t>(n);
    }
    return buf;
}

// ---- Time-out arithmetic ----

int64_t ms_from_seconds(int64_t seconds) {
    if (seconds > INT64_MAX / 1000)
        return INT64_MAX;
    if (seconds < INT64_MIN / 1000)
        return INT64_MIN;
    return seconds * 1000;
}

int poll_timeout_ms(int64_t ms) {
    return ms <= 0 ? 0 : ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// ---- File tail ----
//
// The file is read backwards in blocks with pread rather than mapped: a log
// truncated while being read (logrotate's copytruncate) then only ends the
// scan early, where a mapping would raise SIGBUS. Only the last window of
// the file (256 MiB, from a page boundary) is ever looked at.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

constexpr off_t file_tail_window = 268435456;
constexpr size_t file_tail_block = 65536;

// Inserts one non-empty line at the front; a line that is not valid text
// is left out (it still counts as a wanted line).
void file_tail_insert(json_t *lines_js, const std::string &line) {
    if (json_array_insert_new(lines_js, 0, json_stringn(line.data(), line.size())) != 0)
        PRINT_INFO(INFO_ERROR, "Unable to insert log line\n");
}

// Reads exactly len bytes at offset; false when the file ended first (it
// shrank) or the read failed.
bool read_block(int fd, char *buf, size_t len, off_t offset) {
    size_t got = 0;
    while (got < len) {
        ssize_t n = pread(fd, buf + got, len - got, offset + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

// Reads the line [start, end) of the file and inserts it unless empty;
// false when the file shrank under us.
bool file_tail_take(int fd, off_t start, off_t end, json_t *lines_js, size_t *wanted) {
    if (end <= start)
        return true;
    std::string line(static_cast<size_t>(end - start), '\0');
    if (!read_block(fd, line.data(), line.size(), start))
        return false;
    file_tail_insert(lines_js, line);
    --*wanted;
    return true;
}

} // namespace

json_t *file_tail_json(const char *filename, size_t n_lines) {
    json_ptr lines_js(json_array());
    if (!lines_js) {
        PRINT_INFO(INFO_ERROR, "Unable to create log array\n");
        return json_null();
    }
    unique_fd fd(open(filename, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        PRINT_INFO(INFO_ERROR, "Unable to open %s: %s\n", filename, strerror(errno));
        return lines_js.release();
    }
    struct stat sb;
    if (fstat(fd.get(), &sb) != 0) {
        PRINT_INFO(INFO_ERROR, "Unable to stat %s: %s\n", filename, strerror(errno));
        return lines_js.release();
    }
    off_t floor = 0;
    if (sb.st_size > file_tail_window) {
        off_t page = sysconf(_SC_PAGESIZE);
        floor = (sb.st_size - file_tail_window + page - 1) / page * page;
    }
    // Blocks are scanned for newlines only; each line found is then read
    // whole from its offsets.
    std::vector<char> buf(file_tail_block);
    size_t wanted = n_lines;
    off_t pos = sb.st_size;
    off_t line_end = sb.st_size;
    while (pos > floor && wanted > 0) {
        size_t len = static_cast<size_t>(std::min<off_t>(pos - floor, file_tail_block));
        pos -= static_cast<off_t>(len);
        if (!read_block(fd.get(), buf.data(), len, pos))
            return lines_js.release(); // shrank under us: what was found stands
        for (size_t i = len; i-- > 0 && wanted > 0;) {
            if (buf[i] != '\n')
                continue;
            off_t newline = pos + static_cast<off_t>(i);
            if (!file_tail_take(fd.get(), newline + 1, line_end, lines_js.get(), &wanted))
                return lines_js.release();
            line_end = newline;
        }
    }
    // The file's first line has no newline before it; a line cut by the
    // window's start is left out.
    if (pos == 0 && wanted > 0)
        file_tail_take(fd.get(), 0, line_end, lines_js.get(), &wanted);
    return lines_js.release();
}

// ---- Lossless-as-possible JSON strings ----

// Length of the valid UTF-8 sequence at p (at most n bytes), or 0.
size_t utf8_sequence_length(const unsigned char *p, size_t n) {
    unsigned char c = p[0];
    if (c < 0x80)
        return 1;
    size_t len;
    unsigned min;
    unsigned cp;
    if ((c & 0xE0) == 0xC0) {
        len = 2, min = 0x80, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3, min = 0x800, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4, min = 0x10000, cp = c & 0x07;
    } else {
        return 0;
    }
    if (len > n)
        return 0;
    for (size_t i = 1; i < len; i++) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and values past Unicode are not valid.
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}

json_t *json_string_lossy(const char *data, size_t len) {
    if (data == nullptr)
        return json_string("");
    // Most output is valid UTF-8 already; avoid building a second copy of it.
    if (json_t *exact = json_stringn(data, len))
        return exact;
    static constexpr char replacement[] = "\xEF\xBF\xBD"; // U+FFFD
    std::string text;
    text.reserve(len);
    const auto *p = reinterpret_cast<const unsigned char *>(data);
    size_t i = 0;
    while (i < len) {
        size_t n = utf8_sequence_length(p + i, len - i);
        if (n == 0) {
            text.append(replacement, 3);
            i++;
        } else {
            text.append(data + i, n);
            i += n;
        }
    }
    return json_stringn(text.data(), text.size());
}

namespace {

// Narrows the file behind fd (a descriptor or a path-only one) with chmod_to.
template <typename Chmod> int narrow_mode(int fd, const char *path, mode_t max, bool warn, Chmod chmod_to) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    mode_t mode = st.st_mode & 07777;
    if ((mode & ~max) == 0)
        return 0;
    if (chmod_to(mode & max) != 0) {
        PRINT_INFO(INFO_ERROR, "Unable to narrow the mode of %s: %s\n", path, strerror(errno));
        return -1;
    }
    if (warn)
        PRINT_INFO(INFO_WARN, "Narrowed the mode of %s from %04o to %04o\n", path,
                   static_cast<unsigned>(mode), static_cast<unsigned>(mode & max));
    return 1;
}

} // namespace

int narrow_fd_mode(int fd, const char *path, mode_t max, bool warn) {
    return narrow_mode(fd, path, max, warn, [fd](mode_t m) { return fchmod(fd, m); });
}

int narrow_file_mode(const char *path, mode_t max, bool warn) {
    // A path-only descriptor: closing a real one would drop every POSIX
    // lock this process holds on the file, SQLite's among them, and another
    // process could then take the database's files for unused.
    unique_fd fd(open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        return errno == ENOENT ? 0 : -1;
    char proc_path[64];
    snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd.get());
    return narrow_mode(fd.get(), path, max, warn, [&proc_path](mode_t m) { return chmod(proc_path, m); });
}
