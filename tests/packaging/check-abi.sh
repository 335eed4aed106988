#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Compares the dynamic symbols that libvorzmq.so.1 defines with the
# checked-in list, so that an accidental export or a dropped symbol (a break
# of soname 1) fails the build's tests.
#   check-abi.sh <library> <symbol list>
#   check-abi.sh --update <library> <symbol list>   rewrites the list
set -euo pipefail
update=0
if [ "${1:-}" = --update ]; then update=1; shift; fi
library=$1 list=$2

exported() { nm -D --defined-only "$library" | awk 'NF >= 3 { print $3 }' | LC_ALL=C sort -u; }

if [ "$update" = 1 ]; then
  { grep '^#' "$list" || true; exported; } >"$list.new"
  mv "$list.new" "$list"
  echo "rewrote $list"
  exit 0
fi

expected=$(grep -v -e '^#' -e '^$' "$list" | LC_ALL=C sort -u)
actual=$(exported)
[ -n "$actual" ] || { echo "nm found no defined dynamic symbols in $library" >&2; exit 1; }
if [ "$expected" = "$actual" ]; then
  echo "abi: $(echo "$actual" | wc -l) exported symbols match $list"
  exit 0
fi

echo "The symbols exported by $library differ from $list." >&2
added=$(LC_ALL=C comm -13 <(echo "$expected") <(echo "$actual"))
dropped=$(LC_ALL=C comm -23 <(echo "$expected") <(echo "$actual"))
if [ -n "$added" ]; then
  echo "Exported but not listed (hide them in cmake/vorzmq.map, or list them if intended):" >&2
  paste -d' ' <(echo "$added" | sed 's/^/  + /') <(echo "$added" | c++filt | sed 's/^/   [/; s/$/]/') >&2
fi
if [ -n "$dropped" ]; then
  echo "Listed but no longer exported (this breaks soname 1):" >&2
  paste -d' ' <(echo "$dropped" | sed 's/^/  - /') <(echo "$dropped" | c++filt | sed 's/^/   [/; s/$/]/') >&2
fi
exit 1
