#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# vorzmq forward and vorzmq balance between real publishers, subscribers,
# requesters and servers.
source "$(dirname "$0")/helpers.sh"

# expected status | expected text on stderr | arguments (tab-separated)
bad_inputs() {
    cat <<TABLE
2	vorzmq forward: --from is required	forward	--to	events
2	vorzmq forward: --to is required	forward	--from	events
2	vorzmq balance: --to is required	balance	--listen	front
2	--stats: expected a whole number of at least 1, got '0'	balance	--listen	front	--to	a	--stats	0
1	vorzmq forward: cannot connect to bogus://x: Protocol not supported	forward	--from	bogus://x	--to	ipc://$WORK/f
1	vorzmq forward: cannot bind tcp://127.0.0.1: Invalid argument	forward	--from	ipc://$WORK/p	--to	tcp://127.0.0.1
1	vorzmq balance: cannot bind tcp://127.0.0.1:port: Invalid argument	balance	--listen	tcp://127.0.0.1:port	--to	ipc://$WORK/s
1	vorzmq balance: cannot connect to tcp://: Invalid argument	balance	--listen	ipc://$WORK/b	--to	tcp://
1	the directory $WORK/missing does not exist	balance	--listen	ipc://$WORK/missing/b	--to	ipc://$WORK/s
TABLE
}

case_bad_input() {
    local fields
    while IFS=$'\t' read -r -a fields; do
        run "${fields[@]:2}"
        [ "$status" -eq "${fields[0]}" ] || fail "vorzmq ${fields[*]:2}: exit status $status, expected ${fields[0]}"
        grep -qF -- "${fields[1]}" "$WORK/run.err" ||
            fail "vorzmq ${fields[*]:2}: stderr lacks '${fields[1]}': $(cat "$WORK/run.err")"
        # Refused before anything is bound or awaited.
        [ "$elapsed_ms" -lt 5000 ] || fail "vorzmq ${fields[*]:2} took $elapsed_ms ms"
    done < <(bad_inputs)
}

case_stops_on_signal() {
    local signal command
    for command in forward balance; do
        for signal in INT TERM; do
            if [ "$command" = forward ]; then
                start proxy forward --from "ipc://$WORK/pub" --to "ipc://$WORK/sub"
            else
                start proxy balance --listen "ipc://$WORK/front" --to "ipc://$WORK/server"
            fi
            wait_for_line "$WORK/proxy.err" "vorzmq $command: " 15 "$proxy_pid"
            kill -s "$signal" "$proxy_pid"
            wait_for_exit "$proxy_pid" 0 5
        done
    done
}

# Two publishers of different topics behind one forwarder; one pyzmq
# subscriber of a topic, one vorzmq subscriber of everything. Each gets exactly its share, in order per
# publisher.
case_forward_topics() {
    local fwd="ipc://$WORK/fwd"
    # No mark: a subscriber slowed down by a busy machine may fall behind by
    # all 10,000 messages, and the shares are checked exactly.
    start forwarder forward --from "ipc://$WORK/pub-t" "ipc://$WORK/pub-u" --to "$fwd" --hwm 0
    wait_for_line "$WORK/forwarder.err" "vorzmq forward: forwarding" 15 "$forwarder_pid"
    require_pyzmq
    /usr/bin/python3 "$PYZMQ_PEER" subscribe "$fwd" t >"$WORK/only_t.out" 2>"$WORK/only_t.err" &
    background_pids+=($!)
    only_t_pid=$!
    start all subscribe "$fwd" --show-topic
    mkfifo "$WORK/t-lines" "$WORK/u-lines"
    START_INPUT=$WORK/t-lines start pub_t publish "ipc://$WORK/pub-t" t
    START_INPUT=$WORK/u-lines start pub_u publish "ipc://$WORK/pub-u" u
    exec 3>"$WORK/t-lines" 4>"$WORK/u-lines"
    greet_until 'echo "greeting $attempt" >&3 && echo "greeting $attempt" >&4' \
        'grep -qF greeting "$WORK/only_t.out" && grep -qF "t greeting" "$WORK/all.out" && grep -qF "u greeting" "$WORK/all.out"'
    seq -f 't%g' 1 5000 >&3
    seq -f 'u%g' 1 5000 >&4
    exec 3>&- 4>&-
    wait_for_exit "$pub_t_pid" 0 30
    wait_for_exit "$pub_u_pid" 0 30
    expect_forward_shares 5000 15
    [ "$(grep -vc -e '^t ' -e '^u ' "$WORK/all.out")" -eq 0 ] || fail "unexpected lines in all.out"
}

# --lossless: with a mark of 10, a subscriber gets every one of a burst of
# 3,000 messages of 20 KB (60 MB; the default drops for it once 10 wait).
case_forward_lossless() {
    local fwd="ipc://$WORK/fwd"
    start forwarder forward --from "ipc://$WORK/pub" --to "$fwd" --hwm 10 --lossless
    wait_for_line "$WORK/forwarder.err" "lossless: a subscriber 10 messages behind holds every one back" 15 \
        "$forwarder_pid"
    start sub subscribe "$fwd" t
    mkfifo "$WORK/lines"
    START_INPUT=$WORK/lines start pub publish "ipc://$WORK/pub" t
    exec 3>"$WORK/lines"
    greet_until 'echo "greeting $attempt" >&3' 'grep -qF greeting "$WORK/sub.out"'
    local padding
    padding=$(head -c 20000 /dev/zero | tr '\0' p)
    seq -f "%g $padding" 1 3000 >&3
    exec 3>&-
    wait_for_exit "$pub_pid" 0 60
    wait_for_line "$WORK/sub.out" "3000 $padding" 60 "$sub_pid"
    cmp -s <(seq -f "%g $padding" 1 3000) <(grep -v greeting "$WORK/sub.out") || fail "the subscriber missed messages"
}

