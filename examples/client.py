#!/usr/bin/python3
"""Example client of BrindellFileSync (Python 3 standard library only): makes
the sync folder of a new workspace in PARENT, publishes a history file, lists
the folder and reads the file back.   Usage: client.py PARENT [HELPER]"""
import hashlib
import json
import subprocess
import sys
import time
import uuid

# What to do with each refusal. Only "retry" codes can be answered differently
# when the same request is sent again unchanged; repeating a publish is safe.
ACTIONS = dict.fromkeys(["SYNC_DOWNLOAD_PENDING", "SYNC_IO"], "retry")
ACTIONS["SYNC_FOLDER_MOVED"] = "reconnect"  # find the folder's new location first
ACTIONS["SYNC_INVALID_REQUEST"] = "fix"  # a mistake in this client
ACTIONS.update(dict.fromkeys([  # the request, folder or user must change: show it
    "SYNC_INVALID_FILE", "SYNC_UNSAFE_PATH", "SYNC_MISSING", "SYNC_CAPACITY",
    "SYNC_WORKSPACE_MISMATCH", "SYNC_FILE_CONFLICT", "SYNC_FOLDER_CONTENTS",
    "SYNC_UPLOAD_FAILED", "SYNC_DOWNLOAD_FAILED", "SYNC_EXCLUDED", "SYNC_IMMUTABLE_CONFLICT",
    "SYNC_UNSUPPORTED_MANIFEST"], "show"))
DELAYS = (1, 2, 4, 8, 16, 32)  # seconds before each retry, about a minute; then give up
# A SYNC_IO whose cause never passes by itself: its message ends with one of these.
LASTING = ("Permission denied", "Operation not permitted", "Read-only file system",
           "Invalid argument", "Operation not supported", "File name too long",
           "is not a private directory of this user")


class Refused(Exception):
    def __init__(self, error):
        super().__init__(f"{error['code']}: {error['message']}")
        self.code, self.action = error["code"], ACTIONS.get(error["code"], "show")
        if self.code == "SYNC_IO" and any(cause in error["message"] for cause in LASTING):
            self.action = "show"


def ask(helper, request):
    """The result of one request, after retrying what may pass later: in a
    cloud drive, or where a sync client may be bringing an item, a pending
    download may complete."""
    for delay in (*DELAYS, None):
        # Closing the input ends the request. An oversized one is answered
        # before it is read in full: run() ignores EPIPE and reads the answer.
        run = subprocess.run([helper], input=json.dumps(request).encode(),
                             stdout=subprocess.PIPE, check=False)
        if not run.stdout:
            raise RuntimeError(f"no answer from {helper}, exit status {run.returncode}")
        answer = json.loads(run.stdout)
        if answer["ok"]:
            return answer["result"]
        refused = Refused(answer["error"])
        if refused.action != "retry" or delay is None:
            raise refused
        time.sleep(delay)


def main(parent, helper="BrindellFileSync"):
    workspace = str(uuid.uuid4())
    created = ask(helper, {"operation": "create", "folder": parent, "workspaceId": workspace})
    folder = created["folder"]
    history = {"workspaceId": workspace, "events": [{"text": "hello", "at": 1.5}]}
    digest = hashlib.sha256(json.dumps(history, sort_keys=True).encode()).hexdigest()
    name = f"{workspace}-{digest}.brindell-history.json"
    published = ask(helper, {"operation": "publish", "folder": folder, "name": name,
                             "content": history})
    listed = ask(helper, {"operation": "list", "folder": folder})
    stored = ask(helper, {"operation": "read", "folder": folder, "name": name})
    print(f"created {folder}\npublished {name} (new: {published['created']})")
    print(f"listed {[f['name'] for f in listed['files']]}\nread back equal: {stored == history}")


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    try:
        main(*sys.argv[1:])
    except Refused as refused:
        sys.exit(f"{refused} [{refused.action}]")
