#!/usr/bin/env bash
# The boot code's own cases in QEMU (tests/boot/qemu_boot.sh --suite): both
# read paths of the master boot code, read retries and errors, damaged
# records, and a large fragmented kernel.
# Arguments: <corvantix binary> <source dir> <build dir>
set -euo pipefail
source=$2 build=$3
export CORVANTIX_PAYLOAD
CORVANTIX_PAYLOAD=$(sed -n 's/^CORVANTIX_PAYLOAD_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")
exec "$source/tests/boot/qemu_boot.sh" --suite
