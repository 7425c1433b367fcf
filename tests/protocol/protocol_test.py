#!/usr/bin/env python3
"""What a client relies on, through the built executable: every answer it can
give outside a cloud drive matches docs/response.schema.json (and the request
that caused it docs/request.schema.json exactly when the request was well
formed), the example client works and knows every code, and the command line
answers a person at a shell.

    python3 tests/protocol/protocol_test.py HELPER VERSION
"""
import hashlib
import importlib.util
import json
import os
import pathlib
import pty
import re
import subprocess
import sys
import tempfile
import types
import unittest

import jsonschema

ROOT = pathlib.Path(__file__).resolve().parents[2]
HELPER, VERSION = "", ""
WORKSPACE, OTHER = "0f8fad5b-d9cb-469f-a165-70867728950e", "7c9e6679-7425-40de-944b-e07fc1f90ae7"
LIMIT = 7_405_568


def schema(name):
    return json.loads((ROOT / "docs" / name).read_text())


def history_name(tag):
    return f"{WORKSPACE}-{hashlib.sha256(tag.encode()).hexdigest()}.brindell-history.json"


NAME = history_name("a")
CONTENT = {"workspaceId": WORKSPACE, "at": 1.5}
STORED = json.dumps(CONTENT)


class Link(str):
    """A symbolic link to this target, in a row's folder."""


def run(arguments=(), data=b"", stdin=None, timeout=60):
    return subprocess.run([HELPER, *arguments], input=None if stdin is not None else data,
                          stdin=stdin, capture_output=True, timeout=timeout)


# Each row: what the sync folder holds besides its manifest (file texts,
# links), the request ("$" is the sync folder, "^" its parent) and the code of
# the answer (None: success, checked against its operation's answer too).
# Rows whose request is malformed in itself are marked; the request schema
# must refuse exactly those.
MALFORMED = "malformed"
ROWS = [
    ("create", {}, {"op": "create", "folder": "^", "workspaceId": OTHER}, None),
    ("list", {NAME: STORED}, {"operation": "list", "folder": "$", "x": 1}, None),
    # Numbers are answered as they were written.
    ("read", {NAME: '{"at":1.50,"workspaceId":"%s"}' % WORKSPACE},
     {"operation": "read", "folder": "$", "name": NAME}, None),
    ("publish", {}, {"operation": "publish", "folder": "$", "name": NAME, "content": CONTENT},
     None),
    ("publish again", {NAME: STORED},
     {"operation": "publish", "folder": "$", "name": NAME, "content": CONTENT}, None),
    ("not json", {}, b"{", "SYNC_INVALID_FILE"),
    ("operation wins over op", {}, {"operation": "Read", "op": "list", "folder": "$"},
     "SYNC_INVALID_REQUEST", MALFORMED),
    ("no workspace", {}, {"op": "create", "folder": "^"}, "SYNC_INVALID_REQUEST", MALFORMED),
    ("relative", {}, {"op": "list", "folder": "tmp"}, "SYNC_UNSAFE_PATH", MALFORMED),
    ("traversal", {}, {"op": "list", "folder": "$/.."}, "SYNC_UNSAFE_PATH", MALFORMED),
    ("root", {}, {"op": "list", "folder": "//"}, "SYNC_UNSAFE_PATH", MALFORMED),
    ("bad name", {}, {"op": "read", "folder": "$", "name": "x.json"}, "SYNC_UNSAFE_PATH",
     MALFORMED),
    ("link", {"link": Link(".")}, {"op": "list", "folder": "$/link"}, "SYNC_UNSAFE_PATH"),
    ("missing folder", {}, {"op": "list", "folder": "$/absent"}, "SYNC_MISSING"),
    ("name too long", {}, {"op": "list", "folder": "$/" + "a" * 256}, "SYNC_IO"),
    ("request too large", {}, b" " * (LIMIT + 1), "SYNC_CAPACITY"),
    ("another workspace", {},
     {"op": "publish", "folder": "$", "name": NAME, "content": {"workspaceId": OTHER}},
     "SYNC_WORKSPACE_MISMATCH"),
    ("history missing", {}, {"op": "read", "folder": "$", "name": NAME}, "SYNC_DOWNLOAD_PENDING"),
    ("two copies", {NAME: STORED, f".{NAME}.icloud": ""}, {"op": "list", "folder": "$"},
     "SYNC_FILE_CONFLICT"),
    ("stray file", {"notes.txt": ""}, {"op": "list", "folder": "$"}, "SYNC_FOLDER_CONTENTS"),
    ("different content", {NAME: json.dumps({"workspaceId": WORKSPACE})},
     {"op": "publish", "folder": "$", "name": NAME, "content": CONTENT},
     "SYNC_IMMUTABLE_CONFLICT"),
    ("bad manifest", {"manifest.json": "{}"}, {"op": "list", "folder": "$"},
     "SYNC_UNSUPPORTED_MANIFEST"),
]


