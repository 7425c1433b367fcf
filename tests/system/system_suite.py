#!/usr/bin/env python3
"""System suite: drives the real BrindellFileSync executable and checks that it
keeps its promises when system calls fail, when it is killed, when symbolic
links race with it, under parallel load and on a full disk.

    python3 tests/system/system_suite.py --quick build/release/src/BrindellFileSync
    python3 tests/system/system_suite.py --full build/release/src/BrindellFileSync

--quick fails and kills a fixed sample of the system-call occurrences (for CI);
--full does it at every occurrence. Needs strace; the full-disk check mounts a
small tmpfs when allowed and otherwise injects ENOSPC. Prints what each check
ran and found, ends with "N passed, M failed" (cases) and exits 1 on any
failure.
"""

import argparse
import collections
import concurrent.futures
import ctypes
import functools
import hashlib
import json
import os
import random
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import time

WORKSPACE = "3f2b8c1e-5a7d-4e9f-b0c6-d2e4f6a8b0c1"
FOLDER_NAME = f"Brindell-{WORKSPACE}.brindell-sync"
MANIFEST = {"format": "brindell-folder-sync", "version": 1, "workspaceId": WORKSPACE}
STAGING = re.compile(r"\.brindell-staging-[A-Za-z0-9]{6}")
CODES = {"SYNC_" + code for code in (
    "INVALID_REQUEST", "INVALID_FILE", "UNSAFE_PATH", "MISSING", "IO", "CAPACITY",
    "WORKSPACE_MISMATCH", "FOLDER_MOVED", "DOWNLOAD_PENDING", "FILE_CONFLICT", "FOLDER_CONTENTS",
    "UPLOAD_FAILED", "DOWNLOAD_FAILED", "EXCLUDED", "IMMUTABLE_CONFLICT", "UNSUPPORTED_MANIFEST")}
MAXIMUM_FILES, MAXIMUM_FOLDER_BYTES = 512, 64 * 1024 * 1024
NO_SPACE = {f"Cannot {what}: No space left on device. Local workspace data is unchanged."
            for what in ("write the sync file", "synchronize the sync file")}

# Fault plans. Memory and thread calls fail with the errors they really have;
# ENOSPC goes where a full disk shows. futex is left alone: glibc aborts on
# purpose when it reports an error the kernel never gives, and the exits and
# signal returns do not return at all.
MEMORY_CALLS = {"mmap", "munmap", "mprotect", "madvise", "brk", "mremap"}
THREAD_CALLS = {"clone", "clone3"}
# geteuid cannot fail; an injected failure would only make the helper take its
# own new staging directory for someone else's.
NEVER_FAILED = {"futex", "exit", "exit_group", "rt_sigreturn", "restart_syscall", "geteuid"}
CHANGING_CALLS = {"mkdirat", "openat", "openat2", "write", "writev", "fsync", "renameat2",
                  "linkat", "unlinkat", "flock", "fchmod", "chmod"}
KINDS = ("create", "publish-new", "publish-existing", "list", "read")
READ_SYSCALL = {"x86_64": "0", "aarch64": "63"}.get(os.uname().machine, "0")

HELPER = ""
Run = collections.namedtuple("Run", "out err rc pid", defaults=[0])
Call = collections.namedtuple("Call", "tid name k line")


def canonical(value):
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"), sort_keys=True)


def history_name(tag):
    return f"{WORKSPACE}-{hashlib.sha256(tag.encode()).hexdigest()}.brindell-history.json"


def history(tag, padding=0):
    return {"workspaceId": WORKSPACE, "tag": tag, "padding": "x" * padding}


def write_file(path, text):
    with open(path, "wb") as file:
        file.write(text.encode())


def make_sync_folder(parent, files):
    folder = os.path.join(parent, FOLDER_NAME)
    os.makedirs(folder, mode=0o700)
    write_file(os.path.join(folder, "manifest.json"), canonical(MANIFEST))
    for name, content in files.items():
        write_file(os.path.join(folder, name), canonical(content))
    return folder


def digest(path):
    with open(path, "rb") as file:
        return hashlib.sha256(file.read()).hexdigest()


def holds(path, content):
    """Whether the file holds exactly the canonical encoding of `content`."""
    return digest(path) == hashlib.sha256(canonical(content).encode()).hexdigest()


