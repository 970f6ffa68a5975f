#!/usr/bin/env bash
# Checks the wheel as a Python user meets it:
#
#   bash scripts/check-wheel.sh BUILD_DIR WHEEL
#
# 1. A fresh virtual environment (nothing but the standard library) installs
#    WHEEL with pip, offline, and runs the three examples against hvr-sim
#    (BUILD_DIR/sim/hvr-sim) from a scratch folder: no build tree, no
#    PYTHONPATH.
# 2. A second fresh environment that sees Debian's packages (pytest, pandas)
#    installs it too and runs the package's pytest suite against the
#    installed package.
# Before both: building the wheel wrote nothing into python/ (setup.py builds
# in build-wheel/).
# Exits non-zero at the first failed step.
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 BUILD_DIR WHEEL" >&2
  exit 2
fi
BUILD_DIR=$(cd "$1" && pwd)
WHEEL=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
SOURCE_DIR=$(cd "$(dirname "$0")/.." && pwd)
SIM="$BUILD_DIR/sim/hvr-sim"
PYTHON=/usr/bin/python3
[ -x "$SIM" ] || { echo "check-wheel: $SIM is missing; build first (make build)" >&2; exit 1; }
[ -f "$WHEEL" ] || { echo "check-wheel: no wheel $WHEEL (make wheel)" >&2; exit 1; }

# shellcheck source=lib/sim.sh
source "$SOURCE_DIR/scripts/lib/sim.sh"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/hvr-wheel.XXXXXX")
cleanup() {
  stop_sim
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() {
  echo "check-wheel: FAILED: $*" >&2
  exit 1
}
unset PYTHONPATH TRADERHVR_MODULE

echo "=== the wheel's build left python/ as it was"
for leftover in python/traderhvr.egg-info python/build; do
  [ ! -e "$SOURCE_DIR/$leftover" ] \
    || fail "$leftover is in the source tree (builds go to build-wheel/; remove one left by an older build)"
done

echo "=== a fresh virtual environment installs $(basename "$WHEEL")"
"$PYTHON" -m venv "$WORK/venv"
"$WORK/venv/bin/pip" install --quiet --no-index --no-deps "$WHEEL" || fail "pip install"
INSTALLED=$(cd "$WORK" && "$WORK/venv/bin/python" -c 'import traderhvr, os; print(traderhvr.__version__, os.path.dirname(traderhvr.__file__))')
echo "traderhvr $INSTALLED"
[[ "$INSTALLED" == *"$WORK/venv/"* ]] || fail "traderhvr was not imported from the virtual environment"
[ -f "$(echo "$INSTALLED" | cut -d' ' -f2)/libTraderHVR.so" ] || fail "the wheel does not carry libTraderHVR.so"

echo "=== the examples against hvr-sim, from a scratch folder"
start_sim "$SIM" "$WORK" || fail "hvr-sim did not start listening"
mkdir "$WORK/run"
for example in minimal.py strategy.py asyncio_orders.py; do
  echo "--- $example"
  (cd "$WORK/run" && "$WORK/venv/bin/python" "$SOURCE_DIR/examples/python/$example" --port "$SIM_PORT") \
    || fail "$example"
done
stop_sim

echo "=== the pytest suite against the installed package"
"$PYTHON" -m venv --system-site-packages "$WORK/venv-tests"
"$WORK/venv-tests/bin/pip" install --quiet --no-index --no-deps "$WHEEL" || fail "pip install (tests)"
(cd "$WORK" && PYTHONDONTWRITEBYTECODE=1 HVR_SIM="$SIM" HVR_EXAMPLES="$SOURCE_DIR/examples/python" \
  HVR_EXPECT_INSTALLED="$WORK/venv-tests" \
  "$WORK/venv-tests/bin/python" -m pytest -q -p no:cacheprovider "$SOURCE_DIR/python/tests") || fail "pytest"

echo "check-wheel: all steps passed"
