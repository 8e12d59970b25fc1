// tuvoctl for people: the list table, get's raw output and exit status,
// failures as JSON, the status table and the metrics exposition (read back
// by a small parser of the text format).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>

#include "capture.hpp"
#include "ctl.hpp"

namespace {

json_ptr parse(const std::string &text) {
    json_error_t e;
    json_ptr v(json_loads(text.c_str(), 0, &e));
    EXPECT_TRUE(v) << e.text << " in " << text;
    return v;
}

ctl_options_t get_opts(const std::string &uuid) {
    ctl_options_t o;
    o.cmd = ctl_cmd_t::get;
    o.target_uuid = uuid;
    return o;
}

TEST(TuvoctlRecords, StampsDurationsAndOrder) {
    double t = 0;
    ASSERT_TRUE(ctl_parse_stamp("2026-12-06T06:12:30.500000+0100", &t));
    EXPECT_DOUBLE_EQ(t, 1796533950.5); // 05:12:30.5 UTC
    double t2 = 0;
    ASSERT_TRUE(ctl_parse_stamp("2026-12-06T00:12:30.500000-0500", &t2));
    EXPECT_DOUBLE_EQ(t2, t);
    EXPECT_FALSE(ctl_parse_stamp("", &t));
    EXPECT_FALSE(ctl_parse_stamp("2026-12-06T06:12:30.5", &t)) << "no offset";

    EXPECT_EQ(ctl_human_duration(0.25), "250ms");
    EXPECT_EQ(ctl_human_duration(12.34), "12.3s");
    EXPECT_EQ(ctl_human_duration(245), "4m05s");
    EXPECT_EQ(ctl_human_duration(7380), "2h03m");
    EXPECT_EQ(ctl_human_duration(3 * 86400 + 4 * 3600 + 5), "3d04h");
    EXPECT_EQ(ctl_human_duration(-3), "0ms");

    // Sorted by the instant, not the text: a later offset can sort first as text.
    std::vector<ctl_record_t> recs(3);
    recs[0].uuid = "b", recs[0].start = "2026-12-06T06:00:00.000000+0100";
    recs[1].uuid = "a", recs[1].start = "2026-12-06T06:30:00.000000+0200";
    recs[2].uuid = "c", recs[2].start = "2026-12-06T05:59:00.000000+0100";
    ctl_sort_records(&recs);
    EXPECT_EQ(recs[0].uuid, "a");
    EXPECT_EQ(recs[1].uuid, "c");
    EXPECT_EQ(recs[2].uuid, "b");
}

TEST(TuvoctlRecords, TableShowsRunTimeElapsedTimeAndExitStatus) {
    json_ptr done = parse(R"({"result":{"name":"backup","state":"COMPLETE",
        "start":"2026-12-06T06:00:00.000000+0000","finish":"2026-12-06T06:01:05.000000+0000",
        "output":{"exitStatus":3,"stdout":"","stderr":""}},"errors":[]})");
    json_ptr running = parse(R"({"result":{"name":"scrub-pool","state":"RUNNING",
        "start":"2026-12-06T06:02:00.000000+0000","finish":null,"output":null},"errors":[]})");
    json_ptr gone = parse(R"({"result":{},"errors":[{"errorCode":22,"errorString":"Unable to get x"}]})");
    std::vector<ctl_record_t> recs(2);
    ASSERT_TRUE(ctl_record_from_reply("u-done", done.get(), &recs[0]));
    ASSERT_TRUE(ctl_record_from_reply("u-run", running.get(), &recs[1]));
    ctl_record_t ignored;
    EXPECT_FALSE(ctl_record_from_reply("x", gone.get(), &ignored));

    double now = 0;
    ASSERT_TRUE(ctl_parse_stamp("2026-12-06T06:02:30.000000+0000", &now));
    EXPECT_EQ(ctl_format_records(recs, now),
              "UUID    NAME        STATE     START                TIME   EXIT\n"
              "u-done  backup      COMPLETE  2026-12-06 06:00:00  1m05s  3\n"
              "u-run   scrub-pool  RUNNING   2026-12-06 06:02:00  30.0s  -\n");

    // list --long --json: the same columns, nothing escaped twice, null for '-'.
    ctl_record_t odd;
    odd.uuid = "u-odd";
    odd.name = "n\x1b";
    odd.state = "LOST";
    odd.start = "garbled";
    recs.push_back(odd);
    json_ptr rows = ctl_records_json(recs, now);
    cstr_ptr text(json_dumps(rows.get(), JSON_COMPACT | JSON_ENSURE_ASCII));
    EXPECT_STREQ(text.get(),
                 "[{\"requestUUID\":\"u-done\",\"name\":\"backup\",\"state\":\"COMPLETE\","
                 "\"start\":\"2026-12-06T06:00:00.000000+0000\",\"finish\":\"2026-12-06T06:01:05.000000+0000\","
                 "\"seconds\":65.0,\"exitStatus\":3},"
                 "{\"requestUUID\":\"u-run\",\"name\":\"scrub-pool\",\"state\":\"RUNNING\","
                 "\"start\":\"2026-12-06T06:02:00.000000+0000\",\"finish\":null,\"seconds\":30.0,\"exitStatus\":null},"
                 "{\"requestUUID\":\"u-odd\",\"name\":\"n\\u001B\",\"state\":\"LOST\",\"start\":\"garbled\","
                 "\"finish\":null,\"seconds\":null,\"exitStatus\":null}]");
}