def snapshot(top):
    """Every item under `top` (kind, mode, size and hash or link target), and
    apart from them the staging directories directly in `top`."""
    entries, leftovers = {}, []
    for directory, subdirs, files in os.walk(top):
        if directory == top:
            leftovers = sorted(n for n in subdirs + files if STAGING.fullmatch(n))
            subdirs[:] = [n for n in subdirs if n not in leftovers]
            files = [n for n in files if n not in leftovers]
        for name in subdirs + files:
            path = os.path.join(directory, name)
            info = os.lstat(path)
            detail = None
            if stat.S_ISREG(info.st_mode):
                detail = (info.st_size, digest(path))
            elif stat.S_ISLNK(info.st_mode):
                detail = os.readlink(path)
            entries[os.path.relpath(path, top)] = (stat.S_IFMT(info.st_mode),
                                                   stat.S_IMODE(info.st_mode), detail)
    return entries, leftovers


def difference(after, expected):
    changed = sorted(k for k in set(after) | set(expected) if after.get(k) != expected.get(k))
    return ", ".join(changed[:4])


# ---------------------------------------------------------------- running it

def encoded(request):
    return request if isinstance(request, bytes) else canonical(request).encode()


def run_helper(request, timeout=120):
    done = subprocess.run([HELPER], input=encoded(request), capture_output=True, timeout=timeout)
    return Run(done.stdout, done.stderr, done.returncode)


def wait_until_reading(pid):
    """Waits until the helper's worker thread blocks reading its request."""
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        for task in os.listdir(f"/proc/{pid}/task"):
            try:
                with open(f"/proc/{pid}/task/{task}/syscall") as file:
                    call = file.read().split()
            except OSError:
                continue
            if int(task) != pid and call[:2] == [READ_SYSCALL, "0x0"]:
                return
        time.sleep(0.0005)
    raise RuntimeError("the helper never started reading its request")


def traced(request, strace_args, attach, timeout=120):
    """Runs the helper under strace. strace counts calls per thread, and in the
    main thread the dynamic loader makes calls of the same names as the worker;
    attached runs let the helper start untraced and attach once the worker waits
    for its request, so every count belongs to serving the request alone."""
    if not attach:
        done = subprocess.run(["strace", "-f", "-qq", *strace_args, HELPER],
                              input=encoded(request), capture_output=True, timeout=timeout)
        return Run(done.stdout, done.stderr, done.returncode)
    helper = subprocess.Popen([HELPER], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE)
    tracer = None
    try:
        wait_until_reading(helper.pid)
        with tempfile.TemporaryFile() as log:
            tracer = subprocess.Popen(["strace", "-f", "-p", str(helper.pid), *strace_args],
                                      stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                      stderr=log)
            deadline = time.monotonic() + 10
            while True:
                log.seek(0)
                if b"attached" in log.read():
                    break
                if tracer.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("strace could not attach")
                time.sleep(0.0005)
            out, err = helper.communicate(encoded(request), timeout=timeout)
            tracer.wait(timeout=timeout)
        return Run(out, err, helper.returncode, helper.pid)
    finally:
        for process in (helper, tracer):
            if process is not None and process.poll() is None:
                process.kill()
                process.wait()


def answer(run, silent_ok=False, killed=False):
    """The envelope of one run (None when there is none) and what is wrong
    with it: one canonical line, the right members, the matching status."""
    problems = []
    if run.err:
        problems.append(f"wrote to stderr: {run.err[:160]!r}")
    if killed and run.rc != -9:
        problems.append(f"expected a kill, got exit {run.rc}")
    if not run.out:
        if not (killed or (silent_ok and run.rc == 1)):
            problems.append(f"no answer, exit {run.rc}")
        return None, problems
    line = run.out[:-1] if run.out.endswith(b"\n") else run.out
    try:
        envelope = json.loads(line.decode())
    except ValueError:
        return None, problems + [f"answer is not JSON: {run.out[:160]!r}"]
    if line == run.out or b"\n" in line or canonical(envelope).encode() != line:
        problems.append(f"answer is not one canonical line: {run.out[:160]!r}")
    status = None
    if isinstance(envelope, dict) and envelope.get("ok") is True:
        if set(envelope) == {"ok", "result"} and isinstance(envelope["result"], dict):
            status = 0
    elif isinstance(envelope, dict) and envelope.get("ok") is False:
        error = envelope.get("error")
        if (set(envelope) == {"ok", "error"} and isinstance(error, dict)
                and set(error) == {"code", "message"} and error["code"] in CODES
                and isinstance(error["message"], str) and error["message"]):
            status = 1
    if status is None:
        return None, problems + [f"malformed envelope: {run.out[:160]!r}"]
    if not killed and run.rc != status:
        problems.append(f"exit {run.rc} with {run.out[:100]!r}")
    return envelope, problems


