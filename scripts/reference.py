#!/usr/bin/env python3
"""Renders the checks of docs/checks.json, the one list of what each operation
checks and answers, into README.md and the manual page, between their markers,
so that neither can drift from the other.

    python3 scripts/reference.py           rewrites both
    python3 scripts/reference.py --check   exits 1, naming them, when either differs
"""
import json
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
CHECKS = json.loads((ROOT / "docs/checks.json").read_text())
TARGETS = {
    "README.md": ("<!-- checks: begin (generated from docs/checks.json by scripts/reference.py) -->\n",
                  "<!-- checks: end -->\n"),
    "docs/BrindellFileSync.1.in": ('.\\" checks: begin (generated from docs/checks.json by scripts/reference.py)\n',
                                   '.\\" checks: end\n'),
}


def markdown():
    lines = []
    for table in CHECKS["tables"]:
        lines += [f"#### {table['title']}", ""]
        if table["for"]:
            lines += [table["for"] + ".", ""]
        if table["checks"]:
            lines += ["| check | code | message |", "|---|---|---|"]
            lines += [f"| {check} | `{code}` | {message} |" if code else f"| *{check}* | | |"
                      for check, code, message, _ in table["checks"]]
            lines.append("")
    return "\n".join(lines)


def roff():
    def text(words):  # a line roff takes as text, whatever it begins with
        return "\\&" + words.replace("\\", "\\e")
    lines = []
    for table in CHECKS["tables"]:
        lines += [f".SS {table['title']}"]
        if table["for"]:
            lines.append(text(table["for"] + "."))
        for check, code, message, _ in table["checks"]:
            lines += [".IP \\(bu 2", text(check + (":" if code else ""))]
            lines += [f".B {code}", text(f"\"{message}\"")] if code else []
    return "\n".join(lines) + "\n"


def rendered(path, current):
    begin, end = TARGETS[path]
    head, rest = current.split(begin, 1)
    _, tail = rest.split(end, 1)
    return head + begin + (markdown() if path.endswith(".md") else roff()) + end + tail


def stale():
    """The targets whose text differs from the rendering."""
    return [path for path in TARGETS if rendered(path, (ROOT / path).read_text()) != (ROOT / path).read_text()]


if __name__ == "__main__":
    if sys.argv[1:] == ["--check"]:
        differing = stale()
        print("\n".join(f"{path} differs from docs/checks.json" for path in differing))
        sys.exit(1 if differing else 0)
    for path in TARGETS:
        (ROOT / path).write_text(rendered(path, (ROOT / path).read_text()))
