#!/usr/bin/env python3
# What a client relies on, through the built executable: the exact answer and exit status of every request in one
# table (refusals, sync clients' folders, each limit at its boundary), each answer valid against the response schema;
# a folder moved while a reader waits; the input and output streams; the example client; the command line.
#
#   python3 tests/protocol/protocol_test.py HELPER VERSION
import contextlib, decimal, fcntl, json, os, pathlib, pty, re, stat, subprocess, sys  # noqa: E401
import tempfile, time  # noqa: E401

import jsonschema

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "support"))
import brindell as b  # noqa: E402
from brindell import DIRECTORY, GONE, HardLink, Link, Mode, Sparse, expect, history_files, history_name  # noqa: E402
from brindell import refusal, success  # noqa: E402


def ask(operation, folder="$", **members):
    return {"operation": operation, "folder": folder, **members}


publishing = lambda content: ask("publish", name=history_name(1), content=json.loads(content))  # noqa: E731


NAME, NAME2, M, BUNDLE = history_name(1), history_name(2), "manifest.json", b.sized(100)
STEM, PLACEHOLDER, KEPT = NAME[:-len(".json")], f".{NAME}.icloud", {NAME: BUNDLE}
LIST, READ, READ2 = ask("list"), ask("read", name=NAME), ask("read", name=NAME2)
PUBLISH, CREATE = publishing(BUNDLE), {"op": "create", "folder": "^", "workspaceId": b.WORKSPACE}
NUMBERED, FULL = '{"v":2.0,"workspaceId":"%s"}' % b.WORKSPACE, history_files(512, 2)
# Every sync client's metadata, passed over however it is made.
METADATA = {".stfolder": DIRECTORY, ".stignore": "", ".stversions": Link(".."), ".dropbox": "", ".dropbox.attr": "",
            ".dropbox.cache": DIRECTORY, ".sync_5d41.db": Sparse(b.MIB), ".sync_5d41.db-wal": "", ".sync_5d41.db-shm": "",
            "._sync_0a1b.db": "", ".csync_journal.db": "", ".nextcloudsync.log": "", ".owncloudsync.log": "",
            "Thumbs.db": "", "Desktop.ini": "", ".directory": "", ".DS_Store": ""}
SYNCTHING = STEM + ".sync-conflict-20250102-030405-ABCDEFG.json"
NEXTCLOUD = STEM + " (conflicted copy 2025-01-02 030405).json"
ONEDRIVE = STEM + "-A-safeBackup-0001.json"
DROPBOX = "manifest (Ann's conflicted copy 2025-01-02).json"
OWNCLOUD, OLD_OWNCLOUD = "manifest_conflict-20250102-030405.json", M + "_conflict-20250102-030405"
OLD_SYNCTHING, NO_DEVICE = M + ".sync-conflict-20250102-030405", M + ".sync-conflict-20250102-0304-"
STRAY = "notes (conflicted copy 2025-01-02 030405).txt"


metadata = lambda count: {f".sync_{i}.db": "" for i in range(count)} | {".DS_Store": ""}  # noqa: E731
version = lambda literal: b.manifest().replace('"version":1', '"version":' + literal)  # noqa: E731
conflict = lambda item, copy: refusal("client_conflict", item=item, copy=copy)  # noqa: E731
pending = lambda item, client=False: refusal("client_download" if client else "not_available", item=item)  # noqa
not_in_drive = lambda item: refusal(  # noqa: E731
    "platform", description=f"{item} is not in a cloud drive, so it cannot be downloaded.")


def in_list(items):  # the list answer for a folder holding these items
    return b.listed({n: len(t) if isinstance(t, str) else t for n, t in items.items() if n.endswith("history.json")})


