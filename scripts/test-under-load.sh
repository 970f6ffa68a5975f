#!/usr/bin/env bash
# The test suite of BUILD and the threaded tests of TSAN_BUILD (ThreadSanitizer)
# while two CPU hogs keep the machine busy: a test whose outcome depends on
# timing or on what the kernel's buffers take turns red here. Both suites run
# whatever the first one gives; the hogs are stopped at the end however it
# ends (and give up by themselves after HOG_SECONDS, should this script be
# killed outright).
#
#   scripts/test-under-load.sh BUILD TSAN_BUILD
#     JOBS         ctest's parallel jobs (2)
#     HOGS         CPU hogs (2)
#     HOG_SECONDS  the hogs' own time limit (7200)
#     TSAN_OPTIONS as make tsan sets it
set -uo pipefail

build="$1"
tsan="$2"
jobs="${JOBS:-2}"
hogs="${HOGS:-2}"
hogSeconds="${HOG_SECONDS:-7200}"

if ! command -v stress-ng > /dev/null; then
  echo "test-under-load: stress-ng is missing (scripts/install-deps.sh installs it)" >&2
  exit 2
fi

stress-ng --cpu "$hogs" --timeout "$hogSeconds" --quiet &
hogPid=$!
stop_hogs() {
  kill -TERM "$hogPid" 2> /dev/null
  wait "$hogPid" 2> /dev/null
}
trap stop_hogs EXIT
trap 'exit 130' INT TERM

echo "test-under-load: $hogs CPU hogs running (stress-ng, pid $hogPid)"
status=0
echo "=== the suite ($build)"
ctest --test-dir "$build" --output-on-failure -j "$jobs" || status=1
echo "=== the threaded tests under ThreadSanitizer ($tsan)"
ctest --test-dir "$tsan" --output-on-failure -j "$jobs" -L threads || status=1
if [ "$status" -eq 0 ]; then
  echo "test-under-load: both suites passed under load"
else
  echo "test-under-load: FAILED under load (see above)"
fi
exit "$status"
