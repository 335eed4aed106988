#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# What the tool says, and with which exit status, when the command line is
# wrong; and that every subcommand explains itself.
source "$(dirname "$0")/helpers.sh"

# expected status | expected text on stderr | arguments (one per field, tab-separated)
bad_inputs() {
    cat <<TABLE
2	unknown subcommand 'bogus'	bogus
2	A subcommand is required
2	vorzmq serve: ENDPOINT is required	serve
2	vorzmq publish: TOPIC is required	publish	events
2	--input: hex not in {lines,null,whole}	publish	events	t	--input	hex
2	--output: xml not in {text,hex,base64,json}	serve	q	--output	xml
2	vorzmq relay: --publish is required	relay	--listen	relay
2	vorzmq rebroadcast: invalid JSON: {"level":	rebroadcast	relay	alarm	{"level":
2	--count: expected a whole number of at least 1, got '0'	serve	orders	--count	0
2	--log-level: LOUD not in	subscribe	events	--log-level	LOUD
2	vorzmq url: The following argument was not expected: extra	url	status	extra
1	the directory $WORK/missing does not exist	serve	ipc://$WORK/missing/orders
TABLE
}

case_bad_input() {
    local expected_status expected_text fields
    while IFS=$'\t' read -r -a fields; do
        expected_status=${fields[0]}
        expected_text=${fields[1]}
        run "${fields[@]:2}"
        [ "$status" -eq "$expected_status" ] ||
            fail "vorzmq ${fields[*]:2}: exit status $status, expected $expected_status"
        grep -qF -- "$expected_text" "$WORK/run.err" ||
            fail "vorzmq ${fields[*]:2}: stderr lacks '$expected_text': $(cat "$WORK/run.err")"
        [ "$elapsed_ms" -lt 5000 ] || fail "vorzmq ${fields[*]:2} took $elapsed_ms ms"
    done < <(bad_inputs)
    # An empty field does not survive the table.
    run rebroadcast relay alarm ""
    expect_status 2
    expect_contains "$WORK/run.err" "vorzmq rebroadcast: invalid JSON: "
}

case_vor_home_unset() {
    local arguments
    for arguments in "url status" "request status hello" "serve status" "subscribe status" \
        "rebroadcast status alarm 1" "relay --listen relay --publish tcp://127.0.0.1:1" \
        "listen --subscribe status"; do
        # shellcheck disable=SC2086
        env -u VOR_HOME "$VORZMQ" $arguments >"$WORK/run.out" 2>"$WORK/run.err" </dev/null
        status=$?
        [ "$status" -eq 2 ] || fail "vorzmq $arguments without VOR_HOME: exit status $status"
        grep -qF "VOR_HOME Environment Variable Not Set (export VOR_HOME" "$WORK/run.err" ||
            fail "vorzmq $arguments without VOR_HOME: $(cat "$WORK/run.err")"
    done
}

case_help() {
    run --help
    expect_status 0
    local subcommand
    for subcommand in url serve request publish subscribe rebroadcast relay listen; do
        grep -qE "^  $subcommand " "$WORK/run.out" || fail "vorzmq --help does not list $subcommand"
    done
    for subcommand in url serve request publish subscribe rebroadcast relay listen; do
        run "$subcommand" --help
        expect_status 0
        expect_contains "$WORK/run.out" "Usage: vorzmq $subcommand"
        expect_contains "$WORK/run.out" "Example:"
        grep -qE "^  .*vorzmq $subcommand " "$WORK/run.out" || fail "the example of $subcommand does not use it"
        expect_contains "$WORK/run.out" "--log-level"
    done
}

case_unusable_endpoints() {
    # Every subcommand gives up at once with libzmq's reason, in a line or two.
    local long_ipc="ipc://$WORK/$(printf 'x%.0s' $(seq 1 120))"
    local endpoint reason arguments
    while IFS='|' read -r endpoint reason; do
        for arguments in "subscribe $endpoint" "request $endpoint hello" "serve $endpoint" \
            "publish $endpoint topic data" "rebroadcast $endpoint alarm 1" \
            "relay --listen $endpoint --publish tcp://127.0.0.1:*" "relay --listen tcp://127.0.0.1:* --publish $endpoint" \
            "forward --from $endpoint --to tcp://127.0.0.1:*" "forward --from tcp://127.0.0.1:9 --to $endpoint" \
            "balance --listen $endpoint --to tcp://127.0.0.1:9" "balance --listen tcp://127.0.0.1:* --to $endpoint"; do
            # shellcheck disable=SC2086
            run $arguments
            [ "$status" -eq 1 ] || fail "vorzmq $arguments: exit status $status"
            [ "$elapsed_ms" -lt 3000 ] || fail "vorzmq $arguments took $elapsed_ms ms"
            [ "$(wc -l <"$WORK/run.err")" -lt 10 ] || fail "vorzmq $arguments: $(wc -l <"$WORK/run.err") lines on stderr"
            grep -qE "^vorzmq [a-z]+: cannot (bind|connect to) .*: $reason\$" "$WORK/run.err" ||
                fail "vorzmq $arguments: $(cat "$WORK/run.err")"
        done
    done <<TABLE
foo://bar|Protocol not supported
tcp://127.0.0.1|Invalid argument
$long_ipc|File name too long
TABLE
}

# A host name that does not resolve is named at once: the one-shot commands
# exit 1 before sending anything, the long-running ones say it and go on.
case_unresolvable_host() {
    local url=tcp://no-such-host.invalid:5555 arguments name
    for arguments in "request $url hello" "rebroadcast $url alarm 1"; do
        # shellcheck disable=SC2086
        run $arguments
        [ "$status" -eq 1 ] || fail "vorzmq $arguments: exit status $status"
        expect_contains "$WORK/run.err" "the host name no-such-host.invalid of $url does not resolve"
        expect_contains "$WORK/run.err" "nothing was sent"
    done
    start subscriber subscribe "$url"
    start forwarder forward --from "$url" --to "tcp://127.0.0.1:*"
    start balancer balance --listen "tcp://127.0.0.1:*" --to "$url"
    for name in subscriber forwarder balancer; do
        local pid_variable="${name}_pid"
        wait_for_line "$WORK/$name.err" "the host name no-such-host.invalid of $url does not resolve" 15 \
            "${!pid_variable}"
        expect_contains "$WORK/$name.err" "; trying again"
    done
}

run_case
