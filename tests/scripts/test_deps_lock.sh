#!/usr/bin/env bash
# scripts/deps.sh waits for the package lock instead of failing: the dpkg lock
# (an install) and the package-list lock (an update), each held by another
# process for a few seconds. Needs root and apt-get; fails without them.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
[ "$(id -u)" -eq 0 ] || { echo "FAIL: needs root (the package locks belong to root)"; exit 1; }
command -v apt-get > /dev/null || { echo "FAIL: apt-get missing"; exit 1; }
source "$root/scripts/deps.sh"
export ZV_APT_LOCK_WAIT=120

tmp=$(mktemp -d)
holder=
trap '[ -n "$holder" ] && kill "$holder" 2>/dev/null; rm -rf "$tmp"' EXIT

# Holds an fcntl write lock on $1 (the kind apt takes) for $2 seconds.
hold_lock() {
  perl -MFcntl -e '
    open(my $fh, "+<", $ARGV[0]) or die "open $ARGV[0]: $!";
    my $lock = pack("s s x4 q q i x4", F_WRLCK, 0, 0, 0, 0);
    fcntl($fh, F_SETLK, $lock) or die "lock $ARGV[0]: $!";
    print "locked\n"; $| = 1; sleep $ARGV[1];' "$1" "$2" > "$tmp/held" &
  holder=$!
  for _ in $(seq 100); do grep -q locked "$tmp/held" 2>/dev/null && return 0; sleep 0.05; done
  echo "FAIL: could not take the lock $1"; exit 1
}

# The dpkg lock: an install of a package that is already there still takes it.
installed=$(dpkg-query -W -f='${Package}\n' coreutils)
hold_lock /var/lib/dpkg/lock-frontend 4
start=$SECONDS
apt_get install -y -qq --no-install-recommends "$installed" > "$tmp/install.log" ||
  { cat "$tmp/install.log"; echo "FAIL: install gave up while the dpkg lock was held"; exit 1; }
wait "$holder"; holder=
[ $((SECONDS - start)) -ge 2 ] || { echo "FAIL: install did not wait for the dpkg lock"; exit 1; }

# The package-list lock, on a list folder of its own with no sources, so the
# update reaches no network and leaves the machine's lists alone.
mkdir -p "$tmp/lists/partial" "$tmp/parts"
touch "$tmp/lists/lock" "$tmp/sources.list"
hold_lock "$tmp/lists/lock" 4
start=$SECONDS
apt_get -o Dir::State::Lists="$tmp/lists" -o Dir::Etc::sourcelist="$tmp/sources.list" \
        -o Dir::Etc::sourceparts="$tmp/parts" update -qq > "$tmp/update.log" ||
  { cat "$tmp/update.log"; echo "FAIL: update gave up while the list lock was held"; exit 1; }
wait "$holder"; holder=
[ $((SECONDS - start)) -ge 2 ] || { echo "FAIL: update did not wait for the list lock"; exit 1; }
grep -q 'waiting' "$tmp/update.log" || { echo "FAIL: no waiting message"; exit 1; }
echo "PASS"
