#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks vorzmq-forward@.service and vorzmq-balance@.service as relay-unit.sh
# checks the relay's: `systemd-analyze verify` in a scratch root must print
# nothing; the offline security review's exposure must be 2.0 or less; and
# the system calls of the proxy, traced while a message or a request passes
# and its statistics are printed, must all pass the unit's SystemCallFilter=.
#   proxy-units.sh <tools/systemd folder> <vorzmq executable> <vorzmq.1 or "">
set -euo pipefail
units=$1 tool=$2 manpage=$3
source "$(dirname "$0")/unit-checks.sh"

root=$(mktemp -d "${TMPDIR:-/tmp}/vorzmq-proxy-units.XXXXXX")
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait; rm -rf "$root"' EXIT
mkdir -p "$root/usr/bin" "$root/lib/systemd/system" "$root/etc/vorzmq"
cp -a /lib/systemd/system/. "$root/lib/systemd/system/"
cp "$units/vorzmq-forward@.service" "$units/vorzmq-balance@.service" "$root/lib/systemd/system/"
cp "$tool" "$root/usr/bin/vorzmq"
cp "$units/forward.env" "$root/etc/vorzmq/events.env"
cp "$units/balance.env" "$root/etc/vorzmq/orders.env"
man_option "$root" "$manpage"

# await FILE TEXT: within 30 s, even traced on a loaded machine.
await() {
  for _ in $(seq 300); do
    grep -qF -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  cat "$1"
  echo "no '$2' in ${1##*/} within 30 s"
  exit 1
}

export VOR_HOME=$root/home
mkdir -p "$VOR_HOME/queues"

# exercise_forward / exercise_balance: the traced proxy is running (its
# stderr in $root/proxy.log); pass a message or a request through it.
exercise_forward() {
  "$tool" subscribe sub t --count 1 >"$root/subscriber.out" 2>/dev/null &
  local subscriber=$!
  pids+=("$subscriber")
  for _ in $(seq 30); do
    "$tool" publish pub t hello --wait-ms 300 >/dev/null 2>&1 || true
    [ -s "$root/subscriber.out" ] && break
  done
  wait "$subscriber"
}
exercise_balance() {
  "$tool" request front hello --timeout-ms 10000 >/dev/null
}

for kind in forward balance; do
  unit=vorzmq-$kind@.service
  instance=$([ $kind = forward ] && echo events || echo orders)
  verify_unit "$root" "vorzmq-$kind@$instance.service" "$man"
  check_exposure "$root/lib/systemd/system/$unit"
  allowed=$(allowed_syscalls "$units/$unit")

  if [ $kind = forward ]; then
    arguments=(forward --from pub --to sub --stats 1)
  else
    "$tool" serve server >/dev/null 2>&1 &
    pids+=($!)
    arguments=(balance --listen front --to server --stats 1)
  fi
  strace -f -qq -o "$root/trace" "$tool" "${arguments[@]}" >"$root/proxy.out" 2>"$root/proxy.log" &
  tracer=$!
  await "$root/proxy.log" "vorzmq $kind: "
  "exercise_$kind"
  await "$root/proxy.out" "vorzmq $kind: "
  kill -TERM "$(pgrep -P "$tracer")"
  proxy_status=0
  wait "$tracer" || proxy_status=$?
  used=$(traced_syscalls "$root/trace")
  refused=$(comm -23 <(echo "$used") <(echo "$allowed"))
  if [ "$proxy_status" -ne 0 ] || [ -z "$used" ] || [ -n "$refused" ]; then
    cat "$root/proxy.log"
    echo "$unit: proxy status $proxy_status; system calls outside SystemCallFilter=: ${refused:-none}"
    exit 1
  fi
  echo "$unit: verified; exposure level $level; $(wc -l <<<"$used") system calls, all allowed"
done
