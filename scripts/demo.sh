#!/usr/bin/env bash
# The program's main job. Builds what it needs, starts the GSM modem simulator behind a stable
# link, and then:
#   - with a display ($DISPLAY or $WAYLAND_DISPLAY), opens the desktop program smsdesk on it and
#     ends when its window is closed;
#   - without one, takes a short tour of the command-line tool qvsms on it (identify, send, an
#     incoming long message shown whole, list, USSD, phone book) and ends by itself.
# Either way the simulator is stopped and what the script created is removed.
#
#   bash scripts/demo.sh
#
# QV_DEMO_BIN=DIR uses programs already built in DIR (a build folder holding tools/qvmodemsim and
# cli/qvsms) and skips the set-up and the build; QV_DEMO_HEADLESS=1 takes the tour even with a
# display; QV_DEMO_MODEL picks the simulated modem (qvmodemsim --list-models names them).
set -euo pipefail
cd "$(dirname "$0")/.."

model=${QV_DEMO_MODEL:-siemens_mc35i}
headless=${QV_DEMO_HEADLESS:-}
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then headless=1; fi

if [ -n "${QV_DEMO_BIN:-}" ]; then
  bin=$QV_DEMO_BIN
else
  bash scripts/setup-debian.sh
  bin=build/release
  targets="qvmodemsim qvsms"
  [ -n "$headless" ] || targets="$targets smsdesk"
  echo "=== building (release): $targets ==="
  cmake --preset release >/dev/null
  # shellcheck disable=SC2086
  cmake --build --preset release --target $targets -- -j"$(( $(nproc) + 1 ))"
fi

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
# The simulator takes its control commands (incoming messages, calls...) from a pipe; its own
# --exit-after bounds the run even if this script is killed before its clean-up.
mkfifo "$work/control"
"$bin/tools/qvmodemsim" --model "$model" --link "$link" --exit-after "${QV_DEMO_SECONDS:-3600}" \
  <"$work/control" >"$work/sim.out" 2>&1 &
sim_pid=$!
exec 3>"$work/control"
for _ in $(seq 100); do
  [ -e "$link" ] && break
  sleep 0.05
done
[ -e "$link" ] || { cat "$work/sim.out"; echo "the simulator did not come up"; exit 1; }
head -n 3 "$work/sim.out"

if [ -z "$headless" ]; then
  echo "=== smsdesk on $link: tick \"Open\"; close the window to end ==="
  "$bin/demo/smsdesk" --device "$link"
  exit 0
fi

qvsms() {
  echo
  echo "\$ qvsms $*"
  "$bin/cli/qvsms" --device "$link" "$@"
}

qvsms identify
qvsms sms send +491701234567 "Hello from qvsms"

echo
echo "(a long message arrives from +4930123456, in three parts)"
long="This message is longer than one SMS, so the network hands it over in parts, and each part"
long="$long arrives on its own. qvsms joins the parts into one message again, in the right order,"
long="$long whatever order they came in, and shows it whole: here it is, every character"
long="$long of it, as its sender wrote it. Greetings from the simulator!"
echo "text +4930123456 $long" >&3
sleep 0.5
qvsms sms list

qvsms ussd '*100#'

printf '1,1,"+4930111","Anna"\r\n2,1,"+4930222","Bob"\r\n' >"$work/book.txt"
qvsms phonebook import "$work/book.txt"
qvsms phonebook list

echo
echo "=== done: qvsms --help tells more ==="
