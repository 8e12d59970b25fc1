// Recorded commands as a person reads them (list's table, get's fields) and
// the daemon's status as a table and as Prometheus metrics.
//
// list asks the daemon for the matching identifiers, then peeks at each
// record; a record retired in between is simply left out.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "ctl.hpp"
#include "escape.hpp"
#include "info.hpp"
#include "utils.hpp"

namespace {

constexpr const char *record_properties[] = {"name", "state", "start", "finish", "output"};

// A member's text, escaped for printing (see ctl_escape).
std::string json_text(json_t *obj, const char *key) {
    json_t *value = json_object_get(obj, key);
    return json_is_string(value) ? escape_outside_text(json_string_value(value), json_string_length(value)) : "";
}

// A member's text as the daemon sent it (for JSON output, which escapes).
std::string raw_text(json_t *obj, const char *key) {
    json_t *value = json_object_get(obj, key);
    return json_is_string(value) ? std::string(json_string_value(value), json_string_length(value)) : "";
}

// A string member, or null for text that is empty (absent).
json_t *text_or_null(const std::string &text) {
    return text.empty() ? json_null() : json_stringn(text.data(), text.size());
}

// "2026-12-06T06:12:30.004211+0100" -> "2026-12-06 06:12:30"
std::string short_stamp(const std::string &stamp) {
    if (stamp.size() < 19)
        return stamp.empty() ? "-" : stamp;
    std::string s = stamp.substr(0, 19);
    s[10] = ' ';
    return s;
}

std::string pad(const std::string &text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string fixed(int decimals, double v) {
    char buf[64];
    snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

json_int_t int_member(json_t *obj, const char *key) {
    return json_integer_value(json_object_get(obj, key));
}

double number_member(json_t *obj, const char *key) {
    return json_number_value(json_object_get(obj, key));
}

// A label value with the exposition format's escapes.
std::string label_escape(const char *text) {
    std::string out;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p == '\\')
            out += "\\\\";
        else if (*p == '"')
            out += "\\\"";
        else if (*p == '\n')
            out += "\\n";
        else
            out += *p;
    }
    return out;
}

std::string metric_number(double v) {
    if (std::floor(v) == v && std::fabs(v) < 1e15)
        return fixed(0, v);
    return fixed(6, v);
}

void metric_head(std::string *out, const char *name, const char *type, const char *help) {
    *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void metric_line(std::string *out, const char *name, double v) {
    *out += std::string(name) + " " + metric_number(v) + "\n";
}

} // namespace

bool ctl_parse_stamp(const std::string &stamp, double *epoch_s) {
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    const char *rest = strptime(stamp.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
    if (rest == nullptr)
        return false;
    double fraction = 0;
    if (*rest == '.') {
        char *end = nullptr;
        fraction = strtod(rest, &end);
        rest = end;
    }
    int sign = 0;
    if (*rest == '+')
        sign = 1;
    else if (*rest == '-')
        sign = -1;
    if (sign == 0 || strlen(rest) != 5)
        return false;
    int hh = (rest[1] - '0') * 10 + (rest[2] - '0');
    int mm = (rest[3] - '0') * 10 + (rest[4] - '0');
    time_t utc = timegm(&tm);
    *epoch_s = static_cast<double>(utc) - sign * (hh * 3600 + mm * 60) + fraction;
    return true;
}

std::string ctl_human_duration(double seconds) {
    if (seconds < 0)
        seconds = 0;
    if (seconds < 1)
        return std::to_string(static_cast<long>(seconds * 1000)) + "ms";
    if (seconds < 60)
        return fixed(1, std::floor(seconds * 10) / 10) + "s";
    long s = static_cast<long>(seconds);
    char buf[64];
    if (s < 3600)
        snprintf(buf, sizeof buf, "%ldm%02lds", s / 60, s % 60);
    else if (s < 86400)
        snprintf(buf, sizeof buf, "%ldh%02ldm", s / 3600, (s % 3600) / 60);
    else
        snprintf(buf, sizeof buf, "%ldd%02ldh", s / 86400, (s % 86400) / 3600);
    return buf;
}

bool ctl_record_from_reply(const std::string &uuid, json_t *reply, ctl_record_t *rec) {
    if (json_array_size(json_object_get(reply, "errors")) > 0)
        return false;
    json_t *result = json_object_get(reply, "result");
    rec->uuid = uuid;
    rec->name = raw_text(result, "name");
    rec->state = raw_text(result, "state");
    rec->start = raw_text(result, "start");
    rec->finish = raw_text(result, "finish");
    json_t *status = json_object_get(json_object_get(result, "output"), "exitStatus");
    rec->has_exit = json_is_integer(status);
    rec->exit_status = rec->has_exit ? static_cast<int>(json_integer_value(status)) : 0;
    return true;
}

void ctl_sort_records(std::vector<ctl_record_t> *records) {
    auto key = [](const ctl_record_t &r) {
        double t = 0;
        return ctl_parse_stamp(r.start, &t) ? t : 0.0;
    };
    std::stable_sort(records->begin(), records->end(), [&](const ctl_record_t &a, const ctl_record_t &b) {
        double ka = key(a), kb = key(b);
        return ka != kb ? ka < kb : a.uuid < b.uuid;
    });
}

bool ctl_record_seconds(const ctl_record_t &r, double now_s, double *seconds) {
    double start = 0, finish = 0;
    if (!ctl_parse_stamp(r.start, &start))
        return false;
    if (!r.finish.empty() && ctl_parse_stamp(r.finish, &finish))
        *seconds = finish - start;
    else if (r.state == "RUNNING")
        *seconds = now_s - start;
    else
        return false;
    return true;
}

std::string ctl_format_records(const std::vector<ctl_record_t> &records, double now_s) {
    struct row {
        std::string cells[6];
    };
    std::vector<row> rows;
    rows.push_back({{"UUID", "NAME", "STATE", "START", "TIME", "EXIT"}});
    for (const ctl_record_t &r : records) {
        double seconds = 0;
        std::string time = ctl_record_seconds(r, now_s, &seconds) ? ctl_human_duration(seconds) : "-";
        rows.push_back({{ctl_escape(r.uuid), ctl_escape(r.name), ctl_escape(r.state), ctl_escape(short_stamp(r.start)),
                         time, r.has_exit ? std::to_string(r.exit_status) : "-"}});
    }
    size_t width[6] = {};
    for (const row &rw : rows)
        for (int i = 0; i < 6; i++)
            width[i] = std::max(width[i], rw.cells[i].size());
    std::string out;
    for (const row &rw : rows) {
        std::string line;
        for (int i = 0; i < 5; i++)
            line += pad(rw.cells[i], width[i]) + "  ";
        line += rw.cells[5];
        out += line + "\n";
    }
    return out;
}

json_ptr ctl_records_json(const std::vector<ctl_record_t> &records, double now_s) {
    json_ptr list(json_array());
    for (const ctl_record_t &r : records) {
        double seconds = 0;
        json_t *row = json_pack("{s:s%, s:o, s:o, s:o, s:o, s:o, s:o}", "requestUUID", r.uuid.data(), r.uuid.size(),
                                "name", text_or_null(r.name), "state", text_or_null(r.state), "start",
                                text_or_null(r.start), "finish", text_or_null(r.finish), "seconds",
                                ctl_record_seconds(r, now_s, &seconds) ? json_real(seconds) : json_null(),
                                "exitStatus", r.has_exit ? json_integer(r.exit_status) : json_null());
        if (row == nullptr || json_array_append_new(list.get(), row) != 0)
            return nullptr;
    }
    return list;
}

int ctl_list_ids(const ctl_options_t &opts, std::vector<std::string> *ids, std::string *err) {
    cstr_ptr uuid(generate_uuid_str());
    if (!uuid) {
        *err = "cannot make a request identifier";
        return CTL_EXIT_FAILED;
    }
    ctl_options_t list = opts;
    list.cmd = ctl_cmd_t::list;
    json_ptr req = ctl_request_for(list, uuid.get());
    json_ptr reply;
    if (!req) {
        *err = "cannot build the request";
        return CTL_EXIT_USAGE;
    }
    int rc = ctl_call(opts.endpoint, ctl_timeout_ms(opts), req.get(), &reply, err, ctl_tls_of(opts));
    if (rc != 0)
        return rc;
    json_t *first = json_array_get(json_object_get(reply.get(), "errors"), 0);
    if (first != nullptr) {
        *err = json_text(first, "errorString");
        return CTL_EXIT_FAILED;
    }
    const char *key;
    json_t *value;
    json_object_foreach(json_object_get(reply.get(), "result"), key, value) {
        (void)value;
        ids->push_back(key);
    }
    return 0;
}

int ctl_fetch_records(const ctl_options_t &opts, std::vector<ctl_record_t> *records,
                      std::string *err) {
    std::vector<std::string> ids;
    int rc = ctl_list_ids(opts, &ids, err);
    if (rc != 0)
        return rc;
    for (const std::string &id : ids) {
        json_ptr props(json_array());
        for (const char *p : record_properties)
            json_array_append_new(props.get(), json_string(p));
        json_ptr req = ctl_request(id, opts.authority, "get",
                                   json_pack("{s:o, s:b}", "properties", props.release(), "peek", 1));
        json_ptr reply;
        if (!req)
            continue;
        rc = ctl_call(opts.endpoint, ctl_timeout_ms(opts), req.get(), &reply, err, ctl_tls_of(opts));
        if (rc != 0)
            return rc;
        ctl_record_t rec;
        if (ctl_record_from_reply(id, reply.get(), &rec))
            records->push_back(rec);
    }
    ctl_sort_records(records);
    return 0;
}

std::string ctl_escape(const char *text) {
    return text != nullptr ? escape_outside_text(text, strlen(text)) : std::string();
}

std::string ctl_escape(const std::string &text) { return escape_outside_text(text.data(), text.size()); }

std::string ctl_format_status(json_t *st) {
    std::string out;
    auto line = [&](const char *label, const std::string &value) {
        out += pad(std::string(label) + ":", 18) + value + "\n";
    };
    json_t *workers = json_object_get(st, "workers");
    json_t *reload = json_object_get(st, "lastReload");
    line("Version", json_text(st, "version"));
    line("Instance", json_text(st, "instance"));
    line("Uptime", ctl_human_duration(number_member(st, "uptimeSeconds")));
    line("Workers", std::to_string(int_member(workers, "busy")) + " busy of " +
                        std::to_string(int_member(workers, "total")));
    line("Queued requests", std::to_string(int_member(st, "queuedRequests")));
    line("Running commands", std::to_string(int_member(st, "runningCommands")));
    line("Async runs", std::to_string(int_member(st, "asyncRuns")));
    line("Scripts loaded", std::to_string(int_member(st, "scriptsLoaded")));
    std::string waiting = std::to_string(int_member(st, "uncollectedRecords"));
    if (json_is_number(json_object_get(st, "oldestUncollectedSeconds")))
        waiting += " (oldest " + ctl_human_duration(number_member(st, "oldestUncollectedSeconds")) + ")";
    line("Uncollected", waiting);
    line("Refused requests", std::to_string(int_member(st, "refusedRequests")));
    std::string reload_text = "none since start";
    if (json_is_string(json_object_get(reload, "time"))) {
        long long skipped = int_member(reload, "skippedFiles");
        reload_text = short_stamp(json_text(reload, "time")) + " (" + json_text(reload, "result") +
                      (skipped > 0 ? ", " + std::to_string(skipped) + (skipped == 1 ? " file" : " files") + " skipped"
                                   : std::string()) +
                      ")";
    }
    line("Last reload", reload_text);

    json_t *scripts = json_object_get(st, "scripts");
    if (json_object_size(scripts) == 0)
        return out;
    const char *head[] = {"SCRIPT", "RUNS", "COMPLETED", "FAILED", "TIMEDOUT", "KILLED", "TOTAL", "MAX"};
    std::vector<std::vector<std::string>> rows;
    rows.emplace_back(std::begin(head), std::end(head));
    const char *name;
    json_t *s;
    json_object_foreach(scripts, name, s) {
        rows.push_back({ctl_escape(name), std::to_string(int_member(s, "runs")),
                        std::to_string(int_member(s, "completed")),
                        std::to_string(int_member(s, "failed")),
                        std::to_string(int_member(s, "timedOut")),
                        std::to_string(int_member(s, "killed")),
                        ctl_human_duration(number_member(s, "runSecondsSum")),
                        ctl_human_duration(number_member(s, "runSecondsMax"))});
    }
    std::vector<size_t> width(std::size(head), 0);
    for (const auto &r : rows)
        for (size_t i = 0; i < r.size(); i++)
            width[i] = std::max(width[i], r[i].size());
    out += "\n";
    for (const auto &r : rows) {
        std::string l;
        for (size_t i = 0; i < r.size(); i++)
            l += (i + 1 < r.size()) ? pad(r[i], width[i]) + "  " : r[i];
        out += l + "\n";
    }
    return out;
}

std::string ctl_format_metrics(json_t *st) {
    std::string out;
    json_t *workers = json_object_get(st, "workers");
    json_t *reload = json_object_get(st, "lastReload");
    metric_head(&out, "tuvod_info", "gauge", "Daemon version and instance identifier.");
    out += "tuvod_info{version=\"" + label_escape(json_text(st, "version").c_str()) +
           "\",instance=\"" + label_escape(json_text(st, "instance").c_str()) + "\"} 1\n";
    struct simple {
        const char *name, *type, *help;
        double value;
    };
    const simple figures[] = {
        {"tuvod_uptime_seconds", "gauge", "Seconds since the daemon started.",
         number_member(st, "uptimeSeconds")},
        {"tuvod_workers", "gauge", "Worker threads.", static_cast<double>(int_member(workers, "total"))},
        {"tuvod_workers_busy", "gauge", "Worker threads serving a request.",
         static_cast<double>(int_member(workers, "busy"))},
        {"tuvod_queued_requests", "gauge", "Requests received and waiting for a worker.",
         static_cast<double>(int_member(st, "queuedRequests"))},
        {"tuvod_running_commands", "gauge", "Commands running now.",
         static_cast<double>(int_member(st, "runningCommands"))},
        {"tuvod_async_runs", "gauge", "Asynchronous runs waiting or running.",
         static_cast<double>(int_member(st, "asyncRuns"))},
        {"tuvod_scripts_loaded", "gauge", "Script configurations loaded.",
         static_cast<double>(int_member(st, "scriptsLoaded"))},
        {"tuvod_requests_refused_total", "counter", "Executes refused before anything ran.",
         static_cast<double>(int_member(st, "refusedRequests"))},
        {"tuvod_uncollected_records", "gauge", "Finished command records waiting to be collected.",
         static_cast<double>(int_member(st, "uncollectedRecords"))},
    };
    for (const simple &f : figures) {
        metric_head(&out, f.name, f.type, f.help);
        metric_line(&out, f.name, f.value);
    }
    if (json_is_number(json_object_get(st, "oldestUncollectedSeconds"))) {
        metric_head(&out, "tuvod_oldest_uncollected_seconds", "gauge",
                    "Age of the oldest finished command record waiting to be collected.");
        metric_line(&out, "tuvod_oldest_uncollected_seconds", number_member(st, "oldestUncollectedSeconds"));
    }
    if (json_is_number(json_object_get(reload, "epochSeconds"))) {
        metric_head(&out, "tuvod_last_reload_timestamp_seconds", "gauge",
                    "Time of the last reload of the script configurations.");
        metric_line(&out, "tuvod_last_reload_timestamp_seconds", number_member(reload, "epochSeconds"));
        metric_head(&out, "tuvod_last_reload_success", "gauge", "1 when the last reload succeeded.");
        metric_line(&out, "tuvod_last_reload_success", json_text(reload, "result") == "ok" ? 1 : 0);
        metric_head(&out, "tuvod_last_reload_skipped_files", "gauge",
                    "Script configuration files the last reload left out.");
        metric_line(&out, "tuvod_last_reload_skipped_files", static_cast<double>(int_member(reload, "skippedFiles")));
    }
    struct per_script {
        const char *name, *type, *help, *key;
    };
    const per_script series[] = {
        {"tuvod_script_runs_total", "counter", "Runs started.", "runs"},
        {"tuvod_script_completed_total", "counter", "Runs that completed (any exit status).", "completed"},
        {"tuvod_script_failed_total", "counter", "Runs that failed or exited abnormally.", "failed"},
        {"tuvod_script_timedout_total", "counter", "Runs that overran their time-out.", "timedOut"},
        {"tuvod_script_killed_total", "counter", "Runs that died of a signal (cancelled, OOM).", "killed"},
        {"tuvod_script_run_seconds_max", "gauge", "Longest run time.", "runSecondsMax"},
    };
    json_t *scripts = json_object_get(st, "scripts");
    for (const per_script &m : series) {
        if (json_object_size(scripts) == 0)
            break;
        metric_head(&out, m.name, m.type, m.help);
        const char *name;
        json_t *s;
        json_object_foreach(scripts, name, s) {
            out += std::string(m.name) + "{script=\"" + label_escape(name) + "\"} " +
                   metric_number(json_number_value(json_object_get(s, m.key))) + "\n";
        }
    }
    // Run time as one summary family: its _sum and _count side by side.
    if (json_object_size(scripts) > 0) {
        metric_head(&out, "tuvod_script_run_seconds", "summary", "Run time of the runs that ended.");
        const char *name;
        json_t *s;
        json_object_foreach(scripts, name, s) {
            std::string label = "{script=\"" + label_escape(name) + "\"} ";
            out += "tuvod_script_run_seconds_sum" + label + metric_number(number_member(s, "runSecondsSum")) + "\n";
            out += "tuvod_script_run_seconds_count" + label + metric_number(json_number_value(json_object_get(s, "runs"))) +
                   "\n";
        }
    }
    return out;
}
