# SPDX-License-Identifier: MIT
# Sourced by every CLI test script: tests/cli/<script>.sh VORZMQ CASE.
# Each case runs in its own temporary VOR_HOME, starts the tool as real
# processes, and waits on conditions with deadlines instead of sleeping.
set -u -o pipefail

# The case runs as the leader of a process group of its own, so that its
# clean-up reaches every process it started, grandchildren included (a
# shell function's python, a demo's servers).
if [ "$(cut -d' ' -f5 /proc/$$/stat)" != "$$" ]; then
    exec setsid --wait bash "$0" "$@"
fi

VORZMQ=$1
CASE=$2
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vorzmq-cli-XXXXXX")
export VOR_HOME=$WORK/home
mkdir -p "$VOR_HOME/queues"
background_pids=()

# Processes other than this shell that run with the case's VOR_HOME (or one
# below $WORK) in their environment: what the case started, however deep.
# The grep itself runs without it.
case_processes() {
    env -u VOR_HOME grep -lsF "VOR_HOME=$WORK/" /proc/[0-9]*/environ | cut -d/ -f3
}

# Ends everything the case started, and fails the case when something
# outlives that.
cleanup() {
    local status=$? deadline left
    for pid in "${background_pids[@]}"; do
        kill "$pid" 2>/dev/null
        kill -CONT "$pid" 2>/dev/null  # a stopped process ends only once continued
    done
    trap '' TERM
    kill -TERM -- "-$$" 2>/dev/null
    kill -CONT -- "-$$" 2>/dev/null
    wait 2>/dev/null
    deadline=$(($(now_ms) + 10000))
    while left=$(case_processes) && [ -n "$left" ]; do
        if [ "$(now_ms)" -ge "$deadline" ]; then
            echo "FAIL [$CASE]: processes outlived the case:" $left >&2
            status=1
            break
        fi
        sleep 0.05
    done
    rm -rf "$WORK"
    exit "$status"
}
trap cleanup EXIT

fail() {
    echo "FAIL [$CASE]: $*" >&2
    for file in "$WORK"/*.out "$WORK"/*.err; do
        [ -e "$file" ] || continue
        echo "--- ${file##*/}" >&2
        cat "$file" >&2
    done
    exit 1
}

now_ms() { echo $(($(date +%s%N) / 1000000)); }

# start NAME ARGS...: runs the tool in the background; output in
# $WORK/NAME.out and $WORK/NAME.err, process id in the variable NAME_pid.
# Standard input comes from $START_INPUT (opened in the background process,
# so that a FIFO does not block the test), or /dev/null.
start() {
    local name=$1
    shift
    # Emptied here, not in the background process: a wait for a line of the
    # new process must not find the previous one's before the file is cut.
    : >"$WORK/$name.out"
    : >"$WORK/$name.err"
    "$VORZMQ" "$@" <"${START_INPUT:-/dev/null}" >>"$WORK/$name.out" 2>>"$WORK/$name.err" &
    background_pids+=($!)
    printf -v "${name}_pid" '%s' "$!"
}

# run ARGS...: runs the tool in the foreground; sets status and elapsed_ms,
# output in $WORK/run.out and $WORK/run.err.
run() {
    local started
    started=$(now_ms)
    "$VORZMQ" "$@" >"$WORK/run.out" 2>"$WORK/run.err" </dev/null
    status=$?
    elapsed_ms=$(($(now_ms) - started))
}

# wait_for_line FILE PATTERN [SECONDS [PID]]: until a line of FILE matches
# PATTERN (a fixed string); fails at once when the writer PID has ended.
wait_for_line() {
    local deadline=$(($(now_ms) + ${3:-15} * 1000))
    until grep -qF -- "$2" "$1" 2>/dev/null; do
        [ "$(now_ms)" -lt "$deadline" ] || fail "no line with '$2' in ${1##*/} within ${3:-15} s"
        [ -z "${4:-}" ] || kill -0 "$4" 2>/dev/null || grep -qF -- "$2" "$1" ||
            fail "process $4 ended before printing '$2' in ${1##*/}"
        sleep 0.05
    done
}

# wait_for_exit PID EXPECTED_STATUS [SECONDS]
wait_for_exit() {
    local deadline=$(($(now_ms) + ${3:-15} * 1000))
    while kill -0 "$1" 2>/dev/null; do
        [ "$(now_ms)" -lt "$deadline" ] || fail "process $1 still running after ${3:-15} s"
        sleep 0.05
    done
    wait "$1"
    local exit_status=$?
    [ "$exit_status" -eq "$2" ] || fail "process $1 exited with $exit_status, expected $2"
}

# greet_until SEND CHECK: a subscriber that joins late misses what was
# published before, so SEND, a greeting ($attempt numbers them), is evaluated
# every 0.1 s until CHECK holds; fails after 30 s. Comparisons then leave the
# greetings out.
greet_until() {
    local deadline=$(($(now_ms) + 30000)) attempt
    for ((attempt = 1; ; attempt++)); do
        eval "$1" || fail "greeting $attempt failed"
        eval "$2" && return 0
        [ "$(now_ms)" -lt "$deadline" ] || fail "no greeting arrived within 30 s: $2"
        sleep 0.1
    done
}

expect_status() {
    [ "$status" -eq "$1" ] || fail "exit status $status, expected $1 (tool ${*:2})"
}

# expect_file FILE EXPECTED_TEXT: the whole file, compared exactly.
expect_file() {
    local actual
    actual=$(cat "$1")
    [ "$actual" = "$2" ] || fail "${1##*/} is not as expected; expected:
$2
actual:
$actual"
}

expect_contains() {
    grep -qF -- "$2" "$1" || fail "${1##*/} lacks '$2'"
}

PYZMQ_PEER=$(dirname "${BASH_SOURCE[0]}")/pyzmq_peer.py

# require_pyzmq: the cases against pyzmq need Debian's python3-zmq, which
# scripts/install-deps installs; without it they are skipped.
require_pyzmq() {
    /usr/bin/python3 -c 'import zmq.auth' 2>/dev/null || {
        echo "SKIP [$CASE]: no pyzmq (python3-zmq)"
        exit 77
    }
}

# expect_forward_shares COUNT SECONDS: two publishers sent t1..tCOUNT and
# u1..uCOUNT through a forwarder; the subscriber of t ($WORK/only_t.out) and
# the one of everything ($WORK/all.out, topics shown) must each get exactly
# their share, in order per publisher, greetings aside.
expect_forward_shares() {
    wait_for_line "$WORK/only_t.out" "t$1" "$2" "$only_t_pid"
    wait_for_line "$WORK/all.out" "t t$1" "$2" "$all_pid"
    wait_for_line "$WORK/all.out" "u u$1" "$2" "$all_pid"
    cmp -s <(seq -f 't%g' 1 "$1") <(grep -v greeting "$WORK/only_t.out") ||
        fail "the subscriber of t did not get exactly t1 to t$1 in order"
    cmp -s <(seq -f 't t%g' 1 "$1") <(grep '^t ' "$WORK/all.out" | grep -v greeting) ||
        fail "the subscriber of everything did not get t1 to t$1 in order"
    cmp -s <(seq -f 'u u%g' 1 "$1") <(grep '^u ' "$WORK/all.out" | grep -v greeting) ||
        fail "the subscriber of everything did not get u1 to u$1 in order"
}

run_case() {
    declare -F "case_$CASE" >/dev/null || fail "no such case"
    "case_$CASE"
    echo "PASS [$CASE]"
}
