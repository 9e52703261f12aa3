#!/usr/bin/env bash
# Installs the Debian packages that are missing (Debian 12, as root):
#
#   bash scripts/deps.sh           what the build of the program and the
#                                  sample card of scripts/run.sh need
#   bash scripts/deps.sh --tests   that and the tools the tests, the
#                                  sanitizer and fuzz builds and the
#                                  benchmarks use (scripts/test.sh)
set -euo pipefail
build_packages=(
  cmake ninja-build g++ pkg-config
  libutf8proc-dev libutfcpp-dev libfmt-dev zlib1g-dev libsimpleini-dev libssl-dev
  libsqlite3-dev libtinyxml2-dev libbz2-dev libudev-dev libblkid-dev
  dosfstools mtools libjpeg-turbo-progs
)
test_packages=(
  clang libclang-rt-14-dev libgtest-dev libbenchmark-dev
  sleuthkit fdisk gdisk parted hfsutils util-linux tzdata
  e2fsprogs btrfs-progs fuse2fs exfat-fuse exfatprogs fusefat fuse3 libfuse3-dev unionfs-fuse
  libimage-exiftool-perl testdisk
  qemu-utils qemu-block-extra dmg2img p7zip-full libvmdk-utils python3 strace
)

# apt-get that waits for the package lock. On a fresh machine the system's
# own updates often hold it for minutes: apt-get's own wait covers the dpkg
# lock only, so a refused lock (exit 100 with a lock message) is tried again
# until ZV_APT_LOCK_WAIT seconds (20 minutes) have passed.
apt_get() {
  local deadline=$((SECONDS + ${ZV_APT_LOCK_WAIT:-1200})) log rc
  log=$(mktemp)
  while :; do
    rc=0
    apt-get -o DPkg::Lock::Timeout=60 "$@" 2>&1 | tee "$log" || rc=${PIPESTATUS[0]}
    if [ "$rc" -eq 0 ] || [ "$SECONDS" -ge "$deadline" ] ||
       ! grep -Eq 'Could not get lock|Unable to lock|Unable to acquire the dpkg' "$log"; then
      rm -f "$log"
      return "$rc"
    fi
    echo "deps.sh: another process holds the package lock; waiting"
    sleep 5
  done
}

# The packages of the list the arguments ask for ("--tests" or none).
wanted_packages() {
  case "${1:-}" in
    "") printf '%s\n' "${build_packages[@]}" ;;
    --tests) printf '%s\n' "${build_packages[@]}" "${test_packages[@]}" ;;
    *) echo "deps.sh: unknown argument $1 (--tests or none)" >&2; return 2 ;;
  esac
}

main() {
  local missing=() wanted p
  wanted=$(wanted_packages "$@") || exit 2
  for p in $wanted; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "deps.sh: run as root (apt-get) to install: ${missing[*]}" >&2
    exit 1
  fi
  apt_get update -qq
  DEBIAN_FRONTEND=noninteractive apt_get install -y -qq --no-install-recommends "${missing[@]}"
}

# Sourced (by its test), it only defines the functions.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  main "$@"
fi
