#!/bin/sh
# Disk usage of the file systems holding the given paths (default: every
# local file system). Exit status: 0 all below the threshold, 1 at least one
# at or above it (90% unless DISK_WARN_PERCENT says otherwise), 2 a path
# that cannot be examined.
set -u

threshold=${DISK_WARN_PERCENT:-90}
if [ $# -eq 0 ]; then
    set -- -l -x tmpfs -x devtmpfs -x overlay -x squashfs
else
    for p in "$@"; do
        case "$p" in
        /*) ;;
        *) echo "diskusage: not an absolute path: $p" >&2; exit 2 ;;
        esac
    done
    set -- -- "$@"
fi

report=$(df -P -h "$@") || exit 2
printf '%s\n' "$report"
df -P "$@" | awk -v t="$threshold" '
    NR > 1 { pct = $5; sub("%", "", pct); if (pct + 0 >= t) { print "diskusage: " $6 " is " $5 " full" > "/dev/stderr"; full = 1 } }
    END { exit full }'
