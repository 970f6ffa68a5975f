"""The meaning of the module's log lines, for the records of the "traderhvr"
logger.

The module logs in Chinese. Its lines and their meanings are documented in
log-lines.md, which travels inside this package (the project's
docs/log-lines.md, copied in by the build): each row gives a line's printf
template, its level and a short English gloss ("connected", "receive error:
text (code), reconnecting in N seconds"). ``gloss()`` finds the row whose
template a line matches and returns that gloss, so a log aggregator can read
the line without knowing Chinese. The table is read once, on first use; a
package without the file (a source checkout that was never built) glosses
nothing.
"""

from __future__ import annotations

import functools
import os
import re
from typing import List, Optional, Tuple

DOCUMENT = "log-lines.md"

# A printf field of the module's templates, and what it matches.
_FIELD = re.compile(r"%(?:\.17g|llu|lld|[sdu])")
_FIELD_PATTERN = {"%s": r".*?", "%d": r"-?\d+", "%u": r"\d+", "%llu": r"\d+", "%lld": r"-?\d+", "%.17g": r"\S+"}
# | 102 | `[TraderHVR]连接成功` | "connected" — the connection is up ... |
_ROW = re.compile(r'^\|\s*(10[234])\s*\|\s*`([^`]+)`\s*\|\s*"([^"]+)"')


def _template_pattern(template: str) -> "re.Pattern[str]":
    parts: List[str] = []
    at = 0
    for field in _FIELD.finditer(template):
        parts.append(re.escape(template[at : field.start()]))
        parts.append(_FIELD_PATTERN[field.group(0)])
        at = field.end()
    parts.append(re.escape(template[at:]))
    return re.compile("".join(parts), re.DOTALL)


def parse(document: str) -> List[Tuple[int, str, str]]:
    """(level, template, gloss) of every log line the document lists, in
    its order; the tables under "## Log lines" only."""
    rows: List[Tuple[int, str, str]] = []
    in_log_lines = False
    for line in document.splitlines():
        if line.startswith("## "):
            in_log_lines = line.strip() == "## Log lines"
            continue
        match = _ROW.match(line) if in_log_lines else None
        if match:
            rows.append((int(match.group(1)), match.group(2), match.group(3)))
    return rows


@functools.lru_cache(maxsize=1)
def _table() -> Tuple[Tuple["re.Pattern[str]", str], ...]:
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), DOCUMENT)
    try:
        with open(path, encoding="utf-8") as file:
            rows = parse(file.read())
    except OSError:
        return ()
    # The most specific template first: the longest text outside its fields.
    rows.sort(key=lambda row: -len(_FIELD.sub("", row[1])))
    return tuple((_template_pattern(template), meaning) for _, template, meaning in rows)


def gloss(text: str) -> Optional[str]:
    """The English gloss of one of the module's log lines (UTF-8 text), or
    None when log-lines.md lists no such line."""
    for pattern, meaning in _table():
        if pattern.fullmatch(text):
            return meaning
    return None


__all__ = ["gloss", "parse"]