TEST(TuvoctlRecords, GetWithoutPropertiesBehavesLikeRun) {
    struct {
        const char *reply;
        int status;
        const char *out, *err;
    } cases[] = {
        {R"({"result":{"name":"n","state":"COMPLETE","output":{"exitStatus":7,"stdout":"o\u0000k\n","stderr":"e\n"}},"errors":[]})",
         7, "o\0k\n", "e\n"},
        {R"({"result":{"name":"n","state":"RUNNING","output":null},"errors":[]})", CTL_EXIT_TEMPFAIL, "",
         "tuvoctl: u1: RUNNING\n"},
        {R"({"result":{"name":"n","state":"DIED","output":{"exitStatus":null,"stdout":"part","stderr":""},
            "errors":[{"errorCode":5,"errorString":"Command cancelled by request c-1"}]},"errors":[]})",
         CTL_EXIT_NOT_RUN, "part", "tuvoctl: n: DIED\ntuvoctl: EIO (5): Command cancelled by request c-1\n"},
        {R"({"result":{"state":"TIMEDOUT","output":{"exitStatus":null}},"errors":[]})", CTL_EXIT_TIMEDOUT, "",
         nullptr},
        {R"({"result":{"output":null,"state":"FAILED"},"errors":[{"errorCode":22,"errorString":"Unable to get u1"}]})",
         CTL_EXIT_FAILED, "", "tuvoctl: EINVAL (22): Unable to get u1\n"},
    };
    for (const auto &c : cases) {
        std::string err;
        json_ptr r = ctl_parse_reply(c.reply, strlen(c.reply), &err);
        ASSERT_TRUE(r) << err;
        capture out, errs;
        EXPECT_EQ(ctl_render_reply(get_opts("u1"), "u1", r.get(), out.file(), errs.file()), c.status) << c.reply;
        std::string want_out = c.status == 7 ? std::string("o\0k\n", 4) : c.out;
        EXPECT_EQ(out.text(), want_out) << c.reply;
        if (c.err != nullptr) {
            EXPECT_EQ(errs.text(), c.err) << c.reply;
        }
    }
}

TEST(TuvoctlRecords, ClientFailuresAreJsonWithJson) {
    capture out, err;
    EXPECT_EQ(ctl_report_failure(true, 69, "no daemon answers at \"x\"", out.file(), err.file()), 69);
    json_ptr v = parse(out.text());
    EXPECT_STREQ(json_string_value(json_object_get(v.get(), "error")), "no daemon answers at \"x\"");
    EXPECT_EQ(json_integer_value(json_object_get(v.get(), "exitStatus")), 69);
    EXPECT_EQ(err.text(), "");

    capture out2, err2;
    EXPECT_EQ(ctl_report_failure(false, 64, "bad", out2.file(), err2.file()), 64);
    EXPECT_EQ(out2.text(), "");
    EXPECT_EQ(err2.text(), "tuvoctl: bad\n");

    EXPECT_TRUE(ctl_args_want_json({"list", "--bogus", "--json"}));
    EXPECT_FALSE(ctl_args_want_json({"run", "--", "/x", "--json"})) << "a script's own argument";
}

