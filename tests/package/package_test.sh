#!/bin/sh
# Builds the Debian package from a build tree, checks what it installs and
# with which modes, runs the unpacked binaries, verifies the systemd unit
# where systemd-analyze exists, and checks that the shipped example
# configurations load and match their scripts.
# Usage: package_test.sh SOURCE_DIR BUILD_DIR
set -eu

src=$1
build=$2
tmp=$(mktemp -d /tmp/tuvod-package.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

if ! cpack -G DEB -B "$tmp/out" --config "$build/CPackConfig.cmake" > "$tmp/cpack.log" 2>&1; then
    cat "$tmp/cpack.log" >&2
    echo "FAIL: cpack" >&2
    exit 1
fi
deb=$(ls "$tmp"/out/*.deb)
echo "package: $(basename "$deb")"

# Contents: path and mode of every entry.
dpkg-deb -c "$deb" | awk '{ print $1, $6 }' > "$tmp/contents"
expect() { # MODE PATH
    grep -qx -- "$1 $2" "$tmp/contents" || fail "expected $2 with mode $1; got: $(grep -- " $2\$" "$tmp/contents" || echo none)"
}
expect -rwxr-xr-x ./usr/sbin/tuvod
expect -rwxr-xr-x ./usr/bin/tuvoctl
expect -rw-r--r-- ./usr/lib/systemd/system/tuvod.service
expect -rw-r--r-- ./usr/lib/tmpfiles.d/tuvod.conf
expect -rw-r--r-- ./etc/logrotate.d/tuvod
expect -rw-r--r-- ./etc/default/tuvod
expect -rw-r--r-- ./usr/share/man/man8/tuvod.8.gz
expect -rw-r--r-- ./usr/share/man/man1/tuvoctl.1.gz
expect -rw-r--r-- ./usr/share/doc/tuvod/README.md
expect -rw-r--r-- ./usr/share/bash-completion/completions/tuvoctl
expect -rw-r--r-- ./usr/share/doc/tuvod/copyright
expect -rw-r--r-- ./usr/share/doc/tuvod/changelog.gz
expect -rw-r--r-- ./usr/share/lintian/overrides/tuvod
expect drwx------ ./lumo/conf/tuvod/
expect drwx------ ./lumo/conf/tuvod/script_config.d/
expect drwxr-x--- ./var/log/orrvik/
for s in "$src"/examples/scripts/*.sh; do
    expect -rwxr-xr-x "./usr/share/doc/tuvod/examples/scripts/$(basename "$s")"
done
for c in "$src"/examples/script_config.d/*.json; do
    expect -rw-r--r-- "./usr/share/doc/tuvod/examples/script_config.d/$(basename "$c")"
done
# Nothing outside the expected trees (no headers, libraries or test programs).
awk '{ print $2 }' "$tmp/contents" |
    grep -Ev '^\./($|etc/($|default/|logrotate\.d/)|lumo/|var/($|log/)|usr/($|bin/|sbin/|lib/($|systemd/|tmpfiles\.d/)|share/($|man/|doc/|bash-completion/|lintian/)))' > "$tmp/stray" || true
[ -s "$tmp/stray" ] && fail "unexpected entries: $(cat "$tmp/stray")"

# Control data.
dpkg-deb -f "$deb" Package | grep -qx tuvod || fail "package name"
dpkg-deb -f "$deb" Depends | grep -q libssl3 || fail "Depends lacks libssl3"
# The binaries speak the wire themselves: no messaging library.
dpkg-deb -f "$deb" Depends | grep -q libnng && fail "Depends still names libnng"
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles > "$tmp/conffiles" 2>/dev/null || fail "no conffiles"
for f in /etc/default/tuvod /etc/logrotate.d/tuvod; do
    grep -qx "$f" "$tmp/conffiles" || fail "$f is not a conffile"
done

# A maintainer that mail can reach, never root@localhost.
maintainer=$(dpkg-deb -f "$deb" Maintainer)
case $maintainer in
*@localhost* | *root@* | "") fail "maintainer '$maintainer'" ;;
esac

# Debian's checks: no lintian error; every override carries its reason.
if command -v lintian > /dev/null 2>&1; then
    lintian --tag-display-limit 0 "$deb" > "$tmp/lintian.out" 2>&1 || true
    grep '^E:' "$tmp/lintian.out" && fail "lintian errors: $(grep '^E:' "$tmp/lintian.out")"
    grep '^W:' "$tmp/lintian.out" && fail "lintian warnings: $(grep '^W:' "$tmp/lintian.out")"
else
    echo "package: lintian not available, package not checked"
fi

# The unpacked binaries run.
dpkg-deb -x "$deb" "$tmp/root"

# Both binaries are hardened as Debian builds them: PIE, full RELRO with
# BIND_NOW, a strong stack protector and fortified libc calls.
for bin in usr/sbin/tuvod usr/bin/tuvoctl; do
    f=$tmp/root/$bin
    readelf -h "$f" | grep -q 'Type:.*DYN' || fail "$bin is not PIE"
    readelf -lW "$f" | grep -q GNU_RELRO || fail "$bin has no RELRO"
    readelf -dW "$f" | grep -Eq 'BIND_NOW|FLAGS.*NOW' || fail "$bin is not linked with BIND_NOW"
    readelf -sW --dyn-syms "$f" | grep -q '__stack_chk_fail' || fail "$bin has no stack protector"
    readelf -sW --dyn-syms "$f" | grep -q '__[a-z_]*_chk@' || fail "$bin calls no fortified function"
done
"$tmp/root/usr/sbin/tuvod" -h > "$tmp/h.out" 2>&1 || fail "tuvod -h exited with $?"
grep -q 'Usage: tuvod' "$tmp/h.out" || fail "tuvod -h printed no usage: $(cat "$tmp/h.out")"
"$tmp/root/usr/bin/tuvoctl" --help > "$tmp/help.out" 2>&1 || fail "tuvoctl --help exited with $?"
grep -q 'Usage: tuvoctl' "$tmp/help.out" || fail "tuvoctl --help printed no usage"

# The completion loads in bash and completes commands, options and states.
completion=$tmp/root/usr/share/bash-completion/completions/tuvoctl
if command -v bash > /dev/null 2>&1; then
    complete_words() { # WORDS... (the last one is being completed)
        bash -c '. "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _tuvoctl; echo "${COMPREPLY[*]}"' \
            sh "$completion" "$@"
    }
    bash -n "$completion" || fail "the completion does not parse"
    [ "$(complete_words tuvoctl ca)" = "cancel" ] || fail "completion of 'ca': $(complete_words tuvoctl ca)"
    [ "$(complete_words tuvoctl list --state TIMED)" = "TIMEDOUT" ] || fail "completion of a state"
    complete_words tuvoctl clear --f | grep -qx -- "--force" || fail "completion of clear's options"
    [ "$(complete_words tuvoctl --con)" = "--config" ] || fail "completion of --config"
    bash -c '. "$1"; complete -p tuvoctl' sh "$completion" | grep -q -- "-F _tuvoctl tuvoctl" ||
        fail "the completion is not registered for tuvoctl"
fi

examples_dir=$tmp/root/usr/share/doc/tuvod/examples
# The unit.
unit=$tmp/root/usr/lib/systemd/system/tuvod.service
for line in Type=notify NotifyAccess=main Delegate=yes KillMode=mixed WatchdogSec=60 \
    'ExecStart=/usr/sbin/tuvod -f -l /var/log/orrvik/tuvod.log -p /run/tuvod.pid $TUVOD_OPTS' \
    'ExecReload=/usr/bin/tuvoctl check-scripts -q' 'ExecReload=/bin/kill -HUP $MAINPID' \
    UMask=0077 LockPersonality=yes RestrictRealtime=yes SystemCallArchitectures=native \
    OOMScoreAdjust=-500; do
    grep -qxF -- "$line" "$unit" || fail "unit lacks '$line'"
done
grep -q '^PIDFile=' "$unit" && fail "a notify unit needs no PIDFile="
# The README's excerpt can be copied as it stands: every setting in it is
# the shipped unit's, with no comment trailing a value.
sed -n '/^```ini$/,/^```$/p' "$src/README.md" | grep -Ev '^(```|#|\[Service\]|$)' > "$tmp/excerpt"
[ -s "$tmp/excerpt" ] || fail "no unit excerpt in the README"
while IFS= read -r line; do
    grep -qxF -- "$line" "$unit" || fail "README unit line not in the shipped unit: $line"
done < "$tmp/excerpt"
# The maintainer scripts go through Debian's helpers.
for f in postinst prerm postrm; do
    dpkg-deb --ctrl-tarfile "$deb" | tar -xO "./$f" > "$tmp/$f" 2>/dev/null || fail "no $f"
    sh -n "$tmp/$f" || fail "$f does not parse"
done
grep -q 'deb-systemd-helper enable tuvod.service' "$tmp/postinst" || fail "postinst does not enable through deb-systemd-helper"
grep -q 'deb-systemd-invoke start tuvod.service' "$tmp/postinst" || fail "postinst does not start through deb-systemd-invoke"
grep -q 'deb-systemd-invoke stop tuvod.service' "$tmp/prerm" || fail "prerm does not stop through deb-systemd-invoke"
grep -q 'deb-systemd-helper purge tuvod.service' "$tmp/postrm" || fail "postrm does not purge through deb-systemd-helper"
dpkg-deb -f "$deb" Depends | grep -q libsystemd0 || fail "Depends lacks libsystemd0"
for f in hardening.conf tuvod-metrics.service tuvod-metrics.timer; do
    expect -rw-r--r-- "./usr/share/doc/tuvod/examples/systemd/$f"
done
stop=$(sed -n 's/^TimeoutStopSec=//p' "$unit")
[ "${stop:-0}" -gt 130 ] || fail "TimeoutStopSec=$stop is not above the 130 s shutdown limit"
if command -v systemd-analyze > /dev/null 2>&1; then
    # Verified against the unpacked binaries, since none are installed here.
    mkdir -p "$tmp/unit"
    sed -e "s|/usr/sbin/tuvod|$tmp/root/usr/sbin/tuvod|" -e "s|/usr/bin/tuvoctl|$tmp/root/usr/bin/tuvoctl|" \
        "$unit" > "$tmp/unit/tuvod.service"
    if ! SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --man=no "$tmp/unit/tuvod.service" > "$tmp/verify.out" 2>&1; then
        fail "systemd-analyze verify: $(cat "$tmp/verify.out")"
    fi
    # Complaints about other units of this host are not ours.
    grep "tuvod.service" "$tmp/verify.out" && fail "systemd-analyze verify warned about the unit"
    # The metrics timer example verifies too.
    mkdir -p "$tmp/metrics"
    sed "s|/usr/bin/tuvoctl|$tmp/root/usr/bin/tuvoctl|" "$examples_dir/systemd/tuvod-metrics.service" > "$tmp/metrics/tuvod-metrics.service"
    cp "$examples_dir/systemd/tuvod-metrics.timer" "$tmp/metrics/"
    if ! SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --man=no "$tmp/metrics/tuvod-metrics.timer" "$tmp/metrics/tuvod-metrics.service" > "$tmp/mverify.out" 2>&1; then
        fail "systemd-analyze verify of the metrics example: $(cat "$tmp/mverify.out")"
    fi
    grep "tuvod-metrics" "$tmp/mverify.out" && fail "systemd-analyze verify warned about the metrics example"
    # The README's figures are what the analysis says of the unit as
    # shipped and with the hardening drop-in's settings.
    score() { systemd-analyze security --offline=true "$1" 2>/dev/null | sed -n 's/.*exposure level for [^:]*: \([0-9.]*\).*/\1/p'; }
    shipped=$(score "$tmp/unit/tuvod.service")
    mkdir -p "$tmp/hardened"
    sed -n '/^\[Service\]/,$p' "$examples_dir/systemd/hardening.conf" | grep -Ev '^(#|\[Service\]|$)' > "$tmp/dropin"
    sed "/^\[Service\]/r $tmp/dropin" "$tmp/unit/tuvod.service" > "$tmp/hardened/tuvod.service"
    hardened=$(score "$tmp/hardened/tuvod.service")
    echo "package: exposure $shipped as shipped, $hardened with the hardening drop-in"
    tr '\n' ' ' < "$src/README.md" | grep -q "rates the unit as shipped $shipped " ||
        fail "README does not give the shipped unit's exposure $shipped"
    tr '\n' ' ' < "$src/README.md" | grep -q "($hardened with it," ||
        fail "README does not give the exposure $hardened with the drop-in"
else
    echo "package: systemd-analyze not available, unit not verified"
fi

# The manual pages format without warnings.
if command -v groff > /dev/null 2>&1; then
    for page in man8/tuvod.8.gz man1/tuvoctl.1.gz; do
        out=$(gzip -dc "$tmp/root/usr/share/man/$page" | groff -t -man -ww -z 2>&1) || fail "groff $page"
        [ -z "$out" ] || fail "groff warnings for $page: $out"
    done
else
    echo "package: groff not available, manual pages not checked"
fi

# The example configurations carry their scripts' digests, and load and
# validate with the packaged tuvoctl once pointed at the packaged scripts.
examples=$tmp/root/usr/share/doc/tuvod/examples
mkdir "$tmp/conf"
for c in "$examples"/script_config.d/*.json; do
    name=$(basename "$c" .json)
    want=$(sha256sum < "$examples/scripts/$name.sh" | cut -d ' ' -f 1)
    grep -q "\"digest\": \"$want\"" "$c" || fail "$name.json does not carry the digest of $name.sh"
    sed "s|/usr/local/libexec/tuvod/examples/|$examples/scripts/|" "$c" > "$tmp/conf/$name.json"
done
"$tmp/root/usr/bin/tuvoctl" check-scripts "$tmp/conf" > "$tmp/check.out" 2>&1 ||
    fail "check-scripts on the examples: $(cat "$tmp/check.out")"

if [ "$failures" -ne 0 ]; then
    echo "package: $failures failure(s)" >&2
    exit 1
fi
echo "package: ok"
