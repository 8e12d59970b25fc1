#include "figures.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <latch>
#include <memory>
#include <thread>

#include "client.hpp"
#include "floor.hpp"
#include "handles.hpp"
#include "spwire.hpp"
#include "sslclient.hpp"

namespace bench {

namespace {

using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point t0) {
    return std::chrono::duration<double, std::milli>(clock_type::now() - t0).count();
}

const char *const ECHO_OUTPUT = "hello\n";

struct sqlite_closer {
    void operator()(sqlite3 *db) const noexcept { sqlite3_close(db); }
};
struct stmt_finalizer {
    void operator()(sqlite3_stmt *s) const noexcept { sqlite3_finalize(s); }
};
using db_ptr = std::unique_ptr<sqlite3, sqlite_closer>;
using stmt_ptr = std::unique_ptr<sqlite3_stmt, stmt_finalizer>;

db_ptr open_db(const std::string &path) {
    sqlite3 *raw = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    db_ptr db(raw);
    if (rc != SQLITE_OK)
        return nullptr;
    // The daemon writes at the same time; wait for it rather than fail.
    sqlite3_busy_timeout(raw, 10000);
    return db;
}

json_ptr parse(const std::optional<std::string> &reply) {
    if (!reply)
        return nullptr;
    json_error_t err;
    return json_ptr(json_loadb(reply->data(), strnlen(reply->data(), reply->size()), 0, &err));
}

const char *string_at(json_t *obj, const char *key) {
    return json_string_value(json_object_get(obj, key));
}

std::string state_of(json_t *reply) {
    const char *s = string_at(json_object_get(reply, "result"), "state");
    return s != nullptr ? s : "(none)";
}

// A synchronous execute of the echo script: COMPLETE, exit 0, its one line, no errors.
bool check_exec(context &ctx, const char *what, json_t *reply, const std::string &uuid) {
    if (reply == nullptr) {
        ctx.wrong(std::string(what) + ": no reply or not JSON");
        return false;
    }
    const char *id = string_at(reply, "requestUUID");
    json_t *result = json_object_get(reply, "result");
    json_t *output = json_object_get(result, "output");
    const char *out = string_at(output, "stdout");
    bool ok = id != nullptr && uuid == id && json_array_size(json_object_get(reply, "errors")) == 0 &&
              state_of(reply) == "COMPLETE" &&
              json_integer_value(json_object_get(output, "exitStatus")) == 0 &&
              json_is_integer(json_object_get(output, "exitStatus")) && out != nullptr &&
              std::strcmp(out, ECHO_OUTPUT) == 0;
    if (!ok) {
        cstr_ptr text(json_dumps(reply, JSON_COMPACT));
        ctx.wrong(std::string(what) + ": " + (text ? std::string(text.get()).substr(0, 400) : ""));
    }
    return ok;
}

std::string exec_request(context &ctx, const std::string &uuid, bool async) {
    return request_text(uuid, "execute", exec_args(ctx.echo_path, "", async));
}

json_t *properties(std::initializer_list<const char *> names, bool peek) {
    json_t *props = json_array();
    for (const char *n : names)
        json_array_append_new(props, json_string(n));
    return json_pack("{s:o, s:b}", "properties", props, "peek", peek);
}

// Round trips of `get` for unknown ids: transport, routing, one database read.
void get_block(context &ctx, rt_client &daemon, unsigned n, std::vector<double> &get) {
    for (unsigned i = 0; i < n; i++) {
        std::string uuid = new_uuid();
        std::string req = request_text(uuid, "get", properties({"state"}, false));
        auto t0 = clock_type::now();
        auto reply = parse(daemon.round_trip(req));
        get.push_back(ms_since(t0));
        // An unknown id is an error in the reply, and nothing else.
        const char *id = reply ? string_at(reply.get(), "requestUUID") : nullptr;
        if (id == nullptr || uuid != id || json_array_size(json_object_get(reply.get(), "errors")) != 1 ||
            state_of(reply.get()) != "FAILED")
            ctx.wrong("get of an unknown id: unexpected reply");
    }
}

// Round trips of an operation that does not exist: transport and an error reply.
void bad_op_block(context &ctx, rt_client &daemon, unsigned n, std::vector<double> &bad_op) {
    for (unsigned i = 0; i < n; i++) {
        std::string req = request_text(new_uuid(), "no-such-op", properties({"state"}, false));
        auto t0 = clock_type::now();
        auto reply = parse(daemon.round_trip(req));
        bad_op.push_back(ms_since(t0));
        if (!reply || json_array_size(json_object_get(reply.get(), "errors")) != 1)
            ctx.wrong("unknown operation: unexpected reply");
    }
}

} // namespace

