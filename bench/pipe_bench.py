#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The tool in a pipeline against its raw libzmq baseline (raw_pipe).

    bench/pipe_bench.py TOOL RAW_PIPE [--lines N] [--requests N]
                        [--repetitions N] [--markdown docs/performance.md]

stream/T:  N short lines (seq 1 N) piped into `vorzmq publish` and printed by
           `vorzmq subscribe`, against `raw_pipe pub` into `raw_pipe sub`,
           over transport T. Timed from the first line written, once a
           greeting has shown the subscription up, to the last line printed.
request/T: N lines piped into `vorzmq request` with `vorzmq serve` printing
           them, against `raw_pipe req` and `raw_pipe rep`; each waits for
           each acknowledgement. Timed from the requester's start to its end.
Both sides must print the same bytes, or the run fails. Raw and tool runs
alternate in random order; the table shows medians and the ratio tool/raw
(above 1 the tool is slower). Not pinned: each pipeline needs two CPUs.
Python 3 standard library only.
"""

import argparse
import os
import random
import re
import select
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def endpoint(transport, work, name):
    return "ipc://%s/%s" % (work, name) if transport == "ipc" else "tcp://127.0.0.1:%d" % free_port()


def commands(kind, args, url, count):
    if kind == "tool":
        return {
            "sub": [args.tool, "subscribe", url, "t"],
            "pub": [args.tool, "publish", url, "t"],
            "rep": [args.tool, "serve", url, "--count", str(count)],
            "req": [args.tool, "request", url],
        }
    return {
        "sub": [args.raw, "sub", url, "t"],
        "pub": [args.raw, "pub", url, "t"],
        "rep": [args.raw, "rep", url, str(count)],
        "req": [args.raw, "req", url],
    }


def stream(kind, transport, args, work, payload):
    run = commands(kind, args, endpoint(transport, work, "stream"), 0)
    env = dict(os.environ, VOR_HOME=work)
    errors = open(os.path.join(work, "stream.err"), "w")
    subscriber = subprocess.Popen(run["sub"], stdout=subprocess.PIPE, stderr=errors, env=env)
    publisher = subprocess.Popen(run["pub"], stdin=subprocess.PIPE, stderr=errors, env=env)
    received = bytearray()
    out = subscriber.stdout.fileno()
    deadline = time.monotonic() + 30
    while b"greeting\n" not in received:
        if time.monotonic() > deadline:
            raise RuntimeError("no greeting arrived")
        publisher.stdin.write(b"greeting\n")
        publisher.stdin.flush()
        if select.select([out], [], [], 0.1)[0]:
            received += os.read(out, 1 << 20)
    last = b"\n" + payload.rsplit(b"\n", 2)[-2] + b"\n"
    started = time.monotonic()
    writer = threading.Thread(target=lambda: (publisher.stdin.write(payload), publisher.stdin.close()))
    writer.start()
    while not received.endswith(last):
        chunk = os.read(out, 1 << 20)
        if not chunk:
            raise RuntimeError("the subscriber ended early")
        received += chunk
    elapsed = time.monotonic() - started
    writer.join()
    subscriber.kill()
    subscriber.wait()
    publisher.wait()
    printed = re.sub(rb"\A(greeting\n)+", b"", bytes(received))
    if printed != payload:
        raise RuntimeError("%s stream/%s printed other bytes" % (kind, transport))
    return elapsed


def request(kind, transport, args, work, payload, count):
    run = commands(kind, args, endpoint(transport, work, "queue"), count)
    env = dict(os.environ, VOR_HOME=work)
    served_path = os.path.join(work, "served")
    with open(served_path, "wb") as served:
        server = subprocess.Popen(run["rep"], stdout=served, stderr=subprocess.PIPE, env=env)
    server.stderr.readline()  # "serving" / "ready": bound
    with open(os.path.join(work, "payload"), "wb") as handle:
        handle.write(payload)
    acknowledged_path = os.path.join(work, "acknowledged")
    with open(os.path.join(work, "payload"), "rb") as source, open(acknowledged_path, "wb") as sink:
        started = time.monotonic()
        with open(os.path.join(work, "request.err"), "w") as errors:
            status = subprocess.call(run["req"], stdin=source, stdout=sink, stderr=errors, env=env)
        elapsed = time.monotonic() - started
    server.wait()
    with open(served_path, "rb") as handle:
        served_bytes = handle.read()
    with open(acknowledged_path, "rb") as handle:
        acknowledged = handle.read()
    expected = b"".join(b"acknowledged: " + line + b"\n" for line in payload.splitlines())
    if status != 0 or served_bytes != payload or acknowledged != expected:
        raise RuntimeError("%s request/%s: status %d or other bytes" % (kind, transport, status))
    return elapsed


def lines(count):
    return b"".join(b"%d\n" % number for number in range(1, count + 1))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("tool")
    parser.add_argument("raw")
    parser.add_argument("--lines", type=int, default=1000000)
    parser.add_argument("--requests", type=int, default=20000)
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--markdown", help="rewrite the table between <!-- pipe-table --> markers of this file")
    args = parser.parse_args()

    stream_payload, request_payload = lines(args.lines), lines(args.requests)
    scenarios = [("stream", "ipc"), ("stream", "tcp"), ("request", "ipc"), ("request", "tcp")]
    times = {(scenario, transport, kind): [] for scenario, transport in scenarios for kind in ("raw", "tool")}
    runs = [key for key in times for _ in range(args.repetitions)]
    random.shuffle(runs)
    for scenario, transport, kind in runs:
        with tempfile.TemporaryDirectory() as work:
            if scenario == "stream":
                elapsed = stream(kind, transport, args, work, stream_payload)
            else:
                elapsed = request(kind, transport, args, work, request_payload, args.requests)
        times[(scenario, transport, kind)].append(elapsed)

    rows = ["| scenario | raw | tool | ratio |", "|---|---:|---:|---:|"]
    for scenario, transport in scenarios:
        raw = statistics.median(times[(scenario, transport, "raw")])
        tool = statistics.median(times[(scenario, transport, "tool")])
        count = args.lines if scenario == "stream" else args.requests
        rows.append("| %s/%s (%d lines) | %.3f s | %.3f s | %.3f |" % (scenario, transport, count, raw, tool, tool / raw))
    table = "\n".join(rows)
    print(table)
    for key, values in sorted(times.items()):
        print("%s/%s %s: %s" % (key[0], key[1], key[2], " ".join("%.3f" % value for value in values)), file=sys.stderr)
    if args.markdown:
        with open(args.markdown) as handle:
            text = handle.read()
        text = re.sub(r"(<!-- pipe-table -->\n).*?(<!-- /pipe-table -->)", lambda m: m.group(1) + table + "\n" + m.group(2),
                      text, flags=re.S)
        with open(args.markdown, "w") as handle:
            handle.write(text)


if __name__ == "__main__":
    main()
