#!/usr/bin/env python3
"""System tests of the built Norvalithd, run unchanged at its fixed paths.

Every scenario runs in its own sandbox (scripts/sandbox.py): fresh namespaces in
which rc1180-sim plays the radio module on /dev/ttyS1, /dev/log is captured,
and the shared table and export files are read back as other programs on the
gateway would read them.

    run_system_tests.py --daemon PATH --sim PATH [--meters PATH] [--emulator CMD]
                        [--unprivileged] [--group G] [--tag T] [--jobs N] [NAME...]
    run_system_tests.py --list [--group G] [--tag T]

With --unprivileged the daemon runs as a user of its own with what its service
unit grants (scripts/sandbox.py); the tag "unprivileged" marks a representative
set of scenarios for that. Switching users needs root: in the user namespace of
a normal user, which maps root alone, those runs say SKIP.

With --emulator (e.g. "qemu-arm -L /usr/arm-linux-gnueabihf") the daemon, built for
another architecture, runs behind that command. libfaketime is then preloaded into
the emulator, which fakes the daemon's dates under qemu-user; behind any other
emulator the scenarios on faked dates say SKIP.

Exit status: 0 all passed, 1 a scenario failed, 77 nothing failed but some were
skipped (no namespaces, no libfaketime, no time zone data, an emulator that
libfaketime cannot reach).
"""

import argparse
import base64
import json
import os
import select
import shlex
import shutil
import subprocess
import sys
import termios
import threading
import time
import tty
import xml.dom.minidom
import xml.etree.ElementTree as ElementTree
from concurrent.futures import ThreadPoolExecutor, as_completed

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # no __pycache__ left in the source tree
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts"))
import sandbox as sb  # noqa: E402

SKIP = 77
ZONE = "Europe/Berlin"
SPACING = 0.3  # seconds between bursts: more than the reader's 200 ms allowance

SCENARIOS = {}


def scenario(group, timeout=90, faketime=False, tags=(), native=False, **box):
    """Registers a scenario; box holds Sandbox arguments (host name, interfaces).
    native: it looks at the daemon's own process, which an emulator would hide."""
    def register(function):
        SCENARIOS[function.__name__] = dict(function=function, group=group, timeout=timeout,
                                            faketime=faketime, tags=tags, native=native, box=box)
        return function
    return register