void context::wrong(const std::string &what) {
    wrong_++;
    std::lock_guard lock(mutex_);
    if (samples_.size() < 10)
        samples_.push_back(what);
}

std::vector<std::string> context::wrong_samples() const {
    std::lock_guard lock(mutex_);
    return samples_;
}

std::vector<double> floor_sequential(context &ctx, unsigned n) {
    std::vector<double> lat;
    for (unsigned i = 0; i < n; i++) {
        auto t0 = clock_type::now();
        direct_run r = run_direct({ctx.echo_path});
        lat.push_back(ms_since(t0));
        if (!r.ok || r.exit_status != 0 || r.stdout_text != ECHO_OUTPUT)
            ctx.wrong("direct run of the echo script failed");
    }
    return lat;
}

std::unique_ptr<rt_client> connect(const context &ctx, transport t) {
    if (t == transport::tls)
        return std::make_unique<tls_client>(ctx.tls_endpoint, &ctx.tls, ctx.timeout_ms);
    return std::make_unique<req_client>(ctx.endpoint, ctx.timeout_ms);
}

std::vector<double> execute_sequential(context &ctx, unsigned n, transport t) {
    std::unique_ptr<rt_client> client = connect(ctx, t);
    std::vector<double> lat;
    for (unsigned i = 0; i < n; i++) {
        std::string uuid = new_uuid();
        std::string req = exec_request(ctx, uuid, false);
        auto t0 = clock_type::now();
        auto reply = client->round_trip(req);
        lat.push_back(ms_since(t0));
        check_exec(ctx, "sequential execute", parse(reply).get(), uuid);
    }
    return lat;
}

std::vector<double> legacy_sequential(context &ctx, unsigned n) {
    std::vector<double> lat;
    for (unsigned i = 0; i < n; i++) {
        auto t0 = clock_type::now();
        auto reply = legacy_call(ctx.echo_path, ctx.timeout_ms);
        lat.push_back(ms_since(t0));
        if (!reply)
            ctx.wrong("legacy: no reply");
        else if (reply->status != 0 || reply->data != ECHO_OUTPUT)
            ctx.wrong("legacy: status " + std::to_string(reply->status) + ", data '" +
                      reply->data.substr(0, 100) + "'");
    }
    return lat;
}

double floor_parallel(context &ctx, unsigned threads, unsigned per_thread) {
    std::latch go(threads + 1);
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; t++)
        pool.emplace_back([&] {
            go.arrive_and_wait();
            for (unsigned i = 0; i < per_thread; i++) {
                direct_run r = run_direct({ctx.echo_path});
                if (!r.ok || r.exit_status != 0 || r.stdout_text != ECHO_OUTPUT)
                    ctx.wrong("direct run of the echo script failed");
            }
        });
    auto t0 = clock_type::now();
    go.arrive_and_wait();
    for (auto &t : pool)
        t.join();
    return threads * per_thread / (ms_since(t0) / 1000.0);
}

parallel_result execute_parallel(context &ctx, unsigned clients, unsigned per_client, transport via) {
    std::latch go(clients + 1);
    std::atomic<unsigned> bad{0};
    std::vector<std::thread> pool;
    for (unsigned c = 0; c < clients; c++)
        pool.emplace_back([&] {
            std::unique_ptr<rt_client> client = connect(ctx, via);
            go.arrive_and_wait();
            for (unsigned i = 0; i < per_client; i++) {
                std::string uuid = new_uuid();
                auto reply = parse(client->round_trip(exec_request(ctx, uuid, false)));
                if (!check_exec(ctx, "concurrent execute", reply.get(), uuid))
                    bad++;
            }
        });
    auto t0 = clock_type::now();
    go.arrive_and_wait();
    for (auto &t : pool)
        t.join();
    return {clients * per_client / (ms_since(t0) / 1000.0), bad.load()};
}

