"""Fault injection: the running daemon against a filling, read-only or stolen export
directory, a second daemon, a stopped process and settings files it cannot use.

The group "faults". Module
faults (silent, wrong prompt, short memory, chatter, no prompt after writing), a
missing export directory, a full file system and a hung-up line are covered by the
startup, export and line groups already.

Every scenario asserts the same four things: the daemon keeps running (or exits 1
at start-up where it must), it logs what happened, it loses no reading it could
have kept, and the export directory only ever holds complete files that parse.
"""

import errno
import os
import random
import re
import shutil
import signal
import subprocess
import time

from harness.scenario import (Failure, expect, expect_equal, expected_raw, export_name, meters_settings, parse_export,
                              sb, scenario, telegram)

DATE = "2024-03-05"
MORNING = "@2024-03-05 10:00:00"
EXPORT_ERROR = "export xml file error"


def expect_clean_exports(box, expected, what, ignore=()):
    """The export directory holds exactly `expected` ({name: burst}) apart from files the
    test put there itself: no temporary or partial file, every file parses and carries
    the raw copy of its burst."""
    names = [n for n in box.exports() if n not in ignore]
    expect_equal(names, sorted(expected), what)
    for name, burst in expected.items():
        _, raw = parse_export(box.read_export(name))
        expect_equal(raw, expected_raw(burst), "raw copy in %s (%s)" % (name, what))


def reading(meter_id, n):
    """Telegram number n of a meter: same header, a different counter byte."""
    return telegram(meter_id, payload=bytes([0x7a, n, 0, 0, 0]))


def errors(run, daemon):
    return run.messages(daemon).count(EXPORT_ERROR)


def table_ids(count=sb.TABLE_ENTRIES):
    return [entry[0] for entry in sb.read_table()[:count]]


# ================================================================ export directory

@scenario("faults", timeout=90, faketime=True, tags=("unprivileged",))
def fault_export_fills_up(run):
    """The daemon's own files fill a 16 KiB tmpfs, then a collector frees space; later
    the directory runs out of inodes. Failed meters are logged once and exported with
    their next telegram; a temporary file that could not be written is never left."""
    ids = [10000001 + i for i in range(9)]
    sim, daemon = run.start(settings=meters_settings(ids), faketime=MORNING)
    box = run.box
    # Four pages: room for four export files, and not for the temporary file of a fifth.
    box.mount_export_dir("size=16k")

    kept = {}
    for meter_id in ids[:6]:
        burst = run.tx(sim, reading(meter_id, 1))
        if len(kept) < 4:
            kept[export_name(meter_id, DATE)] = burst
    run.tx(sim, reading(ids[4], 2))  # still failing: no second message for the slot
    run.sync(sim)
    expect_clean_exports(box, kept, "exports on a full tmpfs")
    expect_equal(run.messages(daemon), ["started"] + [EXPORT_ERROR] * 2, "log on a full tmpfs")

    # The collector takes two files away; the two meters that failed get their next telegram in.
    for meter_id in ids[:2]:
        name = export_name(meter_id, DATE)
        os.unlink(os.path.join(sb.EXPORT_DIR, name))
        del kept[name]
    kept[export_name(ids[5], DATE)] = run.tx(sim, reading(ids[5], 3))
    kept[export_name(ids[4], DATE)] = run.tx(sim, reading(ids[4], 4))
    # A meter exported earlier today is not exported again because its file was collected.
    run.tx(sim, reading(ids[0], 5))
    run.sync(sim)
    expect_clean_exports(box, kept, "exports after the collector freed space")
    expect_equal(errors(run, daemon), 2, "export errors after space was freed")

    # Out of inodes: the root directory takes one, so two files fit.
    run.wait(lambda: sim.unread() == 0, 5, "the daemon to read the line")
    sb.run("umount", sb.EXPORT_DIR)
    box.mount_export_dir("size=1m,nr_inodes=3")
    kept = {export_name(m, DATE): run.tx(sim, reading(m, 6)) for m in ids[6:8]}
    run.tx(sim, reading(ids[8], 6))
    run.sync(sim)
    expect_clean_exports(box, kept, "exports without free inodes")
    expect_equal(errors(run, daemon), 3, "export errors without free inodes")
    os.unlink(os.path.join(sb.EXPORT_DIR, export_name(ids[6], DATE)))
    del kept[export_name(ids[6], DATE)]
    kept[export_name(ids[8], DATE)] = run.tx(sim, reading(ids[8], 7))
    run.sync(sim)
    expect_clean_exports(box, kept, "exports after an inode was freed")
    expect_equal(errors(run, daemon), 3, "no further export errors")
    run.expect_alive(daemon)


