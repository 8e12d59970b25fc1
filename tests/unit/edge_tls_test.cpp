// The TLS listener: who may connect, under which identity, and revocation.
#include <sys/stat.h>

#include "edge_fixture.hpp"

namespace edge_test {
namespace {

class EdgeTls : public EdgeTest {
  protected:
    static void SetUpTestSuite() {
        EdgeTest::SetUpTestSuite();
        ASSERT_TRUE(make_client_cert(certs_, "carol", {"carol"}));
        ASSERT_TRUE(make_client_cert(certs_, "cn64", {std::string(64, 'l')}));
        ASSERT_TRUE(make_client_cert(certs_, "cn65", {std::string(65, 'l')}));
        ASSERT_TRUE(make_client_cert(certs_, "twocn", {"alice", "bob"}));
        ASSERT_TRUE(make_client_cert(certs_, "ctl", {std::string("ali\x01" "ce")}));
        ASSERT_TRUE(make_client_cert(certs_, "c1", {std::string("ali\xc2\x85" "ce")}));
        ASSERT_TRUE(make_client_cert(certs_, "newline", {std::string("alice\nINFO: forged")}));
        ASSERT_TRUE(make_client_cert(certs_, "utf8", {std::string("J\xc3\xb8rn")}));
    }

    // The identity under which a request from who's certificate arrives;
    // none when the connection is refused.
    std::optional<std::string> identity_of(const std::string &who) {
        tls_client c(certs_, who);
        if (!c.connect(tls_port_))
            return std::nullopt;
        auto r = c.call("x");
        if (r && r->ends_with("|x"))
            return r->substr(0, r->size() - 2);
        return r;
    }
};

TEST_F(EdgeTls, CertificateCNsThatCannotBeIdentitiesAreRefused) {
    std::atomic<int> delivered{0};
    handler_ = [&](edge::request &r) {
        ++delivered;
        r.token.reply(r.identity + "|" + r.body);
    };
    start(true);
    EXPECT_EQ(identity_of("alice"), "tls:alice");
    EXPECT_EQ(identity_of("cn64"), "tls:" + std::string(64, 'l'));
    EXPECT_EQ(identity_of("utf8"), "tls:J\xc3\xb8rn");
    for (const char *who : {"cn65", "twocn", "ctl", "c1", "newline", "nocn", "mallory", "old", ""})
        EXPECT_EQ(identity_of(who), std::nullopt) << who;
    EXPECT_EQ(delivered, 3);
}

TEST_F(EdgeTls, RevokedCertificatesAreRefusedAndTheListReloads) {
    std::string crl = certs_ + "/clients.crl";
    ASSERT_TRUE(make_crl(certs_, crl, {"bob"}));
    files_.crl = crl;
    srv_ = std::make_unique<edge::server>(lim_);
    std::string err;
    files_.cert = certs_ + "/server.pem";
    files_.key = certs_ + "/server.key";
    files_.ca = certs_ + "/ca.pem";
    tls_ = edge::tls_server::create(files_, &err);
    ASSERT_TRUE(tls_) << err;
    ASSERT_TRUE(srv_->listen("127.0.0.1", 0, tls_, &tls_port_, &err)) << err;
    srv_->start();
    add_workers(1);

    EXPECT_EQ(identity_of("alice"), "tls:alice");
    EXPECT_EQ(identity_of("bob"), std::nullopt);

    ASSERT_TRUE(make_crl(certs_, crl, {"bob", "alice"}));
    ASSERT_TRUE(tls_->reload_crl(&err)) << err;
    EXPECT_EQ(identity_of("alice"), std::nullopt);
    EXPECT_EQ(identity_of("carol"), "tls:carol");

    // A list that cannot be read, or that another CA signed, keeps the last good one.
    ASSERT_TRUE(make_crl(certs_, crl, {}, "otherca"));
    EXPECT_FALSE(tls_->reload_crl(&err));
    EXPECT_NE(err.find("not signed by a CA"), std::string::npos) << err;
    ASSERT_EQ(unlink(crl.c_str()), 0);
    EXPECT_FALSE(tls_->reload_crl(&err));
    EXPECT_NE(err.find("cannot open TLS CRL file"), std::string::npos) << err;
    EXPECT_EQ(identity_of("alice"), std::nullopt);
    EXPECT_EQ(identity_of("bob"), std::nullopt);
    EXPECT_EQ(identity_of("carol"), "tls:carol");
}

TEST_F(EdgeTls, UnsafeOrMismatchedFilesAreRefused) {
    edge::tls_files f{certs_ + "/server.pem", certs_ + "/server.key", certs_ + "/ca.pem", ""};
    std::string err;
    EXPECT_TRUE(edge::tls_server::create(f, &err)) << err;

    std::string loose = certs_ + "/loose.key";
    ASSERT_TRUE(isolation::write_file(loose, isolation::read_file(f.key), 0644));
    chmod(loose.c_str(), 0644);
    edge::tls_files g = f;
    g.key = loose;
    EXPECT_FALSE(edge::tls_server::create(g, &err));
    EXPECT_NE(err.find("must be 0600 or stricter"), std::string::npos) << err;

    g = f;
    g.key = certs_ + "/alice.key";
    EXPECT_FALSE(edge::tls_server::create(g, &err));
    EXPECT_NE(err.find("does not match"), std::string::npos) << err;

    g = f;
    g.ca = certs_ + "/missing.pem";
    EXPECT_FALSE(edge::tls_server::create(g, &err));
    EXPECT_NE(err.find("cannot open TLS CA file"), std::string::npos) << err;

    g = f;
    g.crl = certs_ + "/alice.pem"; // PEM, but no CRL in it
    EXPECT_FALSE(edge::tls_server::create(g, &err));
    EXPECT_NE(err.find("holds no PEM CRL"), std::string::npos) << err;
}

// Another implementation's TLS client talks to the listener as before.
TEST_F(EdgeTls, NngcatSpeaksTls) {
    if (std::system("command -v nngcat >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "nngcat (nng-utils) is not installed";
    start(true);
    std::string out = certs_ + "/nngcat.out";
    std::string cmd = "timeout 20 nngcat --req --dial tls+tcp://localhost:" + std::to_string(tls_port_) +
                      " --cert " + certs_ + "/alice.pem --key " + certs_ + "/alice.key --cacert " + certs_ +
                      "/ca.pem --recv-timeout 10 --raw --data hello >" + out + " 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(isolation::read_file(out), "tls:alice|hello");
}

} // namespace
} // namespace edge_test
