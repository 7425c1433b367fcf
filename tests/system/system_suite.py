#!/usr/bin/env python3
# System suite, the fault harness: drives the built executable under strace and checks that it keeps its promises
# when its system calls fail, when it is killed, when they are interrupted or take part of what they were given, and
# when another process puts its own directory under the name of create's staging directory.
#
#   python3 tests/system/system_suite.py HELPER
import collections, fcntl, json, os, pathlib, re, resource, shutil, subprocess, sys, tempfile, time  # noqa

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "support"))
import brindell as b  # noqa: E402
from brindell import DIRECTORY, HardLink, Link, expect, history_name, refusal  # noqa: E402

STAGING, F, NAME = ".brindell-staging-", b.folder_name(), history_name("new")
CONTENT = {"entries": [1, 2.50], "workspaceId": b.WORKSPACE}


# Every item under `top` with its mode and bytes (or link target), without the staging directories directly in it,
# which come second.
def contents(top):
    leftovers, items = b.staging_leftovers(top), {}
    for directory, subdirectories, files in os.walk(top):
        for path in (os.path.join(directory, name) for name in subdirectories + files):
            items[path] = os.lstat(path).st_mode, os.readlink(path) if os.path.islink(path) else (
                pathlib.Path(path).read_bytes() if os.path.isfile(path) else None)
    return {k: v for k, v in items.items() if k.split("/")[len(top.split("/"))] not in leftovers}, leftovers


def traced(request, *options):  # a run under strace -f with `options`, and its trace
    with tempfile.NamedTemporaryFile("r") as log:
        done = subprocess.run(["strace", "-f", "-qq", "-o", log.name, *options, b.HELPER], input=request,
                              capture_output=True, timeout=60, check=False)
        return done, log.read()


IO, NAMED = "Input/output error", f"\u201c{F}\u201d"
# Each step of create and publish that changes the disk or reads what it made, in order: the call (its name, a text
# in its line, which of those) and the sentence that names its failure. That every failure elsewhere leaves the folder
# as it was or as intended is the in-process sweep's to show.
SENTENCES = {"create": [
    ("mkdirat", STAGING, 1, "Cannot create a staging directory in \u201ccreate\u201d"),
    ("mkdirat", 'sync"', 1, f"Cannot create directory {NAMED}"),
    ("openat", "O_EXCL", 1, "Cannot prepare the sync file"),
    ("writev", "format", 1, "Cannot write the sync file"),
    ("fsync", "", 1, "Cannot synchronize the sync file"),
    ("fsync", "", 2, "Cannot synchronize the sync directory"),
    ("renameat2", "NOREPLACE", 1, "Cannot create the sync folder"),
    ("fsync", "", 3, "Cannot synchronize the sync directory"),
    ("openat", '"manifest.json", O_RDONLY', 1, "Cannot read manifest.json"),
    ("getdents64", "", -1, f"Cannot list {NAMED}")], "publish": [
    ("openat", "O_TMPFILE", 1, "Cannot prepare the sync file"),
    ("writev", "workspaceId", 1, "Cannot write the sync file"),
    ("fsync", "", 1, "Cannot synchronize the sync file"),
    ("linkat", "/proc/self/fd/", 1, "Cannot publish the sync file"),
    ("fsync", "", 2, "Cannot synchronize the sync directory")]}
# The calls that change the disk, at each of which a helper is killed.
CHANGES = "mkdirat|write|fsync|rename|linkat|unlinkat|openat.*O_(CREAT|TMPFILE)"


