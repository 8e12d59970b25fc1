#!/bin/sh
# State of one service. Exit status: 0 running, 3 not running, 2 bad usage
# (the status values systemctl is-active uses). Without systemd, looks for a
# process of that name instead.
set -u

if [ $# -ne 1 ]; then
    echo "usage: service-status.sh SERVICE" >&2
    exit 2
fi
# The name comes from a remote client: accept only what a unit name holds.
case "$1" in
'' | -* | *[!A-Za-z0-9@._:-]*)
    echo "service-status: invalid service name" >&2
    exit 2
    ;;
esac

if [ -d /run/systemd/system ]; then
    if state=$(systemctl is-active -- "$1" 2>/dev/null); then
        echo "$1: $state since $(systemctl show --property=ActiveEnterTimestamp --value -- "$1")"
        exit 0
    fi
    echo "$1: $state"
    exit 3
fi

pids=$(pgrep -x -- "$1" | tr '\n' ' ')
if [ -n "$pids" ]; then
    echo "$1: running (pid ${pids% })"
    exit 0
fi
echo "$1: not running"
exit 3
