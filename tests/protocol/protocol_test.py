#!/usr/bin/env python3
# What a client relies on, through the built executable: the exact answer and
# exit status of every request in one table (refusals, sync clients' folders,
# each limit at its boundary), each answer valid against the JSON Schemas and
# the folder left as it was; what create and publish change; many helpers at
# once; coordination between them; the input and output streams; the example
# client; the command line.
#
#   python3 tests/protocol/protocol_test.py HELPER VERSION
import concurrent.futures
import decimal
import fcntl
import json
import os
import pathlib
import pty
import random
import re
import stat
import subprocess
import sys
import tempfile
import time

import jsonschema

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "support"))
import brindell as b  # noqa: E402
from brindell import (DIRECTORY, GONE, HardLink, Link, Sparse, history_files,  # noqa: E402
                      history_name, refusal, success)

expect = b.expect


def ask(operation, folder="$", **members):
    return {"operation": operation, "folder": folder, **members}


def publishing(content, name=history_name(1)):
    return ask("publish", name=name, content=json.loads(content))


NAME, NAME2, M, BUNDLE = history_name(1), history_name(2), "manifest.json", b.sized(100)
STEM, PLACEHOLDER, KEPT = NAME[:-len(".json")], f".{NAME}.icloud", {NAME: BUNDLE}
LIST, READ, READ2 = ask("list"), ask("read", name=NAME), ask("read", name=NAME2)
PUBLISH, CREATE = publishing(BUNDLE), {"op": "create", "folder": "^", "workspaceId": b.WORKSPACE}
NUMBERED = '{"v":2.0,"workspaceId":"%s"}' % b.WORKSPACE
# Every sync client's metadata, passed over however it is made.
METADATA = {".stfolder": DIRECTORY, ".stignore": "", ".stversions": Link(".."), ".dropbox": "",
            ".dropbox.attr": "", ".dropbox.cache": DIRECTORY, ".sync_5d41.db": Sparse(b.MIB),
            ".sync_5d41.db-wal": "", ".sync_5d41.db-shm": "", "._sync_0a1b.db": "",
            ".csync_journal.db": "", ".nextcloudsync.log": "", ".owncloudsync.log": "",
            "Thumbs.db": "", "Desktop.ini": "", ".directory": "", ".DS_Store": ""}
FULL = history_files(512, 2) | {".DS_Store": ""}
SYNCTHING = STEM + ".sync-conflict-20250102-030405-ABCDEFG.json"
NEXTCLOUD = STEM + " (conflicted copy 2025-01-02 030405).json"
ONEDRIVE = STEM + "-my-laptop-safeBackup-0001.json"
DROPBOX = "manifest (Ann's conflicted copy 2025-01-02).json"
OWNCLOUD, OLD_OWNCLOUD = "manifest_conflict-20250102-030405.json", M + "_conflict-20250102-030405"
OLD_SYNCTHING, NO_DEVICE = M + ".sync-conflict-20250102-030405", M + ".sync-conflict-20250102-0304-"
STRAY = "notes (conflicted copy 2025-01-02 030405).txt"


def metadata(count):
    return {f".sync_{i}.db": "" for i in range(count)}


def in_list(items):  # the list answer for a folder holding these items
    return b.listed({n: len(t) if isinstance(t, str) else t for n, t in items.items()
                     if re.fullmatch(r"[0-9a-f-]{101}\.brindell-history\.json", n)})


def conflict(item, copy):
    return refusal("client_conflict", item=item, copy=copy)


def unexpected(item):
    return refusal("unexpected", item=item)


def pending(item, client=False):
    return refusal("client_download" if client else "not_available", item=item)


def not_in_drive(item):
    return refusal("platform", description=f"{item} is not in a cloud drive, so it cannot be "
                   "downloaded.")


