// Cleartext callers on the appliance are named by the owner of their
// socket: a local user other than root sees, gets, clears and cancels only
// what it started itself, and root sees and may cancel every record.
#include <string>

#include "harness.hpp"

namespace {

constexpr uid_t USER_A = 65534; // nobody
constexpr uid_t USER_B = 65533;

class LocalScope : public e2e::DaemonTest {
  protected:
    json_ptr request(const std::string &op, json_t *args, const std::string &id) {
        return json_ptr(json_pack("{s:s, s:s, s:s, s:o}", "requestUUID", id.c_str(), "authority", "test", "op",
                                  op.c_str(), "args", args));
    }
    json_ptr as(uid_t uid, const std::string &op, json_t *args, const std::string &id = e2e::new_uuid()) {
        json_ptr req = request(op, args, id);
        return e2e::request_as(uid, req.get());
    }
    static json_t *list_args() { return json_pack("{s:s, s:s}", "cmd", "%", "state", "%"); }
    static json_t *peek_args() { return json_pack("{s:[s], s:b}", "properties", "state", "peek", 1); }
    static bool lists(const json_ptr &r, const std::string &id) {
        return json_object_get(e2e::result_of(r), id.c_str()) != nullptr;
    }
};

} // namespace

TEST_F(LocalScope, LocalUsersSeeTheirOwnRecordsAndRootSeesEvery) {
    std::string gate = sb_->root + "/gate";
    std::string exe = sb_->add_script(
        {.name = "waiter", .body = "while [ ! -e " + gate + " ]; do sleep 0.05; done", .timeout = 60});
    start({"-f", "-v"});
    std::string mine = e2e::new_uuid(), roots = e2e::new_uuid();
    json_ptr started = as(USER_A, "execute", e2e::exec_args({exe}, true).release(), mine);
    ASSERT_EQ(e2e::state_of(started), "RUNNING") << e2e::text_of(started);
    e2e::Client root;
    ASSERT_EQ(e2e::state_of(e2e::exec(root, {exe}, true, roots)), "RUNNING");
    EXPECT_TRUE(d_->wait_for_log("for local:uid=65534 (request")) << d_->log();

    // The user who started it, and no one else but root.
    json_ptr own = as(USER_A, "list", list_args());
    EXPECT_TRUE(lists(own, mine)) << e2e::text_of(own);
    EXPECT_FALSE(lists(own, roots)) << "a local user sees root's records";
    json_ptr other = as(USER_B, "list", list_args());
    EXPECT_FALSE(lists(other, mine)) << e2e::text_of(other);
    EXPECT_NE(e2e::first_error(as(USER_B, "get", peek_args(), mine)).find("Unable to get " + mine), std::string::npos);
    EXPECT_NE(e2e::first_error(as(USER_B, "clear", json_pack("{s:b}", "force", 1), mine)).find("Unable to delete"),
              std::string::npos);
    json_ptr cancel = as(USER_B, "cancel", json_pack("{s:s, s:s}", "cmd", mine.c_str(), "authority", "test"));
    EXPECT_NE(e2e::first_error(cancel).find("No command " + mine + " to cancel"), std::string::npos)
        << e2e::text_of(cancel);
    EXPECT_EQ(e2e::state_of(as(USER_A, "get", peek_args(), mine)), "RUNNING");

    // Root on the appliance sees both and may cancel the user's run.
    json_ptr all = root.call("list", list_args());
    EXPECT_TRUE(lists(all, mine) && lists(all, roots)) << e2e::text_of(all);
    json_ptr cancelled = root.call("cancel", json_pack("{s:s, s:s}", "cmd", mine.c_str(), "authority", "test"));
    EXPECT_EQ(e2e::first_error(cancelled), "") << e2e::text_of(cancelled);
    sb_->write(gate, "");
    EXPECT_TRUE(e2e::wait_until([&] { return e2e::state_of(as(USER_A, "get", peek_args(), mine)) == "DIED"; }, 20000));
}
