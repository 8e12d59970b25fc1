// Start-up behaviour that depends on the daemon configuration file: the
// identifier it creates, the listeners it binds, and the refusals.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "harness.hpp"

namespace {

using e2e::Client;

const char *const FIXED_CONFIG = "/lumo/conf/tuvod/config.json";

class ConfigE2E : public e2e::DaemonTest {
  protected:
    // Starts the daemon and returns its exit status if it ends by itself
    // during start-up, or -1 once it is ready.
    int start_status(std::vector<std::string> args = {"-f"}) {
        if (!spawn(std::move(args)))
            return -2;
        if (d_->wait_ready())
            return -1;
        return d_->wait_exit();
    }
    void stop() { EXPECT_EQ(d_->stop(), 0) << d_->log(); }

    json_ptr config() const { return json_ptr(json_load_file(sb_->config_path().c_str(), 0, nullptr)); }
    std::vector<std::string> bind_addrs() const {
        std::vector<std::string> out;
        json_ptr conf = config();
        size_t i;
        json_t *a;
        json_array_foreach(json_object_get(conf.get(), "bindAddrs"), i, a)
            out.push_back(json_is_string(a) ? json_string_value(a) : "<not a string>");
        return out;
    }
    bool answers_on(const std::string &endpoint) {
        Client c(endpoint, 5000);
        return static_cast<bool>(c.call("ping", nullptr));
    }
};

TEST_F(ConfigE2E, MissingFileIsCreatedAndItsIdentifierUsed) {
    ASSERT_EQ(start_status(), -1) << d_->log();
    struct stat st {};
    ASSERT_EQ(stat(sb_->config_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    json_ptr conf = config();
    ASSERT_TRUE(conf);
    const char *uuid = json_string_value(json_object_get(conf.get(), "tuvodUUID"));
    ASSERT_NE(uuid, nullptr);
    EXPECT_NE(d_->log().find(std::string("Start-up complete for tuvod instance ") + uuid), std::string::npos);
    EXPECT_EQ(bind_addrs(), std::vector<std::string>{"127.0.0.1"});
    stop();
}

TEST_F(ConfigE2E, UnparsableFileIsReplacedAndStartUpGoesOn) {
    write_config("{\"tuvodUUID\": ");
    ASSERT_EQ(start_status(), -1) << d_->log();
    EXPECT_NE(d_->log().find(std::string("Unable to parse config file ") + FIXED_CONFIG + ": "), std::string::npos)
        << d_->log();
    json_ptr conf = config();
    ASSERT_TRUE(conf);
    EXPECT_TRUE(json_is_string(json_object_get(conf.get(), "tuvodUUID")));
    stop();
}

TEST_F(ConfigE2E, UnparsableFileIsCopiedAsideWithItsBytes) {
    const std::string original = "{\"tuvodUUID\": \"11111111-2222-3333-4444-555555555555\", \"site\": 1,}";
    write_config(original);
    ASSERT_EQ(start_status(), -1) << d_->log();
    std::string copy;
    std::string marker = "Kept the unparsable config file " + std::string(FIXED_CONFIG) + " as ";
    std::string log = d_->log();
    auto at = log.find(marker);
    ASSERT_NE(at, std::string::npos) << log;
    copy = log.substr(at + marker.size(), log.find('\n', at) - at - marker.size());
    ASSERT_EQ(copy.rfind(std::string(FIXED_CONFIG) + ".unparsable-", 0), 0u) << copy;
    // Read through the sandbox's own view of the directory.
    std::string copy_in_sandbox = sb_->conf_dir + copy.substr(copy.rfind('/'));
    EXPECT_EQ(e2e::read_file(copy_in_sandbox), original);
    struct stat st {};
    ASSERT_EQ(stat(copy_in_sandbox.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(json_is_string(json_object_get(config().get(), "tuvodUUID")));
    stop();
}

// A file bind-mounted over the path cannot be renamed over: it is rewritten
// in place, so the identifier made at the first start is kept.
TEST_F(ConfigE2E, BindMountedFileKeepsTheIdentifierAcrossStarts) {
    std::string outside = sb_->root + "/mounted-config.json";
    sb_->write(outside, "{\"site\": \"kept\"}", 0600);
    write_config("");
    ASSERT_EQ(mount(outside.c_str(), FIXED_CONFIG, nullptr, MS_BIND, nullptr), 0);
    e2e::scope_guard unmount([] { umount2(FIXED_CONFIG, MNT_DETACH); });
    std::string ids[2];
    for (std::string &id : ids) {
        ASSERT_EQ(start_status(), -1) << d_->log();
        json_ptr conf(json_load_file(outside.c_str(), 0, nullptr));
        const char *uuid = json_string_value(json_object_get(conf.get(), "tuvodUUID"));
        ASSERT_NE(uuid, nullptr) << e2e::read_file(outside) << d_->log();
        id = uuid;
        EXPECT_NE(d_->log().find("Start-up complete for tuvod instance " + id), std::string::npos);
        stop();
    }
    EXPECT_EQ(ids[0], ids[1]);
    json_ptr conf(json_load_file(outside.c_str(), 0, nullptr));
    EXPECT_STREQ(json_string_value(json_object_get(conf.get(), "site")), "kept");
}

TEST_F(ConfigE2E, SymbolicLinkRefusesStartUp) {
    std::string real = sb_->conf_dir + "/real.json";
    sb_->write(real, "{}", 0600);
    ASSERT_EQ(symlink(real.c_str(), sb_->config_path().c_str()), 0);
    EXPECT_EQ(start_status(), 1);
    EXPECT_NE(d_->log().find(std::string("Unable to open configuration file ") + FIXED_CONFIG), std::string::npos)
        << d_->log();
    EXPECT_NE(d_->log().find("Failed to load configuration"), std::string::npos);
    EXPECT_EQ(e2e::read_file(real), "{}");
}

TEST_F(ConfigE2E, UnbindableAddressIsLoggedAndSkipped) {
    // 192.0.2.1 is on no interface here; 5 is not an address at all.
    write_config(R"({"bindAddrs": ["192.0.2.1", 5], "site": "kept"})");
    ASSERT_EQ(start_status({"-f", "-v"}), -1) << d_->log();
    std::string log = d_->log();
    EXPECT_NE(log.find("Failed to bind tcp://[192.0.2.1]:5557"), std::string::npos) << log;
    EXPECT_NE(log.find("Router bound to tcp://[127.0.0.1]:5557"), std::string::npos) << log;
    EXPECT_NE(log.find("Ignoring bindAddrs element 1"), std::string::npos) << log;
    EXPECT_TRUE(answers_on("tcp://127.0.0.1:5557"));
    EXPECT_EQ(bind_addrs(), (std::vector<std::string>{"192.0.2.1", "<not a string>", "127.0.0.1"}));
    EXPECT_STREQ(json_string_value(json_object_get(config().get(), "site")), "kept");
    stop();
}

TEST_F(ConfigE2E, NoBindableAddressRefusesStartUp) {
    // Someone else holds the loopback port, and the other address is foreign.
    unique_fd holder(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(holder);
    struct sockaddr_in sin {};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(5557);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder.get(), reinterpret_cast<struct sockaddr *>(&sin), sizeof sin), 0);
    ASSERT_EQ(listen(holder.get(), 1), 0);
    write_config(R"({"bindAddrs": ["192.0.2.1"]})");

    EXPECT_EQ(start_status(), 1);
    EXPECT_NE(d_->log().find("Failed to bind any listeners"), std::string::npos) << d_->log();
    EXPECT_NE(d_->log().find("Unable to initialise the message router"), std::string::npos);
}

TEST_F(ConfigE2E, ManagementInterfaceAddressIsADefault) {
    // A dummy interface where the kernel has the module, else one end of a
    // veth pair (with its peer up, so the link has carrier).
    ASSERT_EQ(system("{ ip link add clmgmt0 type dummy 2>/dev/null ||"
                     " { ip link add clmgmt0 type veth peer name clmgmt0peer && ip link set clmgmt0peer up; }; } &&"
                     " ip addr add 10.9.8.7/24 dev clmgmt0 && ip link set clmgmt0 up"),
              0);
    ASSERT_EQ(start_status(), -1) << d_->log();
    EXPECT_EQ(bind_addrs(), (std::vector<std::string>{"127.0.0.1", "10.9.8.7"}));
    EXPECT_TRUE(answers_on("tcp://10.9.8.7:5557"));
    stop();
}

} // namespace

namespace {

// A key that guards access read as absent would open what it closes: a
// value of the wrong type refuses the start, naming the key, and the file
// is left as it is.
TEST_F(ConfigE2E, WrongTypeInAKeyThatGuardsAccessRefusesStartUp) {
    const std::string text = "{\"tls\": {\"bindAddrs\": [\"127.0.0.1\"], \"cleartextLoopbackOnly\": \"true\"}}";
    sb_->write(sb_->config_path(), text, 0600);
    EXPECT_EQ(start_status(), 1);
    EXPECT_NE(d_->log().find("Configuration key \"tls.cleartextLoopbackOnly\" must be true or false\n"),
              std::string::npos)
        << d_->log();
    EXPECT_NE(d_->log().find("Failed to load configuration"), std::string::npos);
    EXPECT_EQ(e2e::read_file(sb_->config_path()), text);
    EXPECT_NE(access((sb_->config_path() + ".last-good").c_str(), F_OK), 0);
}

// Each start whose file parses keeps it as the last good copy; an empty
// file is restored from it, with the same identifier.
TEST_F(ConfigE2E, LastGoodCopyIsKeptAndRestoresAnEmptiedFile) {
    ASSERT_EQ(start_status(), -1) << d_->log();
    stop();
    const std::string good = e2e::read_file(sb_->config_path());
    const std::string copy = sb_->config_path() + ".last-good";
    EXPECT_EQ(e2e::read_file(copy), good);
    struct stat st {};
    ASSERT_EQ(stat(copy.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    sb_->write(sb_->config_path(), "", 0600);
    ASSERT_EQ(start_status(), -1) << d_->log();
    EXPECT_NE(d_->log().find(std::string("Config file ") + FIXED_CONFIG +
                             " is empty; restored from the last good copy " + FIXED_CONFIG + ".last-good"),
              std::string::npos)
        << d_->log();
    EXPECT_EQ(e2e::read_file(sb_->config_path()), good);
    stop();
}

} // namespace
