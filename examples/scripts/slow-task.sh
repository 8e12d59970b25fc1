#!/bin/sh
# A long task for trying asynchronous runs and time-outs: works for the
# given number of seconds (default 5), printing one progress line a second.
# Its configuration allows 20 seconds; a SIGTERM from the kill escalation
# ends it cleanly with what it had done so far.
set -u

steps=${1:-5}
case "$steps" in
'' | *[!0-9]*)
    echo "usage: slow-task.sh [SECONDS]" >&2
    exit 2
    ;;
esac

i=0
trap 'echo "interrupted after $i of $steps steps" >&2; exit 143' TERM
while [ "$i" -lt "$steps" ]; do
    sleep 1
    i=$((i + 1))
    echo "step $i of $steps done"
done
echo "slow task finished"
