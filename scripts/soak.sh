#!/usr/bin/env bash
# Runs the fault soak: scripts/soak.sh BUILD_DIR HVR_SIM SECONDS [SEED [HVR-SOAK FLAGS...]]
# BUILD_DIR holds hvr-soak and the module. Without a seed one is drawn. A
# failure the driver cannot report itself (a crash, a sanitizer report) still
# ends with the round it happened in, the seed and the replay command.
set -uo pipefail
build="$1"
sim="$2"
seconds="$3"
seed="${4:-}"
shift 4 2>/dev/null || shift $#
if [ -z "$seed" ]; then seed=$(od -An -N4 -tu4 /dev/urandom | tr -d ' '); fi

out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$build/tests/soak/hvr-soak" --module "$build/libTraderHVR.so" --sim "$sim" --seconds "$seconds" --seed "$seed" "$@" \
  | tee "$out"
status=${PIPESTATUS[0]}
if [ "$status" -ne 0 ]; then
  round=$(grep -o '^round [0-9]*' "$out" | tail -n 1)
  echo "soak FAILED with exit status $status in ${round:-start-up} (seed $seed); replay: make soak SOAK_SEED=$seed SOAK_SECONDS=$seconds" >&2
fi
exit "$status"
