#!/usr/bin/env bash
# Checks that every mutant patch still applies to the source tree SRC (an
# anchored one as tests/mutants/apply.py applies it, a unified diff without
# fuzz): a change to the module that makes one stale fails here, loudly,
# rather than leaving a mutant that no longer tests anything.
set -uo pipefail
src="$1"
here="$(cd "$(dirname "$0")" && pwd)"
status=0
count=0
for p in "$here"/*.patch; do
  count=$((count + 1))
  if python3 "$here/apply.py" anchored "$p"; then
    out="$(python3 "$here/apply.py" check "$src" "$p" 2>&1)"
  else
    out="$(patch -p1 --dry-run --fuzz=0 -s -d "$src" < "$p" 2>&1)"
  fi
  if [ $? -ne 0 ]; then
    echo "stale mutant $(basename "$p"): $out"
    status=1
  fi
  for key in Mutant Promise; do
    grep -q "^$key: " "$p" || { echo "mutant $(basename "$p") has no '$key:' line"; status=1; }
  done
done
if [ "$count" -lt 12 ]; then
  echo "only $count mutants; the soak's promises need at least 12"
  status=1
fi
[ "$status" -eq 0 ] && echo "$count mutant patches apply"
exit "$status"
