// tuvobench: measures what the daemon costs over running a script directly.
//
// It starts the real daemon in a sandbox (private namespaces, bind-mounted
// directories, its own cgroup; see sandbox.hpp) with 8 workers, and runs
// alternating rounds: in each round the direct-run floor and the daemon are
// measured back to back, so every ratio compares figures taken under the
// same load on a shared, noisy machine. The per-round figures are printed
// with their medians, then the one-off figures (large output, disk syncs,
// idle CPU). The daemon also listens with TLS; each round repeats the
// execute and round-trip measurements over TLS right after the cleartext
// ones, so the two are compared under the same load. Times are reported, never judged: the exit status is non-zero
// only when a reply was wrong.
#include <getopt.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "client.hpp"
#include "figures.hpp"
#include "floor.hpp"
#include "report.hpp"
#include "sandbox.hpp"
#include "stats.hpp"

namespace {

struct options {
    unsigned rounds = 5;
    unsigned sequential = 300;  // executes per round, each path
    unsigned per_client = 60;   // executes per client per round, 8 clients
    unsigned round_trips = 300; // echo and get round trips per round
    unsigned async = 1000;
    unsigned list_rows = 10000;
    unsigned list_calls = 5;
    unsigned long big_bytes = 100ul * 1000 * 1000;
    unsigned sync_commands = 100;
    int idle_seconds = 10;
    bool keep = false;
    std::string binary = TUVOD_BINARY;
};

const char *const LIST_FILL_NAME = "bench-listfill";
const unsigned CLIENTS = 8;

void usage() {
    std::fprintf(stderr,
                 "Usage: tuvobench [-r rounds] [-n sequential] [-c per-client] [-a async]\n"
                 "                 [-t round-trips] [-l list-rows] [-b output-bytes] [-s sync-commands] [-i idle-s] [-k]\n"
                 "                 [-D daemon-binary]\n"
                 "  -k keeps the sandbox directory (database, logs, strace output)\n");
}

bool parse_options(int argc, char **argv, options &o) {
    int c;
    while ((c = getopt(argc, argv, "r:n:c:a:t:l:b:s:i:kD:h")) != -1) {
        if (c == 'D') {
            o.binary = optarg;
            continue;
        }
        char *end = nullptr;
        unsigned long v = optarg != nullptr ? std::strtoul(optarg, &end, 10) : 0;
        if (optarg != nullptr && (*end != '\0' || v == 0))
            return false;
        switch (c) {
        case 'r': o.rounds = static_cast<unsigned>(std::max(3ul, v)); break;
        case 'n': o.sequential = static_cast<unsigned>(v); break;
        case 'c': o.per_client = static_cast<unsigned>(v); break;
        case 'a': o.async = static_cast<unsigned>(v); break;
        case 't': o.round_trips = static_cast<unsigned>(v); break;
        case 'l': o.list_rows = static_cast<unsigned>(v); break;
        case 'b': o.big_bytes = v; break;
        case 's': o.sync_commands = static_cast<unsigned>(v); break;
        case 'i': o.idle_seconds = static_cast<int>(v); break;
        case 'k': o.keep = true; break;
        default: return false;
        }
    }
    return optind == argc;
}

void progress(const std::string &what) {
    std::fflush(stdout);
    std::fprintf(stderr, "tuvobench: %s\n", what.c_str());
    std::fflush(stderr);
}

__attribute__((format(printf, 1, 2))) std::string fmt(const char *f, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, f);
    std::vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

struct round_figures {
    bench::row floor_p50{"direct run p50", "ms", {}};
    bench::row exec_p50{"execute p50", "ms", {}};
    bench::row exec_p90{"execute p90", "ms", {}};
    bench::row exec_p99{"execute p99", "ms", {}};
    bench::row exec_mean{"execute mean", "ms", {}};
    bench::row exec_cpu{"daemon CPU per execute", "ms", {}};
    bench::row tls_exec_p50{"execute over TLS p50", "ms", {}};
    bench::row tls_exec_p99{"execute over TLS p99", "ms", {}};
    bench::row tls_exec_mean{"execute over TLS mean", "ms", {}};
    bench::row tls_exec_ratio{"TLS execute p50 / execute p50", "x", {}};
    bench::row exec_ratio{"execute p50 / direct p50", "x", {}};
    bench::row mean_ratio{"execute mean / p50", "x", {}};
    bench::row tail_ratio{"execute p99 / p50", "x", {}};
    bench::row legacy_p50{"legacy p50", "ms", {}};
    bench::row legacy_mean{"legacy mean", "ms", {}};
    bench::row legacy_ratio{"legacy p50 / direct p50", "x", {}};
    bench::row echo_p50{"bare REQ/REP echo p50", "ms", {}};
    bench::row get_p50{"get of unknown id p50", "ms", {}};
    bench::row get_ratio{"get p50 / echo p50", "x", {}};
    bench::row tls_get_p50{"get over TLS p50", "ms", {}};
    bench::row tls_get_ratio{"TLS get p50 / get p50", "x", {}};
    bench::row nng_get_p50{"get, TLS client in cleartext p50", "ms", {}};
    bench::row tls_nng_ratio{"TLS get / same client cleartext", "x", {}};
    bench::row ossl_tls_p50{"get over TLS, OpenSSL client p50", "ms", {}};
    bench::row ossl_clear_p50{"get, OpenSSL client cleartext p50", "ms", {}};
    bench::row ossl_ratio{"OpenSSL client: TLS / cleartext", "x", {}};
    bench::row bad_op_p50{"unknown operation p50", "ms", {}};
    bench::row tls_bad_op_p50{"unknown operation over TLS p50", "ms", {}};
    bench::row sync_p50{"4 KiB append + fdatasync p50", "ms", {}};
    bench::row floor_rate{"direct runs, 8 threads", "cmd/s", {}};
    bench::row exec_rate{"execute, 8 clients", "cmd/s", {}};
    bench::row rate_ratio{"8 clients / 8-thread direct", "x", {}};
    bench::row tls_exec_rate{"execute over TLS, 8 clients", "cmd/s", {}};
    bench::row tls_rate_ratio{"8 TLS clients / 8 clients", "x", {}};
    bench::row not_complete{"8 clients: replies not COMPLETE", "count", {}};
    bench::row leftover{"rows left after 8 clients", "count", {}};
    bench::row async_submit{"async executes: all started", "s", {}};
    bench::row async_total{"async executes: all collected", "s", {}};
    bench::row list_p50{"list over all records p50", "ms", {}};
    bench::row list_entries{"list: records returned", "count", {}};

