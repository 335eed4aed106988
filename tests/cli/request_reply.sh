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

    # Each acknowledgement is written as it comes, not when the input ends:
    # the first shows while the server still holds the second, which it
    # cannot write to a pipe that a first request of 60,000 bytes nearly
    # filled and that nobody reads. Both lines are in one read of the input.
    mkfifo "$WORK/served"
    "$VORZMQ" serve held --count 3 >"$WORK/served" 2>"$WORK/held.err" &
    background_pids+=($!)
    exec 3<"$WORK/served"
    wait_for_line "$WORK/held.err" "vorzmq serve: serving"
    run request held "$(head -c 60000 /dev/zero | tr '\0' a)"
    expect_status 0
    { echo first; head -c 10000 /dev/zero | tr '\0' x; echo; } >"$WORK/two"
    START_INPUT=$WORK/two start client request held --timeout-ms 30000
    wait_for_line "$WORK/client.out" "acknowledged: first" 15 "$client_pid"
    cat <&3 >/dev/null
    wait_for_exit "$client_pid" 0 30
    [ "$(wc -l <"$WORK/client.out")" -eq 2 ] || fail "not both acknowledged: $(head -c 100 "$WORK/client.out")"
}

case_no_server() {
    # Each message waits out its own time-out; a missed reply never turns
    # into a send failure of the next message.
    run request nobody a b c --timeout-ms 400
    expect_status 1
    [ "$elapsed_ms" -ge 1150 ] || fail "gave up after $elapsed_ms ms"
    local message
    for message in a b c; do
        expect_contains "$WORK/run.err" "vorzmq request: \"$message\" was not acknowledged: no reply from ipc://$VOR_HOME/queues/nobody within 400 ms (the server may still have received it)"
    done
    ! grep -qF "not sent" "$WORK/run.err" || fail "reported a sent message as not sent"
    [ ! -s "$WORK/run.out" ] || fail "claimed an acknowledgement"
}

case_late_server() {
    # The default time-out outlasts a server that starts while the request
    # waits (its bind alone pauses 500 ms).
    start requester request orders a b c
    sleep 0.7  # the server starts late on purpose
    start server serve orders --count 3
    wait_for_exit "$requester_pid" 0 20
    expect_file "$WORK/requester.out" "acknowledged: a
acknowledged: b
acknowledged: c"
    wait_for_exit "$server_pid" 0
}

case_retries_reach_a_late_server() {
    # A server that starts after the first try gets a later one, each try
    # on a new connection.
    start requester request orders hello --timeout-ms 300 --retries 200
    wait_for_line "$WORK/requester.err" '"hello" got no reply within 300 ms; sending it again (1 of 200)' 15 \
        "$requester_pid"
    start server serve orders
    wait_for_exit "$requester_pid" 0 60
    expect_file "$WORK/requester.out" "acknowledged: hello"
    grep -qx hello "$WORK/server.out" || fail "the server did not get hello"
    # Out of tries: the last failure is told, after every try.
    run request nobody hi --timeout-ms 200 --retries 2
    expect_status 1
    [ "$(grep -c 'sending it again' "$WORK/run.err")" -eq 2 ] || fail "not 2 retries: $(cat "$WORK/run.err")"
    expect_contains "$WORK/run.err" '"hi" was not acknowledged: no reply from'
}

case_serve_write_fails() {
    # Nothing that could not be written is acknowledged.
    "$VORZMQ" serve orders --count 2 >/dev/full 2>"$WORK/server.err" &
    local server=$!
    background_pids+=("$server")
    wait_for_line "$WORK/server.err" "vorzmq serve: serving" 15 "$server"
    run request orders one --timeout-ms 10000
    expect_status 1
    expect_contains "$WORK/run.err" "\"one\" was not acknowledged: unexpected reply \"not written: No space left on device\""
    wait_for_exit "$server" 1
    expect_contains "$WORK/server.err" "vorzmq serve: cannot write a request to standard output: No space left on device"
}

case_serve_output_closed() {
    # A reader that goes away is a failed write, not a SIGPIPE death.
    mkfifo "$WORK/pipe"
    head -n 1 "$WORK/pipe" >"$WORK/head.out" &
    local reader=$!
    "$VORZMQ" serve orders >"$WORK/pipe" 2>"$WORK/server.err" &
    local server=$!
    background_pids+=("$server")
    wait_for_line "$WORK/server.err" "vorzmq serve: serving" 15 "$server"
    run request orders first
    expect_status 0
    wait "$reader"
    run request orders second --timeout-ms 10000
    expect_status 1
    expect_contains "$WORK/run.err" "\"second\" was not acknowledged: unexpected reply \"not written: Broken pipe\""
    wait_for_exit "$server" 1
    expect_contains "$WORK/server.err" "Broken pipe"
    expect_file "$WORK/head.out" "first"
}

