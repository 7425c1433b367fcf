#!/usr/bin/env python3
"""End-to-end benchmarks of the helper against reference commands.

Each scenario runs the helper and its anchors alternately in the same run and
reports median wall time and peak resident memory (per process, from wait4),
and the ratios the targets are stated in:
  read     7 MiB history file      vs  jq -cS .  (parse, sort, print)
  list     folder of 512 files     vs  the same with 13 entries of sync
                                       clients' metadata, ls -l, /bin/true
  publish  7 MiB bundle, new file  vs  jq -cS ., dd conv=fsync (write floor)

Usage: bench/e2e.py HELPER [RUNS]
"""
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

WORKSPACE = "0f8fad5b-d9cb-469f-a165-70867728950e"
TARGET_BYTES = 7 * 1024 * 1024 - 256 * 1024


def history_name(index):
    return f"{WORKSPACE}-{index:064x}.brindell-history.json"


def realistic_history(target_bytes, seed=7):
    """A history bundle like the application writes: nested edit records with
    prose in several scripts, escapes, paths, floats and big integers."""
    rng = random.Random(seed)
    words = ["edit", "Grüße", "naïve", "日本語", "emoji 🎉", "path/to/file", "tab\there",
             "quote \"q\"", "back\\slash", "line\nbreak", "ascii", "sync", "déjà vu"]
    events, size, n = [], 0, 0
    while size < target_bytes:
        text = " ".join(rng.choice(words) for _ in range(rng.randint(4, 40)))
        event = {
            "id": f"evt-{n:08d}",
            "seq": n,
            "at": round(1.7e9 + n * 0.137, 3),
            "author": {"name": rng.choice(["Zoë", "Ana", "Bjørn", "李"]), "device": n % 7},
            "kind": rng.choice(["insert", "delete", "move", "format"]),
            "path": f"/docs/chapter-{n % 31}/section-{n % 11}.md",
            "range": [rng.randint(0, 10**6), rng.randint(0, 10**6)],
            "text": text,
            "weight": rng.random(),
            "checksum": rng.getrandbits(96),
            "flags": {"merged": n % 3 == 0, "undo": None if n % 5 else False},
        }
        events.append(event)
        size += len(json.dumps(event, ensure_ascii=False)) + 1
        n += 1
    return {"workspaceId": WORKSPACE, "format": 1, "events": events}


