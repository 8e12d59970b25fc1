#!/bin/sh
# Installs the Debian packages that building, running and testing tuvod need.
# Idempotent and quiet when everything is already present.
set -eu

PACKAGES="cmake make g++ pkg-config
libasio-dev libjansson-dev libnng-dev libnanomsg-dev libsystemd-dev nanomsg-utils nng-utils openssl libsqlite3-dev sqlite3 libssl-dev uuid-dev
libgtest-dev googletest iproute2 util-linux procps strace lintian binutils
clang libclang-rt-14-dev"

missing=""
for p in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages:$missing (run as root to install them)" >&2
  exit 1
fi
echo "install-deps: installing$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing >/dev/null
