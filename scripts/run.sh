#!/usr/bin/env bash
# The main job in one command: installs what the build and the sample card
# need when it is missing (scripts/deps.sh; the test tools are installed by
# scripts/test.sh), builds the `zorvant` program alone (no tests, no
# benchmarks), scans a card and recovers everything it finds.
#
#   bash scripts/run.sh               make a sample card image and run on it
#   bash scripts/run.sh TARGET        run on a card, device or image file
#                                     (/dev/sdX, /dev/mmcblkN, card.img)
#
# The sample card: a 64 MiB FAT32 image with photos made by cjpeg in
# DCIM/100CAMERA; some are deleted, then the card is quick-formatted
# (mkfs.fat over it) and a few new photos are written, as a camera does.
# The thorough scan finds the old photos by their content and the new ones
# also by name.
#
# Everything goes into one folder (ZV_RUN_DIR, default ./zorvant-run): the
# workspace, the sample card and "recovered/". ZV_RUN_NO_BUILD=1 uses an
# existing build/app/zorvant (ZORVANT may name another binary).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${ZV_RUN_DIR:-$PWD/zorvant-run}")

if [ "${ZV_RUN_NO_BUILD:-0}" != 1 ]; then
  bash "$root/scripts/deps.sh"
  mkdir -p "$root/build"
  cmake -S "$root" -B "$root/build" -G Ninja -DZV_TESTS=OFF -DZV_BENCH=OFF > "$root/build/configure.log" 2>&1 ||
    { cat "$root/build/configure.log"; exit 1; }
  cmake --build "$root/build" -j "$(nproc)" --target zorvant
fi
zorvant=${ZORVANT:-$root/build/app/zorvant}
[ -x "$zorvant" ] || { echo "run.sh: no program at $zorvant" >&2; exit 1; }

mkdir -p "$out"
export MTOOLS_SKIP_CHECK=1

# A photo: a noise-and-gradient picture (PPM written by awk) made into a
# JPEG by cjpeg. Arguments: file, width, height, seed.
photo() {
  awk -v w="$2" -v h="$3" -v seed="$4" 'BEGIN {
      srand(seed); printf "P6\n%d %d\n255\n", w, h
      for (y = 0; y < h; y++) for (x = 0; x < w; x++)
        printf "%c%c%c", int(x * 255 / w) % 256, int(y * 255 / h) % 256, int(rand() * 256) % 256
    }' > "$1.ppm"
  cjpeg -quality 90 -outfile "$1" "$1.ppm"
  rm -f "$1.ppm"
}

make_sample_card() {
  local card=$1 made=$out/photos n
  rm -rf "$made" "$card"
  mkdir -p "$made"
  echo "Making the sample card $card"
  for n in 1 2 3 4 5 6; do photo "$made/IMG_000$n.JPG" 800 600 "$n"; done
  for n in 7 8; do photo "$made/IMG_000$n.JPG" 640 480 "$n"; done
  mkfs.fat -C -F 32 -n CAMERA "$card" 65536 > /dev/null
  mmd -i "$card" ::/DCIM ::/DCIM/100CAMERA
  for n in 1 2 3 4 5 6; do mcopy -i "$card" "$made/IMG_000$n.JPG" ::/DCIM/100CAMERA/; done
  mdel -i "$card" ::/DCIM/100CAMERA/IMG_0002.JPG ::/DCIM/100CAMERA/IMG_0005.JPG
  echo "  6 photos taken, 2 deleted; the card is then quick-formatted"
  mkfs.fat -F 32 -n CAMERA "$card" > /dev/null
  mmd -i "$card" ::/DCIM ::/DCIM/101CAMERA
  for n in 7 8; do mcopy -i "$card" "$made/IMG_000$n.JPG" ::/DCIM/101CAMERA/; done
  echo "  and 2 new photos taken after the format"
}

# The sample's recovery folder is this script's own: a new sample card is
# recovered into an empty one, so only this run's files are compared below.
sample_recovered="$out/recovered/Recovered Files from sample-card.img"
if [ $# -ge 1 ]; then
  target=$1
else
  target=$out/sample-card.img
  make_sample_card "$target"
  rm -rf "$sample_recovered"
fi

ws=$out/workspace
# A new sample card is a new card: the scans of earlier samples go with the
# old one (they would fill the workspace's scan slots run after run).
[ $# -ge 1 ] || rm -rf "$ws"
z() { "$zorvant" --workspace "$ws" "$@"; }

log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Exit 3: the scan finished but part of the card could not be read (it says
# where); what it found is recovered all the same.
scanned=0
z scan "$target" | tee "$log" || scanned=$?
[ "$scanned" -eq 0 ] || [ "$scanned" -eq 3 ] || exit "$scanned"
scan=$(sed -n 's/^This is scan \([0-9]*\)\.$/\1/p' "$log")
[ -n "$scan" ] || { echo "run.sh: the scan did not finish" >&2; exit 1; }

echo
echo "What scan $scan found:"
z ls -r "$scan"
z select "$scan" > /dev/null
echo
z recover "$scan" --to "$out/recovered"
echo
echo "The recovered files are in $out/recovered"

if [ $# -eq 0 ]; then
  # Every photo ever written to the sample card, compared with what came back.
  found=0
  came_back() { # photo: whether a recovered file holds the same bytes
    local r
    while IFS= read -r -d '' r; do cmp -s "$1" "$r" && return 0; done < <(find "$sample_recovered" -type f -print0)
    return 1
  }
  for f in "$out"/photos/*.JPG; do
    if came_back "$f"; then
      echo "  $(basename "$f"): back, byte for byte"
      found=$((found + 1))
    else
      echo "  $(basename "$f"): not found (its blocks were overwritten by the new photos)"
    fi
  done
  echo "$found of $(ls "$out"/photos/*.JPG | wc -l) photos ever taken came back."
fi
