#!/bin/sh
# The main job on a fresh Debian 12 machine, as root: install the packages,
# build both drivers, boot OVMF in QEMU, take the screenshots and bring them
# (with PNG copies) to the host folder out/ (or the folder given as $1).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "${SKIP_SETUP:-0}" != 1 ]; then
  "$root/tools/setup.sh"
fi
"$root/tools/build.sh"
exec /usr/bin/python3 "$root/tools/demo/run_demo.py" --images "${BUILD_DIR:-$root/build}/x64" \
  --out "${1:-$root/out}"
