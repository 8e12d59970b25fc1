// tuvoctl command line: global options, then a command with its own options
// and operands. Global options are also accepted after the command name (up
// to the script's path for run and start, where everything that follows
// belongs to the script).
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ctl.hpp"

namespace {

struct cmd_entry {
    const char *name;
    ctl_cmd_t cmd;
};

constexpr cmd_entry cmd_table[] = {
    {"run", ctl_cmd_t::run},
    {"start", ctl_cmd_t::start},
    {"get", ctl_cmd_t::get},
    {"list", ctl_cmd_t::list},
    {"clear", ctl_cmd_t::clear},
    {"legacy", ctl_cmd_t::legacy},
    {"script-config", ctl_cmd_t::script_config},
    {"check-scripts", ctl_cmd_t::check_scripts},
    {"check-config", ctl_cmd_t::check_config},
    {"status", ctl_cmd_t::status},
    {"metrics", ctl_cmd_t::metrics},
    {"cancel", ctl_cmd_t::cancel},
};

// Walks the arguments; options may be written "--name value" or "--name=value".
class arg_reader {
  public:
    explicit arg_reader(const std::vector<std::string> &args) : args_(args) {}

    bool done() const { return pos_ >= args_.size(); }
    const std::string &peek() const { return args_[pos_]; }
    std::string next() { return args_[pos_++]; }

    // Matches an option that takes a value; an inline "=value" is split off.
    bool value_option(const std::string &arg, const char *name, std::string *value,
                      std::string *err) {
        size_t n = strlen(name);
        if (arg.compare(0, n, name) != 0)
            return false;
        if (arg.size() == n) {
            if (done()) {
                *err = std::string("option '") + name + "' needs a value";
                failed_ = true;
                return true;
            }
            *value = next();
            return true;
        }
        if (arg[n] == '=' && name[1] == '-') {
            *value = arg.substr(n + 1);
            return true;
        }
        return false;
    }
    bool failed() const { return failed_; }

  private:
    const std::vector<std::string> &args_;
    size_t pos_ = 0;
    bool failed_ = false;
};

bool parse_int(const std::string &text, long min, long max, int *out) {
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    long v = strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max)
        return false;
    *out = static_cast<int>(v);
    return true;
}

bool is_integer(const std::string &text) {
    int ignored;
    return parse_int(text, -2147483647L, 2147483647L, &ignored);
}

// Result of trying the options every command accepts.
enum class opt_result { no, yes, error };

opt_result global_option(arg_reader &in, const std::string &arg, ctl_options_t *opts,
                         std::string *err) {
    std::string value;
    if (arg == "-h" || arg == "--help") {
        opts->help = true;
        return opt_result::yes;
    }
    if (arg == "--version") {
        opts->version = true;
        return opt_result::yes;
    }
    if (arg == "--json") {
        opts->json = true;
        return opt_result::yes;
    }
    if (in.value_option(arg, "-e", &value, err) || in.value_option(arg, "--endpoint", &value, err)) {
        if (in.failed())
            return opt_result::error;
        if (value.empty()) {
            *err = "the endpoint must not be empty";
            return opt_result::error;
        }
        opts->endpoint = value;
        opts->endpoint_set = true;
        return opt_result::yes;
    }
    if (in.value_option(arg, "--config", &value, err)) {
        if (in.failed())
            return opt_result::error;
        if (value.empty()) {
            *err = "the configuration file name must not be empty";
            return opt_result::error;
        }
        opts->config = value;
        return opt_result::yes;
    }
    for (auto [name, field] : {std::pair{"--cert", &opts->tls.cert}, std::pair{"--key", &opts->tls.key},
                               std::pair{"--ca", &opts->tls.ca}}) {
        if (in.value_option(arg, name, &value, err)) {
            if (in.failed())
                return opt_result::error;
            *field = value;
            return opt_result::yes;
        }
    }
    if (in.value_option(arg, "-a", &value, err) || in.value_option(arg, "--authority", &value, err)) {
        if (in.failed())
            return opt_result::error;
        opts->authority = value;
        opts->authority_set = true;
        return opt_result::yes;
    }
    if (in.value_option(arg, "-t", &value, err) || in.value_option(arg, "--timeout-reply", &value, err)) {
        if (in.failed())
            return opt_result::error;
        if (!parse_int(value, 1, 86400, &opts->timeout_s)) {
            *err = "the reply time-out must be a number of seconds from 1 to 86400, not '" + value + "'";
            return opt_result::error;
        }
        return opt_result::yes;
    }
    return opt_result::no;
}