# One request on a fresh tree: the tree before and as intended, the answer, and the calls of the thread serving it,
# each numbered among its calls of that name as strace's when= counts them. Calls the main thread made as often are
# left out (when= would fail its call too), and so are those that cannot fail or do not return. Where `beside`,
# publish stages beside the folder, as where unnamed files cannot be made.
class Scenario:
    def __init__(self, kind, root, beside=False):
        self.kind, self.parent, self.beside = kind, os.path.join(root, kind), beside or kind == "create"
        self.request, self.before = b.canonical(self.tree()).encode(), contents(self.parent)[0]
        done, self.trace = traced(self.request)
        self.answer, (self.intended, leftovers) = done.stdout, contents(self.parent)
        expect(done.returncode == 0 and not leftovers and careful(self.trace), kind, (done, self.trace))
        counts, calls, self.steps = collections.Counter(), [], {}
        for tid, name, line in re.findall(r"^(\d+) +(\w+)\((.*)$", self.trace, re.M):
            counts[tid, name] += 1
            calls.append((tid, name, counts[tid, name], line))
        self.calls = [(n, k, line) for tid, n, k, line in calls if tid != calls[0][0] and k > counts[calls[0][0], n]
                      and n not in ("futex", "exit_group", "gettid", "geteuid")]
        for name, needle, nth, phrase in [] if beside else SENTENCES[kind]:
            found = [(n, k) for n, k, line in self.calls if n == name and needle in line]
            self.steps[found[nth - 1 if nth > 0 else nth]] = refusal("platform", description=f"{phrase}: {IO}.") \
                if "\u201c" in phrase else refusal("system", phrase=phrase, error=IO)

    def tree(self):  # builds the tree afresh and returns the request
        shutil.rmtree(self.parent, ignore_errors=True)
        os.makedirs(self.parent)
        if self.kind == "create":
            return {"op": "create", "folder": self.parent, "workspaceId": b.WORKSPACE}
        return {"op": "publish", "folder": b.sync_folder(self.parent), "name": NAME, "content": CONTENT}

    def kills(self):  # at each call that changes the disk but the answer's
        for name, number, line in self.calls:
            re.match(CHANGES, name + line) and not line.startswith("1,") and self.case(name, number, "signal=SIGKILL")

    # The request killed at a call, or failed there with the `expected` answer, then again as it is: the tree, what
    # is left, the repeat, and a later helper's clean-up. An unnamed file leaves nothing, even when killed; a staging
    # directory may stay only when its helper is killed.
    def case(self, name, number, action, expected=None):
        self.tree()
        label = f"{self.kind} {name}#{number} {action}"
        done, _ = traced(self.request, "-e", f"inject={name}:{action}:when={number}")
        after, leftovers = contents(self.parent)
        expect(after in (self.before, self.intended) and (done.stdout, done.returncode) == (
            (expected, 1) if expected else (b"", -9)), label, done)
        expect(not leftovers or self.beside and len(leftovers) == 1 and not expected, label, f"left {leftovers}")
        again = b.run(self.request).stdout
        expect(again == self.answer.replace(b'"created":true', b'"created":%s' % (
            b"false" if after == self.intended else b"true")) and contents(self.parent)[0] == self.intended and
            (not leftovers or removed_later(self.parent)), label, again)


LOADER = ("/etc/ld.so", "/lib/", "/usr/lib/")  # the dynamic loader's opens, before the helper's own


# Whether a traced run took the background's priorities, opened nothing by name through a link nor anything a child
# would inherit, created nothing but exclusively (but its own lock files and clean-up cursors in its private
# directory), never blocked on another helper's lock and closed no descriptor twice.
def careful(trace):
    opens = re.findall(r'^\d+ +openat2?\((\w+), "([^"]*)"(.*)$', trace, re.M)
    return re.search(r"setpriority\(PRIO_PROCESS, \d+, 10\b", trace) and "(IOPRIO_CLASS_BE, 7)" in trace and all(
        "O_CLOEXEC" in rest and ("O_NOFOLLOW" in rest or "RESOLVE_NO_SYMLINKS" in rest or
                                 name in ("/", ".") or name.startswith(LOADER)) for fd, name, rest in opens) \
        and all("O_EXCL" in rest or re.fullmatch(r"\d+-\d+\.(lock|scan)", name) for _, name, rest in opens
                if "O_CREAT" in rest) \
        and all("LOCK_NB" in lock for lock in re.findall(r"^\d+ +flock\((.*)$", trace, re.M)) and " EBADF " not in trace


# Ages the staging directories in `parent` past the minute after which a later helper staging there removes them,
# and has one do so.
def removed_later(parent):
    for name in b.staging_leftovers(parent):
        os.utime(os.path.join(parent, name), (time.time() - 120,) * 2)
    b.run({"op": "create", "folder": parent, "workspaceId": b.OTHER})
    return not b.staging_leftovers(parent)


