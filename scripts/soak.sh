#!/usr/bin/env bash
# Runs the fault soak: scripts/soak.sh BUILD_DIR HVR_SIM SECONDS [SEED]
# BUILD_DIR holds hvr-soak and the module. Without a seed one is drawn. A
# failure the driver cannot report itself (a crash, a sanitizer report) still
# ends with the seed and the replay command.
set -uo pipefail
build="$1"
sim="$2"
seconds="$3"
seed="${4:-}"
if [ -z "$seed" ]; then seed=$(od -An -N4 -tu4 /dev/urandom | tr -d ' '); fi

"$build/tests/soak/hvr-soak" --module "$build/libTraderHVR.so" --sim "$sim" --seconds "$seconds" --seed "$seed"
status=$?
if [ "$status" -ne 0 ]; then
  echo "soak FAILED with exit status $status (seed $seed); replay: make soak SOAK_SEED=$seed SOAK_SECONDS=$seconds" >&2
fi
exit "$status"