# Each row: the items added to a sync folder "$" holding the manifest of the
# workspace (in a parent "^"), the request, and the exact answer.
TABLE = [
    ("empty", {}, b"", refusal("invalid_json")),
    ("no operation", {}, {"folder": "$"}, refusal("invalid", member="op")),
    ("operation before op", {}, {"operation": 5, "op": "list", "folder": "$"},
     refusal("invalid", member="operation")),
    ("operation empty", {}, ask(""), refusal("invalid", member="operation")),
    ("no folder", {}, {"operation": "list"}, refusal("invalid", member="folder")),
    ("relative", {}, ask("list", "tmp/x"), refusal("traversal")),
    ("dot dot", {}, ask("list", "$/.."), refusal("traversal")),
    ("nul", {}, ask("list", "$\0x"), refusal("traversal")),
    ("root", {}, ask("list", "///"), refusal("root")),
    ("folder text of 4096 bytes", {}, ask("x", "/tmp" + "/" * 4092), refusal("unsupported")),
    ("folder text of 4097 bytes", {}, ask("x", "/tmp" + "/" * 4093), refusal("traversal")),
    ("path before operation", {}, ask("x", "$/absent"), refusal("missing")),
    ("component too long", {}, ask("list", "$/" + "a" * 256),
     refusal("system", phrase="Cannot inspect the sync path", error="File name too long")),
    ("link on the path", {"link": Link(".")}, ask("list", "$/link/x"), refusal("link")),
    ("file on the path", {}, ask("list", "$/manifest.json"), refusal("wrong_kind")),
    ("unsupported", {"d": DIRECTORY}, ask("Read", "$//d/"), refusal("unsupported")),
    ("no name", {}, ask("read"), refusal("invalid", member="name")),
    ("bad name", {}, ask("publish", name="x/" + NAME), refusal("bad_name")),
    # read
    ("no manifest", {M: GONE}, READ, pending(M)),
    ("manifest extra key", {M: b.manifest()[:-1] + ',"x":0}'}, READ, refusal("bad_manifest")),
    ("manifest of 4097 bytes", {M: b.manifest() + " " * 3999}, READ, refusal("too_large")),
    ("at the bounds", {M: b.manifest() + " " * 3998, NAME: b.sized(b.BUNDLE_LIMIT)}, READ,
     success(b.sized(b.BUNDLE_LIMIT))),
    ("respelled", {M: '{ "workspaceId": "%s",\n "version": 1.0, "format": '
                      '"brindell-folder-sync" }' % b.OTHER,
                   NAME: '{ "z": 1.50, "a": {"y": true, "b": [1e2, "\\/x", "\\u00e9"]} }'},
     READ, success('{"a":{"b":[1e2,"/x","é"],"y":true},"z":1.50}')),
    ("history missing", {}, READ, pending(NAME)),
    ("hard link", {NAME: "{}", "../second": HardLink(NAME)}, READ, refusal("hard_link")),
    ("history over 7 MiB", {NAME: Sparse(b.BUNDLE_LIMIT + 1)}, READ, refusal("too_large")),
    ("history invalid", {NAME: '{"a":'}, READ, refusal("invalid_json")),
    ("placeholder outside a drive", {PLACEHOLDER: ""}, READ, not_in_drive(NAME)),
    ("placeholder not a file", {PLACEHOLDER: DIRECTORY}, READ, refusal("wrong_kind")),
    # list; metadata counts toward no limit, except the entries past 32
    ("sorted", METADATA | {NAME2: "{}", NAME: BUNDLE}, {"op": "list", "folder": "$"},
     in_list({NAME2: "{}", NAME: BUNDLE})),
    ("7 MiB", {M: b.manifest() + " " * 3998} | history_files(1, b.BUNDLE_LIMIT) | METADATA,
     LIST, in_list(history_files(1, b.BUNDLE_LIMIT))),
    ("over 7 MiB", {NAME: Sparse(b.BUNDLE_LIMIT + 1)}, LIST, refusal("history_too_large")),
    ("64 MiB", b.files_leaving(0) | METADATA, LIST, in_list(b.files_leaving(0))),
    ("over 64 MiB", b.files_leaving(-1), LIST, refusal("folder_full")),
    ("512 files", FULL | metadata(32), LIST, in_list(FULL)),
    ("513 files", history_files(513, 2), LIST, refusal("folder_full")),
    ("33 metadata entries", FULL | metadata(33), LIST, refusal("too_many_entries")),
    ("stray", {"notes.txt": ""}, LIST, unexpected("notes.txt")),
    ("other placeholder", {".notes.txt.icloud": ""}, LIST, unexpected(".notes.txt.icloud")),
    ("bare .icloud", {".icloud": ""}, LIST, unexpected(".icloud")),
    ("not UTF-8", {"bad\udcff\udcfe.txt": ""}, LIST, unexpected("bad\ufffd\ufffd.txt")),
    ("directory named as history", {NAME: DIRECTORY}, LIST, refusal("wrong_kind")),
    ("link named as history", {NAME: Link(M)}, LIST, refusal("link")),
    ("file and placeholder", {NAME: "{}", PLACEHOLDER: ""}, LIST, refusal("ambiguous", item=NAME)),
    ("two manifests", {".manifest.json.icloud": ""}, LIST, refusal("ambiguous", item=M)),
    ("placeholder listed", {PLACEHOLDER: ""}, LIST, not_in_drive(NAME)),
    ("manifest first", {"notes.txt": "", M: "{}"}, LIST, refusal("bad_manifest")),
    # create in "^", which holds the sync folder of the workspace
    ("create confirms", {M: '{"workspaceId": "%s", "version": 1.0, "format": '
                            '"brindell-folder-sync"}\n' % b.WORKSPACE}, CREATE,
     success('{"folder":"^/%s","isUbiquitous":false,"manifest":{"format":"brindell-folder-sync",'
             '"version":1.0,"workspaceId":"%s"},"pendingUploads":false}'
             % (b.folder_name(), b.WORKSPACE))),
    ("create on another", {M: b.manifest(b.OTHER)}, CREATE, refusal("other_workspace")),
    ("create without manifest", {M: GONE}, CREATE, pending(M)),
    ("create beside a stray", {"notes.txt": ""}, CREATE, unexpected("notes.txt")),
    ("create over a link", {"../" + b.folder_name(b.OTHER): Link(b.folder_name())},
     CREATE | {"workspaceId": b.OTHER}, refusal("link")),
    ("create", {}, CREATE | {"workspaceId": b.OTHER}, success({
        "folder": "^/" + b.folder_name(b.OTHER), "isUbiquitous": False,
        "manifest": json.loads(b.manifest(b.OTHER)), "pendingUploads": False})),
    ("id upper case", {}, CREATE | {"workspaceId": b.WORKSPACE.upper()}, refusal("id_not_uuid")),
    ("id a number", {}, CREATE | {"workspaceId": 5}, refusal("invalid", member="workspaceId")),
    # publish
    ("no content", {}, ask("publish", name=NAME), refusal("no_content")),
    ("content an array", {}, ask("publish", name=NAME, content=[]), refusal("no_content")),
    ("no workspace", {}, publishing('{"a":1}'), refusal("no_workspace")),
    ("workspace a number", {}, publishing('{"workspaceId":5}'), refusal("no_workspace")),
    ("bundle over 7 MiB first", {M: GONE}, publishing(b.sized(b.BUNDLE_LIMIT + 1)),
     refusal("bundle_too_large")),
    ("publish without manifest", {M: GONE}, PUBLISH, pending(M)),
    ("publish to another", {M: b.manifest(b.OTHER)}, PUBLISH, refusal("now_other_workspace")),
    ("same content", {NAME: json.dumps(dict(reversed(json.loads(BUNDLE).items())), indent=1)},
     PUBLISH, b.published(False, NAME)),
    ("different content", {NAME: b.sized(101)}, PUBLISH, refusal("immutable")),
    ("number spelled otherwise", {NAME: NUMBERED}, publishing(NUMBERED.replace("2.0", "2")),
     refusal("immutable")),
    ("512th file", history_files(511, 2), PUBLISH, b.published(True, NAME)),
    ("folder of 512", history_files(512, 2), PUBLISH, refusal("would_overfill")),
    ("64 MiB in all", b.files_leaving(100), PUBLISH, b.published(True, NAME)),
    ("bundle of 7 MiB", {}, publishing(b.sized(b.BUNDLE_LIMIT)), b.published(True, NAME)),
    ("one byte over 64 MiB", b.files_leaving(99), PUBLISH, refusal("would_overfill")),
    ("publish beside a stray", {"notes.txt": ""}, PUBLISH, unexpected("notes.txt")),
    # Sync clients: a download in progress is not there yet; a conflict copy
    # names both files; a client's name for anything else is a stray.
    ("metadata: read", METADATA | KEPT, READ, success(BUNDLE)),
    ("metadata: publish", METADATA | KEPT, PUBLISH, b.published(False, NAME)),
    ("download", {f".syncthing.{NAME2}.tmp": '{"pa'}, LIST, pending(NAME2, True)),
    ("download: read", {f".syncthing.{NAME2}.tmp": '{"pa'}, READ2, pending(NAME2, True)),
    ("manifest download", {M: GONE, "~syncthing~manifest.json.tmp": ""}, LIST, pending(M, True)),
    ("virtual file", {NAME2 + ".nextcloud": " "}, LIST, pending(NAME2, True)),
    ("virtual manifest", {M: GONE, "manifest.json.owncloud": ""}, READ, pending(M, True)),
    ("syncthing conflict", KEPT | {SYNCTHING: ""}, LIST, conflict(NAME, SYNCTHING)),
    ("nextcloud conflict: publish", KEPT | {NEXTCLOUD: ""}, PUBLISH, conflict(NAME, NEXTCLOUD)),
    ("onedrive conflict", KEPT | {ONEDRIVE: ""}, LIST, conflict(NAME, ONEDRIVE)),
    ("dropbox conflict: read", {DROPBOX: b.manifest(b.OTHER)}, READ, conflict(M, DROPBOX)),
    ("owncloud conflict: publish", {OWNCLOUD: ""}, PUBLISH, conflict(M, OWNCLOUD)),
    ("old owncloud conflict", {OLD_OWNCLOUD: ""}, LIST, conflict(M, OLD_OWNCLOUD)),
    ("old syncthing conflict", {OLD_SYNCTHING: ""}, LIST, conflict(M, OLD_SYNCTHING)),
    ("stray beside a read", KEPT | {"notes.txt": ""}, READ, success(BUNDLE)),
    ("download of a stray", {".syncthing.x.tmp": ""}, LIST, unexpected(".syncthing.x.tmp")),
    ("conflict copy of a stray", {STRAY: ""}, PUBLISH, unexpected(STRAY)),
    ("no device", {NO_DEVICE: ""}, LIST, unexpected(NO_DEVICE)),
    ("no journal id", {".sync_.db": ""}, LIST, unexpected(".sync_.db")),
    ("download of nothing", {".syncthing..tmp": ""}, LIST, unexpected(".syncthing..tmp")),
]