@scenario("faults", timeout=90, faketime=True)
def fault_export_read_only(run):
    """A read-only export directory across midnight: one message per slot and day while
    it fails, and once it is writable again the next telegram of each meter is exported
    under the new date."""
    a, b = 12345678, 23456789
    # Meter a has two slots: the message is per slot, and so is the retry.
    sim, daemon = run.start(settings=meters_settings([a, b, a]), faketime="@2024-03-05 23:59:45")
    sb.Sandbox.remount_export_dir("ro")
    try:
        with open(os.path.join(sb.EXPORT_DIR, "probe"), "w"):
            pass
        raise Failure("root could write into the read-only export directory")
    except OSError as error:
        expect_equal(error.errno, errno.EROFS, "error writing as root")

    run.tx(sim, reading(a, 1))
    run.tx(sim, reading(b, 2))
    run.tx(sim, reading(a, 3))
    run.sync(sim)
    twice = "settings line 3: MOD_WMBUS_ADDR3: address %d is in MOD_WMBUS_ADDR1 too" % a
    expect_equal(run.messages(daemon), ["started", twice] + [EXPORT_ERROR] * 3, "log before midnight")
    expect(time.monotonic() - daemon.started < 14.5, "the telegrams before midnight were sent too late")

    # Past midnight in the faked clock: the new day brings one new message per slot.
    time.sleep(max(0.0, daemon.started + 16.5 - time.monotonic()))
    run.tx(sim, reading(a, 4))
    run.tx(sim, reading(a, 5))
    run.sync(sim)
    expect_equal(errors(run, daemon), 5, "export errors after midnight (two slots of meter %d)" % a)
    expect_equal(run.box.exports(), [], "export directory while read-only")

    sb.Sandbox.remount_export_dir("rw")
    later_b = run.tx(sim, reading(b, 6))
    later_a = run.tx(sim, reading(a, 7))
    run.tx(sim, reading(a, 8))
    run.sync(sim)
    expect_clean_exports(run.box, {export_name(a, "2024-03-06"): later_a, export_name(b, "2024-03-06"): later_b},
                         "exports once writable")
    expect_equal(errors(run, daemon), 5, "no messages once writable")
    run.expect_alive(daemon)


def traced_syscalls(run, pid, action, what):
    """The file system calls the daemon makes during action(), as strace prints them."""
    if shutil.which("strace") is None:
        raise Failure("strace not installed (Debian package strace)")
    trace = run.box.path("strace")
    tracer = subprocess.Popen(["strace", "-qq", "-p", str(pid), "-o", trace, "-e",
                               "trace=openat,close,fsync,unlink,unlinkat,rename,renameat,renameat2"])

    def traced():
        with open("/proc/%d/status" % pid) as status:
            return any(line.split() == ["TracerPid:", str(tracer.pid)] for line in status)
    try:
        run.wait(traced, 5, "strace to attach to the daemon")
        action()
    finally:
        tracer.terminate()
        tracer.wait()
    with open(trace) as f:
        lines = f.read().splitlines()
    expect(lines, "nothing traced during " + what)
    return lines


def in_export_dir(name):
    """A name in the export directory as strace shows it, with or without the directory."""
    return '"(%s/)?%s"' % (re.escape(sb.EXPORT_DIR), re.escape(name))


def synced_after_rename(lines, temporary, name):
    """True when the temporary was renamed to name and a descriptor open on the export
    directory was then synced."""
    directories, renamed = set(), False
    rename = re.compile(r"rename(at2?)?\(.*%s, .*%s(, [\w|]+)?\) += 0$" % (in_export_dir(temporary), in_export_dir(name)))
    for line in lines:
        opened = re.match(r'openat\(AT_FDCWD, "%s", [^)]*O_DIRECTORY[^)]*\) = (\d+)$' % sb.EXPORT_DIR, line)
        closed = re.match(r"close\((\d+)\)", line)
        synced = re.match(r"fsync\((\d+)\) += 0$", line)
        if opened:
            directories.add(int(opened.group(1)))
        elif closed:
            directories.discard(int(closed.group(1)))
        elif rename.match(line):
            renamed = True
        elif synced and renamed and int(synced.group(1)) in directories:
            return True
    return False


