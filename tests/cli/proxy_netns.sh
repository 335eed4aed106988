#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# vorzmq forward and vorzmq balance between hosts: one network namespace per
# host, all on one bridge (10.201.0.0/24). Needs root; exits 77 (skipped)
# otherwise.
source "$(dirname "$0")/helpers.sh"

[ "$(id -u)" -eq 0 ] || { echo "SKIP: network namespaces need root"; exit 77; }
command -v ip >/dev/null || { echo "SKIP: no ip (iproute2)"; exit 77; }

PREFIX=vzp$$-
hosts=()

remove_namespaces() {
    local host
    for host in "${hosts[@]}" sw; do
        ip netns del "$PREFIX$host" 2>/dev/null
    done
}
trap 'cleanup; remove_namespaces' EXIT

# Namespaces of runs that were killed carry a dead process id.
for stale in $(ip netns list | awk '{print $1}' | grep '^vzp[0-9]*-'); do
    owner=${stale#vzp}
    owner=${owner%%-*}
    kill -0 "$owner" 2>/dev/null || ip netns del "$stale"
done

ip netns add "${PREFIX}sw" && ip -n "${PREFIX}sw" link add br0 type bridge && ip -n "${PREFIX}sw" link set br0 up ||
    { echo "SKIP: cannot make network namespaces here"; exit 77; }

# add_host NAME NUMBER: a namespace with eth0 at 10.201.0.NUMBER on the bridge.
add_host() {
    local ns=$PREFIX$1
    hosts+=("$1")
    ip netns add "$ns" &&
        ip link add eth0 netns "$ns" type veth peer name "h$2" netns "${PREFIX}sw" &&
        ip -n "${PREFIX}sw" link set "h$2" master br0 up &&
        ip -n "$ns" addr add "10.201.0.$2/24" dev eth0 &&
        ip -n "$ns" link set eth0 up && ip -n "$ns" link set lo up ||
        fail "cannot add the host $1"
}

# start_on HOST NAME ARGS...: start, run inside HOST's namespace.
start_on() {
    local ns=$PREFIX$1 name=$2
    shift 2
    : >"$WORK/$name.out"
    : >"$WORK/$name.err"
    ip netns exec "$ns" "$VORZMQ" "$@" <"${START_INPUT:-/dev/null}" >>"$WORK/$name.out" 2>>"$WORK/$name.err" &
    background_pids+=($!)
    printf -v "${name}_pid" '%s' "$!"
}

# Two publisher hosts, a forwarder host, two subscriber hosts: 10,000 paced
# messages from each publisher; the subscriber of "t" gets exactly the first
# publisher's, the subscriber of everything both, in order per publisher.
case_forward() {
    local host n=0
    for host in pub1 pub2 fwd sub1 sub2; do
        add_host "$host" $((++n))
    done
    start_on fwd forwarder forward --from tcp://10.201.0.1:5556 tcp://10.201.0.2:5556 --to tcp://10.201.0.3:5560 --stats 1
    wait_for_line "$WORK/forwarder.err" "vorzmq forward: forwarding" 15 "$forwarder_pid"
    start_on sub1 only_t subscribe tcp://10.201.0.3:5560 t
    start_on sub2 all subscribe tcp://10.201.0.3:5560 --show-topic
    mkfifo "$WORK/t-lines" "$WORK/u-lines"
    START_INPUT=$WORK/t-lines start_on pub1 pub_t publish tcp://10.201.0.1:5556 t
    START_INPUT=$WORK/u-lines start_on pub2 pub_u publish tcp://10.201.0.2:5556 u
    exec 3>"$WORK/t-lines" 4>"$WORK/u-lines"
    greet_until 'echo "greeting $attempt" >&3 && echo "greeting $attempt" >&4' \
        'grep -qF greeting "$WORK/only_t.out" && grep -qF "t greeting" "$WORK/all.out" && grep -qF "u greeting" "$WORK/all.out"'
    local chunk started
    started=$(now_ms)
    for ((chunk = 0; chunk < 100; chunk++)); do  # paced: 100 lines each 10 ms
        seq -f 't%g' $((chunk * 100 + 1)) $((chunk * 100 + 100)) >&3
        seq -f 'u%g' $((chunk * 100 + 1)) $((chunk * 100 + 100)) >&4
        sleep 0.01
    done
    exec 3>&- 4>&-
    wait_for_exit "$pub_t_pid" 0 60
    wait_for_exit "$pub_u_pid" 0 60
    expect_forward_shares 10000 30
    echo "forward: 2 x 10000 messages over 5 hosts in $(($(now_ms) - started)) ms, none lost;" \
        "$(tail -n 1 "$WORK/forwarder.out")"
}

# Requesters, a balancer, two server hosts; one server is killed mid-run. At
# most the one request in flight to it is lost (the requester times out on
# it); every other is acknowledged.
case_balance() {
    add_host req 11
    add_host bal 12
    add_host srv1 13
    add_host srv2 14
    start_on srv1 server_a serve tcp://10.201.0.13:5555
    start_on srv2 server_b serve tcp://10.201.0.14:5555
    wait_for_line "$WORK/server_a.err" "vorzmq serve: serving" 15 "$server_a_pid"
    wait_for_line "$WORK/server_b.err" "vorzmq serve: serving" 15 "$server_b_pid"
    start_on bal balancer balance --listen tcp://10.201.0.12:5555 --to tcp://10.201.0.13:5555 tcp://10.201.0.14:5555 --stats 1
    wait_for_line "$WORK/balancer.err" "vorzmq balance: balancing" 15 "$balancer_pid"
    mkfifo "$WORK/requests"
    START_INPUT=$WORK/requests start_on req requester request tcp://10.201.0.12:5555 --timeout-ms 5000
    exec 3>"$WORK/requests"
    local i
    for ((i = 1; i <= 200; i++)); do
        echo "$i" >&3
    done
    wait_for_line "$WORK/requester.out" "acknowledged: 200" 60 "$requester_pid"
    local served_a=$(grep -c . "$WORK/server_a.out") served_b=$(grep -c . "$WORK/server_b.out")
    [ "$served_a" -ge 1 ] && [ "$served_b" -ge 1 ] || fail "one server got none of the first 200 requests"
    # Killed while requests keep coming.
    for ((i = 201; i <= 400; i++)); do
        echo "$i" >&3
        [ "$i" -ne 220 ] || { kill -KILL "$server_a_pid"; wait "$server_a_pid" 2>/dev/null; }
        sleep 0.005
    done
    exec 3>&-
    wait_for_line "$WORK/balancer.err" "vorzmq balance: server tcp://10.201.0.13:5555 disconnected" 15 "$balancer_pid"
    wait_for_line "$WORK/requester.out" "acknowledged: 400" 60 "$requester_pid"
    local lost
    lost=$(grep -c "was not acknowledged" "$WORK/requester.err")
    [ "$lost" -le 1 ] || fail "$lost requests were lost, more than the one in flight to the killed server"
    [ "$(grep -c '^acknowledged: ' "$WORK/requester.out")" -eq $((400 - lost)) ] || fail "acknowledgements missing"
    # Whatever followed the kill went to the server that lives.
    grep -qx 400 "$WORK/server_b.out" || fail "the living server did not get the last request"
    echo "balance: first 200 requests served $served_a / $served_b; after the kill $lost lost, $((400 - lost)) of 400" \
        "acknowledged; $(tail -n 1 "$WORK/balancer.out")"
}

run_case
