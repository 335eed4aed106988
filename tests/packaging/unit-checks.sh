# SPDX-License-Identifier: MIT
# Sourced by the unit checks (relay-unit.sh, proxy-units.sh): what every
# vorzmq unit must pass.

# man_option ROOT MANPAGE: puts the man page (if any) into the scratch root
# for verify's Documentation= check; sets `man` to verify's --man option.
man_option() {
  man=--man=no
  if [ -n "$2" ]; then
    mkdir -p "$1/man/man1"
    cp "$2" "$1/man/man1/vorzmq.1"
    export MANPATH=$1/man
    man=--man=yes
  fi
}

# verify_unit ROOT INSTANCE MAN_OPTION: `systemd-analyze verify` of the unit
# instance in a scratch root must exit 0 and print nothing (it exits 0 even
# on an unknown key).
verify_unit() {
  local status=0 messages
  messages=$(systemd-analyze verify --root="$1" "$3" "$2" 2>&1) || status=$?
  if [ "$status" -ne 0 ] || [ -n "$messages" ]; then
    echo "$2: systemd-analyze verify (status $status):"
    echo "$messages"
    exit 1
  fi
}

# check_exposure UNIT_FILE: the offline security review's exposure level
# must be 2.0 or less; sets `level`.
check_exposure() {
  local review
  review=$(systemd-analyze security --offline=true "$1" 2>&1) || true
  level=$(echo "$review" | sed -n 's/^→ Overall exposure level for [^:]*: \([0-9.]*\) .*/\1/p')
  if [ -z "$level" ] || ! awk -v level="$level" 'BEGIN { exit !(level <= 2.0) }'; then
    echo "$review"
    echo "${1##*/}: exposure level '${level}', expected 2.0 or less"
    exit 1
  fi
}

# The names in a system-call group, nested groups expanded.
expand_syscalls() {
  local name
  for name in $(systemd-analyze syscall-filter "$1" | sed -e '1d' -e 's/#.*//'); do
    case $name in @*) expand_syscalls "$name" ;; *) echo "$name" ;; esac
  done
}

# allowed_syscalls UNIT_FILE: what its SystemCallFilter= allow lines name,
# less what its ~ lines name, sorted.
allowed_syscalls() {
  local filters group
  filters=$(sed -n 's/^SystemCallFilter=//p' "$1")
  comm -23 <(for group in $(grep -v '^~' <<<"$filters"); do expand_syscalls "$group"; done | sort -u) \
           <(for group in $(sed -n 's/^~//p' <<<"$filters"); do expand_syscalls "$group"; done | sort -u)
}

# traced_syscalls TRACE: the calls an `strace -f -qq -o TRACE` run made, sorted.
traced_syscalls() {
  sed -n 's/^[0-9]* *\([a-z_0-9]*\)(.*/\1/p' "$1" | sort -u
}
