#!/usr/bin/env bash
# The whole test suite: every target of the release preset built (programs and benchmarks, not
# run) and made into Debian packages, which are checked, installed and built against; every test
# under AddressSanitizer + UndefinedBehaviorSanitizer (the Qt tests on Qt's offscreen platform
# among them), again under ThreadSanitizer (without the Qt tests), and a short run of every fuzz
# target.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh

jobs=$(( $(nproc) + 1 ))

run_preset() {
  local preset=$1
  echo "=== $preset build ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -- -j"$jobs"
  echo "=== $preset tests ==="
  # ThreadSanitizer needs a memory layout without high-entropy ASLR on newer kernels.
  # Qt is not built with ThreadSanitizer, so the Qt tests (label "qt": the widgets library and
  # the desktop program, offscreen) run under AddressSanitizer + UBSan only: the tsan preset
  # does not build them, and the label keeps them out of this run should it ever do.
  if [ "$preset" = tsan ]; then
    setarch "$(uname -m)" -R ctest --preset "$preset" -j2 -LE qt
  else
    ctest --preset "$preset" -j2
  fi
}

# A benchmark or program that does not build is a broken build, even if no test uses it.
echo "=== release build (programs and benchmarks) ==="
cmake --preset release >/dev/null
cmake --build --preset release -- -j"$jobs"

# The Debian packages of the release build: lintian finds no error in them, apt installs them,
# an application builds against the installed library with find_package and with pkg-config and
# runs; then they are removed again.
echo "=== Debian packages ==="
rm -rf build/release/packages
(cd build/release && cpack -G DEB >/dev/null)
debs=(build/release/packages/*.deb)
printf '%s\n' "${debs[@]}"
lintian --fail-on error "${debs[@]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
names=()
for deb in "${debs[@]}"; do names+=("$(dpkg-deb -f "$deb" Package)"); done
purge_packages() {
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${names[@]}" </dev/null
}
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${debs[@]/#/./}" </dev/null
trap purge_packages EXIT
bash tests/consumers/check_install.sh /usr build/package-consumers
purge_packages
trap - EXIT

run_preset asan
run_preset tsan

echo "=== fuzz targets ==="
cmake -S fuzz -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/fuzz -- -j"$jobs"
for target in build/fuzz/*_fuzz; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus="fuzz/corpus/$name"
  work=$(mktemp -d)
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  echo "--- $name"
  "$target" -max_total_time="${QV_FUZZ_SECONDS:-60}" -timeout=10 -print_final_stats=1 "$work" 2>&1 | tail -n 5
  rm -rf "$work"
done
echo "All test stages passed."
