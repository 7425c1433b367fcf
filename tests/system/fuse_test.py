#!/usr/bin/env python3
# Cloud drives and external disks reached through FUSE: bindfs showing every item readable by all (as vfat, exFAT,
# CIFS and many FUSE file systems show one fixed mode), and an rclone mount of a local directory standing in for the
# cloud, in its "off" and "writes" cache modes. None keeps modes the helper sets, none renames exclusively, none has
# unnamed files. Create, create again, publish small and large, publish again, 16 publishes of one name at once,
# list, read back: every answer as on a local disk, nothing left behind in the mount or below it, for an ordinary
# account under a mask that takes the owner's bits. Run by root, the helper runs as the account brindell-test;
# elsewhere as the caller. Where no FUSE file system can be mounted (an ordinary account may not open /dev/fuse), the
# test says why and skips, except as root in CI, where it fails.
#
#   python3 tests/system/fuse_test.py HELPER
import json, os, pathlib, shutil, subprocess, sys, tempfile  # noqa: E401

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "support"))
import brindell as b  # noqa: E402
from brindell import expect, history_name  # noqa: E402

MUST_RUN = bool(os.environ.get("CI")) and os.geteuid() == 0  # where the mounts are set up to work


def mount_command(kind, source, mount, top, account):
    ownership = (["--uid", str(account["user"]), "--gid", str(account["group"]), "--allow-other"]
                 if account else [])
    if kind == "bindfs":
        return ["bindfs", "--perms=a+rX", *(["-o", "allow_other"] if account else []), source, mount]
    # rclone's own write-back delay: a file renamed while its upload runs can land at its old name in the cloud
    # (rclone 1.60), and the helper renames what it wrote at once.
    return ["rclone", "mount", source, mount, "--daemon", "--vfs-cache-mode", kind.split()[1],
            "--cache-dir", os.path.join(top, "cache"), "--config", os.path.join(top, "rclone.conf"), *ownership]


def unmountable(kind):  # why no file system of this kind can be mounted here, or None
    program = kind.split()[0]
    if not shutil.which(program):
        return f"{program} is not installed (bash scripts/setup.sh test installs it)"
    if not os.access("/dev/fuse", os.R_OK | os.W_OK):
        return "this account may not open /dev/fuse"
    return None


def check_mounts():
    account, skipped, helper = b.ordinary_account(), 0, b.HELPER
    for kind in ("bindfs", "rclone off", "rclone writes"):
        if reason := unmountable(kind):
            print(f"cannot mount {kind}: {reason}")
            expect(not MUST_RUN, f"cannot mount {kind}", reason)
            skipped += 1
            continue
        with tempfile.TemporaryDirectory() as top:
            source, mount = os.path.join(top, "source"), os.path.join(top, "mount")
            os.mkdir(source), os.mkdir(mount), os.chmod(top, 0o755)
            if account:  # the account may not reach the build's own folder
                os.chown(source, account["user"], account["group"])
                b.HELPER = shutil.copy(helper, top)
            subprocess.run(mount_command(kind, source, mount, top, account), check=True, capture_output=True)
            try:  # rclone's daemon may return before the mount is there
                b.wait(f"the {kind} mount", lambda: os.path.ismount(mount), 5)
                check(kind, mount, source, account or {})
            finally:
                subprocess.run(["fusermount3" if kind.startswith("rclone") else "fusermount", "-u", mount])
            expect(not [n for n in os.listdir(source) if n.startswith(".brindell-")], f"{kind}: left below")
    if skipped == 3:
        b.skip("no FUSE file system can be mounted here", MUST_RUN)


def check(kind, mount, source, account):
    def ask(**request):
        return b.run(request, umask=0o477, **account).stdout

    folder, small, large = os.path.join(mount, b.folder_name()), b.sized(100), b.sized(5 * b.MIB)
    made = ask(op="create", folder=mount, workspaceId=b.WORKSPACE)
    expect(b'"ok":true' in made and ask(op="create", folder=mount, workspaceId=b.WORKSPACE) == made, kind, made)
    for tag, text in ((1, small), (2, large)):
        for created in (True, False):
            answer = ask(op="publish", folder=folder, name=history_name(tag), content=json.loads(text))
            expect(answer == b.published(created, history_name(tag)), f"{kind}: publish {tag} {created}", answer)
        expect(ask(op="read", folder=folder, name=history_name(tag)) == b.success(text), f"{kind}: read {tag}")
    publish = {"op": "publish", "folder": folder, "name": history_name(3),
               "content": json.loads(small)}
    answers = b.at_once(publish, umask=0o477, **account)
    expect(answers == b.published_once(history_name(3)), f"{kind}: publishes at once", answers)
    listed = ask(op="list", folder=folder)
    expect(listed == b.listed({history_name(1): len(small), history_name(2): len(large), history_name(3): len(small)}),
           f"{kind}: list", listed)
    # The cloud ends up holding what the mount shows (rclone uploads a written file seconds after it is closed);
    # only then is the folder renamed below, as rclone loses a file whose directory moves before its upload.
    def files(top):  # each item's name and, for a file, its size
        return {os.path.relpath(path, top): (mode & 0o170000, mode & 0o170000 == 0o100000 and size)
                for path, (mode, size, _, _) in b.snapshot(top).items()}
    try:
        b.wait(f"{kind}: the cloud to hold what the mount shows", lambda: files(source) == files(mount), 30)
    except TimeoutError as timeout:
        expect(False, str(timeout), sorted(files(source)))
    # A create refused after staging (the folder is another workspace's) leaves nothing either.
    os.path.isdir(folder) and os.rename(folder, os.path.join(mount, b.folder_name(b.OTHER)))
    refused = ask(op="create", folder=mount, workspaceId=b.OTHER)
    expect(b"SYNC_WORKSPACE_MISMATCH" in refused, f"{kind}: refused create", refused)
    expect(sorted(os.listdir(mount)) == [b.folder_name(b.OTHER)], f"{kind}: left in the mount", os.listdir(mount))
    if kind == "bindfs":  # what was made is private where modes are kept
        modes = {path: os.lstat(path).st_mode & 0o777 for path in b.snapshot(source)}
        expect(set(modes.values()) == {0o700, 0o600}, "bindfs: private below", modes)


if __name__ == "__main__":
    b.test(check_mounts)
