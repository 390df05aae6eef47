#!/usr/bin/env python3
"""The package's maintainer scripts through the real dpkg, in a scratch root: a
fresh install, a second configure, a purge, an upgrade from a version whose
daemon ran as root, upgrades from 1.0.0 as it shipped, with its settings
edited or not, and an upgrade with a FIFO at the line's lock path.

    maintainer_scripts.py --debs DIR [--old-deb DEB]

takes the norvalith package in DIR (scripts/package builds it), builds 1.0.0
from its commit with that version's own scripts/package unless --old-deb names
its package, and runs dpkg in private mount,
IPC and PID namespaces: overlays over /etc (users, groups, enablement links),
/var (dpkg's database) and the unit directory, tmpfs over /opt and /run. Nothing
on the machine changes. Needs root, since useradd hands files to a new user that
a normal user's namespace cannot map: otherwise SKIP (exit status 77).
Ends with "N passed, N failed".
"""

import argparse
import glob
import grp
import os
import pwd
import shutil
import signal
import stat
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

from harness import sandbox as sb  # noqa: E402
from harness.facts import SKIP  # noqa: E402
USER = "norvalith"
SETTINGS = sb.SETTINGS_PATH
UNIT_DIR = "/usr/lib/systemd/system"
OVERLAID = ("/etc", "/var", UNIT_DIR)
RELEASE_1_0_0 = "2505899"


class Failure(Exception):
    pass


def expect_equal(actual, expected, what):
    if actual != expected:
        raise Failure("%s:\n  expected %r\n  actual   %r" % (what, expected, actual))


def run(*argv, timeout=None, path=sb.PATH):
    # No terminal: a conffile question from dpkg fails instead of waiting.
    try:
        done = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True, timeout=timeout,
                              env=dict(os.environ, PATH=path, DEBIAN_FRONTEND="noninteractive"))
    except subprocess.TimeoutExpired:
        raise Failure("%s: still running after %d s" % (" ".join(argv), timeout))
    if done.returncode != 0:
        raise Failure("%s: exit status %d\n%s" % (" ".join(argv), done.returncode, done.stdout))
    return done.stdout


def owner_mode(path):
    info = os.lstat(path)
    user = pwd.getpwuid(info.st_uid).pw_name
    group = grp.getgrgid(info.st_gid).gr_name
    return "%s:%s %04o" % (user, group, info.st_mode & 0o7777)


# ---------------------------------------------------------------- scratch root

def scratch_root(stage, number):
    """Fresh overlays and tmpfs mounts: an untouched copy of the machine to install into."""
    for path in OVERLAID + ("/opt", "/run"):
        while os.path.ismount(path) and subprocess.run(["umount", path], capture_output=True).returncode == 0:
            pass
    for index, path in enumerate(OVERLAID):
        upper, work = ("%s/%d-%d-%s" % (stage, number, index, kind) for kind in ("upper", "work"))
        os.makedirs(upper)
        os.makedirs(work)
        sb.mount("overlay", path, "overlay", "lowerdir=%s,upperdir=%s,workdir=%s" % (path, upper, work))
    sb.mount("tmpfs", "/opt", "tmpfs", "mode=0755")
    # No /run/systemd/system in here: the scripts never reach the machine's systemd.
    sb.mount("tmpfs", "/run", "tmpfs", "mode=0755")
    os.mkdir("/run/lock", 0o1777)
    os.chmod("/run/lock", 0o1777)


def old_package(deb, directory):
    """The same files as a version 0.9.0 without maintainer scripts, as a daemon that
    ran as root was installed: no user, nothing handed over."""
    tree = os.path.join(directory, "old")
    run("dpkg-deb", "-R", deb, tree)
    control = os.path.join(tree, "DEBIAN", "control")
    with open(control) as f:
        lines = ["Version: 0.9.0" if line.startswith("Version:") else line for line in f.read().splitlines()]
    with open(control, "w") as f:
        f.write("\n".join(lines) + "\n")
    for script in ("preinst", "postinst", "prerm", "postrm", "conffiles"):
        os.unlink(os.path.join(tree, "DEBIAN", script))
    os.unlink(os.path.join(tree, SETTINGS.lstrip("/")))
    old = os.path.join(directory, "norvalith-old.deb")
    run("dpkg-deb", "-b", "--root-owner-group", tree, old)
    return old


