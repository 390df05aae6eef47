#!/usr/bin/env python3
"""The package's maintainer scripts through the real dpkg, in a scratch root: a
fresh install, a second configure, a purge that leaves the machine as it was but
the exports, an upgrade from a version whose daemon ran as root, upgrades from
1.0.0 and 1.1.0 as they shipped, with their settings edited or not, norvalith-sim
over 1.0.0, and an upgrade with a FIFO at the line's lock path. Then piuparts
from the base root of tests/packaging/base_root.sh: install and purge, upgrades
from 1.0.0 and 1.1.0 (or why it could not run).

    maintainer_scripts.py --debs DIR

takes the packages in DIR (scripts/package builds them), builds the releases
from their commits with their own scripts/package (once: kept in DIR/releases),
and runs dpkg in private mount, IPC and PID namespaces, chrooted into an overlay
over / with an empty /opt: nothing on the machine changes. Needs root, since
useradd hands files to a new user that a normal user's namespace cannot map:
otherwise SKIP (exit status 77). Ends with "N passed, N failed".
"""

import argparse
import glob
import grp
import json
import os
import pwd
import re
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
RELEASES = [("1.0.0", "2505899"), ("1.1.0", "9e88160")]
# What a purge may leave changed: the exports, and the machine's own bookkeeping.
PURGE_LEAVES = re.compile(r"^(added /var/data(/Norvalith(/.*)?)?|\w+ /(etc/[^/]+-|var/(log|cache|lib/dpkg)/.*))$")


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
    """An untouched copy of the machine to chroot into, and the overlay's upper layer,
    which holds all a case changes. /opt is empty and no mount point, as on a fresh
    system, so that dpkg may remove it as it would there."""
    upper, work, root = ("%s/%d-%s" % (stage, number, kind) for kind in ("upper", "work", "root"))
    for path in (upper + "/opt", work, root):
        os.makedirs(path)
    os.setxattr(upper + "/opt", "trusted.overlay.opaque", b"y")
    sb.mount("overlay", root, "overlay", "lowerdir=/,upperdir=%s,workdir=%s" % (upper, work))
    # No /run/systemd/system in here: the scripts never reach the machine's systemd.
    sb.mount("tmpfs", root + "/run", "tmpfs", "mode=0755")
    os.mkdir(root + "/run/lock", 0o1777)
    os.chmod(root + "/run/lock", 0o1777)
    sb.mount("/dev", root + "/dev", rbind=True)
    sb.mount("proc", root + "/proc", "proc")
    sb.mount(stage, root + stage, bind=True)
    return root, upper


def changes(upper):
    """What a case changed on the machine, from its upper layer: ("added", path) and,
    for the whiteouts over the machine's paths, ("removed", path)."""
    for top, dirs, files in os.walk(upper):
        for path in (os.path.join(top, name)[len(upper):] for name in dirs + files):
            info = os.lstat(upper + path)
            if stat.S_ISCHR(info.st_mode) and info.st_rdev == 0:
                yield "removed", path
            elif not os.path.lexists(path):
                yield "added", path


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


def fresh_install_and_purge(debs):
    deb = debs["norvalith"]
    run("dpkg", "-i", deb)
    expect_installed("fresh install")
    with open(SETTINGS) as settings:
        expect_equal(settings.read(), shipped_settings(deb), "settings as shipped")
    with open(SETTINGS, "a") as settings:
        settings.write("MOD_WMBUS_ADDR1=12345678\n")
    os.chmod(SETTINGS, 0o644)

    run("dpkg", "-i", deb, debs["norvalith-sim"])  # configured again: nothing added twice, the settings kept
    expect_installed("second configure")
    with open(SETTINGS) as settings:
        expect_equal(settings.read().endswith("MOD_WMBUS_ADDR1=12345678\n"), True, "settings kept")

    with open(os.path.join(sb.EXPORT_DIR, "12345678_2024-03-05.xml"), "w") as export:
        export.write("<Envelope/>\n")
    run("dpkg", "-P", "norvalith", "norvalith-sim")
    expect_equal([os.path.exists(p) for p in (SETTINGS, "/opt/Norvalith", os.path.join(UNIT_DIR, "norvalith.service"))],
                 [False] * 3, "settings, /opt/Norvalith and the unit after a purge")
    expect_equal(os.listdir(sb.EXPORT_DIR), ["12345678_2024-03-05.xml"], "exports after a purge")
    # Kept, as Debian keeps system users: files of theirs may outlive the package.
    pwd.getpwnam(USER)


def upgrade_from_root(debs):
    deb = debs["norvalith"]
    run("dpkg", "-i", debs["0.9.0"])
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


