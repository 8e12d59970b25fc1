// The command database's lock file; see dblock.hpp.
//
// flock, not fcntl locks: an fcntl lock would be dropped when any descriptor
// of the process on that file is closed, and SQLite opens and closes the
// database's files itself. The lock lives with its descriptor, which stays
// open (and so locked) until released or the process ends.
#include "dblock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "handles.hpp"
#include "info.hpp"

namespace {

std::mutex held_mutex;
std::map<std::string, int> held; // lock file path -> its descriptor; guarded by held_mutex

std::string lock_path(const char *db_filename) { return std::string(db_filename) + ".lock"; }

// The PID the holder wrote, or "unknown" when the file holds none.
std::string holder_pid(int fd) {
    char buf[32] = {};
    ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
    std::string text(buf, n > 0 ? static_cast<size_t>(n) : 0);
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    return digits ? text : "unknown";
}

int write_own_pid(int fd) {
    char buf[32];
    int len = snprintf(buf, sizeof buf, "%ld\n", static_cast<long>(getpid()));
    if (ftruncate(fd, 0) != 0 || pwrite(fd, buf, static_cast<size_t>(len), 0) != len)
        return -1;
    return 0;
}

} // namespace

int tuvod_db_lock_take(const char *db_filename) {
    const std::string path = lock_path(db_filename);
    std::lock_guard<std::mutex> guard(held_mutex);
    if (held.count(path) != 0)
        return 0;
    unique_fd fd(open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) {
        PRINT_INFO(INFO_ERROR, "Unable to open the database lock file %s: %s\n", path.c_str(), strerror(errno));
        return -1;
    }
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            PRINT_INFO(INFO_ERROR,
                       "Another tuvod instance (PID %s) holds the command database %s; leaving its records alone\n",
                       holder_pid(fd.get()).c_str(), db_filename);
            return 1;
        }
        PRINT_INFO(INFO_ERROR, "Unable to lock %s: %s\n", path.c_str(), strerror(errno));
        return -1;
    }
    if (write_own_pid(fd.get()) != 0) {
        PRINT_INFO(INFO_ERROR, "Unable to write the database lock file %s: %s\n", path.c_str(), strerror(errno));
        return -1;
    }
    held[path] = fd.release();
    return 0;
}

void tuvod_db_lock_release(const char *db_filename) {
    std::lock_guard<std::mutex> guard(held_mutex);
    auto it = held.find(lock_path(db_filename));
    if (it == held.end())
        return;
    close(it->second); // drops the lock; the file stays for the next holder
    held.erase(it);
}