int unknown_option(const ctl_options_t &opts, const std::string &arg, std::string *err) {
    *err = std::string(ctl_cmd_name(opts.cmd)) + ": unknown option '" + arg + "'";
    return -1;
}

bool is_option(const std::string &arg) { return arg.size() > 1 && arg[0] == '-'; }

int parse_exec(arg_reader &in, ctl_options_t *opts, std::string *err) {
    while (!in.done()) {
        std::string arg = in.next();
        if (arg == "--") {
            break;
        }
        if (!is_option(arg)) {
            opts->argv.push_back(arg);
            break;
        }
        opt_result g = global_option(in, arg, opts, err);
        if (g == opt_result::error)
            return -1;
        if (g == opt_result::yes)
            continue;
        std::string value;
        if (in.value_option(arg, "-u", &value, err) || in.value_option(arg, "--uuid", &value, err)) {
            if (in.failed())
                return -1;
            if (value.empty()) {
                *err = "the request identifier must not be empty";
                return -1;
            }
            opts->uuid = value;
        } else {
            return unknown_option(*opts, arg, err);
        }
    }
    while (!in.done())
        opts->argv.push_back(in.next());
    if (opts->argv.empty() && !opts->help) {
        *err = std::string(ctl_cmd_name(opts->cmd)) + ": no script path given";
        return -1;
    }
    return 0;
}

// Commands whose operands and options mix freely: get, list, clear, legacy,
// check-scripts. Collects operands; options are the command's own or global.
template <typename Fn>
int parse_mixed(arg_reader &in, ctl_options_t *opts, std::vector<std::string> *operands,
                std::string *err, Fn own_option) {
    bool operands_only = false;
    while (!in.done()) {
        std::string arg = in.next();
        if (operands_only || !is_option(arg)) {
            operands->push_back(arg);
            continue;
        }
        if (arg == "--") {
            operands_only = true;
            continue;
        }
        opt_result g = global_option(in, arg, opts, err);
        if (g == opt_result::error)
            return -1;
        if (g == opt_result::yes)
            continue;
        opt_result o = own_option(in, arg);
        if (o == opt_result::error)
            return -1;
        if (o == opt_result::no)
            return unknown_option(*opts, arg, err);
    }
    return 0;
}

int parse_get(arg_reader &in, ctl_options_t *opts, std::string *err) {
    std::vector<std::string> operands;
    if (parse_mixed(in, opts, &operands, err, [&](arg_reader &, const std::string &arg) {
            if (arg == "--peek") {
                opts->peek = true;
                return opt_result::yes;
            }
            return opt_result::no;
        }) != 0)
        return -1;
    if (opts->help)
        return 0;
    if (operands.empty()) {
        *err = "get: no request identifier given";
        return -1;
    }
    opts->target_uuid = operands[0];
    opts->properties.assign(operands.begin() + 1, operands.end());
    return 0;
}

