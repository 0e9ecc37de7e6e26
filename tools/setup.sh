#!/bin/sh
# Installs the Debian packages listed in tools/packages.txt (needs root), and
# Debian's arm64 gnu-efi for the aa64 images: it cannot be installed beside
# the amd64 one, so it is downloaded and unpacked into $GNU_EFI_AA64_ROOT
# (default /opt/gnu-efi-arm64, the build's GNU_EFI_AA64_ROOT default).
set -eu
here=$(dirname "$0")
packages=$(grep -v '^#' "$here/packages.txt" | tr '\n' ' ')
aa64_root=${GNU_EFI_AA64_ROOT:-/opt/gnu-efi-arm64}
if [ "$(id -u)" -ne 0 ]; then
  echo "run as root (or with sudo): it installs Debian packages" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  dpkg --add-architecture arm64
fi
apt-get update
# shellcheck disable=SC2086
apt-get install -y --no-install-recommends $packages

if [ ! -f "$aa64_root/usr/lib/crt0-efi-aarch64.o" ]; then
  download=$(mktemp -d)
  trap 'rm -rf "$download"' EXIT
  # apt downloads as its sandbox user, who must be able to write there.
  chown _apt "$download" 2>/dev/null || true
  (cd "$download" && apt-get download gnu-efi:arm64)
  mkdir -p "$aa64_root"
  dpkg-deb -x "$download"/gnu-efi_*_arm64.deb "$aa64_root"
fi
