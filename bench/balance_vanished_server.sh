#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# How many requests a client loses when a server's host vanishes (link down,
# no FIN) behind vorzmq balance: one host for the balancer and the client,
# two server hosts, network namespaces on one bridge. The client sends 5
# requests a second for 30 s, one `vorzmq request` reading them from a pipe
# with a 2 s time-out; host a vanishes after 10 s.
#   bench/balance_vanished_server.sh VORZMQ [REQUEST OPTIONS...]
# e.g. ... build/tools/vorzmq --retries 3. Needs root.
set -u
VORZMQ=$1
shift
[ "$(id -u)" -eq 0 ] || { echo "needs root (network namespaces)" >&2; exit 2; }
P=vzb$$-
WORK=$(mktemp -d)
cleanup() {
    kill $(jobs -p) 2>/dev/null
    wait 2>/dev/null
    for ns in hub a b sw; do ip netns del "$P$ns" 2>/dev/null; done
    rm -rf "$WORK"
}
trap cleanup EXIT
ip netns add "${P}sw" && ip -n "${P}sw" link add br0 type bridge && ip -n "${P}sw" link set br0 up
n=0
for host in hub a b; do
    n=$((n + 1))
    ip netns add "$P$host"
    ip link add eth0 netns "$P$host" type veth peer name "h$n" netns "${P}sw"
    ip -n "${P}sw" link set "h$n" master br0 up
    ip -n "$P$host" addr add "10.202.0.$n/24" dev eth0
    ip -n "$P$host" link set eth0 up
    ip -n "$P$host" link set lo up
done
export VOR_HOME=$WORK
ip netns exec "${P}a" "$VORZMQ" serve tcp://10.202.0.2:5555 >"$WORK/a.out" 2>&1 &
server_a=$!
ip netns exec "${P}b" "$VORZMQ" serve tcp://10.202.0.3:5555 >"$WORK/b.out" 2>&1 &
ip netns exec "${P}hub" "$VORZMQ" balance --listen tcp://127.0.0.1:5550 \
    --to tcp://10.202.0.2:5555 tcp://10.202.0.3:5555 >"$WORK/balance.out" 2>&1 &
until [ "$(grep -c ' connected' "$WORK/balance.out")" -ge 2 ]; do sleep 0.1; done
(for i in $(seq 1 150); do echo "$i"; sleep 0.2; done) |
    ip netns exec "${P}hub" "$VORZMQ" request tcp://127.0.0.1:5550 --timeout-ms 2000 "$@" \
        >"$WORK/client.out" 2>"$WORK/client.err" &
client=$!
sleep 10
ip -n "${P}a" link set eth0 down  # the host vanishes: nothing is sent any more
kill -KILL "$server_a"
ip -n "${P}sw" link del h2
wait "$client"
echo "requests 150, acknowledged $(grep -c '^acknowledged: ' "$WORK/client.out")," \
    "lost $(grep -c 'was not acknowledged' "$WORK/client.err")," \
    "sent again $(grep -c 'sending it again' "$WORK/client.err")," \
    "served by b $(grep -cx '[0-9]*' "$WORK/b.out")"
grep -F 'disconnected' "$WORK/balance.out" | head -2
