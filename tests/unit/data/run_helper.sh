#!/bin/sh
# Test helper for command execution: its arguments, taken in order, set its
# output, signal behaviour, children, sleep and exit code.
#   out TEXT        write TEXT to standard output (no newline)
#   err TEXT        write TEXT to standard error (no newline)
#   cat FILE        copy FILE to standard output
#   ignore          ignore SIGQUIT and SIGTERM (inherited by later children)
#   trapterm CODE   exit with CODE on SIGTERM
#   spawn           start a background child that sleeps for 600 s
#   spawnpgrp       the same, in a process group of its own
#   pidfile FILE    append this shell's PID to FILE
#   status          write this shell's SigBlk and SigIgn lines
#   cgroup          write this shell's cgroup v2 line
#   closeout        close standard output and error
#   sleep SECS      sleep (in the background, so that traps run at once)
#   die SIG         kill itself with SIG
#   exit CODE       exit with CODE
while [ $# -gt 0 ]; do
    op=$1
    shift
    case $op in
    out) printf '%s' "$1"; shift ;;
    err) printf '%s' "$1" >&2; shift ;;
    cat) cat "$1"; shift ;;
    ignore) trap '' QUIT TERM ;;
    trapterm) code=$1; shift; trap "exit $code" TERM ;;
    spawn) sleep 600 & ;;
    spawnpgrp) perl -e 'setpgrp(0, 0); exec "sleep", "600"' & ;;
    pidfile) echo $$ >>"$1"; shift ;;
    status)
        # Builtins only: the shell blocks signals while it waits for a child.
        while IFS= read -r line; do
            case $line in SigBlk:* | SigIgn:*) printf '%s\n' "$line" ;; esac
        done </proc/$$/status
        ;;
    cgroup) grep '^0::' /proc/$$/cgroup ;;
    closeout) exec >&- 2>&- ;;
    sleep) sleep "$1" & wait $!; shift ;;
    die) kill -s "$1" $$; shift ;;
    exit) exit "$1" ;;
    *) echo "unknown operation $op" >&2; exit 99 ;;
    esac
done
exit 0
