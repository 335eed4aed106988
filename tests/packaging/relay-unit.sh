#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the vorzmq-relay@.service unit: `systemd-analyze verify` in a
# scratch root that holds the unit, the vorzmq tool, its man page and the
# system's own units, which must print nothing (verify exits 0 even on an
# unknown key); the offline security review, whose exposure must be 2.0 or
# less; and the relay's system calls, traced while it relays a request, which
# must all pass the unit's SystemCallFilter= (a refused one aborts libzmq),
# CURVE and its allow-list included.
#   relay-unit.sh <unit file> <vorzmq executable> <vorzmq.1 or "">
set -euo pipefail
unit=$1 tool=$2 manpage=$3
source "$(dirname "$0")/unit-checks.sh"

root=$(mktemp -d "${TMPDIR:-/tmp}/vorzmq-unit.XXXXXX")
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/usr/bin" "$root/lib/systemd/system" "$root/etc/vorzmq"
# Default dependencies (sysinit.target, ...) come from the system's units.
cp -a /lib/systemd/system/. "$root/lib/systemd/system/"
cp "$unit" "$root/lib/systemd/system/vorzmq-relay@.service"
cp "$tool" "$root/usr/bin/vorzmq"
printf 'VOR_HOME=/run/vorzmq/main\nVORZMQ_LISTEN=relay\nVORZMQ_PUBLISH=events\n' >"$root/etc/vorzmq/main.env"
man_option "$root" "$manpage"

verify_unit "$root" vorzmq-relay@main.service "$man"
check_exposure "$root/lib/systemd/system/vorzmq-relay@.service"
allowed=$(allowed_syscalls "$unit")

export VOR_HOME=$root/home
mkdir -p "$VOR_HOME/queues" "$root/allowed"
# Traced with CURVE and an allow-list, whose authenticator thread, directory
# reads and key exchange add their own system calls to the relay's.
"$tool" keygen relay --dir "$root" >/dev/null
"$tool" keygen client --dir "$root" >/dev/null
cp "$root/client.key" "$root/allowed/"
strace -f -qq -o "$root/trace" "$tool" relay --listen relay --publish events \
  --curve-secret "$root/relay.key_secret" --allow "$root/allowed" >/dev/null 2>"$root/relay.log" &
tracer=$!
# Started within 30 s, even traced on a loaded machine.
for _ in $(seq 300); do
  grep -q re-broadcasting "$root/relay.log" && break
  sleep 0.1
done
grep -q re-broadcasting "$root/relay.log" || { kill "$tracer"; cat "$root/relay.log"; echo "no relay within 30 s"; exit 1; }
sent=0
"$tool" rebroadcast relay alarm '{"level":3}' --curve-server "$root/relay.key" \
  --curve-secret "$root/client.key_secret" >/dev/null || sent=$?
kill -TERM "$(pgrep -P "$tracer")" 2>/dev/null || true
relay_status=0
wait "$tracer" || relay_status=$?
used=$(traced_syscalls "$root/trace")
refused=$(comm -23 <(echo "$used") <(echo "$allowed"))
if [ "$sent" -ne 0 ] || [ "$relay_status" -ne 0 ] || [ -z "$used" ] || [ -n "$refused" ]; then
  cat "$root/relay.log"
  echo "relay status $relay_status, rebroadcast status $sent; system calls outside SystemCallFilter=: ${refused:-none}"
  exit 1
fi
echo "relay unit: verified; exposure level $level; $(wc -l <<<"$used") system calls, all allowed"
