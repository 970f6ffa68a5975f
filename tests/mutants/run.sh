#!/usr/bin/env bash
# The mutation score: each tests/mutants/*.patch is one deliberate fault,
# anchored on the function it changes (tests/mutants/apply.py says how) or,
# the older way, a unified diff applied with patch -p1 --fuzz=0. Every one is
# applied in turn to a scratch copy of the source tree
# (BUILD/src, built in BUILD/build and kept between runs, so that only what a
# patch touches is compiled again), the module and the soak driver are built,
# the soak runs with a fixed seed until it fails or its time is up, and the
# tests the patch names (its "Tests:" line, a ctest regex) run as well.
#
# A patch that changes the simulator (sim/) is a fault of the server the soak
# runs against: the mutated hvr-sim is built in the scratch tree and the soak
# starts that one instead of SIM.
#
# A patch's header may also say "Soak: no": a fault outside the module (the
# hosts' session core) that the soak does not drive. Then only the tests it
# names run, after building the targets of its "Targets:" line (default:
# e2e_tests), and they alone must kill it.
#
#   tests/mutants/run.sh SIM [options] [NAME...]
#     SIM                the hvr-sim binary the soak starts (unmutated)
#     --build DIR        scratch copy and build directory (build-mutants)
#     --seconds N        soak time per mutant (60)
#     --soak-seed N      the soak's seed (7)
#     --pick N --seed S  run N mutants drawn with seed S instead of all
#     NAME...            run these mutants only (file names without .patch)
#
# Prints one line per mutant, "killed in N s" or "survived", then "killed K
# of N". Exit status 0 when every mutant run was killed (by the soak, or by
# its tests for a "Soak: no" mutant).
set -uo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
src="$(cd "$here/../.." && pwd)"
sim="$1"
shift
work="$src/build-mutants"
seconds=60
soakSeed=7
pick=0
pickSeed=0
names=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build) work="$2"; shift 2 ;;
    --seconds) seconds="$2"; shift 2 ;;
    --soak-seed) soakSeed="$2"; shift 2 ;;
    --pick) pick="$2"; shift 2 ;;
    --seed) pickSeed="$2"; shift 2 ;;
    *) names+=("$1"); shift ;;
  esac
done
jobs="${JOBS:-2}"