    std::vector<bench::row> all() const {
        return {floor_p50,     exec_p50,      exec_p90,       exec_p99,       exec_mean,      exec_cpu,       tls_exec_p50,
                tls_exec_p99,  tls_exec_mean, tls_exec_ratio, exec_ratio,     mean_ratio,     tail_ratio,
                legacy_p50,    legacy_mean,   legacy_ratio,   echo_p50,       get_p50,        get_ratio,
                tls_get_p50,   tls_get_ratio, nng_get_p50, tls_nng_ratio, ossl_tls_p50, ossl_clear_p50, ossl_ratio, bad_op_p50,     tls_bad_op_p50, sync_p50,       floor_rate,
                exec_rate,     rate_ratio,    tls_exec_rate,  tls_rate_ratio, not_complete,   leftover,
                async_submit,  async_total,   list_p50,       list_entries};
    }
};

void run_round(bench::context &ctx, const options &o, unsigned r, round_figures &f) {
    progress("round " + std::to_string(r + 1) + ": sequential");
    // Alternate the order so a drift within the round favours neither side.
    std::vector<double> floor, exec, legacy;
    // The CPU time of the daemon's own threads per execute (a child's, even
    // before its exec, is the child's): steadier than wall time on a
    // shared machine.
    double cpu_before = 0, cpu_after = 0;
    auto timed_exec = [&] {
        cpu_before = bench::cpu_seconds(ctx.daemon_pid);
        exec = bench::execute_sequential(ctx, o.sequential);
        cpu_after = bench::cpu_seconds(ctx.daemon_pid);
    };
    if (r % 2 == 0) {
        floor = bench::floor_sequential(ctx, o.sequential);
        timed_exec();
        legacy = bench::legacy_sequential(ctx, o.sequential);
    } else {
        legacy = bench::legacy_sequential(ctx, o.sequential);
        timed_exec();
        floor = bench::floor_sequential(ctx, o.sequential);
    }
    f.exec_cpu.rounds.push_back(1000.0 * (cpu_after - cpu_before) / o.sequential);
    auto fl = bench::summarise(floor), ex = bench::summarise(exec), lg = bench::summarise(legacy);
    f.floor_p50.rounds.push_back(fl.p50);
    f.exec_p50.rounds.push_back(ex.p50);
    f.exec_p90.rounds.push_back(ex.p90);
    f.exec_p99.rounds.push_back(ex.p99);
    f.exec_mean.rounds.push_back(ex.mean);
    f.exec_ratio.rounds.push_back(ex.p50 / fl.p50);
    f.mean_ratio.rounds.push_back(ex.mean / ex.p50);
    f.tail_ratio.rounds.push_back(ex.p99 / ex.p50);
    f.legacy_p50.rounds.push_back(lg.p50);
    f.legacy_mean.rounds.push_back(lg.mean);
    f.legacy_ratio.rounds.push_back(lg.p50 / fl.p50);
    auto tls = bench::summarise(bench::execute_sequential(ctx, o.sequential, bench::transport::tls));
    f.tls_exec_p50.rounds.push_back(tls.p50);
    f.tls_exec_p99.rounds.push_back(tls.p99);
    f.tls_exec_mean.rounds.push_back(tls.mean);
    f.tls_exec_ratio.rounds.push_back(tls.p50 / ex.p50);

    progress("round " + std::to_string(r + 1) + ": round trips");
    std::vector<double> echo, get, bad_op;
    bench::round_trips(ctx, o.round_trips, echo, get, bad_op);
    f.bad_op_p50.rounds.push_back(bench::percentile(bad_op, 50));
    f.sync_p50.rounds.push_back(bench::percentile(bench::sync_floor(ctx, 50), 50));
    double echo50 = bench::percentile(echo, 50), get50 = bench::percentile(get, 50);
    f.echo_p50.rounds.push_back(echo50);
    f.get_p50.rounds.push_back(get50);
    f.get_ratio.rounds.push_back(get50 / echo50);
    std::vector<double> tls_get, tls_bad_op, nng_get;
    bench::tls_round_trips(ctx, o.round_trips, tls_get, tls_bad_op, nng_get);
    double tls_get50 = bench::percentile(tls_get, 50), nng_get50 = bench::percentile(nng_get, 50);
    f.tls_get_p50.rounds.push_back(tls_get50);
    f.tls_get_ratio.rounds.push_back(tls_get50 / get50);
    f.nng_get_p50.rounds.push_back(nng_get50);
    f.tls_nng_ratio.rounds.push_back(tls_get50 / nng_get50);
    std::vector<double> ossl_tls, ossl_clear;
    bench::openssl_round_trips(ctx, o.round_trips, ossl_tls, ossl_clear);
    double ossl_tls50 = bench::percentile(ossl_tls, 50), ossl_clear50 = bench::percentile(ossl_clear, 50);
    f.ossl_tls_p50.rounds.push_back(ossl_tls50);
    f.ossl_clear_p50.rounds.push_back(ossl_clear50);
    f.ossl_ratio.rounds.push_back(ossl_tls50 / ossl_clear50);
    f.tls_bad_op_p50.rounds.push_back(bench::percentile(tls_bad_op, 50));

    progress("round " + std::to_string(r + 1) + ": 8 clients");
    double floor_rate = bench::floor_parallel(ctx, CLIENTS, o.per_client);
    auto par = bench::execute_parallel(ctx, CLIENTS, o.per_client);
    f.floor_rate.rounds.push_back(floor_rate);
    f.exec_rate.rounds.push_back(par.rate);
    f.rate_ratio.rounds.push_back(par.rate / floor_rate);
    f.not_complete.rounds.push_back(par.not_complete);
    f.leftover.rounds.push_back(static_cast<double>(bench::count_rows(ctx.db_path, LIST_FILL_NAME)));
    auto tls_par = bench::execute_parallel(ctx, CLIENTS, o.per_client, bench::transport::tls);
    f.tls_exec_rate.rounds.push_back(tls_par.rate);
    f.tls_rate_ratio.rounds.push_back(tls_par.rate / par.rate);

    progress("round " + std::to_string(r + 1) + ": asynchronous");
    auto as = bench::async_collect(ctx, o.async);
    f.async_submit.rounds.push_back(as.submit_s);
    f.async_total.rounds.push_back(as.total_s);

    progress("round " + std::to_string(r + 1) + ": list");
    size_t entries = 0;
    auto lists = bench::list_all(ctx, o.list_calls, entries);
    f.list_p50.rounds.push_back(bench::percentile(lists, 50));
    f.list_entries.rounds.push_back(static_cast<double>(entries));
    if (entries < o.list_rows)
        ctx.wrong("list returned " + std::to_string(entries) + " records, fewer than preloaded");
}

void summarise_rounds(const round_figures &f, const options &o) {
    using bench::median;
    using bench::print_summary;
    double ratio = median(f.exec_ratio.rounds), mr = median(f.mean_ratio.rounds),
           tr = median(f.tail_ratio.rounds);
    print_summary("1 sequential execute",
                  fmt("p50 %.3f ms, p90 %.3f, p99 %.3f, mean %.3f; direct %.3f ms",
                      median(f.exec_p50.rounds), median(f.exec_p90.rounds),
                      median(f.exec_p99.rounds), median(f.exec_mean.rounds),
                      median(f.floor_p50.rounds)),
                  "", -1);
    print_summary("1 sequential execute over TLS",
                  fmt("p50 %.3f ms, p99 %.3f, mean %.3f = %.2fx cleartext p50",
                      median(f.tls_exec_p50.rounds), median(f.tls_exec_p99.rounds),
                      median(f.tls_exec_mean.rounds), median(f.tls_exec_ratio.rounds)),
                  "", -1);
    print_summary("1 execute / direct", fmt("%.2fx", ratio), "<= 1.6x", ratio <= 1.6);
    print_summary("1 daemon CPU per execute", fmt("%.3f ms", median(f.exec_cpu.rounds)), "", -1);
    print_summary("1 disk sync, same rounds",
                  fmt("execute - direct = %.3f ms; one 4 KiB append + fdatasync = %.3f ms",
                      median(f.exec_p50.rounds) - median(f.floor_p50.rounds),
                      median(f.sync_p50.rounds)),
                  "", -1);
    print_summary("1 execute mean / p50", fmt("%.2fx", mr), "<= 1.2x", mr <= 1.2);
    print_summary("1 execute p99 / p50", fmt("%.2fx", tr), "<= 3x", tr <= 3);
    double rr = median(f.rate_ratio.rounds);
    print_summary("2 eight clients",
                  fmt("%.0f cmd/s vs %.0f cmd/s direct = %.2fx", median(f.exec_rate.rounds),
                      median(f.floor_rate.rounds), rr),
                  ">= 0.8x", rr >= 0.8);
    print_summary("2 eight clients over TLS",
                  fmt("%.0f cmd/s = %.2fx cleartext", median(f.tls_exec_rate.rounds),
                      median(f.tls_rate_ratio.rounds)),
                  "", -1);
    double nc = 0;
    for (double v : f.not_complete.rounds)
        nc += v;
    double left = f.leftover.rounds.empty() ? 0 : f.leftover.rounds.back();
    print_summary("2 not COMPLETE, rows left", fmt("%.0f replies, %.0f rows", nc, left), "0 and 0",
                  nc == 0 && left == 0);
    double gr = median(f.get_ratio.rounds);
    print_summary("3 request running nothing",
                  fmt("get %.3f ms vs bare echo %.3f ms = %.2fx (unknown op %.3f ms)",
                      median(f.get_p50.rounds), median(f.echo_p50.rounds), gr,
                      median(f.bad_op_p50.rounds)),
                  "<= 1.3x", gr <= 1.3);
    print_summary("3 request running nothing over TLS (nng)",
                  fmt("get %.3f ms = %.2fx cleartext get (unknown op %.3f ms); nng in cleartext %.3f ms: "
                      "%.2fx",
                      median(f.tls_get_p50.rounds), median(f.tls_get_ratio.rounds),
                      median(f.tls_bad_op_p50.rounds), median(f.nng_get_p50.rounds),
                      median(f.tls_nng_ratio.rounds)),
                  "", -1);
    double tls_r = median(f.ossl_ratio.rounds);
    print_summary("3 request running nothing over TLS (OpenSSL)",
                  fmt("get %.3f ms vs %.3f ms in cleartext through the same client = %.2fx",
                      median(f.ossl_tls_p50.rounds), median(f.ossl_clear_p50.rounds), tls_r),
                  "<= 1.5x", tls_r <= 1.5);
    print_summary("4 async executes",
                  fmt("%u started in %.2f s, all collected after %.2f s", o.async,
                      median(f.async_submit.rounds), median(f.async_total.rounds)),
                  "", -1);
    print_summary("4 list",
                  fmt("%.0f records in %.2f ms (rows preloaded with sqlite before start-up)",
                      median(f.list_entries.rounds), median(f.list_p50.rounds)),
                  "", -1);
    print_summary("5 legacy gateway",
                  fmt("p50 %.3f ms, mean %.3f ms = %.2fx direct", median(f.legacy_p50.rounds),
                      median(f.legacy_mean.rounds), median(f.legacy_ratio.rounds)),
                  "", -1);
}

void big_output_figure(bench::context &ctx, const options &o) {
    progress("large output");
    // One run of a script this size varies by half between runs on a shared
    // machine: the figure is the median of a few, each direct run beside its
    // daemon run. The peak memory is the largest seen.
    constexpr int RUNS = 3;
    std::vector<double> wall, floor, ratio;
    bench::big_output_result big;
    for (int i = 0; i < RUNS; i++) {
        auto one = bench::big_output(ctx, o.big_bytes);
        wall.push_back(one.wall_s);
        floor.push_back(one.floor_s);
        ratio.push_back(one.wall_s / one.floor_s);
        if (one.peak_kib >= big.peak_kib)
            big = one;
    }
    double mib = 1024.0 * 1024.0;
    double multiple = big.peak_kib * 1024.0 / static_cast<double>(big.bytes);
    double big_ratio = bench::percentile(ratio, 50);
    bench::print_summary("6 large output",
                         fmt("%.0f MB (%.1f MB kept): %.2f s (direct %.2f s), median of %d runs of the "
                             "ratio = %.1fx (runs %.1fx, %.1fx, %.1fx)",
                             big.bytes / 1e6, big.kept / 1e6, bench::percentile(wall, 50),
                             bench::percentile(floor, 50), RUNS, big_ratio, ratio[0], ratio[1], ratio[2]),
                         "<= 5x", big_ratio <= 5);
    bench::print_summary("6 daemon peak memory",
                         fmt("VmHWM %.1f MiB (%.1f MiB before) = %.2fx the output",
                             big.peak_kib * 1024.0 / mib, big.rss_before_kib * 1024.0 / mib,
                             multiple),
                         "<= 2x", multiple <= 2);
}

void sync_figure(bench::context &ctx, const options &o) {
    progress("disk syncs under strace");
    bench::sync_count syncs;
    if (!bench::count_syncs(ctx, o.sync_commands, syncs)) {
        bench::print_summary("7 disk syncs", "strace could not attach; not measured", "", -1);
        return;
    }
    double per_execute = static_cast<double>(syncs.total()) / o.sync_commands;
    bench::print_summary("7 disk syncs per execute",
                         fmt("%.2f (fsync + fdatasync + writes to O_DSYNC files, %u commands)",
                             per_execute, o.sync_commands),
                         "<= 3", per_execute <= 3.0);
    for (const auto &[path, s] : syncs.by_file)
        std::printf("    %-44s writes %6lu%s fsync %5lu fdatasync %5lu\n", path.c_str(), s.writes,
                    s.dsync ? " (O_DSYNC)" : "          ", s.fsyncs, s.fdatasyncs);
    if (syncs.other_syncs > 0)
        std::printf("    other syncs (sync, syncfs, sync_file_range, msync): %lu\n",
                    syncs.other_syncs);
    std::printf("    strace -f -c over those commands (daemon and scripts), busiest first:\n");
    for (const auto &line : syncs.summary)
        std::printf("      %s\n", line.c_str());
}

void connection_figure(bench::context &ctx) {
    progress("connections");
    bench::connection_memory_result m = bench::connection_memory(ctx, 250);
    bench::print_summary("8 memory per connection",
                         fmt("%.1f KiB idle, %.1f KiB holding half of a 64 KiB request (%u connections)",
                             m.idle_kib, m.holding_kib, m.opened),
                         "", -1);
}

void idle_figure(bench::context &ctx, const options &o) {
    progress("idle");
    // Let the last asynchronous threads and children finish first.
    sleep(1);
    double cpu = bench::idle_cpu(ctx, o.idle_seconds);
    double pct = 100.0 * cpu / o.idle_seconds;
    bench::print_summary("7 idle CPU",
                         fmt("%.3f s over %d s = %.3f%% of one core (clock ticks of %.3f s)", cpu,
                             o.idle_seconds, pct, 1.0 / static_cast<double>(sysconf(_SC_CLK_TCK))),
                         "< 1%", pct < 1);
}

int run(const options &o) {
    bench::sandbox sb;
    if (o.keep) {
        sb.keep();
        std::printf("tuvobench: sandbox kept in %s\n", sb.root().c_str());
    }
    bench::context ctx;
    ctx.echo_path = sb.add_script({"bench-echo", "echo hello", 30, true});
    ctx.bytes_path = sb.add_script(
        {"bench-bytes",
         "yes 'tuvobench output line, sixty-four bytes with its newline...' | head -c \"$1\"", 600,
         true});
    ctx.db_path = sb.db_path();
    const std::string certs = sb.enable_tls();
    ctx.tls = {certs + "/alice.pem", certs + "/alice.key", certs + "/ca.pem"};
    ctx.trace_file = sb.root() + "/strace.out";
    if (!bench::preload_rows(ctx.db_path, o.list_rows, LIST_FILL_NAME)) {
        std::fprintf(stderr, "tuvobench: cannot preload %u rows into %s\n", o.list_rows,
                     ctx.db_path.c_str());
        return 2;
    }

    bench::daemon_proc daemon(sb);
    if (!daemon.start(CLIENTS, o.binary) || !daemon.wait_ready(30000)) {
        std::fprintf(stderr, "tuvobench: the daemon did not start:\n%s\n", daemon.output().c_str());
        return 2;
    }
    ctx.daemon_pid = daemon.pid();
    bench::echo_server echo(ctx.echo_endpoint);
    if (!echo.started()) {
        std::fprintf(stderr, "tuvobench: cannot bind the echo server on %s\n",
                     ctx.echo_endpoint.c_str());
        return 2;
    }

    if (bench::tls_client probe(ctx.tls_endpoint, &ctx.tls, ctx.timeout_ms); !probe.error().empty()) {
        std::fprintf(stderr, "tuvobench: no TLS connection to the daemon: %s\n", probe.error().c_str());
        return 2;
    }
    // Warm-up, not counted: the daemon must answer an execute before anything is measured.
    bench::execute_sequential(ctx, 10);
    bench::execute_sequential(ctx, 10, bench::transport::tls);
    bench::floor_sequential(ctx, 10);
    if (ctx.wrong_count() > 0) {
        std::fprintf(stderr, "tuvobench: the daemon does not answer execute requests correctly:\n");
        for (const auto &w : ctx.wrong_samples())
            std::fprintf(stderr, "  %s\n", w.c_str());
        return 1;
    }

    std::printf("tuvobench: %u rounds, %ld CPUs, daemon %s with %u workers (pid %d)\n", o.rounds,
                sysconf(_SC_NPROCESSORS_ONLN), o.binary.c_str(), CLIENTS, daemon.pid());
    round_figures f;
    for (unsigned r = 0; r < o.rounds; r++)
        run_round(ctx, o, r, f);
    bench::print_table(f.all());
    summarise_rounds(f, o);
    big_output_figure(ctx, o);
    sync_figure(ctx, o);
    connection_figure(ctx);
    idle_figure(ctx, o);

    long left = bench::count_rows(ctx.db_path, LIST_FILL_NAME);
    int rc = daemon.stop(60000);
    bench::print_summary("rows left at the end", fmt("%ld", left), "0",
                         left == 0);
    bench::print_summary("daemon exit status", fmt("%d", rc), "0", rc == 0);
    if (ctx.wrong_count() > 0) {
        std::printf("\n%u wrong replies; the first ones:\n", ctx.wrong_count());
        for (const auto &w : ctx.wrong_samples())
            std::printf("  %s\n", w.c_str());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    options o;
    if (!parse_options(argc, argv, o)) {
        usage();
        return 2;
    }
    // Before anything can start a thread: unshare refuses a threaded process.
    std::string err;
    if (!bench::enter_namespaces(err)) {
        std::fprintf(stderr, "tuvobench: %s\n", err.c_str());
        return 2;
    }
    try {
        return run(o);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tuvobench: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "tuvobench: unexpected failure\n");
    }
    return 2;
}
