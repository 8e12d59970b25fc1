// Running the real daemon isolated from the host, for the end-to-end tests
// and the benchmark: private mount and network namespaces, and a cgroup of
// its own. Helpers only; the callers own their sandboxes.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace isolation {

// Takes private mount and network namespaces and brings lo up. Must run
// before the process creates its first thread (unshare refuses CLONE_NEWNS
// in a threaded process). False, with the reason in err, on failure.
bool enter_namespaces(std::string &err);

// The daemon's fixed directories: configuration, database, logs.
constexpr const char *FIXED_CONF = "/lumo/conf/tuvod";
constexpr const char *FIXED_CACHE = "/var/cache";
constexpr const char *FIXED_LOG = "/var/log/orrvik";

// The modes an installation gives the daemon's own fixed directories.
constexpr mode_t FIXED_CONF_MODE = 0700;
constexpr mode_t FIXED_LOG_MODE = 0750;

// Makes path a directory of mode (missing parents 0755), or, when it
// exists and narrow is set, takes away whatever it allows beyond mode.
// False with errno on failure.
bool make_dir_with_mode(const std::string &path, mode_t mode, bool narrow);
// Bind-mounts conf, cache and log on the fixed directories (creating the
// mount points with the modes an installation gives them, and narrowing
// the daemon's own to those modes when they are wider); the mounted paths,
// in order. Throws std::runtime_error when a mount fails.
std::vector<std::string> bind_fixed_dirs(const std::string &conf, const std::string &cache,
                                         const std::string &log);
// Detaches mounts made by bind_fixed_dirs, newest first.
void unbind(const std::vector<std::string> &mounts);
// Creates a cgroup named name below this process's own; its path, or empty
// when cgroup v2 is unavailable.
std::string make_child_cgroup(const std::string &name);

// The cgroup v2 mount point (/sys/fs/cgroup, or /sys/fs/cgroup/unified on
// hybrid hosts), or empty.
std::string cgroup2_mount();
// This process's cgroup directory under that mount, or empty.
std::string own_cgroup_dir();
// Kills every process in a cgroup subtree and removes its directories
// (bounded wait for them to empty).
void remove_cgroup_tree(const std::string &dir);

// Starts argv[0] with argv in cgroup_dir (none when empty), standard output
// and error appended to out_path, every signal unblocked. The child's PID,
// or -1.
pid_t spawn_in_cgroup(const std::vector<std::string> &argv, const std::string &cgroup_dir,
                      const std::string &out_path);

std::string read_file(const std::string &path);
// Writes a whole file and sets its mode; false when it cannot be written.
bool write_file(const std::string &path, const std::string &content, mode_t mode);
// Lower-case hexadecimal SHA-256 of a file's content.
std::string sha256_file(const std::string &path);
// Certificates for TLS clients and listeners, made with the openssl command
// in dir (which must exist): a CA (ca.pem, ca.key) and a second one
// (otherca); server.pem/server.key for localhost and 127.0.0.1, signed by
// ca; clients alice and bob signed by ca, mallory signed by otherca, old
// signed by ca but expired, and nocn signed by ca with no CN in its
// subject. Keys are EC P-256, mode 0600. False when openssl fails.
bool make_certificates(const std::string &dir);
// Polls cond every 20 ms until it holds or timeout_ms pass.
bool wait_until(const std::function<bool()> &cond, int timeout_ms);

} // namespace isolation
