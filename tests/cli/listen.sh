#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# vorzmq listen: queues served and publishers followed by one process.
source "$(dirname "$0")/helpers.sh"

case_serves_and_follows() {
    local alarms="ipc://$WORK/alarms" news="ipc://$WORK/news"
    start listener listen --serve status --serve orders --subscribe "$alarms" alarm --subscribe "$news"
    wait_for_line "$WORK/listener.err" "subscribed to every topic at $news" 15 "$listener_pid"
    expect_contains "$WORK/listener.err" "serving ipc://$VOR_HOME/queues/orders"
    # Publishers fed line by line, so that they stay bound; each greets until
    # the listener has heard it.
    mkfifo "$WORK/alarm-lines" "$WORK/news-lines"
    START_INPUT=$WORK/alarm-lines start alarm_publisher publish "$alarms" alarm
    exec 3>"$WORK/alarm-lines"
    START_INPUT=$WORK/news-lines start news_publisher publish "$news" headlines
    exec 4>"$WORK/news-lines"
    greet_until 'echo greeting >&3 && echo greeting >&4' \
        'grep -qF "$alarms alarm: greeting" "$WORK/listener.out" && grep -qF "$news headlines: greeting" "$WORK/listener.out"'

    run request status hello
    expect_status 0
    echo 21.5 >&3
    wait_for_line "$WORK/listener.out" 21.5
    run request orders 'two words'
    expect_status 0
    echo '{"x":1}' >&4
    wait_for_line "$WORK/listener.out" '{"x":1}'
    exec 3>&- 4>&-
    wait_for_exit "$alarm_publisher_pid" 0
    wait_for_exit "$news_publisher_pid" 0

    expect_file <(grep -vF greeting "$WORK/listener.out") "request status: hello
message $alarms alarm: 21.5
request orders: two words
message $news headlines: {\"x\":1}"
    kill -s TERM "$listener_pid"
    wait_for_exit "$listener_pid" 0 5
    [ ! -s "$WORK/listener.err" ] || ! grep -qE 'WARN|ERROR' "$WORK/listener.err" || fail "problems logged"
}

case_count() {
    start listener listen --serve status --count 2
    wait_for_line "$WORK/listener.err" "serving" 15 "$listener_pid"
    run request status one two three
    # The third is acknowledged only if the listener goes on past its count.
    [ "$status" -eq 1 ] || fail "exit status $status, expected 1"
    wait_for_exit "$listener_pid" 0
    expect_file "$WORK/listener.out" "request status: one
request status: two"
}

case_nothing_to_listen_to() {
    run listen --prefix
    expect_status 2
    expect_contains "$WORK/run.err" "vorzmq listen: nothing to listen to: give at least one --serve or --subscribe"
    run listen --serve "ipc://$WORK/missing/orders"
    expect_status 1
    expect_contains "$WORK/run.err" "the directory $WORK/missing does not exist"
}

# Standard input of request (a printf format) | request's flags | listen's
# flags | what listen prints (a printf format); "-" for no flags.
framed_requests() {
    cat <<'TABLE'
hello\nmessage ev alarm: {"level":99}|--input whole|-|request q: hello\\nmessage ev alarm: {"level":99}\n
bin\0ary|--input whole|--output hex|request q: 62696e00617279\n
\377|--input whole|--output json|{"kind":"request","endpoint":"q","data_base64":"/w=="}\n
TABLE
}

case_framings_and_formats() {
    local input request_flags listen_flags printed row=0
    while IFS='|' read -r input request_flags listen_flags printed; do
        row=$((row + 1))
        [ "$listen_flags" != - ] || listen_flags=
        # shellcheck disable=SC2086
        start listener listen --serve q --count 1 $listen_flags
        wait_for_line "$WORK/listener.err" "serving" 15 "$listener_pid"
        # shellcheck disable=SC2059,SC2086
        printf "$input" | "$VORZMQ" request q $request_flags >"$WORK/run.out" 2>"$WORK/run.err"
        status=$?
        expect_status 0 "row $row"
        wait_for_exit "$listener_pid" 0
        # shellcheck disable=SC2059
        cmp -s <(printf "$printed") "$WORK/listener.out" || fail "row $row: listen printed $(od -c "$WORK/listener.out")"
    done < <(framed_requests)
}

run_case