def error_of(envelope):
    return None if envelope is None or envelope["ok"] else envelope["error"]["code"]


def calls_of(trace):
    """The calls in an strace -f log, each numbered within its thread and name
    as strace's when= counts them."""
    counts, found = collections.Counter(), []
    for line in trace.splitlines():
        match = re.match(r"(\d+) +(\w+)\(", line)
        if match:
            key = (int(match[1]), match[2])
            counts[key] += 1
            found.append(Call(key[0], key[1], counts[key], line))
    return found


def recorded(request, attach):
    """The main thread's id and every call of one traced run."""
    with tempfile.NamedTemporaryFile() as log:
        run = traced(request, ["-s", "256", "-o", log.name], attach=attach)
        calls = calls_of(open(log.name).read())
    return (run.pid if attach else calls[0].tid), calls


class Check:
    def __init__(self, title):
        self.title, self.cases, self.failures, self.figures = title, 0, [], collections.Counter()

    def case(self, label, problems):
        self.cases += 1
        if problems:
            self.failures.append(f"{label}: {'; '.join(problems)}")

    def report(self):
        figures = "".join(f", {n} {what}" for what, n in sorted(self.figures.items()))
        print(f"{self.title}: {self.cases} cases{figures}, {len(self.failures)} failed", flush=True)
        for failure in self.failures[:12]:
            print(f"    FAILED {failure}")
        if len(self.failures) > 12:
            print(f"    ... and {len(self.failures) - 12} more")


# ------------------------------------------- checks 1 and 2: faults, crashes

def build_tree(kind, root):
    """A fresh tree in `root` for a request of `kind`: the parent, the request,
    and the history file it names."""
    shutil.rmtree(root, ignore_errors=True)
    parent = os.path.join(root, "parent")
    os.makedirs(parent)
    if kind == "create":
        return parent, {"operation": "create", "folder": parent, "workspaceId": WORKSPACE}, None
    folder = make_sync_folder(parent, {history_name("a"): history("a"),
                                       history_name("b"): history("b", 300)})
    name = history_name("new" if kind == "publish-new" else "a")
    target = os.path.join(folder, name)
    if kind == "list":
        return parent, {"operation": "list", "folder": folder}, target
    if kind == "read":
        return parent, {"operation": "read", "folder": folder, "name": name}, target
    content = history("new", 2000) if kind == "publish-new" else history("a")
    return parent, {"operation": "publish", "folder": folder, "name": name,
                    "content": content}, target


class Scenario:
    """One request on a fresh test tree: what the tree looks like before, what
    the request should make of it, its answer, and its traced calls."""

    def __init__(self, kind, root):
        self.kind, self.root = kind, root
        parent, request = self.build()
        self.before, _ = snapshot(parent)
        envelope, problems = answer(run_helper(request))
        if problems or not envelope["ok"]:
            raise RuntimeError(f"{kind} fails without faults: {problems or envelope}")
        self.result = envelope["result"]
        self.intended, leftovers = snapshot(parent)
        if leftovers:
            raise RuntimeError(f"{kind} leaves {leftovers} without faults")
        self.pid, self.attached = recorded(self.build()[1], attach=True)

    def build(self):
        parent, request, self.target = build_tree(self.kind, self.root)
        return parent, request

    def worker_calls(self):
        """The attached run's calls after the worker was asked to serve, with
        the indices of the staging clean-up (from the last flush before the
        removal of the staging directory to that removal)."""
        worker = [c for c in self.attached if c.tid != self.pid]
        cleanup = set()
        for end, call in enumerate(worker):
            if call.name == "unlinkat" and "AT_REMOVEDIR" in call.line and STAGING.search(call.line):
                staging = STAGING.search(call.line).group()
                first = next(i for i, c in enumerate(worker)
                             if c.name == "unlinkat" and staging in c.line)
                start = max(i for i in range(first) if worker[i].name == "fsync") + 1
                cleanup.update(range(start, end + 1))
        return worker, cleanup

    def startup_calls(self):
        """Calls of the process before the worker reads its request, from the
        helper's own main on: those of the main thread, and the worker's whose
        number the loader's calls in the main thread do not take already."""
        main, plain = recorded(self.build()[1], attach=False)
        totals = collections.Counter(c.name for c in plain if c.tid == main)
        started, reading, picked, shadowed = False, False, [], 0
        for call in plain:
            started = started or "rt_sigaction(SIGPIPE" in call.line
            reading = reading or (call.tid != main and "read(0," in call.line)
            if call.tid == main and started:
                picked.append(call)
            elif call.tid != main and not reading:
                if call.k > totals[call.name]:
                    picked.append(call)
                else:
                    shadowed += 1
        return picked, shadowed


