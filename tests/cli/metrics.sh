#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# --metrics: the Prometheus exposition of each service, checked by promtool,
# and a real Prometheus that scrapes a relay.
source "$(dirname "$0")/helpers.sh"

require_promtool() {
    command -v promtool >/dev/null || {
        echo "SKIP [$CASE]: no promtool (Debian's prometheus package, which scripts/test installs)"
        exit 77
    }
}

# metrics_port NAME: the port the service started as NAME serves metrics on.
metrics_port() {
    wait_for_line "$WORK/$1.err" "metrics at http://127.0.0.1:" 15 "$(eval echo "\$${1}_pid")"
    grep -o 'metrics at http://127.0.0.1:[0-9]*' "$WORK/$1.err" | head -1 | sed 's/.*://'
}

scrape() {
    /usr/bin/python3 -c 'import sys, urllib.request; sys.stdout.write(urllib.request.urlopen(sys.argv[1], timeout=5).read().decode())' \
        "http://127.0.0.1:$1/metrics"
}

# value FILE SERIES: the value of one series of an exposition, or nothing.
value() {
    awk -v series="$2" '$1 == series { print $2 }' "$1"
}

# service | its arguments | the series it must show at 0 from the start (tab-separated)
services() {
    cat <<TABLE
serve	serve ipc://$WORK/served	vorzmq_messages_received_total{role="requests"} vorzmq_messages_sent_total{role="replies"}
listen	listen --serve ipc://$WORK/listened	vorzmq_messages_received_total{role="requests"} vorzmq_messages_received_total{role="publications"}
relay	relay --listen ipc://$WORK/relay --publish ipc://$WORK/relayed	vorzmq_messages_received_total{role="requests"} vorzmq_messages_sent_total{role="publications"} vorzmq_relay_requests_refused_total{reason="too_long"} vorzmq_messages_dropped_total{role="publications"}
forward	forward --from ipc://$WORK/published --to ipc://$WORK/forwarded	vorzmq_messages_received_total{role="publications"} vorzmq_messages_sent_total{role="publications"} vorzmq_connected_peers{role="publishers"} vorzmq_handshake_failures_total{reason="not_admitted"}
balance	balance --listen ipc://$WORK/balanced --to ipc://$WORK/served	vorzmq_messages_received_total{role="requests"} vorzmq_messages_sent_total{role="replies"} vorzmq_connected_peers{role="servers"} vorzmq_handshake_failures_total{reason="no_detail"}
TABLE
}

# Each service shows its families at 0 before anything happened, passes
# promtool's lint, and counts a request sent to it (the proxies from their
# once-a-second statistics).
case_exposition() {
    require_promtool
    require_pyzmq
    local name arguments series ports=()
    while IFS=$'\t' read -r name arguments series; do
        # shellcheck disable=SC2086
        start "$name" $arguments --metrics 127.0.0.1:0
        local port
        port=$(metrics_port "$name")
        scrape "$port" >"$WORK/$name.metrics" || fail "$name: no exposition at port $port"
        promtool check metrics <"$WORK/$name.metrics" >"$WORK/$name.lint" 2>&1 ||
            fail "$name: promtool check metrics: $(cat "$WORK/$name.lint")"
        for one in $series; do
            [ "$(value "$WORK/$name.metrics" "$one")" = 0 ] || fail "$name: no $one at 0 in $(cat "$WORK/$name.metrics")"
        done
        grep -q '^vorzmq_.*{.*\(topic\|key\|address\)=' "$WORK/$name.metrics" && fail "$name: a label names a peer's text"
        ports+=("$name=$port")
    done < <(services)

    run request "ipc://$WORK/served" "direct"
    expect_status 0
    run request "ipc://$WORK/balanced" "through the balancer"
    expect_status 0
    run request "ipc://$WORK/listened" "to listen"
    expect_status 0
    run rebroadcast "ipc://$WORK/relay" news '{"n":1}'
    expect_status 0
    local entry deadline=$(($(now_ms) + 15000))
    for entry in "${ports[@]}"; do
        name=${entry%%=*}
        [ "$name" = forward ] && continue
        until scrape "${entry#*=}" >"$WORK/$name.metrics" &&
            [ "$(awk '$1 ~ /^vorzmq_messages_received_total\{role="requests"\}$/ { print $2 }' "$WORK/$name.metrics")" \
                -ge 1 ] 2>/dev/null; do
            [ "$(now_ms)" -lt "$deadline" ] || fail "$name counted no request: $(grep '^vorzmq' "$WORK/$name.metrics")"
            sleep 0.2
        done
    done
    [ "$(value "$WORK/serve.metrics" 'vorzmq_messages_received_total{role="requests"}')" -ge 2 ] ||
        fail "serve did not count the request that came through the balancer"
}

