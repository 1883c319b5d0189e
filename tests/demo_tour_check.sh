#!/usr/bin/env bash
# The headless tour of scripts/demo.sh on programs already built in BUILD_DIR: it must end by
# itself with status 0, show the incoming long message whole on one line, and reach every step.
set -uo pipefail
build_dir=$1
script=$(dirname "$0")/../scripts/demo.sh
out=$(env -u DISPLAY -u WAYLAND_DISPLAY QV_DEMO_BIN="$build_dir" QV_DEMO_SECONDS=120 timeout 100 bash "$script" 2>&1)
status=$?
echo "$out"
fail() { echo "FAILED: $1"; exit 1; }
[ "$status" -eq 0 ] || fail "the tour ended with status $status"
for step in "qvsms identify" "qvsms sms send" "qvsms sms list" "qvsms ussd" "qvsms phonebook import" \
            "qvsms phonebook list" "=== done"; do
  grep -qF -- "$step" <<<"$out" || fail "no step \"$step\""
done
grep -E '^1,2,3 .*This message is longer.*Greetings from the simulator!$' <<<"$out" >/dev/null ||
  fail "the long message is not shown whole"
grep -qF "Your balance is" <<<"$out" || fail "no USSD answer"
grep -qE '^2 +\+4930222 +Bob$' <<<"$out" || fail "the phone book does not hold what was imported"
