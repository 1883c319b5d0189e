#!/usr/bin/env bash
# The program's main job, as far as it goes today: builds the GSM modem simulator, starts it
# behind a stable link and shows that a client finds a modem there. Needs no input and ends
# by itself, stopping the simulator and removing what it created.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh

model=${QV_DEMO_MODEL:-siemens_mc35i}
jobs=$(( $(nproc) + 1 ))

echo "=== building (release) ==="
cmake --preset release >/dev/null
cmake --build --preset release --target qvmodemsim -- -j"$jobs"

work=$(mktemp -d)
link="$work/modem"
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "=== starting the simulated modem ($model) ==="
# --exit-after bounds the run even if this script is killed before its clean-up
build/release/tools/qvmodemsim --model "$model" --link "$link" --exit-after 300 \
  --transcript "$work/transcript.txt" </dev/null >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  [ -e "$link" ] && break
  sleep 0.05
done
[ -e "$link" ] || { cat "$work/sim.out"; echo "the simulator did not come up"; exit 1; }
cat "$work/sim.out"

echo "=== a raw exchange on $link ==="
exec 3<>"$link"
stty -F "$link" raw -echo 115200
for command in ATE0 ATI AT+CGMI AT+CGMM AT+CPIN? AT+CSQ; do
  printf '%s\r' "$command" >&3
  reply=""
  while IFS= read -r -t 2 line <&3; do
    line=${line%$'\r'}
    [ -n "$line" ] && reply+="${reply:+ | }$line"
    case "$line" in OK|ERROR|+CME\ ERROR:*|+CMS\ ERROR:*) break ;; esac
  done
  printf '%-10s -> %s\n' "$command" "$reply"
done
exec 3>&-

echo "=== gammu identify through $link ==="
printf '[gammu]\ndevice = %s\nconnection = at\n' "$link" >"$work/gammurc"
timeout 60 gammu -c "$work/gammurc" identify

echo "=== done ==="
