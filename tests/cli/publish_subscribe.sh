#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# vorzmq publish, subscribe, rebroadcast and relay as a user runs them.
source "$(dirname "$0")/helpers.sh"

without_greetings() { grep -vF greeting "$1"; }

# start_relay [OPTION...]
start_relay() {
    start relay relay --listen relay --publish events "$@"
    wait_for_line "$WORK/relay.err" "vorzmq relay: re-broadcasting"
}

case_relay_rebroadcast() {
    start_relay --print
    start everything subscribe events
    start alarms subscribe events alarm
    greet_until '"$VORZMQ" rebroadcast relay alarm "{\"greeting\":$attempt}" >/dev/null' \
        'grep -qF greeting "$WORK/everything.out" && grep -qF greeting "$WORK/alarms.out"'

    run rebroadcast relay alarm '{"zone": 3, "level": "high"}'
    expect_status 0
    expect_file "$WORK/run.out" 'acknowledged: alarm {"level":"high","zone":3}'
    run rebroadcast relay status '[1, 2.5, "three"]'
    expect_status 0
    run rebroadcast relay alarm '"end"'
    expect_status 0

    wait_for_line "$WORK/everything.out" '"end"'
    wait_for_line "$WORK/alarms.out" '"end"'
    expect_file <(without_greetings "$WORK/everything.out") '{"level":"high","zone":3}
[1,2.5,"three"]
"end"'
    # The exact filter "alarm" keeps the status message out.
    expect_file <(without_greetings "$WORK/alarms.out") '{"level":"high","zone":3}
"end"'
    expect_contains "$WORK/relay.out" 'status [1,2.5,"three"]'

    # Without --print the relay's output (a unit's journal) carries no payload.
    kill "$relay_pid"
    wait_for_exit "$relay_pid" 0 5
    start_relay
    run rebroadcast relay alarm '"quiet"'
    expect_status 0
    kill "$relay_pid"
    wait_for_exit "$relay_pid" 0 5
    [ ! -s "$WORK/relay.out" ] || fail "the relay printed without --print: $(cat "$WORK/relay.out")"
    ! grep -q quiet "$WORK/relay.err" || fail "the relay logged a payload: $(cat "$WORK/relay.err")"
}

case_relay_ignores_malformed_requests() {
    start_relay
    start everything subscribe events
    greet_until '"$VORZMQ" rebroadcast relay alarm "{\"greeting\":$attempt}" >/dev/null' \
        'grep -qF greeting "$WORK/everything.out"'
    local malformed deep
    deep="{\"topic\":\"alarm\$\",\"data\":$(printf '[%.0s' {1..5000})$(printf ']%.0s' {1..5000})}"
    for malformed in 'not json' '[1,2]' '{"topic":5,"data":1}' '{"data":1}' '{"topic":"alarm$"}' "$deep"; do
        run request relay "$malformed"
        expect_status 1  # answered, but not acknowledged
        expect_contains "$WORK/run.err" 'was not acknowledged: unexpected reply "error: '
    done
    run rebroadcast relay alarm '"after"'
    expect_status 0
    wait_for_line "$WORK/everything.out" '"after"'
    expect_file <(without_greetings "$WORK/everything.out") '"after"'
    expect_contains "$WORK/relay.err" "Ignored Re-Broadcast Request: not json -- not JSON"
    expect_contains "$WORK/relay.err" 'Ignored Re-Broadcast Request: [1,2] -- not a JSON object'
    expect_contains "$WORK/relay.err" 'Ignored Re-Broadcast Request: {"topic":5,"data":1} -- no string "topic"'
    expect_contains "$WORK/relay.err" 'Ignored Re-Broadcast Request: {"topic":"alarm$"} -- no "data"'
    expect_contains "$WORK/relay.err" '... -- nested too deeply'
    # A flood: at most one record a second for each reason, and every
    # ignored request counted, in its own record or in a later one's count
    # (the "not json" above included).
    yes 'not json' | head -n 1000 | "$VORZMQ" request relay >/dev/null 2>&1
    local deadline=$(($(now_ms) + 15000)) counted
    until counted=$(ignored_not_json) && [ "$counted" -eq 1001 ]; do
        [ "$(now_ms)" -lt "$deadline" ] || fail "the relay's records count $counted requests of 1,001"
        sleep 0.1
    done
    [ "$(grep -c 'not JSON' "$WORK/relay.err")" -le 100 ] || fail "1,000 bad requests took over 100 records"
}

