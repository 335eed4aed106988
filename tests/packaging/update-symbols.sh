#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Rewrites debian/libvorzmqN.symbols from a built library with
# dpkg-gensymbols: listed symbols keep the version that first had them, new
# ones get <version>, vanished ones are marked #MISSING# (a break of the
# soname: review the diff).
#   update-symbols.sh <library> <symbols file> <version>
set -euo pipefail
library=$(realpath "$1") symbols=$(realpath "$2") version=$3
package=$(basename "$symbols" .symbols)
work=$(mktemp -d "${TMPDIR:-/tmp}/vorzmq-symbols.XXXXXX")
trap 'rm -rf "$work"' EXIT
# Run away from any debian/ directory, which dpkg-gensymbols would consult.
(cd "$work" && dpkg-gensymbols -q -p"$package" -v"$version" -e"$library" -I"$symbols" -O"$work/symbols")
cp "$work/symbols" "$symbols"
echo "rewrote $symbols; review it with git diff"