def prepared(parent, items, request):
    folder = parent / f"Brindell-{WORKSPACE}.brindell-sync"
    folder.mkdir()
    (folder / "manifest.json").write_text(json.dumps(
        {"format": "brindell-folder-sync", "version": 1, "workspaceId": WORKSPACE}))
    for name, text in items.items():
        if isinstance(text, Link):
            (folder / name).symlink_to(text)
        else:
            (folder / name).write_text(text)
    if isinstance(request, bytes):
        return request
    text = json.dumps(request).replace('"$', f'"{folder}').replace('"^"', f'"{parent}"')
    return text.encode()


class Protocol(unittest.TestCase):
    def test_answers_match_the_schemas(self):
        response, request_schema = schema("response.schema.json"), schema("request.schema.json")
        for document in (response, request_schema):
            jsonschema.Draft202012Validator.check_schema(document)
        answers = jsonschema.Draft202012Validator(response)
        requests = jsonschema.Draft202012Validator(request_schema)
        for label, items, request, code, *malformed in ROWS:
            with self.subTest(label), tempfile.TemporaryDirectory() as parent:
                data = prepared(pathlib.Path(parent), items, request)
                result = run(data=data)
                self.assertEqual((result.stdout.count(b"\n"), result.stderr), (1, b""))
                answer = json.loads(result.stdout)
                answers.validate(answer)
                self.assertEqual(result.returncode, 0 if code is None else 1)
                if code is None:
                    operation = request.get("operation") or request.get("op")
                    # Both the whole schema and the operation's own answer.
                    jsonschema.Draft202012Validator(
                        {**response, "$ref": f"#/$defs/{operation}Answer"}).validate(answer)
                    if operation == "read":
                        self.assertIn(b'{"at":1.50,', result.stdout)
                else:
                    self.assertEqual(answer["error"]["code"], code)
                if isinstance(request, dict):
                    self.assertEqual(requests.is_valid(json.loads(data)), not malformed)

    def test_every_code_of_the_helper_is_documented(self):
        sources = (ROOT / "src").rglob("*.cpp")
        codes = {code for path in sources for code in re.findall(r'"(SYNC_[A-Z_]+)"',
                                                                  path.read_text())}
        documented = set(schema("response.schema.json")["$defs"]["code"]["enum"])
        self.assertEqual(codes, documented)
        found = importlib.util.spec_from_file_location("client", ROOT / "examples/client.py")
        client = importlib.util.module_from_spec(found)
        found.loader.exec_module(client)
        self.assertEqual(set(client.ACTIONS), documented)
        # A pending item is waited for in a cloud drive only: outside one,
        # nothing is on its way.
        slept = []
        client.time = types.SimpleNamespace(sleep=slept.append)
        with tempfile.TemporaryDirectory() as parent:
            folder = client.ask(HELPER, {"op": "create", "folder": parent,
                                         "workspaceId": WORKSPACE})["folder"]
            for in_cloud_drive, waits in ((False, []), (True, list(client.DELAYS))):
                slept.clear()
                with self.assertRaises(client.Refused) as refused:
                    client.ask(HELPER, {"op": "read", "folder": folder, "name": NAME},
                               in_cloud_drive)
                self.assertEqual((refused.exception.code, slept), ("SYNC_DOWNLOAD_PENDING", waits))

    def test_example_client(self):
        client = ROOT / "examples" / "client.py"
        with tempfile.TemporaryDirectory() as parent:
            done = subprocess.run([sys.executable, client, parent, HELPER], capture_output=True,
                                  text=True, timeout=60)
            self.assertEqual((done.returncode, done.stderr), (0, ""))
            self.assertIn("read back equal: True", done.stdout)
            refused = subprocess.run([sys.executable, client, parent + "/absent", HELPER],
                                     capture_output=True, text=True, timeout=60)
            self.assertEqual(refused.returncode, 1)
            self.assertTrue(refused.stderr.startswith("SYNC_MISSING: "), refused.stderr)

    def test_command_line(self):
        usage = b"Usage: BrindellFileSync < request.json\n"
        cases = [  # arguments, exit status, standard output, start of standard error
            (["--version"], 0, f"BrindellFileSync {VERSION}\n".encode(), b""),
            (["--help"], 0, None, b""),
            (["--bogus"], 2, b"", b'BrindellFileSync: unknown argument "--bogus"; usage: '),
            (["--help", "x"], 2, b"", b'BrindellFileSync: unknown argument "x"; usage: '),
            ([], 2, b"", b"BrindellFileSync: the request is read from standard input"),
        ]
        for arguments, status, out, err in cases:
            with self.subTest(arguments):
                terminal, other = pty.openpty() if not arguments else (None, None)
                try:
                    # A helper that waited for a request here would never end.
                    result = run(arguments, data=b'{"op":"list","folder":"/"}', stdin=other,
                                 timeout=10)
                finally:
                    for descriptor in (terminal, other):
                        if descriptor is not None:
                            os.close(descriptor)
                self.assertEqual(result.returncode, status)
                self.assertEqual(result.stdout, out if out is not None else result.stdout)
                self.assertTrue(result.stderr.startswith(err), result.stderr)
                self.assertLessEqual(result.stderr.count(b"\n"), 1)
                if out is None:
                    self.assertTrue(result.stdout.startswith(usage))


if __name__ == "__main__":
    HELPER, VERSION = os.path.realpath(sys.argv[1]), sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
