# What the tests that run the built helper share: the workspaces and names they use, test trees
# built from a table, every answer they expect (each message written once, in MESSAGES), the ways
# they run the helper and the record of failed checks.
import concurrent.futures, hashlib, json, os, pathlib, pwd, random, resource, subprocess  # noqa
import sys, time  # noqa: E401

HELPER = ""  # the executable under test, named first on the command line
WORKSPACE, OTHER = "0f8fad5b-d9cb-469f-a165-70867728950e", "7c9e6679-7425-40de-944b-e07fc1f90ae7"
MIB, BUNDLE_LIMIT, FOLDER_LIMIT, REQUEST_LIMIT = 1 << 20, 7 << 20, 64 << 20, (7 << 20) + 65536
CHECKS, FAILURES = [0], []


# Runs `checks` on the executable named first on the command line, reports every failed check and
# exits. A helper gone wrong could take all the memory of a machine that others share: the helpers
# get 2 GiB of address space, unless the sanitizers' reservations need far more.
def test(*checks):
    global HELPER
    HELPER = os.path.realpath(sys.argv[1])
    if b"__asan_init" not in pathlib.Path(HELPER).read_bytes():
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
    for check in checks:
        check()
    print("\n".join(FAILURES + [f"{CHECKS[0] - len(FAILURES)} passed, {len(FAILURES)} failed"]))
    sys.exit(1 if FAILURES else 0)


def skip(reason, must_run=False):  # status 77 tells CTest that the test was skipped
    print(f"skipped: {reason}")
    sys.exit(1 if must_run else 77)


def expect(ok, label, detail=""):
    CHECKS[0] += 1
    FAILURES.extend([] if ok else [f"{label}: {detail}"[:500]])


def folder_name(workspace=WORKSPACE):
    return f"Brindell-{workspace}.brindell-sync"


def canonical(value):
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"), sort_keys=True)


def manifest(workspace=WORKSPACE):
    return canonical({"format": "brindell-folder-sync", "version": 1, "workspaceId": workspace})


def history_name(tag, workspace=WORKSPACE):
    return f"{workspace}-{hashlib.sha256(str(tag).encode()).hexdigest()}.brindell-history.json"


# A canonical history of exactly `size` bytes; given a seed, of random bytes, for Syncthing, which
# transfers a block once per file, so that no two are alike.
def sized(size, workspace=WORKSPACE, seed=None):
    pad = size - len(canonical({"pad": "", "workspaceId": workspace}))
    text = "x" * pad if seed is None else random.Random(seed).randbytes(pad).hex()[:pad]
    return canonical({"pad": text, "workspaceId": workspace})