# Bad "not json" requests that the relay's records account for.
ignored_not_json() {
    awk '/not JSON/ {
        n = 1
        if (match($0, /and [0-9]+ more since/)) n += substr($0, RSTART + 4, RLENGTH - 15)
        else if (match($0, /Ignored [0-9]+ More/)) n = substr($0, RSTART + 8, RLENGTH - 13)
        total += n
    } END { print total + 0 }' "$WORK/relay.err"
}

case_relay_stops_on_signal() {
    local signal
    for signal in INT TERM; do
        start_relay
        kill -s "$signal" "$relay_pid"
        # Within the receive time-out and the linger period.
        wait_for_exit "$relay_pid" 0 5
    done
}

# A subscriber that stopped reading: a stop of the relay is still a normal
# end (status 0, the loss at WARN); publish exits 1. Over tcp the loss is "at
# least" the bytes the kernel holds unacknowledged; over ipc the kernel
# counts its buffers, which is no such bound, and the report says so.
case_stalled_subscriber_losses_reported() {
    start relay relay --listen relay --publish events --linger-ms 300
    wait_for_line "$WORK/relay.err" "vorzmq relay: re-broadcasting"
    start stalled subscribe events
    greet_until '"$VORZMQ" rebroadcast relay alarm "{\"greeting\":$attempt}" >/dev/null' \
        'grep -qF greeting "$WORK/stalled.out"'
    kill -STOP "$stalled_pid"
    local big i
    big=\"$(head -c 20000 /dev/zero | tr '\0' x)\"
    for i in $(seq 30); do
        run rebroadcast relay alarm "$big"
        expect_status 0
    done
    kill -TERM "$relay_pid"
    wait_for_exit "$relay_pid" 0 10
    expect_contains "$WORK/relay.err" "WARN  Stopped -- subscribers had still not read everything after 300 ms (--linger-ms); what was queued for them ("
    expect_contains "$WORK/relay.err" " bytes of kernel buffers, and whatever libzmq still held) is dropped"

    mkfifo "$WORK/feed.fifo"
    START_INPUT=$WORK/feed.fifo start feed publish "tcp://127.0.0.1:*" t --linger-ms 300
    exec 7>"$WORK/feed.fifo"
    wait_for_line "$WORK/feed.err" "vorzmq publish: publishing on tcp://" 15 "$feed_pid"
    local feed_url
    feed_url=$(grep -o 'tcp://127.0.0.1:[0-9]*' "$WORK/feed.err" | head -1)
    start reader subscribe "$feed_url" t 7>&-  # holding no writer of the FIFO
    greet_until 'echo "greeting $attempt" >&7' 'grep -qF greeting "$WORK/reader.out"'
    kill -STOP "$reader_pid"
    seq 1 200000 >&7
    exec 7>&-
    wait_for_exit "$feed_pid" 1 60
    expect_contains "$WORK/feed.err" "vorzmq publish: at least "
    expect_contains "$WORK/feed.err" "bytes still unread by subscribers after 300 ms (--linger-ms) are dropped"
}

case_rebroadcast_without_service() {
    run rebroadcast nobody alarm '{"level":1}'
    expect_status 1
    [ "$elapsed_ms" -lt 5000 ] || fail "took $elapsed_ms ms"
    expect_contains "$WORK/run.err" "vorzmq rebroadcast: not acknowledged: no reply from ipc://$VOR_HOME/queues/nobody within 1000 ms (the server may still have received it)"
}

case_publish_subscribe() {
    local url="ipc://$WORK/feed"
    start prefixed subscribe "$url" sensor. --prefix
    start exact subscribe "$url" sensor.1
    start other subscribe "$url" sensor.2
    start first subscribe "$url" --count 1
    # One publisher, fed line by line, so that it stays bound between lines.
    mkfifo "$WORK/lines"
    START_INPUT=$WORK/lines start publisher publish "$url" sensor.1
    exec 3>"$WORK/lines"
    greet_until 'echo "greeting $attempt" >&3' \
        'grep -qF greeting "$WORK/prefixed.out" && grep -qF greeting "$WORK/exact.out" && grep -qF greeting "$WORK/first.out"'
    printf '21.5\n21.7\n' >&3
    exec 3>&-
    wait_for_exit "$publisher_pid" 0
    wait_for_exit "$first_pid" 0
    [ "$(wc -l <"$WORK/first.out")" -eq 1 ] || fail "--count 1 printed more than one message"
    wait_for_line "$WORK/prefixed.out" 21.7
    wait_for_line "$WORK/exact.out" 21.7
    expect_file <(without_greetings "$WORK/prefixed.out") "21.5
21.7"
    expect_file <(without_greetings "$WORK/exact.out") "21.5
21.7"
    # Everything sensor.2 could have heard was published before 21.7 arrived.
    [ ! -s "$WORK/other.out" ] || fail "the subscriber of sensor.2 received sensor.1 messages"
}