def errors_for(call):
    if call.name in MEMORY_CALLS:
        errors = ["ENOMEM"]
    elif call.name in THREAD_CALLS:
        errors = ["EAGAIN"]
    else:
        errors = ["EIO"]
    if call.name in ("write", "fsync", "mkdirat", "renameat2", "linkat") or (
            call.name in ("openat", "openat2") and re.search("O_CREAT|O_TMPFILE", call.line)):
        errors.append("ENOSPC")
    return errors


def is_answer(call):
    return call.name in ("write", "writev") and re.search(r"\bwritev?\(1,", call.line)


def stale_removal(parent, leftovers):
    """Ages leftover staging directories past the minute after which a later
    helper staging in the same parent removes them, and has one do so."""
    old = time.time() - 120
    for name in leftovers:
        os.utime(os.path.join(parent, name), (old, old))
    run_helper({"operation": "create", "folder": parent, "workspaceId": WORKSPACE})
    left = [n for n in leftovers if os.path.lexists(os.path.join(parent, n))]
    return [f"a later helper did not remove {left}"] if left else []


def fault_case(check, scenario, call, action, attach, cleanup=False):
    """Runs the scenario with `action` at `call`, judges the answer and the
    tree, and repeats the request without the fault."""
    for _ in range(3):
        parent, request = scenario.build()
        with tempfile.NamedTemporaryFile() as log:
            run = traced(request, ["-o", log.name, "-e", f"trace={call.name}", "-e",
                                   f"inject={call.name}:{action}:when={call.k}"], attach=attach)
            fired = re.search(r"\(INJECTED\)|killed by SIGKILL", open(log.name).read())
        if fired:
            break
    else:
        # glibc's allocator makes a few calls (reading the overcommit setting,
        # growing an arena) only in some runs, depending on the address layout.
        check.figures["calls not reached in 3 runs"] += 1
    killed = bool(fired) and action.startswith("signal")
    envelope, problems = answer(run, silent_ok=is_answer(call), killed=killed)
    after, leftovers = snapshot(parent)
    if after not in (scenario.before, scenario.intended):
        problems.append(f"tree neither as before nor as intended: {difference(after, scenario.intended)}")
    if envelope and envelope["ok"]:
        if after != scenario.intended:
            problems.append("success answer without the intended result")
        if envelope["result"] != scenario.result:
            problems.append(f"answered {envelope['result']}")
    # Publish stages an unnamed file in the folder: killed or not, it leaves
    # nothing behind. Only create stages a directory, which a kill can leave.
    if leftovers and (scenario.kind.startswith("publish") or not (killed or cleanup)):
        problems.append(f"left {leftovers}")
    present = scenario.target is not None and os.path.lexists(scenario.target)
    again, found = answer(run_helper(request))
    expected = dict(scenario.result)
    if "created" in expected:
        expected["created"] = not present
    if found or not again or not again["ok"] or again["result"] != expected:
        problems.append(f"the repeated request answered {again} {found}")
    if snapshot(parent)[0] != scenario.intended:
        problems.append("the repeated request did not make the intended tree")
    if leftovers and (killed or cleanup):
        check.figures["left a staging directory (the later one removed it)"] += 1
        problems += stale_removal(parent, leftovers)
    check.case(f"{scenario.kind} {call.name}#{call.k} {action}", problems)
    if error_of(envelope):
        check.figures["failure answers"] += 1


def sample(worker, full, chosen_names):
    """Every call in full mode; otherwise the first and last of each name and
    every call of the names chosen."""
    if full:
        return list(range(len(worker)))
    first, last = {}, {}
    for i, call in enumerate(worker):
        first.setdefault(call.name, i)
        last[call.name] = i
    return sorted(set(first.values()) | set(last.values())
                  | {i for i, c in enumerate(worker) if c.name in chosen_names})


def check_failing_calls(check, scenarios, full):
    for scenario in scenarios:
        worker, cleanup = scenario.worker_calls()
        for i in sample(worker, full, CHANGING_CALLS):
            call = worker[i]
            if call.name in NEVER_FAILED:
                check.figures["calls never failed (futex, exits)"] += 1
                continue
            for error in errors_for(call):
                fault_case(check, scenario, call, f"error={error}", True, i in cleanup)
    # Starting up: thread creation and signal set-up of the helper itself.
    startup, shadowed = scenarios[KINDS.index("list")].startup_calls()
    check.figures["start-up calls shadowed by the loader"] += shadowed
    for call in startup:
        if call.name in NEVER_FAILED:
            continue
        for error in errors_for(call):
            fault_case(check, scenarios[KINDS.index("list")], call, f"error={error}", False)


