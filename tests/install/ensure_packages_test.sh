#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# ensure_packages (scripts/lib.sh) prints nothing on standard output, so that
# a function that calls it can still be captured (scripts/packages takes a
# build folder's name that way). apt-get and dpkg-query are stand-ins here.
#
#   ensure_packages_test.sh SOURCE_DIR
set -euo pipefail
source_dir=$1
scratch=$(mktemp -d /tmp/kqensure.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

mkdir "$scratch/bin"
cat >"$scratch/bin/dpkg-query" <<'SH'
#!/bin/sh
[ -n "$KQTEST_INSTALLED" ] && printf 'install ok installed'
exit 0
SH
cat >"$scratch/bin/apt-get" <<'SH'
#!/bin/sh
echo "apt-get $*" >>"$KQTEST_APT_LOG"
echo "Reading package lists..."
SH
printf '#!/bin/sh\necho 0\n' >"$scratch/bin/id"
chmod +x "$scratch/bin/"*

# run INSTALLED: what ensure_packages prints on stdout; stderr and the calls
# of apt-get land in the scratch folder.
run() {
    : >"$scratch/apt.log"
    PATH="$scratch/bin:$PATH" KQTEST_INSTALLED=$1 KQTEST_APT_LOG="$scratch/apt.log" bash -c \
        '. "$0/scripts/lib.sh"; dir=$(ensure_packages kqtest-a kqtest-b); printf %s "$dir"' \
        "$source_dir" 2>"$scratch/err"
}

out=$(run "")
[ -z "$out" ] || fail "missing packages: standard output '$out'"
grep -q "^== installing: kqtest-a kqtest-b$" "$scratch/err" || fail "no '== installing' line on stderr"
grep -q "^apt-get install -y -qq kqtest-a kqtest-b$" "$scratch/apt.log" || fail "apt-get not asked to install"

out=$(run 1)
[ -z "$out" ] || fail "installed packages: standard output '$out'"
[ ! -s "$scratch/apt.log" ] || fail "apt-get called for installed packages"

echo "ensure_packages test: $failures failures"
[ "$failures" -eq 0 ]