void round_trips(context &ctx, unsigned n, std::vector<double> &echo, std::vector<double> &get,
                 std::vector<double> &bad_op) {
    req_client bare(ctx.echo_endpoint, ctx.timeout_ms);
    req_client daemon(ctx.endpoint, ctx.timeout_ms);
    const unsigned block = 50;
    for (unsigned done = 0; done < n; done += block) {
        for (unsigned i = 0; i < block; i++) {
            // The same bytes the daemon gets, so both carry the same message size.
            std::string req = request_text(new_uuid(), "get", properties({"state"}, false));
            auto t0 = clock_type::now();
            auto reply = bare.round_trip(req);
            echo.push_back(ms_since(t0));
            if (!reply || *reply != req)
                ctx.wrong("bare echo: reply differs from the request");
        }
        get_block(ctx, daemon, block, get);
        bad_op_block(ctx, daemon, block, bad_op);
    }
}

void tls_round_trips(context &ctx, unsigned n, std::vector<double> &get, std::vector<double> &bad_op,
                     std::vector<double> &clear_get) {
    std::unique_ptr<rt_client> daemon = connect(ctx, transport::tls);
    tls_client clear(ctx.endpoint, nullptr, ctx.timeout_ms);
    const unsigned block = 50;
    for (unsigned done = 0; done < n; done += block) {
        get_block(ctx, *daemon, block, get);
        get_block(ctx, clear, block, clear_get);
        bad_op_block(ctx, *daemon, block, bad_op);
    }
}

void openssl_round_trips(context &ctx, unsigned n, std::vector<double> &tls_get, std::vector<double> &clear_get) {
    openssl_client tls(5558, &ctx.tls, ctx.timeout_ms), clear(5557, nullptr, ctx.timeout_ms);
    if (!tls.error().empty() || !clear.error().empty()) {
        ctx.wrong("OpenSSL client: " + tls.error() + clear.error());
        return;
    }
    const unsigned block = 50;
    for (unsigned done = 0; done < n; done += block) {
        get_block(ctx, tls, block, tls_get);
        get_block(ctx, clear, block, clear_get);
    }
}

std::vector<double> sync_floor(context &ctx, unsigned n) {
    std::vector<double> lat;
    std::string path = ctx.db_path + ".benchsync";
    unique_fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    if (!fd)
        return lat;
    std::string block(4096, 'x');
    for (unsigned i = 0; i < n; i++) {
        auto t0 = clock_type::now();
        bool ok = pwrite(fd.get(), block.data(), block.size(), static_cast<off_t>(i) * 4096) ==
                      static_cast<ssize_t>(block.size()) &&
                  fdatasync(fd.get()) == 0;
        if (ok)
            lat.push_back(ms_since(t0));
    }
    unlink(path.c_str());
    return lat;
}

