#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages as the README says (dpkg-buildpackage) from a
# copy of the source tree in a scratch directory, so that nothing lands next
# to the tree and parallel runs do not meet; then runs lintian, which must
# report no error and no warning, and checks what only this project knows.
#   debian.sh <source dir> <version>
set -euo pipefail
source=$(realpath "$1") version=$2

work=$(mktemp -d "${TMPDIR:-/tmp}/vorzmq-debian.XXXXXX")
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
tree=$work/libvorzmq-$version
mkdir "$tree"
# The work tree as it is (tracked and new files), without build directories.
(cd "$source" && git ls-files -z --cached --others --exclude-standard \
  | xargs -0 -I{} sh -c '[ ! -e "$1" ] || printf "%s\0" "$1"' _ {} \
  | tar --null -T - -cf -) | tar -xf - -C "$tree"

# A wrong debian/libvorzmq1.symbols shows as dpkg-gensymbols' diff here.
if ! (cd "$tree" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" dpkg-buildpackage -us -uc -b) \
     >"$work/build.log" 2>&1; then
  echo "dpkg-buildpackage failed; the end of its log:"
  tail -n 80 "$work/build.log"
  if grep -q 'dpkg-gensymbols: error' "$work/build.log"; then
    echo "To accept new exports: cmake --build <build dir> --target vorzmq_update_symbols, then review git diff debian/"
  fi
  exit 1
fi

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

arch=$(dpkg --print-architecture)
debs=()
# The file names carry debian/changelog's version: it must be the project's.
runtime=libvorzmq${version%%.*}
for package in "$runtime" libvorzmq-dev vorzmq-tools; do
  deb=$work/${package}_${version}_$arch.deb
  [ -f "$deb" ] || { echo "no $(basename "$deb"); made: $(cd "$work" && ls ./*.deb)"; exit 1; }
  debs+=("$deb")
done

status=0
lintian_output=$(lintian --fail-on error,warning "${debs[@]}" 2>&1) || status=$?
if [ "$status" -ne 0 ]; then
  fail "lintian (status $status):"
  echo "$lintian_output"
fi

depends=$(dpkg-deb -f "$work/libvorzmq-dev_${version}_$arch.deb" Depends)
case ", $depends," in
  *", $runtime (= $version),"*) ;;
  *) fail "libvorzmq-dev Depends '$depends' lacks '$runtime (= $version)'" ;;
esac

root=$work/root
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$root"; done
for path in lib/systemd/system/vorzmq-relay@.service lib/systemd/system/vorzmq-forward@.service \
            lib/systemd/system/vorzmq-balance@.service usr/lib/sysusers.d/vorzmq.conf \
            usr/share/man/man1/vorzmq.1.gz usr/share/doc/vorzmq-tools/examples/relay.env \
            usr/share/doc/vorzmq-tools/examples/forward.env usr/share/doc/vorzmq-tools/examples/balance.env; do
  [ -f "$root/$path" ] || fail "vorzmq-tools lacks /$path"
done
# The relay unit's Group=vorzmq exists once the package is configured.
dpkg-deb -e "$work/vorzmq-tools_${version}_$arch.deb" "$work/control"
grep -q '^ *systemd-sysusers .*vorzmq\.conf' "$work/control/postinst" 2>/dev/null ||
  fail "the postinst of vorzmq-tools does not run systemd-sysusers on vorzmq.conf"
libdir=$(dirname "$(find "$root" -name libvorzmq.so.1)")
tool_version=$(LD_LIBRARY_PATH=$libdir "$root/usr/bin/vorzmq" --version)
[ "$tool_version" = "vorzmq $version" ] || fail "vorzmq --version says '$tool_version', expected 'vorzmq $version'"
# The man page covers every subcommand the tool lists.
manual=$(MANWIDTH=200 man -l "$root/usr/share/man/man1/vorzmq.1.gz" 2>&1)
for command in $(LD_LIBRARY_PATH=$libdir "$root/usr/bin/vorzmq" --help \
                 | awk '/^Subcommands:/ { on = 1; next } on && !NF { exit } on && /^  [^ ]/ { print $1 }'); do
  grep -q "^   vorzmq $command\$" <<<"$manual" || fail "vorzmq(1) lacks the subcommand '$command'"
done

[ "$failures" -eq 0 ] || exit 1
echo "debian: ${#debs[@]} packages built, lintian clean"
