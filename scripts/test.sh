#!/usr/bin/env bash
# The whole test suite: every target of the release preset built (programs and benchmarks, not
# run), every test under AddressSanitizer + UndefinedBehaviorSanitizer (the Qt tests on Qt's
# offscreen platform among them), again under ThreadSanitizer (without the Qt tests), and a
# short run of every fuzz target.
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
