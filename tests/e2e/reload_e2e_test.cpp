// A reload that cannot read the configuration directory keeps the scripts
// in force and says so in the log line readers match on, odd spelling
// included.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "harness.hpp"

namespace {

class Reload : public e2e::DaemonTest {};

} // namespace

TEST_F(Reload, UnreadableDirectoryKeepsTheScriptsInForceAndIsLogged) {
    E2E_REQUIRE_ROOT();
    std::string exe = sb_->add_script({.name = "kept", .body = "echo kept"});
    start();
    std::string moved = sb_->scripts_dir + ".away";
    ASSERT_EQ(rename(sb_->scripts_dir.c_str(), moved.c_str()), 0);
    d_->signal(SIGHUP);
    ASSERT_TRUE(d_->wait_for_log("Failed to re-load script configuraiton")) << d_->log();

    e2e::Client c;
    json_ptr r = c.call("execute", e2e::exec_args({exe}, false).release());
    EXPECT_EQ(e2e::state_of(r), "COMPLETE") << e2e::text_of(r);
    ASSERT_EQ(rename(moved.c_str(), sb_->scripts_dir.c_str()), 0);
}
