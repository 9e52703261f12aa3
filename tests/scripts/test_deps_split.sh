#!/usr/bin/env bash
# The main job (scripts/run.sh) installs only what the build and the sample
# card need; the test command (scripts/test.sh) installs the test tools too,
# fusefat among them. The scripts run from a copy of scripts/ with apt-get,
# dpkg-query, id and cmake replaced by stand-ins on PATH that write down what
# they were asked (every package counts as missing; cmake stops the scripts
# after the install). Every package named must be one Debian knows:
# apt-cache (the machine's package lists) is asked about each.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
command -v apt-cache > /dev/null || { echo "FAIL: apt-cache missing"; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/bin" "$tmp/repo/scripts"
cp "$root"/scripts/{deps,run,test}.sh "$tmp/repo/scripts/"
cat > "$tmp/bin/apt-get" <<'STUB'
#!/usr/bin/env bash
echo "apt-get $*" >> "$ZV_STUB_LOG"
STUB
cat > "$tmp/bin/dpkg-query" <<'STUB'
#!/usr/bin/env bash
exit 1
STUB
cat > "$tmp/bin/id" <<'STUB'
#!/usr/bin/env bash
echo 0
STUB
cat > "$tmp/bin/cmake" <<'STUB'
#!/usr/bin/env bash
echo "cmake $*" >> "$ZV_STUB_LOG"
exit 1
STUB
chmod +x "$tmp/bin"/*
export ZV_STUB_LOG=$tmp/log PATH=$tmp/bin:$PATH

# The packages the named script asked apt-get to install, one a line.
installed_by() { # script arguments...
  : > "$ZV_STUB_LOG"
  (cd "$tmp" && ZV_RUN_DIR=$tmp/run bash "$@" > "$tmp/out" 2>&1) || true
  sed -n 's/^apt-get .* install -y -qq --no-install-recommends //p' "$ZV_STUB_LOG" | tr ' ' '\n' | sort
}
has() { grep -qx "$2" <<< "$1"; }

build_tools="cmake ninja-build g++ pkg-config libsqlite3-dev libfmt-dev dosfstools mtools libjpeg-turbo-progs"
test_tools="sleuthkit testdisk qemu-utils clang libgtest-dev libbenchmark-dev btrfs-progs exfatprogs fusefat libfuse3-dev"

main_job=$(installed_by "$tmp/repo/scripts/run.sh")
[ -n "$main_job" ] || { cat "$tmp/out" "$ZV_STUB_LOG"; echo "FAIL: run.sh installed nothing"; exit 1; }
for p in $build_tools; do has "$main_job" "$p" || { echo "FAIL: run.sh does not install $p"; exit 1; }; done
for p in $test_tools; do ! has "$main_job" "$p" || { echo "FAIL: run.sh installs the test tool $p"; exit 1; }; done
grep -q -- '-DZV_TESTS=OFF -DZV_BENCH=OFF' "$ZV_STUB_LOG" ||
  { cat "$ZV_STUB_LOG"; echo "FAIL: run.sh configures the tests (they need test packages)"; exit 1; }

tests=$(installed_by "$tmp/repo/scripts/test.sh")
for p in $build_tools $test_tools; do has "$tests" "$p" || { echo "FAIL: test.sh does not install $p"; exit 1; }; done
grep -q -- '-DZV_TESTS=ON -DZV_BENCH=ON' "$ZV_STUB_LOG" ||
  { cat "$ZV_STUB_LOG"; echo "FAIL: test.sh does not ask for the tests in the folder run.sh also builds"; exit 1; }
[ "$(installed_by "$tmp/repo/scripts/deps.sh")" = "$main_job" ] || { echo "FAIL: deps.sh alone is not the main job's list"; exit 1; }
[ "$(installed_by "$tmp/repo/scripts/deps.sh" --tests)" = "$tests" ] || { echo "FAIL: deps.sh --tests is not test.sh's list"; exit 1; }

rc=0
bash "$tmp/repo/scripts/deps.sh" --everything > "$tmp/out" 2>&1 || rc=$?
[ "$rc" -eq 2 ] && grep -q 'unknown argument --everything' "$tmp/out" ||
  { cat "$tmp/out"; echo "FAIL: an unknown argument is not refused (exit $rc)"; exit 1; }

for p in $tests; do
  apt-cache show "$p" > /dev/null 2>&1 || { echo "FAIL: Debian has no package $p"; exit 1; }
done
echo PASS
