#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# vorzmq serve, request and url as a user runs them.
source "$(dirname "$0")/helpers.sh"

start_server() {  # ARGS for serve; waits until it is bound
    start server serve "$@"
    wait_for_line "$WORK/server.err" "vorzmq serve: serving"
}

case_acknowledged() {
    start_server orders --count 2
    # A bracketed argument is one message, not a list.
    run request orders "first order" "[1,2]"
    expect_status 0
    expect_file "$WORK/run.out" "acknowledged: first order
acknowledged: [1,2]"
    wait_for_exit "$server_pid" 0
    expect_file "$WORK/server.out" "first order
[1,2]"
}

case_messages_from_stdin() {
    start_server orders --count 3
    printf 'one\ntwo words\nthree\n' | "$VORZMQ" request orders >"$WORK/run.out" 2>"$WORK/run.err"
    status=$?
    expect_status 0
    wait_for_exit "$server_pid" 0
    expect_file "$WORK/server.out" "one
two words
three"
}

case_no_server() {
    run request nobody hello
    expect_status 1
    # The reply is awaited for its full second, and no longer than needed.
    [ "$elapsed_ms" -ge 900 ] || fail "gave up after $elapsed_ms ms"
    [ "$elapsed_ms" -lt 5000 ] || fail "took $elapsed_ms ms"
    expect_contains "$WORK/run.err" "vorzmq request: \"hello\" was not acknowledged: no reply from ipc://$VOR_HOME/queues/nobody within 1 s"
    [ ! -s "$WORK/run.out" ] || fail "claimed an acknowledgement"
}

case_no_ack() {
    start_server orders --no-ack --count 1
    run request orders hello
    expect_status 1
    expect_contains "$WORK/run.err" "\"hello\" was not acknowledged: the server answered with an empty reply"
    wait_for_exit "$server_pid" 0
    expect_file "$WORK/server.out" "hello"
}

case_partly_acknowledged() {
    # The server acknowledges one request and stops; the second is reported.
    start_server orders --count 1
    run request orders kept lost
    expect_status 1
    expect_file "$WORK/run.out" "acknowledged: kept"
    expect_contains "$WORK/run.err" "\"lost\" was not acknowledged: no reply"
}

case_serve_stops_on_signal() {
    for signal in INT TERM; do
        start_server orders
        kill -s "$signal" "$server_pid"
        wait_for_exit "$server_pid" 0 5
    done
}

case_serve_count_not_reached() {
    start_server orders --count 2
    run request orders only-one
    expect_status 0
    kill -s TERM "$server_pid"
    wait_for_exit "$server_pid" 1 5
    expect_contains "$WORK/server.err" "stopped after 1 of 2 requests"
}

case_url_endpoint() {
    start_server "ipc://$WORK/direct" --count 1
    run request "ipc://$WORK/direct" hello
    expect_status 0
    wait_for_exit "$server_pid" 0
}

case_url_of_name() {
    run url status
    expect_status 0
    expect_file "$WORK/run.out" "ipc://$VOR_HOME/queues/status"
    run url "  padded name "
    expect_file "$WORK/run.out" "ipc://$VOR_HOME/queues/padded name"
    run url tcp://127.0.0.1:5555
    expect_file "$WORK/run.out" "tcp://127.0.0.1:5555"
}

run_case
