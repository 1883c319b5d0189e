#!/usr/bin/env bash
# A long soak of the GSM component against the modem simulator: mixed traffic (sends, incoming
# messages, delivery reports, listings, deletes, USSD, rings, readings) for an hour by default,
# then every count checked and the growth of resident memory from minute 5 to the end. Not part
# of the test suite.
#
#   bash scripts/soak.sh                 # an hour
#   SOAK_SECONDS=600 bash scripts/soak.sh
#   bash scripts/soak.sh --seed 1234     # further options go to the soak program (--help)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh

cmake --preset release >/dev/null
cmake --build --preset release --target qvsoak -- -j"$(( $(nproc) + 1 ))"
# The trace of every byte goes to SOAK_LOG (default build/release/soak.log): about 25 MB an hour.
exec build/release/bench/qvsoak --seconds "${SOAK_SECONDS:-3600}" --log "${SOAK_LOG:-$PWD/build/release/soak.log}" "$@"
