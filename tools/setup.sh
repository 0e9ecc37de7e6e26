#!/bin/sh
# Installs the Debian packages listed in tools/packages.txt (needs root).
set -eu
here=$(dirname "$0")
packages=$(grep -v '^#' "$here/packages.txt" | tr '\n' ' ')
if [ "$(id -u)" -ne 0 ]; then
  echo "run as root (or with sudo): it installs Debian packages" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update
# shellcheck disable=SC2086
apt-get install -y --no-install-recommends $packages
