#!/usr/bin/env bash
# Runs fuzz_framing for a fixed time over a freshly generated seed corpus.
#
# Usage: scripts/fuzz.sh BUILD_DIR SECONDS
#
# BUILD_DIR is a build configured with -DHVR_FUZZ=ON in which fuzz_framing has
# been built (make fuzz does both). The corpus lives in BUILD_DIR/fuzz-corpus
# and grows across runs; fuzz/regressions/ is read as a second corpus, so every
# saved crash input is replayed first. Crash, leak, timeout and out-of-memory
# inputs land in BUILD_DIR/fuzz-artifacts/. Exits non-zero on any finding.
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 BUILD_DIR SECONDS" >&2
  exit 2
fi
BUILD_DIR=$(cd "$1" && pwd)
SECONDS_TO_RUN=$2
ROOT=$(cd "$(dirname "$0")/.." && pwd)
FUZZ_BIN="$BUILD_DIR/fuzz"
CORPUS="$BUILD_DIR/fuzz-corpus"
ARTIFACTS="$BUILD_DIR/fuzz-artifacts"
REGRESSIONS="$ROOT/fuzz/regressions"
LOG="$BUILD_DIR/fuzz-framing.log"

for tool in fuzz_framing make_seeds; do
  if [ ! -x "$FUZZ_BIN/$tool" ]; then
    echo "fuzz.sh: $FUZZ_BIN/$tool missing; build the fuzz_framing target first" >&2
    exit 2
  fi
done

# Undefined behaviour is reported and execution goes on unless told to stop;
# stopping turns each report into a finding libFuzzer saves.
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:${UBSAN_OPTIONS:-}"
export ASAN_OPTIONS="detect_leaks=1:${ASAN_OPTIONS:-}"

# A seed that no longer reaches its handler path would quietly narrow what the
# fuzzer covers, so the seeds are checked before they are used.
if [ -x "$FUZZ_BIN/seed_corpus_test" ]; then
  "$FUZZ_BIN/seed_corpus_test" --gtest_brief=1 >"$BUILD_DIR/seed-corpus-test.log" 2>&1 || {
    cat "$BUILD_DIR/seed-corpus-test.log" >&2
    echo "fuzz.sh: seed_corpus_test failed" >&2
    exit 1
  }
fi

mkdir -p "$CORPUS" "$ARTIFACTS"
"$FUZZ_BIN/make_seeds" "$CORPUS"
corpora=("$CORPUS")
if [ -d "$REGRESSIONS" ]; then corpora+=("$REGRESSIONS"); fi

# Memory limits. A packet may announce up to 32 MiB and a compressed payload
# may inflate to 32 MiB; the inflate buffer is allocated whole, and parsing a
# payload that large can grow protobuf's repeated-field arrays past it. One
# allocation of 512 MiB or a resident size of 2 GiB is far beyond any of that
# and is reported as a fault; both stay under what two fuzzing cores can use.
# The summary filter may match nothing; only the fuzzer's own status counts.
set +e +o pipefail
"$FUZZ_BIN/fuzz_framing" \
  -max_total_time="$SECONDS_TO_RUN" \
  -rss_limit_mb=2048 \
  -malloc_limit_mb=512 \
  -timeout=10 \
  -print_final_stats=1 \
  -artifact_prefix="$ARTIFACTS/" \
  "${corpora[@]}" 2>&1 | tee "$LOG" | grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^Done [0-9]+ runs|ERROR|SUMMARY|runtime error|invariant failed|Test unit written'
status=${PIPESTATUS[0]}
set -e -o pipefail

runs=$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1/p' "$LOG" | tail -1)
secs=$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\2/p' "$LOG" | tail -1)
if [ "$status" -ne 0 ] || [ -z "$runs" ]; then
  echo "fuzz_framing: FAILED (exit $status); full log in $LOG, inputs in $ARTIFACTS/" >&2
  exit 1
fi
echo "fuzz_framing: $runs executions in $secs s, no crash"