# 1.0.0 made the settings from its example, 1.1.0 shipped them as a conffile:
# an edit stays without a question, an unedited file becomes the new one.
RELEASE_UPGRADES = [
    # (release, what, appended to its settings, settings after the upgrade)
    ("1.0.0", "edited", "MOD_WMBUS_ADDR1=12345678\n", "edit"),
    ("1.0.0", "as made", "", "shipped"),
    ("1.1.0", "edited", "MOD_WMBUS_ADDR1=12345678\n", "edit"),
]


def upgrade_from_releases(debs):
    deb = debs["norvalith"]
    for release, what, edit, expected in RELEASE_UPGRADES:
        what = "%s, from %s" % (what, release)
        run("dpkg", "-i", debs[release]["norvalith"])
        with open(SETTINGS, "a") as settings:
            settings.write(edit)
        with open(SETTINGS) as settings:
            before = settings.read()
        run("dpkg", "-i", deb)
        expect_installed("upgrade, settings %s" % what)
        with open(SETTINGS) as settings:
            expect_equal(settings.read(), before if expected == "edit" else shipped_settings(deb),
                         "settings %s after the upgrade" % what)
        conffiles = run("dpkg-query", "-W", "-f", "${Conffiles}", "norvalith")
        expect_equal(SETTINGS in conffiles, True, "settings a conffile (%s)" % what)
        expect_equal(sorted(os.listdir(os.path.dirname(SETTINGS))), ["settings", "version"],
                     "nothing left beside the settings (%s)" % what)
        run("dpkg", "-i", deb)  # and again: the edit is now the operator's
        expect_installed("reinstall after the upgrade, settings %s" % what)
        run("dpkg", "-P", "norvalith")
        expect_equal(os.path.exists("/opt/Norvalith"), False, "/opt/Norvalith after a purge (%s)" % what)
    # 1.0.0's norvalith held rc1180-sim: norvalith-sim takes it over, as apt installs it.
    run("dpkg", "-i", debs["1.0.0"]["norvalith"])
    run("dpkg", "--auto-deconfigure", "-i", debs["norvalith-sim"], deb)
    expect_equal(run("dpkg-query", "-S", "/opt/Norvalith/bin/rc1180-sim").split(":")[0], "norvalith-sim",
                 "the owner of rc1180-sim after norvalith-sim over 1.0.0")


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


def upgrade_with_fifo_lock(debs):
    deb = debs["norvalith"]
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


CASES = [fresh_install_and_purge, upgrade_from_root, upgrade_from_releases, upgrade_with_fifo_lock]
# Cases that end purged: the machine as it was but for the exports.
PURGED = [fresh_install_and_purge]


# ---------------------------------------------------------------- runner

def inside(setup):
    setup = json.loads(setup)
    stage = tempfile.mkdtemp(prefix="norvalith-scratch-")
    sb.mount("tmpfs", stage, "tmpfs", "mode=0755")  # apt's sandbox user reads piuparts' repositories here
    copy = lambda path: shutil.copy(path, stage)  # noqa: E731
    debs = {name: copy(setup[name]) for name in ("norvalith", "norvalith-sim")}
    debs.update({release: {name: copy(path) for name, path in packages.items()}
                 for release, packages in setup["releases"].items()})
    debs["0.9.0"] = old_package(debs["norvalith"], stage)
    shipped = {name[1:] for deb in (debs["norvalith"], debs["norvalith-sim"])
               for name in run("sh", "-c", "dpkg-deb --fsys-tarfile %s | tar -t" % deb).split()}
    results = []
    for number, case in enumerate(CASES):
        root, upper = scratch_root(stage, number)
        sys.stdout.flush()
        child = os.fork()
        if child == 0:
            status = 1
            try:
                os.chroot(root)
                os.chdir("/")
                case(debs)
                status = 0
            except Exception as error:  # any: the child must reach _exit
                print("FAIL %s: %s" % (case.__name__, error))
            finally:
                sys.stdout.flush()
                os._exit(status)
        passed = os.waitpid(child, 0)[1] == 0
        # A stray copy of a shipped file is dpkg's to replace, and so gone after a purge
        # (tar lists directories with a "/": /opt is no such file).
        left = ["%s %s" % (kind, path) for kind, path in (changes(upper) if passed and case in PURGED else [])
                if not PURGE_LEAVES.match("%s %s" % (kind, path)) and not (kind == "removed" and path in shipped)]
        if left:
            print("FAIL %s: after the purge: %s" % (case.__name__, ", ".join(left)))
        elif passed:
            print("PASS %s" % case.__name__)
        results.append(passed and not left)
    if not setup["base"]:
        print("piuparts did not run: %s. The purge above was checked here alone." % setup["why"])
    for number, (release, _) in enumerate(RELEASES if setup["base"] else []):
        what = "piuparts: %supgrade from %s" % ("install and purge, " if number == 0 else "", release)
        repo = os.path.join(stage, "repo-" + release)
        os.mkdir(repo)
        try:
            run("sh", "-c", "cp %s %s && cd %s && dpkg-scanpackages . >Packages" % (
                " ".join(debs[release].values()), repo, repo))
            run("piuparts", "--distribution=bookworm", "--basetgz=" + setup["base"], "--log-level=info",
                "--bindmount=" + repo, "--extra-repo=deb [trusted=yes] file://%s ./" % repo,
                *["--no-install-purge-test"] * number, debs["norvalith"], debs["norvalith-sim"], timeout=900)
            print("PASS " + what)
            results.append(True)
        except Failure as error:
            # Its errors, without the steps that went well.
            print("FAIL %s: %s" % (what, "\n".join(line for line in str(error).splitlines()
                                                   if not re.match(r"\S+ (INFO|DEBUG):", line))[-3000:]))
            results.append(False)
        sys.stdout.flush()
    print("%d passed, %d failed" % (results.count(True), results.count(False)))
    return 0 if all(results) else 1


