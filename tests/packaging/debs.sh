#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages of this build into a fresh directory and checks
# each package's control fields and file list.
#   debs.sh <build dir> <version> <libdir> <includedir> <bindir> <with tool: 0|1> <config>
set -euo pipefail
build=$1 version=$2 libdir=$3 includedir=$4 bindir=$5 with_tool=$6 config=$7

work=$(mktemp -d "${TMPDIR:-/tmp}/vorzmq-debs.XXXXXX")
trap 'rm -rf "$work"' EXIT
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work" >"$work/cpack.log" 2>&1 \
  || { cat "$work/cpack.log" "$work"/_CPack_Packages/*/*/PreinstallOutput.log 2>/dev/null; exit 1; }

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# field <deb> <name> <expected exact value>
field() {
  local actual
  actual=$(dpkg-deb -f "$1" "$2")
  [ "$actual" = "$3" ] || fail "$(basename "$1"): $2 is '$actual', expected '$3'"
}
# depends_on <deb> <package or "package (relation)">...: each must be listed.
depends_on() {
  local deb=$1 depends wanted
  shift
  depends=", $(dpkg-deb -f "$deb" Depends),"
  for wanted in "$@"; do
    case $depends in
      *", $wanted"[\ ,]*) ;;
      *) fail "$(basename "$deb"): Depends '${depends:2:-1}' lacks '$wanted'" ;;
    esac
  done
}
# files <deb> <expected entries...>: the package's files and links, no more
# and no less ("path" or "path -> target"; directories are not listed).
files() {
  local deb=$1 expected actual
  shift
  expected=$(printf '%s\n' "$@" | LC_ALL=C sort)
  actual=$(dpkg-deb -c "$deb" | grep -v '^d' | awk '{ $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' \
           | sed 's|^\./|/|' | LC_ALL=C sort)
  if [ "$actual" != "$expected" ]; then
    fail "$(basename "$deb"): unexpected file list"
    diff -u <(echo "$expected") <(echo "$actual") | tail -n +3 >&2 || true
  fi
}

arch=$(dpkg --print-architecture)
runtime=$work/libvorzmq1_${version}_$arch.deb
dev=$work/libvorzmq-dev_${version}_$arch.deb
tools=$work/vorzmq-tools_${version}_$arch.deb
expected_debs=("$runtime" "$dev")
[ "$with_tool" = 1 ] && expected_debs+=("$tools")
actual_debs=$(find "$work" -maxdepth 1 -name '*.deb' | LC_ALL=C sort)
[ "$actual_debs" = "$(printf '%s\n' "${expected_debs[@]}" | LC_ALL=C sort)" ] \
  || { echo "cpack made: $actual_debs" >&2; exit 1; }

lib=/usr/$libdir
field "$runtime" Package libvorzmq1
field "$runtime" Version "$version"
field "$runtime" Section libs
# Computed by dpkg-shlibdeps from what libvorzmq.so.1 links.
depends_on "$runtime" libc6 libstdc++6 libzmq5 liblog4cxx15 libjsoncpp25 libboost-thread1.74.0
files "$runtime" "$lib/libvorzmq.so.1 -> libvorzmq.so.1.0.0" "$lib/libvorzmq.so.1.0.0"
dpkg-deb -I "$runtime" shlibs | grep -qx "libvorzmq 1 libvorzmq1 (>= $version)" \
  || fail "libvorzmq1: shlibs file missing or wrong"

field "$dev" Package libvorzmq-dev
field "$dev" Version "$version"
field "$dev" Section libdevel
depends_on "$dev" "libvorzmq1 (= $version)" liblog4cxx-dev libjsoncpp-dev libzmq3-dev
files "$dev" \
  "/usr/$includedir/vorzmq.h" \
  "$lib/libvorzmq.so -> libvorzmq.so.1" \
  "$lib/pkgconfig/vorzmq.pc" \
  "$lib/cmake/vorzmq/vorzmqConfig.cmake" \
  "$lib/cmake/vorzmq/vorzmqConfigVersion.cmake" \
  "$lib/cmake/vorzmq/vorzmqTargets.cmake" \
  "$lib/cmake/vorzmq/vorzmqTargets-$config.cmake"

if [ "$with_tool" = 1 ]; then
  field "$tools" Package vorzmq-tools
  field "$tools" Version "$version"
  depends_on "$tools" "libvorzmq1 (= $version)" libc6
  files "$tools" "/usr/$bindir/vorzmq"
fi

for deb in "${expected_debs[@]}"; do
  dpkg-deb -f "$deb" Maintainer | grep -q . || fail "$(basename "$deb"): no Maintainer"
  [ "$(dpkg-deb -f "$deb" Description | head -1 | wc -c)" -le 80 ] \
    || fail "$(basename "$deb"): synopsis longer than 80 characters"
done

[ "$failures" -eq 0 ] || exit 1
echo "debs: ${#expected_debs[@]} packages checked"
