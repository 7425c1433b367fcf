#!/usr/bin/env python3
# What is published reads back intact, through the built executable. JSON objects generated from a
# fixed seed (nesting, every escape class, astral and non-ASCII text and keys, number literals of
# every form) are published into one sync folder: the stored file is the canonical encoding
# computed here independently; read answers exactly those bytes; the same object spelt otherwise
# (member order, whitespace, escapes) publishes again as "created": false; list reports every
# stored size. Each text is then damaged a byte or two at a time and stored as it is: read answers
# what a reference parser written here makes of it, the canonical encoding or the refusal, never
# anything in between.
#
#   python3 tests/request/round_trip_test.py HELPER [COUNT]
import json, os, pathlib, random, sys, tempfile  # noqa: E401

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "support"))
import brindell as b  # noqa: E402

SHORT = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t"}
TEXT = ["a", "/", "é", "日", "\u2028", "\U0001F389", "\x7f", " ", "\\", '"', *map(chr, range(32))]
NUMBERS = ["0", "-0", "1.0", "1.50", "1E2", "1e-7", "-12.5e+3", "0.10E+02", "1e400",
           "123456789012345678901234567890", "-18446744073709551617", "1e2147483648",
           "-1E-99999999999999999999", "0e99999999999999999999"]
# Bytes that sit on the edges of the grammar: structure, escapes, hexadecimal digits and their
# neighbours, number parts, control, and UTF-8 lead bytes.
EDGES = (b'{}[],:"\\/ \t\n\r0123456789-+.eE aAfFgG@`:/ubnrtxl'
         b"\x00\x1f\x7f\x80\xbf\xc0\xc3\xe0\xed\xef\xf0\xf4\xf5\xff")


class Number(str): pass  # a number literal, written exactly as it stands  # noqa: E701


# Members in the order of their keys' code points, which is the order of their UTF-8 bytes; text escaped only where
# it must be, short escapes where there are, as Python's encoder does.
def canonical(value):
    if isinstance(value, dict):
        return "{" + ",".join(canonical(k) + ":" + canonical(v) for k, v in sorted(value.items())) + "}"
    if isinstance(value, list):
        return "[" + ",".join(map(canonical, value)) + "]"
    return value if isinstance(value, Number) else json.dumps(value, ensure_ascii=False)


def respelt(value, rng):  # another text of the same value: shuffled members, whitespace, escapes
    space = lambda: rng.choice(["", " ", "\n", "\t ", "\r\n"])  # noqa: E731
    if isinstance(value, Number):
        return value
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
        return '"' + "".join(map(char, value)) + '"'
    if isinstance(value, dict):
        keys = list(value)
        rng.shuffle(keys)
        members = (respelt(k, rng) + space() + ":" + space() + respelt(value[k], rng) for k in keys)
        return "{" + space() + ",".join(members) + space() + "}"
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


def damaged(text, rng):
    for _ in range(rng.choice([1, 1, 2])):
        at, cut = rng.randrange(len(text) + 1), rng.choice([0, 1, 1, 2, 4])
        text = text[:at] + bytes([rng.choice(EDGES)]) * rng.randrange(2) + text[at + cut:]
    return text


# The reference: what read answers for a stored `text`, by Python's parser held to the helper's
# rules: no constants, no duplicate keys, numbers kept as written, no lone surrogates (which cannot
# be encoded back to UTF-8).
def read_answer(text):
    def refuse(pairs=()):
        if len(dict(pairs)) < len(pairs) or not isinstance(pairs, list):
            raise ValueError
        return dict(pairs)
    try:
        value = json.loads(text.decode(), object_pairs_hook=refuse, parse_constant=refuse, parse_int=Number,
                           parse_float=Number)
        encoded = canonical(value).encode()
    except (ValueError, RecursionError):
        return b.refusal("invalid_json")
    return b.success(encoded.decode()) if isinstance(value, dict) else b.refusal("not_object")


def check_round_trips():
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    rng, spoiler, sizes = random.Random(20261206), random.Random(20261207), {}
    with tempfile.TemporaryDirectory() as parent:
        folder = os.path.join(parent, b.folder_name())
        b.run({"operation": "create", "folder": parent, "workspaceId": b.WORKSPACE})
        damaged_file = pathlib.Path(folder, b.history_name("damaged"))
        damaged_file.touch(0o600)  # written by no one else, whatever the umask
        for i in range(count):
            content = generate(rng, 1) if i else {}
            content = content if isinstance(content, dict) else {"value": content}
            content["workspaceId"] = b.WORKSPACE
            name, text = b.history_name(i), canonical(content)
            publish = '{"operation":"publish","folder":%s,"name":"%s","content":' % (json.dumps(folder), name)
            label = f"object {i}, {text[:300]!r}"
            done = b.run(publish + text + "}")
            b.expect(b.answered(done, b.published(True, name)), f"{label}: publish", done)
            sizes[name] = len(stored := pathlib.Path(folder, name).read_bytes())
            b.expect(stored == text.encode(), f"{label}: stored", stored)
            done = b.run({"operation": "read", "folder": folder, "name": name})
            b.expect(b.answered(done, b.success(text)), f"{label}: read", done)
            done = b.run(publish + respelt(content, rng) + "}")
            b.expect(b.answered(done, b.published(False, name)), f"{label}: respelt", done)
            for _ in range(2):
                damaged_file.write_bytes(spoilt := damaged(text.encode(), spoiler))
                done = b.run({"operation": "read", "folder": folder, "name": damaged_file.name})
                b.expect(b.answered(done, read_answer(spoilt)), f"damaged {spoilt!r}", done)
        damaged_file.unlink()
        done = b.run({"operation": "list", "folder": folder})
        b.expect(b.answered(done, b.listed(sizes)), "list", done)


if __name__ == "__main__":
    b.test(check_round_trips)
