#!/usr/bin/env bash
# Pictures of the desktop program, for people to look at (not a test). Builds the release
# programs, starts the GSM modem simulator, and runs the program's window under a virtual X
# server (Xvfb), once at 100 % and once at 200 % scaling: it ticks "Open", waits for the modem
# to be initialised and saves a PNG of every page, filled (the stored messages listed and one
# read, a phone book, a USSD answer), and one of the port settings dialog.
#
#   bash scripts/screenshots.sh [FOLDER]      # default: build/screenshots
#
# The pictures land in FOLDER/scale-100 and FOLDER/scale-200.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh

out=${1:-build/screenshots}
model=${QV_DEMO_MODEL:-siemens_mc35i}
jobs=$(( $(nproc) + 1 ))

echo "=== building (release) ==="
cmake --preset release >/dev/null
cmake --build --preset release --target qvmodemsim smsdesk smsdesk-shots -- -j"$jobs"

work=$(mktemp -d)
link="$work/modem"
sim_pid=""
cleanup() {
  exec 3>&- 2>/dev/null || true
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "=== starting the simulated modem ($model) ==="
# --exit-after bounds the run even if this script is killed before its clean-up
# Its control commands come from a pipe: two messages wait in its store, one of them long.
mkfifo "$work/control"
build/release/tools/qvmodemsim --model "$model" --link "$link" --exit-after 600 <"$work/control" >"$work/sim.out" 2>&1 &
sim_pid=$!
exec 3>"$work/control"
for _ in $(seq 100); do
  [ -e "$link" ] && break
  sleep 0.05
done
[ -e "$link" ] || { cat "$work/sim.out"; echo "the simulator did not come up"; exit 1; }
echo "text +4930123456 Are we still on for dinner tonight? I booked a table for eight." >&3
echo "text +4917098765 Your parcel will arrive tomorrow between 9:00 and 13:00. If nobody is at home, it goes to the shop around the corner, where you can pick it up until Saturday with this message and your ID." >&3

for scale in 1 2; do
  folder="$out/scale-${scale}00"
  rm -rf "$folder"
  echo "=== ${scale}00 % scaling: $folder ==="
  # "d" keeps the Terminal page, so that every page is there. The log file goes next to the
  # program (build/release/demo/smsdesk-shots.log).
  QT_SCALE_FACTOR=$scale xvfb-run -a -s "-screen 0 1920x1440x24" \
    build/release/demo/smsdesk-shots "$folder" d --device "$link" 2>"$work/shots-$scale.err" ||
    { tail -n 20 "$work/shots-$scale.err"; exit 1; }
done
echo "=== done: $out ==="
