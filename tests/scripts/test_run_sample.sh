#!/usr/bin/env bash
# scripts/run.sh's sample-card path end to end with the built program (no
# package install, no rebuild): the card is made, scanned and recovered, and
# the photos whose blocks the new ones did not take come back byte for byte.
# A second run in the same folder judges only its own recovery: a copy of a
# lost photo left in the folder by earlier runs does not count as back.
# Argument: the zorvant binary.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
check_run() {
  local out
  out=$(ZV_RUN_NO_BUILD=1 ZORVANT="$1" ZV_RUN_DIR="$tmp/run" bash "$root/scripts/run.sh" 2>&1) ||
    { echo "$out"; echo "FAIL: run.sh failed"; exit 1; }
  echo "$out"
  grep -q '^Scan of .* completed with no errors\.$' <<< "$out" || { echo "FAIL: no end text"; exit 1; }
  for n in 3 4 5 6 7 8; do
    grep -q "IMG_000$n.JPG: back, byte for byte" <<< "$out" || { echo "FAIL: IMG_000$n.JPG did not come back"; exit 1; }
  done
  for n in 1 2; do
    grep -q "IMG_000$n.JPG: not found" <<< "$out" || { echo "FAIL: IMG_000$n.JPG reported back"; exit 1; }
  done
  grep -q '^6 of 8 photos ever taken came back\.$' <<< "$out" || { echo "FAIL: wrong count"; exit 1; }
  [ -d "$tmp/run/recovered/Recovered Files from sample-card.img" ] || { echo "FAIL: no recovery folder"; exit 1; }
}
check_run "$1"
# The lost photos as an earlier run could have left them (the sample's
# photos are the same bytes every run).
cp "$tmp/run/photos/IMG_0001.JPG" "$tmp/run/recovered/Recovered Files from sample-card.img/old-1.jpg"
mkdir -p "$tmp/run/recovered/elsewhere"
cp "$tmp/run/photos/IMG_0002.JPG" "$tmp/run/recovered/elsewhere/old-2.jpg"
check_run "$1"
# A card that could not all be read (the sample inside a VMDK cut short):
# the scan ends with exit 3 saying where, and run.sh still recovers what it
# found.
command -v qemu-img > /dev/null || { echo "FAIL: qemu-img is missing"; exit 1; }
qemu-img convert -f raw -O vmdk "$tmp/run/sample-card.img" "$tmp/cut.vmdk"
truncate -s $(( $(stat -c %s "$tmp/cut.vmdk") / 4 * 3 )) "$tmp/cut.vmdk"
out=$(ZV_RUN_NO_BUILD=1 ZORVANT="$1" ZV_RUN_DIR="$tmp/cut" bash "$root/scripts/run.sh" "$tmp/cut.vmdk" 2>&1) ||
  { echo "$out"; echo "FAIL: run.sh failed on a card with unreadable blocks"; exit 1; }
grep -q 'could not be read and were scanned as zeros' <<< "$out" || { echo "$out"; echo "FAIL: no report"; exit 1; }
grep -q '^Recovered [0-9]* files' <<< "$out" || { echo "$out"; echo "FAIL: nothing recovered"; exit 1; }
echo PASS
