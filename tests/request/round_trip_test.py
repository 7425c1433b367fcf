#!/usr/bin/env python3
"""What is published reads back intact, through the real executable.

Generates JSON objects from a fixed seed (nesting, every escape class, astral
and non-ASCII text and keys, number literals of every form), publishes each
into one sync folder and checks: the stored file is the canonical encoding
computed here independently; read answers exactly those bytes in the
envelope; the same object spelt differently (member order, whitespace,
escapes) publishes again as "created": false; list reports every stored size.

Then it damages such texts a byte or two at a time and stores them as they
are: read must answer what a reference parser written here makes of them,
the canonical encoding or the refusal, never anything in between.

Usage: round_trip_test.py HELPER [COUNT]
"""
import json
import os
import random
import subprocess
import sys
import tempfile

WORKSPACE = "0f8fad5b-d9cb-469f-a165-70867728950e"
SHORT = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t"}
TEXT = ["a", "/", "é", "日", "\u2028", "\U0001F389", "\x7f", " ", "\\", '"'] + [chr(c) for c in range(32)]
NUMBERS = ["0", "-0", "1.0", "1.50", "1E2", "1e-7", "-12.5e+3", "0.10E+02", "1e400",
           "123456789012345678901234567890", "-18446744073709551617", "1e2147483648",
           "-1E-99999999999999999999", "0e99999999999999999999"]


class Number(str):
    """A number literal, written exactly as it stands."""


def canonical(value):
    if isinstance(value, Number):
        return str(value)
    if isinstance(value, str):
        return '"' + "".join(SHORT.get(c) or (f"\\u{ord(c):04x}" if c < " " else c)
                             for c in value) + '"'
    if isinstance(value, dict):
        return "{" + ",".join(canonical(k) + ":" + canonical(value[k])
                              for k in sorted(value, key=lambda k: k.encode())) + "}"
    if isinstance(value, list):
        return "[" + ",".join(canonical(v) for v in value) + "]"
    return {True: "true", False: "false", None: "null"}[value]


def respelt(value, rng):
    """Another text of the same value: shuffled members, whitespace, escapes."""
    space = lambda: rng.choice(["", " ", "\n", "\t ", "\r\n"])
    if isinstance(value, Number):
        return str(value)
    if isinstance(value, str):
        def char(c):
            if c in '"\\' or c < " ":
                return rng.choice([SHORT.get(c, f"\\u{ord(c):04x}"), f"\\u{ord(c):04X}"])
            if ord(c) > 0xFFFF:
                high, low = divmod(ord(c) - 0x10000, 0x400)
                return rng.choice([c, f"\\u{0xD800 + high:04X}\\u{0xDC00 + low:04x}"])
            if c == "/" or c > "~" or rng.random() < 0.1:
                return rng.choice([f"\\u{ord(c):04x}", "\\/" if c == "/" else c])
            return c
        return '"' + "".join(char(c) for c in value) + '"'
    if isinstance(value, dict):
        keys = list(value)
        rng.shuffle(keys)
        return ("{" + space() + ",".join(respelt(k, rng) + space() + ":" + space() +
                                         respelt(value[k], rng) for k in keys) + space() + "}")
    if isinstance(value, list):
        return "[" + ",".join(space() + respelt(v, rng) + space() for v in value) + "]"
    return canonical(value)


def generate(rng, depth=0):
    kind = rng.randrange(7 if depth < 4 else 4)
    if kind == 0:
        return Number(rng.choice(NUMBERS + [str(rng.getrandbits(200))]))
    if kind == 1:
        return "".join(rng.choice(TEXT) for _ in range(rng.randrange(12)))
    if kind == 2:
        return rng.choice([True, False, None])
    if kind == 3:
        return "plain text " * rng.randrange(3)
    if kind == 4:
        return [generate(rng, depth + 1) for _ in range(rng.randrange(5))]
    return {"".join(rng.choice(TEXT) for _ in range(rng.randrange(4))): generate(rng, depth + 1)
            for _ in range(rng.randrange(6))}


def ask(helper, request):
    run = subprocess.run([helper], input=request.encode(), capture_output=True, check=False)
    assert run.stderr == b"", run.stderr
    return run.returncode, run.stdout


