#!/usr/bin/env bash
# Configures and builds the host program, the Windows product and the other
# builds of the same sources.
#   scripts/build.sh [BUILD[:TARGET,...] ...]   (default: host windows)
# BUILD is host, windows (the 32-bit product), windows64 (its 64-bit test
# vehicle, run under wine64), asan or fuzz; the targets after a colon are
# built instead of all of it. `scripts/build.sh host` builds the Linux
# program alone. CMAKE_BUILD_PARALLEL_LEVEL sets the number of parallel
# jobs (default: the number of processors).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
targets=()

configure_and_build() {
  local dir=$1; shift
  [ -f "$dir/build.ninja" ] || cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  local only=()
  [ ${#targets[@]} -eq 0 ] || only=(--target "${targets[@]}")
  cmake --build "$dir" -j "$jobs" "${only[@]}"
}

builds=("$@")
[ ${#builds[@]} -gt 0 ] || builds=(host windows)
for build in "${builds[@]}"; do
  targets=()
  if [[ $build == *:* ]]; then
    IFS=, read -r -a targets <<<"${build#*:}"
    build=${build%%:*}
  fi
  case $build in
    host) configure_and_build build/host -DCMAKE_BUILD_TYPE=RelWithDebInfo ;;
    windows) configure_and_build build/windows -DCMAKE_BUILD_TYPE=Release \
               -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake ;;
    windows64) configure_and_build build/windows64 -DCMAKE_BUILD_TYPE=Release \
                 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake ;;
    asan) configure_and_build build/asan -DCMAKE_BUILD_TYPE=Debug \
            -DCORVANTIX_SANITIZE=ON ;;
    fuzz) CC=clang CXX=clang++ configure_and_build build/fuzz \
            -DCMAKE_BUILD_TYPE=Debug -DCORVANTIX_FUZZ=ON -DCORVANTIX_TESTS=OFF ;;
    *) echo "unknown build '$build'" >&2; exit 2 ;;
  esac
done