# Create and publish are killed at each call that changes the disk, and fail at each call a sentence names.
def check_kills(root):
    for kind in SENTENCES:
        scenario = Scenario(kind, root)
        scenario.kills()
        for (name, number), answer in scenario.steps.items():
            scenario.case(name, number, "error=EIO", answer)


# Without unnamed files publish stages beside the folder and leaves nothing there, also where no rename is exclusive;
# a path openat2 cannot resolve again, or that lacks it, is walked, and the folder is still known where it was;
# without a thread to spare the main thread serves; a write that takes part of the bytes goes on with the rest, in the
# staged file and in the answer, and one that takes none finds the disk full; an interrupted call is made again.
def check_calls(root):
    publish, stored = Scenario("publish", root), b.canonical(CONTENT).encode()
    unnamed = next(k for n, k, line in publish.calls if n == "openat" and "O_TMPFILE" in line)
    read, done = b.canonical({"op": "read", "folder": os.path.join(publish.parent, F), "name": NAME}), publish.answer
    for option, answer, written in [
            (f"openat:error=EOPNOTSUPP:when={unnamed}", done, stored),
            (f"openat:error=EOPNOTSUPP:when={unnamed} renameat2:error=EINVAL", done, stored),
            ("openat2:error=ENOSYS", done, stored), ("openat2:error=EPERM", done, stored),
            ("openat2:error=EIO:when=1", done, stored), ("clone3:error=EAGAIN:when=1", done, stored),
            ("writev:retval=1:when=1", done, stored[1:]),
            ("writev:retval=0:when=1", refusal("system", phrase="Cannot write the sync file",
                                               error="No space left on device"), None),
            ("writev:error=EINTR:when=1", done, stored), ("read:error=EINTR:when=2", done, stored),
            ("read:error=EINTR:when=3", done, stored),
            ("read writev:error=EINTR:when=1", b.success(stored.decode()), stored),
            ("read writev:retval=22:when=1", b.success(stored.decode())[22:], stored),
            ("read writev:retval=0:when=1", b"", stored)]:
        publish.tree()
        option.startswith("read ") and b.run(publish.request)
        done, trace = traced(read.encode() if option.startswith("read ") else publish.request,
                             *(word for o in option.split() if o != "read" for word in ("-e", "inject=" + o)))
        target = pathlib.Path(publish.parent, F, NAME)
        found = done.stdout, target.read_bytes() if target.exists() else None, os.listdir(publish.parent)
        # The request's folder and the private directory are walked from the root once each; a path resolved
        # again without openat2 is walked too.
        walked = trace.count('openat(AT_FDCWD, "/", O_RDONLY|O_NOFOLLOW|O_CLOEXEC|O_PATH)') > 2
        expect(found == (answer, written, [F]) and "INJECTED" in trace and careful(trace) and
               walked == option.startswith("openat2"), option, (found, trace))


# Staging directories as killed helpers leave them, each with its items and whether a later helper removes it: only
# the exact shapes the helper makes, marked as made by it, every item ours and private, unlocked and a minute old.
# A directory of the user's renamed to a staging name carries no mark; a copy carries its original's. A stray beside an item
# of ours comes under several names, as a directory lists its entries in an order of its own.
SHAPES = [("empty0", {}, True), ("file00", {"history.json": "{}"}, True), ("fold00", {F: DIRECTORY}, True),
          ("fman00", {F: DIRECTORY, F + "/manifest.json": ""}, True), ("extra0", {"history.json": "", "notes": ""}, False),
          ("links0", {"history.json": "{}", "../hard": HardLink("history.json")}, False),
          ("deep00", {F: DIRECTORY, F + "/sub": DIRECTORY, F + "/sub/manifest.json": ""}, False),
          *((f"two{n}00", {F: DIRECTORY, F + "/" + n: "", F + "/manifest.json": "{}"}, False) for n in "azmq0"),
          *((f"more{n}0", {"history.json": "{}", n: ""}, False) for n in "abcdefgh"),
          ("other0", {}, os.geteuid() != 0), ("locked", {}, False), ("young0", {}, False), ("public", {}, False),
          ("shared", {"history.json": ""}, False), ("toolong", {}, False),
          ("suffix", {F[:-4] + "SYNC": DIRECTORY}, False), ("unmark", {"history.json": "{}"}, False),
          ("copied", {}, False)]