INVALID = b'{"ok":false,"error":{"code":"SYNC_INVALID_FILE","message":"A sync file contains invalid JSON. ' \
    b'Preserve it for inspection; local workspace data is unchanged."}}\n'
NOT_OBJECT = b'{"ok":false,"error":{"code":"SYNC_INVALID_FILE","message":"A sync file must contain one JSON object."}}\n'
# Bytes that sit on the edges of the grammar: structure, escapes, hexadecimal
# digits and their neighbours, number parts, control, and UTF-8 lead bytes.
EDGES = b'{}[],:"\\/ \t\n\r0123456789-+.eE aAfFgG@`:/ubnrtxl\x00\x1f\x7f\x80\xbf\xc0\xc3\xe0\xed\xef\xf0\xf4\xf5\xff'


def damaged(text, rng):
    for _ in range(rng.choice([1, 1, 2])):
        at = rng.randrange(len(text) + 1)
        cut = rng.choice([0, 1, 1, 2, 4])
        text = text[:at] + bytes([rng.choice(EDGES)]) * rng.randrange(2) + text[at + cut:]
    return text


def expected_answer(text):
    """The reference: Python's parser held to the helper's rules (no constants,
    no duplicate keys, no lone surrogates, numbers kept as written)."""
    def pairs(members):
        if len({k for k, _ in members}) != len(members):
            raise ValueError
        return dict(members)

    def refuse(_):
        raise ValueError

    def strings(value):  # every string of a parsed value, keys included
        if isinstance(value, dict):
            return [s for key, item in value.items() for s in [key, *strings(item)]]
        if isinstance(value, list):
            return [s for item in value for s in strings(item)]
        return [value] if isinstance(value, str) and not isinstance(value, Number) else []
    try:
        value = json.loads(text.decode(), object_pairs_hook=pairs, parse_constant=refuse,
                           parse_int=Number, parse_float=Number)
        if any(0xD800 <= ord(c) <= 0xDFFF for text in strings(value) for c in text):
            raise ValueError
    except (ValueError, RecursionError):
        return INVALID
    return b'{"ok":true,"result":' + canonical(value).encode() + b"}\n" if isinstance(value, dict) \
        else NOT_OBJECT


def main():
    helper, count = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 200
    rng = random.Random(20261206)
    sizes, failures = {}, 0
    with tempfile.TemporaryDirectory() as parent:
        status, out = ask(helper, json.dumps({"operation": "create", "folder": parent,
                                              "workspaceId": WORKSPACE}))
        folder = json.loads(out)["result"]["folder"]
        prefix = '{"operation":"publish","folder":' + json.dumps(folder) + ',"name":'
        for i in range(count):
            content = generate(rng, 1) if i else {}
            content = content if isinstance(content, dict) else {"value": content}
            content["workspaceId"] = WORKSPACE
            name = f"{WORKSPACE}-{i:064x}.brindell-history.json"
            expected = canonical(content)
            published = ask(helper, prefix + json.dumps(name) + ',"content":' + canonical(content) + "}")
            read = ask(helper, json.dumps({"operation": "read", "folder": folder, "name": name}))
            again = ask(helper, prefix + json.dumps(name) + ',"content":' + respelt(content, rng) + "}")
            with open(os.path.join(folder, name), "rb") as stored:
                on_disk = stored.read()
            sizes[name] = len(on_disk)
            checks = [
                (published[0] == 0 and b'"created":true' in published[1], published),
                (on_disk == expected.encode(), on_disk),
                (read == (0, b'{"ok":true,"result":' + expected.encode() + b"}\n"), read),
                (again[0] == 0 and b'"created":false' in again[1], again),
            ]
            for passed, seen in checks:
                if not passed:
                    failures += 1
                    print(f"object {i}: expected {expected!r}\n  saw {seen!r}")
                    break
        status, out = ask(helper, json.dumps({"operation": "list", "folder": folder}))
        listed = {f["name"]: f["size"] for f in json.loads(out)["result"]["files"]}
        if listed != sizes:
            failures += 1
            print("list sizes differ from the stored files")
    print(f"{count * 6 + 1 - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