def release_packages(cache, arch):
    """Each release's packages as it shipped, built from its commit with its own
    scripts/package once, then kept in cache: {release: {package: path}}."""
    top = subprocess.run(["git", "-C", HERE, "rev-parse", "--show-toplevel"], check=True,
                         capture_output=True, text=True).stdout.strip()
    releases = {}
    for version, commit in RELEASES:
        tree = os.path.join(cache, version)
        pattern = os.path.join(tree, "build", "pkg-debs", "norvalith*_%s_%s.deb" % (version, arch))
        if not glob.glob(pattern):
            shutil.rmtree(tree, ignore_errors=True)
            os.makedirs(tree)
            subprocess.run("git -C %s archive %s | tar -xf - -C %s" % (top, commit, tree), shell=True, check=True)
            # 1.1.0's script copies the files git lists; 1.0.0's builds this machine's
            # package and the gateway's, of which only the first is needed.
            run("sh", "-c", "cd %s && git init -q && git add -A" % tree)
            script = os.path.join(tree, "scripts", "package")
            with open(script) as f:
                text = f.read().replace('"$(dpkg --print-architecture)" armhf', '"$(dpkg --print-architecture)"')
            with open(script, "w") as f:
                f.write(text)
            run("sh", script, arch)
        releases[version] = {os.path.basename(path).split("_")[0]: os.path.abspath(path)
                             for path in glob.glob(pattern) if "-dbgsym_" not in path}
        if "norvalith" not in releases[version]:
            raise Failure("%s's scripts/package made %s" % (version, glob.glob(pattern)))
    return releases


def base_root():
    """piuparts' Debian 12 root (base_root.sh makes and keeps it), or None and why not."""
    if shutil.which("piuparts", path=sb.PATH) is None:
        return None, "piuparts is not installed (Debian package piuparts)"
    done = subprocess.run(["sh", os.path.join(HERE, "base_root.sh")], capture_output=True, text=True)
    if done.returncode != 0:
        return None, "no base root: %s" % done.stderr.strip().replace("\n", "; ")[-300:]
    return os.path.abspath(os.path.join(HERE, "..", "..", done.stdout.strip())), None


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--debs", help="the folder of the norvalith packages (scripts/package)")
    parser.add_argument("--inside", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.inside:
        return inside(options.inside)
    if options.debs is None:
        parser.error("--debs is required")

    arch = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True).stdout.strip()
    debs = {name: glob.glob(os.path.join(options.debs, "%s_*_%s.deb" % (name, arch)))
            for name in ("norvalith", "norvalith-sim")}
    reason = None
    if os.geteuid() != 0:
        reason = "needs root: useradd hands files to a user that a normal user's namespace cannot map"
    elif shutil.which("dpkg", path=sb.PATH) is None or shutil.which("useradd", path=sb.PATH) is None:
        reason = "no dpkg or useradd: not a Debian system"
    elif any(len(paths) != 1 for paths in debs.values()):
        reason = "no single norvalith and norvalith-sim package for %s in %s (scripts/package builds them)" % (
            arch, options.debs)
    if reason:
        print("SKIP: " + reason)
        print("0 passed, 0 failed, %d skipped" % len(CASES))
        return SKIP

    try:
        setup = {name: os.path.abspath(paths[0]) for name, paths in debs.items()}
        setup["releases"] = release_packages(os.path.join(os.path.abspath(options.debs), "releases"), arch)
    except (Failure, subprocess.CalledProcessError) as error:
        print("FAIL: the releases' packages: %s" % error)
        return 1
    setup["base"], setup["why"] = base_root()
    argv = ["unshare", "--mount", "--ipc", "--pid", "--fork", "--mount-proc", "--propagation", "private",
            "--kill-child", "--", sys.executable, os.path.abspath(__file__), "--inside", json.dumps(setup)]
    return subprocess.run(argv, env=dict(os.environ, PATH=sb.PATH)).returncode


if __name__ == "__main__":
    sys.exit(main())
