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
2	vorzmq rebroadcast: JSON is required	rebroadcast	relay	alarm
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
        "rebroadcast status alarm 1" "relay --listen relay --publish tcp://127.0.0.1:1"; do
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
    for subcommand in url serve request publish subscribe rebroadcast relay; do
        grep -qE "^  $subcommand " "$WORK/run.out" || fail "vorzmq --help does not list $subcommand"
    done
    for subcommand in url serve request publish subscribe rebroadcast relay; do
        run "$subcommand" --help
        expect_status 0
        expect_contains "$WORK/run.out" "Usage: vorzmq $subcommand"
        expect_contains "$WORK/run.out" "Example:"
        grep -qE "^  .*vorzmq $subcommand " "$WORK/run.out" || fail "the example of $subcommand does not use it"
        expect_contains "$WORK/run.out" "--log-level"
    done
}

run_case