def check_crashes(check, scenarios, full):
    changing = {"mkdirat", "write", "fsync", "renameat2", "linkat", "unlinkat"}
    for scenario in scenarios:
        worker, _ = scenario.worker_calls()
        if full:
            chosen = range(len(worker))
        else:
            # Kill at each change and at the call after it, so both the
            # moment before and the moment after every change are seen.
            changes = [i for i, c in enumerate(worker)
                       if c.name in changing or (c.name in ("openat", "openat2") and
                                                 re.search("O_CREAT|O_TMPFILE", c.line))]
            chosen = sorted(set(sample(worker, False, set()) + changes
                                + [i + 1 for i in changes if i + 1 < len(worker)]))
        for i in chosen:
            fault_case(check, scenario, worker[i], "signal=SIGKILL", True)


# ------------------------------------------------- check 3: the write order

def file_events(trace):
    """The opens, writes, flushes and renames of a trace, with paths for fds."""
    fds, events = {}, []
    for call in calls_of(trace):
        line = call.line
        if m := re.search(r'openat2\(AT_FDCWD, "([^"]*)", \{flags=([^,}]*).*\) += (\d+)$', line):
            fds[m[3]] = m[1]
            events.append(("open", m[1], m[2]))
        elif m := re.search(r'openat\((\w+), "([^"]*)", ([^,)]*).*\) += (\d+)$', line):
            fds[m[4]] = os.path.normpath(os.path.join(fds.get(m[1], ""), m[2]))
            if "O_TMPFILE" in m[3]:
                # An unnamed file in that directory, until it is linked.
                fds[m[4]] = os.path.join(fds[m[4]], "<unnamed>")
            events.append(("open", fds[m[4]], m[3]))
        elif m := re.search(r'linkat\(AT_FDCWD, "/proc/self/fd/(\d+)", (\d+), "([^"]*)", '
                            r'AT_SYMLINK_FOLLOW\) += 0$', line):
            events.append(("link", fds.get(m[1]), os.path.join(fds[m[2]], m[3])))
        elif m := re.search(r'mkdirat\((\d+), "([^"]*)".*\) += 0$', line):
            events.append(("mkdir", os.path.join(fds[m[1]], m[2])))
        elif m := re.search(r"\bwrite\((\d+), .*\) += (\d+)$", line):
            events.append(("write", fds.get(m[1]), int(m[2])))
        elif m := re.search(r"fsync\((\d+)\) += 0$", line):
            events.append(("fsync", fds.get(m[1])))
        elif m := re.search(r'renameat2\((\d+), "([^"]*)", (\d+), "([^"]*)", (\w+)\) += 0$', line):
            events.append(("rename", os.path.join(fds[m[1]], m[2]),
                           os.path.join(fds[m[3]], m[4]), m[5]))
        elif m := re.search(r"close\((\d+)\) += 0$", line):
            fds.pop(m[1], None)
    return events


def ordered(events, steps):
    """Problems unless each step matches an event after the previous one's."""
    position, problems = -1, []
    for description, matches in steps:
        found = next((i for i in range(position + 1, len(events)) if matches(events[i])), None)
        if found is None:
            return problems + [f"missing or out of order: {description}"]
        position = found
    return problems


def staged_file_steps(events, path, size):
    """Exclusive or unnamed creation, every byte written, then the flush."""
    writes = [i for i, e in enumerate(events) if e[:2] == ("write", path)]
    written = sum(events[i][2] for i in writes)
    last = writes[-1] if writes else None
    return [
        (f"exclusive creation of {path}",
         lambda e: e[:2] == ("open", path) and ("O_CREAT" in e[2] and "O_EXCL" in e[2]
                                                 or "O_TMPFILE" in e[2])),
        (f"all {size} bytes written (saw {written})",
         lambda e: written == size and last is not None and e is events[last]),
        (f"fsync of {path} after its last write", lambda e: e == ("fsync", path)),
    ]