@scenario("faults", timeout=60, faketime=True, tags=("unprivileged",))
def fault_export_durable(run):
    """Leftover temporaries of earlier runs are swept at start, and nothing else; an
    export is written under a temporary name of this process, and the directory is
    synced after the rename, so a power cut cannot take back a file reported written."""
    leftovers = [".12345678.xml.tmp", ".12345678.77.xml.tmp", ".23456789.4000.xml.tmp"]
    kept = ["12345678_2024-03-04.xml", ".12345678.xml", "notes.tmp", "victim"]
    for name in leftovers + kept:
        sb.Sandbox.write_file(os.path.join(sb.EXPORT_DIR, name), name)
    os.symlink("victim", os.path.join(sb.EXPORT_DIR, ".34567890.xml.tmp"))
    kept.append(".34567890.xml.tmp")
    sim, daemon = run.start(faketime=MORNING)
    expect_equal(run.box.exports(), sorted(kept), "export directory after start")
    expect_equal(run.box.read_export("victim"), b"victim", "file behind a link")

    name = export_name(12345678, DATE)
    sent = []
    lines = traced_syscalls(run, daemon.pid, lambda: (sent.append(run.tx(sim, telegram(12345678))),
                                                 run.wait_export(name)), "an export")
    temporary = ".12345678.%d.xml.tmp" % daemon.pid
    expect(any(re.search(in_export_dir(temporary), line) for line in lines),
           "no temporary named %s; traced:\n  %s" % (temporary, "\n  ".join(lines)))
    expect(synced_after_rename(lines, temporary, name),
           "no sync of the export directory after the rename; traced:\n  %s" % "\n  ".join(lines))
    expect_clean_exports(run.box, {name: sent[0]}, "exports", ignore=kept)
    run.expect_log(daemon, ["started"], settle=0)
    run.expect_alive(daemon)


# ================================================================ processes

@scenario("faults", timeout=60, faketime=True, tags=("unprivileged",))
def fault_second_daemon(run):
    """A second daemon started while the first runs gives up after one to two seconds
    without touching the line; the first keeps its lock and keeps receiving. With the
    lock file gone, the lock on the open line still keeps a third one off it."""
    sim, first = run.start(faketime=MORNING)
    line_before = sim.trace_bytes()
    second = run.daemon()
    status = run.wait_exit(second, 5)
    elapsed = time.monotonic() - second.started
    expect_equal(status, 1, "exit status of the second daemon")
    expect(1.0 <= elapsed <= 2.6, "second daemon gave up after %.2f s, expected 1 to 2 s" % elapsed)
    run.expect_log(second, ["started", "device ttyS1 is locked"], settle=0)
    expect_equal(run.box.daemon_output(second), b"", "second daemon's output")
    with open(sb.LOCK_FILE, "rb") as f:
        expect_equal(f.read(), sb.lock_content(first.pid), "lock file")
    expect_equal(sim.trace_bytes(), line_before, "bytes on the line after the second start")

    os.unlink(sb.LOCK_FILE)
    third = run.daemon()
    expect_equal(run.wait_exit(third, 5), 1, "exit status of a third daemon without the lock file")
    run.expect_log(third, ["started", "device ttyS1 is locked"], settle=0)
    expect_equal(sim.trace_bytes(), line_before, "bytes on the line after the third start")

    burst = run.tx(sim, telegram(12345678))
    run.sync(sim)
    expect_equal(table_ids(2), [12345678, 99999999], "table of the first daemon")
    expect_clean_exports(run.box, {export_name(12345678, DATE): burst}, "exports")
    run.expect_log(first, ["started"], settle=0)
    run.expect_alive(first)


def process_state(pid):
    return sb.proc_stat(pid)[3]


