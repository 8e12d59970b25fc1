#include "execlog.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "groupwrite.hpp"
#include "handles.hpp"
#include "info.hpp"
#include "jsondump.hpp"

namespace {

pthread_mutex_t exec_log_mutex = PTHREAD_MUTEX_INITIALIZER;
FILE *exec_log_file = nullptr; // guarded by exec_log_mutex

} // namespace

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


void set_exec_log_file(const char *filename) {
    FILE *f = open_log_file(filename);
    if (f != nullptr)
        heal_exec_log(filename, f);
    replace_stream(&exec_log_mutex, &exec_log_file, f);
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

