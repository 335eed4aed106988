#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs after every other test of the build: fails when a process that a test
# started is still running. Each test runs with VORZMQ_SUITE=<build dir> in
# its environment, which every process it starts inherits.
#   leftover-processes.sh BUILD_DIR
set -u
mark="VORZMQ_SUITE=$1"
marked() { grep -lsxzF -- "$mark" /proc/[0-9]*/environ | cut -d/ -f3; }
# A test's last helpers may take a moment to go after it ended.
for _ in $(seq 100); do
    left=$(marked)
    [ -z "$left" ] && { echo "no process of the suite is left"; exit 0; }
    sleep 0.1
done
echo "FAIL: processes started by the suite are still running:" >&2
for pid in $left; do
    echo "  $pid: $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)" >&2
done
exit 1