def norvalith():
    """uid and gid of the package's user, as a sandbox DaemonUser."""
    entry = pwd.getpwnam(USER)
    return sb.DaemonUser(entry.pw_uid, entry.pw_gid)


def table_segments():
    key = sb.table_key()
    return [s["shmid"] for s in sb.segments() if s["key"] == key]


# ---------------------------------------------------------------- cases

def expect_installed(what):
    user = pwd.getpwnam(USER)
    expect_equal((user.pw_uid < 1000, user.pw_dir, user.pw_shell), (True, "/nonexistent", "/usr/sbin/nologin"),
                 "system user %s (%s)" % (USER, what))
    expect_equal(grp.getgrgid(user.pw_gid).gr_name, USER, "primary group (%s)" % what)
    expect_equal([g.gr_name for g in grp.getgrall() if USER in g.gr_mem], ["dialout"],
                 "supplementary groups (%s)" % what)
    with open("/etc/passwd") as f:
        expect_equal(sum(line.startswith(USER + ":") for line in f), 1, "passwd entries (%s)" % what)
    expect_equal(owner_mode(SETTINGS), "root:norvalith 0640", "settings (%s)" % what)
    expect_equal(owner_mode(sb.EXPORT_DIR), "norvalith:norvalith 2775", "export directory (%s)" % what)
    expect_equal(os.path.isfile(os.path.join(UNIT_DIR, "norvalith.service")), True, "unit installed (%s)" % what)


def shipped_settings(deb):
    return subprocess.run("dpkg-deb --fsys-tarfile %s | tar -xOf - .%s" % (deb, SETTINGS), shell=True,
                          check=True, capture_output=True, text=True).stdout


def fresh_install_and_purge(deb, old):
    run("dpkg", "-i", deb)
    expect_installed("fresh install")
    with open(SETTINGS) as settings:
        expect_equal(settings.read(), shipped_settings(deb), "settings as shipped")
    with open(SETTINGS, "a") as settings:
        settings.write("MOD_WMBUS_ADDR1=12345678\n")
    os.chmod(SETTINGS, 0o644)

    run("dpkg", "-i", deb)  # configured again: nothing added twice, the settings kept
    expect_installed("second configure")
    with open(SETTINGS) as settings:
        expect_equal(settings.read().endswith("MOD_WMBUS_ADDR1=12345678\n"), True, "settings kept")

    with open(os.path.join(sb.EXPORT_DIR, "12345678_2024-03-05.xml"), "w") as export:
        export.write("<Envelope/>\n")
    run("dpkg", "-P", "norvalith")
    expect_equal([os.path.exists(p) for p in (SETTINGS, "/opt/Norvalith", os.path.join(UNIT_DIR, "norvalith.service"))],
                 [False] * 3, "settings, /opt/Norvalith and the unit after a purge")
    expect_equal(os.listdir(sb.EXPORT_DIR), ["12345678_2024-03-05.xml"], "exports after a purge")
    # Kept, as Debian keeps system users: files of theirs may outlive the package.
    pwd.getpwnam(USER)


