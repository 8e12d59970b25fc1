#include "isolation.hpp"

#include <fcntl.h>
#include <net/if.h>
#include <signal.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <algorithm>
#include <iterator>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "handles.hpp"

namespace fs = std::filesystem;

namespace isolation {

namespace {

bool bring_lo_up() {
    unique_fd s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!s)
        return false;
    struct ifreq ifr {};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    if (ioctl(s.get(), SIOCGIFFLAGS, &ifr) != 0)
        return false;
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
    return ioctl(s.get(), SIOCSIFFLAGS, &ifr) == 0;
}

} // namespace

bool enter_namespaces(std::string &err) {
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
        err = std::string("unshare: ") + strerror(errno);
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        err = std::string("making mounts private: ") + strerror(errno);
        return false;
    }
    if (!bring_lo_up()) {
        err = std::string("bringing lo up: ") + strerror(errno);
        return false;
    }
    return true;
}

bool make_dir_with_mode(const std::string &path, mode_t mode, bool narrow) {
    fs::path whole(path);
    fs::path at;
    for (auto it = whole.begin(); it != whole.end(); ++it) {
        at /= *it;
        bool last = std::next(it) == whole.end();
        if (mkdir(at.c_str(), last ? mode : 0755) == 0) {
            // mkdir's mode passes through the umask: say it exactly.
            if (chmod(at.c_str(), last ? mode : 0755) != 0)
                return false;
        } else if (errno != EEXIST) {
            return false;
        }
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    if (narrow && (st.st_mode & 07777 & ~mode) != 0)
        return chmod(path.c_str(), st.st_mode & 07777 & mode) == 0;
    return true;
}

std::vector<std::string> bind_fixed_dirs(const std::string &conf, const std::string &cache,
                                         const std::string &log) {
    std::vector<std::string> mounts;
    struct fixed_dir {
        std::string src;
        const char *dst;
        mode_t mode;
        bool narrow; // /var/cache belongs to the system, not to tuvod
    };
    const fixed_dir binds[] = {
        {conf, FIXED_CONF, FIXED_CONF_MODE, true}, {cache, FIXED_CACHE, 0755, false}, {log, FIXED_LOG, FIXED_LOG_MODE, true}};
    for (const auto &[src, dst, mode, narrow] : binds) {
        if (!make_dir_with_mode(dst, mode, narrow)) {
            std::string reason = strerror(errno);
            unbind(mounts);
            throw std::runtime_error(std::string("mount point ") + dst + ": " + reason);
        }
        if (mount(src.c_str(), dst, nullptr, MS_BIND, nullptr) != 0) {
            std::string reason = strerror(errno);
            unbind(mounts);
            throw std::runtime_error(std::string("bind mount on ") + dst + ": " + reason);
        }
        mounts.push_back(dst);
    }
    return mounts;
}

void unbind(const std::vector<std::string> &mounts) {
    for (auto it = mounts.rbegin(); it != mounts.rend(); ++it)
        umount2(it->c_str(), MNT_DETACH);
}

std::string make_child_cgroup(const std::string &name) {
    std::string parent = own_cgroup_dir();
    if (parent.empty())
        return {};
    std::string dir = parent + "/" + name;
    return mkdir(dir.c_str(), 0755) == 0 ? dir : std::string();
}

std::string cgroup2_mount() {
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        auto dash = line.find(" - ");
        if (dash == std::string::npos || line.compare(dash + 3, 8, "cgroup2 ") != 0)
            continue;
        std::istringstream fields(line.substr(0, dash));
        std::string f;
        for (int i = 0; i < 5 && fields >> f; i++) {
        }
        return f;
    }
    return {};
}

std::string own_cgroup_dir() {
    std::string mount_point = cgroup2_mount();
    if (mount_point.empty())
        return {};
    std::ifstream in("/proc/self/cgroup");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("0::", 0) == 0)
            return mount_point + line.substr(3);
    return {};
}