# Each row: the items added to a sync folder "$" holding the manifest of the
# workspace (in a parent "^"), the request, and the exact answer.
TABLE = [
    ("empty", {}, b"", refusal("invalid_json")),
    ("not an object", {}, b"[]", refusal("not_object")),
    ("no folder", {}, {"operation": "list"}, refusal("invalid", member="folder")),
    ("no name", {}, ask("read"), refusal("invalid", member="name")),
    ("operation before op", {}, {"operation": 5, "op": "list", "folder": "$"}, refusal("invalid", member="operation")),
    ("operation empty", {}, ask(""), refusal("invalid", member="operation")),
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
    ("bad last digit", {}, ask("read", name=NAME[:100] + "g" + NAME[101:]), refusal("bad_name")),
    ("bad first digit", {}, ask("read", name=NAME[:37] + "g" + NAME[38:]), refusal("bad_name")),
    # read
    ("no manifest", {M: GONE}, READ, pending(M)),
    ("manifest extra key", {M: b.manifest()[:-1] + ',"x":0}'}, READ, refusal("bad_manifest")),
    ("manifest not JSON", {M: "{"}, LIST, refusal("invalid_json")),
    ("manifest a directory", {M: GONE, M + "/": DIRECTORY}, LIST, refusal("wrong_kind")),
    ("manifest hard link", {"../second": HardLink(M)}, LIST, refusal("hard_link")),
    ("history a directory", {NAME: DIRECTORY}, READ, refusal("wrong_kind")),
    ("publish over a directory", {NAME: DIRECTORY}, PUBLISH, refusal("wrong_kind")),
    ("manifest of 4097 bytes", {M: b.manifest() + " " * 3999}, READ, refusal("too_large")),
    ("at the bounds", {M: b.manifest() + " " * 3998, NAME: b.sized(b.BUNDLE_LIMIT)}, READ, success(b.sized(b.BUNDLE_LIMIT))),
    ("respelled", {M: '{ "workspaceId": "%s",\n "version": 1.0, "format": "brindell-folder-sync" }' % b.OTHER,
                   NAME: '{ "z": 1.50, "a": {"y": true, "n": null, "b": [1e2, "\\/x", "\\u00e9"]} }'},
     READ, success('{"a":{"b":[1e2,"/x","é"],"n":null,"y":true},"z":1.50}')),
    ("history missing", {}, READ, pending(NAME)),
    ("hard link", {NAME: "{}", "../second": HardLink(NAME)}, READ, refusal("hard_link")),
    ("history over 7 MiB", {NAME: Sparse(b.BUNDLE_LIMIT + 1)}, READ, refusal("too_large")),
    ("history empty", {NAME: ""}, READ, refusal("invalid_json")),
    ("placeholder outside a drive", {PLACEHOLDER: ""}, READ, not_in_drive(NAME)),
    ("placeholder not a file", {PLACEHOLDER: DIRECTORY}, READ, refusal("wrong_kind")),
    # A link at an item is a link on the path, in every operation, whatever it leads to.
    *((f"link at the manifest: {r['operation']}", {"../elsewhere": b.manifest(), M: Link("../elsewhere")}, r,
       refusal("link")) for r in (LIST, READ, PUBLISH, CREATE | {"operation": "create"})),
    *((f"link at the history file: {r['operation']}", {"../elsewhere": BUNDLE, NAME: Link("../elsewhere")}, r,
       refusal("link")) for r in (LIST, READ, PUBLISH)),
    # Only what no one else may change is trusted: the folder, the manifest and a history file read or compared.
    *((f"folder writable by others: {r['operation']}", {".": Mode(mode)}, r, refusal("foreign_folder"))
      for r, mode in ((LIST, 0o777), (READ, 0o770), (PUBLISH, 0o702), (CREATE | {"operation": "create"}, 0o720))),
    *((f"manifest writable by others: {r['operation']}", {M: Mode(0o620)}, r, refusal("foreign_item", item=M))
      for r in (LIST, READ, PUBLISH, CREATE | {"operation": "create"})),
    *((f"history file writable by others: {r['operation']}", {NAME: b.Shared(BUNDLE)}, r,
       refusal("foreign_item", item=NAME)) for r in (READ, PUBLISH)),
    ("folder of others beside", {"../other": DIRECTORY, "../other/x": "", "..": Mode(0o777)}, LIST, b.listed({})),
    # list; metadata counts toward no limit, except the entries past 32
    ("sorted", METADATA | {NAME2: "", NAME: BUNDLE}, {"op": "list", "folder": "$"}, in_list({NAME2: "", NAME: BUNDLE})),
    ("7 MiB", {M: b.manifest() + " " * 3998} | history_files(1, b.BUNDLE_LIMIT) | METADATA, LIST,
     in_list(history_files(1, b.BUNDLE_LIMIT))),
    ("over 7 MiB", {NAME: Sparse(b.BUNDLE_LIMIT + 1)}, LIST, refusal("history_too_large")),
    ("64 MiB", b.files_leaving(0) | METADATA, LIST, in_list(b.files_leaving(0))),
    ("over 64 MiB", b.files_leaving(-1), LIST, refusal("folder_full")),
    ("512 files", FULL | metadata(32), LIST, in_list(FULL)),
    ("513 files", history_files(513, 2), LIST, refusal("folder_full")),
    ("33 metadata entries", FULL | metadata(33), LIST, refusal("too_many_entries")),
    ("stray", {"notes.txt": ""}, LIST, refusal("unexpected", item="notes.txt")),
    ("bare .icloud", {".icloud": ""}, LIST, refusal("unexpected", item=".icloud")),
    ("not UTF-8", {"bad\udcff.txt": ""}, LIST, refusal("unexpected", item="bad\ufffd.txt")),
    ("directory named as history", {NAME: DIRECTORY}, LIST, refusal("wrong_kind")),
    ("file and placeholder", {NAME: "{}", PLACEHOLDER: ""}, LIST, refusal("ambiguous", item=NAME)),
    ("placeholder listed", {PLACEHOLDER: ""}, LIST, not_in_drive(NAME)),
    ("manifest first", {"notes.txt": "", M: "{}"}, LIST, refusal("bad_manifest")),
    # create in "^", which holds the sync folder of the workspace
    ("create", {}, CREATE | {"workspaceId": b.OTHER}, b.created("^", b.OTHER)),
    ("create confirms", {M: '{"workspaceId": "%s", "version": 1.0, "format": "brindell-folder-sync"}\n' % b.WORKSPACE},
     CREATE, b.created("^", text=version("1.0"))),
    ("create on another", {M: b.manifest(b.OTHER)}, CREATE, refusal("other_workspace")),
    ("create over a link", {"../" + b.folder_name(b.OTHER): Link(b.folder_name())}, CREATE | {"workspaceId": b.OTHER},
     refusal("link")),
    ("id upper case", {}, CREATE | {"workspaceId": b.WORKSPACE.upper()}, refusal("id_not_uuid")),
    ("no workspace id", {}, {"op": "create", "folder": "^"}, refusal("invalid", member="workspaceId")),
    ("create over a file", {"../" + b.folder_name(b.OTHER): ""}, CREATE | {"workspaceId": b.OTHER}, refusal("wrong_kind")),
    # A sync folder holds no folders, by its name or by its manifest; another program's manifest makes none.
    ("create in a sync folder", {}, CREATE | {"folder": "$"}, refusal("in_sync_folder")),
    ("create beside a manifest", {"../manifest.json": b.manifest(b.OTHER)}, CREATE, refusal("in_sync_folder")),
    ("create beside another manifest", {"../manifest.json": '{"name":"x"}'}, CREATE | {"workspaceId": b.OTHER},
     b.created("^", b.OTHER)),
    # publish
    ("no content", {}, ask("publish", name=NAME), refusal("no_content")),
    ("content an array", {}, ask("publish", name=NAME, content=[]), refusal("no_content")),
    ("no workspace", {}, publishing('{"a":1}'), refusal("no_workspace")),
    ("workspace not a UUID", {}, publishing('{"workspaceId":"x"}'), refusal("no_workspace")),
    ("bundle over 7 MiB first", {M: GONE}, publishing(b.sized(b.BUNDLE_LIMIT + 1)), refusal("bundle_too_large")),
    ("bundle of 7 MiB", {}, publishing(b.sized(b.BUNDLE_LIMIT)), b.published(True, NAME)),
    ("publish to another", {M: b.manifest(b.OTHER)}, PUBLISH, refusal("now_other_workspace")),
    ("same content", {NAME: json.dumps(dict(reversed(json.loads(BUNDLE).items())), indent=1)}, PUBLISH,
     b.published(False, NAME)),
    ("different content", {NAME: b.sized(101)}, PUBLISH, refusal("immutable")),
    ("different content, same size", {NAME: BUNDLE.replace("x", "y", 1)}, PUBLISH, refusal("immutable")),
    ("number spelled otherwise", {NAME: NUMBERED}, publishing(NUMBERED.replace("2.0", "2")), refusal("immutable")),
    ("512th file", history_files(511, 2), PUBLISH, b.published(True, NAME)),
    ("folder of 512", FULL, PUBLISH, refusal("would_overfill")),
    ("64 MiB in all", b.files_leaving(100), PUBLISH, b.published(True, NAME)),
    ("one byte over 64 MiB", b.files_leaving(99), PUBLISH, refusal("would_overfill")),
    # Sync clients: a download in progress is not there yet; a conflict copy
    # names both files; a client's name for anything else is a stray.
    ("metadata: read", METADATA | KEPT, READ, success(BUNDLE)),
    ("download", {f".syncthing.{NAME2}.tmp": '{"pa'}, LIST, in_list({NAME2: '{"pa'})),
    ("download: read", {f".syncthing.{NAME2}.tmp": '{"pa'}, READ2, pending(NAME2, True)),
    ("manifest download", {M: GONE, "~syncthing~manifest.json.tmp": ""}, LIST, pending(M, True)),
    ("virtual file", {NAME2 + ".nextcloud": " "}, LIST, in_list({NAME2: " "})),
    ("download: publish", {f"~syncthing~{NAME}.tmp": ""}, PUBLISH, refusal("copy_arriving")),
    # A new version on its way beside the complete file changes nothing.
    *((f"download beside the file: {r['operation']}", KEPT | {f".syncthing.{NAME}.tmp": "{}"}, r, answer)
      for r, answer in ((LIST, in_list(KEPT)), (READ, success(BUNDLE)), (PUBLISH, b.published(False, NAME)))),
    ("virtual manifest", {M: GONE, "manifest.json.owncloud": ""}, READ, pending(M, True)),
    ("syncthing conflict", KEPT | {SYNCTHING: ""}, LIST, conflict(NAME, SYNCTHING)),
    ("syncthing conflict: read", KEPT | {SYNCTHING: ""}, READ, conflict(NAME, SYNCTHING)),
    ("nextcloud conflict: publish", KEPT | {NEXTCLOUD: ""}, PUBLISH, conflict(NAME, NEXTCLOUD)),
    ("onedrive conflict", KEPT | {ONEDRIVE: ""}, LIST, conflict(NAME, ONEDRIVE)),
    ("onedrive device of hyphens", {"manifest--x-safeBackup-1.json": ""}, LIST, conflict(M, "manifest--x-safeBackup-1.json")),
    ("dropbox conflict: read", {DROPBOX: b.manifest(b.OTHER)}, READ, conflict(M, DROPBOX)),
    ("owncloud conflict: publish", {OWNCLOUD: ""}, PUBLISH, conflict(M, OWNCLOUD)),
    ("old owncloud conflict", {OLD_OWNCLOUD: ""}, LIST, conflict(M, OLD_OWNCLOUD)),
    ("old syncthing conflict", {OLD_SYNCTHING: ""}, LIST, conflict(M, OLD_SYNCTHING)),
    ("stray beside a read", KEPT | {"notes.txt": ""}, READ, success(BUNDLE)),
] + [
    # Whatever a sync client is bringing that is no history file waits unseen until it lands: the manifest beside
    # itself, a stray, a conflict copy, an item under a name it hashed (MD5 in old releases, SHA-256 now).
    (f"in transit {n}", {n: "x"}, LIST, b.listed({})) for n in [
        ".syncthing.x.tmp", "~syncthing~manifest.json.tmp", f".syncthing.{SYNCTHING}.tmp", "manifest.json.owncloud",
        f".syncthing.{OLD_SYNCTHING}.tmp", ".syncthing." + "0a" * 16 + ".tmp", ".syncthing." + "f9" * 32 + ".tmp"]
] + [(f"stray {n}", {n: ""}, LIST, refusal("unexpected", item=n)) for n in [
    STRAY, NO_DEVICE, ".sync_.db", "manifest--safeBackup-1.json", "日.txt", "-x-safeBackup-1",
    "manifest.sync-conflict-20250102-030405-A_.json", OLD_OWNCLOUD.replace("2-0", "2x0"), "x" + PLACEHOLDER[1:],
    "manifest-x-safeBackup-1a.json"]] + [
    # A manifest's version passes exactly when it equals 1, decided by its decimal digits however it is written.
    (f"version {v}", KEPT | {M: version(v)}, LIST, b.listed({NAME: 100}, version(v)) if decimal.Decimal(v) == 1
     else refusal("bad_manifest")) for v in "1.0 1.00 10e-1 0.1E1 1e0 1E+0 100e-2 0.01e2 1000e-003 0.001e+3 -1 2 "
    "11e-1 1.01 1.09 19e-1 0 0.0 0e0 1e1 10 0.1 1.0000000000000000001 100000000000000000000e-20 1e-1000000".split()]