async_result async_collect(context &ctx, unsigned n) {
    req_client client(ctx.endpoint, ctx.timeout_ms);
    async_result res;
    std::vector<std::string> ids;
    auto t0 = clock_type::now();
    for (unsigned i = 0; i < n; i++) {
        std::string uuid = new_uuid();
        auto reply = parse(client.round_trip(exec_request(ctx, uuid, true)));
        if (!reply || state_of(reply.get()) != "RUNNING") {
            ctx.wrong("asynchronous execute: not RUNNING");
            res.not_complete++;
            continue;
        }
        ids.push_back(uuid);
    }
    res.submit_s = ms_since(t0) / 1000.0;
    for (const auto &uuid : ids) {
        auto deadline = clock_type::now() + std::chrono::milliseconds(ctx.timeout_ms);
        std::string state = "RUNNING";
        while (state == "RUNNING" && clock_type::now() < deadline) {
            auto reply = parse(client.round_trip(request_text(uuid, "get", properties({"state"}, true))));
            state = reply ? state_of(reply.get()) : "(no reply)";
            if (state == "RUNNING")
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        auto reply = parse(
            client.round_trip(request_text(uuid, "get", properties({"state", "output"}, false))));
        const char *out = reply ? string_at(json_object_get(json_object_get(reply.get(), "result"),
                                                            "output"),
                                            "stdout")
                                : nullptr;
        if (!reply || state_of(reply.get()) != "COMPLETE" || out == nullptr ||
            std::strcmp(out, ECHO_OUTPUT) != 0) {
            ctx.wrong("asynchronous execute: collected state " +
                      (reply ? state_of(reply.get()) : std::string("(no reply)")));
            res.not_complete++;
        }
    }
    res.total_s = ms_since(t0) / 1000.0;
    return res;
}

std::vector<double> list_all(context &ctx, unsigned n, size_t &entries) {
    req_client client(ctx.endpoint, ctx.timeout_ms);
    std::vector<double> lat;
    for (unsigned i = 0; i < n; i++) {
        std::string req = request_text(new_uuid(), "list", json_object());
        auto t0 = clock_type::now();
        auto reply = parse(client.round_trip(req));
        lat.push_back(ms_since(t0));
        json_t *result = reply ? json_object_get(reply.get(), "result") : nullptr;
        if (!json_is_object(result) || json_array_size(json_object_get(reply.get(), "errors")) != 0) {
            ctx.wrong("list: no result object");
            continue;
        }
        entries = json_object_size(result);
    }
    return lat;
}

bool preload_rows(const std::string &db_path, unsigned n, const std::string &name) {
    db_ptr db = open_db(db_path);
    // The daemon's own table definition, so its start-up finds the table in place.
    const char *create =
        "CREATE TABLE IF NOT EXISTS CMDS (    REQUEST_UUID TEXT PRIMARY KEY NOT NULL,    NAME TEXT "
        "NOT NULL,    STATE TEXT NOT NULL,    ARGS TEXT NOT NULL,    START_TIME TEXT NOT NULL,    "
        "RESULT TEXT,    ERRORS TEXT,    FINISH_TIME TEXT);";
    if (!db || sqlite3_exec(db.get(), create, nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_exec(db.get(), "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK)
        return false;
    sqlite3_stmt *raw = nullptr;
    if (sqlite3_prepare_v2(db.get(),
                           "INSERT INTO CMDS VALUES (?, ?, 'COMPLETE', '[\"/bench/listfill\"]', ?, "
                           "'{\"exitStatus\":0,\"stdout\":\"hello\\n\",\"stderr\":\"\"}', '[]', ?)",
                           -1, &raw, nullptr) != SQLITE_OK)
        return false;
    stmt_ptr insert(raw);
    // Finished now: older records would be removed at start-up by the
    // daemon's result retention, leaving nothing to list.
    char stamp[64];
    time_t now = time(nullptr);
    struct tm utc;
    strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S.000000+0000", gmtime_r(&now, &utc));
    for (unsigned i = 0; i < n; i++) {
        std::string uuid = new_uuid();
        sqlite3_bind_text(raw, 1, uuid.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(raw, 2, name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(raw, 3, stamp, -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(raw, 4, stamp, -1, SQLITE_TRANSIENT);
        if (sqlite3_step(raw) != SQLITE_DONE)
            return false;
        sqlite3_reset(raw);
    }
    return sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
}

long count_rows(const std::string &db_path, const std::string &except) {
    db_ptr db = open_db(db_path);
    sqlite3_stmt *raw = nullptr;
    if (!db || sqlite3_prepare_v2(db.get(), "SELECT COUNT(*) FROM CMDS WHERE NAME <> ?", -1, &raw,
                                  nullptr) != SQLITE_OK)
        return -1;
    stmt_ptr count(raw);
    sqlite3_bind_text(raw, 1, except.c_str(), -1, SQLITE_TRANSIENT);
    return sqlite3_step(raw) == SQLITE_ROW ? sqlite3_column_int64(raw, 0) : -1;
}

big_output_result big_output(context &ctx, size_t bytes) {
    big_output_result res;
    res.bytes = bytes;
    std::string arg = std::to_string(bytes);

    auto t0 = clock_type::now();
    direct_run direct = run_direct({ctx.bytes_path, arg}, 0);
    res.floor_s = ms_since(t0) / 1000.0;
    if (!direct.ok || direct.stdout_bytes != bytes)
        ctx.wrong("direct run of the output script wrote " + std::to_string(direct.stdout_bytes));

    reset_peak_rss(ctx.daemon_pid);
    res.rss_before_kib = status_kib(ctx.daemon_pid, "VmRSS:");
    req_client client(ctx.endpoint, 600000);
    std::string uuid = new_uuid();
    std::string req = request_text(uuid, "execute", exec_args(ctx.bytes_path, arg, false));
    t0 = clock_type::now();
    auto reply = client.round_trip(req);
    res.wall_s = ms_since(t0) / 1000.0;
    json_ptr js = parse(reply);
    // Read after parsing, which gives the daemon time to finish its clean-up after the send.
    res.peak_kib = status_kib(ctx.daemon_pid, "VmHWM:");
    json_t *result = json_object_get(js.get(), "result");
    json_t *output = json_object_get(result, "output");
    // The daemon stores and returns at most 64 MiB of JSON per stream (the
    // escaped text and two quotes), and says when it cut an output.
    constexpr size_t stored_max = (size_t{64} << 20) - 2;
    res.kept = json_string_length(json_object_get(output, "stdout"));
    cstr_ptr errors(json_dumps(json_object_get(result, "errors"), JSON_COMPACT));
    bool says_cut = errors && std::strstr(errors.get(), "shortened by") != nullptr;
    if (!js || state_of(js.get()) != "COMPLETE" || res.kept == 0 ||
        res.kept > std::min(bytes, stored_max) || says_cut != (res.kept < bytes))
        ctx.wrong("large output: state " + (js ? state_of(js.get()) : std::string("(no reply)")) +
                  ", " + std::to_string(res.kept) + " bytes of stdout");
    return res;
}

bool count_syncs(context &ctx, unsigned n, sync_count &out) {
    tracer t(ctx.daemon_pid, ctx.trace_file);
    if (!t.attached())
        return false;
    execute_sequential(ctx, n);
    return t.finish(out);
}

double idle_cpu(context &ctx, int seconds) {
    double before = cpu_seconds(ctx.daemon_pid);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    return cpu_seconds(ctx.daemon_pid) - before;
}

namespace {

// A connection to the cleartext port from local address from (127.x.y.z:
// the daemon caps connections per address).
unique_fd connect_from(const std::string &from) {
    unique_fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in local{}, sa{};
    local.sin_family = sa.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
    sa.sin_port = htons(5557);
    if (bind(fd.get(), reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
        connect(fd.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0)
        return {};
    return fd;
}

bool send_bytes(int fd, const std::string &b) {
    return send(fd, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
}

} // namespace

connection_memory_result connection_memory(context &ctx, unsigned n) {
    connection_memory_result res;
    spwire::header h = spwire::make_header(spwire::PROTO_REQ);
    const std::string header(reinterpret_cast<const char *>(h.data()), h.size());
    // Let earlier measurements' memory settle first.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    long base = status_kib(ctx.daemon_pid, "VmRSS:");
    std::vector<unique_fd> conns;
    for (unsigned i = 0; i < n; ++i) {
        unique_fd fd = connect_from("127.0.1." + std::to_string(1 + i / 25));
        if (!fd || !send_bytes(fd.get(), header))
            break;
        conns.push_back(std::move(fd));
    }
    res.opened = static_cast<unsigned>(conns.size());
    if (conns.empty())
        return res;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    long idle = status_kib(ctx.daemon_pid, "VmRSS:");
    std::string half(8, '\0');
    spwire::put_u64(reinterpret_cast<uint8_t *>(half.data()), 65536);
    half += std::string(4, '\x80') + std::string(32768 - 4, 'x');
    for (auto &fd : conns)
        send_bytes(fd.get(), half);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    long holding = status_kib(ctx.daemon_pid, "VmRSS:");
    res.idle_kib = static_cast<double>(idle - base) / res.opened;
    res.holding_kib = static_cast<double>(holding - base) / res.opened;
    return res;
}

} // namespace bench
