#!/usr/bin/env bash
# Runs the benchmarks and records them in BENCHMARKS.md.
#
#   bash scripts/bench.sh BUILD_DIR      (a Release build with -DHVR_BUILD_BENCHMARKS=ON)
#
# Runs BUILD_DIR/bench/hvr_bench (every peer it needs runs inside it, on
# loopback), prints its table and inserts it, dated, with the machine's
# description and the load average, at the top of the results in
# BENCHMARKS.md; earlier tables stay below it. Extra arguments go to
# hvr_bench (for example --only roundtrip).
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 BUILD_DIR [hvr_bench arguments]" >&2
  exit 64
fi
BUILD_DIR=$(cd "$1" && pwd)
shift
SOURCE_DIR=$(cd "$(dirname "$0")/.." && pwd)
BENCH="$BUILD_DIR/bench/hvr_bench"
RESULTS="$SOURCE_DIR/BENCHMARKS.md"
MARKER="<!-- new results go below this line -->"
if [ ! -x "$BENCH" ]; then
  echo "bench: $BENCH is missing; configure with -DHVR_BUILD_BENCHMARKS=ON and build" >&2
  exit 1
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/hvr-bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

# Other programs running at the same time move every figure: record the load
# at the start and at the end.
LOAD_START=$(cut -d' ' -f1-3 /proc/loadavg)
STATUS=0
timeout 600 "$BENCH" "$@" >"$WORK/table.md" || STATUS=$?
cat "$WORK/table.md"

MODEL=$(lscpu | sed -n 's/^Model name:[[:space:]]*//p' | head -1)
CPUS=$(nproc)
KERNEL=$(uname -sr)
LOAD_END=$(cut -d' ' -f1-3 /proc/loadavg)
{
  echo
  echo "### $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo
  echo "Machine: $MODEL, $CPUS cores, $KERNEL. Load average at the start: $LOAD_START, at the end: $LOAD_END. Commit $(git -C "$SOURCE_DIR" rev-parse --short HEAD 2>/dev/null || echo unknown)$(git -C "$SOURCE_DIR" diff --quiet -- net ops records trader 2>/dev/null || echo ' with local changes')."
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
