#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# scripts/demo with the built tool: it completes, shows each side's messages,
# and leaves no process behind, also when interrupted.
source "$(dirname "$0")/helpers.sh"

demo_home=$WORK/demo-home
demo_script=$(cd "$(dirname "$0")/../.." && pwd)/scripts/demo

# Processes still running with the demo's VOR_HOME in their environment.
strays() {
    grep -lsF "VOR_HOME=$demo_home" /proc/[0-9]*/environ | cut -d/ -f3 | while read -r pid; do
        [ "$pid" != "$1" ] && echo "$pid"
    done
}

expect_no_strays() {  # [PID of the finished demo, not yet reaped]
    local deadline=$(($(now_ms) + 5000)) left
    while left=$(strays "${1:-}") && [ -n "$left" ]; do
        [ "$(now_ms)" -lt "$deadline" ] || fail "processes left behind: $left"
        sleep 0.05
    done
}

case_completes() {
    VORZMQ_TOOL=$VORZMQ VOR_HOME=$demo_home bash "$demo_script" >"$WORK/demo.out" 2>"$WORK/demo.err"
    status=$?
    expect_status 0
    expect_no_strays
    local expected
    for expected in "acknowledged: how are you?" "was not acknowledged: no reply" \
        'acknowledged: alarm {"level":"high","zone":3}' 'status {"uptime_s":42}'; do
        expect_contains "$WORK/demo.out" "$expected"
    done
    # The alarm subscriber's section ends the listing; its filter keeps status out.
    sed -n '/topic "alarm" received:/,/^$/p' "$WORK/demo.out" >"$WORK/alarms.out"
    expect_contains "$WORK/alarms.out" '{"level":"cleared","zone":3}'
    ! grep -qF uptime_s "$WORK/alarms.out" || fail "the alarm subscriber received the status message"
}

case_interrupted() {
    VORZMQ_TOOL=$VORZMQ VOR_HOME=$demo_home bash "$demo_script" >"$WORK/demo.out" 2>"$WORK/demo.err" &
    local demo_pid=$!
    background_pids+=("$demo_pid")
    wait_for_line "$WORK/demo.out" "vorzmq subscribe demo-events alarm &" 30 "$demo_pid"
    # TERM: a background job of a script ignores INT, and bash cannot trap it.
    kill -s TERM "$demo_pid"
    wait_for_exit "$demo_pid" 143
    expect_no_strays
}

run_case