# The code and message of every refusal the tests expect, one a line; {fields} are filled in.
MESSAGES = {
    "invalid_json": ("SYNC_INVALID_FILE", "A sync file contains invalid JSON. Preserve it for inspection; local "
        "workspace data is unchanged."),
    "not_object": ("SYNC_INVALID_FILE", "A sync file must contain one JSON object."),
    "invalid": ("SYNC_INVALID_REQUEST", "Missing or invalid {member}."),
    "unsupported": ("SYNC_INVALID_REQUEST", "Supported operations are create, list, read, and publish."),
    "id_not_uuid": ("SYNC_INVALID_REQUEST", "workspaceId must be a lowercase UUID."),
    "no_content": ("SYNC_INVALID_REQUEST", "publish requires a JSON content object."),
    "no_workspace": ("SYNC_INVALID_REQUEST", "Published history must identify its workspace with a lowercase UUID."),
    "traversal": ("SYNC_UNSAFE_PATH", "Select an absolute folder path without traversal components."),
    "root": ("SYNC_UNSAFE_PATH", "Select a dedicated folder rather than the filesystem root."),
    "link": ("SYNC_UNSAFE_PATH", "Sync paths cannot contain symbolic links. Select the actual folder."),
    "too_long": ("SYNC_UNSAFE_PATH", "The sync folder's path would be longer than 4,096 bytes. Select a parent folder "
        "with a shorter path."),
    "foreign_folder": ("SYNC_UNSAFE_PATH", "The sync folder belongs to another user or can be changed by other users. "
        "Select a folder that only you can change."),
    "foreign_item": ("SYNC_UNSAFE_PATH", "{item} belongs to another user or can be changed by other users. It was left "
        "as it is; select a sync folder that only you can change."),
    "in_sync_folder": ("SYNC_UNSAFE_PATH", "The selected folder is itself a sync folder. Select the folder that should "
        "hold the sync folder instead."),
    "wrong_kind": ("SYNC_UNSAFE_PATH", "The sync path contains an unexpected filesystem item."),
    "bad_name": ("SYNC_UNSAFE_PATH", "Invalid immutable history filename."),
    "hard_link": ("SYNC_UNSAFE_PATH", "Sync content must be a regular file without hard links."),
    "missing": ("SYNC_MISSING", "The selected sync folder or file is unavailable. Restore access or wait for the sync client, then "
        "retry."),
    "system": ("SYNC_IO", "{phrase}: {error}. Local workspace data is unchanged."),
    "platform": ("SYNC_IO", "Sync folder access failed: {description} Local workspace data is unchanged."),
    "request_too_large": ("SYNC_CAPACITY", "The helper request exceeds its supported size."),
    "too_large": ("SYNC_CAPACITY", "A sync file exceeds the supported size limit. Local workspace data is unchanged."),
    "history_too_large": ("SYNC_CAPACITY", "A sync history file exceeds the 7-MiB limit. Local workspace data is unchanged."),
    "bundle_too_large": ("SYNC_CAPACITY", "This history bundle exceeds the 7-MiB sync limit. Local workspace data is unchanged."),
    "folder_full": ("SYNC_CAPACITY", "The sync folder exceeds its 512-file or 64-MiB limit. Local edits are safe; use "
        "a new sync folder or a supported retention workflow."),
    "too_many_entries": ("SYNC_CAPACITY", "The sync folder exceeds its 512-file limit. Local edits are safe; use a "
        "new sync folder or an explicitly supported retention workflow."),
    "would_overfill": ("SYNC_CAPACITY", "Publishing would exceed the sync folder's 512-file or 64-MiB limit. Local "
        "edits remain saved on this computer."),
    "other_workspace": ("SYNC_WORKSPACE_MISMATCH", "The existing folder belongs to a different workspace. Its contents were not replaced."),
    "now_other_workspace": ("SYNC_WORKSPACE_MISMATCH", "The sync folder now belongs to a different workspace. No "
        "history was published there."),
    "not_available": ("SYNC_DOWNLOAD_PENDING", "{item} is not available yet. Wait for the sync client and retry; "
        "the existing workspace will not be replaced."),
    "copy_arriving": ("SYNC_DOWNLOAD_PENDING", "An existing cloud copy of this immutable file is still downloading. "
        "Retry after the sync client makes it available."),
    "client_download": ("SYNC_DOWNLOAD_PENDING", "{item} is not available yet: the sync client has not finished "
        "downloading it. Let the download complete and retry; the existing workspace will not be replaced."),
    "ambiguous": ("SYNC_FILE_CONFLICT", "The sync folder contains ambiguous copies of {item}. Wait for the sync "
        "client or inspect the conflicting files before retrying."),
    "client_conflict": ("SYNC_FILE_CONFLICT", "A sync client left {copy} as a conflicting copy of {item}. Keep both "
        "files and resolve the conflict before retrying."),
    "unexpected": ("SYNC_FOLDER_CONTENTS", "The sync folder contains an unexpected item: {item}. Preserve it and "
        "select the dedicated Brindell folder."),
    "immutable": ("SYNC_IMMUTABLE_CONFLICT", "An existing immutable history file has different content. It was "
        "preserved; inspect the folder before retrying."),
    "bad_manifest": ("SYNC_UNSUPPORTED_MANIFEST", "This folder does not contain a supported Brindell sync manifest. "
        "Update Brindell or select the correct folder."),
}


def refusal(key, **fields):
    code, text = MESSAGES[key]
    return (canonical({"error": {"code": code, "message": text.format(**fields)}, "ok": False}) + "\n").encode()


def success(result):  # the answer carrying `result`, a value or its canonical text
    return ('{"ok":true,"result":' + (result if isinstance(result, str) else canonical(result)) + "}\n").encode()


# Whether the helper's run `done` gave the answer `expected`, with its exit status, and said
# nothing else.
def answered(done, expected):
    status = 0 if expected.startswith(b'{"ok":true') else 1
    return (done.stdout, done.returncode, done.stderr) == (expected, status, b"")


def listed(files, text=manifest()):  # the list answer of a local folder holding history files {name: size}
    entries = canonical([{"isUploaded": True, "name": n, "size": files[n]} for n in sorted(files)])
    return success(f'{{"files":{entries},"isUbiquitous":false,"manifest":{text},"pendingUploads":false}}')


def created(parent, workspace=WORKSPACE, text=None):  # the answer of a create in `parent`
    folder, text = canonical(f"{parent}/{folder_name(workspace)}"), text or manifest(workspace)
    return success(f'{{"folder":{folder},"isUbiquitous":false,"manifest":{text},'
                   '"pendingUploads":false}')


def published(created, name):
    return success({"created": created, "isUbiquitous": False, "isUploaded": True, "name": name, "pendingUploads": False})


# Items other than files of text: a symbolic link to a target, another name of
# an item (named as the items are), a file of a size that takes no disk space,
# a file of text that others may write, and a new mode for an item already there.
class Link(str): pass  # noqa: E701
class HardLink(str): pass  # noqa: E701
class Sparse(int): pass  # noqa: E701
class Shared(str): pass  # noqa: E701
class Mode(int): pass  # noqa: E701