def upgrade_from_root(deb, old):
    run("dpkg", "-i", old)
    # What the daemon and postinst of that version left: all root's.
    with open(SETTINGS, "w") as settings:
        settings.write("MOD_WMBUS_PASSWORD=secret\n")
    os.chmod(SETTINGS, 0o600)
    exports = {name: os.path.join(sb.EXPORT_DIR, name)
               for name in ("12345678_2024-03-04.xml", "12345678_2024-03-05.xml")}
    for path in exports.values():
        with open(path, "w") as f:
            f.write("<Envelope/>\n")
    # Root's files elsewhere, that a link in the export directory must not hand over.
    os.makedirs("/var/elsewhere")
    for name in ("linked", "hard"):
        with open(os.path.join("/var/elsewhere", name), "w"):
            pass
    os.symlink("/var/elsewhere/linked", os.path.join(sb.EXPORT_DIR, "link"))
    os.link("/var/elsewhere/hard", os.path.join(sb.EXPORT_DIR, "hard"))
    gone = subprocess.Popen(["true"])
    gone.wait()
    sb.Sandbox.write_file(sb.LOCK_FILE, sb.lock_content(gone.pid))

    run("dpkg", "--unpack", deb)
    # Root's table under the key of the new binary, as a daemon of the old version
    # would have left it had the key not changed.
    root_table = sb.create_segment(2048)
    run("dpkg", "--configure", "norvalith")
    expect_installed("upgrade")
    expect_equal([owner_mode(p) for p in exports.values()], ["norvalith:norvalith 0644"] * 2, "exports handed over")
    expect_equal([owner_mode(p) for p in ("/var/elsewhere/linked", "/var/elsewhere/hard")],
                 ["root:root 0644"] * 2, "files behind links in the export directory")
    expect_equal(os.path.lexists(sb.LOCK_FILE), False, "stale lock of root's after the upgrade")
    expect_equal(table_segments(), [], "root's unused table (shmid %d) after the upgrade" % root_table)

    # A lock of a live process, a table still attached, and the daemon user's own
    # table (which the daemon reuses) all stay.
    holder = subprocess.Popen(["sleep", "60"])
    lock = sb.lock_content(holder.pid)
    sb.Sandbox.write_file(sb.LOCK_FILE, lock)
    run("dpkg", "--unpack", deb)
    root_table = sb.create_segment(2048)
    child = sb.attached_segment(root_table)
    try:
        run("dpkg", "--configure", "norvalith")
        expect_equal(table_segments(), [root_table], "root's table with a process attached")
    finally:
        os.kill(child, signal.SIGKILL)
        os.waitpid(child, 0)
        holder.kill()
        holder.wait()
    with open(sb.LOCK_FILE, "rb") as f:
        expect_equal(f.read(), lock, "lock of a live process")
    run("ipcrm", "-m", str(root_table))

    run("dpkg", "--unpack", deb)
    own_table = sb.create_segment(2048, user=norvalith())
    run("dpkg", "--configure", "norvalith")
    expect_equal(table_segments(), [own_table], "the daemon user's own table")


# 1.0.0 made the settings from its example; the conffile that replaces them
# must keep an edit without asking, and take the new file over an unedited one.
RELEASE_UPGRADES = [
    # (what, appended to 1.0.0's settings, settings after the upgrade)
    ("edited", "MOD_WMBUS_ADDR1=12345678\n", "edit"),
    ("as made", "", "shipped"),
]


def upgrade_from_1_0_0(deb, release):
    for what, edit, expected in RELEASE_UPGRADES:
        run("dpkg", "-i", release)
        with open(SETTINGS, "a") as settings:
            settings.write(edit)
        with open(SETTINGS) as settings:
            before = settings.read()
        run("dpkg", "-i", deb)
        expect_installed("upgrade from 1.0.0, settings %s" % what)
        with open(SETTINGS) as settings:
            expect_equal(settings.read(), before if expected == "edit" else shipped_settings(deb),
                         "settings %s after the upgrade from 1.0.0" % what)
        conffiles = run("dpkg-query", "-W", "-f", "${Conffiles}", "norvalith")
        expect_equal(SETTINGS in conffiles, True, "settings a conffile (%s)" % what)
        expect_equal(sorted(os.listdir(os.path.dirname(SETTINGS))), ["settings", "version"],
                     "nothing left beside the settings (%s)" % what)
        run("dpkg", "-i", deb)  # and again: the edit is now the operator's
        expect_installed("reinstall after the upgrade, settings %s" % what)
        run("dpkg", "-P", "norvalith")
        expect_equal(os.path.exists("/opt/Norvalith"), False, "/opt/Norvalith after a purge (%s)" % what)


# postinst reads the lock only when it is a plain file; a FIFO there, or one
# swapped in between that test and the read, must not hold up dpkg.
LOCK_FIFOS = [
    # (what, a plain file swapped for a FIFO as postinst reads it)
    ("a FIFO at the lock path", False),
    ("a FIFO swapped in after postinst's test", True),
]
SWAP_IN = """#!/bin/sh
case "$*" in *%(lock)s*) rm -f %(lock)s && mkfifo %(lock)s ;; esac
PATH=${PATH#*:}
exec "${0##*/}" "$@"
"""


