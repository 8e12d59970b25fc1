// Owner types for the C handles the daemon uses. Wrap a handle on the line
// that creates it; hand ownership over with release().
#pragma once

#include <dirent.h>
#include <jansson.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

namespace tuvod_detail {
struct json_deleter {
    void operator()(json_t *j) const noexcept { json_decref(j); }
};
struct free_deleter {
    void operator()(void *p) const noexcept { std::free(p); }
};
struct file_closer {
    void operator()(FILE *f) const noexcept { std::fclose(f); }
};
struct dir_closer {
    void operator()(DIR *d) const noexcept { closedir(d); }
};
} // namespace tuvod_detail

// An owned jansson reference; a bare json_t * is always a borrowed one.
using json_ptr = std::unique_ptr<json_t, tuvod_detail::json_deleter>;
// Text allocated with malloc (json_dumps, strdup, vasprintf).
using cstr_ptr = std::unique_ptr<char, tuvod_detail::free_deleter>;
using file_ptr = std::unique_ptr<FILE, tuvod_detail::file_closer>;
using dir_ptr = std::unique_ptr<DIR, tuvod_detail::dir_closer>;

// Takes a new reference to a borrowed value.
inline json_ptr json_share(json_t *j) { return json_ptr(json_incref(j)); }

// A file descriptor that closes itself; move-only.
class unique_fd {
  public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    unique_fd(unique_fd &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    unique_fd &operator=(unique_fd &&o) noexcept {
        if (this != &o)
            reset(std::exchange(o.fd_, -1));
        return *this;
    }
    ~unique_fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// The result of scandir: the entries and the array that holds them.
class dirent_list {
  public:
    dirent_list() = default;
    ~dirent_list() {
        for (int i = 0; i < n_; i++)
            free(entries_[i]);
        free(entries_);
    }
    dirent_list(const dirent_list &) = delete;
    dirent_list &operator=(const dirent_list &) = delete;

    int scan(int dir_fd, int (*filter)(const struct dirent *)) {
        n_ = scandirat(dir_fd, ".", &entries_, filter, alphasort);
        if (n_ < 0) {
            n_ = 0;
            return -1;
        }
        return n_;
    }
    int size() const { return n_; }
    const char *name(int i) const { return entries_[i]->d_name; }

  private:
    struct dirent **entries_ = nullptr;
    int n_ = 0;
};