case_topics_shown_and_dollar_warned() {
    local url="ipc://$WORK/feed"
    start shown subscribe "$url" --show-topic
    # The exact filter "p" also takes "p$q", and the user is told so.
    start exact subscribe "$url" 'p$q' --count 1
    wait_for_line "$WORK/exact.err" 'warning: the topic "p$q" contains "$"'
    mkfifo "$WORK/lines"
    START_INPUT=$WORK/lines start publisher publish "$url" 'p$q'
    exec 3>"$WORK/lines"
    greet_until 'echo "greeting $attempt" >&3' 'grep -qF greeting "$WORK/shown.out" && grep -qF greeting "$WORK/exact.out"'
    exec 3>&-
    wait_for_exit "$publisher_pid" 0
    wait_for_exit "$exact_pid" 0
    expect_contains "$WORK/publisher.err" 'warning: the topic "p$q" contains "$", which ends a topic on the wire: subscribers of the exact topic "p" receive it too'
    wait_for_line "$WORK/shown.out" 'p$q greeting'
    [ "$(grep -c . "$WORK/exact.out")" -eq 1 ] || fail "--count 1 printed more than one message"
}

# A burst piped in far faster than the subscriber prints it, which is then
# still well behind when the input ends: nothing may be dropped on the way or
# at the publisher's exit.
case_piped_burst_arrives_whole() {
    start subscriber subscribe events t
    mkfifo "$WORK/lines"
    START_INPUT=$WORK/lines start publisher publish events t
    exec 3>"$WORK/lines"
    greet_until 'echo "greeting $attempt" >&3' 'grep -qF greeting "$WORK/subscriber.out"'
    seq 1 100000 >&3
    exec 3>&-
    wait_for_exit "$publisher_pid" 0 60
    wait_for_line "$WORK/subscriber.out" 100000 15 "$subscriber_pid"
    cmp -s <(seq 1 100000) <(without_greetings "$WORK/subscriber.out") ||
        fail "$(without_greetings "$WORK/subscriber.out" | wc -l) lines arrived, not 1 to 100000 in order"
}