def check_write_order(check, base):
    for kind in ("publish-new", "create"):
        parent, request, target = build_tree(kind, os.path.join(base, "order"))
        folder = os.path.join(parent, FOLDER_NAME)
        if kind == "publish-new":
            request["content"] = history("new", 300_000)
        with tempfile.NamedTemporaryFile() as log:
            envelope, problems = answer(traced(request, ["-s", "4096", "-o", log.name], False))
            events = file_events(open(log.name).read())
        if not envelope or not envelope["ok"]:
            problems.append("the request failed")
        staged = [e[1] for e in events
                  if e[0] == "open" and ("O_CREAT" in e[2] or "O_TMPFILE" in e[2])]
        if len(staged) != 1:
            check.case(kind, problems + [f"expected one staged file, saw {staged}"])
            continue
        if kind == "publish-new":
            size = len(canonical(request["content"]).encode())
            steps = staged_file_steps(events, staged[0], size) + [
                ("the unnamed file linked into the folder",
                 lambda e: e == ("link", staged[0], target)),
                ("fsync of the folder", lambda e: e == ("fsync", folder))]
            if not holds(target, request["content"]):
                problems.append("the published file does not hold the content")
        else:
            staged_folder = os.path.dirname(staged[0])
            steps = [("creation of the staged folder", lambda e: e == ("mkdir", staged_folder))]
            steps += staged_file_steps(events, staged[0], len(canonical(MANIFEST).encode())) + [
                ("fsync of the staged folder", lambda e: e == ("fsync", staged_folder)),
                ("exclusive rename of the folder",
                 lambda e: e == ("rename", staged_folder, folder, "RENAME_NOREPLACE")),
                ("fsync of the parent", lambda e: e == ("fsync", parent))]
        check.case(kind, problems + ordered(events, steps))


# ----------------------------------------------- check 4: symbolic-link races

def exchange(a, b, libc=ctypes.CDLL(None)):
    """Swaps two names atomically: renameat2(RENAME_EXCHANGE) in the current
    directory's terms (AT_FDCWD)."""
    return libc.renameat2(-100, os.fsencode(a), -100, os.fsencode(b), 2)


def flip_forever(a, b):
    a, b = os.fsencode(a), os.fsencode(b)
    while True:
        exchange(a, b)


def check_link_races(check, base, seconds):
    race = os.path.join(base, "race")
    real, decoy, links = (os.path.join(race, n) for n in ("real", "decoy", "links"))
    parent = os.path.join(real, "a", "parent")
    folder = make_sync_folder(parent, {history_name("h"): history("h")})
    decoy_folder = make_sync_folder(os.path.join(decoy, "a", "parent"),
                                    {history_name("h"): history("h") | {"decoy": True}})
    os.makedirs(links)
    flipped = {  # the real item, and the decoy a link put in its place points to
        "a directory on the path": (os.path.join(real, "a"), os.path.join(decoy, "a")),
        "the sync folder": (folder, decoy_folder),
        "a history file": (os.path.join(folder, history_name("h")),
                           os.path.join(decoy_folder, history_name("h")))}
    decoy_before, _ = snapshot(decoy)
    expected = {"manifest.json": MANIFEST, history_name("h"): history("h")}
    created, serial = set(), iter(range(10**9))
    read_request = {"operation": "read", "folder": folder, "name": history_name("h")}

    def one_request(rng):
        if rng.random() < 0.5:
            envelope, problems = answer(run_helper(read_request))
            if envelope and envelope["ok"] and envelope["result"] != history("h"):
                problems.append(f"read returned {str(envelope['result'])[:80]}")
            return problems
        # New files, and the existing one again with its own content.
        tag = f"race{next(serial)}" if rng.random() < 0.6 else "h"
        content = history(tag)
        expected[history_name(tag)] = content
        envelope, problems = answer(run_helper({"operation": "publish", "folder": folder,
                                                "name": history_name(tag), "content": content}))
        if error_of(envelope) == "SYNC_IMMUTABLE_CONFLICT":
            problems.append("publish compared against the decoy")
        if envelope and envelope["ok"] and envelope["result"]["created"]:
            created.add(history_name(tag))
        return problems

    for number, (what, (item, target)) in enumerate(flipped.items()):
        link = os.path.join(links, str(number))
        os.symlink(target, link)
        flipper = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--flip", item, link])
        deadline = time.monotonic() + seconds

        def loop(seed):
            rng, results = random.Random(seed), []
            while time.monotonic() < deadline:
                results.append(one_request(rng))
            return results
        try:
            with concurrent.futures.ThreadPoolExecutor(2) as pool:
                for results in pool.map(loop, (1, 2)):
                    for i, problems in enumerate(results):
                        check.case(f"{what} #{i}", problems)
        finally:
            flipper.kill()
            flipper.wait()
        if os.path.islink(item):
            exchange(item, link)
        os.unlink(link)
        # Removal never goes through a link, so a staging directory whose path
        # held one at that moment stays for a later helper to remove.
        _, leftovers = snapshot(parent)
        check.figures[f"staging directories left ({what})"] += len(leftovers)
        if leftovers:
            check.case(f"{what}: removal of what was left", stale_removal(parent, leftovers))
    check.figures["files published during the races"] = len(created)
    problems = []
    if snapshot(decoy)[0] != decoy_before:
        problems.append(f"the decoy changed: {difference(snapshot(decoy)[0], decoy_before)}")
    present = set(os.listdir(folder))
    for name in present:
        if name not in expected or not holds(os.path.join(folder, name), expected[name]):
            problems.append(f"unexpected item or content: {name}")
    if created - present:
        problems.append(f"reported created but missing: {created - present}")
    check.case("the trees after the races", problems)


