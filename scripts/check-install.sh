#!/usr/bin/env bash
# Checks the installed package as a host developer meets it:
#
#   bash scripts/check-install.sh BUILD_DIR
#
# Installs BUILD_DIR into a temporary prefix, builds examples/minimal_host out
# of tree against it with find_package(TraderHVR), compiles it once more with
# only pkg-config's flags, and runs it against the installed hvr-sim on a free
# loopback port. Also checks that the README's host snippet is the example's
# code, and that the installed hvr-host finds the installed module by itself.
# Exits non-zero at the first failed step.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
BUILD_DIR=$(cd "$1" && pwd)
SOURCE_DIR=$(cd "$(dirname "$0")/.." && pwd)
EXAMPLE="$SOURCE_DIR/examples/minimal_host"

# shellcheck source=lib/sim.sh
source "$SOURCE_DIR/scripts/lib/sim.sh"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/hvr-install.XXXXXX")
cleanup() {
  stop_sim
  rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
  echo "check-install: FAILED: $*" >&2
  exit 1
}

PREFIX="$WORK/prefix"
echo "=== cmake --install $BUILD_DIR --prefix $PREFIX"
cmake --install "$BUILD_DIR" --prefix "$PREFIX" >"$WORK/install.log" || { cat "$WORK/install.log"; fail "install"; }
for f in bin/hvr-sim bin/hvr-host include/traderhvr/ITraderApi.h include/traderhvr/LogText.h \
  share/doc/TraderHVR/log-lines.md; do
  [ -e "$PREFIX/$f" ] || fail "$f was not installed"
done

echo "=== the README's host snippet is the example's code"
snippet() { sed -n '/-- host snippet begins --/,/-- host snippet ends --/p' "$1" | sed '1d;$d' | sed 's/^    //'; }
snippet "$EXAMPLE/minimal_host.cpp" >"$WORK/snippet.example"
[ -s "$WORK/snippet.example" ] || fail "no snippet markers in minimal_host.cpp"
sed -n '/^```cpp$/,/^```$/p' "$SOURCE_DIR/README.md" >"$WORK/readme.cpp"
SNIPPET=$(cat "$WORK/snippet.example")
README_CODE=$(cat "$WORK/readme.cpp")
[[ "$README_CODE" == *"$SNIPPET"* ]] || fail "README.md does not hold the snippet of minimal_host.cpp verbatim"

echo "=== find_package(TraderHVR): examples/minimal_host out of tree"
cmake -S "$EXAMPLE" -B "$WORK/example" -DCMAKE_PREFIX_PATH="$PREFIX" >"$WORK/example.log" \
  || { cat "$WORK/example.log"; fail "configuring the example"; }
cmake --build "$WORK/example" -j 2 >>"$WORK/example.log" 2>&1 || { cat "$WORK/example.log"; fail "building the example"; }

echo "=== pkg-config traderhvr: the example with -Wall -Wextra -Wshadow -Werror"
export PKG_CONFIG_PATH="$PREFIX/lib/pkgconfig"
MODULE=$(pkg-config --variable=module traderhvr)
[ -f "$MODULE" ] || fail "pkg-config's module '$MODULE' is not a file"
# shellcheck disable=SC2046
g++ -std=c++14 -Wall -Wextra -Wshadow -Werror $(pkg-config --cflags traderhvr) -DTRADERHVR_MODULE="\"$MODULE\"" \
  "$EXAMPLE/minimal_host.cpp" -o "$WORK/minimal_host_pc" -ldl -pthread || fail "compiling with pkg-config's flags"

echo "=== the example against hvr-sim"
start_sim "$PREFIX/bin/hvr-sim" "$WORK" || fail "hvr-sim did not start listening"
(cd "$WORK" && "$WORK/example/minimal_host" 127.0.0.1 "$SIM_PORT") | tee "$WORK/example.out" \
  || fail "minimal_host failed"
grep -q '^answer: order .* accepted' "$WORK/example.out" || fail "no accepted answer"
grep -q '^trade push: ' "$WORK/example.out" || fail "no trade push"
grep -q "^order push: .* state 0 " "$WORK/example.out" || fail "no push of the filled order"
# The module's GBK log lines, read with the installed helper <traderhvr/LogText.h>.
grep -q '^log 102: \[TraderHVR\]连接成功$' "$WORK/example.out" || fail "no log line in UTF-8"

echo "=== init's exception is caught: a host name is refused with a message, not an abort"
set +e
"$WORK/example/minimal_host" localhost "$SIM_PORT" >"$WORK/refused.out" 2>&1
status=$?
set -e
[ "$status" -eq 1 ] || { cat "$WORK/refused.out"; fail "minimal_host with a host name exited $status, not 1"; }
grep -q '^init: .*numeric IPv4 or IPv6' "$WORK/refused.out" || { cat "$WORK/refused.out"; fail "no init message"; }

echo "=== the installed hvr-host finds the installed module"
printf 'connect\nlogin demo demo\nfunds\nwait\n' >"$WORK/funds.script"
"$PREFIX/bin/hvr-host" --port "$SIM_PORT" --folder "$WORK/flow/" --script "$WORK/funds.script" >"$WORK/host.out" 2>&1 \
  || { cat "$WORK/host.out"; fail "the installed hvr-host failed"; }
grep -q 'funds:' "$WORK/host.out" || { cat "$WORK/host.out"; fail "no funds answer from the installed hvr-host"; }

echo "check-install: all steps passed"