TEST(TuvoctlRecords, NewCommandsParse) {
    ctl_options_t o;
    std::string err;
    ASSERT_EQ(ctl_parse_args({"list", "--name", "back%", "--state", "!RUNNING", "-q"}, &o, &err), 0) << err;
    EXPECT_EQ(o.cmd_pattern, "back%");
    EXPECT_EQ(o.state_pattern, "!RUNNING");
    EXPECT_TRUE(o.ids_only);

    ctl_options_t c;
    ASSERT_EQ(ctl_parse_args({"clear", "--state", "LOST"}, &c, &err), 0) << err;
    EXPECT_EQ(c.clear_state, "LOST");
    ctl_options_t both;
    EXPECT_EQ(ctl_parse_args({"clear", "--state", "LOST", "u1"}, &both, &err), -1);

    ctl_options_t k;
    ASSERT_EQ(ctl_parse_args({"cancel", "-a", "ops", "u-7"}, &k, &err), 0) << err;
    EXPECT_EQ(k.target_uuid, "u-7");
    json_ptr req = ctl_request_for(k, "c-1");
    EXPECT_STREQ(json_string_value(json_object_get(req.get(), "op")), "cancel");
    EXPECT_STREQ(json_string_value(json_object_get(req.get(), "requestUUID")), "c-1");
    json_t *args = json_object_get(req.get(), "args");
    EXPECT_STREQ(json_string_value(json_object_get(args, "cmd")), "u-7");
    EXPECT_STREQ(json_string_value(json_object_get(args, "authority")), "ops");
    ctl_options_t none;
    EXPECT_EQ(ctl_parse_args({"cancel"}, &none, &err), -1);

    ctl_options_t s;
    ASSERT_EQ(ctl_parse_args({"status", "--json"}, &s, &err), 0) << err;
    EXPECT_EQ(s.cmd, ctl_cmd_t::status);
    ctl_options_t extra;
    EXPECT_EQ(ctl_parse_args({"metrics", "x"}, &extra, &err), -1);
}

const char *status_text = R"({
  "version": "2.0", "instance": "i-1", "uptimeSeconds": 3725.5,
  "workers": {"total": 8, "busy": 2}, "queuedRequests": 3, "runningCommands": 2,
  "asyncRuns": 1, "scriptsLoaded": 4, "uncollectedRecords": 12, "oldestUncollectedSeconds": 273600,
  "refusedRequests": 7,
  "lastReload": {"time": "2026-12-06T06:00:00.000000+0000", "epochSeconds": 1796529600, "result": "failed",
                 "skippedFiles": 2},
  "scripts": {
    "backup": {"runs": 5, "completed": 3, "failed": 1, "timedOut": 1, "killed": 0,
               "runSecondsSum": 12.5, "runSecondsMax": 7.25},
    "odd \"name\"\\x": {"runs": 1, "completed": 0, "failed": 0, "timedOut": 0, "killed": 1,
               "runSecondsSum": 0.5, "runSecondsMax": 0.5}
  }})";

