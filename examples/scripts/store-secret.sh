#!/bin/sh
# Stores a secret (a password, an API key) under a name, readable by root
# only, for other scripts to use. The secret is argument 2, which the
# configuration masks ("redactArguments": [2]) in the daemon's records, logs
# and answers. Usage: store-secret.sh NAME SECRET
set -u

store=${SECRET_STORE:-/var/lib/tuvod-examples/secrets}
if [ $# -ne 2 ]; then
    echo "usage: store-secret.sh NAME SECRET" >&2
    exit 2
fi
case "$1" in
'' | .* | *[!A-Za-z0-9._-]*)
    echo "store-secret: invalid name" >&2
    exit 2
    ;;
esac

umask 077
mkdir -p "$store" || exit 1
tmp=$(mktemp "$store/.$1.XXXXXX") || exit 1
printf '%s' "$2" > "$tmp" && mv -f "$tmp" "$store/$1" || { rm -f "$tmp"; exit 1; }
echo "stored secret '$1' ($(printf '%s' "$2" | wc -c) bytes)"
