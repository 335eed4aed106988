#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# What a hostile peer's traffic costs a service of the tool, in peak memory
# (VmHWM). The figures of docs/hostile-peers.md come from here:
#   bench/hostile_memory.py build/tools/vorzmq pipeline serve 150
#   bench/hostile_memory.py build/tools/vorzmq pipeline relay 300
#   bench/hostile_memory.py build/tools/vorzmq subscriptions 200 4095
# pipeline: one DEALER sends COUNT requests of 4 MB without reading a reply,
# to `serve` whose output is a pipe nobody reads, or to
# `relay --memory-budget 32 --max-request 512`.
# subscriptions: one XSUB sends COUNT distinct filters of SIZE bytes to
# `publish`.
import os
import subprocess
import sys
import tempfile
import time

import zmq


def status_mib(pid, field):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) // 1024
    return 0


def main(tool, attack, count, size=4095):
    folder = tempfile.mkdtemp()
    url = "ipc://%s/in" % folder
    output = subprocess.DEVNULL
    if attack == "pipeline serve":
        command = [tool, "serve", url]
        output = os.pipe()[1]  # never read
    elif attack == "pipeline relay":
        command = [tool, "relay", "--listen", url, "--publish", "ipc://%s/out" % folder,
                   "--memory-budget", "32", "--max-request", "512"]
    else:
        command = [tool, "publish", url, "t"]
    service = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=output, stderr=subprocess.DEVNULL)
    time.sleep(1.5)  # the bind and its readiness pause
    before = status_mib(service.pid, "VmHWM")
    context = zmq.Context()
    if attack.startswith("pipeline"):
        peer = context.socket(zmq.DEALER)
        peer.setsockopt(zmq.SNDHWM, 0)
        peer.connect(url)
        for _ in range(count):
            peer.send_multipart([b"", b"x" * (4 * 1024 * 1024 - 16)])
    else:
        peer = context.socket(zmq.XSUB)
        peer.connect(url)
        time.sleep(0.5)
        for _ in range(count):
            peer.send(b"\x01" + os.urandom(size).hex().encode()[:size])
        for _ in range(20):  # publishing takes the subscriptions in
            service.stdin.write(b"x\n")
            service.stdin.flush()
            time.sleep(0.1)
    time.sleep(6)
    print("%s, %d: peak %d MiB (%d MiB before), running: %s" %
          (attack, count, status_mib(service.pid, "VmHWM"), before, service.poll() is None))
    service.kill()
    peer.close(linger=0)
    context.term()


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__ or "usage: hostile_memory.py TOOL pipeline serve|relay COUNT | subscriptions COUNT SIZE")
    if sys.argv[2] == "pipeline":
        main(sys.argv[1], "pipeline " + sys.argv[3], int(sys.argv[4]))
    else:
        main(sys.argv[1], "subscriptions", int(sys.argv[3]), int(sys.argv[4]))
