#!/bin/sh
# SPDX-License-Identifier: MIT
# Writes the vorzmq(1) man page from the tool's own help: help2man renders
# `vorzmq --help` and `--version`, and a COMMANDS section holds the help of
# every subcommand that `vorzmq --help` lists, so new ones appear by
# themselves.
#   manpage.sh <vorzmq executable> <extra sections (help2man include)> <output>
set -eu
tool=$1 extra=$2 output=$3
include=$output.h2m
trap 'rm -f "$include"' EXIT

# roff: a backslash is \e, a line must not start with . or ', a minus is \-.
escape() { sed -e 's/\\/\\e/g' -e "s/^\\([.']\\)/\\\\\\&\\1/" -e 's/-/\\-/g'; }

subcommands=$("$tool" --help | awk '/^Subcommands:/ { on = 1; next } on && !NF { exit } on && /^  [^ ]/ { print $1 }')
[ -n "$subcommands" ] || { echo "manpage.sh: $tool --help lists no subcommands" >&2; exit 1; }

{
  cat "$extra"
  echo '[COMMANDS]'
  for command in $subcommands; do
    echo ".SS \"vorzmq $command\""
    # The first line describes the command; option rows become tagged
    # paragraphs; the example stays as written.
    "$tool" "$command" --help | escape | awk '
      NR == 1 { print; next }
      /^Usage:/ { sub(/^Usage: /, ""); print ".PP\n.B Usage:\n" $0; next }
      /^[A-Z][a-z]*:$/ {
        if (section == "Example:") print ".fi"
        section = $0; print ".PP\n.B " $0; if (section == "Example:") print ".nf"; next
      }
      !NF { next }
      section == "Example:" { sub(/^  /, ""); print; next }
      /^                              / { sub(/^ +/, ""); print; next }
      /^  [^ ]/ {
        line = $0; sub(/^  /, "", line)
        # The name ends where a run of three or more spaces starts the text.
        gap = index(line, "   ")
        print ".TP\n\\fB" (gap ? substr(line, 1, gap - 1) : line) "\\fR"
        if (gap) { text = substr(line, gap); sub(/^ +/, "", text); print text }
        next
      }
      { print }
      END { if (section == "Example:") print ".fi" }'
  done
} >"$include"

help2man --no-info --no-discard-stderr --section=1 \
  --name="request/reply, publish/subscribe and re-broadcast over ZeroMQ" \
  --include="$include" --output="$output" "$tool"
