#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Compares a built libvorzmq with the ABI recorded in abi/ for its soname
# (libabigail's abidiff on the debug information). Fails on anything that
# breaks a host built against that release: a removed or changed function or
# variable, a changed class size or layout. Additions are reported only.
#   check-abi.sh <library> <baseline .abi file>
set -euo pipefail
library=$1 baseline=$2

# Without DWARF abidiff sees symbol names only and would miss layout changes.
[[ $(readelf -S --wide "$library") == *.debug_info* ]] \
  || { echo "$library has no debug information; the ABI check needs a -g build (RelWithDebInfo, Debug)" >&2; exit 1; }

status=0
report=$(abidiff --no-added-syms "$baseline" "$library") || status=$?
if [ "$status" -ne 0 ]; then
  echo "abi: libvorzmq breaks the ABI of $baseline (abidiff status $status):" >&2
  echo "$report" >&2
  exit 1
fi

# Status 4 here means additions only, which every 1.x release may make.
status=0
report=$(abidiff "$baseline" "$library") || status=$?
if [ "$status" -eq 4 ]; then
  echo "abi: compatible with $baseline; additions:"
  echo "$report"
elif [ "$status" -eq 0 ]; then
  echo "abi: identical to $baseline"
else
  echo "abi: abidiff failed with status $status:" >&2
  echo "$report" >&2
  exit 1
fi
