#!/usr/bin/env bash
# A guided demo of the trader adapter against the bundled simulator.
#
#   bash scripts/demo.sh BUILD_DIR
#
# Starts hvr-sim on a free loopback port with a fresh database, then runs the
# command-line host hvr-host three times with the scripts in cli/demo/:
#   1. trading: a filled order, a resting order cancelled, a refused order,
#      the pushes as they arrive and the four query tables;
#   2. a new session that resumes from the .flow file: no push comes twice;
#   3. a session that asks for every push again, for contrast.
# Exits 0 when every step did what it should, non-zero otherwise. The
# simulator is stopped on any exit.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 64
fi
BUILD_DIR=$(cd "$1" && pwd)
SOURCE_DIR=$(cd "$(dirname "$0")/.." && pwd)
SIM="$BUILD_DIR/sim/hvr-sim"
HOST="$BUILD_DIR/cli/hvr-host"
MODULE="$BUILD_DIR/libTraderHVR.so"
DEMO="$SOURCE_DIR/cli/demo"
for f in "$SIM" "$HOST" "$MODULE"; do
  if [ ! -e "$f" ]; then
    echo "demo: $f is missing; build first (make build)" >&2
    exit 1
  fi
done

# shellcheck source=lib/sim.sh
source "$SOURCE_DIR/scripts/lib/sim.sh"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/hvr-demo.XXXXXX")
cleanup() {
  stop_sim
  rm -rf "$WORK"
}
trap cleanup EXIT

heading() {
  echo
  echo "=================================================================="
  echo "  $*"
  echo "=================================================================="
}

fail() {
  echo
  echo "DEMO FAILED: $*" >&2
  echo "--- simulator log (last lines) ---" >&2
  tail -n 20 "$WORK/sim.log" >&2 || true
  exit 1
}

# Lines of a transcript that report a push, without their time stamps and
# without the host's marks (replayed at the login, duplicate).
STAMP='^[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\.[0-9][0-9][0-9] '
push_lines() {
  { grep "${STAMP}\[push\]" "$1" || true; } | sed -E "s/${STAMP}//; s/  \(DUPLICATE\)\$//; s/  \(replayed\)\$//" | sort
}

heading "0. Starting the simulated server"
start_sim "$SIM" "$WORK" || fail "hvr-sim did not start listening"
PORT=$SIM_PORT
echo "hvr-sim is listening on 127.0.0.1:$PORT (database $WORK/sim.db)"
echo "Account demo/demo, balance 10,000,000; IF2412 last 3500, tick 0.2, multiplier 300."

run_host() {  # run_host TRANSCRIPT FOLDER PUSHMODE SCRIPT
  local transcript=$1 folder=$2 pushmode=$3 script=$4
  echo "\$ hvr-host --port $PORT --folder ${folder#$WORK/} --pushmode $pushmode --script $(basename "$script")"
  set +e
  "$HOST" --module "$MODULE" --host 127.0.0.1 --port "$PORT" --folder "$folder" --pushmode "$pushmode" \
    --script "$script" --timeout 5000 2>&1 | tee "$transcript"
  local status=${PIPESTATUS[0]}
  set -e
  return "$status"
}

heading "1. Trading session: fill, rest and cancel, refusal, pushes, tables"
echo "Lines with '>' after the time are script commands; [event], [answer], [push] and [log]"
echo "lines are the adapter's callbacks as the host received them."
echo
run_host "$WORK/run1.txt" "$WORK/flow/" 0 "$DEMO/demo.script" || fail "the trading session failed"
grep -q "${STAMP}\[push\] order .*: filled" "$WORK/run1.txt" || fail "no fill was pushed"
grep -q "${STAMP}\[push\] order .*: cancelled" "$WORK/run1.txt" || fail "no cancel was pushed"
grep -q "${STAMP}\[answer\] order refused: " "$WORK/run1.txt" || fail "no refusal was reported"
[ -f "$WORK/flow/demo.flow" ] || fail "the session left no .flow file"
echo
echo "The adapter recorded the last push it handled in flow/demo.flow."

heading "2. A new session resumes from flow/demo.flow (pushmode 0)"
run_host "$WORK/run2.txt" "$WORK/flow/" 0 "$DEMO/resume.script" || fail "the resumed session failed"
push_lines "$WORK/run1.txt" >"$WORK/pushes1"
push_lines "$WORK/run2.txt" >"$WORK/pushes2"
FIRST=$(wc -l <"$WORK/pushes1")
SECOND=$(wc -l <"$WORK/pushes2")
REPEATED=$(comm -12 "$WORK/pushes1" "$WORK/pushes2" | wc -l)
echo
echo "Pushes in session 1: $FIRST; in session 2: $SECOND; repeated from session 1: $REPEATED"
[ "$REPEATED" -eq 0 ] || fail "$REPEATED pushes of session 1 came again"

heading "3. For contrast: a session that asks for every push again (pushmode 2)"
run_host "$WORK/run3.txt" "$WORK/flow-replay/" 2 "$DEMO/replay.script" || fail "the replay session failed"
push_lines "$WORK/run3.txt" >"$WORK/pushes3"
REPLAYED=$(wc -l <"$WORK/pushes3")
echo
echo "Pushes replayed with pushmode 2: $REPLAYED (session 1 received $FIRST)"
[ "$REPLAYED" -eq "$FIRST" ] || fail "a full replay should bring the $FIRST pushes of session 1"
cmp -s "$WORK/pushes1" "$WORK/pushes3" || fail "the full replay differs from what session 1 received"

heading "Demo finished: every step behaved as expected"
