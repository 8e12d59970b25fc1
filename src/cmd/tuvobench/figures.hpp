// One function per measurement. Each checks every reply it gets and counts
// the wrong ones in the context; none of them judges a time.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client.hpp"
#include "probe.hpp"

namespace bench {

// How a measurement reaches the daemon: cleartext (nanomsg) or TLS (nng).
enum class transport { cleartext, tls };

struct context {
    std::string endpoint = "tcp://127.0.0.1:5557";
    std::string tls_endpoint = "tls+tcp://127.0.0.1:5558";
    tls_files tls;
    std::string echo_endpoint = "tcp://127.0.0.1:5599";
    std::string echo_path;  // prints "hello"
    std::string bytes_path; // writes $1 bytes of text
    std::string db_path;
    std::string trace_file;
    pid_t daemon_pid = -1;
    int timeout_ms = 30000;

    // Records a wrong reply; the first few are kept for the report.
    void wrong(const std::string &what);
    unsigned wrong_count() const { return wrong_.load(); }
    std::vector<std::string> wrong_samples() const;

  private:
    std::atomic<unsigned> wrong_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> samples_;
};

// A client of the daemon over t.
std::unique_ptr<rt_client> connect(const context &ctx, transport t);

// Latencies are in milliseconds, rates in commands per second.
std::vector<double> floor_sequential(context &ctx, unsigned n);
std::vector<double> execute_sequential(context &ctx, unsigned n, transport t = transport::cleartext);
std::vector<double> legacy_sequential(context &ctx, unsigned n);
double floor_parallel(context &ctx, unsigned threads, unsigned per_thread);

struct parallel_result {
    double rate = 0;
    unsigned not_complete = 0; // replies missing or not in state COMPLETE
};
parallel_result execute_parallel(context &ctx, unsigned clients, unsigned per_client,
                                 transport t = transport::cleartext);

// Bare REQ/REP echo round trips, `get` round trips of unknown ids, and round trips of an
// operation that does not exist (transport and error reply, no database), alternating in blocks.
void round_trips(context &ctx, unsigned n, std::vector<double> &echo, std::vector<double> &get,
                 std::vector<double> &bad_op);
// The same `get` and unknown-operation round trips over TLS, alternating in the same blocks.
// Over TLS, and the same gets in cleartext through the same client library
// (clear_get), so that the two differ only in TLS.
void tls_round_trips(context &ctx, unsigned n, std::vector<double> &get, std::vector<double> &bad_op,
                     std::vector<double> &clear_get);
// Gets over TLS and in cleartext through one OpenSSL client (sslclient.hpp).
void openssl_round_trips(context &ctx, unsigned n, std::vector<double> &tls_get, std::vector<double> &clear_get);

// Latencies of a 4 KiB append plus fdatasync on the database's file system (appends, as
// the write-ahead log and the execution log make them): the price of one durable write on
// this disk, measured beside the commands that pay it.
std::vector<double> sync_floor(context &ctx, unsigned n);

struct async_result {
    double submit_s = 0, total_s = 0; // until all were started; until all were collected
    unsigned not_complete = 0;
};
async_result async_collect(context &ctx, unsigned n);

// Round trips of `list` with no patterns; entries receives the size of the last answer.
std::vector<double> list_all(context &ctx, unsigned n, size_t &entries);

// Rows written before the daemon starts: finished commands of a script that does not exist.
bool preload_rows(const std::string &db_path, unsigned n, const std::string &name);
// Rows whose NAME is not `except`; negative when the database cannot be read.
long count_rows(const std::string &db_path, const std::string &except);

struct big_output_result {
    double wall_s = 0, floor_s = 0;
    long rss_before_kib = 0, peak_kib = 0;
    size_t bytes = 0, kept = 0; // written by the script; returned (after the output limit)
};
big_output_result big_output(context &ctx, size_t bytes);

// Disk syncs seen by strace while n synchronous executes run.
bool count_syncs(context &ctx, unsigned n, sync_count &out);

// Daemon CPU seconds (all threads) over an idle period.
double idle_cpu(context &ctx, int seconds);

// The daemon's resident memory per open connection, in KiB: n connections
// that only sent the protocol header, then the same n each holding half of
// a 64 KiB request.
struct connection_memory_result {
    double idle_kib = 0, holding_kib = 0;
    unsigned opened = 0;
};
connection_memory_result connection_memory(context &ctx, unsigned n);

} // namespace bench
