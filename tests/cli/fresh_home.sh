#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A new user's first steps: a VOR_HOME with nothing in it yet.
source "$(dirname "$0")/helpers.sh"

rm -rf "$VOR_HOME"
readme=$(cd "$(dirname "$0")/../.." && pwd)/README.md

case_tour() {
    # The README's tour, exactly as written, with the built tool on PATH.
    sed -n '/^## The vorzmq tool/,/^## /p' "$readme" | sed -n '/^```sh$/,/^```$/p' | sed '1d;$d' >"$WORK/tour.sh"
    grep -q '^vorzmq serve' "$WORK/tour.sh" || fail "no tour found in the README"
    mkdir -p "$WORK/bin"
    ln -s "$VORZMQ" "$WORK/bin/vorzmq"
    (cd "$WORK" && PATH=$WORK/bin:$PATH timeout 60 bash -e tour.sh >"$WORK/tour.out" 2>"$WORK/tour.err")
    status=$?
    expect_status 0
    # Every line each command printed; the relay and the subscriber print
    # at the same moment, so the order is left aside.
    expect_file <(sort "$WORK/tour.out") "$(sort <<EXPECTED
ipc://$VOR_HOME/queues/status
hello
acknowledged: hello
second message
acknowledged: second message
{"level":3}
sensor.7 {"level":3}
sensor.7 {"level":3}
acknowledged: sensor.7 {"level":3}
EXPECTED
)"
    # A request is printed by the server before it is acknowledged.
    [ "$(grep -xF -e hello -e 'acknowledged: hello' "$WORK/tour.out")" = "hello
acknowledged: hello" ] || fail "acknowledged before it was printed"
    ! grep -E 'ERROR|WARN|warning' "$WORK/tour.err" || fail "the tour reported problems"
}

case_missing_queue_folder() {
    # Connecting commands say why nothing can answer; binding ones create the
    # folder with the documented mode.
    run request status hello --timeout-ms 200
    expect_status 1
    expect_contains "$WORK/run.err" "vorzmq request: the directory $VOR_HOME/queues does not exist yet"
    start subscriber subscribe events --count 1
    wait_for_line "$WORK/subscriber.err" "vorzmq subscribe: the directory $VOR_HOME/queues does not exist yet" 15 \
        "$subscriber_pid"
    [ ! -e "$VOR_HOME" ] || fail "a connecting command created $VOR_HOME"
    start server serve status --count 1
    wait_for_line "$WORK/server.err" "vorzmq serve: serving ipc://$VOR_HOME/queues/status" 15 "$server_pid"
    [ "$(stat -c %a "$VOR_HOME/queues")" = "$(printf '%o' $((01770 & ~$(umask))))" ] ||
        fail "queue folder mode $(stat -c %a "$VOR_HOME/queues")"
    run request status hello
    expect_status 0
    wait_for_exit "$server_pid" 0
    # Without the sticky bit, a member who may write the folder could
    # replace a live endpoint: a binding command says so.
    chmod 0770 "$VOR_HOME/queues"
    run publish events t data
    expect_contains "$WORK/run.err" "warning: every member of its group may replace ipc://$VOR_HOME/queues/events"
}

case_ping() {
    # The example ends with a status, with or without its queue folder.
    local ping=${VORZMQ_PING:?}
    local started
    started=$(now_ms)
    "$ping" >"$WORK/ping.out" 2>"$WORK/ping.err"
    status=$?
    expect_status 1
    [ $(($(now_ms) - started)) -lt 15000 ] || fail "ping took $(($(now_ms) - started)) ms"
    expect_contains "$WORK/ping.out" "server: cannot bind ipc://$VOR_HOME/queues/ping: no socket (No such file or directory)"
    expect_contains "$WORK/ping.out" "request: not acknowledged: no reply"
    mkdir -p "$VOR_HOME/queues"
    "$ping" >"$WORK/ping.out" 2>"$WORK/ping.err"
    status=$?
    expect_status 0
    expect_file "$WORK/ping.out" 'server: received "hello from ping"
request: acknowledged'
}

run_case
