// The sandbox itself: the mount points it needs on the host are left no
// more open than an installation makes them, since they outlive the run.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "harness.hpp"
#include "isolation.hpp"

namespace {

// Permission bits of path (through any mount on it), or ~0 when it is missing.
mode_t mode_of(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : static_cast<mode_t>(~0u);
}

// The mode of parent/name as the host has it, under whatever is mounted on
// it: a bind of parent without its submounts shows the directory itself.
mode_t host_mode_of(const std::string &parent, const std::string &name) {
    char view[] = "/tmp/tuvod-view.XXXXXX";
    if (mkdtemp(view) == nullptr)
        return static_cast<mode_t>(~0u);
    mode_t mode = static_cast<mode_t>(~0u);
    if (mount(parent.c_str(), view, nullptr, MS_BIND, nullptr) == 0) {
        mode = mode_of(std::string(view) + "/" + name);
        umount2(view, MNT_DETACH);
    }
    rmdir(view);
    return mode;
}

bool no_wider(mode_t mode, mode_t asked) { return mode != static_cast<mode_t>(~0u) && (mode & ~asked) == 0; }

TEST(SandboxModes, HostDirectoriesAreNoWiderThanAnInstallationMakesThem) {
    E2E_REQUIRE_ROOT();
    e2e::Sandbox sb;
    // What the daemon sees, through the mounts.
    EXPECT_TRUE(no_wider(mode_of("/lumo/conf/tuvod"), 0700)) << std::oct << mode_of("/lumo/conf/tuvod");
    EXPECT_TRUE(no_wider(mode_of("/lumo/conf/tuvod/script_config.d"), 0700));
    EXPECT_TRUE(no_wider(mode_of("/var/log/orrvik"), 0750)) << std::oct << mode_of("/var/log/orrvik");
    // What stays on the host once the mounts are gone.
    EXPECT_TRUE(no_wider(host_mode_of("/lumo/conf", "tuvod"), 0700)) << std::oct << host_mode_of("/lumo/conf", "tuvod");
    EXPECT_TRUE(no_wider(host_mode_of("/var/log", "orrvik"), 0750)) << std::oct << host_mode_of("/var/log", "orrvik");
    EXPECT_TRUE(no_wider(mode_of("/lumo"), 0755));
    EXPECT_TRUE(no_wider(mode_of("/lumo/conf"), 0755));
}

TEST(SandboxModes, MountPointsAreMadeWithTheirModeAndWiderOnesNarrowed) {
    E2E_REQUIRE_ROOT();
    char tmpl[] = "/tmp/tuvod-modes.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string root = tmpl;
    mode_t old_umask = umask(0);
    // Missing parents as the package makes them, the directory exactly as asked.
    EXPECT_TRUE(isolation::make_dir_with_mode(root + "/a/b/conf", 0700, true));
    EXPECT_EQ(mode_of(root + "/a"), 0755u);
    EXPECT_EQ(mode_of(root + "/a/b/conf"), 0700u);
    // One left wide by an earlier run is narrowed; a narrower one is kept.
    ASSERT_EQ(mkdir((root + "/wide").c_str(), 0777), 0);
    EXPECT_TRUE(isolation::make_dir_with_mode(root + "/wide", 0750, true));
    EXPECT_EQ(mode_of(root + "/wide"), 0750u);
    ASSERT_EQ(mkdir((root + "/tight").c_str(), 0500), 0);
    EXPECT_TRUE(isolation::make_dir_with_mode(root + "/tight", 0750, true));
    EXPECT_EQ(mode_of(root + "/tight"), 0500u);
    // A system directory is left as it is.
    ASSERT_EQ(mkdir((root + "/system").c_str(), 0777), 0);
    EXPECT_TRUE(isolation::make_dir_with_mode(root + "/system", 0755, false));
    EXPECT_EQ(mode_of(root + "/system"), 0777u);
    umask(old_umask);
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
}

} // namespace