int parse_list(arg_reader &in, ctl_options_t *opts, std::string *err) {
    std::vector<std::string> operands;
    if (parse_mixed(in, opts, &operands, err, [&](arg_reader &, const std::string &arg) {
            std::string value;
            if (in.value_option(arg, "--cmd", &value, err) || in.value_option(arg, "--name", &value, err)) {
                if (in.failed())
                    return opt_result::error;
                opts->cmd_pattern = value;
                return opt_result::yes;
            }
            if (arg == "-q" || arg == "--quiet") {
                opts->ids_only = true;
                return opt_result::yes;
            }
            if (arg == "-l" || arg == "--long") {
                opts->long_list = true;
                return opt_result::yes;
            }
            if (in.value_option(arg, "--state", &value, err)) {
                if (in.failed())
                    return opt_result::error;
                opts->state_pattern = value;
                return opt_result::yes;
            }
            return opt_result::no;
        }) != 0)
        return -1;
    if (!operands.empty()) {
        *err = "list: unexpected operand '" + operands[0] + "'";
        return -1;
    }
    return 0;
}

int parse_clear(arg_reader &in, ctl_options_t *opts, std::string *err) {
    std::vector<std::string> operands;
    if (parse_mixed(in, opts, &operands, err, [&](arg_reader &, const std::string &arg) {
            if (arg == "--force" || arg == "-f") {
                opts->force = true;
                return opt_result::yes;
            }
            std::string value;
            if (in.value_option(arg, "--state", &value, err)) {
                if (in.failed())
                    return opt_result::error;
                if (value.empty()) {
                    *err = "clear: the state must not be empty";
                    return opt_result::error;
                }
                opts->clear_state = value;
                return opt_result::yes;
            }
            return opt_result::no;
        }) != 0)
        return -1;
    if (opts->help)
        return 0;
    if (!opts->clear_state.empty()) {
        if (!operands.empty()) {
            *err = "clear: give either --state or a request identifier";
            return -1;
        }
        return 0;
    }
    if (operands.size() != 1) {
        *err = operands.empty() ? "clear: no request identifier given"
                                : "clear: one request identifier expected";
        return -1;
    }
    opts->target_uuid = operands[0];
    return 0;
}

// status and metrics take no operands.
int parse_no_operands(arg_reader &in, ctl_options_t *opts, std::string *err) {
    std::vector<std::string> operands;
    if (parse_mixed(in, opts, &operands, err,
                    [](arg_reader &, const std::string &) { return opt_result::no; }) != 0)
        return -1;
    if (!operands.empty()) {
        *err = std::string(ctl_cmd_name(opts->cmd)) + ": unexpected operand '" + operands[0] + "'";
        return -1;
    }
    return 0;
}

int parse_cancel(arg_reader &in, ctl_options_t *opts, std::string *err) {
    std::vector<std::string> operands;
    if (parse_mixed(in, opts, &operands, err,
                    [](arg_reader &, const std::string &) { return opt_result::no; }) != 0)
        return -1;
    if (opts->help)
        return 0;
    if (operands.size() != 1) {
        *err = operands.empty() ? "cancel: no request identifier given"
                                : "cancel: one request identifier expected";
        return -1;
    }
    opts->target_uuid = operands[0];
    return 0;
}

int parse_legacy(arg_reader &in, ctl_options_t *opts, std::string *err) {
    std::vector<std::string> operands;
    if (parse_mixed(in, opts, &operands, err,
                    [](arg_reader &, const std::string &) { return opt_result::no; }) != 0)
        return -1;
    if (opts->help)
        return 0;
    if (operands.empty()) {
        *err = "legacy: no command line given";
        return -1;
    }
    // Several operands are joined as the gateway would split them again.
    for (size_t i = 0; i < operands.size(); i++) {
        if (i > 0)
            opts->legacy_line += ' ';
        opts->legacy_line += operands[i];
    }
    return 0;
}

int parse_check(arg_reader &in, ctl_options_t *opts, std::string *err) {
    std::vector<std::string> operands;
    if (parse_mixed(in, opts, &operands, err, [&](arg_reader &, const std::string &arg) {
            if (arg == "-q" || arg == "--quiet") {
                opts->quiet = true;
                return opt_result::yes;
            }
            return opt_result::no;
        }) != 0)
        return -1;
    if (operands.size() > 1) {
        *err = "check-scripts: one directory expected";
        return -1;
    }
    if (!operands.empty())
        opts->scripts_dir = operands[0];
    return 0;
}

