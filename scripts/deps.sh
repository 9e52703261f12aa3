#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config
  clang libclang-rt-14-dev
  libutf8proc-dev libutfcpp-dev libfmt-dev zlib1g-dev libsimpleini-dev libssl-dev
  libsqlite3-dev libgtest-dev libbenchmark-dev
  dosfstools mtools sleuthkit fdisk gdisk parted hfsutils util-linux
  e2fsprogs btrfs-progs fuse2fs exfat-fuse exfatprogs
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "deps.sh: run as root (apt-get) to install: ${missing[*]}" >&2
    exit 1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
