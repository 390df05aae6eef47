"""The system calls the daemon makes, against the service unit's SystemCallFilter=
and RestrictAddressFamilies=, and the paths it writes, against its ReadWritePaths=
and RuntimeDirectory=.

The group "syscalls". The
names are those of the machine that runs the test (x86-64 in CI); the armhf
daemon's differ (_llseek, clock_gettime64, ...) and is not traced here.
"""

import os
import re
import shutil
import signal
import subprocess
import time

from harness.scenario import Failure, expect, export_name, sb, scenario, telegram

UNIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging", "norvalith.service")
CALL = re.compile(r"^\d+\s+([a-z_][a-z0-9_]*)\(")
FAMILY = re.compile(r"^\d+\s+socket(?:pair)?\((\w+),", re.M)
# Calls that write at a path given from the root, and the paths they name.
WRITE = re.compile(r'^\d+\s+(?:openat\(AT_FDCWD, "([^"]+)", [^)]*O_(?:WRONLY|RDWR|CREAT)'
                   r'|(?:link|rename|unlink|mkdir)\("([^"]+)"(?:, "([^"]+)")?'
                   r'|renameat2?\(AT_FDCWD, "([^"]+)", AT_FDCWD, "([^"]+)")')
# /var/lock is a link to /run/lock on Debian; in the sandbox it is a directory.
SANDBOX_PATHS = {"/run/lock": "/var/lock"}


def unit_values(wanted, unit=UNIT):
    """The values of every line of the unit that sets the key wanted, in order."""
    with open(unit) as f:
        return [value for key, _, value in (line.strip().partition("=") for line in f) if key == wanted]


def filter_lines(unit=UNIT):
    """The unit's SystemCallFilter= lines in order: [(deny, [names and @sets])]."""
    return [(value.startswith("~"), value.lstrip("~").split()) for value in unit_values("SystemCallFilter", unit)]


def expand(names):
    """The system calls named, with every @set expanded as systemd-analyze lists it."""
    calls = set()
    for name in names:
        if not name.startswith("@"):
            calls.add(name)
            continue
        listing = subprocess.run(["systemd-analyze", "syscall-filter", name], capture_output=True, text=True,
                                 env={"PATH": sb.PATH})
        if listing.returncode != 0:
            raise Failure("systemd-analyze syscall-filter %s: %s" % (name, listing.stderr.strip()))
        members = [line.strip() for line in listing.stdout.splitlines()[1:]]
        calls |= expand([m for m in members if m and not m.startswith("#")])
    return calls


def writable_paths(unit=UNIT):
    """ReadWritePaths= and RuntimeDirectory= of the unit, as the sandbox lays them out."""
    return [SANDBOX_PATHS.get(p.lstrip("-"), p.lstrip("-"))
            for value in unit_values("ReadWritePaths", unit) for p in value.split()] + [
        "/run/" + d for value in unit_values("RuntimeDirectory", unit) for d in value.split()]


def allowed_calls(lines):
    """What systemd lets through: an allow list (which always takes in @default),
    widened by later allow lines and narrowed by later ~ lines."""
    if not lines or lines[0][0]:
        raise Failure("the unit's SystemCallFilter= does not start with an allow list")
    allowed = expand(["@default"])
    for deny, names in lines:
        if deny:
            allowed -= expand(names)
        else:
            allowed |= expand(names)
    return allowed