# ------------------------------------------------------------- check 5: load

def check_load(check, base, requests):
    parent = os.path.join(base, "load")
    files = {history_name(f"big{i}"): history(f"big{i}", 7_300_000) for i in range(9)}
    files |= {history_name(f"small{i}"): history(f"small{i}", 100) for i in range(491)}
    folder = make_sync_folder(parent, files)
    initial, _ = snapshot(parent)
    # Candidates to publish: small ones run into the 512-file limit, medium
    # ones into the 64-MiB limit (the folder starts 1.3 MiB short of it).
    pool = {history_name(f"new{i}"): history(f"new{i}", 300_000 if i % 3 == 0 else 1000)
            for i in range(36)}
    rng = random.Random(8)
    plan = []
    for _ in range(requests):
        choice = rng.random()
        if choice < 0.4:
            name = rng.choice(list(pool))
            plan.append({"operation": "publish", "folder": folder, "name": name,
                         "content": pool[name]})
        elif choice < 0.5:
            name = rng.choice(list(files))
            plan.append({"operation": "publish", "folder": folder, "name": name,
                         "content": files[name]})
        elif choice < 0.75:
            plan.append({"operation": "list", "folder": folder})
        else:
            name = rng.choice(list(files) + list(pool))
            plan.append({"operation": "read", "folder": folder, "name": name})

    def judge(request):
        """Problems with one answer, and the name of the file it created."""
        envelope, problems = answer(run_helper(request))
        name, code = request.get("name"), error_of(envelope)
        if envelope is None:
            return problems, None
        if request["operation"] == "publish":
            if code == "SYNC_CAPACITY":
                refused.append(name)
            elif code:
                problems.append(f"publish refused with {envelope['error']}")
            if not code and (envelope["result"]["name"] != name
                             or envelope["result"]["created"] and name in files):
                problems.append(f"publish answered {envelope['result']}")
            return problems, (name if not code and envelope["result"]["created"] else None)
        if request["operation"] == "list":
            if code:
                problems.append(f"list refused with {envelope['error']}")
            else:
                listed = {f["name"]: f["size"] for f in envelope["result"]["files"]}
                if len(listed) > MAXIMUM_FILES or sum(listed.values()) > MAXIMUM_FOLDER_BYTES:
                    problems.append(f"limits broken: {len(listed)} files")
                if any(name not in listed for name in files):
                    problems.append("a file went missing from the listing")
            return problems, None
        if code and not (code == "SYNC_DOWNLOAD_PENDING" and name in pool):
            problems.append(f"read refused with {envelope['error']}")
        elif not code and envelope["result"] != (files | pool)[name]:
            problems.append("read returned other content")
        return problems, None

    created, refused = collections.Counter(), []
    with concurrent.futures.ThreadPoolExecutor(24) as executor:
        for request, (problems, made) in zip(plan, executor.map(judge, plan)):
            check.case(f"{request['operation']} {request.get('name', '')[-30:]}", problems)
            created[made] += 1
    final, leftovers = snapshot(parent)
    names = {os.path.basename(k) for k in final} - {"manifest.json", FOLDER_NAME}
    folder_bytes = sum(final[k][2][0] for k in final if os.path.basename(k) in names)
    problems = [f"left {leftovers}"] if leftovers else []
    if any(final.get(k) != v for k, v in initial.items()):
        problems.append("an initial file changed or went missing")
    if len(names) > MAXIMUM_FILES or folder_bytes > MAXIMUM_FOLDER_BYTES:
        problems.append(f"limits broken: {len(names)} files, {folder_bytes} bytes")
    for name in names - set(files):
        if created[name] != 1 or not holds(os.path.join(folder, name), pool[name]):
            problems.append(f"{name} reported created {created[name]} times or holds other bytes")
    if set(created) - names - {None}:
        problems.append(f"reported created but missing: {set(created) - names - {None}}")
    check.figures[f"files at the end ({folder_bytes} bytes)"] = len(names)
    check.figures["files published"] = len(names) - len(files)
    check.figures["publishes refused for capacity"] = len(refused)
    check.case("folder after the load", problems)


