#!/usr/bin/env python3
# A file system that keeps no modes (here bindfs showing every item readable by all, as vfat, exFAT, CIFS and many
# FUSE file systems show one fixed mode, and refusing an exclusive rename as FUSE file systems without one do):
# create and publish work and leave nothing behind, for an ordinary account under a mask that takes the owner's bits.
# Run by root, the helper runs as an ordinary account; elsewhere as the caller. Skips, saying why, where no FUSE file
# system can be mounted, except as root in CI, which must be able to.
#
#   python3 tests/system/modeless_test.py HELPER
import json, os, pathlib, shutil, subprocess, sys, tempfile  # noqa: E401

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "support"))
import brindell as b  # noqa: E402
from brindell import expect, history_name  # noqa: E402


def unmountable():  # why no FUSE file system can be mounted here, or None
    if not shutil.which("bindfs"):
        return "bindfs is not installed (bash scripts/setup.sh test installs it)"
    if not os.access("/dev/fuse", os.R_OK | os.W_OK):
        return "this account may not open /dev/fuse"
    return None


def main():
    if reason := unmountable():
        print(f"cannot mount a file system without modes: {reason}")
        return 1 if os.environ.get("CI") and os.geteuid() == 0 else 77
    account = b.ordinary_account()
    as_account = {"user": account[0], "group": account[1], "extra_groups": []} if account else {}
    with tempfile.TemporaryDirectory() as top:
        source, mount = os.path.join(top, "source"), os.path.join(top, "mount")
        os.mkdir(source), os.mkdir(mount), os.chmod(top, 0o755)
        if account:  # the account may not reach the build's own folder
            os.chown(source, *account)
            b.HELPER = shutil.copy(b.HELPER, top)
        subprocess.run(["bindfs", "--perms=a+rX", *(["-o", "allow_other"] if account else []), source, mount],
                       check=True)
        try:
            check(mount, source, as_account)
        finally:
            subprocess.run(["fusermount", "-u", mount], check=True)
    return b.finish()


def check(mount, source, as_account):
    def ask(**request):
        return b.run(request, umask=0o477, **as_account).stdout

    folder, small, large = os.path.join(mount, b.folder_name()), b.sized(100), b.sized(3 * b.MIB)
    made = ask(op="create", folder=mount, workspaceId=b.WORKSPACE)
    expect(b'"ok":true' in made and ask(op="create", folder=mount, workspaceId=b.WORKSPACE) == made, "create", made)
    for tag, text in ((1, small), (2, large)):
        for created in (True, False):
            answer = ask(op="publish", folder=folder, name=history_name(tag), content=json.loads(text))
            expect(answer == b.published(created, history_name(tag)), f"publish {tag} {created}", answer)
        expect(ask(op="read", folder=folder, name=history_name(tag)) == b.success(text), f"read {tag}")
    listed = ask(op="list", folder=folder)
    expect(listed == b.listed({history_name(1): len(small), history_name(2): len(large)}), "list", listed)
    # A create refused after staging (the folder is another workspace's) leaves nothing either.
    os.path.isdir(folder) and os.rename(folder, os.path.join(mount, b.folder_name(b.OTHER)))
    refused = ask(op="create", folder=mount, workspaceId=b.OTHER)
    expect(b"SYNC_WORKSPACE_MISMATCH" in refused, "refused create", refused)
    # Nothing left beside the folders, and what was made is private where modes are kept.
    for top in (mount, source):
        expect(sorted(os.listdir(top)) == [b.folder_name(b.OTHER)], f"leftovers in {top}", os.listdir(top))
    modes = {path: os.lstat(path).st_mode & 0o777 for path in b.snapshot(source)}
    expect(set(modes.values()) == {0o700, 0o600}, "private in the source", modes)


if __name__ == "__main__":
    b.use(sys.argv[1])
    sys.exit(main())