# Each row in a fresh tree. A refusal changes nothing; what a success makes
# is private whatever the umask; the same request again answers alike (the
# file now exists) and changes nothing.
def check_table(schema):
    for label, items, request, expected in TABLE:
        with tempfile.TemporaryDirectory() as parent:
            folder = b.sync_folder(parent, items)
            place = lambda d: d.replace(b"$", folder.encode()).replace(b"^", parent.encode())
            data = place(request if isinstance(request, bytes) else b.canonical(request).encode())
            expected, before = place(expected), b.snapshot(parent)
            done, ok = b.run(data, umask=0o477), expected.startswith(b'{"ok":true')
            after = b.snapshot(parent)
            expect((done.stdout, done.returncode, done.stderr) == (expected, 1 - ok, b""), label,
                   f"{done.stdout!r} {done.returncode}")
            expect((ok or after == before) and all(after[p][0] & 0o777 == (
                0o700 if stat.S_ISDIR(after[p][0]) else 0o600) for p in after.keys() - before),
                label, "the folder changed")
            expect(b.run(data).stdout == expected.replace(b'"created":true', b'"created":false')
                   and b.snapshot(parent) == after, label, "the repeat")
            expect(schema.is_valid(json.loads(done.stdout or "{}")), label, "against the schema")


# Helpers at once: creates agree on one folder; of one name with two contents
# there is one winner. Another helper's lock keeps a writer waiting, readers
# share theirs, and a folder moved meanwhile is refused. Publishes stop
# exactly at 512 files.
def check_concurrency():
    with tempfile.TemporaryDirectory() as parent, concurrent.futures.ThreadPoolExecutor(16) as pool:
        created = list(pool.map(lambda r: b.run(r).stdout, [CREATE | {"folder": parent}] * 8))
        folder = os.path.join(parent, b.folder_name())
        expect(len(set(created)) == 1 and b'"ok":true' in created[0], "creates", created[0])
        contents = [b.sized(100_000), b.sized(100_001)]
        answers = list(pool.map(lambda i: b.run(publishing(contents[i % 2]) | {"folder": folder})
                                .stdout, range(16)))
        won = [i for i, a in enumerate(answers) if a == b.published(True, NAME)] + [0]
        expect(len(won) == 2 and pathlib.Path(folder, NAME).read_text() == contents[won[0] % 2]
               and all(a == (refusal("immutable") if (i - won[0]) % 2 else b.published(False, NAME))
                       for i, a in enumerate(answers) if i != won[0]), "one name", answers)
        lock = os.open(folder, os.O_RDONLY)
        for held, request, waits in [
                (fcntl.LOCK_EX, ask("list", folder), True),
                (fcntl.LOCK_SH, ask("read", folder, name=NAME), False),
                (fcntl.LOCK_SH, publishing(BUNDLE, NAME2) | {"folder": folder}, True),
                (fcntl.LOCK_EX, ask("list", folder), "moves")]:
            fcntl.flock(lock, held)
            with tempfile.TemporaryFile() as out:
                helper = subprocess.Popen([b.HELPER], stdin=subprocess.PIPE, stdout=out)
                helper.stdin.write(b.canonical(request).encode())
                helper.stdin.close()
                expect(helper.wait(20) == 0 if not waits else
                       time.sleep(0.5) or helper.poll() is None, request["operation"], waits)
                if waits == "moves":
                    os.rename(folder, folder + "-moved")
                fcntl.flock(lock, fcntl.LOCK_UN)
                helper.wait()
                out.seek(0)
                error = json.loads(out.read()).get("error", {}).get("code")
            expect(error == ("SYNC_FOLDER_MOVED" if waits == "moves" else None), waits, error)
        os.rename(folder + "-moved", folder)
        b.build(folder, history_files(498, 2))
        names = [history_name(i) for i in range(3, 19)]
        answers = list(pool.map(lambda n: b.run(publishing(BUNDLE, n) | {"folder": folder})
                                .stdout, names))
        created = [a == b.published(True, n) for a, n in zip(answers, names)]
        expect(sum(created) == 12 and all(c or a == refusal("would_overfill")
                                          for c, a in zip(created, answers)), "512", answers)


