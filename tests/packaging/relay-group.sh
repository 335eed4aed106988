#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks who may reach the relay of vorzmq-relay@.service. The sysusers.d
# file must create the group that the unit's Group= names (into a scratch
# root, never on this system). Then, as root only, a relay runs as a user
# and group of its own, in queue directories made as the unit's
# RuntimeDirectoryMode= and UMask= make them: a member of the group must be
# acknowledged, a user outside it refused, and the relay must serve the
# member after the refusal.
#   relay-group.sh <unit file> <sysusers file> <vorzmq executable>
set -euo pipefail
unit=$1 sysusers=$(realpath "$2") tool=$3

work=$(mktemp -d "${TMPDIR:-/tmp}/vorzmq-group.XXXXXX")
relay=
cleanup() {
  if [ -n "$relay" ]; then kill "$relay" 2>/dev/null || true; wait "$relay" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

setting() { sed -n "s/^$1=//p" "$unit" | tail -n 1; }
group=$(setting Group) mode=$(setting RuntimeDirectoryMode) mask=$(setting UMask)
[ -n "$group" ] && [ -n "$mode" ] && [ -n "$mask" ] ||
  { echo "the unit lacks Group= ('$group'), RuntimeDirectoryMode= ('$mode') or UMask= ('$mask')"; exit 1; }

mkdir -p "$work/root/etc"
systemd-sysusers --root="$work/root" "$sysusers"
gid=$(awk -F: -v name="$group" '$1 == name { print $3 }' "$work/root/etc/group" 2>/dev/null || true)
[[ $gid =~ ^[0-9]+$ ]] || { echo "systemd-sysusers $sysusers made no group '$group' (the unit's Group=)"; exit 1; }
echo "sysusers: group $group, gid $gid in a scratch root"

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: the connection checks switch users (setpriv) and need root"
  exit 77
fi

# The service's user and group: an id unknown here, from the range systemd
# takes dynamic users from. The group need not exist: setpriv takes numbers.
service=
for id in $(seq 61184 65519); do
  if ! getent passwd "$id" >/dev/null && ! getent group "$id" >/dev/null; then service=$id; break; fi
done
[ -n "$service" ] || { echo "no free id in 61184-65519"; exit 1; }

# The unit's /run/vorzmq/NAME and its queues/, reached through directories
# that anyone may traverse, as /run and /run/vorzmq are.
chmod 0755 "$work"
export VOR_HOME=$work/run
mkdir -p "$VOR_HOME/queues"
chown "$service:$service" "$VOR_HOME" "$VOR_HOME/queues"
chmod "$mode" "$VOR_HOME" "$VOR_HOME/queues"

(umask "$mask" && exec setpriv --reuid="$service" --regid="$service" --clear-groups \
   "$tool" relay --listen relay --publish events >"$work/relay.out" 2>"$work/relay.err") &
relay=$!
for _ in $(seq 300); do
  grep -q re-broadcasting "$work/relay.out" "$work/relay.err" && break
  kill -0 "$relay" 2>/dev/null || break
  sleep 0.1
done
grep -q re-broadcasting "$work/relay.out" "$work/relay.err" ||
  { cat "$work/relay.err"; echo "no relay within 30 s"; exit 1; }

# nobody's user, with and without the group.
member=(setpriv --reuid=65534 --regid=65534 --groups="$service")
outsider=(setpriv --reuid=65534 --regid=65534 --clear-groups)
failures=0
attempt() {  # attempt <expected status: 0 or nonzero> <who> <command...>
  local expected=$1 who=$2 status=0
  shift 2
  "$@" "$tool" rebroadcast relay alarm "{\"from\":\"$who\"}" >"$work/$who.out" 2>&1 || status=$?
  if { [ "$expected" = 0 ] && [ "$status" -ne 0 ]; } || { [ "$expected" != 0 ] && [ "$status" -eq 0 ]; }; then
    cat "$work/$who.out"
    echo "FAIL: $who: rebroadcast exit status $status, expected $expected"
    failures=$((failures + 1))
  fi
}
attempt 0 member "${member[@]}"
attempt nonzero outsider "${outsider[@]}"
# ... and told why, with the group to join.
grep -q "Permission denied (members of the group $service may connect" "$work/outsider.out" ||
  { cat "$work/outsider.out"; echo "FAIL: the outsider was not told about the group"; failures=$((failures + 1)); }
attempt 0 member-after "${member[@]}"
# A folder of root's group: nobody is told to join root's group.
mkdir -m 0750 "$work/root-only"
"${outsider[@]}" "$tool" rebroadcast "ipc://$work/root-only/relay" alarm 1 --timeout-ms 200 >"$work/root.out" 2>&1 || true
if ! grep -q "its group is root's: only root may connect" "$work/root.out" || grep -q 'usermod -aG root' "$work/root.out"; then
  cat "$work/root.out"; echo "FAIL: an outsider of a root-only folder was not told so"; failures=$((failures + 1))
fi
kill -0 "$relay" 2>/dev/null || { echo "FAIL: the relay stopped"; failures=$((failures + 1)); }

if [ "$failures" -ne 0 ]; then
  ls -ln "$VOR_HOME/queues"
  cat "$work/relay.err"
  exit 1
fi
echo "relay group: members acknowledged, others refused (directories $mode, umask $mask)"
