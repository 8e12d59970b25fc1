#!/bin/sh
# System summary for monitoring clients: host, kernel, uptime, load, CPUs
# and memory, one "key: value" line each. Takes no arguments.
set -u

read -r up _ < /proc/uptime
read -r l1 l5 l15 _ < /proc/loadavg
printf 'host:    %s\n' "$(hostname)"
printf 'kernel:  %s\n' "$(uname -sr)"
printf 'uptime:  %s\n' "$(awk -v s="$up" 'BEGIN { s = int(s); printf "%dd %02dh %02dm", s / 86400, s % 86400 / 3600, s % 3600 / 60 }')"
printf 'load:    %s %s %s\n' "$l1" "$l5" "$l15"
printf 'cpus:    %s\n' "$(nproc)"
awk '/^MemTotal:/ { t = $2 } /^MemAvailable:/ { a = $2 }
     END { printf "memory:  %d MiB total, %d MiB available\n", t / 1024, a / 1024 }' /proc/meminfo
