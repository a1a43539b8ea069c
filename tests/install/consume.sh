#!/usr/bin/env bash
# Installs the build tree into a scratch prefix, then builds and runs a small
# host program against it, once through find_package and once through
# pkg-config.
set -euo pipefail
build_dir=$1
source_dir=$2
scratch=$(mktemp -d /tmp/kqconsume.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

cmake --install "$build_dir" --prefix "$scratch/prefix" >/dev/null

cmake -S "$source_dir/consumer" -B "$scratch/cmake" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/cmake" >/dev/null
out=$("$scratch/cmake/host")
echo "find_package: $out"
grep -q "ttyUSB0:115200,n,8,1" <<<"$out"

pcdir=$(dirname "$(find "$scratch/prefix" -name kqSer.pc | head -n 1)")
flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs kqSer)
g++ -std=c++17 "$source_dir/consumer/host.cpp" $flags -o "$scratch/host-pc"
out=$("$scratch/host-pc")
echo "pkg-config: $out"
grep -q "ttyUSB0:115200,n,8,1" <<<"$out"
# The console build installs beside it, in its own folder.
PKG_CONFIG_PATH="$pcdir" pkg-config --libs kqSer-console | grep -q "kqSer-console"
