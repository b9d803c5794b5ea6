#!/usr/bin/env bash
# Configures and builds the host program and the Windows product.
#   scripts/build.sh [host|windows|asan|fuzz ...]   (default: host windows)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
jobs=$(nproc)

configure_and_build() {
  local dir=$1; shift
  [ -f "$dir/build.ninja" ] || cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(host windows)
for target in "${targets[@]}"; do
  case $target in
    host) configure_and_build build/host -DCMAKE_BUILD_TYPE=RelWithDebInfo ;;
    windows) configure_and_build build/windows -DCMAKE_BUILD_TYPE=Release \
               -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake ;;
    asan) configure_and_build build/asan -DCMAKE_BUILD_TYPE=Debug \
            -DCORVANTIX_SANITIZE=ON ;;
    fuzz) CC=clang CXX=clang++ configure_and_build build/fuzz \
            -DCMAKE_BUILD_TYPE=Debug -DCORVANTIX_FUZZ=ON -DCORVANTIX_TESTS=OFF ;;
    *) echo "unknown build '$target'" >&2; exit 2 ;;
  esac
done