DIRECTORY, GONE = object(), object()


# Makes each item of {relative name: text (a file), Link, HardLink, Sparse, Shared, Mode, DIRECTORY or GONE (removed)} in
# `top`, in order.
def build(top, items):
    for name, what in items.items():
        path = os.path.join(top, name)
        if isinstance(what, Mode):
            os.chmod(path, what)
        elif what is DIRECTORY or what is GONE:
            (os.makedirs if what is DIRECTORY else os.unlink)(path)
        elif isinstance(what, (Link, HardLink)):
            os.path.lexists(path) and os.unlink(path)  # a link in place of an item
            os.symlink(what, path) if isinstance(what, Link) else os.link(os.path.join(top, what), path)
        else:
            with open(path, "wb") as file:
                file.truncate(what) if isinstance(what, Sparse) else file.write(what.encode())
            isinstance(what, Shared) and os.chmod(path, 0o646)


def history_files(count, size):
    return {history_name(f"filler {i}"): Sparse(size) for i in range(count)}


def files_leaving(room):  # sparse history files that leave `room` bytes of the 64 MiB
    return history_files(9, BUNDLE_LIMIT) | {history_name("rest"): Sparse(FOLDER_LIMIT - 9 * BUNDLE_LIMIT - room)}


# The sync folder of `workspace` in `parent`, holding its manifest and `items`.
def sync_folder(parent, items=None, workspace=WORKSPACE):
    folder = os.path.join(parent, folder_name(workspace))
    build(parent, {folder_name(workspace): DIRECTORY, f"{folder_name(workspace)}/manifest.json": manifest(workspace)})
    build(folder, items or {})
    return folder


# Every item under `top` with its mode, size, inode and modification time:
# equal snapshots mean nothing was added, removed or changed.
def snapshot(top):
    items = {}
    for directory, subdirectories, files in os.walk(top):
        for path in (os.path.join(directory, name) for name in subdirectories + files):
            info = os.lstat(path)
            items[path] = info.st_mode, info.st_size, info.st_ino, info.st_mtime_ns
    return items


def staging_leftovers(directory):
    return [n for n in os.listdir(directory) if n.startswith(".brindell-staging-")]


# The options of run() that make the helper run as an ordinary account, for runs that root makes on
# another's behalf: the account brindell-test, made when missing. None when not run by root, which
# alone can act as another.
def ordinary_account(name="brindell-test"):
    if os.geteuid() != 0:
        return None
    if subprocess.run(["id", "-u", name], capture_output=True).returncode != 0:
        subprocess.run(["useradd", "--create-home", "--shell", "/bin/bash", name], check=True)
    entry = pwd.getpwnam(name)
    return {"user": entry.pw_uid, "group": entry.pw_gid, "extra_groups": []}


# The lock file this user's helpers keep in their private directory for the directory `path`. The private directory
# is made when missing.
def private_entry(path):
    runtime = os.environ.get("XDG_RUNTIME_DIR", "")
    private = os.path.join(runtime, "brindell") if runtime.startswith("/") else f"/tmp/brindell-{os.geteuid()}"
    os.makedirs(private, 0o700, exist_ok=True)
    info = os.stat(path)
    return os.path.join(private, f"{info.st_dev}-{info.st_ino}.lock")


# Marks the directory `path` as the helper marks its staging directories, by its own device and inode (or those of
# `like`, as a copy would carry the mark of its original).
def mark_staging(path, like=None):
    info = os.stat(like or path)
    os.setxattr(path, "user.brindell-staging", f"{info.st_dev}:{info.st_ino}".encode(), follow_symlinks=False)


def wait(what, condition, seconds=60):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise TimeoutError(f"gave up after {seconds} s waiting for {what}")
        time.sleep(0.02)


# One run of the helper with `request` (bytes, text or a JSON value) on its
# standard input; `options` go to subprocess.run ("args" to run it otherwise).
def run(request, **options):
    request = request if isinstance(request, (bytes, str)) else canonical(request)
    request = request.encode() if isinstance(request, str) else request
    pipes = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE}
    return subprocess.run(options.pop("args", [HELPER]), **{"input": request, "timeout": 60, **pipes, **options})


# The answers of 16 helpers given `request` at once, with their statuses, sorted; and what 16
# publishes of `name` at once answer: one made the file.
def at_once(request, **options):
    with concurrent.futures.ThreadPoolExecutor(16) as pool:
        runs = pool.map(lambda _: run(request, **options), range(16))
        return sorted((done.stdout, done.returncode) for done in runs)


def published_once(name):
    return sorted([(published(True, name), 0)] + [(published(False, name), 0)] * 15)
