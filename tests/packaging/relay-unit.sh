#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the vorzmq-relay@.service unit: `systemd-analyze verify` in a
# scratch root that holds the unit, the vorzmq tool, its man page and the
# system's own units, which must print nothing (verify exits 0 even on an
# unknown key); and the offline security review, whose exposure must be 2.0
# or less.
#   relay-unit.sh <unit file> <vorzmq executable> <vorzmq.1 or "">
set -euo pipefail
unit=$1 tool=$2 manpage=$3

root=$(mktemp -d "${TMPDIR:-/tmp}/vorzmq-unit.XXXXXX")
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/usr/bin" "$root/lib/systemd/system" "$root/etc/vorzmq"
# Default dependencies (sysinit.target, ...) come from the system's units.
cp -a /lib/systemd/system/. "$root/lib/systemd/system/"
cp "$unit" "$root/lib/systemd/system/vorzmq-relay@.service"
cp "$tool" "$root/usr/bin/vorzmq"
printf 'VOR_HOME=/run/vorzmq/main\nVORZMQ_LISTEN=relay\nVORZMQ_PUBLISH=events\n' >"$root/etc/vorzmq/main.env"
man=(--man=no)
if [ -n "$manpage" ]; then
  mkdir -p "$root/man/man1"
  cp "$manpage" "$root/man/man1/vorzmq.1"
  export MANPATH=$root/man
  man=(--man=yes)
fi

status=0
messages=$(systemd-analyze verify --root="$root" "${man[@]}" vorzmq-relay@main.service 2>&1) || status=$?
if [ "$status" -ne 0 ] || [ -n "$messages" ]; then
  echo "systemd-analyze verify (status $status):"
  echo "$messages"
  exit 1
fi

review=$(systemd-analyze security --offline=true "$root/lib/systemd/system/vorzmq-relay@.service" 2>&1) || true
level=$(echo "$review" | sed -n 's/^→ Overall exposure level for [^:]*: \([0-9.]*\) .*/\1/p')
if [ -z "$level" ] || ! awk -v level="$level" 'BEGIN { exit !(level <= 2.0) }'; then
  echo "$review"
  echo "exposure level '${level}', expected 2.0 or less"
  exit 1
fi
echo "relay unit: verified; exposure level $level"