@scenario("syscalls", timeout=180, faketime=True, native=True)
def syscalls_within_the_unit_filter(run):
    """From exec to a kill, traced with strace: start-up with a stale lock and a module
    to configure, telegrams, an export that fails and one that works, a day change, a reload, the silence
    alarm with its question to the module and its end, a hung-up line; notify datagrams
    and the metrics file throughout. Every call must pass the unit's filter and address
    families, and every path written must lie in its ReadWritePaths= or
    RuntimeDirectory= (or be the serial port)."""
    if shutil.which("systemd-analyze", path=sb.PATH) is None or shutil.which("strace", path=sb.PATH) is None:
        raise Failure("systemd-analyze or strace not installed (Debian packages systemd, strace)")
    allowed = allowed_calls(filter_lines())
    box = run.box
    trace = box.path("strace")
    box.plant(trace, b"")
    a, b = 12345678, 23456789
    box.settings("MOD_WMBUS_ADDR1=%d\nMOD_WMBUS_ADDR2=%d\nMOD_WMBUS_SILENCE_ALARM=1\n" % (a, b))
    box.version("2.0")
    gone = subprocess.Popen(["true"])
    gone.wait()
    box.plant(sb.LOCK_FILE, sb.lock_content(gone.pid))  # a stale lock to judge and replace
    sim = run.sim(memory=None)
    # -D: strace traces from a grandchild, so the daemon keeps the pid the log shows.
    notify = box.notify_socket(abstract=True)
    daemon = box.start_daemon(faketime="@2024-03-05 23:59:40", prefix=["strace", "-D", "-f", "-qq", "-o", trace],
                              notify=notify)
    run.ready(sim, daemon)

    run.tx(sim, telegram(a))
    run.wait_export(export_name(a, "2024-03-05"))
    sb.Sandbox.remount_export_dir("ro")
    run.tx(sim, telegram(b))
    run.sync(sim)
    sb.Sandbox.remount_export_dir("rw")
    time.sleep(max(0.0, daemon.started + 22 - time.monotonic()))
    run.tx(sim, telegram(b))
    run.wait_export(export_name(b, "2024-03-06"))
    run.wait(lambda: "no telegram for 1 min" in run.messages(daemon), 80, "the silence warning")
    run.tx(sim, telegram(a))
    # The module sends at the line rate: hang up only once the daemon has the telegram.
    run.wait(lambda: "telegrams again after 1 min" in run.messages(daemon), 5, "the end of the silence")
    os.kill(daemon.pid, signal.SIGHUP)
    run.wait(lambda: "settings reloaded: 2 meters" in run.messages(daemon), 5, "the reload")
    sim.command("hangup")
    run.wait(lambda: any(m.startswith("read: ") for m in run.messages(daemon)), 5, "the read failure")
    expect(run.messages(daemon)[:3] == ["started", "rc1180 successfully initialized", "export xml file error"]
           and "telegrams again after 1 min" in run.messages(daemon)
           and any(m.startswith("day 2024-03-05") for m in run.messages(daemon))
           and "rc1180 answers" in run.messages(daemon) and notify.snapshot()[0][2].startswith("READY=1"),
           "not every path was taken: %s %s" % (run.messages(daemon), notify.snapshot()[:1]))
    run.expect_alive(daemon)
    daemon.kill()
    daemon.wait()

    def traced():
        with open(trace) as f:
            text = f.read()
        return text if "+++ killed by SIGKILL +++" in text else None
    text = run.wait(traced, 10, "strace to finish its trace")
    calls = {m.group(1) for m in map(CALL.match, text.splitlines()) if m}
    expect({"execve", "kill", "shmget", "renameat2", "fsync", "signalfd4"} <= calls, "trace incomplete: %s" % sorted(calls))
    print("NOTE: %d system calls: %s" % (len(calls), " ".join(sorted(calls))))
    denied = calls - allowed
    expect(not denied, "calls the unit's filter denies: %s" % " ".join(sorted(denied)))
    families = set(FAMILY.findall(text)) - set(" ".join(unit_values("RestrictAddressFamilies")).split())
    expect(not families, "address families the unit denies: %s" % " ".join(sorted(families)))

    roots = writable_paths() + [sb.DEVICE]
    written = {p for m in map(WRITE.match, text.splitlines()) if m for p in m.groups() if p}
    # libfaketime's, which the test preloads for the day change.
    written = {p for p in written if not re.match(r"/dev/shm/(sem\.)?faketime_", p)}
    outside = [p for p in written if not any(p == r or p.startswith(r + "/") for r in roots)]
    expect(written and not outside, "written outside %s: %s" % (roots, sorted(outside)))
    expect(sb.METRICS_PATH in written, "metrics file not written: %s" % sorted(written))