@scenario("faults", timeout=60, faketime=True)
def fault_stopped_daemon(run):
    """SIGSTOP for longer than the reader's 5 s wait, while four telegrams arrive; after
    SIGCONT the line's backlog is one burst of four telegrams, and every one of them is
    seen: in the table with its own trailer, exported with its own raw copy. Nothing
    breaks and the next telegrams are handled as usual."""
    ids = [11111111, 22222222, 33333333, 44444444, 55555555]
    sim, daemon = run.start(settings=meters_settings(ids), faketime=MORNING)
    before = run.tx(sim, reading(ids[0], 1))
    run.sync(sim)

    os.kill(daemon.pid, signal.SIGSTOP)
    run.wait(lambda: process_state(daemon.pid) == "T", 2, "the daemon to stop")
    stopped = time.monotonic()
    backlog = []
    for meter_id in ids[1:]:
        count = len(sim.sent("telegram"))
        sim.tx(reading(meter_id, 2))
        backlog.append(sim.wait_sent(count + 1, "telegram")[-1][-1])
        time.sleep(0.3)
    run.wait(lambda: sim.unread() == sum(len(b) for b in backlog), 5, "the backlog on the line")
    time.sleep(max(0.0, stopped + 6.0 - time.monotonic()))
    os.kill(daemon.pid, signal.SIGCONT)
    run.wait(lambda: sim.unread() == 0, 5, "the daemon to read its backlog")
    run.last_send = time.monotonic()
    run.sync(sim)
    table = sb.read_table()
    expect_equal([e[0] for e in table[:7]], [ids[0], 99999999] + ids[1:] + [0], "table after the stop")
    expect_equal([e[3] for e in table[2:6]], [b[-1] for b in backlog], "trailers of the backlog")

    after = run.tx(sim, reading(ids[0], 3))
    run.sync(sim)
    expect_equal(sb.read_table()[0][3], after[-1], "trailer after the next telegram")
    expected = {export_name(ids[0], DATE): before}
    expected.update({export_name(m, DATE): b for m, b in zip(ids[1:], backlog)})
    expect_clean_exports(run.box, expected, "exports")
    run.expect_log(daemon, ["started"], settle=0)
    run.expect_alive(daemon)


# ================================================================ settings file

def settings_directory(box):
    box.settings(None)
    os.mkdir(sb.SETTINGS_PATH)


def startup_seconds(run, settings, meter_id=12345678):
    """Starts with the given settings (text, bytes or a function preparing the path) and
    returns (sim, daemon, seconds from the end of the handshake until the loop handled
    a telegram that was waiting for it). Loading the settings is what takes that time."""
    run.box.version("2.0")
    if callable(settings):
        settings(run.box)
    else:
        run.box.settings(settings)
    sim = run.sim()
    daemon = run.daemon(faketime=MORNING)
    sim.wait_handshake(daemon, 15, interval=0.005)
    handshake_done = time.monotonic()
    burst = run.tx(sim, telegram(meter_id))
    run.wait(lambda: sb.read_table()[0][0] == meter_id, 60, "the first telegram in the table")
    return sim, daemon, time.monotonic() - handshake_done, burst


def restart(run, daemon, sim):
    run.restart(daemon, sim)
    for name in run.box.exports() or []:
        os.unlink(os.path.join(sb.EXPORT_DIR, name))
    if os.path.isdir(sb.SETTINGS_PATH):
        os.rmdir(sb.SETTINGS_PATH)


@scenario("faults", timeout=90, faketime=True)
def fault_settings_unusable(run):
    """A settings path that is a directory, an empty file, or binary junk with NUL bytes:
    the daemon starts and receives; keys after the junk still count."""
    rng = random.Random(1180)
    junk = bytes(rng.randrange(256) for _ in range(65536)) + b"\0\0\0"
    unreadable = ["open(%s) error: Is a directory" % sb.SETTINGS_PATH]
    cases = [("a directory", settings_directory, False, unreadable),
             ("empty", "", False, []),
             ("binary junk", junk, False, []),
             ("binary junk, then a key", junk + b"\nMOD_WMBUS_ADDR1=12345678\n", True, [])]
    sim = daemon = None
    for what, settings, configured, problems in cases:
        if daemon is not None:
            restart(run, daemon, sim)
        sim, daemon, _, burst = startup_seconds(run, settings)
        run.sync(sim)
        expected = {export_name(12345678, DATE): burst} if configured else {}
        expect_clean_exports(run.box, expected, "exports with a settings file that is " + what)
        run.expect_log(daemon, ["started"] + problems, settle=0)
        run.expect_alive(daemon)


@scenario("faults", timeout=120, faketime=True)
def fault_settings_huge_line(run):
    """A 10 MB settings file of one line, then the meter's key: every one of the 134
    lookups rescans it, and start-up must still finish in reasonable time."""
    sim, daemon, baseline, _ = startup_seconds(run, "MOD_WMBUS_ADDR1=12345678\n")
    restart(run, daemon, sim)
    sim, daemon, seconds, burst = startup_seconds(run, b"x" * (10 << 20) + b"\nMOD_WMBUS_ADDR1=12345678\n")
    print("NOTE: settings load with a 10 MB line: %.2f s (%.2f s with a one-line file)" % (seconds, baseline))
    expect(seconds < 20, "settings load took %.1f s" % seconds)
    run.sync(sim)
    expect_clean_exports(run.box, {export_name(12345678, DATE): burst}, "exports after the 10 MB line")
    run.expect_log(daemon, ["started"], settle=0)
    run.expect_alive(daemon)
