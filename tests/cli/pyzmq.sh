#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# CURVE between the tool and pyzmq: each side's certificates work on the
# other, and a server with an allow-list lets in only the clients it lists.
source "$(dirname "$0")/helpers.sh"
require_pyzmq

peer() { /usr/bin/python3 "$PYZMQ_PEER" "$@"; }

# certificates NAME...: pyzmq's certificate pairs in $WORK/certs, the secret
# files readable by their owner only.
certificates() {
    local name
    mkdir -p "$WORK/certs"
    for name in "$@"; do
        peer create "$WORK/certs" "$name" || fail "pyzmq could not write the certificates of $name"
        chmod 600 "$WORK/certs/$name.key_secret"
    done
}

# serve_curve ARGS...: a tool server on a port of the kernel's choice; sets
# $endpoint.
serve_curve() {
    start server serve 'tcp://127.0.0.1:*' --curve-secret "$WORK/certs/server.key_secret" "$@"
    wait_for_line "$WORK/server.err" "vorzmq serve: serving tcp://127.0.0.1:" 15 "$server_pid"
    endpoint=$(grep -o 'tcp://127\.0\.0\.1:[0-9]*' "$WORK/server.err" | head -1)
}

# A pyzmq client listed in the server's directory is served; one with an
# unlisted key and a clear-text one get nothing through; a key copied into
# the directory while the server runs is admitted.
case_allow_list() {
    certificates server friend stranger
    mkdir "$WORK/allowed"
    cp "$WORK/certs/friend.key" "$WORK/allowed/"
    serve_curve --allow "$WORK/allowed"
    peer request "$endpoint" "$WORK/certs/server.key" "$WORK/certs/friend.key_secret" from-friend 10000 ||
        fail "the listed pyzmq client was not served"
    peer request "$endpoint" "$WORK/certs/server.key" "$WORK/certs/stranger.key_secret" from-stranger 1500 &&
        fail "an unlisted key was served"
    peer request "$endpoint" - - from-clear-text 1500 && fail "a clear-text client was served"
    cp "$WORK/certs/stranger.key" "$WORK/allowed/"
    local deadline=$(($(now_ms) + 15000))
    until peer request "$endpoint" "$WORK/certs/server.key" "$WORK/certs/stranger.key_secret" admitted 1000; do
        [ "$(now_ms)" -lt "$deadline" ] || fail "a key added to the directory was not admitted within 15 s"
    done
    wait_for_line "$WORK/server.out" admitted 15 "$server_pid"
    grep -qF -e from-stranger -e from-clear-text "$WORK/server.out" && fail "a refused client's request was served"
    expect_contains "$WORK/server.out" from-friend
}

# The tool's certificates load in pyzmq and the tool takes pyzmq's: a
# tool-made client key, listed, talks to a pyzmq-made server key.
case_certificates_both_ways() {
    certificates server
    run keygen tool --dir "$WORK/certs"
    expect_status 0
    peer check "$WORK/certs/tool.key_secret" || fail "pyzmq does not read the tool's certificate pair"
    mkdir "$WORK/allowed"
    cp "$WORK/certs/tool.key" "$WORK/allowed/"
    serve_curve --allow "$WORK/allowed"
    run request "$endpoint" --curve-server "$WORK/certs/server.key" --curve-secret "$WORK/certs/tool.key_secret" hello
    expect_status 0
    peer request "$endpoint" "$WORK/certs/server.key" "$WORK/certs/tool.key_secret" from-pyzmq 10000 ||
        fail "pyzmq with the tool's certificate was not served"
}

# A tool client that holds the wrong server key for a pyzmq CURVE server is
# told so within its time-out, rather than "no reply".
case_wrong_server_key() {
    certificates server other
    peer serve 'tcp://127.0.0.1:*' "$WORK/certs/server.key_secret" >"$WORK/pyzmq.out" 2>"$WORK/pyzmq.err" &
    background_pids+=($!)
    wait_for_line "$WORK/pyzmq.out" "tcp://127.0.0.1:" 15 $!
    endpoint=$(head -1 "$WORK/pyzmq.out")
    run request "$endpoint" --curve-server "$WORK/certs/server.key" --timeout-ms 10000 right-key
    expect_status 0
    run request "$endpoint" --curve-server "$WORK/certs/other.key" --timeout-ms 3000 wrong-key
    expect_status 1
    expect_contains "$WORK/run.err" "refused"
}

run_case