# The request is read to its end but never past its bound; an answer that
# cannot be written in full ends with status 1, on a closed pipe too.
def check_streams():
    with tempfile.TemporaryDirectory() as parent, tempfile.TemporaryFile() as request:
        for length in (b.REQUEST_LIMIT, b.REQUEST_LIMIT + 1, 4 * b.REQUEST_LIMIT):
            text = b.canonical(ask("x", parent))
            request.seek(0)
            request.write((text[:-1] + " " * (length - len(text)) + "}").encode())
            request.seek(0)
            done = b.run(b"", input=None, stdin=request)
            expect((done.stdout, request.tell() <= b.REQUEST_LIMIT + 1) == (refusal(
                "unsupported" if length == b.REQUEST_LIMIT else "request_too_large"), True), length)
        directory = os.open(parent, os.O_RDONLY)
        expect(b.run(b"", input=None, stdin=directory).stdout == refusal("platform", description=
               "The helper could not read its request: Is a directory."), "input a directory")
        reading, writing = os.pipe()
        os.close(reading)
        for output in (open("/dev/full", "wb"), writing):
            done = b.run(ask("list", parent), stdout=output)
            expect((done.returncode, done.stderr) == (1, b""), f"output {output}", done)
        os.close(writing), os.close(directory)


# A manifest's version passes exactly when it equals 1, decided by its
# decimal digits however the number is written.
def check_manifest_versions():
    rng = random.Random(17)
    with tempfile.TemporaryDirectory() as parent:
        folder = b.sync_folder(parent)
        for _ in range(150):
            literal = rng.choice(["", "-"]) + rng.choice(["0", "1", "10", "100", "2", "19"]) + (
                "." + rng.choice(["0", "00", "1", "01", "10", "001", "000000000000000000001"])
                if rng.random() < 0.6 else "") + (rng.choice(["e", "E"]) + rng.choice(
                    ["", "+", "-"]) + rng.choice(["0", "1", "2", "01", "3", "9999999"])
                                                  if rng.random() < 0.5 else "")
            b.build(folder, {M: b.manifest().replace('"version":1', '"version":' + literal)})
            done, equal = b.run(ask("list", folder)), decimal.Decimal(literal) == 1
            expect(f'"version":{literal},'.encode() in done.stdout if equal else
                   done.stdout == refusal("bad_manifest"), literal, done.stdout)