void remove_cgroup_tree(const std::string &dir) {
    if (dir.empty() || !fs::exists(dir))
        return;
    std::ofstream(dir + "/cgroup.kill") << "1";
    std::error_code ec;
    // Children first: a cgroup directory can only go once it has none.
    std::vector<std::string> dirs;
    for (auto it = fs::recursive_directory_iterator(dir, ec); it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->is_directory(ec))
            dirs.push_back(it->path());
    std::sort(dirs.rbegin(), dirs.rend());
    for (int attempt = 0; attempt < 100; attempt++) {
        bool all = true;
        for (const auto &d : dirs)
            if (fs::exists(d) && rmdir(d.c_str()) != 0)
                all = false;
        if (all && rmdir(dir.c_str()) == 0)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

pid_t spawn_in_cgroup(const std::vector<std::string> &argv, const std::string &cgroup_dir,
                      const std::string &out_path) {
    // Everything the child needs is prepared before the fork.
    std::vector<std::string> args(argv);
    std::vector<char *> argp;
    for (auto &a : args)
        argp.push_back(a.data());
    argp.push_back(nullptr);
    std::string procs = cgroup_dir.empty() ? "" : cgroup_dir + "/cgroup.procs";

    pid_t pid = fork();
    if (pid != 0)
        return pid;
    // Only async-signal-safe calls from here on.
    if (!procs.empty()) {
        int fd = open(procs.c_str(), O_WRONLY);
        if (fd >= 0) {
            (void)!write(fd, "0", 1);
            close(fd);
        }
    }
    int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(argp[0], argp.data());
    _exit(127);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool write_file(const std::string &path, const std::string &content, mode_t mode) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
        if (!out)
            return false;
    }
    return chmod(path.c_str(), mode) == 0;
}

bool make_certificates(const std::string &dir) {
    // The directory goes into a shell script between single quotes.
    if (dir.find('\'') != std::string::npos ||
        !write_file(dir + "/ca.cnf",
                    "[ca]\ndefault_ca = d\n[d]\ndatabase = " + dir + "/index.txt\nnew_certs_dir = " + dir +
                        "\nserial = " + dir + "/serial\ndefault_md = sha256\npolicy = p\n[p]\ncommonName = supplied\n",
                    0600) ||
        !write_file(dir + "/server.ext", "subjectAltName = DNS:localhost, IP:127.0.0.1\n", 0600))
        return false;
    std::string script = "set -e; cd '" + dir + "'; : > index.txt; echo 01 > serial\n"
        "key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1 -out $1.key 2>/dev/null; chmod 600 $1.key; }\n"
        "ca() { key $1; openssl req -x509 -new -key $1.key -out $1.pem -days 30 -subj /CN=$1; }\n"
        "csr() { key $1; openssl req -new -key $1.key -out $1.csr -subj /CN=$1; }\n"
        "sign() { openssl x509 -req -in $1.csr -CA $2.pem -CAkey $2.key -CAcreateserial -out $1.pem -days 30 $3 2>/dev/null; }\n"
        "ca ca; ca otherca\n"
        "csr localhost; sign localhost ca '-extfile server.ext'; mv localhost.pem server.pem; mv localhost.key server.key\n"
        "for c in alice bob; do csr $c; sign $c ca; done\n"
        "csr mallory; sign mallory otherca\n"
        "key nocn; openssl req -new -key nocn.key -out nocn.csr -subj /O=tuvod; sign nocn ca\n"
        "csr old; openssl ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key -in old.csr -out old.pem "
        "-startdate 20200101000000Z -enddate 20200201000000Z -notext 2>/dev/null\n";
    return std::system(("sh -c \"$(cat <<'EOF'\n" + script + "EOF\n)\" >/dev/null").c_str()) == 0;
}

std::string sha256_file(const std::string &path) {
    std::string data = read_file(path);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr);
    std::string hex;
    char buf[3];
    for (unsigned i = 0; i < len; i++) {
        snprintf(buf, sizeof buf, "%02x", md[i]);
        hex += buf;
    }
    return hex;
}

bool wait_until(const std::function<bool()> &cond, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

} // namespace isolation
