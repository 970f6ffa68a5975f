#!/usr/bin/env python3
"""docs/log-lines.md lists every log line and every result-code text the
module has, as they read in UTF-8.

Reads the GBK byte strings from texts/LogText.h and texts/ErrorCodeText.cpp
(the bytes the module sends, not their comments), decodes them and looks each
one up in the document. Exits 1 naming every text the document lacks.

    python3 tests/docs/check_texts.py SOURCE_DIR
"""

import pathlib
import re
import sys

LITERAL = re.compile(r'"((?:[^"\\]|\\.)*)"')


def c_bytes(literal: str) -> bytes:
    """A C string literal's bytes: \\xNN escapes and plain ASCII."""
    out = bytearray()
    i = 0
    while i < len(literal):
        if literal.startswith("\\x", i):
            out.append(int(literal[i + 2 : i + 4], 16))
            i += 4
        elif literal[i] == "\\":
            out.extend({"n": b"\n", "t": b"\t", "\\": b"\\", '"': b'"'}[literal[i + 1]])
            i += 2
        else:
            out.extend(literal[i].encode("ascii"))
            i += 1
    return bytes(out)


def log_lines(source: str) -> dict:
    lines = {}
    for match in re.finditer(r"inline constexpr const char (LOG_\w+)\[\] =\s*((?:\"(?:[^\"\\]|\\.)*\"\s*)+);", source):
        lines[match.group(1)] = b"".join(c_bytes(l) for l in LITERAL.findall(match.group(2))).decode("gbk")
    return lines


def code_texts(source: str) -> dict:
    texts = {m.group(1): c_bytes(m.group(2)).decode("gbk") for m in re.finditer(r"case (-?\d+): return \"((?:[^\"\\]|\\.)*)\";", source)}
    fallback = re.search(r"default: return \"((?:[^\"\\]|\\.)*)\";", source)
    texts["any other"] = c_bytes(fallback.group(1)).decode("gbk")
    return texts


def main() -> int:
    top = pathlib.Path(sys.argv[1])
    doc = (top / "docs" / "log-lines.md").read_text(encoding="utf-8")
    lines = log_lines((top / "texts" / "LogText.h").read_text(encoding="ascii", errors="replace"))
    codes = code_texts((top / "texts" / "ErrorCodeText.cpp").read_text(encoding="utf-8"))
    if len(lines) < 10 or len(codes) < 10:
        print(f"check_texts: found only {len(lines)} log lines and {len(codes)} code texts: the parser is stale")
        return 1
    missing = [f"log line {name}: `{text}`" for name, text in lines.items() if f"`{text}`" not in doc]
    missing += [
        f"result code {code}: `{text}`"
        for code, text in codes.items()
        if not re.search(rf"\| {re.escape(code)}[^|]* \| `{re.escape(text)}` \|", doc)
    ]
    for item in missing:
        print(f"docs/log-lines.md lacks {item}")
    if not missing:
        print(f"docs/log-lines.md lists all {len(lines)} log lines and {len(codes)} result-code texts")
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
