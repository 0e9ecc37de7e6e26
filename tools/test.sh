#!/bin/sh
# Builds, then runs every test: host unit tests (plain and under ASan/UBSan),
# tool checks and the emulator tests on OVMF. Extra arguments go to ctest,
# e.g. `tools/test.sh -L host`.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/tools/build.sh"
ctest --test-dir "$build" -j "$(nproc)" --output-on-failure --timeout 1200 "$@"