TEST(TuvoctlRecords, StatusForPeople) {
    json_ptr st = parse(status_text);
    std::string text = ctl_format_status(st.get());
    EXPECT_NE(text.find("Uptime:           1h02m\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Workers:          2 busy of 8\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Last reload:      2026-12-06 06:00:00 (failed, 2 files skipped)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Refused requests: 7\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Uncollected:      12 (oldest 3d04h)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("SCRIPT        RUNS  COMPLETED  FAILED  TIMEDOUT  KILLED  TOTAL  MAX\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("backup        5     3          1       1         0       12.5s  7.2s\n"),
              std::string::npos)
        << text;
}

// Text from the daemon reaches the terminal escaped, in the table and the
// status alike.
TEST(TuvoctlRecords, DaemonTextIsEscapedForTheTerminal) {
    EXPECT_EQ(ctl_escape("id\x1b[2J\xc2\x9b\xe2\x80\xae\xc3\xa4\n"), "id\\x1b[2J\\u009b\\u202e\xc3\xa4\\n");
    EXPECT_EQ(ctl_escape(static_cast<const char *>(nullptr)), "");
    ctl_record_t rec;
    rec.uuid = "u\x1b]0;t\x07";
    json_ptr reply = parse(R"({"result": {"name": "n\u001b[31m", "state": "COMPLETE\u2028",
                               "start": "2026-12-06T06:12:30.004211+0100"}})");
    ASSERT_TRUE(ctl_record_from_reply(rec.uuid, reply.get(), &rec));
    std::string table = ctl_format_records({rec}, 0);
    EXPECT_EQ(table.find('\x1b'), std::string::npos) << table;
    EXPECT_NE(table.find("u\\x1b]0;t\\x07  n\\x1b[31m  COMPLETE\\u2028"), std::string::npos) << table;
    json_ptr st = parse(R"({"version": "2\u001b[H", "instance": "i\u009b", "scripts": {"s\u202e": {"runs": 1}}})");
    std::string text = ctl_format_status(st.get());
    EXPECT_NE(text.find("Version:          2\\x1b[H\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Instance:         i\\u009b\n"), std::string::npos) << text;
    EXPECT_NE(text.find("s\\u202e"), std::string::npos) << text;
    EXPECT_NE(text.find("Uncollected:      0\n"), std::string::npos) << text;
}

// A minimal reader of the text exposition format: HELP/TYPE comments, then
// "name{labels} value" samples. Returns false on any line it cannot read or
// a sample without a preceding TYPE.
bool parse_exposition(const std::string &text, std::map<std::string, double> *samples,
                      std::map<std::string, std::string> *types) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("# HELP ", 0) == 0)
            continue;
        if (line.rfind("# TYPE ", 0) == 0) {
            std::istringstream t(line.substr(7));
            std::string name, type;
            t >> name >> type;
            if (type != "gauge" && type != "counter" && type != "summary")
                return false;
            (*types)[name] = type;
            continue;
        }
        size_t i = 0;
        while (i < line.size() && (isalnum(static_cast<unsigned char>(line[i])) || line[i] == '_'))
            i++;
        std::string name = line.substr(0, i);
        // A summary's samples are its family name with _sum or _count.
        auto family_of = [&](const std::string &sample) {
            for (const char *suffix : {"_sum", "_count"}) {
                size_t n = strlen(suffix);
                if (sample.size() > n && sample.compare(sample.size() - n, n, suffix) == 0) {
                    std::string family = sample.substr(0, sample.size() - n);
                    auto t = types->find(family);
                    if (t != types->end() && t->second == "summary")
                        return family;
                }
            }
            return sample;
        };
        if (name.empty() || types->count(family_of(name)) == 0)
            return false;
        std::string key = name;
        if (i < line.size() && line[i] == '{') {
            size_t j = i + 1;
            bool quoted = false;
            for (; j < line.size(); j++) {
                if (line[j] == '\\' && quoted) {
                    j++;
                    continue;
                }
                if (line[j] == '"')
                    quoted = !quoted;
                else if (line[j] == '}' && !quoted)
                    break;
            }
            if (j >= line.size())
                return false;
            key = line.substr(0, j + 1);
            i = j + 1;
        }
        if (i >= line.size() || line[i] != ' ')
            return false;
        char *end = nullptr;
        double v = strtod(line.c_str() + i + 1, &end);
        if (*end != '\0')
            return false;
        (*samples)[key] = v;
    }
    return true;
}

TEST(TuvoctlRecords, MetricsParseAsExposition) {
    json_ptr st = parse(status_text);
    std::string text = ctl_format_metrics(st.get());
    std::map<std::string, double> m;
    std::map<std::string, std::string> types;
    ASSERT_TRUE(parse_exposition(text, &m, &types)) << text;
    EXPECT_EQ(m["tuvod_info{version=\"2.0\",instance=\"i-1\"}"], 1);
    EXPECT_EQ(m["tuvod_workers_busy"], 2);
    EXPECT_EQ(m["tuvod_queued_requests"], 3);
    EXPECT_EQ(m["tuvod_last_reload_success"], 0);
    EXPECT_EQ(m["tuvod_last_reload_timestamp_seconds"], 1796529600);
    EXPECT_EQ(m["tuvod_script_runs_total{script=\"backup\"}"], 5);
    EXPECT_EQ(m["tuvod_script_timedout_total{script=\"backup\"}"], 1);
    // Run time is a summary: _sum and _count of one family, no typed _sum alone.
    EXPECT_DOUBLE_EQ(m["tuvod_script_run_seconds_sum{script=\"backup\"}"], 12.5);
    EXPECT_EQ(m["tuvod_script_run_seconds_count{script=\"backup\"}"], 5);
    EXPECT_EQ(types["tuvod_script_run_seconds"], "summary");
    EXPECT_EQ(types.count("tuvod_script_run_seconds_sum"), 0U);
    EXPECT_EQ(m["tuvod_requests_refused_total"], 7);
    EXPECT_EQ(m["tuvod_last_reload_skipped_files"], 2);
    // Every counter's name ends in _total.
    for (const auto &[family, type] : types) {
        if (type == "counter") {
            EXPECT_TRUE(family.size() > 6 && family.compare(family.size() - 6, 6, "_total") == 0) << family;
        }
    }
    EXPECT_EQ(m["tuvod_script_killed_total{script=\"odd \\\"name\\\"\\\\x\"}"], 1) << text;
    EXPECT_EQ(types["tuvod_script_runs_total"], "counter");
    EXPECT_EQ(types["tuvod_uptime_seconds"], "gauge");
    for (const auto &[name, type] : types)
        EXPECT_EQ(name.rfind("tuvod_", 0), 0U) << name;
}

} // namespace