case_serve_wildcard_port() {
    start server serve 'tcp://127.0.0.1:*' --count 1
    wait_for_line "$WORK/server.err" "vorzmq serve: serving tcp://127.0.0.1:" 15 "$server_pid"
    local endpoint
    endpoint=$(sed -n 's/^vorzmq serve: serving \(tcp:[^,]*\),.*/\1/p' "$WORK/server.err")
    [[ $endpoint =~ ^tcp://127\.0\.0\.1:[0-9]+$ ]] || fail "no port in '$endpoint'"
    run request "$endpoint" hello
    expect_status 0
    wait_for_exit "$server_pid" 0
}

# A second server on a live queue must not take its requests away.
case_second_serve_refused() {
    start_server orders --count 1
    run serve orders --count 1
    expect_status 1
    expect_contains "$WORK/run.err" "Address already in use"
    run request orders "still here"
    expect_status 0
    wait_for_exit "$server_pid" 0
    expect_file "$WORK/server.out" "still here"
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

# Standard input of request (a printf format) | request's flags | serve's
# flags | what serve prints | what request prints (printf formats; "-" for
# no flags).
framed_requests() {
    cat <<'TABLE'
bin\0ary\n|--input whole|--output hex|62696e006172790a\n|acknowledged: bin\\0ary\\n\n
line one\nline\ttwo\n|-|-|line one\nline\\ttwo\n|acknowledged: line one\nacknowledged: line\\ttwo\n
a\nb|--input null|-|a\\nb\n|acknowledged: a\\nb\n
x\0\\y\0|--input null --output base64|--output base64|eA==\nXHk=\n|acknowledged: eA==\nacknowledged: XHk=\n
\377\0\n|--input whole --output json|--output json|{"data_base64":"/wAK"}\n|{"kind":"acknowledged","data_base64":"/wAK"}\n
caf\303\251 "q"\n|--output json|--output json|{"data":"caf\303\251 \\"q\\""}\n|{"kind":"acknowledged","data":"caf\303\251 \\"q\\""}\n
|--input whole|-|\n|acknowledged: \n
TABLE
}

case_framings_and_formats() {
    local input request_flags serve_flags served acknowledged row=0
    while IFS='|' read -r input request_flags serve_flags served acknowledged; do
        row=$((row + 1))
        [ "$request_flags" != - ] || request_flags=
        [ "$serve_flags" != - ] || serve_flags=
        # shellcheck disable=SC2086
        start_server "framed$row" --count "$(printf "$served" | wc -l)" $serve_flags
        # shellcheck disable=SC2059,SC2086
        printf "$input" | "$VORZMQ" request "framed$row" $request_flags >"$WORK/run.out" 2>"$WORK/run.err"
        status=$?
        expect_status 0 "row $row"
        wait_for_exit "$server_pid" 0
        # shellcheck disable=SC2059
        cmp -s <(printf "$served") "$WORK/server.out" || fail "row $row: serve printed $(od -c "$WORK/server.out")"
        # shellcheck disable=SC2059
        cmp -s <(printf "$acknowledged") "$WORK/run.out" || fail "row $row: request printed $(od -c "$WORK/run.out")"
    done < <(framed_requests)
    # A message given as an argument is one line too.
    start_server argument --count 1
    run request argument $'hello\nrequest argument: forged'
    expect_status 0
    wait_for_exit "$server_pid" 0
    expect_file "$WORK/server.out" 'hello\nrequest argument: forged'
}

case_message_bound() {
    local bound=4194304
    start_server bounded --count 1 --output base64
    # Over the bound: refused at once, naming it, and nothing sent.
    head -c $((5 * bound)) /dev/zero | tr '\0' a >"$WORK/long"
    printf '\n' >>"$WORK/long"
    for sender in "request bounded" "publish ipc://$WORK/feed t"; do
        # shellcheck disable=SC2086
        "$VORZMQ" $sender <"$WORK/long" >"$WORK/run.out" 2>"$WORK/run.err"
        status=$?
        expect_status 1 "$sender"
        expect_contains "$WORK/run.err" "over 4194304 bytes (4 MiB), the most a receiving socket takes"
    done
    # At the bound: whole, every byte.
    head -c $bound /dev/urandom >"$WORK/largest"
    "$VORZMQ" request bounded --input whole <"$WORK/largest" >"$WORK/run.out" 2>"$WORK/run.err"
    status=$?
    expect_status 0
    wait_for_exit "$server_pid" 0
    base64 -d "$WORK/server.out" | cmp -s - "$WORK/largest" || fail "the largest request did not arrive whole"
}

# One rule for a stop signal (SIGINT, SIGTERM): status 0 when nothing was
# left undone, 1 when a message was: here one whose reply had not come.
# status | signal | line sent to a server that holds it unanswered ("-":
# none, the command waits for input) | stderr before the signal | stderr
# after it | command
case_stopped_by_signal() {
    require_pyzmq
    /usr/bin/python3 "$(dirname "$0")/pyzmq_peer.py" hold "ipc://$VOR_HOME/queues/held" >"$WORK/held.out" &
    background_pids+=($!)
    local fields arguments
    while IFS='|' read -r -a fields; do
        read -r -a arguments <<<"${fields[5]}"
        mkfifo "$WORK/input.fifo"
        START_INPUT=$WORK/input.fifo start command "${arguments[@]}"
        exec 5>"$WORK/input.fifo"
        if [ "${fields[2]}" != - ]; then
            echo "${fields[2]}" >&5
            wait_for_line "$WORK/held.out" "${fields[2]}"
        else
            wait_for_line "$WORK/command.err" "${fields[3]}" 15 "$command_pid"
        fi
        kill -s "${fields[1]}" "$command_pid"
        wait_for_exit "$command_pid" "${fields[0]}" 10
        expect_contains "$WORK/command.err" "${fields[4]}"
        exec 5>&-
        rm "$WORK/input.fifo"
    done <<TABLE
1|TERM|hello||"hello" was not acknowledged: stopped by a signal before its reply came|request held
1|INT|4321||not acknowledged: stopped by a signal before its reply came|rebroadcast held t
0|TERM|-|waiting for a server to bind it|waiting for a server to bind it|request ipc://$WORK/absent/idle
0|INT|-|vorzmq publish: publishing on|vorzmq publish: stopped by a signal after 0 messages|publish events t
TABLE
}

run_case