# Every code the helper has is documented and handled by the example client,
# which runs.
def check_client():
    codes = {c for path in (ROOT / "src").rglob("*.cpp")
             for c in re.findall(r'"(SYNC_[A-Z_]+)"', path.read_text())}
    schema = json.loads((ROOT / "docs" / "response.schema.json").read_text())
    with tempfile.TemporaryDirectory() as parent:
        done = subprocess.run([sys.executable, ROOT / "examples" / "client.py", parent, b.HELPER],
                              capture_output=True, text=True, check=False)
    handled = re.findall(r'"(SYNC_[A-Z_]+)"', (ROOT / "examples" / "client.py").read_text())
    expect(codes == set(schema["$defs"]["code"]["enum"]) == set(handled), "codes", codes)
    expect(done.returncode == 0 and "read back equal: True" in done.stdout, "client", done)


def check_command_line(version):
    usage = b"Usage: BrindellFileSync < request.json\n"
    for arguments, status, out, err in [
            (["--version"], 0, f"BrindellFileSync {version}\n".encode(), b""),
            (["--help"], 0, usage, b""),
            (["--bogus"], 2, b"", b'BrindellFileSync: unknown argument "--bogus"\n' + usage),
            (["--help", "x"], 2, b"", b'BrindellFileSync: unknown argument "x"\n' + usage),
            ([], 2, b"", b"BrindellFileSync: the request is read from standard input")]:
        terminal, other = pty.openpty()  # a person at a shell; a helper waiting here would hang
        done = subprocess.run([b.HELPER, *arguments], stdin=None if arguments else other,
                              capture_output=True, timeout=10, check=False)
        os.close(terminal), os.close(other)
        expect(done.returncode == status and done.stdout.startswith(out) and
               done.stderr.startswith(err) and (out or not done.stdout), arguments, done)
    with open("/dev/full", "wb") as full:
        expect(subprocess.run([b.HELPER, "--help"], stdout=full).returncode == 1, "help to full")


def main():
    b.HELPER, version = os.path.realpath(sys.argv[1]), sys.argv[2]
    schema = json.loads((ROOT / "docs" / "response.schema.json").read_text())
    jsonschema.Draft202012Validator.check_schema(schema)
    check_table(jsonschema.Draft202012Validator(schema))
    for check in (check_concurrency, check_streams, check_manifest_versions, check_client):
        check()
    check_command_line(version)
    return b.finish()


if __name__ == "__main__":
    sys.exit(main())
