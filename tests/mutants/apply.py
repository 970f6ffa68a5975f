#!/usr/bin/env python3
"""Applies a mutant patch that is anchored on a function rather than on line
numbers, so that it survives code moving around it.

A patch is a header ("Key: text" lines: Mutant, Promise, Tests) and hunks:

    @@ trader/Link.cpp: void Link::reportAttemptResult(
         if (code == 0) newestConnectedReported = attempt;
    +    if (code == ECONNREFUSED) return;
         reporter.event(0, code);

The hunk header names the file and an anchor: text found on exactly one line
of that file, the first line of the function the hunk changes. The body is as
in a unified diff: ' ' a line kept, '-' a line removed, '+' a line added. The
kept and removed lines, in order, must occur exactly once between the anchor
and the end of its function (the next line that starts with '}' in the first
column); they are compared without leading and trailing blanks, so the hunk
still applies after the code was re-indented or moved to another place in the
file. Added lines are written as they stand. Hunks apply in order, each to the
result of the ones before it.

A patch without such hunks is a plain unified diff; the callers apply it with
patch(1) as before.

    apply.py anchored PATCH      exit 0 when PATCH is anchored
    apply.py files PATCH         the files PATCH changes, one a line
    apply.py check SRC PATCH     whether PATCH applies to the tree SRC
    apply.py apply SRC PATCH     applies it in place
"""

import os
import re
import sys

HUNK = re.compile(r"^@@ (?!-\d)(\S+?): (.+)$")


class Stale(Exception):
    pass


def parse(patch_path):
    hunks = []
    with open(patch_path, encoding="utf-8") as f:
        for raw in f.read().split("\n"):
            m = HUNK.match(raw)
            if m:
                hunks.append({"file": m.group(1), "anchor": m.group(2).rstrip(), "lines": []})
            elif hunks:
                hunks[-1]["lines"].append(raw)
    for h in hunks:
        while h["lines"] and h["lines"][-1].strip() == "":
            h["lines"].pop()
        for line in h["lines"]:
            if line and line[0] not in " +-":
                raise Stale("%s: a hunk line must start with ' ', '-' or '+': %r" % (h["file"], line))
        if not any(line[:1] in ("", " ", "-") for line in h["lines"]):
            raise Stale("%s: a hunk needs at least one kept or removed line to find its place" % h["file"])
    return hunks


def apply_hunk(lines, hunk):
    anchor = hunk["anchor"]
    at = [i for i, line in enumerate(lines) if anchor in line]
    if len(at) != 1:
        raise Stale("%s: anchor %r found on %d lines, not 1" % (hunk["file"], anchor, len(at)))
    start = at[0]
    end = len(lines)
    for i in range(start + 1, len(lines)):
        if lines[i].startswith("}"):
            end = i + 1
            break
    old = [line[1:] for line in hunk["lines"] if line[:1] in ("", " ", "-")]
    wanted = [line.strip() for line in old]
    places = [
        i for i in range(start, end - len(wanted) + 1)
        if [line.strip() for line in lines[i:i + len(wanted)]] == wanted
    ]
    if len(places) != 1:
        raise Stale("%s: the lines of the hunk at %r found %d times in its function, not once"
                    % (hunk["file"], anchor, len(places)))
    at = places[0]
    out = []
    for line in hunk["lines"]:
        kind = line[:1]
        if kind in ("", " "):
            out.append(lines[at])
            at += 1
        elif kind == "-":
            at += 1
        else:
            out.append(line[1:])
    return lines[:places[0]] + out + lines[at:]


def apply(src, patch_path, write):
    hunks = parse(patch_path)
    if not hunks:
        raise Stale("no anchored hunks")
    results = {}
    for h in hunks:
        path = os.path.join(src, h["file"])
        if h["file"] not in results:
            if not os.path.isfile(path):
                raise Stale("%s: no such file" % h["file"])
            with open(path, encoding="utf-8") as f:
                results[h["file"]] = f.read().split("\n")
        results[h["file"]] = apply_hunk(results[h["file"]], h)
    if write:
        for name, lines in results.items():
            with open(os.path.join(src, name), "w", encoding="utf-8") as f:
                f.write("\n".join(lines))


def main(argv):
    try:
        if len(argv) == 3 and argv[1] == "anchored":
            with open(argv[2], encoding="utf-8") as f:
                return 0 if any(HUNK.match(line) for line in f.read().split("\n")) else 1
        if len(argv) == 3 and argv[1] == "files":
            for name in dict.fromkeys(h["file"] for h in parse(argv[2])):
                print(name)
            return 0
        if len(argv) == 4 and argv[1] in ("check", "apply"):
            apply(argv[2], argv[3], write=argv[1] == "apply")
            return 0
    except Stale as e:
        print(e, file=sys.stderr)
        return 1
    print(__doc__.split("\n\n")[-1], file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
