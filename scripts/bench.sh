#!/usr/bin/env bash
# Runs the benchmarks and records them in BENCHMARKS.md.
#
#   bash scripts/bench.sh BUILD_DIR      (a Release build with -DHVR_BUILD_BENCHMARKS=ON)
#
# Starts hvr-sim on a free loopback port with a fresh database (the footprint
# figure connects 100 traders to it), runs BUILD_DIR/bench/hvr_bench, prints
# its table and inserts it, dated and with the machine's description, at the
# top of the results in BENCHMARKS.md; earlier tables stay below it. The
# simulator is stopped on any exit.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 64
fi
BUILD_DIR=$(cd "$1" && pwd)
SOURCE_DIR=$(cd "$(dirname "$0")/.." && pwd)
BENCH="$BUILD_DIR/bench/hvr_bench"
SIM="$BUILD_DIR/sim/hvr-sim"
RESULTS="$SOURCE_DIR/BENCHMARKS.md"
MARKER="<!-- new results go below this line -->"
if [ ! -x "$BENCH" ]; then
  echo "bench: $BENCH is missing; configure with -DHVR_BUILD_BENCHMARKS=ON and build" >&2
  exit 1
fi

# shellcheck source=lib/sim.sh
source "$SOURCE_DIR/scripts/lib/sim.sh"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/hvr-bench.XXXXXX")
cleanup() {
  stop_sim
  rm -rf "$WORK"
}
trap cleanup EXIT

SIM_ARGS=()
if [ -x "$SIM" ]; then
  if start_sim "$SIM" "$WORK" --idle-timeout 120; then
    SIM_ARGS=(--sim-port "$SIM_PORT")
  else
    echo "bench: hvr-sim did not start; the footprint figure is skipped" >&2
  fi
else
  echo "bench: $SIM is missing (built with HVR_BUILD_TOOLS=OFF?); the footprint figure is skipped" >&2
fi

STATUS=0
timeout 170 "$BENCH" "${SIM_ARGS[@]}" >"$WORK/table.md" || STATUS=$?
cat "$WORK/table.md"

MODEL=$(lscpu | sed -n 's/^Model name:[[:space:]]*//p' | head -1)
CPUS=$(nproc)
KERNEL=$(uname -sr)
# Other programs running at the same time move every figure: record the load.
LOAD=$(cut -d' ' -f1-3 /proc/loadavg)
{
  echo
  echo "### $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo
  echo "Machine: $MODEL, $CPUS cores, $KERNEL. Load average at the end: $LOAD. Commit $(git -C "$SOURCE_DIR" rev-parse --short HEAD 2>/dev/null || echo unknown)$(git -C "$SOURCE_DIR" diff --quiet -- net ops trader 2>/dev/null || echo ' with local changes')."
  echo
  cat "$WORK/table.md"
} >"$WORK/section.md"

if [ ! -f "$RESULTS" ] || ! grep -qF "$MARKER" "$RESULTS"; then
  printf '# Benchmarks\n\nResults of `make bench`, newest first.\n\n%s\n' "$MARKER" >>"$RESULTS"
fi
# The new section goes right below the marker, above the earlier ones.
awk -v marker="$MARKER" -v section="$WORK/section.md" '
  { print }
  $0 == marker { while ((getline line < section) > 0) print line }
' "$RESULTS" >"$WORK/results.md"
mv "$WORK/results.md" "$RESULTS"
echo "bench: results added to $RESULTS" >&2
exit "$STATUS"
