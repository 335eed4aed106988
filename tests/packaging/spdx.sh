#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Every tracked source, header, script and CMake file starts with its
# license: an SPDX-License-Identifier line first, or second after a shebang.
#   spdx.sh <source dir>
set -euo pipefail
cd "$1"
missing=0
while IFS= read -r -d '' file; do
  case $file in
    *.cpp | *.h | *.sh | *.py | *.cmake | *.cmake.in | *.map | *.pc.in | CMakeLists.txt | */CMakeLists.txt | debian/rules) ;;
    fuzz/corpus/*) continue ;;
    *) [ -f "$file" ] && [ "$(head -c 2 "$file")" = '#!' ] || continue ;;
  esac
  [ -f "$file" ] || continue  # deleted in the work tree
  if [ "$(head -c 2 "$file")" = '#!' ]; then line=2; else line=1; fi
  if [[ $(sed -n "${line}p" "$file") != *'SPDX-License-Identifier: MIT'* ]]; then
    echo "no 'SPDX-License-Identifier: MIT' on line $line of $file"
    missing=$((missing + 1))
  fi
done < <(git ls-files -z --cached --others --exclude-standard)
[ "$missing" -eq 0 ] || exit 1
echo "spdx: every source, header, script and CMake file names its license"