def check_leftovers(root):
    parent, umask = os.path.join(root, "leftovers"), os.umask(0o077)
    for name, items, _ in SHAPES:
        b.build(parent, {STAGING + name: DIRECTORY})
        b.build(os.path.join(parent, STAGING + name), items)
    os.umask(umask)
    for name, _, _ in SHAPES:
        name != "unmark" and b.mark_staging(os.path.join(parent, STAGING + name),
                                            parent if name == "copied" else None)
    b.build(parent, {STAGING + "linkTo": Link("x"), STAGING + "fileAt": ""})
    os.chmod(os.path.join(parent, STAGING + "public"), 0o701)
    os.chmod(os.path.join(parent, STAGING + "shared", "history.json"), 0o640)
    os.geteuid() == 0 and os.lchown(os.path.join(parent, STAGING + "other0"), 65534, 65534)
    for name in set(os.listdir(parent)) - {STAGING + "young0"}:
        os.utime(os.path.join(parent, name), (time.time() - 120,) * 2, follow_symlinks=False)
    fcntl.flock(locked := os.open(os.path.join(parent, STAGING + "locked"), os.O_RDONLY), fcntl.LOCK_EX)
    before, gone = b.snapshot(parent), [os.path.join(parent, STAGING + n) for n, _, removed in SHAPES if removed]
    # Publish cleans up beside its folder as create does before it stages.
    b.run({"op": "publish", "folder": b.sync_folder(parent), "name": NAME, "content": CONTENT})
    os.close(locked)
    # The shapes removed are gone entirely; the others are untouched, down to their last item.
    expect({k: v for k, v in b.snapshot(parent).items() if not k.startswith(os.path.join(parent, F))} == {
        k: v for k, v in before.items() if not any(k == g or k.startswith(g + "/") for g in gone)}, "leftovers")


