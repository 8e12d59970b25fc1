// A network edge server under test, with worker threads that run a
// test-chosen handler, and the certificates of its TLS listener.
#pragma once

#include <gtest/gtest.h>
#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "edge.hpp"
#include "edge_peers.hpp"
#include "isolation.hpp"

namespace edge_test {

// A nanomsg REQ socket: the peer most clients are.
class nn_client {
  public:
    explicit nn_client(uint16_t port, int timeout_ms = 10000) : s_(nn_socket(AF_SP, NN_REQ)) {
        nn_setsockopt(s_, NN_SOL_SOCKET, NN_RCVTIMEO, &timeout_ms, sizeof timeout_ms);
        nn_setsockopt(s_, NN_SOL_SOCKET, NN_SNDTIMEO, &timeout_ms, sizeof timeout_ms);
        std::string url = "tcp://127.0.0.1:" + std::to_string(port);
        nn_connect(s_, url.c_str());
    }
    ~nn_client() { nn_close(s_); }
    nn_client(const nn_client &) = delete;
    nn_client &operator=(const nn_client &) = delete;

    std::optional<std::string> call(const std::string &body) {
        if (nn_send(s_, body.data(), body.size(), 0) < 0)
            return std::nullopt;
        char *buf = nullptr;
        int n = nn_recv(s_, &buf, NN_MSG, 0);
        if (n < 0)
            return std::nullopt;
        std::string out(buf, static_cast<size_t>(n));
        nn_freemsg(buf);
        return out;
    }

  private:
    int s_;
};

class EdgeTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/edge-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        certs_ = tmpl;
        ASSERT_TRUE(isolation::make_certificates(certs_));
    }
    static void TearDownTestSuite() {
        std::error_code ec;
        std::filesystem::remove_all(certs_, ec);
    }

    void TearDown() override { stop(); }

    // Starts the server: a cleartext listener (port_) and, with tls, a TLS
    // one (tls_port_); n workers run handler_.
    void start(bool tls = false, int n = 1) {
        srv_ = std::make_unique<edge::server>(lim_);
        std::string err;
        ASSERT_TRUE(srv_->listen("127.0.0.1", 0, nullptr, &port_, &err)) << err;
        if (tls) {
            files_.cert = certs_ + "/server.pem";
            files_.key = certs_ + "/server.key";
            files_.ca = certs_ + "/ca.pem";
            tls_ = edge::tls_server::create(files_, &err);
            ASSERT_TRUE(tls_) << err;
            ASSERT_TRUE(srv_->listen("127.0.0.1", 0, tls_, &tls_port_, &err)) << err;
        }
        if (fast_)
            srv_->set_fast_path(fast_);
        srv_->start();
        add_workers(n);
    }
    void add_workers(int n) {
        for (int i = 0; i < n; ++i)
            workers_.emplace_back([this] {
                while (run_) {
                    if (auto r = srv_->take(std::chrono::milliseconds(50)))
                        handler_(*r);
                }
            });
    }
    void stop() {
        if (!srv_)
            return;
        halt_workers();
        srv_->finish(std::chrono::seconds(5));
        srv_.reset();
    }
    // The first half of an orderly stop: reading stops, held handlers are
    // let go and the workers end; replies may still be flushed.
    void halt_workers() {
        srv_->stop_reading();
        release();
        run_ = false;
        for (auto &t : workers_)
            t.join();
        workers_.clear();
    }

    // A gate handlers can wait at (bounded) until the test opens it.
    bool wait_gate() {
        std::unique_lock<std::mutex> lock(gate_mutex_);
        return gate_cv_.wait_for(lock, std::chrono::seconds(30), [this] { return gate_open_; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(gate_mutex_);
        gate_open_ = true;
        gate_cv_.notify_all();
    }
    edge::counters counts() const { return srv_->snapshot(); }

    static inline std::string certs_;
    edge::limits lim_;
    edge::tls_files files_;
    std::shared_ptr<edge::tls_server> tls_;
    std::unique_ptr<edge::server> srv_;
    uint16_t port_ = 0, tls_port_ = 0;
    edge::fast_path_fn fast_;
    // Echoes the identity and the body.
    std::function<void(edge::request &)> handler_ = [](edge::request &r) {
        r.token.reply(r.identity + "|" + r.body);
    };
    std::atomic<bool> run_{true};
    std::vector<std::thread> workers_;
    std::mutex gate_mutex_;
    std::condition_variable gate_cv_;
    bool gate_open_ = false;
};

} // namespace edge_test
