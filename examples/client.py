#!/usr/bin/python3
"""Example client of BrindellFileSync (Python 3 standard library only): makes
the sync folder of a new workspace in PARENT, publishes a history file, lists
the folder, reads the file back and publishes exactly what it read again,
then meets one refusal of each kind the retry advice knows.
Usage: client.py PARENT [HELPER]"""
import hashlib
import json
import os
import subprocess
import sys
import time
import uuid

# What to do with each refusal. Only "retry" codes can be answered differently
# when the same request is sent again unchanged; repeating a publish is safe.
ACTIONS = dict.fromkeys(["SYNC_DOWNLOAD_PENDING", "SYNC_IO"], "retry")
ACTIONS["SYNC_FOLDER_MOVED"] = "reconnect"  # ask the user to select the folder again
ACTIONS["SYNC_INVALID_REQUEST"] = "fix"  # a mistake in this client
ACTIONS.update(dict.fromkeys([  # the request, folder or user must change: show it
    "SYNC_INVALID_FILE", "SYNC_UNSAFE_PATH", "SYNC_MISSING", "SYNC_CAPACITY",
    "SYNC_WORKSPACE_MISMATCH", "SYNC_FILE_CONFLICT", "SYNC_FOLDER_CONTENTS",
    "SYNC_UPLOAD_FAILED", "SYNC_DOWNLOAD_FAILED", "SYNC_EXCLUDED", "SYNC_IMMUTABLE_CONFLICT",
    "SYNC_UNSUPPORTED_MANIFEST"], "show"))
# Seconds before each retry, about a minute in all; then give up. (The tests
# shorten them with BRINDELL_EXAMPLE_DELAYS.)
DELAYS = [float(d) for d in os.environ.get("BRINDELL_EXAMPLE_DELAYS", "1,2,4,8,16,32").split(",")]
# A SYNC_IO whose cause never passes by itself: its message ends with one of these.
LASTING = ("Permission denied", "Operation not permitted", "Read-only file system",
           "Invalid argument", "Operation not supported", "File name too long",
           "is not a private directory of this user")
TIMEOUT = 45  # seconds: longer than the 30 s a helper may wait for another's lock
SUCCESS = b'{"ok":true,"result":'


class Refused(Exception):
    def __init__(self, error, tries):
        super().__init__(f"{error['code']}: {error['message']}")
        self.code, self.tries = error["code"], tries
        self.action = ACTIONS.get(self.code, "show")
        if self.code == "SYNC_IO" and any(cause in error["message"] for cause in LASTING):
            self.action = "show"


def canonical(value):
    """Keys in the order of their UTF-8 bytes, as the helper orders them."""
    if isinstance(value, dict):
        keys = sorted(value, key=lambda key: key.encode())
        return "{" + ",".join(f"{canonical(k)}:{canonical(value[k])}" for k in keys) + "}"
    if isinstance(value, list):
        return "[" + ",".join(canonical(item) for item in value) + "]"
    return json.dumps(value, ensure_ascii=False)


def history_name(workspace, content):
    """The workspace and the SHA-256 of the content's canonical bytes."""
    return f"{workspace}-{hashlib.sha256(content.encode()).hexdigest()}.brindell-history.json"


def ask(helper, request):
    """The result of one request, parsed and as the raw bytes the helper wrote,
    after retrying what may pass later: in a cloud drive, or where a sync
    client may be bringing an item, a pending download may complete."""
    data = request if isinstance(request, bytes) else json.dumps(request).encode()
    for tries in range(1, len(DELAYS) + 2):
        # Closing the input ends the request. An oversized one is answered
        # before it is read in full: run() ignores EPIPE and reads the answer.
        run = subprocess.run([helper], input=data, stdout=subprocess.PIPE, check=False,
                             timeout=TIMEOUT)
        if not run.stdout.endswith(b"\n"):
            raise RuntimeError(f"no answer from {helper}, exit status {run.returncode}")
        answer = json.loads(run.stdout)
        if answer["ok"]:
            # json reads 1.50 as 1.5: republishing what was read needs the raw
            # bytes, which are the answer less its envelope.
            return answer["result"], run.stdout[len(SUCCESS):-2]
        refused = Refused(answer["error"], tries)
        if refused.action != "retry" or tries > len(DELAYS):
            raise refused
        time.sleep(DELAYS[tries - 1])


def main(parent, helper="BrindellFileSync"):
    workspace = str(uuid.uuid4())
    made, _ = ask(helper, {"operation": "create", "folder": parent, "workspaceId": workspace})
    folder = made["folder"]
    content = canonical({"workspaceId": workspace, "events": [{"text": "hello /\u00e9", "at": 1.5}]})
    name = history_name(workspace, content)
    publish = lambda text: b'{"operation":"publish","folder":%s,"name":%s,"content":%s}' % (  # noqa: E731
        json.dumps(folder).encode(), json.dumps(name).encode(), text)
    published, _ = ask(helper, publish(content.encode()))
    listed, _ = ask(helper, {"operation": "list", "folder": folder})
    _, stored = ask(helper, {"operation": "read", "folder": folder, "name": name})
    again, _ = ask(helper, publish(stored))  # exactly the bytes read
    print(f"created {folder}\npublished {name} (new: {published['created']})")
    print(f"listed {[f['name'] for f in listed['files']]}\nread back equal: {stored == content.encode()}")
    print(f"published what was read (new: {again['created']})")
    for what, request in [
            ("read of a file not there", {"operation": "read", "folder": folder,
                                          "name": history_name(workspace, "x")}),
            ("read of a bad name", {"operation": "read", "folder": folder, "name": "x.json"}),
            ("create without a UUID", {"operation": "create", "folder": parent, "workspaceId": "x"}),
            ("a name too long to look up", {"operation": "list", "folder": f"{parent}/{'x' * 256}"})]:
        try:
            ask(helper, request)
            print(f"{what}: answered")
        except Refused as refused:
            print(f"{what}: {refused.code} [{refused.action}] after {refused.tries} tries")


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    try:
        main(*sys.argv[1:])
    except Refused as refused:
        sys.exit(f"{refused} [{refused.action}]")