def run_timed(argv, stdin_bytes=None, measure_memory=False):
    """Runs one command with its input in a file, ready before the clock
    starts; returns (seconds, peak RSS in KiB or None). Peak memory comes from
    GNU time, whose small process is what the command is forked from (a child
    forked from this interpreter would report the interpreter's size)."""
    with tempfile.TemporaryFile() as stdin, tempfile.NamedTemporaryFile("r") as report:
        if stdin_bytes is not None:
            stdin.write(stdin_bytes)
            stdin.seek(0)
        if measure_memory:
            argv = ["/usr/bin/time", "-f", "%M", "-o", report.name] + argv
        start = time.perf_counter()
        code = subprocess.call(argv, stdin=stdin, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
        elapsed = time.perf_counter() - start
        if code not in (0, 1):
            raise SystemExit(f"{argv[0]} failed with status {code}")
        return elapsed, int(report.read().split()[-1]) if measure_memory else None


def helper_request(helper, request):
    body = json.dumps(request, ensure_ascii=False, separators=(",", ":")).encode()
    out = subprocess.run([helper], input=body, capture_output=True).stdout
    answer = json.loads(out)
    if not answer["ok"]:
        raise SystemExit(f"helper refused: {answer}")
    return answer["result"]


def make_folder(helper, parent):
    return helper_request(helper, {"operation": "create", "folder": parent,
                                   "workspaceId": WORKSPACE})["folder"]


def measure(label, runs, commands, size_bytes=None):
    """commands: list of (name, prepare-or-None, argv, stdin). Alternates them."""
    times = {name: [] for name, *_ in commands}
    rss = {name: [] for name, *_ in commands}
    for _ in range(runs):
        for name, prepare, argv, stdin in commands:
            if prepare:
                argv, stdin = prepare()
            times[name].append(run_timed(argv, stdin)[0])
    for name, prepare, argv, stdin in commands:
        if prepare:
            argv, stdin = prepare()
        rss[name].append(run_timed(argv, stdin, measure_memory=True)[1])
    print(f"\n{label}")
    base_name = commands[0][0]
    base = statistics.median(times[base_name])
    for name, *_ in commands:
        med = statistics.median(times[name])
        peak = max(rss[name])
        line = f"  {name:<22} median {med * 1000:8.2f} ms   peak RSS {peak / 1024:7.1f} MiB"
        if name != base_name:
            line += f"   helper/this = {base / med:5.2f}x"
        if size_bytes and name == base_name:
            line += f"   RSS/size = {peak * 1024 / size_bytes:4.2f}x"
        print(line)
    return times, rss


def main():
    helper = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 15
    work = tempfile.mkdtemp(prefix="brindell-bench-")
    try:
        history = realistic_history(TARGET_BYTES)
        # As the application sends it: compact, members in its own order.
        raw = json.dumps(history, ensure_ascii=False, separators=(",", ":")).encode()
        canonical = json.dumps(history, ensure_ascii=False, sort_keys=True,
                               separators=(",", ":")).encode()
        raw_path = os.path.join(work, "history.json")
        with open(raw_path, "wb") as f:
            f.write(raw)

        # read: the stored file is what publish wrote (canonical bytes).
        parent = os.path.join(work, "read")
        os.mkdir(parent)
        folder = make_folder(helper, parent)
        helper_request(helper, {"operation": "publish", "folder": folder,
                                "name": history_name(1), "content": history})
        stored = os.path.join(folder, history_name(1))
        read_request = json.dumps({"operation": "read", "folder": folder,
                                   "name": history_name(1)}).encode()
        size = os.path.getsize(stored)
        print(f"history file: {size} bytes canonical, {len(raw)} bytes as sent; runs: {runs}")
        measure("read 7 MiB history file", runs, [
            ("helper read", None, [helper], read_request),
            ("jq -cS . (same file)", None, ["jq", "-cS", ".", stored], None),
        ], size)

        # list: 512 small history files.
        parent = os.path.join(work, "list")
        os.mkdir(parent)
        folder = make_folder(helper, parent)
        for i in range(512):
            with open(os.path.join(folder, history_name(i)), "wb") as f:
                f.write(json.dumps({"workspaceId": WORKSPACE, "i": i}).encode())
        list_request = json.dumps({"operation": "list", "folder": folder}).encode()
        # The same files in a folder a sync client shares, with its metadata.
        parent = os.path.join(work, "list-client")
        os.mkdir(parent)
        client_folder = make_folder(helper, parent)
        for i in range(512):
            shutil.copyfile(os.path.join(folder, history_name(i)),
                            os.path.join(client_folder, history_name(i)))
        for name in (".stfolder", ".stversions", ".dropbox.cache"):
            os.mkdir(os.path.join(client_folder, name))
        for name in (".stignore", ".sync_5d41402abc4b.db", ".sync_5d41402abc4b.db-wal",
                     ".sync_5d41402abc4b.db-shm", ".nextcloudsync.log", ".dropbox",
                     ".dropbox.attr", "Thumbs.db", "desktop.ini", ".directory"):
            with open(os.path.join(client_folder, name), "wb") as f:
                f.write(b"client")
        client_request = json.dumps({"operation": "list", "folder": client_folder}).encode()
        measure("list 512 history files", runs, [
            ("helper list", None, [helper], list_request),
            ("helper list, client", None, [helper], client_request),
            ("ls -l", None, ["ls", "-l", folder], None),
            ("/bin/true", None, ["/bin/true"], None),
        ])

        # publish: a new file into a fresh folder each time.
        publish_root = os.path.join(work, "publish")
        os.mkdir(publish_root)
        counter = [0]

        def fresh_publish():
            counter[0] += 1
            parent = os.path.join(publish_root, str(counter[0]))
            os.mkdir(parent)
            folder = make_folder(helper, parent)
            request = (b'{"operation":"publish","folder":' + json.dumps(folder).encode() +
                       b',"name":"' + history_name(2).encode() + b'","content":' + raw + b"}")
            return [helper], request

        def fresh_dd():
            counter[0] += 1
            target = os.path.join(publish_root, f"dd-{counter[0]}")
            return ["dd", f"if={raw_path}", f"of={target}", "bs=1M", "conv=fsync",
                    "status=none"], None

        measure("publish 7 MiB bundle into a fresh folder", runs, [
            ("helper publish", fresh_publish, None, None),
            ("jq -cS . (same bytes)", None, ["jq", "-cS", ".", raw_path], None),
            ("dd conv=fsync (floor)", fresh_dd, None, None),
        ], len(canonical))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
