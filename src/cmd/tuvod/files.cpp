#include "files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "handles.hpp"

namespace {

// Narrows the file behind fd (a descriptor or a path-only one) with chmod_to.
template <typename Chmod> int narrow_mode(int fd, mode_t max, mode_t *before, Chmod chmod_to) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    mode_t mode = st.st_mode & 07777;
    if ((mode & ~max) == 0)
        return 0;
    if (chmod_to(mode & max) != 0)
        return -1;
    *before = mode;
    return 1;
}

} // namespace

int narrow_fd_mode(int fd, mode_t max, mode_t *before) {
    return narrow_mode(fd, max, before, [fd](mode_t m) { return fchmod(fd, m); });
}

int narrow_file_mode(const char *path, mode_t max, mode_t *before) {
    // A path-only descriptor: closing a real one would drop every POSIX
    // lock this process holds on the file, SQLite's among them, and another
    // process could then take the database's files for unused.
    unique_fd fd(open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        return errno == ENOENT ? 0 : -1;
    char proc_path[64];
    snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd.get());
    return narrow_mode(fd.get(), max, before, [&proc_path](mode_t m) { return chmod(proc_path, m); });
}
