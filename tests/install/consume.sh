#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds and runs a small host program against an installed kqSer, once
# through find_package and once through pkg-config.
#
#   consume.sh BUILD_DIR SOURCE_DIR    # installs BUILD_DIR into a scratch prefix
#   consume.sh --installed SOURCE_DIR  # the system's own install (the packages)
#
# Against the system install the program runs with no loader path of its own:
# the library is found where the package put it.
set -euo pipefail
scratch=$(mktemp -d /tmp/kqconsume.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

source_dir=$2
if [ "$1" = "--installed" ]; then
    prefix=/usr
    pc_path=""
else
    prefix="$scratch/prefix"
    cmake --install "$1" --prefix "$prefix" >/dev/null
    pc_path=$(dirname "$(find "$prefix" -name kqSer.pc | head -n 1)")
fi
pkgconf() { PKG_CONFIG_PATH="$pc_path" pkg-config "$@"; }

# Both manual pages, as the packages compress them or as CMake installs them.
for page in man1/kqser.1 man5/kqser.conf.5; do
    if [ ! -f "$prefix/share/man/$page" ] && [ ! -f "$prefix/share/man/$page.gz" ]; then
        echo "no $page under $prefix/share/man" >&2
        exit 1
    fi
done

cmake -S "$source_dir/consumer" -B "$scratch/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/cmake" >/dev/null
out=$("$scratch/cmake/host")
echo "find_package: $out"
grep -q "ttyUSB0:115200,n,8,1" <<<"$out"

# The .pc files add no run path (a /usr install needs none).
pcdir=$(pkgconf --variable=pcfiledir kqSer)
if grep -q rpath "$pcdir"/kqSer*.pc; then
    echo "a .pc file adds a run path:" >&2
    grep rpath "$pcdir"/kqSer*.pc >&2
    exit 1
fi
# shellcheck disable=SC2046
g++ -std=c++17 "$source_dir/consumer/host.cpp" $(pkgconf --cflags --libs kqSer) -o "$scratch/host-pc"
if [ "$prefix" = /usr ]; then
    out=$("$scratch/host-pc")
else
    # A scratch prefix is found through the loader's path, as a host's own
    # install outside the system folders would be.
    out=$(LD_LIBRARY_PATH="$(pkgconf --variable=libdir kqSer)" "$scratch/host-pc")
fi
echo "pkg-config: $out"
grep -q "ttyUSB0:115200,n,8,1" <<<"$out"
# The console build installs beside it, in its own folder.
pkgconf --libs kqSer-console | grep -q "kqSer-console"
