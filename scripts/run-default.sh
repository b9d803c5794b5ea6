#!/usr/bin/env bash
# Installs what is missing, builds, and runs the host program on the
# built-in default machine: one 256 MiB USB stick E, backed by the image
# build/stick/corvantix-stick.img (made on first use like a new stick).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/build.sh" host windows
mkdir -p "$top/build/stick"
cd "$top/build/stick"
exec "$top/build/host/corvantix" "$@"
