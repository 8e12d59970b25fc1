// Endpoint lists on a real nng socket (in-process transport, so tests
// never compete for TCP ports). Whether an endpoint is still bound is seen
// from outside: a second socket can bind its URL only once it is free.
#include <gtest/gtest.h>
#include <nng/nng.h>
#include <nng/protocol/reqrep0/rep.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "binding.hpp"
#include "log_sandbox.hpp"

namespace {

class BindingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(nng_rep0_open_raw(&sock_), 0);
    }
    void TearDown() override {
        destroy_all_bindings(&bindings_, sock_, true);
        nng_close(sock_);
    }

    std::string url(const std::string &name) const {
        return "inproc://binding-test-" + std::to_string(getpid()) + "-" + name;
    }
    std::vector<std::string> urls() const {
        std::vector<std::string> out;
        for (tuvod_binding_t *b = bindings_; b != nullptr; b = b->next)
            out.push_back(b->binding_url);
        return out;
    }
    // True when another socket can bind the URL, i.e. nobody holds it.
    static bool url_is_free(const std::string &u) {
        nng_socket other;
        if (nng_rep0_open(&other) != 0)
            return false;
        bool ok = nng_listen(other, u.c_str(), nullptr, 0) == 0;
        nng_close(other);
        return ok;
    }
    bool logged(const std::string &text) const { return sandbox_.raw().find(text) != std::string::npos; }

    log_sandbox sandbox_;
    nng_socket sock_ = NNG_SOCKET_INITIALIZER;
    tuvod_binding_t *bindings_ = nullptr;
};

TEST_F(BindingTest, NewestBindingComesFirstAndDuplicatesAreRefused) {
    const std::string a = url("a"), b = url("b");
    ASSERT_EQ(add_binding_for_url(&bindings_, sock_, a.c_str()), 0);
    ASSERT_EQ(add_binding_for_url(&bindings_, sock_, b.c_str()), 0);
    EXPECT_EQ(urls(), (std::vector<std::string>{b, a}));
    EXPECT_GT(nng_listener_id(bindings_->binding_epid), 0);
    EXPECT_FALSE(url_is_free(a));

    EXPECT_EQ(add_binding_for_url(&bindings_, sock_, a.c_str()), -1);
    EXPECT_TRUE(logged("Already bound to " + a + "\n"));
    EXPECT_FALSE(logged("Failed to bind"));
    EXPECT_EQ(urls(), (std::vector<std::string>{b, a}));
}

TEST_F(BindingTest, RefusedUrlLeavesTheListUnchanged) {
    const std::string a = url("a");
    ASSERT_EQ(add_binding_for_url(&bindings_, sock_, a.c_str()), 0);
    for (const char *bad : {"tcp://[no-such-address]:5557", "bogus://x", "tcp://[192.0.2.1]:5557"}) {
        EXPECT_EQ(add_binding_for_url(&bindings_, sock_, bad), -1) << bad;
        EXPECT_TRUE(logged(std::string("Failed to bind ") + bad + "\n")) << bad;
    }
    EXPECT_EQ(urls(), (std::vector<std::string>{a}));
}

TEST_F(BindingTest, RemovingOneUrlUnbindsOnlyThatEndpoint) {
    const std::string a = url("a"), b = url("b"), c = url("c");
    for (const std::string &u : {a, b, c})
        ASSERT_EQ(add_binding_for_url(&bindings_, sock_, u.c_str()), 0);

    EXPECT_EQ(destroy_binding_for_url(&bindings_, sock_, b.c_str(), true), 0);
    EXPECT_EQ(urls(), (std::vector<std::string>{c, a}));
    EXPECT_TRUE(url_is_free(b));
    EXPECT_FALSE(url_is_free(a));

    EXPECT_EQ(destroy_binding_for_url(&bindings_, sock_, b.c_str(), true), -1);
    EXPECT_TRUE(logged("No binding for " + b + " exists\n"));
    EXPECT_EQ(urls(), (std::vector<std::string>{c, a}));
}

TEST_F(BindingTest, RemovingAllWithOrWithoutUnbinding) {
    const std::string a = url("a"), b = url("b");
    ASSERT_EQ(add_binding_for_url(&bindings_, sock_, a.c_str()), 0);
    destroy_all_bindings(&bindings_, sock_, false);
    EXPECT_EQ(bindings_, nullptr);
    EXPECT_FALSE(url_is_free(a)); // not unbound: closing the socket takes its endpoints

    ASSERT_EQ(add_binding_for_url(&bindings_, sock_, b.c_str()), 0);
    destroy_all_bindings(&bindings_, sock_, true);
    EXPECT_EQ(bindings_, nullptr);
    EXPECT_TRUE(url_is_free(b));
}

TEST_F(BindingTest, RemovingAllEmptiesTheListEvenWhenUnbindingFails) {
    const std::string a = url("a"), b = url("b");
    ASSERT_EQ(add_binding_for_url(&bindings_, sock_, a.c_str()), 0);
    ASSERT_EQ(add_binding_for_url(&bindings_, sock_, b.c_str()), 0);
    bindings_->binding_epid = nng_listener{9999}; // an endpoint the socket does not have
    destroy_all_bindings(&bindings_, sock_, true);
    EXPECT_EQ(bindings_, nullptr);
    EXPECT_TRUE(logged("Failed to shutdown binding for " + b + " - "));
    EXPECT_TRUE(url_is_free(a));
}

} // namespace