# Standard input of publish (a printf format) | publish's flags | subscribe's
# flags | what subscribe prints (a printf format); "-" for no flags.
framed_publications() {
    cat <<'TABLE'
bin\0ary tail\n|-|-|bin\\0ary tail\n
bin\0ary tail\n|-|--output hex|62696e00617279207461696c\n
one\0two\nlines\0|--input null|--output base64|b25l\ndHdvCmxpbmVz\n
plain text\n\377\n|-|--output json|{"topic":"t","data":"plain text"}\n{"topic":"t","data_base64":"/w=="}\n
tab\there\r\n|-|--show-topic|t tab\\there\\r\n
a\\b\n|-|-|a\\b\n
caf\303\251 \302\233[2J\342\200\256\233\n|-|-|caf\303\251 \\xc2\\x9b[2J\\xe2\\x80\\xae\\x9b\n
\302\205\342\201\246\n|-|--output json|{"topic":"t","data":"\\u0085\\u2066"}\n
TABLE
}

# Lines of FILE after the leading greetings (the lines equal to its first).
after_greetings() { awk 'NR == 1 { greeting = $0 } $0 != greeting { rest = 1 } rest' "$1"; }

case_framings_and_formats() {
    local input publish_flags subscribe_flags printed separator row=0
    while IFS='|' read -r input publish_flags subscribe_flags printed; do
        row=$((row + 1))
        [ "$publish_flags" != - ] || publish_flags=
        [ "$subscribe_flags" != - ] || subscribe_flags=
        separator='\n'
        [[ "$publish_flags" != *null* ]] || separator='\0'
        # shellcheck disable=SC2086
        start subscriber subscribe "ipc://$WORK/feed$row" t $subscribe_flags
        mkfifo "$WORK/input$row"
        # shellcheck disable=SC2086
        START_INPUT=$WORK/input$row start publisher publish "ipc://$WORK/feed$row" t $publish_flags
        exec 3>"$WORK/input$row"
        greet_until 'printf "greeting$separator" >&3' '[ -s "$WORK/subscriber.out" ]'
        # shellcheck disable=SC2059
        printf "$input" >&3
        exec 3>&-
        wait_for_exit "$publisher_pid" 0
        local deadline=$(($(now_ms) + 15000))
        # shellcheck disable=SC2059
        until cmp -s <(printf "$printed") <(after_greetings "$WORK/subscriber.out"); do
            [ "$(now_ms)" -lt "$deadline" ] || fail "row $row: subscribe printed $(od -c "$WORK/subscriber.out")"
            sleep 0.05
        done
        kill "$subscriber_pid"
        wait_for_exit "$subscriber_pid" 0
    done < <(framed_publications)
}

# Standard input of rebroadcast (a printf format) | its arguments after the
# endpoint | its exit status | what it prints (a printf format).
framed_rebroadcasts() {
    cat <<'TABLE'
{"topic":"a","data":1}\n{"topic":"b\\nc","data":[true]}\n|-|0|acknowledged: a 1\nacknowledged: b\\nc [true]\n
{"x": 1}\n[2]\n|alarm|0|acknowledged: alarm {"x":1}\nacknowledged: alarm [2]\n
{"x":\n 1}\0"two"\0|alarm --input null|0|acknowledged: alarm {"x":1}\nacknowledged: alarm "two"\n
{"x":\n 1}|alarm --input whole --timeout-ms 3000|0|acknowledged: alarm {"x":1}\n
not json\n{"topic":"a","data":2}\n{"data":3}\n|-|1|acknowledged: a 2\n
TABLE
}

case_rebroadcast_from_stdin() {
    start_relay --print
    local input arguments expected_status printed row=0
    while IFS='|' read -r input arguments expected_status printed; do
        row=$((row + 1))
        [ "$arguments" != - ] || arguments=
        # shellcheck disable=SC2059,SC2086
        printf "$input" | "$VORZMQ" rebroadcast relay $arguments >"$WORK/run.out" 2>"$WORK/run.err"
        status=$?
        expect_status "$expected_status" "row $row"
        # shellcheck disable=SC2059
        cmp -s <(printf "$printed") "$WORK/run.out" || fail "row $row: rebroadcast printed $(od -c "$WORK/run.out")"
    done < <(framed_rebroadcasts)
    # A thousand requests from one process, each reported.
    seq 1 1000 | awk '{ printf "{\"topic\":\"t%d\",\"data\":{\"n\":%d}}\n", $1, $1 }' |
        "$VORZMQ" rebroadcast relay >"$WORK/run.out" 2>"$WORK/run.err"
    status=$?
    expect_status 0
    cmp -s <(seq 1 1000 | awk '{ printf "acknowledged: t%d {\"n\":%d}\n", $1, $1 }') "$WORK/run.out" ||
        fail "$(wc -l <"$WORK/run.out") of 1000 requests reported acknowledged"
    wait_for_line "$WORK/relay.out" 't1000 {"n":1000}'
}

case_oversized_message_received() {
    # Only a publisher other than the tool sends more than the bound.
    local url="ipc://$WORK/feed" raw=${VORZMQ_RAW_PIPE:?}
    start subscriber subscribe "$url" t
    mkfifo "$WORK/lines"
    "$raw" pub "$url" t <"$WORK/lines" 2>"$WORK/raw.err" &
    background_pids+=($!)
    exec 3>"$WORK/lines"
    greet_until 'echo greeting >&3' 'grep -qF greeting "$WORK/subscriber.out"'
    head -c 4194305 /dev/zero | tr '\0' a >&3
    printf '\nafter\n' >&3
    exec 3>&-
    wait_for_line "$WORK/subscriber.out" after 15 "$subscriber_pid"
    kill -s TERM "$subscriber_pid"
    wait_for_exit "$subscriber_pid" 1
    expect_contains "$WORK/subscriber.err" "vorzmq subscribe: message"
    expect_contains "$WORK/subscriber.err" "is 4194305 bytes, over 4194304 bytes (4 MiB), the most a receiving socket takes"
    # Printed whole all the same.
    [ "$(grep -c '^a*$' "$WORK/subscriber.out")" -eq 1 ] && [ "$(grep '^a*$' "$WORK/subscriber.out" | wc -c)" -eq 4194306 ] ||
        fail "the long message was not printed whole"
}

run_case