# Another process moves create's staging directory away while create holds it (locked, its third mkdirat held back
# three seconds) and puts an empty private directory of its own under the name: create works on in its own, makes its own
# folder, and neither uses nor removes the impostor.
def check_impostor(root):
    os.makedirs(parent := os.path.join(root, "impostor"))
    helper = subprocess.Popen(["strace", "-f", "-qq", "-o", "/dev/null", "-e", "inject=mkdirat:delay_enter=3000000:when=3",
                               b.HELPER], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    helper.stdin.write(b.canonical({"op": "create", "folder": parent, "workspaceId": b.WORKSPACE}).encode())
    helper.stdin.close()
    def locked(name):  # by the helper, which has made it and holds it
        try:
            fcntl.flock(held := os.open(os.path.join(parent, name), os.O_RDONLY), fcntl.LOCK_EX | fcntl.LOCK_NB)
            os.close(held)
        except BlockingIOError:
            return True
        except OSError:
            pass
        return False
    while helper.poll() is None and not ((staging := b.staging_leftovers(parent)) and locked(staging[0])):
        time.sleep(0.01)
    os.rename(impostor := os.path.join(parent, staging[0]), os.path.join(root, "moved"))
    os.mkdir(impostor, 0o700)
    inode, answer = os.stat(impostor).st_ino, helper.stdout.read()
    expect(b'"ok":true' in answer and os.listdir(os.path.join(parent, F)) == ["manifest.json"] and
           os.stat(impostor).st_ino == inode and not os.listdir(impostor), "impostor", (answer, os.listdir(parent)))


# A request of some MiB has its whole blocks asked for as huge pages as it arrives. The file it stores is read into one
# mapping of its size, its whole blocks asked for as huge pages too, by two reads (the bytes, then the end), and
# answered in one writev around them: no regrowth and no copy.
def check_read_calls(root):
    os.makedirs(parent := os.path.join(root, "reading"))
    folder, content = b.sync_folder(parent), {"workspaceId": b.WORKSPACE, "x": "a" * 3_000_000}
    done, trace = traced(b.canonical({"op": "publish", "folder": folder, "name": NAME, "content": content}).encode())
    expect(done.returncode == 0 and "MADV_HUGEPAGE" in trace, "request calls", trace)
    size = len(b.canonical(content).encode())
    done, trace = traced(b.canonical({"op": "read", "folder": folder, "name": NAME}).encode())
    opened = re.search(rf'^\d+ +openat\(\d+, "{NAME}", .* = (\d+)$', trace, re.M)
    reads = re.findall(rf"^\d+ +read\({opened.group(1)}, ", trace[opened.end():], re.M)
    maps = [n for n in re.findall(r"^\d+ +mmap\(NULL, (\d+), PROT_READ\|PROT_WRITE,", trace, re.M) if int(n) > size]
    expect(done.returncode == 0 and len(reads) == 2 and len(maps) == 1 and "MADV_HUGEPAGE" in trace and
           trace.count(" writev(1,") == 1, "read calls", trace)


# A request refused for what stands at its name (a file, a folder others may change) stages nothing first, nothing a
# cloud drive could upload meanwhile.
def check_refused_early(root):
    for kind, at, make in (("create", F, lambda path: open(path, "w").close()), ("publish", f"{F}/{NAME}", os.mkdir),
                           ("create", F, lambda path: os.mkdir(path) or os.chmod(path, 0o777))):
        (scenario := Scenario(kind, root)).tree()
        make(os.path.join(scenario.parent, at))
        done, trace = traced(scenario.request)
        expect(b"SYNC_UNSAFE_PATH" in done.stdout and not re.search(f'mkdirat\\(\\d+, "{STAGING}|O_TMPFILE', trace),
               kind, (done, trace))


# Out of descriptors wherever the limit falls, create and publish answer as they would or with SYNC_IO, and leave
# nothing behind: every way out, the removal of what was staged too, has the descriptors it needs.
def check_descriptors(root):
    for kind in ("create", "publish"):
        scenario = Scenario(kind, root)
        for limit in range(4, 17):
            scenario.tree()
            done = b.run(scenario.request, preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (limit,) * 2))
            after, leftovers = contents(scenario.parent)
            expect(not leftovers and ((done.stdout, after) == (scenario.answer, scenario.intended) or b'"SYNC_IO"' in
                   done.stdout and after in (scenario.before, scenario.intended)), f"{kind} with {limit} descriptors",
                   (done.stdout, leftovers))
        if os.geteuid() == 0:  # without /proc (some sandboxes) an unnamed file cannot be named: publish stages beside
            scenario.tree()
            done = b.run(scenario.request, args=["unshare", "--mount", "--propagation", "private", "sh", "-c",
                                                 'mount -t tmpfs none /proc && exec "$0"', b.HELPER])
            expect((done.stdout, contents(scenario.parent)) == (scenario.answer, (scenario.intended, [])),
                   f"{kind} without /proc", done)


# Where the file system has neither unnamed files nor an exclusive rename (a FUSE mount: bindfs mirroring a
# directory), publish stages beside the folder, and killed at each call that changes the disk it leaves the folder
# as it was or as intended, and nothing that a later request does not remove. Needs root, to mount.
def check_fallback_kills(root):
    if os.geteuid() != 0 or not shutil.which("bindfs"):
        return print("skipped the publish killed on a FUSE mount: it needs root and bindfs")
    os.makedirs(source := os.path.join(root, "mirrored"))
    os.makedirs(mount := os.path.join(root, "fuse"))
    subprocess.run(["bindfs", source, mount], check=True)
    try:
        scenario = Scenario("publish", mount, beside=True)
        scenario.kills()
    finally:
        subprocess.run(["fusermount", "-u", mount])


def check_all():
    with tempfile.TemporaryDirectory(dir=os.path.realpath("/tmp")) as root:
        for check in (check_kills, check_calls, check_leftovers, check_impostor, check_refused_early, check_read_calls,
                      check_descriptors, check_fallback_kills):
            check(root)


if __name__ == "__main__":
    b.test(check_all)
