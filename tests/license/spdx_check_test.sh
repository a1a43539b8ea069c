#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# scripts/spdx-check: which files it looks at, and which SPDX lines it takes.
set -euo pipefail
check=$1/scripts/spdx-check
scratch=$(mktemp -d /tmp/kqspdx.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
failures=0
expect() {  # expect STATUS DESCRIPTION COMMAND...
    local want=$1 what=$2 got=0
    shift 2
    "$@" >"$scratch/out" 2>&1 || got=$?
    if [ "$got" -ne "$want" ]; then
        echo "FAIL: $what: exit $got, expected $want"
        cat "$scratch/out"
        failures=$((failures + 1))
    fi
}

printf '// SPDX-License-Identifier: MIT\nint x;\n' >"$scratch/first.cpp"
printf '#!/bin/sh\n# SPDX-License-Identifier: MIT\n' >"$scratch/shebang"
printf '1\n2\n3\n4\n5\n# SPDX-License-Identifier: MIT\n' >"$scratch/late.cmake"
printf '// SPDX-License-Identifier: Apache-2.0\n' >"$scratch/other.h"
printf '// SPDX-License-Identifier: MITX\n' >"$scratch/prefix.h"
printf 'int y;\n' >"$scratch/none.cpp"

expect 0 "first line and after a shebang" "$check" "$scratch/first.cpp" "$scratch/shebang"
expect 1 "no SPDX line" "$check" "$scratch/first.cpp" "$scratch/none.cpp"
grep -q "no SPDX line: .*none.cpp" "$scratch/out" || { echo "FAIL: none.cpp not named"; failures=$((failures + 1)); }
grep -q "first.cpp" "$scratch/out" && { echo "FAIL: first.cpp named"; failures=$((failures + 1)); }
expect 1 "SPDX line after line 5" "$check" "$scratch/late.cmake"
expect 1 "another licence" "$check" "$scratch/other.h"
expect 1 "a longer identifier" "$check" "$scratch/prefix.h"
# Relative names are taken from the caller's folder.
expect 0 "relative name" bash -c "cd '$scratch' && '$check' first.cpp"

# The selection of a full check.
"$check" --list >"$scratch/list"
for f in .ci/run CMakeLists.txt scripts/spdx-check cmake/kqSer.pc.in src/entry/kqSer.cpp \
    src/entry/kqSer.h tests/tools/NoEntry.c bench/report.py; do
    grep -qx "$f" "$scratch/list" || { echo "FAIL: $f not selected"; failures=$((failures + 1)); }
done
for f in README.md LICENSE .clang-format .gitignore tests/valgrind.supp packaging/deb/control; do
    grep -qx "$f" "$scratch/list" && { echo "FAIL: $f selected"; failures=$((failures + 1)); }
done
grep '^tests/fuzz/\(corpus\|regressions\)/' "$scratch/list" && { echo "FAIL: fuzz data selected"; failures=$((failures + 1)); }

echo "spdx-check test: $failures failures"
[ "$failures" -eq 0 ]
