#!/bin/sh
# `make run`: installs the example scripts and their configurations where
# none are installed yet, prepares the daemon's directories, and runs the
# daemon in the foreground with its log on this terminal (Ctrl-C or SIGTERM
# stops it). Usage: sh scripts/run-example.sh BUILDDIR
set -eu

build=$(cd "${1:?usage: run-example.sh BUILDDIR}" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
tuvod=$build/src/cmd/tuvod/tuvod
tuvoctl=$build/src/cmd/tuvoctl/tuvoctl
exec_dir=/usr/local/libexec/tuvod/examples
conf_dir=/lumo/conf/tuvod/script_config.d

if [ "$(id -u)" -ne 0 ]; then
    echo "run-example: run this as root: the daemon runs scripts as root and uses fixed paths" >&2
    exit 1
fi
for bin in "$tuvod" "$tuvoctl"; do
    [ -x "$bin" ] || { echo "run-example: $bin is missing; build first (make build)" >&2; exit 1; }
done

# Only directories that do not exist yet get their modes; an administrator's
# choices for existing ones stay.
mkdir_mode() {
    [ -d "$2" ] || install -d -m "$1" "$2"
}
mkdir_mode 0755 /lumo
mkdir_mode 0755 /lumo/conf
mkdir_mode 0700 /lumo/conf/tuvod
mkdir_mode 0700 "$conf_dir"
mkdir_mode 0750 /var/log/orrvik
mkdir_mode 0755 /var/cache
mkdir_mode 0755 "$exec_dir"

for conf in "$src"/examples/script_config.d/*.json; do
    name=$(basename "$conf" .json)
    target=$conf_dir/$name.json
    if [ -e "$target" ]; then
        echo "run-example: keeping $target"
        continue
    fi
    install -m 0755 "$src/examples/scripts/$name.sh" "$exec_dir/$name.sh"
    # The digest of the copy just installed, so the configuration always
    # matches it even after a local edit of the example.
    digest=$(sha256sum < "$exec_dir/$name.sh" | cut -d ' ' -f 1)
    sed "s/\"digest\": \"[0-9a-f]*\"/\"digest\": \"$digest\"/" "$conf" > "$target.tmp"
    chmod 0600 "$target.tmp"
    mv -f "$target.tmp" "$target"
    echo "run-example: installed $exec_dir/$name.sh and $target"
done

if ! "$tuvoctl" check-scripts -q "$conf_dir"; then
    echo "run-example: some script configurations have problems (see above); starting anyway" >&2
fi

cat <<EOT
run-example: starting tuvod in the foreground; in a second terminal try:
    $tuvoctl run -- $exec_dir/sysinfo.sh
    $tuvoctl list
  (README.md, "Trying it out", has more.)
EOT
exec "$tuvod" -f