def upgrade_with_fifo_lock(deb, old):
    run("dpkg", "-i", deb)
    # dd and head first in the PATH: the lock becomes a FIFO when either is given it.
    shims = "/run/swap-in"
    os.mkdir(shims)
    sb.Sandbox.write_file(os.path.join(shims, "dd"), SWAP_IN % {"lock": sb.LOCK_FILE})
    os.chmod(os.path.join(shims, "dd"), 0o755)
    os.symlink("dd", os.path.join(shims, "head"))
    for what, swapped in LOCK_FIFOS:
        if swapped:
            sb.Sandbox.write_file(sb.LOCK_FILE, "")
        else:
            os.mkfifo(sb.LOCK_FILE)
        try:
            run("dpkg", "-i", deb, timeout=30, path=(shims + ":" if swapped else "") + sb.PATH)
        except Failure as error:
            raise Failure("%s: %s" % (what, error))
        expect_equal(stat.S_ISFIFO(os.lstat(sb.LOCK_FILE).st_mode), True, "%s after the upgrade" % what)
        os.unlink(sb.LOCK_FILE)


CASES = [fresh_install_and_purge, upgrade_from_root, upgrade_from_1_0_0, upgrade_with_fifo_lock]


# ---------------------------------------------------------------- runner

def inside(deb, release):
    stage = tempfile.mkdtemp(prefix="norvalith-scratch-")
    sb.mount("tmpfs", stage, "tmpfs", "mode=0700")
    old = old_package(deb, stage)
    passed = failed = 0
    for number, case in enumerate(CASES):
        scratch_root(stage, number)
        try:
            case(deb, release if case is upgrade_from_1_0_0 else old)
            print("PASS %s" % case.__name__)
            passed += 1
        except (Failure, sb.SandboxError, OSError, KeyError) as error:
            print("FAIL %s: %s" % (case.__name__, error))
            failed += 1
        sys.stdout.flush()
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


def release_package(out):
    """1.0.0 as it shipped, built from its commit with its own scripts/package."""
    tree = os.path.join(out, "1.0.0")
    os.makedirs(tree)
    top = subprocess.run(["git", "-C", HERE, "rev-parse", "--show-toplevel"], check=True,
                         capture_output=True, text=True).stdout.strip()
    subprocess.run("git -C %s archive %s | tar -xf - -C %s" % (top, RELEASE_1_0_0, tree), shell=True, check=True)
    # Its script builds this machine's package and the gateway's; only the first is needed.
    script = os.path.join(tree, "scripts", "package")
    with open(script) as f:
        text = f.read().replace('"$(dpkg --print-architecture)" armhf', '"$(dpkg --print-architecture)"')
    with open(script, "w") as f:
        f.write(text)
    run("sh", script)
    debs = glob.glob(os.path.join(tree, "build", "pkg-debs", "norvalith_1.0.0_*.deb"))
    if len(debs) != 1:
        raise Failure("1.0.0's scripts/package made %s" % debs)
    return debs[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--debs", help="the folder of the norvalith package (scripts/package)")
    parser.add_argument("--old-deb", help="the package of 1.0.0, instead of building it")
    parser.add_argument("--inside", nargs=2, help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.inside:
        return inside(*options.inside)
    if options.debs is None:
        parser.error("--debs is required")

    arch = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True).stdout.strip()
    debs = glob.glob(os.path.join(options.debs, "norvalith_*_%s.deb" % arch))
    reason = None
    if os.geteuid() != 0:
        reason = "needs root: useradd hands files to a user that a normal user's namespace cannot map"
    elif shutil.which("dpkg", path=sb.PATH) is None or shutil.which("useradd", path=sb.PATH) is None:
        reason = "no dpkg or useradd: not a Debian system"
    elif not os.path.isdir(UNIT_DIR):
        reason = "no %s to lay an overlay on" % UNIT_DIR
    elif len(debs) != 1:
        reason = "no single norvalith package for %s in %s (scripts/package builds it)" % (arch, options.debs)
    if reason:
        print("SKIP: " + reason)
        print("0 passed, 0 failed, %d skipped" % len(CASES))
        return SKIP

    with tempfile.TemporaryDirectory(prefix="norvalith-deb-") as out:
        try:
            release = os.path.abspath(options.old_deb) if options.old_deb else release_package(out)
        except (Failure, subprocess.CalledProcessError) as error:
            print("FAIL: 1.0.0's package: %s" % error)
            return 1
        argv = ["unshare", "--mount", "--ipc", "--pid", "--fork", "--mount-proc", "--propagation", "private",
                "--kill-child", "--", sys.executable, os.path.abspath(__file__), "--inside",
                os.path.abspath(debs[0]), release]
        return subprocess.run(argv, env=dict(os.environ, PATH=sb.PATH)).returncode


if __name__ == "__main__":
    sys.exit(main())