# A client that the allow list refuses is counted by the service that
# refused it.
case_allow_list_refusals() {
    mkdir -p "$WORK/keys" "$WORK/allowed"
    "$VORZMQ" keygen server --dir "$WORK/keys" >/dev/null 2>&1 || fail "keygen server failed"
    "$VORZMQ" keygen stranger --dir "$WORK/keys" >/dev/null 2>&1 || fail "keygen stranger failed"
    local url
    url="tcp://127.0.0.1:$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
    start server serve "$url" --curve-secret "$WORK/keys/server.key_secret" --allow "$WORK/allowed" --metrics 127.0.0.1:0
    local port
    port=$(metrics_port server)
    wait_for_line "$WORK/server.err" "vorzmq serve: serving" 15 "$server_pid"
    scrape "$port" >"$WORK/before.metrics"
    [ "$(value "$WORK/before.metrics" 'vorzmq_handshake_failures_total{reason="client_refused"}')" = 0 ] ||
        fail "no refusal series at 0: $(cat "$WORK/before.metrics")"
    run request "$url" --curve-server "$WORK/keys/server.key" --curve-secret "$WORK/keys/stranger.key_secret" hello
    expect_status 1
    local deadline=$(($(now_ms) + 10000))
    until scrape "$port" >"$WORK/after.metrics" &&
        [ "$(value "$WORK/after.metrics" 'vorzmq_handshake_failures_total{reason="client_refused"}')" -ge 1 ] 2>/dev/null; do
        [ "$(now_ms)" -lt "$deadline" ] || fail "the refusal was not counted: $(grep '^vorzmq' "$WORK/after.metrics")"
        sleep 0.2
    done
}

# Bound where told, and only there: no host, no listening.
case_bad_address() {
    local address
    for address in 9464 :9464 127.0.0.1:; do
        run serve "ipc://$WORK/s" --metrics "$address"
        expect_status 2
        expect_contains "$WORK/run.err" "--metrics: expected HOST:PORT"
    done
    start taken serve "ipc://$WORK/t" --metrics 127.0.0.1:0
    local port
    port=$(metrics_port taken)
    run serve "ipc://$WORK/u" --metrics "127.0.0.1:$port"
    expect_status 1
    expect_contains "$WORK/run.err" "cannot serve metrics on 127.0.0.1:$port"
}

# The example configuration and alert rules of docs/ pass promtool.
case_alert_rules() {
    require_promtool
    local docs
    docs=$(dirname "$0")/../../docs/prometheus
    promtool check config "$docs/prometheus.yml" >"$WORK/config.out" 2>&1 ||
        fail "promtool check config: $(cat "$WORK/config.out")"
    promtool check rules "$docs/alerts.yml" >"$WORK/rules.out" 2>&1 ||
        fail "promtool check rules: $(cat "$WORK/rules.out")"
}

# A real Prometheus scrapes a relay every second; after 100 acknowledged
# re-broadcasts its query API reports at least 100 received.
case_prometheus_scrapes_the_relay() {
    command -v prometheus >/dev/null || {
        echo "SKIP [$CASE]: no prometheus (Debian's prometheus package, which scripts/test installs)"
        exit 77
    }
    start relay relay --listen "ipc://$WORK/relay" --publish "ipc://$WORK/relayed" --metrics 127.0.0.1:0
    local relay_port web_port
    relay_port=$(metrics_port relay)
    web_port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    cat >"$WORK/prometheus.yml" <<CONFIG
global:
  scrape_interval: 1s
scrape_configs:
  - job_name: vorzmq
    static_configs:
      - targets: ['127.0.0.1:$relay_port']
CONFIG
    prometheus --config.file="$WORK/prometheus.yml" --storage.tsdb.path="$WORK/tsdb" \
        --web.listen-address="127.0.0.1:$web_port" >"$WORK/prometheus.out" 2>&1 &
    background_pids+=($!)
    seq 1 100 | sed 's/.*/{"n":&}/' >"$WORK/requests"
    START_INPUT=$WORK/requests start sender rebroadcast "ipc://$WORK/relay" news
    wait_for_exit "$sender_pid" 0 60
    [ "$(grep -c '^acknowledged' "$WORK/sender.out")" -eq 100 ] || fail "not all 100 acknowledged"
    local deadline=$(($(now_ms) + 60000)) answer=""
    until [[ "$answer" =~ \"value\":\[[0-9.]+,\"([0-9]+)\"\] ]] && [ "${BASH_REMATCH[1]}" -ge 100 ]; do
        [ "$(now_ms)" -lt "$deadline" ] || fail "Prometheus never reported 100: $answer $(tail -3 "$WORK/prometheus.out")"
        sleep 0.5
        answer=$(/usr/bin/python3 -c 'import sys, urllib.request, urllib.parse
query = urllib.parse.quote("sum(vorzmq_messages_received_total)")
print(urllib.request.urlopen("http://127.0.0.1:%s/api/v1/query?query=%s" % (sys.argv[1], query), timeout=5).read().decode())' \
            "$web_port" 2>/dev/null)
    done
}

run_case
