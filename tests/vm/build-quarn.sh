#!/usr/bin/env bash
# Builds quarn as a static executable in its own build folder and installs it, as a device
# image would carry it, into a root folder: ROOT/usr/sbin/quarn. Against glibc, or against the
# C library of a toolchain file (cmake/toolchains/x86_64-linux-musl.cmake).
#
# usage: build-quarn.sh BUILD_DIR ROOT_DIR [TOOLCHAIN_FILE]
set -euo pipefail

[ $# -eq 2 ] || [ $# -eq 3 ] || { echo "usage: $0 BUILD_DIR ROOT_DIR [TOOLCHAIN_FILE]" >&2; exit 2; }
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
build=$1 root=$2 toolchain=()
[ $# -eq 2 ] || toolchain=(-DCMAKE_TOOLCHAIN_FILE="$(realpath "$3")")
jobs=$(nproc)
[ "$jobs" -le 2 ] || jobs=2

cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUARN_STATIC=ON \
  -DQUARN_BUILD_TESTS=OFF "${toolchain[@]}" >/dev/null
cmake --build "$build" -j "$jobs" >/dev/null
rm -rf "$root"
DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
[ -x "$root/usr/sbin/quarn" ] || { echo "build-quarn.sh: no $root/usr/sbin/quarn after install" >&2; exit 1; }