int parse_check_config(arg_reader &in, ctl_options_t *opts, std::string *err) {
    std::vector<std::string> operands;
    if (parse_mixed(in, opts, &operands, err, [&](arg_reader &, const std::string &arg) {
            if (arg != "--strict")
                return opt_result::no;
            opts->strict = true;
            return opt_result::yes;
        }) != 0)
        return -1;
    if (operands.size() > 1) {
        *err = "check-config: one file expected";
        return -1;
    }
    if (!operands.empty())
        opts->daemon_config = operands[0];
    return 0;
}

int parse_kill_step(const std::string &text, ctl_kill_step_t *step) {
    size_t colon = text.find(':');
    if (colon == std::string::npos)
        return -1;
    step->sig = ctl_signal_number(text.substr(0, colon));
    if (step->sig < 0 || !parse_int(text.substr(colon + 1), 1, 2147483647L, &step->timeout))
        return -1;
    return 0;
}

// "a,b,c" -> {"a", "b", "c"}; "" -> {}.
std::vector<std::string> split_list(const std::string &text) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (!text.empty() && pos <= text.size()) {
        size_t comma = text.find(',', pos);
        if (comma == std::string::npos)
            comma = text.size();
        out.push_back(text.substr(pos, comma - pos));
        pos = comma + 1;
    }
    return out;
}

int parse_script_config(arg_reader &in, ctl_options_t *opts, std::string *err) {
    std::vector<std::string> operands;
    bool have_name = false;
    if (parse_mixed(in, opts, &operands, err, [&](arg_reader &, const std::string &arg) {
            std::string value;
            if (in.value_option(arg, "--name", &value, err)) {
                opts->name = value;
                have_name = true;
            } else if (in.value_option(arg, "--timeout", &value, err)) {
                if (!in.failed() && !parse_int(value, 0, 2147483647L, &opts->script_timeout)) {
                    *err = "script-config: the timeout must be a number of seconds, not '" + value + "'";
                    return opt_result::error;
                }
            } else if (arg == "--concurrent") {
                opts->concurrent = true;
            } else if (arg == "--non-blocking") {
                opts->nonblock = true;
            } else if (in.value_option(arg, "--redact", &value, err)) {
                // One or more indexes: the value, then every integer that follows.
                for (;;) {
                    int index;
                    if (in.failed())
                        return opt_result::error;
                    if (!parse_int(value, 0, 30, &index)) {
                        *err = "script-config: redacted argument indexes are 0 to 30, not '" + value + "'";
                        return opt_result::error;
                    }
                    opts->redact.push_back(index);
                    if (in.done() || !is_integer(in.peek()))
                        break;
                    value = in.next();
                }
            } else if (in.value_option(arg, "--run-as", &value, err)) {
                opts->run_as = value;
            } else if (in.value_option(arg, "--groups", &value, err)) {
                opts->run_groups = split_list(value);
            } else if (in.value_option(arg, "--capabilities", &value, err)) {
                opts->caps_given = true;
                opts->caps = split_list(value);
            } else if (arg == "--no-new-privileges") {
                opts->no_new_privs = true;
            } else if (arg == "--clean-environment") {
                opts->clean_env = true;
            } else if (in.value_option(arg, "--env", &value, err)) {
                if (!in.failed() && value.find('=') == std::string::npos) {
                    *err = "script-config: --env takes NAME=VALUE, not '" + value + "'";
                    return opt_result::error;
                }
                opts->env.push_back(value);
            } else if (in.value_option(arg, "--working-directory", &value, err)) {
                opts->working_dir = value;
            } else if (in.value_option(arg, "--umask", &value, err)) {
                opts->umask = value;
            } else if (arg == "--secrets-on-stdin") {
                opts->secrets_stdin = true;
            } else if (in.value_option(arg, "--kill", &value, err)) {
                ctl_kill_step_t step;
                if (!in.failed() && parse_kill_step(value, &step) != 0) {
                    *err = "script-config: a kill step is SIGNAL:SECONDS (signal by number or "
                           "name, seconds above 0), not '" + value + "'";
                    return opt_result::error;
                }
                opts->kill.push_back(step);
            } else {
                return opt_result::no;
            }
            return in.failed() ? opt_result::error : opt_result::yes;
        }) != 0)
        return -1;
    if (opts->help)
        return 0;
    if (operands.size() != 1) {
        *err = operands.empty() ? "script-config: no executable given"
                                : "script-config: one executable expected";
        return -1;
    }
    opts->executable = operands[0];
    if (!have_name || !opts->authority_set) {
        *err = "script-config: --name and --authority are required";
        return -1;
    }
    return 0;
}

} // namespace

