# Sourced by the scripts that use loop devices as sticks.

# detach LOOP: detaches a loop device. A detached loop device keeps the
# partitions that partx gave it, so they are dropped on both sides. partx
# fails on a device without partitions; under `set -e` each step must still
# run, or the device stays attached.
detach() {
  partx -d "$1" 2>/dev/null || true
  losetup -d "$1" 2>/dev/null || true
  partx -d "$1" 2>/dev/null || true
}
