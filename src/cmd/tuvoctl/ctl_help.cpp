// Help texts of tuvoctl, one per command. The manual page tuvoctl(1) says
// the same at more length; keep the two in step.
#include "ctl.hpp"

namespace {

constexpr const char overview_help[] =
    "Usage: tuvoctl [GLOBAL OPTIONS] COMMAND [ARGS...]\n"
    "\n"
    "Client for the tuvod command execution daemon.\n"
    "\n"
    "Commands:\n"
    "  run [-a AUTH] [-u UUID] -- PATH [ARG...]   run a script, wait, pass its output and status on\n"
    "  start [-a AUTH] [-u UUID] -- PATH [ARG...] start a script, print its request id\n"
    "  get [--peek] UUID [PROPERTY...]            show a recorded command (retires a finished one)\n"
    "  list [--name PATTERN] [--state PATTERN]    list recorded commands (--json -l: as JSON)\n"
    "  clear [--force] UUID | --state STATE       delete a command's record, or all in a state\n"
    "  cancel [-a AUTH] UUID                      end a running command now\n"
    "  status                                     show what the daemon is doing\n"
    "  metrics                                    the status in Prometheus text format\n"
    "  legacy \"COMMAND LINE\"                      run a command over the legacy loopback protocol\n"
    "  script-config EXECUTABLE --name NAME --authority AUTH [...]\n"
    "                                             print a script configuration file\n"
    "  check-scripts [-q] [DIR]                   check a script configuration directory\n"
    "  check-config [--strict] [FILE]             check the daemon configuration file\n"
    "\n"
    "Global options:\n"
    "  -e, --endpoint ENDPOINT  daemon endpoint (default tcp://127.0.0.1:5557;\n"
    "                           tls+tcp://HOST:5558 for TLS); the port is required, and\n"
    "                           a scheme that does not fit the port is named as such\n"
    "      --cert FILE          client certificate (PEM) for a tls+tcp:// endpoint\n"
    "      --key FILE           its private key (PEM, mode 0600)\n"
    "      --ca FILE            CA certificate that signed the daemon's certificate\n"
    "      --config FILE        client configuration (JSON: endpoint, certFile, keyFile,\n"
    "                           caFile); default $TUVOCTL_CONFIG, else\n"
    "                           ~/.config/tuvoctl.json when it exists. Options override it\n"
    "  -t, --timeout-reply S    seconds to wait for the answer (default 30; 900 for run and legacy)\n"
    "  -a, --authority AUTH     authority presented with requests\n"
    "      --json               print the daemon's whole response as JSON (and failures as\n"
    "                           {\"error\": TEXT, \"exitStatus\": N})\n"
    "  -h, --help               help; 'tuvoctl COMMAND --help' for a command\n"
    "      --version            print the version\n"
    "\n"
    "Exit status: 0 success; 1 the daemon reported errors; 64 usage error; 69 no daemon\n"
    "answered; 76 an answer that cannot be understood; 78 the configuration file is\n"
    "refused. run passes the script's own status on; see 'tuvoctl run --help' for the\n"
    "statuses of a command that did not complete.\n";

constexpr const char run_help[] =
    "Usage: tuvoctl run [-a AUTHORITY] [-u UUID] [--json] -- PATH [ARG...]\n"
    "\n"
    "Runs the configured script PATH with its arguments and waits for it, as if it ran\n"
    "here: its standard output goes to standard output, its standard error to standard\n"
    "error, and its exit status becomes tuvoctl's.\n"
    "\n"
    "PATH is the script's \"path\" exactly as its configuration file gives it.\n"
    "\n"
    "Options:\n"
    "  -a, --authority AUTH  the authority to present. Default: $TUVOCTL_AUTHORITY, else\n"
    "                        the authority configured for PATH in\n"
    "                        /lumo/conf/tuvod/script_config.d when that is readable here\n"
    "  -u, --uuid UUID       request identifier (default: a new one)\n"
    "      --json            print the whole response instead of the script's output\n"
    "  -t S                  seconds to wait for the answer (default 900)\n"
    "\n"
    "When the command does not complete, the state and the daemon's error entries are\n"
    "written to standard error and the exit status is:\n"
    "  124  TIMEDOUT or WONTDIE: the script overran its time-out\n"
    "  125  any other state: FAILED (refused, e.g. wrong authority), DIED, ABNORMAL_EXOIT\n"
    "  126  INVALID_SCRIPT: the executable is missing, not executable or has another digest\n"
    "  127  INVALID_CMD: no script is configured with that path\n"
    "   69  no daemon answered;  76  the answer could not be understood;  64  usage error\n";

constexpr const char start_help[] =
    "Usage: tuvoctl start [-a AUTHORITY] [-u UUID] [--json] -- PATH [ARG...]\n"
    "\n"
    "Starts the configured script PATH asynchronously and prints the request identifier;\n"
    "fetch the outcome later with 'tuvoctl get UUID'. Options and exit statuses are those\n"
    "of 'tuvoctl run', except that success (state RUNNING) exits with 0.\n";

constexpr const char get_help[] =
    "Usage: tuvoctl get [--peek] [--json] UUID [PROPERTY...]\n"
    "\n"
    "Without PROPERTY: writes the command's standard output and standard error to\n"
    "tuvoctl's own and exits with its exit status, as 'tuvoctl run' would have; a\n"
    "command that did not complete exits as run does (124-127), one still running\n"
    "with 75.\n"
    "\n"
    "With PROPERTY (name, state, args, start, finish, output, errors): one\n"
    "'property: value' line each; exit status 0 when the daemon reported no error,\n"
    "1 otherwise.\n"
    "\n"
    "A get of a finished command deletes its record; --peek leaves it in place.\n";

constexpr const char list_help[] =
    "Usage: tuvoctl list [--name PATTERN] [--state PATTERN] [-q] [--json [-l]]\n"
    "\n"
    "Lists recorded commands, oldest first: identifier, script name, state, start\n"
    "time, run time (elapsed time while running) and exit status. PATTERN is an SQL\n"
    "LIKE pattern ('%' any text, '_' any character); a leading '!' inverts it. --name\n"
    "(or --cmd) matches the script's name, --state the state name (RUNNING, COMPLETE,\n"
    "TIMEDOUT, ...). -q prints the identifiers only; --json the daemon's answer\n"
    "(identifier to state); --json with -l (--long) every column of the table, as an\n"
    "array of {\"requestUUID\", \"name\", \"state\", \"start\", \"finish\", \"seconds\",\n"
    "\"exitStatus\"} oldest first, null where the table shows '-'.\n"
    "Example: tuvoctl list --state '!RUNNING'\n";

constexpr const char clear_help[] =
    "Usage: tuvoctl clear [--force] [--json] UUID\n"
    "       tuvoctl clear --state STATE [--force] [--json]\n"
    "\n"
    "Deletes the record of the command UUID, or with --state every record in that\n"
    "state (a LIKE pattern, as for list). A running command's record is deleted only\n"
    "with --force (the command itself goes on running; see 'tuvoctl cancel').\n"
    "\n"
    "Exit status: 0 when deleted, 1 otherwise.\n";

constexpr const char cancel_help[] =
    "Usage: tuvoctl cancel [-a AUTHORITY] [--json] UUID\n"
    "\n"
    "Ends the running command UUID at once through its kill escalation; its record\n"
    "ends DIED with an error entry naming this request. The authority is the script's\n"
    "(default: $TUVOCTL_AUTHORITY, else the one configured locally for the script the\n"
    "command runs).\n"
    "\n"
    "Exit status: 0 when cancelled, 1 when refused (unknown or finished command, wrong\n"
    "authority).\n";

constexpr const char status_help[] =
    "Usage: tuvoctl status [--json]\n"
    "\n"
    "Shows the daemon's version, instance, uptime, workers (busy of total), queued\n"
    "requests, running commands, asynchronous runs, loaded scripts, the last reload,\n"
    "and per script the runs, completed, failed, timed-out and killed counts with the\n"
    "total and longest run time since the daemon started.\n";

constexpr const char metrics_help[] =
    "Usage: tuvoctl metrics\n"
    "\n"
    "Prints the status in the Prometheus text exposition format (tuvod_* metrics, a\n"
    "script label per script), e.g. for node_exporter's textfile collector:\n"
    "  tuvoctl metrics > /var/lib/prometheus/node-exporter/tuvod.prom.$$ &&\n"
    "  mv /var/lib/prometheus/node-exporter/tuvod.prom.$$ .../tuvod.prom\n";

constexpr const char legacy_help[] =
    "Usage: tuvoctl legacy [--json] \"PATH [ARG...]\"\n"
    "\n"
    "Sends the command line to the legacy gateway on 127.0.0.1 port 4562 and writes the\n"
    "standard output it returns. The gateway splits the line at every blank; double\n"
    "quotes group blanks into one argument and are kept in it. Several operands are\n"
    "joined with blanks.\n"
    "\n"
    "The exit status is the one the gateway returns: the script's status, or 100 timed\n"
    "out, 101 failed, 102 no such script, 103 invalid script or request, 104 could not\n"
    "be killed. A 102 with no output is explained on standard error (is the path\n"
    "configured here?), as is a connection the gateway refuses: it serves root and the\n"
    "users in \"legacyUsers\" of the daemon configuration only.\n";

constexpr const char script_config_help[] =
    "Usage: tuvoctl script-config EXECUTABLE --name NAME --authority AUTHORITY\n"
    "                             [--timeout S] [--concurrent] [--non-blocking]\n"
    "                             [--redact N...] [--kill SIGNAL:SECONDS...]\n"
    "                             [--run-as USER[:GROUP]] [--groups G,...]\n"
    "                             [--capabilities CAP,...] [--no-new-privileges]\n"
    "                             [--clean-environment] [--env NAME=VALUE...]\n"
    "                             [--working-directory DIR] [--umask OCTAL]\n"
    "                             [--secrets-on-stdin]\n"
    "\n"
    "Prints a script configuration file for EXECUTABLE (an absolute path), with the\n"
    "SHA-256 digest of its current content. Save it as NAME.json in\n"
    "/lumo/conf/tuvod/script_config.d, check with 'tuvoctl check-scripts' and reload the\n"
    "daemon (systemctl reload tuvod, or SIGHUP).\n"
    "\n"
    "  --timeout S       seconds before the kill escalation starts (default 60)\n"
    "  --concurrent      allow runs to overlap (default: one at a time)\n"
    "  --non-blocking    detach the script by a second fork (its status is then 0)\n"
    "  --redact N...     argument indexes (0 = PATH, 1 = first argument) to mask in\n"
    "                    records and logs; may be repeated\n"
    "  --kill SIG:S      a kill step: send SIG, wait S seconds; repeat for more steps\n"
    "                    (default: QUIT 30 s, TERM 5 s, KILL 5 s)\n"
    "  --run-as U[:G]    run as user U (name or uid), group G (default: U's group)\n"
    "  --groups G,...    supplementary groups of the run (default: none)\n"
    "  --capabilities C,...  keep only these capabilities (\"\": none)\n"
    "  --no-new-privileges   no setuid or file-capability gains (implied by a\n"
    "                    non-root --run-as)\n"
    "  --clean-environment   start from PATH alone, not the daemon's environment\n"
    "  --env NAME=VALUE  set a variable; may be repeated\n"
    "  --working-directory DIR  start in DIR (checked like the script's directories)\n"
    "  --umask OCTAL     the script's umask (default 0022)\n"
    "  --secrets-on-stdin    pass the --redact arguments on stdin, one a line,\n"
    "                    not in argv\n";

constexpr const char check_scripts_help[] =
    "Usage: tuvoctl check-scripts [-q] [DIR]\n"
    "\n"
    "Checks every *.json file of DIR (default /lumo/conf/tuvod/script_config.d) as the\n"
    "daemon loads it: members, types, redacted indexes and kill signals, then the\n"
    "executable (present, owner-executable, digest), and two files naming one path.\n"
    "For a script with runAs, capabilities or a working directory it also checks the\n"
    "user and groups exist, the user may run the executable and the directory is\n"
    "trusted, and the line shows how the script is confined.\n"
    "Prints one line per file (-q: only problems) and exits with 1 on any problem, so\n"
    "an edit can be checked before the daemon reloads. A reload with no valid file\n"
    "leaves the daemon with no scripts at all.\n";

constexpr const char check_config_help[] =
    "Usage: tuvoctl check-config [--strict] [FILE]\n"
    "\n"
    "Checks the daemon configuration FILE (default /lumo/conf/tuvod/config.json) as the\n"
    "daemon reads it at start-up: it must parse, and the keys that guard access (tls\n"
    "and everything in it, legacyUsers) must have the right types. Prints the daemon's\n"
    "own message for each problem and exits with 1 on any. A file that does not parse\n"
    "makes the daemon run on its last good copy (FILE.last-good); a wrong type in a\n"
    "key that guards access stops it from starting.\n"
    "\n"
    "Then one 'warning: ' line for each key the daemon does not know, at the top level\n"
    "or in tls (kept but not used: a misspelt \"tlss\" leaves TLS off), and for each\n"
    "bindAddrs entry that is not an IPv4 address (it fails to bind and is skipped); the\n"
    "daemon logs the same warnings at start-up. Warnings alone exit with 0 (the last\n"
    "line is 'FILE: ok, with N warnings'); --strict makes them exit with 1.\n";

} // namespace

const char *ctl_help_text(ctl_cmd_t cmd) {
    switch (cmd) {
    case ctl_cmd_t::run:
        return run_help;
    case ctl_cmd_t::start:
        return start_help;
    case ctl_cmd_t::get:
        return get_help;
    case ctl_cmd_t::list:
        return list_help;
    case ctl_cmd_t::clear:
        return clear_help;
    case ctl_cmd_t::legacy:
        return legacy_help;
    case ctl_cmd_t::script_config:
        return script_config_help;
    case ctl_cmd_t::check_scripts:
        return check_scripts_help;
    case ctl_cmd_t::check_config:
        return check_config_help;
    case ctl_cmd_t::cancel:
        return cancel_help;
    case ctl_cmd_t::status:
        return status_help;
    case ctl_cmd_t::metrics:
        return metrics_help;
    case ctl_cmd_t::none:
        break;
    }
    return overview_help;
}