class Failure(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failure(message)


def expect_equal(actual, expected, what):
    if actual == expected:
        return
    if isinstance(actual, list) and isinstance(expected, list) and len(actual) == len(expected):
        index = next(i for i, (a, e) in enumerate(zip(actual, expected)) if a != e)
        what, actual, expected = "%s, item %d" % (what, index), actual[index], expected[index]
    raise Failure("%s:\n  expected %r\n  actual   %r" % (what, expected, actual))


# ---------------------------------------------------------------- telegrams

def bcd_id(number):
    return bytes.fromhex("%08d" % number)[::-1]


def telegram(meter_id, manufacturer=0x0443, device_type=0x07, version=0x01, payload=b"\x7a\x00\x00\x00\x00"):
    """A wireless M-Bus telegram as a meter sends it: L counts the bytes after itself."""
    body = bytes([0x44]) + manufacturer.to_bytes(2, "little") + bcd_id(meter_id) + bytes([version, device_type])
    body += payload
    return bytes([len(body)]) + body


def expected_raw(burst):
    """What the export must carry for this burst: its last byte zeroed, then the
    first L bytes, never more than the burst."""
    data = bytearray(burst)
    data[-1] = 0
    return bytes(data[:min(data[0], len(data))])


def configured_memory(changes=None):
    """A module memory that matches the daemon's table, but for the changes {address: value}."""
    memory = bytearray(256)
    for address, value in sb.CONFIG_PAIRS:
        memory[address] = value
    for address, value in (changes or {}).items():
        memory[address] = value
    return bytes(memory)


def pairs_bytes(pairs):
    return b"".join(bytes(p) for p in pairs)


# ---------------------------------------------------------------- one scenario's run

class Run:
    def __init__(self, box, options):
        self.box = box
        self.options = options
        self.last_send = 0.0
        self.sync_count = 0

    # -- start-up

    def sim(self, *args, memory="configured"):
        """Starts rc1180-sim; memory is 'configured', None (factory state), bytes, or a path."""
        argv = list(args)
        if memory == "configured":
            memory = configured_memory()
        if isinstance(memory, bytes):
            path = self.box.path("memory")
            self.box.write_file(path, memory)
            memory = path
        if memory is not None:
            argv += ["--memory", memory]
        return self.box.start_sim(*argv)

    def daemon(self, **kwargs):
        return self.box.start_daemon(**kwargs)

    def ready(self, sim, daemon, timeout=15.0):
        """Waits until the daemon left configuration mode ("X" on the line)."""
        deadline = time.monotonic() + timeout
        while not sim.trace_bytes().endswith(b"X"):
            expect(sb.alive(daemon), "daemon exited with status %s during start-up; log: %s"
                   % (daemon.returncode, self.box.log.snapshot()))
            expect(time.monotonic() < deadline, "no handshake within %.0f s; line: %s"
                   % (timeout, sim.trace_bytes().hex(" ")))
            time.sleep(0.05)
        time.sleep(0.3)  # table, settings and identity follow at once
        expect(sb.alive(daemon), "daemon exited after the handshake: %s" % self.box.log.snapshot())

    def start(self, settings="MOD_WMBUS_ADDR1=12345678\n", version="2.0", faketime=None, sim_args=(),
              memory="configured"):
        self.box.settings(settings)
        self.box.version(version)
        sim = self.sim(*sim_args, memory=memory)
        daemon = self.daemon(faketime=faketime)
        self.ready(sim, daemon)
        return sim, daemon

    # -- traffic

    def _space(self, sim):
        # Bursts that meet in the reader's 200 ms allowance become one frame: wait until
        # the daemon has read the last one, and keep them apart in time as well.
        self.wait(lambda: sim.unread() == 0, 5, "the daemon to read the line")
        wait = self.last_send + SPACING - time.monotonic()
        if wait > 0:
            time.sleep(wait)
        self.last_send = time.monotonic()

    def tx(self, sim, data):
        """Sends a telegram through the module (RSSI framing); returns the burst as sent."""
        count = len(sim.sent("telegram"))
        self._space(sim)
        sim.tx(data)
        return sim.wait_sent(count + 1, "telegram")[-1][-1]

    def raw(self, sim, data):
        count = len(sim.sent("raw"))
        self._space(sim)
        sim.raw(data)
        return sim.wait_sent(count + 1, "raw")[-1][-1]

    def sync(self, sim, timeout=5.0):
        """Returns once the daemon has handled everything sent so far: a burst of a
        marker meter with a new trailer byte must show in the table."""
        self.sync_count += 1
        marker = bytes([0x0a, 0x44, 0x2d, 0x2c]) + bcd_id(99999999) + bytes([1, 0x1b, self.sync_count])
        self.raw(sim, marker)
        self.wait(lambda: any(e[0] == 99999999 and e[3] == self.sync_count for e in sb.read_table()),
                  timeout, "marker burst %d in the table" % self.sync_count)

    @staticmethod
    def wait(predicate, timeout, what):
        deadline = time.monotonic() + timeout
        while True:
            result = predicate()
            if result:
                return result
            expect(time.monotonic() < deadline, "timed out waiting for " + what)
            time.sleep(0.05)

    def wait_export(self, name, timeout=5.0):
        path = os.path.join(sb.EXPORT_DIR, name)
        self.wait(lambda: os.path.exists(path), timeout, "export file " + name)
        return sb.Sandbox.read_export(name)

    def wait_exit(self, daemon, timeout):
        try:
            return daemon.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure("daemon still running after %.1f s" % timeout)

    # -- observations

    def messages(self, daemon):
        return [m.text for m in self.box.log.snapshot(daemon.pid)]

    def expect_log(self, daemon, expected, settle=0.3):
        time.sleep(settle)
        expect_equal(self.messages(daemon), expected, "log messages of the daemon")

    def expect_owned(self, path, mode):
        """The file is the daemon's user's (root's when it runs as root), with this mode."""
        info = os.lstat(path)
        user = self.box.user
        owner = (user.uid, user.gid) if user is not None else (0, 0)
        expect_equal((info.st_uid, info.st_gid, oct(info.st_mode & 0o7777)), owner + (oct(mode),),
                     "owner, group and mode of " + path)

    def expect_alive(self, daemon):
        expect(sb.alive(daemon), "daemon ended (status %s); log: %s" % (daemon.returncode, self.box.log.snapshot()))
        expect_equal(self.box.daemon_output(daemon), b"", "daemon output on stdout/stderr")


def export_name(meter_id, date):
    return "%08d_%s.xml" % (meter_id, date)


def parse_export(document):
    """Parses with a real XML parser; returns the Push element and the raw bytes."""
    xml.dom.minidom.parseString(document)
    root = ElementTree.fromstring(document)
    ns = "{urn:zol-meter:temp-1-0}"
    expect_equal(root.tag, ns + "Envelope", "root element")
    push = root.find(ns + "Push")
    meter = push.find(ns + "Meter")
    raw = meter.find(ns + "Raw")
    expect_equal(raw.get("encoding"), "base64", "Raw encoding")
    return push, base64.b64decode(raw.text or "", validate=True)


# ================================================================ start-up and handshake

@scenario("startup", tags=("unprivileged",))
def startup_configured_module(run):
    """Start-up log, session, lock, line settings and table on a module that is already configured."""
    sim, daemon = run.start()
    expect_equal(sim.trace_bytes(), b"\x00" + b"0" + b"X", "bytes on the line")
    run.expect_log(daemon, ["started"])
    for message in run.box.log.snapshot(daemon.pid):
        expect_equal(message.tag, "Norvalith[%d]" % daemon.pid, "log tag")
        expect_equal((message.facility, message.priority), (sb.LOG_DAEMON, sb.LOG_NOTICE), "facility and level")
    expect_equal(sb.session_id(daemon.pid), daemon.pid, "session id of the daemon")
    with open(sb.LOCK_FILE, "rb") as f:
        expect_equal(f.read(), sb.lock_content(daemon.pid), "lock file")
    run.expect_owned(sb.LOCK_FILE, 0o644)

    fd = os.open(sb.DEVICE, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        iflag, oflag, cflag, lflag, ispeed, ospeed, _ = termios.tcgetattr(fd)
    finally:
        os.close(fd)
    expect_equal((ispeed, ospeed), (termios.B19200, termios.B19200), "line speed")
    expect_equal(iflag, termios.IGNBRK | termios.IGNPAR, "input flags")
    expect_equal((oflag, lflag), (0, 0), "output and local flags")
    expect_equal(cflag & (termios.CSIZE | termios.PARENB | termios.CSTOPB), termios.CS8, "8N1")

    key = sb.table_key()
    tables = [s for s in sb.segments() if s["key"] == key]
    expect_equal([(s["size"], s["perms"] & 0o777) for s in tables], [(2048, 0o600)], "table segment")
    expect_equal(sb.read_table(), [(0, 0, 0, 0)] * 128, "table after start")
    run.expect_alive(daemon)


@scenario("startup")
def startup_fresh_module(run):
    """A factory-fresh module gets exactly the differing parameters written, once."""
    factory = read_module_memory(run)
    memory_file = run.box.path("memory")
    sim, daemon = run.start(memory=memory_file)
    written = [(a, v) for a, v in sb.CONFIG_PAIRS if factory[a] != v]
    expect(written, "the factory memory already matches the daemon's table: nothing to test")
    expected = b"\x00" + b"0" + b"M" + pairs_bytes(written) + b"\xff\xff" + b"X"
    expect_equal(sim.trace_bytes().hex(" "), expected.hex(" "), "bytes on the line")
    run.expect_log(daemon, ["started", "rc1180 successfully initialized"])
    for message in run.box.log.snapshot(daemon.pid):
        expect_equal((message.facility, message.priority), (sb.LOG_DAEMON, sb.LOG_NOTICE), "facility and level")
    with open(memory_file, "rb") as f:
        saved = f.read()
    expect_equal([(a, saved[a]) for a, _ in sb.CONFIG_PAIRS], sb.CONFIG_PAIRS, "module memory after start")
    run.expect_alive(daemon)

    # A restart finds the module configured and writes nothing.
    daemon.kill()
    daemon.wait()
    sim.stop()
    sim = run.sim(memory=memory_file)
    daemon = run.daemon()
    run.ready(sim, daemon)
    expect_equal(sim.trace_bytes(), b"\x00" + b"0" + b"X", "bytes on the line after a restart")
    run.expect_log(daemon, ["started"])
    run.expect_alive(daemon)


def read_module_memory(run):
    """Reads the factory memory of a fresh simulator as the daemon would, on its own pty."""
    sim = run.box.start_sim("--memory", run.box.path("factory"), bind_device=False)
    fd = os.open(sim.slave, os.O_RDWR | os.O_NOCTTY)
    try:
        tty.setraw(fd)
        termios.tcflush(fd, termios.TCIFLUSH)

        def exchange(data, want):
            os.write(fd, data)
            got = b""
            deadline = time.monotonic() + 3
            while len(got) < want and time.monotonic() < deadline:
                if select.select([fd], [], [], 0.1)[0]:
                    got += os.read(fd, 1024)
            return got
        expect_equal(exchange(b"\x00", 1), b">", "factory module prompt")
        answer = exchange(b"0", 257)
        os.write(fd, b"X")
    finally:
        os.close(fd)
        sim.stop()
    expect(len(answer) >= 64, "factory memory answer too short: %d bytes" % len(answer))
    return answer


@scenario("startup")
def startup_single_parameter(run):
    """A module differing only at address 16 gets just that pair; a short memory answer
    gets every pair it does not reach."""
    sim, daemon = run.start(memory=configured_memory({16: 0}))
    expect_equal(sim.trace_bytes().hex(" "), "00 30 4d 10 7c ff ff 58", "bytes on the line")
    run.expect_log(daemon, ["started", "rc1180 successfully initialized"])
    run.expect_alive(daemon)
    daemon.kill()
    daemon.wait()
    sim.stop()

    sim, daemon = run.start(sim_args=("--fault", "short-memory"))
    beyond = [(a, v) for a, v in sb.CONFIG_PAIRS if a >= 40]
    expected = b"\x000M" + pairs_bytes(beyond) + b"\xff\xffX"
    expect_equal(sim.trace_bytes().hex(" "), expected.hex(" "), "bytes on the line, 40-byte memory answer")
    run.expect_log(daemon, ["started", "rc1180 successfully initialized"])
    run.expect_alive(daemon)


@scenario("startup", timeout=60)
def startup_module_silent(run):
    """No answer: exit 1 after the drain second and the 5 s answer time-out."""
    run.box.settings("")
    sim = run.sim("--fault", "silent")
    daemon = run.daemon()
    status = run.wait_exit(daemon, 12)
    elapsed = time.monotonic() - daemon.started
    expect_equal(status, 1, "exit status")
    expect(5.9 <= elapsed <= 8.0, "exit after %.2f s, expected 1 s drain + 5 s time-out" % elapsed)
    expect_equal(sim.trace_bytes(), b"\x00", "bytes on the line")
    run.expect_log(daemon, ["started", "rc1180 initialize error"], settle=0)
    err = run.box.log.snapshot(daemon.pid)[-1]
    expect_equal((err.facility, err.priority), (sb.LOG_DAEMON, sb.LOG_ERR), "facility and level")
    expect_equal(run.box.daemon_output(daemon), b"", "daemon output")


@scenario("startup", timeout=60)
def startup_module_misbehaves(run):
    """A wrong prompt ends start-up at once; a missing prompt after writing after 5 s;
    neither leaves configuration mode."""
    sim = run.sim("--fault", "wrong-prompt")
    daemon = run.daemon()
    expect_equal(run.wait_exit(daemon, 6), 1, "exit status, wrong prompt")
    expect(time.monotonic() - daemon.started < 3.5, "wrong prompt should fail without the 5 s wait")
    expect_equal(sim.trace_bytes(), b"\x00", "bytes on the line, wrong prompt")
    run.expect_log(daemon, ["started", "rc1180 initialize error"], settle=0)
    sim.stop()

    sim = run.sim("--fault", "no-write-prompt", memory=configured_memory({16: 0}))
    daemon = run.daemon()
    expect_equal(run.wait_exit(daemon, 12), 1, "exit status, no prompt after writing")
    elapsed = time.monotonic() - daemon.started
    expect(5.9 <= elapsed <= 8.5, "exit after %.2f s" % elapsed)
    expect_equal(sim.trace_bytes().hex(" "), "00 30 4d 10 7c ff ff", "bytes on the line, no write prompt")
    run.expect_log(daemon, ["started", "rc1180 initialize error"], settle=0)


@scenario("startup", timeout=90)
def startup_chattering_module(run):
    """Chatter is drained before the handshake, but not for ever: after about 10 s
    the handshake goes on even though the module still talks."""
    sim = run.sim("--fault", "chatter", "--chatter-seconds", "2")
    daemon = run.daemon()
    run.ready(sim, daemon, timeout=12)
    elapsed = time.monotonic() - daemon.started
    expect(elapsed >= 2.9, "handshake after %.2f s, before the chatter fell quiet for a second" % elapsed)
    expect_equal(sim.trace_bytes(), b"\x000X", "bytes on the line after chatter")
    run.expect_alive(daemon)
    daemon.kill()
    daemon.wait()
    sim.stop()

    sim = run.sim("--fault", "chatter", "--chatter-seconds", "16")
    daemon = run.daemon()
    first = run.wait(lambda: sim.trace_bytes().startswith(b"\x00") and time.monotonic(), 14,
                     "the handshake's first byte while the module chatters")
    elapsed = first - daemon.started
    expect(8.9 <= elapsed <= 11.8, "handshake began %.2f s after start, expected the 10 s drain bound" % elapsed)


@scenario("startup", timeout=60, tags=("unprivileged",))
def startup_lock_held(run):
    """A lock held by a live process: exit 1 after one to two seconds, lock untouched,
    line never touched."""
    holder = subprocess.Popen(["sleep", "60"])
    content = sb.lock_content(holder.pid)
    sb.Sandbox.write_file(sb.LOCK_FILE, content)
    sim = run.sim()
    daemon = run.daemon()
    status = run.wait_exit(daemon, 5)
    elapsed = time.monotonic() - daemon.started
    expect_equal(status, 1, "exit status")
    expect(1.0 <= elapsed <= 2.6, "gave up after %.2f s, expected between 1 and 2 s of retries" % elapsed)
    run.expect_log(daemon, ["started", "device ttyS1 is locked"], settle=0)
    err = run.box.log.snapshot(daemon.pid)[-1]
    expect_equal((err.facility, err.priority), (sb.LOG_DAEMON, sb.LOG_ERR), "facility and level")
    with open(sb.LOCK_FILE, "rb") as f:
        expect_equal(f.read(), content, "lock file after the failed start")
    expect_equal(sim.trace_bytes(), b"", "bytes on the line")
    holder.kill()
    holder.wait()


@scenario("startup", timeout=60, tags=("unprivileged",))
def startup_stale_locks(run):
    """Locks of a dead process, without a number, and holding the daemon's own id are
    replaced by the daemon's own 11-byte lock."""
    gone = subprocess.Popen(["true"])
    gone.wait()
    own_pid = 4000
    cases = [("dead process", sb.lock_content(gone.pid)), ("garbage", b"not a pid\n"),
             ("own pid", sb.lock_content(own_pid))]
    daemon = sim = None
    for what, content in cases:
        if daemon is not None:
            daemon.kill()
            daemon.wait()
            sim.stop()
        # Left by an earlier daemon: its user's (postinst removes root's of old versions).
        run.box.plant(sb.LOCK_FILE, content)
        sim = run.sim()
        daemon = run.daemon(pid=own_pid if what == "own pid" else None)
        if what == "own pid":
            expect_equal(daemon.pid, own_pid, "pid handed out by the namespace")
        run.ready(sim, daemon)
        with open(sb.LOCK_FILE, "rb") as f:
            lock = f.read()
        expect_equal(lock, b"%10d\n" % daemon.pid, "lock file replacing one of a " + what)
        expect_equal(len(lock), 11, "lock file size")
        run.expect_log(daemon, ["started"], settle=0)
        run.expect_alive(daemon)


@scenario("startup", timeout=60)
def startup_table_unavailable(run):
    """No key file, or a smaller segment under the key: exit 1 after the handshake."""
    binary = run.box.binaries["Norvalithd"]
    os.unlink(sb.DAEMON_PATH)
    sim = run.sim()
    daemon = run.daemon(executable=binary)
    expect_equal(run.wait_exit(daemon, 8), 1, "exit status without key file")
    expect_equal(sim.trace_bytes(), b"\x000X", "handshake comes before the table")
    run.expect_log(daemon, ["started", "meters initialize error"], settle=0)
    err = run.box.log.snapshot(daemon.pid)[-1]
    expect_equal((err.facility, err.priority), (sb.LOG_DAEMON, sb.LOG_ERR), "facility and level")
    sim.stop()

    sb.Sandbox.write_file(sb.DAEMON_PATH, open(binary, "rb").read())
    os.chmod(sb.DAEMON_PATH, 0o755)
    sb.create_segment(1024)
    sim = run.sim()
    daemon = run.daemon()
    expect_equal(run.wait_exit(daemon, 8), 1, "exit status with a 1024-byte segment")
    run.expect_log(daemon, ["started", "meters initialize error"], settle=0)


# ================================================================ the shared table

@scenario("table", timeout=150, tags=("unprivileged",))
def table_fill_refresh_overflow(run):
    """Entries in order of first hearing, refreshed trailers, the 129th meter left out;
    a segment left by an earlier run is reused and emptied."""
    old = sb.create_segment(2048, b"\xab" * 2048, user=run.box.user)
    sim, daemon = run.start(settings="")
    expect_equal(sb.read_table(), [(0, 0, 0, 0)] * 128, "table after start")
    expect_equal([s["shmid"] for s in sb.segments()], [old], "segment reused")

    ids = [10000000 + (i * 7919) % 89999999 for i in range(129)]
    expect_equal(len(set(ids)), 129, "distinct test ids")
    expected = []
    for index, meter_id in enumerate(ids):
        manufacturer, device_type, trailer = 0x0400 + index, index % 0x38, (index * 3) % 256
        burst = bytes([10, 0x44]) + manufacturer.to_bytes(2, "little") + bcd_id(meter_id) + bytes(
            [1, device_type, trailer])
        sim.raw(burst)
        expected.append((meter_id, device_type, manufacturer, trailer))
        if index < 128:
            # Handled before the next one goes out, so no two bursts ever meet.
            run.wait(lambda: sb.read_table()[index][0] == meter_id, 5, "entry %d" % index)
    # The 129th found the table full. A known meter again: its trailer follows, type and
    # manufacturer stay those of its first frame.
    run.last_send = time.monotonic()
    run.raw(sim, bytes([10, 0x44, 0x77, 0x77]) + bcd_id(ids[5]) + bytes([1, 0x02, 0xee]))
    run.wait(lambda: sb.read_table()[5][3] == 0xee, 5, "refreshed trailer")
    refreshed = list(expected[:128])
    refreshed[5] = expected[5][:3] + (0xee,)
    expect_equal(sb.read_table(), refreshed, "table after 129 meters and a refresh")

    if run.options.meters and os.path.exists(run.options.meters):
        listing = subprocess.run([run.box.binaries["norvalith-meters"], "--json"], capture_output=True, text=True)
        expect_equal(listing.returncode, 0, "norvalith-meters status (%s)" % listing.stderr.strip())
        rows = json.loads(listing.stdout)
        expect_equal([(r["index"], r["id"], r["device_type"], r["manufacturer_code"], r["rssi"]) for r in rows],
                     [(i,) + e for i, e in enumerate(refreshed)], "norvalith-meters --json")
    run.expect_alive(daemon)


def stream_of(run, sim, ids, gap=0.0):
    """Telegrams of these meters through the module, each with its own signal strength,
    `gap` seconds apart (0: back to back, as fast as the line carries them)."""
    count = len(sim.sent("telegram"))
    run.wait(lambda: sim.unread() == 0, 5, "a quiet line")
    for index, meter_id in enumerate(ids):
        sim.tx(telegram(meter_id, payload=bytes([0x7a, index, 0, 0, 0]) + bytes(index % 7)),
               dbm=-40 - index)
        if gap:
            time.sleep(gap)
    return [r[-1] for r in sim.wait_sent(count + len(ids), "telegram")[count:]]


@scenario("table", timeout=90)
def table_telegrams_that_share_a_burst(run):
    """Two telegrams 50 ms apart share the reader's window: both are in the table with
    their own trailers and both are exported with their own raw copies."""
    sim, daemon = run.start(settings="MOD_WMBUS_ADDR1=11111111\nMOD_WMBUS_ADDR2=22222222\n")
    sent = stream_of(run, sim, [11111111, 22222222], gap=0.05)
    run.wait(lambda: sb.read_table()[1][0] == 22222222, 5, "the second telegram in the table")
    expect_equal([(e[0], e[3]) for e in sb.read_table()[:3]], [(11111111, sent[0][-1]), (22222222, sent[1][-1]), (0, 0)],
                 "ids and trailers")
    for meter_id, burst in zip((11111111, 22222222), sent):
        name = next(n for n in run.box.exports() if n.startswith("%08d_" % meter_id))
        _, raw = parse_export(run.wait_export(name))
        expect_equal(raw, expected_raw(burst), "raw copy of %d" % meter_id)
    run.expect_alive(daemon)


def stream_at_line_rate(run, chunk):
    """24 telegrams back to back at 19200 bit/s, handed over in `chunk`-byte pieces as a
    UART does: the reader's window cuts them, and every one is in the table, in order,
    with its own trailer, and no meter that was never sent."""
    sim, daemon = run.start(settings="", sim_args=("--chunk", chunk))
    ids = [30000000 + 1111 * i for i in range(24)]
    sent = stream_of(run, sim, ids)
    run.wait(lambda: sim.unread() == 0 and sb.read_table()[23][0] != 0, 10, "the stream read")
    time.sleep(0.3)
    expect_equal([(e[0], e[3]) for e in sb.read_table()[:25]], [(i, b[-1]) for i, b in zip(ids, sent)] + [(0, 0)],
                 "ids and trailers after the stream")
    run.expect_alive(daemon)


@scenario("table", timeout=90)
def table_stream_in_16_byte_chunks(run):
    stream_at_line_rate(run, 16)


@scenario("table", timeout=90)
def table_stream_in_4_byte_chunks(run):
    stream_at_line_rate(run, 4)


# ================================================================ daily export

WORKED_SETTINGS = "MOD_WMBUS_ADDR1=12345678\n"
WORKED_TELEGRAM = bytes.fromhex("14 44 43 04 78 56 34 12 01 07 7A 2A 00 00 00 0C 13 45 23 01 00")


@scenario("export", faketime=True, tags=("unprivileged",))
def export_worked_example(run):
    """The project's own golden example, byte for byte."""
    sim, daemon = run.start(settings=WORKED_SETTINGS, version="2.0", faketime="2024-03-05 06:07:08")
    burst = run.tx(sim, WORKED_TELEGRAM)
    expect_equal(len(burst), len(WORKED_TELEGRAM) + 1, "burst length with the RSSI byte")
    expect_equal(burst[0], WORKED_TELEGRAM[0] + 1, "length byte counting the RSSI byte")
    name = "12345678_2024-03-05.xml"
    document = run.wait_export(name)
    golden = (b'<?xml version="1.0" encoding="ISO-8859-1"?>\n'
              b'<Envelope xmlns="urn:zol-meter:temp-1-0">\n'
              b'  <Push firmware="Norvalith-2.0" name="gw1" deviceID="001122AABBCC">\n'
              b'    <WAN public-ip="10.1.2.3"/>\n'
              b'    <Meter id="12345678" medium="V" mfct="ABC" address="12345678">\n'
              b'      <StoreTime source="Network Time" iso8601="2024-03-05T06:07:08Z" utime="1709615228"/>\n'
              b'      <Raw encoding="base64">FURDBHhWNBIBB3oqAAAADBNFIwEA</Raw>\n'
              b'    </Meter>\n'
              b'  </Push>\n'
              b'</Envelope>\n')
    expect_equal(document.decode(), golden.decode(), "export file")
    push, raw = parse_export(document)
    expect_equal(raw, expected_raw(burst), "Base64 copy against the burst the module sent")
    expect_equal((push.get("firmware"), push.get("name"), push.get("deviceID")),
                 ("Norvalith-2.0", "gw1", "001122AABBCC"), "parsed identity")
    expect_equal(run.box.exports(), [name], "export directory")
    run.expect_owned(os.path.join(sb.EXPORT_DIR, name), 0o644)
    expect_equal(sb.read_table()[0], (12345678, 0x07, 0x0443, burst[-1]), "table entry (trailer = RSSI byte)")
    run.expect_alive(daemon)


@scenario("export", faketime=True)
def export_once_per_day(run):
    """Five telegrams of a configured meter: one file, holding the first; a meter that
    is not configured reaches the table only."""
    sim, daemon = run.start(settings="MOD_WMBUS_ADDR1=12345678\nMOD_WMBUS_ADDR2=12345678\n",
                            faketime="@2024-03-05 10:00:00")
    bursts = [run.tx(sim, telegram(12345678, payload=bytes([0x7a, n, 0, 0, 0]))) for n in range(5)]
    run.tx(sim, telegram(87654321))
    run.sync(sim)
    name = "12345678_2024-03-05.xml"
    expect_equal(run.box.exports(), [name], "export directory")
    _, raw = parse_export(run.box.read_export(name))
    expect_equal(raw, expected_raw(bursts[0]), "raw copy (first telegram of the day)")
    expect_equal([e[0] for e in sb.read_table()[:3]], [12345678, 87654321, 99999999], "table ids")
    expect_equal(run.messages(daemon), ["started"], "log")
    run.expect_alive(daemon)


@scenario("export", timeout=60, faketime=True)
def export_midnight(run):
    """A telegram before and one after local midnight: two files with the two dates,
    and one report of the day that ended, naming the meter not heard; none at start."""
    sim, daemon = run.start(settings="MOD_WMBUS_ADDR1=12345678\nMOD_WMBUS_ADDR2=87654321\n",
                            faketime="@2024-03-05 23:59:50")
    first = run.tx(sim, telegram(12345678, payload=b"\x7a\x01\x00\x00\x00"))
    doc1 = run.wait_export("12345678_2024-03-05.xml")
    # The faked clock started with the daemon: wait until it is past midnight.
    wait = daemon.started + 12.0 - time.monotonic()
    expect(wait > 2, "start-up too slow for the midnight scenario")
    time.sleep(wait)
    second = run.tx(sim, telegram(12345678, payload=b"\x7a\x02\x00\x00\x00"))
    doc2 = run.wait_export("12345678_2024-03-06.xml")
    expect_equal(run.box.exports(), ["12345678_2024-03-05.xml", "12345678_2024-03-06.xml"], "export directory")
    for document, burst, date in ((doc1, first, "2024-03-05T23:59:5"), (doc2, second, "2024-03-06T00:00:")):
        push, raw = parse_export(document)
        expect_equal(raw, expected_raw(burst), "raw copy of the telegram filed " + date)
        iso = push.find("{urn:zol-meter:temp-1-0}Meter/{urn:zol-meter:temp-1-0}StoreTime").get("iso8601")
        expect(iso.startswith(date), "iso8601 %s, expected %s…" % (iso, date))
    log = [(m.priority, m.text) for m in run.box.log.snapshot(daemon.pid)]
    expect_equal(log, [(sb.LOG_NOTICE, "started"),
                       (sb.LOG_NOTICE, "day 2024-03-05: 1 telegrams, 1 of 2 meters exported"),
                       (sb.LOG_WARNING, "not exported on 2024-03-05: 87654321")], "log across midnight")
    run.expect_alive(daemon)


@scenario("export", faketime=True)
def export_new_year(run):
    """Started on 1 January (day 0 of the year): configured meters are exported."""
    sim, daemon = run.start(faketime="@2025-01-01 00:00:30")
    burst = run.tx(sim, telegram(12345678))
    push, raw = parse_export(run.wait_export("12345678_2025-01-01.xml"))
    expect_equal(raw, expected_raw(burst), "raw copy")
    run.expect_alive(daemon)


@scenario("export", faketime=True)
def export_settings_file(run):
    """Lower-case key, quoted leading zeros, blanks around '=', CRLF line ends,
    duplicates, the last slot and one past it."""
    settings = ("# gateway settings\r\n"
                "MOD_WMBUS_ENABLED=1\r\n"
                "mod_wmbus_addr7=11111111\r\n"
                "MOD_WMBUS_ADDR3=\"00012345\"\r\n"
                "MOD_WMBUS_ADDR4 = 22222222\r\n"
                "MOD_WMBUS_ADDR9=33333333\r\n"
                "MOD_WMBUS_ADDR9=44444444\r\n"
                "MOD_WMBUS_ADDR128=55555555\r\n"
                "MOD_WMBUS_ADDR129=66666666\r\n")
    sim, daemon = run.start(settings=settings, faketime="@2024-03-05 10:00:00")
    for meter_id in (11111111, 12345, 22222222, 33333333, 44444444, 55555555, 66666666):
        run.tx(sim, telegram(meter_id))
    run.sync(sim)
    expect_equal(run.box.exports(), [export_name(m, "2024-03-05") for m in (12345, 11111111, 33333333, 55555555)],
                 "export directory")
    push, _ = parse_export(run.box.read_export(export_name(12345, "2024-03-05")))
    meter = push.find("{urn:zol-meter:temp-1-0}Meter")
    expect_equal((meter.get("id"), meter.get("address")), ("00012345", "00012345"), "zero-padded id")
    run.expect_alive(daemon)


@scenario("export", faketime=True, eth0=False, ppp0=False, hostname="gw-bare")
def export_identity_fallbacks(run):
    """No eth0, no ppp0, no version file: the fallback texts."""
    sim, daemon = run.start(version=None, faketime="@2024-03-05 10:00:00")
    run.tx(sim, telegram(12345678))
    document = run.wait_export("12345678_2024-03-05.xml")
    line3 = document.split(b"\n")[2:4]
    expect_equal(line3, [b'  <Push firmware="Norvalith---" name="gw-bare" deviceID="000000000000">',
                         b'    <WAN public-ip="0.0.0.0"/>'], "identity lines")
    parse_export(document)
    run.expect_alive(daemon)


@scenario("export", faketime=True)
def export_version_texts(run):
    """The version file's first line as read: its line feed stays inside the attribute,
    a long line is cut at 19 characters, an empty file gives the fallback."""
    cases = [("1.4.2\n", b'firmware="Norvalith-1.4.2\n"'),
             ("2.0.0-rc.1+build.4567890\nsecond line\n", b'firmware="Norvalith-2.0.0-rc.1+build.45"'),
             ("", b'firmware="Norvalith---"')]
    daemon = sim = None
    for version, expected in cases:
        if daemon is not None:
            daemon.kill()
            daemon.wait()
            sim.stop()
        name = "12345678_2024-03-05.xml"
        # A restart the same day keeps the day's file: each case starts without it.
        if os.path.exists(os.path.join(sb.EXPORT_DIR, name)):
            os.unlink(os.path.join(sb.EXPORT_DIR, name))
        sim, daemon = run.start(version=version, faketime="@2024-03-05 10:00:00")
        run.tx(sim, telegram(12345678))
        run.wait(lambda: expected in (run.box.read_export(name) if os.path.exists(
            os.path.join(sb.EXPORT_DIR, name)) else b""), 5, "export with %r" % expected)
        parse_export(run.box.read_export(name))
        run.expect_alive(daemon)


@scenario("export", faketime=True, hostname='gw&1<"x>\'')
def export_escaping(run):
    """Host name and version with markup characters stay well-formed XML."""
    sim, daemon = run.start(version="3.1 <beta> & 'x'", faketime="@2024-03-05 10:00:00")
    run.tx(sim, telegram(12345678))
    document = run.wait_export("12345678_2024-03-05.xml")
    expect_equal(document.split(b"\n")[2],
                 b'  <Push firmware="Norvalith-3.1 &lt;beta&gt; &amp; &apos;x&apos;"'
                 b' name="gw&amp;1&lt;&quot;x&gt;&apos;" deviceID="001122AABBCC">', "escaped identity line")
    push, _ = parse_export(document)
    expect_equal((push.get("firmware"), push.get("name")), ("Norvalith-3.1 <beta> & 'x'", 'gw&1<"x>\''),
                 "parsed identity")
    run.expect_alive(daemon)


@scenario("export", faketime=True)
def export_burst_shapes(run):
    """Short bursts and length bytes below 9 are ignored; L=200 is exported whole; the
    raw copy never runs past this burst; id 0 never matches an empty slot."""
    settings = "".join("MOD_WMBUS_ADDR%d=%d\n" % (i + 1, m) for i, m in enumerate(
        (12345678, 20000000, 40000000, 50000000)))
    sim, daemon = run.start(settings=settings, faketime="@2024-03-05 10:00:00")
    date = "2024-03-05"

    short = telegram(12345678)[:9]
    run.raw(sim, short)
    run.sync(sim)
    expect_equal(sb.read_table()[0][0], 99999999, "first table entry after a 9-byte burst")
    expect_equal(run.box.exports(), [], "exports after a 9-byte burst")

    big = bytes([200]) + telegram(20000000)[1:10] + bytes(range(190)) + b"\x5a"
    expect_equal(len(big), 201, "big burst length")
    run.raw(sim, big)
    _, raw = parse_export(run.wait_export(export_name(20000000, date)))
    expect_equal(raw, big[:200], "raw copy of L=200")

    run.raw(sim, bytes([120]) + telegram(30000000)[1:10] + bytes([0xcc] * 110))
    capped = bytes([100]) + telegram(40000000)[1:10] + bytes(range(1, 11))
    run.raw(sim, capped)
    _, raw = parse_export(run.wait_export(export_name(40000000, date)))
    expect_equal(raw, capped[:-1] + b"\x00", "raw copy of L=100 in a 20-byte burst")

    # A length byte too small for a header is line noise: no entry, no export.
    noise = bytes([8]) + telegram(50000000)[1:10] + b"\x01\x02"
    run.raw(sim, noise)

    # Id 0 matches the first empty entry, whose trailer word alone is written, and no
    # slot: unused slots have address 0 too.
    run.raw(sim, bytes([11, 0x44, 0x43, 0x04]) + bcd_id(0) + bytes([1, 7, 0x42]))
    run.sync(sim)
    table = sb.read_table()
    expect_equal([e[0] for e in table[:4]], [99999999, 20000000, 30000000, 40000000], "table ids")
    expect_equal(table[4], (0, 0, 0, 0x42), "first empty entry after an id-0 burst")
    expect_equal(run.box.exports(), [export_name(m, date) for m in (20000000, 40000000)], "exports")
    run.expect_alive(daemon)


@scenario("export", faketime=True, tags=("unprivileged",))
def export_failures(run):
    """Missing directory, then a full file system: one message per meter and day,
    nothing half-written left behind, and the next telegram is exported once the
    directory works again."""
    os.rmdir(sb.EXPORT_DIR)
    sim, daemon = run.start(settings="MOD_WMBUS_ADDR1=12345678\nMOD_WMBUS_ADDR2=23456789\n",
                            faketime="@2024-03-05 10:00:00")
    for n in range(3):
        run.tx(sim, telegram(12345678, payload=bytes([0x7a, n, 0, 0, 0])))
    run.sync(sim)
    expect_equal(run.messages(daemon), ["started", "export xml file error"], "log with the directory missing")
    expect(not os.path.exists(sb.EXPORT_DIR), "the daemon created the export directory")

    os.mkdir(sb.EXPORT_DIR)
    run.box.mount_export_dir("size=8k")
    filler = os.path.join(sb.EXPORT_DIR, "filler")
    fd = os.open(filler, os.O_WRONLY | os.O_CREAT)
    try:
        while os.write(fd, bytes(1024)) > 0:
            pass
    except OSError:
        pass
    os.close(fd)
    run.tx(sim, telegram(23456789))
    run.tx(sim, telegram(12345678, payload=b"\x7a\x09\x00\x00\x00"))
    run.sync(sim)
    expect_equal(run.box.exports(), ["filler"], "export directory on a full file system")
    expect_equal(run.messages(daemon), ["started", "export xml file error", "export xml file error"],
                 "log after the full file system")

    os.unlink(filler)
    a = run.tx(sim, telegram(12345678, payload=b"\x7a\x0a\x00\x00\x00"))
    b = run.tx(sim, telegram(23456789, payload=b"\x7a\x0b\x00\x00\x00"))
    run.sync(sim)
    expect_equal(run.box.exports(), ["12345678_2024-03-05.xml", "23456789_2024-03-05.xml"], "export directory")
    for name, burst in (("12345678_2024-03-05.xml", a), ("23456789_2024-03-05.xml", b)):
        _, raw = parse_export(run.box.read_export(name))
        expect_equal(raw, expected_raw(burst), "raw copy in " + name)
    expect_equal(len(run.messages(daemon)), 3, "no further messages")
    run.expect_alive(daemon)


# ================================================================ the line

@scenario("line", timeout=60, tags=("unprivileged",))
def line_hangup(run):
    """A hung-up line: one message, no spinning, the daemon stays."""
    sim, daemon = run.start()
    sim.command("hangup")
    time.sleep(1.5)
    before = sb.cpu_seconds(daemon.pid)
    time.sleep(5)
    used = sb.cpu_seconds(daemon.pid) - before
    expect(used < 0.2, "daemon used %.2f s CPU in 5 s on a hung-up line" % used)
    messages = run.messages(daemon)
    reads = [m for m in messages if m.startswith("read: ")]
    expect_equal(len(reads), 1, "read failure messages (%s)" % messages)
    expect_equal(messages, ["started"] + reads, "log")
    run.expect_alive(daemon)


@scenario("line", timeout=60)
def line_quiet(run):
    """A quiet line costs next to no CPU; nothing is logged."""
    sim, daemon = run.start()
    time.sleep(0.5)
    before = sb.cpu_seconds(daemon.pid)
    time.sleep(12)
    used = sb.cpu_seconds(daemon.pid) - before
    expect(used < 0.05, "daemon used %.2f s CPU in 12 s on a quiet line" % used)
    expect_equal(run.messages(daemon), ["started"], "log")
    run.expect_alive(daemon)


@scenario("line", timeout=150)
def line_silence_alarm(run):
    """With MOD_WMBUS_SILENCE_ALARM=1, a minute without a telegram after start-up
    gives one warning (the loop's 5 s wait is its granularity), and the next
    telegram a notice with the whole minutes of silence."""
    sim, daemon = run.start(settings="MOD_WMBUS_ADDR1=12345678\nMOD_WMBUS_SILENCE_ALARM=1\n")
    started = sim.trace()[-1][0] / 1000.0  # "X": the end of the handshake
    warnings = run.wait(lambda: [m for m in run.box.log.snapshot(daemon.pid) if m.text.startswith("no telegram")],
                        80, "the silence warning")
    silence = warnings[0].received - started
    expect(60 <= silence <= 66, "warning after %.1f s of silence, expected 60 to 66" % silence)
    expect_equal((warnings[0].priority, warnings[0].text), (sb.LOG_WARNING, "no telegram for 1 min"), "warning")
    time.sleep(11)
    run.tx(sim, telegram(12345678))
    run.wait(lambda: len(run.messages(daemon)) >= 3, 5, "the notice")
    log = [(m.priority, m.text) for m in run.box.log.snapshot(daemon.pid)]
    expect_equal(log, [(sb.LOG_NOTICE, "started"), (sb.LOG_WARNING, "no telegram for 1 min"),
                       (sb.LOG_NOTICE, "telegrams again after 1 min")], "log")
    print("NOTE: silence warning after %.1f s" % silence)
    run.expect_alive(daemon)


# The fault scenarios live beside this file and use the helpers above.
sys.modules.setdefault("run_system_tests", sys.modules[__name__])
import fault_scenarios  # noqa: E402,F401
import syscall_scenarios  # noqa: E402,F401
import framing_scenarios  # noqa: E402,F401


# ================================================================ runner

def run_inside(name, options):
    """Runs one scenario; this process is process 1 of the sandbox's namespaces."""
    entry = SCENARIOS[name]
    os.umask(0o022)
    if entry["faketime"]:
        if sb.faketime_library() is None:
            print("SKIP: libfaketime not installed (Debian package faketime)")
            return SKIP
        if not sb.zone_available(ZONE):
            print("SKIP: no time zone data for %s (Debian package tzdata)" % ZONE)
            return SKIP
    user = sb.DaemonUser() if options.unprivileged else None
    box = sb.Sandbox(emulator=shlex.split(options.emulator or ""), user=user, **entry["box"])
    try:
        box.enter(options.daemon, options.sim, options.meters)
        entry["function"](Run(box, options))
        return 0
    except (Failure, sb.SandboxError) as error:
        print("FAIL: %s" % error)
        if box.log is not None:
            print("  log: %s" % box.log.snapshot())
        for sim in box.sims:
            if sim.stderr().strip():
                print("  rc1180-sim stderr: %s" % sim.stderr().strip())
        return 1
    finally:
        box.close()


def run_outside(name, options, reason):
    entry = SCENARIOS[name]
    started = time.monotonic()
    if reason is None and options.unprivileged and os.geteuid() != 0:
        reason = "the daemon cannot run as a user of its own: a normal user's namespace maps root alone"
    if reason is not None:
        return name, SKIP, reason, 0.0
    if entry["faketime"] and not sb.faketime_reaches(shlex.split(options.emulator or "")):
        return name, SKIP, "faked dates need libfaketime, which cannot reach a daemon behind this emulator", 0.0
    argv = [sys.executable, os.path.abspath(__file__), "--inside", name, "--daemon", options.daemon,
            "--sim", options.sim]
    if options.meters and os.path.exists(options.meters):
        argv += ["--meters", options.meters]
    if options.emulator:
        argv += ["--emulator", options.emulator]
    if options.unprivileged:
        argv.append("--unprivileged")
    try:
        done = subprocess.run(sb.unshare_command(argv), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=entry["timeout"], env=dict(os.environ, PATH=sb.PATH))
        status, output = done.returncode, done.stdout.decode(errors="replace")
    except subprocess.TimeoutExpired as expired:
        status = 1
        output = (expired.stdout or b"").decode(errors="replace") + "\nFAIL: timed out after %d s" % entry["timeout"]
    if status not in (0, SKIP):
        status = 1
    return name, status, output.strip(), time.monotonic() - started


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--daemon", help="the Norvalithd to test")
    parser.add_argument("--sim", help="rc1180-sim")
    parser.add_argument("--meters", help="norvalith-meters (optional)")
    parser.add_argument("--emulator", metavar="CMD",
                        help='runs the daemon behind CMD, e.g. "qemu-arm -L /usr/arm-linux-gnueabihf"')
    parser.add_argument("--unprivileged", action="store_true",
                        help="run the daemon as a user of its own, with what its service unit grants")
    parser.add_argument("--group", action="append", help="run only this group (repeatable)")
    parser.add_argument("--tag", action="append", help="run only scenarios with this tag (repeatable)")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--inside", help=argparse.SUPPRESS)
    parser.add_argument("--list", action="store_true", help="list the scenarios")
    parser.add_argument("names", nargs="*", help="scenario names (default: all)")
    options = parser.parse_args()

    if options.inside:
        sys.exit(run_inside(options.inside, options))

    names = options.names or [n for n, e in SCENARIOS.items()
                              if (not options.group or e["group"] in options.group)
                              and (not options.tag or set(e["tags"]) & set(options.tag))]
    unknown = [n for n in names if n not in SCENARIOS]
    if unknown:
        parser.error("unknown scenarios: " + ", ".join(unknown))
    if options.emulator:
        # They trace the daemon's own process: behind an emulator, that is the emulator.
        native = [n for n in names if SCENARIOS[n]["native"]]
        names = [n for n in names if n not in native]
        if native and not options.list:
            print("left out behind an emulator: " + ", ".join(native))
    if options.list:
        for name in names:
            print("%-8s %s" % (SCENARIOS[name]["group"], name))
        return 0
    for option, path in (("--daemon", options.daemon), ("--sim", options.sim)):
        if path is None:
            parser.error("%s is required" % option)
        if not os.access(path, os.X_OK):
            parser.error("not an executable: %s (built yet?)" % path)
    if options.emulator:
        command = shlex.split(options.emulator)
        if not command or shutil.which(command[0], path=sb.PATH) is None:
            parser.error("emulator not found: %s" % options.emulator)

    reason = sb.probe()
    printing = threading.Lock()
    counts = {0: 0, 1: 0, SKIP: 0}

    def report(result):
        name, status, output, seconds = result
        with printing:
            counts[status] += 1
            if status == 0:
                print("PASS %s (%.1f s)" % (name, seconds))
                # Measurements a scenario reports along the way.
                for line in output.splitlines():
                    if line.startswith("NOTE: "):
                        print("    " + line[6:])
            elif status == SKIP:
                reason_text = output.splitlines()[-1] if output else ""
                print("SKIP %s: %s" % (name, reason_text.replace("SKIP: ", "")))
            else:
                print("FAIL %s (%.1f s)" % (name, seconds))
                for line in output.splitlines():
                    print("    " + line)
            sys.stdout.flush()

    if reason is not None:
        print("sandbox unavailable: " + reason)
    with ThreadPoolExecutor(max_workers=max(1, options.jobs)) as pool:
        for future in as_completed([pool.submit(run_outside, n, options, reason) for n in names]):
            report(future.result())

    summary = "%d passed, %d failed" % (counts[0], counts[1])
    if counts[SKIP]:
        summary += ", %d skipped" % counts[SKIP]
    print(summary)
    if counts[1]:
        return 1
    return SKIP if counts[SKIP] else 0


if __name__ == "__main__":
    sys.exit(main())