const char *ctl_cmd_name(ctl_cmd_t cmd) {
    for (const cmd_entry &e : cmd_table)
        if (e.cmd == cmd)
            return e.name;
    return "tuvoctl";
}

int ctl_signal_number(const std::string &text) {
    int sig;
    if (parse_int(text, 0, SIGRTMAX, &sig))
        return sig;
    std::string name = text;
    if (name.rfind("SIG", 0) == 0)
        name = name.substr(3);
    for (int s = 1; s < NSIG; s++) {
        const char *abbrev = sigabbrev_np(s);
        if (abbrev != nullptr && name == abbrev)
            return s;
    }
    return -1;
}

int ctl_parse_args(const std::vector<std::string> &args, ctl_options_t *opts, std::string *err) {
    arg_reader in(args);
    while (!in.done() && opts->cmd == ctl_cmd_t::none) {
        std::string arg = in.next();
        if (is_option(arg)) {
            opt_result g = global_option(in, arg, opts, err);
            if (g == opt_result::error)
                return -1;
            if (g == opt_result::no) {
                *err = "unknown option '" + arg + "'";
                return -1;
            }
            continue;
        }
        if (arg == "help") {
            opts->help = true;
            continue;
        }
        for (const cmd_entry &e : cmd_table)
            if (arg == e.name)
                opts->cmd = e.cmd;
        if (opts->cmd == ctl_cmd_t::none) {
            *err = "unknown command '" + arg + "'";
            return -1;
        }
    }
    switch (opts->cmd) {
    case ctl_cmd_t::none:
        if (!opts->help && !opts->version) {
            *err = "no command given";
            return -1;
        }
        return 0;
    case ctl_cmd_t::run:
    case ctl_cmd_t::start:
        return parse_exec(in, opts, err);
    case ctl_cmd_t::get:
        return parse_get(in, opts, err);
    case ctl_cmd_t::list:
        return parse_list(in, opts, err);
    case ctl_cmd_t::clear:
        return parse_clear(in, opts, err);
    case ctl_cmd_t::legacy:
        return parse_legacy(in, opts, err);
    case ctl_cmd_t::script_config:
        return parse_script_config(in, opts, err);
    case ctl_cmd_t::check_scripts:
        return parse_check(in, opts, err);
    case ctl_cmd_t::check_config:
        return parse_check_config(in, opts, err);
    case ctl_cmd_t::status:
    case ctl_cmd_t::metrics:
        return parse_no_operands(in, opts, err);
    case ctl_cmd_t::cancel:
        return parse_cancel(in, opts, err);
    }
    return -1;
}

bool ctl_args_want_json(const std::vector<std::string> &args) {
    for (const std::string &a : args) {
        if (a == "--")
            return false;
        if (a == "--json")
            return true;
    }
    return false;
}

int ctl_timeout_ms(const ctl_options_t &opts) {
    int s = opts.timeout_s;
    if (s <= 0)
        s = (opts.cmd == ctl_cmd_t::run || opts.cmd == ctl_cmd_t::legacy) ? CTL_TIMEOUT_SCRIPT_S
                                                                           : CTL_TIMEOUT_QUERY_S;
    return s * 1000;
}