# Each row in a fresh tree. A refusal changes nothing; a success removes nothing, and what it makes is private
# whatever the umask; the same request again answers alike (the file now exists) and changes nothing.
def check_table():
    schema = jsonschema.Draft202012Validator(json.loads((ROOT / "docs/response.schema.json").read_text()))
    for label, items, request, expected in TABLE:
        with tempfile.TemporaryDirectory() as parent:
            folder = b.sync_folder(parent, items)
            place = lambda d: d.replace(b"$", folder.encode()).replace(b"^", parent.encode())
            data = place(request if isinstance(request, bytes) else b.canonical(request).encode())
            expected, before = place(expected), b.snapshot(parent)
            done, ok = b.run(data, umask=0o477), expected.startswith(b'{"ok":true')
            after = b.snapshot(parent)
            expect(b.answered(done, expected) and
                   (before.keys() <= after.keys() if ok else after == before) and all(
                       after[p][0] & 0o777 == (0o700 if stat.S_ISDIR(after[p][0]) else 0o600) for p in after.keys() - before),
                   label, done)
            expect(b.run(data).stdout == expected.replace(b'"created":true', b'"created":false') and
                   b.snapshot(parent) == after and schema.is_valid(json.loads(done.stdout or "{}")), label, "again")


# A reader that waited for another helper's lock finds another directory at the folder's path. A lock on the folder
# itself, which anyone who may read it can take, holds up nothing.
def check_moved():
    with tempfile.TemporaryDirectory() as parent:
        folder = b.sync_folder(parent)
        fcntl.flock(on_folder := os.open(folder, os.O_RDONLY), fcntl.LOCK_EX)  # a helper held up times out
        expect(b.run(ask("list", folder), timeout=10).stdout == b.listed({}), "a lock on the folder itself")
        os.close(on_folder)
        fcntl.flock(lock := os.open(b.private_entry(folder), os.O_RDONLY | os.O_CREAT, 0o600), fcntl.LOCK_EX)
        helper = subprocess.Popen([b.HELPER], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        helper.stdin.write(b.canonical(ask("list", folder)).encode())
        helper.stdin.close()
        while helper.poll() is None and folder not in {os.path.realpath(f"/proc/{helper.pid}/fd/{n}")
                                                       for n in os.listdir(f"/proc/{helper.pid}/fd")}:
            time.sleep(0.01)  # until it holds the folder
        os.rename(folder, folder + "-moved")
        os.mkdir(folder)
        os.close(lock)
        expect(b"SYNC_FOLDER_MOVED" in helper.stdout.read(), "moved while waiting")


# Another user's sync folder, made first in a parent anyone may write to, is never taken for the user's own; nor is
# one the user may read but not change. Needs root, to act as two users.
def check_other_users():
    if not (account := b.ordinary_account()):
        return print("skipped the checks as two users: they need root")
    with tempfile.TemporaryDirectory() as top:
        os.chmod(top, 0o1777)
        theirs = b.sync_folder(top, {NAME: BUNDLE})  # made by root, readable by all
        os.chmod(theirs, 0o755)
        for request in (CREATE | {"folder": top}, ask("list", theirs), ask("read", theirs, name=NAME),
                        PUBLISH | {"folder": theirs, "name": NAME2}):
            done = b.run(request, **account)
            operation = request.get("operation", request.get("op"))
            expect(done.stdout == refusal("foreign_folder"), f"another user's folder: {operation}", done)
        expect(sorted(os.listdir(theirs)) == sorted([M, NAME]), "theirs unchanged", os.listdir(theirs))


# The README's and the manual page's tables of checks are what docs/checks.json renders, and each check there is
# provoked by the table row (or the check of its own) it names, with the code and message it documents.
def check_reference():
    sys.path.insert(0, str(ROOT / "scripts"))
    import reference
    expect(not reference.stale(), "README and manual page as docs/checks.json renders them", reference.stale())
    rows = {label: expected for label, _, _, expected in TABLE} | {
        "request bound": refusal("request_too_large"), "long paths": refusal("too_long")}
    for table in reference.CHECKS["tables"]:
        for check, code, message, row in table["checks"]:
            if code and row is None:
                expect(code == "SYNC_IO", f"{table['title']}: {check}: no row shows it")
            elif code:
                error = json.loads(rows[row])["error"] if row in rows else {}
                pattern = re.escape(message).replace("NAME", ".+").replace("COPY", ".+").replace("ERROR", ".+")
                expect(error.get("code") == code and re.fullmatch(pattern, error.get("message", "")),
                       f"{table['title']}: {check}", (row, error))


# Helpers at once agree: creates of one workspace on one folder, publishes of one name on one file, created once.
def check_races():
    with tempfile.TemporaryDirectory() as parent:
        answers = b.at_once(CREATE | {"folder": parent})
        expect(answers == [(b.created(parent), 0)] * 16 and os.listdir(parent) == [b.folder_name()],
               "creates at once", answers)
        folder = os.path.join(parent, b.folder_name())
        answers = b.at_once(PUBLISH | {"folder": folder})
        expect(answers == b.published_once(NAME) and sorted(os.listdir(folder)) == sorted([M, NAME])
               and os.listdir(parent) == [b.folder_name()]
               and pathlib.Path(folder, NAME).read_text() == BUNDLE, "publishes at once", answers)


# The longest folder a request may name is served; a create whose folder would be longer makes nothing.
def check_long_paths():
    for length, answer in ((4096 - 60, None), (4096 - 59, refusal("too_long"))):
        with tempfile.TemporaryDirectory() as top:
            pieces = (length - len(top) - 2) // 100  # of 100 bytes, then one of 2 to 101
            os.makedirs(parent := top + ("/" + "d" * 99) * pieces + "/" + "d" * (length - len(top) - 100 * pieces - 1))
            done, folder = b.run(CREATE | {"folder": parent}), parent + "/" + b.folder_name()
            for request, expected in [] if answer else ((ask("list", folder), b.listed({})), (PUBLISH | {
                    "folder": folder}, b.published(True, NAME)), (ask("read", folder, name=NAME), success(BUNDLE))):
                expect(b.run(request).stdout == expected, f"a folder of {len(folder)} bytes", request)
            expect(done.stdout == (answer or b.created(parent)) and (not answer or not os.listdir(parent)),
                   f"create in a parent of {length} bytes", done)


# A caller's non-blocking streams are waited on: a request that is not there yet, an answer larger than the pipe.
def check_nonblocking():
    with tempfile.TemporaryDirectory() as parent:
        stored = b.sized(b.MIB)
        folder = b.sync_folder(parent, {NAME: stored})
        (request_in, request_out), (answer_in, answer_out) = os.pipe(), os.pipe()
        os.set_blocking(request_in, False)
        os.set_blocking(answer_out, False)
        helper = subprocess.Popen([b.HELPER], stdin=request_in, stdout=answer_out)
        os.close(request_in), os.close(answer_out), time.sleep(0.2)
        with contextlib.suppress(BrokenPipeError):  # a helper that gave up at once
            os.write(request_out, b.canonical(ask("read", folder, name=NAME)).encode())
        os.close(request_out), time.sleep(0.2)
        with os.fdopen(answer_in, "rb") as answer:
            expect((answer.read() == success(stored), helper.wait()) == (True, 0), "non-blocking streams")


# The request is read to its end but never past its bound; an answer that cannot be written in full ends with
# status 1, on a closed pipe too.
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
        directory, (reading, writing) = os.open(parent, os.O_RDONLY), os.pipe()
        expect(b.run(b"", input=None, stdin=directory).stdout == refusal(
            "platform", description="The helper could not read its request: Is a directory."), "input a directory")
        os.close(reading)
        for output in (open("/dev/full", "wb"), writing):
            done = b.run(ask("list", parent), stdout=output)
            expect((done.returncode, done.stderr) == (1, b""), f"output {output}", done)


# Every code the helper has is documented and handled by both example clients, which run: every operation succeeds,
# what was read is published again unchanged, and each kind of refusal is handled as the retry advice says. The
# command line answers a person at a shell.
CLIENT_SAYS = [b"read back equal: true", b"published what was read (new: false)",
               b"read of a file not there: SYNC_DOWNLOAD_PENDING [retry] after 3 tries",
               b"read of a bad name: SYNC_UNSAFE_PATH [show] after 1 tries",
               b"create without a UUID: SYNC_INVALID_REQUEST [fix] after 1 tries",
               b"a name too long to look up: SYNC_IO [show] after 1 tries"]


def check_client_and_command_line():
    codes = {c for path in (ROOT / "src").rglob("*.cpp") for c in re.findall(r'"(SYNC_[A-Z_]+)"', path.read_text())}
    documented = json.loads((ROOT / "docs/response.schema.json").read_text())["$defs"]["code"]["enum"]
    expect(codes == set(documented), "the codes documented", codes ^ set(documented))
    for client, says in (([sys.executable, ROOT / "examples/client.py"], CLIENT_SAYS),
                         (["node", ROOT / "examples/client.mjs"], CLIENT_SAYS + [b"a lone surrogate: not sent"])):
        handled = re.findall(r'\b(SYNC_[A-Z_]+)\b', client[1].read_text())
        with tempfile.TemporaryDirectory() as parent:
            done = subprocess.run([*client, parent, b.HELPER], capture_output=True,
                                  env={**os.environ, "BRINDELL_EXAMPLE_DELAYS": "0,0"})
        expect(set(handled) == codes and done.returncode == 0 and all(
            line in done.stdout.lower() for line in (s.lower() for s in says)), client[1].name, done)
    usage = b"Usage: BrindellFileSync < request.json\n"
    for arguments, status, out, err in [
            (["--version"], 0, f"BrindellFileSync {sys.argv[2]}\n".encode(), b""),
            (["--help"], 0, usage, b""),
            (["--bogus"], 2, b"", b'BrindellFileSync: unknown argument "--bogus"'),
            (["--help", "x"], 2, b"", b'BrindellFileSync: unknown argument "x"'),
            ([], 2, b"", b"BrindellFileSync: the request is read from standard input")]:
        terminal, other = pty.openpty()  # a person at a shell; a helper waiting here would hang
        done = subprocess.run([b.HELPER, *arguments], stdin=None if arguments else other, capture_output=True,
                              timeout=10)
        expect(done.returncode == status and done.stdout.startswith(out) and done.stderr.startswith(err) and
               (out or not done.stdout), arguments, done)
    with open("/dev/full", "wb") as full:
        expect(subprocess.call([b.HELPER, "--help"], stdout=full) == 1, "help on a full device")


if __name__ == "__main__":
    b.test(check_table, check_moved, check_other_users, check_races, check_long_paths,
           check_nonblocking, check_streams, check_client_and_command_line, check_reference)
