#include "validate.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>

#include "caller.hpp"
#include "error.hpp"
#include "info.hpp"

namespace {

struct md_ctx_deleter {
    void operator()(EVP_MD_CTX *ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};
using md_ctx_ptr = std::unique_ptr<EVP_MD_CTX, md_ctx_deleter>;

} // namespace

// A script that names its callers runs only for them: a caller that is not
// a verified certificate (cleartext, local, legacy) can never be one.
int validate_caller(tuvod_script_t *script, const std::string &caller, tuvod_error_t **errors) {
    if (script->script_allowed_callers.empty())
        return 0;
    if (tuvod_caller_is_tls(caller)) {
        const std::string cn = caller.substr(std::strlen("tls:"));
        for (const std::string &allowed : script->script_allowed_callers)
            if (allowed == cn)
                return 0;
    }
    set_err(INFO_ERROR, errors, TUVOD_EPERM, nullptr, "Caller '%s' may not run script '%s'", caller.c_str(),
            script->script_path.c_str());
    return -1;
}

namespace {

// Compares the SHA-256 digests of both texts in constant time, so the time
// taken tells neither how much of a guess was right nor the length sought.
bool same_secret_text(const std::string &expected, const char *given) {
    unsigned char a[EVP_MAX_MD_SIZE], b[EVP_MAX_MD_SIZE];
    unsigned int a_len = 0, b_len = 0;
    if (EVP_Digest(expected.data(), expected.size(), a, &a_len, EVP_sha256(), nullptr) != 1 ||
        EVP_Digest(given, strlen(given), b, &b_len, EVP_sha256(), nullptr) != 1 || a_len != b_len)
        return false;
    return CRYPTO_memcmp(a, b, a_len) == 0;
}

} // namespace

int validate_authority(tuvod_script_t *script, const char *authority, tuvod_error_t **errors) {
    if (authority != nullptr && same_secret_text(script->script_authority, authority))
        return 0;
    set_err(INFO_ERROR, errors, TUVOD_EPERM, nullptr, "No authority to run script '%s'",
            script->script_path.c_str());
    return -1;
}

namespace {

constexpr int max_symlinks = 40;
constexpr int max_dir_depth = 4096;

// Owners whose files root may run: root, and the daemon's own user when it
// runs unprivileged.
bool trusted_owner(uid_t uid) {
    return uid == 0 || uid == geteuid();
}

std::string owner_reason(const char *what, const std::string &where, uid_t uid) {
    char text[64];
    snprintf(text, sizeof text, "' is owned by uid %u", static_cast<unsigned>(uid));
    return std::string(what) + " '" + where + text;
}

// A directory passed on the way to a script: nobody but root may be able to
// change what it holds. A sticky directory lets nobody rename or remove
// another user's entries, so it may be writable by others.
int check_dir_fd(int fd, const std::string &where, std::string *reason) {
    struct stat st;
    if (fstat(fd, &st) != 0)
        return -1;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    if (!trusted_owner(st.st_uid)) {
        *reason = owner_reason("directory", where, st.st_uid);
        return -1;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
        *reason = "directory '" + where + "' is writable by group or others";
        return -1;
    }
    return 0;
}

// For a relative path: the working directory and every directory above it.
int check_dirs_above(int start_fd, std::string *reason) {
    unique_fd cur(fcntl(start_fd, F_DUPFD_CLOEXEC, 0));
    std::string where = ".";
    for (int depth = 0; cur && depth < max_dir_depth; depth++) {
        if (check_dir_fd(cur.get(), where, reason) != 0)
            return -1;
        unique_fd up(openat(cur.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct stat a, b;
        if (!up || fstat(cur.get(), &a) != 0 || fstat(up.get(), &b) != 0)
            return -1;
        if (a.st_dev == b.st_dev && a.st_ino == b.st_ino)
            return 0;
        cur = std::move(up);
        where += "/..";
    }
    errno = ELOOP;
    return -1;
}

std::deque<std::string> split_path(const std::string &path) {
    std::deque<std::string> parts;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos)
            slash = path.size();
        if (slash > pos)
            parts.push_back(path.substr(pos, slash - pos));
        pos = slash + 1;
    }
    return parts;
}

// Walks path one component at a time from "/" (or the working directory),
// checking each directory as it is entered; a symbolic link on the way is
// read in a directory already checked and its target walked the same way.
// 0 with the checked parent directory and the final name; -1 with *reason
// set (refused) or with errno (the path cannot be walked).
int open_checked_parent(const std::string &path, unique_fd *dir, std::string *leaf,
                        std::string *reason) {
    std::deque<std::string> parts = split_path(path);
    bool absolute = !path.empty() && path[0] == '/';
    unique_fd cur(open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::string where = absolute ? "" : ".";
    if (!cur)
        return -1;
    if (absolute ? check_dir_fd(cur.get(), "/", reason) != 0 : check_dirs_above(cur.get(), reason) != 0)
        return -1;
    int links = 0;
    while (!parts.empty()) {
        std::string name = std::move(parts.front());
        parts.pop_front();
        if (name == ".")
            continue;
        const bool last = parts.empty();
        unique_fd next(openat(cur.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat st;
        if (last && (!next || fstat(next.get(), &st) != 0 || !S_ISLNK(st.st_mode))) {
            // The final name, unless a link: the caller opens and checks it.
            *leaf = name;
            *dir = std::move(cur);
            return 0;
        }
        if (!next || fstat(next.get(), &st) != 0)
            return -1;
        // A final link (as alternatives install them) is followed like the
        // links above it, but only when a trusted owner made it: its target
        // then goes through the same directory checks.
        if (last && !trusted_owner(st.st_uid)) {
            *reason = owner_reason("symbolic link", where + "/" + name, st.st_uid);
            return -1;
        }
        if (S_ISLNK(st.st_mode)) {
            char target[PATH_MAX];
            ssize_t n = readlinkat(next.get(), "", target, sizeof target - 1);
            if (n <= 0 || ++links > max_symlinks) {
                if (n >= 0)
                    errno = n == 0 ? ENOENT : ELOOP;
                return -1;
            }
            std::string text(target, static_cast<size_t>(n));
            std::deque<std::string> more = split_path(text);
            parts.insert(parts.begin(), more.begin(), more.end());
            if (text[0] == '/') {
                cur.reset(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
                where.clear();
                if (!cur || check_dir_fd(cur.get(), "/", reason) != 0)
                    return -1;
            }
            continue;
        }
        where += "/" + name;
        if (check_dir_fd(next.get(), where, reason) != 0)
            return -1;
        cur = std::move(next);
    }
    errno = EISDIR;
    return -1;
}

bool identity_equal(const script_identity_t &a, const script_identity_t &b) {
    return a.dev == b.dev && a.ino == b.ino && a.size == b.size &&
           a.mtim.tv_sec == b.mtim.tv_sec && a.mtim.tv_nsec == b.mtim.tv_nsec &&
           a.ctim.tv_sec == b.ctim.tv_sec && a.ctim.tv_nsec == b.ctim.tv_nsec;
}

void refuse(tuvod_script_t *script, const std::string &reason, tuvod_error_t **errors) {
    set_err(INFO_ERROR, errors, TUVOD_EPERM, nullptr, "Refusing '%s' for '%s': %s",
            script->script_path.c_str(), script->script_name.c_str(), reason.c_str());
}

void stat_failed(tuvod_script_t *script, int err, tuvod_error_t **errors) {
    set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "Unable to stat executable '%s' for '%s': %s",
            script->script_path.c_str(), script->script_name.c_str(), strerror(err));
}

// Opens the final name without following a symbolic link, and only once
// it is known to be a regular file (opening a device may act on it).
int open_script_leaf(tuvod_script_t *script, int dir, const std::string &leaf, unique_fd *fd,
                     struct stat *st, tuvod_error_t **errors) {
    struct stat lst;
    if (fstatat(dir, leaf.c_str(), &lst, AT_SYMLINK_NOFOLLOW) != 0) {
        stat_failed(script, errno, errors);
        return -1;
    }
    PRINT_DEBUG(DEBUG_GENERAL, "...script %s exists\n", script->script_path.c_str());
    if (S_ISLNK(lst.st_mode)) {
        refuse(script, "it is a symbolic link", errors);
        return -1;
    }
    if (!S_ISREG(lst.st_mode)) {
        refuse(script, "it is not a regular file", errors);
        return -1;
    }
    fd->reset(openat(dir, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!*fd || fstat(fd->get(), st) != 0) {
        stat_failed(script, errno, errors);
        return -1;
    }
    if (!S_ISREG(st->st_mode) || st->st_dev != lst.st_dev || st->st_ino != lst.st_ino) {
        refuse(script, "it was replaced while it was checked", errors);
        return -1;
    }
    return 0;
}

// Owner and mode of the open file.
int check_file_mode(tuvod_script_t *script, const struct stat &st, tuvod_error_t **errors) {
    const char *path = script->script_path.c_str();
    if (!trusted_owner(st.st_uid)) {
        char text[64];
        snprintf(text, sizeof text, "it is owned by uid %u", static_cast<unsigned>(st.st_uid));
        refuse(script, text, errors);
        return -1;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        refuse(script, "it is writable by group or others", errors);
        return -1;
    }
    if ((st.st_mode & S_IXUSR) == 0) {
        set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "'%s' for '%s' is not executable", path,
                script->script_name.c_str());
        return -1;
    }
    PRINT_DEBUG(DEBUG_GENERAL, "...script %s is executable\n", path);
    return 0;
}

// The digest of the open file, skipped while its identity is the one that
// last matched.
int check_digest(tuvod_script_t *script, int fd, const script_identity_t &id,
                 tuvod_error_t **errors) {
    const char *path = script->script_path.c_str();
    if (script->script_digest.empty()) {
        PRINT_DEBUG(DEBUG_GENERAL, "...skip digest check for %s\n", path);
        return 0;
    }
    {
        std::lock_guard<std::mutex> lock(script->digest_mutex);
        if (script->digest_checked && identity_equal(script->digest_identity, id)) {
            PRINT_DEBUG(DEBUG_GENERAL, "...no changes in %s since last check\n", path);
            return 0;
        }
    }
    char digest_str[129];
    if (tuvod_script_digest_fd(fd, digest_str, sizeof digest_str) != 0) {
        set_err(INFO_ERROR, errors, TUVOD_EIO, nullptr, "Unable to compute the digest for '%s'",
                path);
        return -1;
    }
    // A write while the file was read would leave a digest of neither content.
    struct stat after;
    if (fstat(fd, &after) != 0 || !same_script_identity(id, after) ||
        script->script_digest != digest_str) {
        set_err(INFO_ERROR, errors, TUVOD_EINVAL, nullptr, "Script digest mismatch for '%s'", path);
        return -1;
    }
    PRINT_DEBUG(DEBUG_GENERAL, "...script %s matches digest\n", path);
    std::lock_guard<std::mutex> lock(script->digest_mutex);
    script->digest_identity = id;
    script->digest_checked = true;
    return 0;
}

bool starts_with_interpreter(int fd) {
    char head[2];
    return pread(fd, head, sizeof head, 0) == 2 && head[0] == '#' && head[1] == '!';
}

} // namespace

script_identity_t script_identity_of(const struct stat &st) {
    script_identity_t id;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = st.st_size;
    id.mtim = st.st_mtim;
    id.ctim = st.st_ctim;
    return id;
}

bool same_script_identity(const script_identity_t &id, const struct stat &st) noexcept {
    return id.dev == st.st_dev && id.ino == st.st_ino && id.size == st.st_size &&
           id.mtim.tv_sec == st.st_mtim.tv_sec && id.mtim.tv_nsec == st.st_mtim.tv_nsec &&
           id.ctim.tv_sec == st.st_ctim.tv_sec && id.ctim.tv_nsec == st.st_ctim.tv_nsec;
}

bool same_script_content(const script_identity_t &id, const struct stat &st) noexcept {
    return id.dev == st.st_dev && id.ino == st.st_ino && id.size == st.st_size &&
           id.mtim.tv_sec == st.st_mtim.tv_sec && id.mtim.tv_nsec == st.st_mtim.tv_nsec;
}

int check_script_file(tuvod_script_t *script, checked_script_t *out, tuvod_error_t **errors) {
    PRINT_DEBUG(DEBUG_GENERAL, "Validating script %s...\n", script->script_name.c_str());
    unique_fd dir;
    std::string leaf, reason;
    if (open_checked_parent(script->script_path, &dir, &leaf, &reason) != 0) {
        if (!reason.empty())
            refuse(script, reason, errors);
        else
            stat_failed(script, errno, errors);
        return -1;
    }
    unique_fd fd;
    struct stat st;
    if (open_script_leaf(script, dir.get(), leaf, &fd, &st, errors) != 0 ||
        check_file_mode(script, st, errors) != 0)
        return -1;
    script_identity_t id = script_identity_of(st);
    if (check_digest(script, fd.get(), id, errors) != 0)
        return -1;
    out->interpreted = starts_with_interpreter(fd.get());
    out->id = id;
    out->fd = std::move(fd);
    return 0;
}

int open_checked_dir(const std::string &path, unique_fd *out, std::string *reason) {
    unique_fd fd;
    if (path == "/") {
        fd.reset(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    } else {
        unique_fd dir;
        std::string leaf;
        if (open_checked_parent(path, &dir, &leaf, reason) != 0)
            return -1;
        fd.reset(openat(dir.get(), leaf.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    if (!fd || check_dir_fd(fd.get(), path, reason) != 0)
        return -1;
    *out = std::move(fd);
    return 0;
}

int validate_script(tuvod_script_t *script, tuvod_error_t **errors) {
    checked_script_t checked;
    return check_script_file(script, &checked, errors);
}

int tuvod_script_digest(const char *scptfname, char *digest_str, size_t digest_strsz) {
    // Non-blocking so that a FIFO in the executable's place cannot hang a worker.
    unique_fd fd(open(scptfname, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd)
        return -1;
    return tuvod_script_digest_fd(fd.get(), digest_str, digest_strsz);
}

int tuvod_script_digest_fd(int fd, char *digest_str, size_t digest_strsz) {
    md_ctx_ptr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
        return -1;
    unsigned char block[4096];
    off_t offset = 0;
    for (;;) {
        ssize_t n = pread(fd, block, sizeof block, offset);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            // A digest of part of the file would be reported as a mismatch
            // rather than as the read failure it is.
            return -1;
        }
        offset += n;
        if (EVP_DigestUpdate(ctx.get(), block, static_cast<size_t>(n)) != 1)
            return -1;
    }

    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int md_len = 0;
    if (EVP_DigestFinal_ex(ctx.get(), md, &md_len) != 1)
        return -1;
    if (2 * static_cast<size_t>(md_len) >= digest_strsz)
        return -1;
    for (unsigned int i = 0; i < md_len; i++)
        snprintf(digest_str + 2 * i, 3, "%02x", md[i]);
    return 0;
}
