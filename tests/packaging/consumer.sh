#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs this build into a fresh prefix, then builds and runs the host
# program in tests/consumer/ against that prefix only.
#   consumer.sh find_package|pkg-config <build dir> <consumer source dir>
set -euo pipefail
mode=$1 build=$2 source=$3

work=$(mktemp -d "${TMPDIR:-/tmp}/vorzmq-consumer.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

libdir=$(dirname "$(find "$prefix" -name 'libvorzmq.so.1' -print -quit)")
[ -d "$libdir" ] || { echo "no libvorzmq.so.1 installed under $prefix" >&2; exit 1; }
export PKG_CONFIG_PATH=$libdir/pkgconfig
export LD_LIBRARY_PATH=$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}

case $mode in
  find_package)
    cmake -S "$source" -B "$work/build" -DCMAKE_PREFIX_PATH="$prefix" >"$work/configure.log" 2>&1 \
      || { cat "$work/configure.log"; exit 1; }
    # A vorzmq installed elsewhere on the machine must not stand in.
    found=$(sed -n 's/^vorzmq_DIR:[A-Z]*=//p' "$work/build/CMakeCache.txt")
    [ "$found" = "$libdir/cmake/vorzmq" ] || { echo "find_package used $found" >&2; exit 1; }
    cmake --build "$work/build"
    program=$work/build/consumer
    ;;
  pkg-config)
    [ "$(realpath "$(pkg-config --variable=includedir vorzmq)")" = "$prefix/include" ] \
      || { echo "pkg-config found another vorzmq" >&2; exit 1; }
    # shellcheck disable=SC2046
    g++ -std=c++17 -Wall -Wextra -o "$work/consumer" "$source/main.cpp" \
      $(pkg-config --cflags --libs vorzmq) -pthread
    program=$work/consumer
    ;;
  *) echo "unknown mode $mode" >&2; exit 2 ;;
esac

# Not `ldd | grep -q`: grep leaving early kills ldd with SIGPIPE, which
# pipefail reports as a failure.
loaded=$(ldd "$program")
grep -q "libvorzmq.so.1 => $libdir/" <<<"$loaded" \
  || { echo "$program does not load the installed library:" >&2; echo "$loaded" >&2; exit 1; }
export VOR_HOME=$work/home
mkdir -p "$VOR_HOME/queues"
"$program"

# The installed tool finds the library by its own run path, without help.
if [ -x "$prefix/bin/vorzmq" ]; then
  tool_loads=$(env -u LD_LIBRARY_PATH ldd "$prefix/bin/vorzmq")
  tool_library=$(sed -n 's/^\s*libvorzmq\.so\.1 => \(\S*\) .*/\1/p' <<<"$tool_loads")
  [ -n "$tool_library" ] && [ "$(realpath "$tool_library")" = "$(realpath "$libdir/libvorzmq.so.1")" ] \
    || { echo "the installed vorzmq does not load the installed library:" >&2; echo "$tool_loads" >&2; exit 1; }
  env -u LD_LIBRARY_PATH "$prefix/bin/vorzmq" --version >/dev/null
fi
