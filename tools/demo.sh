#!/bin/sh
# The main job on a fresh Debian 12 machine, as root: install the packages,
# build, make the capture stick image, boot OVMF in QEMU (TimedCapture from
# the shell; the stick as a USB stick, its setup captured with Ctrl+Alt+F9)
# and bring the pictures (with PNG copies) and the stick image to the host
# folder out/ (or the folder given).
#
#   tools/demo.sh [--docs] [OUT]     --docs: also rewrite docs/stick-*.png
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
docs=
case ${1:-} in
  --docs) docs=$root/docs; shift ;;
  -h | --help) sed -n '2,8s/^# \{0,1\}//p' "$0"; exit 0 ;;
esac
if [ "${SKIP_SETUP:-0}" != 1 ]; then
  "$root/tools/setup.sh"
fi
"$root/tools/build.sh"
exec /usr/bin/python3 "$root/tools/demo/run_demo.py" --images "${BUILD_DIR:-$root/build}/x64" \
  --out "${1:-$root/out}" ${docs:+--docs "$docs"}