# -------------------------------------------------------- check 6: full disk

def check_full_disk(check, base):
    disk = os.path.join(base, "disk")
    os.makedirs(disk)
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", disk],
                             capture_output=True).returncode == 0
    check.figures["on a 2-MiB tmpfs" if mounted else "with injected ENOSPC"] = 1
    try:
        parent = os.path.join(disk, "parent")
        folder = make_sync_folder(parent, {history_name("a"): history("a")})
        before, _ = snapshot(parent)
        big = {"operation": "publish", "folder": folder, "name": history_name("big"),
               "content": history("big", 3 * 1024 * 1024)}
        if mounted:
            run = run_helper(big)
        else:  # the worker's first write is the staged file's; the answer is a writev
            run = traced(big, ["-o", "/dev/null", "-e", "inject=write:error=ENOSPC:when=1"], False)
        envelope, problems = answer(run)
        if not envelope or envelope["ok"] or envelope["error"]["code"] != "SYNC_IO" \
                or envelope["error"]["message"] not in NO_SPACE:
            problems.append(f"answered {run.out[:200]!r}")
        after, leftovers = snapshot(parent)
        if after != before or leftovers:
            problems.append(f"the folder changed: {difference(after, before)} {leftovers}")
        check.case("publish larger than the free space", problems)
        small = {"operation": "publish", "folder": folder, "name": history_name("small"),
                 "content": history("small", 1000)}
        envelope, problems = answer(run_helper(small))
        path = os.path.join(folder, history_name("small"))
        if not envelope or not envelope["ok"] or not envelope["result"]["created"] or \
                not holds(path, small["content"]):
            problems.append(f"answered {envelope}")
        check.case("small publish afterwards", problems)
    finally:
        if mounted:
            subprocess.run(["umount", disk], check=True)


# ---------------------------------------------------------------------- main

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    mode = parser.add_mutually_exclusive_group(required=True)
    mode.add_argument("--quick", action="store_true", help="a fixed sample (CI)")
    mode.add_argument("--full", action="store_true", help="every occurrence")
    mode.add_argument("--flip", nargs=2, help=argparse.SUPPRESS)
    parser.add_argument("--only", type=int, action="append", help="run only this check (1-6)")
    parser.add_argument("helper", nargs="?", help="path of the BrindellFileSync executable")
    arguments = parser.parse_args()
    if arguments.flip:
        flip_forever(*arguments.flip)
    global HELPER
    HELPER = os.path.realpath(arguments.helper or parser.error("the helper's path is required"))
    full, only = arguments.full, set(arguments.only or range(1, 7))
    base = tempfile.mkdtemp(prefix="brindell-system-", dir=os.path.realpath("/tmp"))
    started, checks = time.monotonic(), []
    try:
        @functools.cache
        def scenarios():
            return [Scenario(kind, os.path.join(base, kind)) for kind in KINDS]
        plan = [
            (1, "1 every system call can fail",
             lambda c: check_failing_calls(c, scenarios(), full)),
            (2, "2 a crash at any point is harmless",
             lambda c: check_crashes(c, scenarios(), full)),
            (3, "3 the write order makes it durable", lambda c: check_write_order(c, base)),
            (4, "4 races with symbolic links change nothing",
             lambda c: check_link_races(c, base, 10 if full else 2)),
            (5, "5 load", lambda c: check_load(c, base, 1200 if full else 240)),
            (6, "6 a full disk", lambda c: check_full_disk(c, base)),
        ]
        for number, title, run in plan:
            if number in only:
                check = Check(title)
                checks.append(check)
                began = time.monotonic()
                try:
                    run(check)
                except Exception as error:  # a broken check is a failed one
                    check.case("the check itself", [f"{type(error).__name__}: {error}"])
                check.title += f" ({time.monotonic() - began:.0f} s)"
                check.report()
    finally:
        shutil.rmtree(base, ignore_errors=True)
    failed = sum(len(c.failures) for c in checks)
    passed = sum(c.cases for c in checks) - failed
    print(f"{'full' if full else 'quick'} campaign in {time.monotonic() - started:.0f} s")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