mapfile -t all < <(cd "$here" && ls -1 *.patch | sed 's/\.patch$//' | sort)
if [ ${#names[@]} -eq 0 ]; then names=("${all[@]}"); fi
if [ "$pick" -gt 0 ]; then
  # The same seed picks the same mutants.
  mapfile -t names < <(printf '%s\n' "${names[@]}" | awk -v seed="$pickSeed" 'BEGIN { srand(seed) } { print rand() "\t" $0 }' |
    sort -n | head -n "$pick" | cut -f2)
fi

scratch="$work/src"
build="$work/build"
mkdir -p "$scratch" "$build"

# Makes the scratch copy equal to the source tree, once per run (edits made
# while it runs do not reach it); a file that differs is copied with a new
# time stamp, so that the build compiles it again.
sync_tree() {
  (cd "$src" && find . \( -path './build*' -o -path './.git' -o -name '__pycache__' \) -prune -o -type f -print) |
    while IFS= read -r f; do
      if ! cmp -s "$src/$f" "$scratch/$f"; then
        mkdir -p "$(dirname "$scratch/$f")"
        cp "$src/$f" "$scratch/$f"
      fi
    done
}

# Each line of a patch's header is "Key: text".
header() { sed -n "s/^$2: //p" "$1" | head -n 1; }

sync_tree
launcher=()
if command -v ccache > /dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
# The tools are configured for the tests of the hosts' mutants; only the
# targets a mutant needs are built.
if ! cmake -S "$scratch" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHVR_BUILD_TOOLS=ON \
    -DHVR_BUILD_PYTHON=OFF "${launcher[@]}" > "$work/configure.log" 2>&1; then
  echo "mutants: cannot configure the scratch build (see $work/configure.log)" >&2
  exit 2
fi

killed=0
total=0
for name in "${names[@]}"; do
  patchFile="$here/$name.patch"
  if [ ! -f "$patchFile" ]; then
    echo "mutants: no mutant $name" >&2
    exit 2
  fi
  total=$((total + 1))
  # The files the patch changes, kept to be put back afterwards (with a new
  # time stamp, so that the next build compiles them again).
  if python3 "$here/apply.py" anchored "$patchFile"; then
    anchored=1
    mapfile -t touched < <(python3 "$here/apply.py" files "$patchFile")
  else
    anchored=0
    mapfile -t touched < <(sed -n 's|^+++ b/||p' "$patchFile")
  fi
  saved="$work/saved"
  rm -rf "$saved"
  for f in "${touched[@]}"; do
    mkdir -p "$(dirname "$saved/$f")"
    cp "$scratch/$f" "$saved/$f"
  done
  restore() {
    for f in "${touched[@]}"; do cp "$saved/$f" "$scratch/$f"; done
  }
  if [ "$anchored" -eq 1 ]; then
    python3 "$here/apply.py" apply "$scratch" "$patchFile" > "$work/$name.patch.log" 2>&1
  else
    patch -p1 --fuzz=0 -s --no-backup-if-mismatch -d "$scratch" < "$patchFile" > "$work/$name.patch.log" 2>&1
  fi
  if [ $? -ne 0 ]; then
    printf '%-44s does not apply (see %s)\n' "$name" "$work/$name.patch.log"
    restore
    continue
  fi
  tests="$(header "$patchFile" Tests)"
  soak="$(header "$patchFile" Soak)"
  read -r -a testTargets <<< "$(header "$patchFile" Targets)"
  if [ ${#testTargets[@]} -eq 0 ]; then testTargets=(e2e_tests connection_seam_tests); fi
  if [ "$soak" = "no" ] && [ -z "$tests" ]; then
    printf '%-44s names no tests and no soak (see its header)\n' "$name"
    restore
    continue
  fi
  targets=(TraderHVR)
  if [ "$soak" != "no" ]; then targets+=(hvr-soak); fi
  soakSim="$sim"
  if printf '%s\n' "${touched[@]}" | grep -q '^sim/'; then
    targets+=(hvr-sim)
    soakSim="$build/sim/hvr-sim"
  fi
  if [ -n "$tests" ]; then targets+=("${testTargets[@]}"); fi
  if ! cmake --build "$build" -j "$jobs" --target "${targets[@]}" > "$work/$name.build.log" 2>&1; then
    printf '%-44s does not build (see %s)\n' "$name" "$work/$name.build.log"
    restore
    continue
  fi

  start=$(date +%s.%N)
  status=0
  if [ "$soak" != "no" ]; then
    timeout $((seconds + 150)) "$build/tests/soak/hvr-soak" --module "$build/libTraderHVR.so" --sim "$soakSim" \
      --seconds "$seconds" --seed "$soakSeed" > "$work/$name.soak.log" 2>&1
    status=$?
  fi
  elapsed=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.0f", e - s }')
  testVerdict=""
  testsKilled=0
  if [ -n "$tests" ]; then
    if (cd "$build" && ctest -R "$tests" --timeout 120 > "$work/$name.tests.log" 2>&1); then
      testVerdict="; tests $tests: passed"
    else
      testVerdict="; tests $tests: killed"
      testsKilled=1
    fi
  fi
  if [ "$soak" = "no" ]; then
    # No soak for this one: its tests alone decide.
    elapsed=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.0f", e - s }')
    if [ "$testsKilled" -eq 1 ]; then
      killed=$((killed + 1))
      why="$(grep -m1 -E '^[[:space:]]+[0-9]+ - .* \((Failed|Timeout)\)' "$work/$name.tests.log" |
        sed -E 's/^[[:space:]]+[0-9]+ - //; s/ \((Failed|Timeout)\)$//' | cut -c1-110)"
      printf '%-44s killed in %s s by its tests (%s)\n' "$name" "$elapsed" "${why:-see $work/$name.tests.log}"
    else
      printf '%-44s survived its tests %s\n' "$name" "$tests"
    fi
  elif [ "$status" -ne 0 ]; then
    killed=$((killed + 1))
    # What failed: the soak's own line, and its first violation if it lists any.
    why="$(awk '/hvr-soak FAILED/ { f = 1; next } f && /^  - / { sub(/^  - /, ""); print; exit }
                f && what == "" && NF { what = $0; sub(/^ +/, "", what) }
                END { if (what != "" && !printed) {} }' "$work/$name.soak.log" | cut -c1-110)"
    if [ -z "$why" ]; then
      why="$(awk '/FAILED/ { f = 1; next } f && NF { sub(/^ +/, ""); print; exit }' "$work/$name.soak.log" | cut -c1-110)"
    fi
    [ -n "$why" ] || why="exit status $status"
    printf '%-44s killed in %s s (%s)%s\n' "$name" "$elapsed" "$why" "$testVerdict"
  else
    printf '%-44s survived %s s of soak%s\n' "$name" "$elapsed" "$testVerdict"
  fi
  restore
done
echo "killed $killed of $total"
[ "$killed" -eq "$total" ]