# Requests spread over two servers, all acknowledged; after one server is
# killed, and the balancer has seen it go, the other serves every later
# request.
case_balance_survives_a_server() {
    start server_a serve "ipc://$WORK/a"
    start server_b serve "ipc://$WORK/b"
    wait_for_line "$WORK/server_a.err" "vorzmq serve: serving" 15 "$server_a_pid"
    wait_for_line "$WORK/server_b.err" "vorzmq serve: serving" 15 "$server_b_pid"
    start balancer balance --listen front --to "ipc://$WORK/a" "ipc://$WORK/b" --stats 1
    wait_for_line "$WORK/balancer.err" "vorzmq balance: server ipc://$WORK/a connected" 15 "$balancer_pid"
    wait_for_line "$WORK/balancer.err" "vorzmq balance: server ipc://$WORK/b connected" 15 "$balancer_pid"
    seq 1 200 | "$VORZMQ" request front --timeout-ms 10000 >"$WORK/first.out" 2>"$WORK/first.err" ||
        fail "not every one of the first 200 requests was acknowledged"
    [ -s "$WORK/server_a.out" ] && [ -s "$WORK/server_b.out" ] || fail "one server got no request"
    cmp -s <(seq 1 200) <(sort -n "$WORK/server_a.out" "$WORK/server_b.out") ||
        fail "the servers did not get requests 1 to 200 once each"
    wait_for_line "$WORK/balancer.out" "requests 200 " 15 "$balancer_pid"
    expect_contains "$WORK/balancer.out" "replies 200 "
    expect_contains "$WORK/balancer.out" "servers up 2 of 2: ipc://$WORK/a ipc://$WORK/b"
    kill -KILL "$server_a_pid"
    wait "$server_a_pid" 2>/dev/null
    wait_for_line "$WORK/balancer.err" "vorzmq balance: server ipc://$WORK/a disconnected" 15 "$balancer_pid"
    seq 201 300 | "$VORZMQ" request front --timeout-ms 10000 >"$WORK/second.out" 2>"$WORK/second.err" ||
        fail "not every request after the kill was acknowledged"
    [ "$(grep -c '^acknowledged: ' "$WORK/second.out")" -eq 100 ] || fail "not 100 acknowledgements"
    wait_for_line "$WORK/server_b.out" 300 15 "$server_b_pid"
}

# The balancer's bound side takes frames of at most 4 MiB: a larger request
# costs its requester the connection and never enters the proxy, whose own
# count shows it.
case_balance_refuses_oversized() {
    start server serve "ipc://$WORK/s"
    wait_for_line "$WORK/server.err" "vorzmq serve: serving" 15 "$server_pid"
    start balancer balance --listen front --to "ipc://$WORK/s" --stats 1
    wait_for_line "$WORK/balancer.err" "vorzmq balance: balancing" 15 "$balancer_pid"
    head -c 5000000 /dev/zero | tr '\0' x >"$WORK/big"
    echo >>"$WORK/big"
    "$VORZMQ" request front --timeout-ms 2000 <"$WORK/big" >/dev/null 2>&1 && fail "a 5 MB request was acknowledged"
    run request front after --timeout-ms 10000
    expect_status 0
    expect_file "$WORK/server.out" "after"
    wait_for_line "$WORK/balancer.out" "replies 1 (" 15 "$balancer_pid"
    ! grep -qF "requests 2 (" "$WORK/balancer.out" || fail "the oversized request entered the proxy"
}

# The bound side admits ZMTP 3 peers only: a ZMTP 1.0 request (an identity,
# a delimiter and "hello", written raw) never reaches a server.
case_balance_refuses_zmtp1_peers() {
    start server serve "ipc://$WORK/s"
    wait_for_line "$WORK/server.err" "vorzmq serve: serving" 15 "$server_pid"
    start balancer balance --listen "tcp://127.0.0.1:*" --to "ipc://$WORK/s" --stats 1
    wait_for_line "$WORK/balancer.err" "vorzmq balance: server ipc://$WORK/s connected" 15 "$balancer_pid"
    local url port
    url=$(sed -n 's/^vorzmq balance: balancing requests from \(tcp:[^ ]*\) over .*/\1/p' "$WORK/balancer.err")
    port=${url##*:}
    exec 5<>"/dev/tcp/127.0.0.1/$port" || fail "cannot connect to port $port"
    printf '\x01\x00\x01\x01\x06\x00hello' >&5
    run request "$url" real --timeout-ms 10000
    expect_status 0
    wait_for_line "$WORK/balancer.out" "replies 1 (" 15 "$balancer_pid"
    exec 5>&-
    expect_file "$WORK/server.out" "real"
}

run_case
