#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# CURVE from the command line: vorzmq keygen, the servers' --curve-secret and
# --allow, the clients' --curve-server and --curve-secret.
source "$(dirname "$0")/helpers.sh"

# Keys in $WORK/keys: the server's, alice's (allowed: her public certificate
# is in $WORK/allowed) and bob's (not allowed).
make_keys() {
    mkdir -p "$WORK/keys" "$WORK/allowed"
    local name
    for name in server alice bob; do
        "$VORZMQ" keygen "$name" --dir "$WORK/keys" >/dev/null 2>"$WORK/keygen.err" || fail "keygen $name failed"
    done
    cp "$WORK/keys/alice.key" "$WORK/allowed/"
}

case_keygen() {
    mkdir "$WORK/keys"
    run keygen server --dir "$WORK/keys"
    expect_status 0
    expect_file "$WORK/run.out" "$WORK/keys/server.key
$WORK/keys/server.key_secret"
    [ "$(stat -c %a "$WORK/keys/server.key")" = 644 ] || fail "the public certificate is not mode 644"
    [ "$(stat -c %a "$WORK/keys/server.key_secret")" = 600 ] || fail "the secret certificate is not mode 600"
    grep -qE '^    public-key = "[^"]{40}"$' "$WORK/keys/server.key" || fail "no public key in server.key"
    ! grep -qF secret-key "$WORK/keys/server.key" || fail "the public certificate holds the secret key"
    grep -qE '^    secret-key = "[^"]{40}"$' "$WORK/keys/server.key_secret" || fail "no secret key in server.key_secret"
    [ "$(grep public-key "$WORK/keys/server.key")" = "$(grep public-key "$WORK/keys/server.key_secret")" ] ||
        fail "the two files hold different public keys"

    # Never replaced, nothing left behind; names that are not plain file names.
    local before
    before=$(cat "$WORK/keys/server.key_secret")
    local fields
    while IFS='|' read -r -a fields; do
        run keygen "${fields[1]}" --dir "$WORK/keys"
        [ "$status" -eq "${fields[0]}" ] || fail "keygen '${fields[1]}': exit status $status, expected ${fields[0]}"
        expect_contains "$WORK/run.err" "${fields[2]}"
    done <<'TABLE'
1|server|it exists already (nothing was replaced)
2|.hidden|must be a plain file name
2|a/b|must be a plain file name
2||must be a plain file name
TABLE
    [ "$(cat "$WORK/keys/server.key_secret")" = "$before" ] || fail "keygen replaced an existing certificate"
    [ "$(ls -A "$WORK/keys")" = "server.key
server.key_secret" ] || fail "keygen left files behind: $(ls -A "$WORK/keys")"
    # Only the public file exists: the secret one is not written either.
    mv "$WORK/keys/server.key_secret" "$WORK/keys/other.key_secret"
    run keygen other --dir "$WORK/keys"
    expect_status 1
    [ ! -e "$WORK/keys/other.key" ] || fail "keygen wrote other.key beside an existing other.key_secret"

    # What a command prints last is checked too: a full disk is a failure.
    local command
    for command in "keygen full --dir $WORK/keys" "url orders"; do
        # shellcheck disable=SC2086 # the words of the command
        "$VORZMQ" $command >/dev/full 2>"$WORK/run.err"
        status=$?
        [ "$status" -eq 1 ] || fail "$command into a full disk: exit status $status, expected 1"
        expect_contains "$WORK/run.err" "cannot write to standard output: No space left on device"
    done

    # The pair serves: a server and a client that use it get through.
    start server serve orders --count 1 --curve-secret "$WORK/keys/other.key_secret"
    wait_for_line "$WORK/server.err" "(CURVE, any client with the public key)" 15 "$server_pid"
    run request orders hello --curve-server "$WORK/keys/server.key"
    expect_status 0
    expect_file "$WORK/run.out" "acknowledged: hello"
    wait_for_exit "$server_pid" 0
}

# expected status | expected text (stdout for status 0, else stderr) |
# request options ($WORK expanded); each row sends its own message, and only
# those of status 0 reach the server. A refusal is told as it happens, long
# before a 60 s time-out; a wrong server key, which libzmq does not tell
# apart from a server that gave up, at the time-out.
allow_list_clients() {
    cat <<TABLE
0|acknowledged|--curve-server $WORK/keys/server.key --curve-secret $WORK/keys/alice.key_secret
1|refused by the server at ipc://$VOR_HOME/queues/orders: this client's key is not admitted|--curve-server $WORK/keys/server.key --curve-secret $WORK/keys/bob.key_secret --timeout-ms 60000
1|refused by the server|--curve-server $WORK/keys/server.key --timeout-ms 60000
1|refused by the server at ipc://$VOR_HOME/queues/orders: the server and this client disagree on CURVE|--timeout-ms 60000
1|refused by the server at ipc://$VOR_HOME/queues/orders: the CURVE handshake failed: a wrong --curve-server|--curve-server $WORK/keys/bob.key --curve-secret $WORK/keys/alice.key_secret --timeout-ms 1500
0|acknowledged|--curve-server $WORK/keys/server.key_secret --curve-secret $WORK/keys/alice.key_secret
TABLE
}

case_allow_list() {
    make_keys
    start server serve orders --curve-secret "$WORK/keys/server.key_secret" --allow "$WORK/allowed"
    wait_for_line "$WORK/server.err" "vorzmq serve: serving" 15 "$server_pid"
    local fields row=0 expected=""
    while IFS='|' read -r -a fields; do
        row=$((row + 1))
        # shellcheck disable=SC2086 # the options are split on purpose
        run request orders "message $row" ${fields[2]}
        [ "$status" -eq "${fields[0]}" ] || fail "row $row: exit status $status, expected ${fields[0]}"
        expect_contains "$WORK/run.$([ "${fields[0]}" -eq 0 ] && echo out || echo err)" "${fields[1]}"
        # Told within the time-out, not after retries.
        [ "$elapsed_ms" -lt 10000 ] || fail "row $row took $elapsed_ms ms"
        [ "${fields[0]}" -ne 0 ] || expected+="message $row"$'\n'
    done < <(allow_list_clients)
    expect_file "$WORK/server.out" "${expected%$'\n'}"

    # A key added while the server runs is admitted without a restart.
    cp "$WORK/keys/bob.key" "$WORK/allowed/"
    local deadline=$(($(now_ms) + 15000))
    until "$VORZMQ" request orders "bob's" --curve-server "$WORK/keys/server.key" \
        --curve-secret "$WORK/keys/bob.key_secret" --timeout-ms 1000 >"$WORK/bob.out" 2>"$WORK/bob.err"; do
        [ "$(now_ms)" -lt "$deadline" ] || fail "bob's key was not admitted within 15 s of being added"
    done
    expect_contains "$WORK/server.out" "bob's"
}

# expected text on stderr | arguments; each ends with status 2 before
# anything is bound: the queue's endpoint file never appears.
bad_certificates() {
    cat <<TABLE
cannot read the CURVE certificate $WORK/missing (--curve-secret): No such file or directory|serve orders --curve-secret $WORK/missing
cannot read the CURVE certificate $WORK/bad (--curve-secret)|serve orders --curve-secret $WORK/bad
cannot read the CURVE certificate $WORK/bad (--curve-secret)|publish orders t d --curve-secret $WORK/bad
cannot read the CURVE certificate $WORK/bad (--curve-secret)|relay --listen orders --publish events --curve-secret $WORK/bad
cannot read the CURVE certificate $WORK/bad (--curve-secret)|listen --serve orders --curve-secret $WORK/bad
cannot read the CURVE certificate $WORK/bad (--curve-server)|request orders x --curve-server $WORK/bad
cannot read the CURVE certificate $WORK/bad (--curve-server)|subscribe orders --curve-server $WORK/bad
cannot read the CURVE certificate $WORK/bad (--curve-server)|rebroadcast orders t 1 --curve-server $WORK/bad
$WORK/keys/server.key (--curve-secret) holds no secret key|serve orders --curve-secret $WORK/keys/server.key
cannot read the --allow folder $WORK/missing: No such file or directory|serve orders --curve-secret $WORK/keys/server.key_secret --allow $WORK/missing
cannot read the --allow folder $WORK/keys/server.key: Not a directory|serve orders --curve-secret $WORK/keys/server.key_secret --allow $WORK/keys/server.key
--allow requires --curve-secret|serve orders --allow $WORK/allowed
--curve-secret requires --curve-server|request orders x --curve-secret $WORK/keys/alice.key_secret
--curve-secret requires --curve-server|subscribe orders --curve-secret $WORK/keys/alice.key_secret
--curve-server is for the --subscribe connections|listen --serve orders --curve-server $WORK/keys/server.key
cannot read the CURVE certificate $WORK/bad (--curve-secret)|forward --from events --to orders --curve-secret $WORK/bad
cannot read the CURVE certificate $WORK/bad (--curve-server)|balance --listen orders --to back --curve-server $WORK/bad
--allow requires --curve-secret|balance --listen orders --to back --allow $WORK/allowed
TABLE
}

case_bad_certificates() {
    make_keys
    # A key one character short.
    sed 's/public-key = "./public-key = "/' "$WORK/keys/alice.key" >"$WORK/bad"
    local fields
    while IFS='|' read -r -a fields; do
        # shellcheck disable=SC2086 # the arguments are split on purpose
        run ${fields[1]}
        [ "$status" -eq 2 ] || fail "vorzmq ${fields[1]}: exit status $status, expected 2"
        expect_contains "$WORK/run.err" "${fields[0]}"
        [ ! -e "$VOR_HOME/queues/orders" ] || fail "vorzmq ${fields[1]} bound its endpoint"
    done < <(bad_certificates)

    # A secret certificate others may read is told once, whatever the level.
    cp "$WORK/keys/alice.key_secret" "$WORK/open.key_secret"
    chmod 644 "$WORK/open.key_secret"
    local level
    for level in WARN OFF; do
        run request nobody x --curve-server "$WORK/open.key_secret" --curve-secret "$WORK/open.key_secret" \
            --timeout-ms 200 --log-level "$level"
        expect_status 1
        [ "$(grep -c "$WORK/open.key_secret" "$WORK/run.err")" -eq 1 ] ||
            fail "--log-level $level: the readable secret key was not told exactly once: $(cat "$WORK/run.err")"
        expect_contains "$WORK/run.err" "warning: the secret key in $WORK/open.key_secret can be read by others"
    done
}

case_publish_subscribe() {
    make_keys
    mkfifo "$WORK/lines"
    START_INPUT=$WORK/lines start publisher publish events alarm \
        --curve-secret "$WORK/keys/server.key_secret" --allow "$WORK/allowed"
    start alice subscribe events --curve-server "$WORK/keys/server.key" --curve-secret "$WORK/keys/alice.key_secret"
    start bob subscribe events --curve-server "$WORK/keys/server.key" --curve-secret "$WORK/keys/bob.key_secret"
    start plain subscribe events
    start listener listen --subscribe events --curve-server "$WORK/keys/server.key" \
        --curve-secret "$WORK/keys/bob.key_secret"
    exec 3>"$WORK/lines"  # after every start, so that only this shell holds it open
    wait_for_line "$WORK/bob.err" "vorzmq subscribe: refused by the server at ipc://$VOR_HOME/queues/events" 15 "$bob_pid"
    wait_for_line "$WORK/listener.err" "vorzmq listen: refused by the server" 15 "$listener_pid"
    greet_until 'echo "greeting $attempt" >&3' 'grep -qF greeting "$WORK/alice.out"'
    echo secret >&3
    wait_for_line "$WORK/alice.out" secret 15 "$alice_pid"
    exec 3>&-
    wait_for_exit "$publisher_pid" 0 30
    local other
    for other in bob plain listener; do
        [ ! -s "$WORK/$other.out" ] || fail "$other received what only alice may: $(cat "$WORK/$other.out")"
    done
    # Refusals are paced: a handful of lines at most, not one per attempt.
    [ "$(grep -c "refused by the server" "$WORK/bob.err")" -le 2 ] || fail "bob's refusals were not paced"
}

# The relay's two bound sockets and listen's queues under one allow-list.
case_relay_and_listen() {
    make_keys
    local server=(--curve-secret "$WORK/keys/server.key_secret" --allow "$WORK/allowed")
    local alice=(--curve-server "$WORK/keys/server.key" --curve-secret "$WORK/keys/alice.key_secret")
    local bob=(--curve-server "$WORK/keys/server.key" --curve-secret "$WORK/keys/bob.key_secret")
    start relay relay --listen relay --publish events "${server[@]}"
    start listener listen --serve orders "${server[@]}"
    start alice subscribe events "${alice[@]}"
    wait_for_line "$WORK/relay.err" "vorzmq relay: re-broadcasting" 15 "$relay_pid"
    wait_for_line "$WORK/listener.err" "vorzmq listen: serving" 15 "$listener_pid"
    greet_until '"$VORZMQ" rebroadcast relay alarm "{\"greeting\":$attempt}" "${alice[@]}" >/dev/null' \
        'grep -qF greeting "$WORK/alice.out"'
    run rebroadcast relay alarm '{"from":"bob"}' "${bob[@]}"
    expect_status 1
    expect_contains "$WORK/run.err" "not acknowledged: refused by the server at ipc://$VOR_HOME/queues/relay"

    run request orders "from alice" "${alice[@]}"
    expect_status 0
    run request orders "from bob" "${bob[@]}" --timeout-ms 1500
    expect_status 1
    expect_contains "$WORK/run.err" "refused by the server"
    expect_file "$WORK/listener.out" "request orders: from alice"
}

# The proxies between CURVE servers and clients: each side its own key,
# the bound side with an allow-list (alice), the upstreams admitting the
# proxy's key (alice's too).
case_proxies() {
    make_keys
    local secure=(--curve-secret "$WORK/keys/alice.key_secret" --curve-server "$WORK/keys/server.key"
        --allow "$WORK/allowed")
    start server serve back --curve-secret "$WORK/keys/server.key_secret" --allow "$WORK/allowed"
    start balancer balance --listen front --to back "${secure[@]}"
    wait_for_line "$WORK/balancer.err" "(CURVE, only clients whose certificate is in $WORK/allowed)" 15 "$balancer_pid"
    run request front hello --curve-server "$WORK/keys/alice.key" --curve-secret "$WORK/keys/alice.key_secret" \
        --timeout-ms 10000
    expect_status 0
    run request front intruder --curve-server "$WORK/keys/alice.key" --curve-secret "$WORK/keys/bob.key_secret" \
        --timeout-ms 1500
    expect_status 1
    expect_contains "$WORK/run.err" "refused by the server"
    expect_file "$WORK/server.out" hello
    # A balancer whose key the server does not admit says so.
    start outsider balance --listen side --to back --curve-secret "$WORK/keys/bob.key_secret" \
        --curve-server "$WORK/keys/server.key"
    wait_for_line "$WORK/outsider.err" "server ipc://$VOR_HOME/queues/back refused this proxy's key" 15 "$outsider_pid"

    mkfifo "$WORK/lines"
    START_INPUT=$WORK/lines start publisher publish up alarm --curve-secret "$WORK/keys/server.key_secret" \
        --allow "$WORK/allowed"
    start forwarder forward --from up --to down "${secure[@]}"
    start alice subscribe down --curve-server "$WORK/keys/alice.key" --curve-secret "$WORK/keys/alice.key_secret"
    start bob subscribe down --curve-server "$WORK/keys/alice.key" --curve-secret "$WORK/keys/bob.key_secret"
    exec 3>"$WORK/lines"  # after every start, so that only this shell holds it open
    wait_for_line "$WORK/bob.err" "vorzmq subscribe: refused by the server" 15 "$bob_pid"
    greet_until 'echo "greeting $attempt" >&3' 'grep -qF greeting "$WORK/alice.out"'
    exec 3>&-
    wait_for_exit "$publisher_pid" 0 30
    [ ! -s "$WORK/bob.out" ] || fail "bob received what only alice may: $(cat "$WORK/bob.out")"
}

# Proxies started before their upstreams admit them recover once their key
# is copied in, each upstream with its own server key; a proxy in clear text
# is told that its upstream wants CURVE.
case_proxies_recover() {
    make_keys
    "$VORZMQ" keygen other --dir "$WORK/keys" >/dev/null || fail "keygen other failed"
    local upstream=(--allow "$WORK/allowed")
    start server serve back --curve-secret "$WORK/keys/server.key_secret" "${upstream[@]}"
    start other serve other --curve-secret "$WORK/keys/other.key_secret" "${upstream[@]}"
    start plain balance --listen plain --to back
    start balancer balance --listen front --to back other --curve-secret "$WORK/keys/bob.key_secret" \
        --curve-server "$WORK/keys/server.key" "$WORK/keys/other.key"
    mkfifo "$WORK/lines"
    START_INPUT=$WORK/lines start publisher publish up alarm --curve-secret "$WORK/keys/server.key_secret" \
        "${upstream[@]}"
    start forwarder forward --from up --to down --curve-secret "$WORK/keys/bob.key_secret" \
        --curve-server "$WORK/keys/server.key"
    start subscriber subscribe down --curve-server "$WORK/keys/bob.key"
    exec 3>"$WORK/lines"
    local queue
    for queue in back other; do
        wait_for_line "$WORK/balancer.err" "server ipc://$VOR_HOME/queues/$queue refused this proxy's key" 15 \
            "$balancer_pid"
    done
    wait_for_line "$WORK/forwarder.err" "publisher ipc://$VOR_HOME/queues/up refused this proxy's key" 15 \
        "$forwarder_pid"
    wait_for_line "$WORK/plain.err" "server ipc://$VOR_HOME/queues/back wants CURVE" 15 "$plain_pid"
    # A client in clear text at the proxy's CURVE side: both sides say so.
    run request front hello --timeout-ms 60000
    expect_status 1
    expect_contains "$WORK/run.err" "the server and this client disagree on CURVE"
    wait_for_line "$WORK/balancer.err" "failed handshakes at ipc://$VOR_HOME/queues/front: 1; 1 " 15 \
        "$balancer_pid"

    cp "$WORK/keys/bob.key" "$WORK/allowed/"
    for queue in back other; do
        wait_for_line "$WORK/balancer.err" "server ipc://$VOR_HOME/queues/$queue connected" 15 "$balancer_pid"
    done
    run request front hello --curve-server "$WORK/keys/bob.key" --timeout-ms 10000
    expect_status 0
    # The 4 MiB bound is the payload's over CURVE too, through the proxy.
    head -c 4194304 /dev/urandom >"$WORK/largest"
    "$VORZMQ" request front --input whole --curve-server "$WORK/keys/bob.key" --timeout-ms 30000 \
        <"$WORK/largest" >"$WORK/run.out" 2>"$WORK/run.err"
    status=$?
    expect_status 0
    greet_until 'echo "greeting $attempt" >&3' 'grep -qF greeting "$WORK/subscriber.out"'
    exec 3>&-
    wait_for_exit "$publisher_pid" 0 30
}

run_case
