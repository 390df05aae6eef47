"""System scenarios: each a function of a Run, registered with @scenario.

A scenario module (tests/system/*_scenarios.py) takes what it needs from here:

    from harness.scenario import Run, expect, expect_equal, scenario, sb, telegram, ...
"""

import os
import subprocess
import time

from harness import sandbox as sb
from harness.facts import BURST_ALLOWANCE_MS, CONFIG_PAIRS
from harness.telegrams import (ExportError, bcd, bcd as bcd_id, expected_raw, export_name,  # noqa: F401
                               meters_settings, parse_export, telegram)
SPACING = BURST_ALLOWANCE_MS / 1000.0 + 0.1  # seconds between bursts: more than the reader's allowance
MARKER_ID = 99999999

SCENARIOS = {}


def scenario(group, timeout=90, faketime=False, tags=(), native=False, root=False, **box):
    """Registers a scenario; box holds Sandbox arguments (host name, interfaces).
    native: it looks at the daemon's own process, which an emulator would hide.
    root: it acts as users other than root, which a normal user's namespace cannot map."""
    def register(function):
        SCENARIOS[function.__name__] = dict(function=function, group=group, timeout=timeout,
                                            faketime=faketime, tags=tags, native=native, root=root, box=box)
        return function
    return register


class Failure(Exception):
    pass


class Skip(Exception):
    """The scenario cannot run here (a tool is missing): the reason."""


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


def configured_memory(changes=None):
    """A module memory that matches the daemon's table, but for the changes {address: value}."""
    memory = bytearray(256)
    for address, value in CONFIG_PAIRS:
        memory[address] = value
    for address, value in (changes or {}).items():
        memory[address] = value
    return bytes(memory)


def pairs_bytes(pairs):
    return b"".join(bytes(p) for p in pairs)


class Run:
    """One scenario's sandbox, and what it does with the daemon in there."""

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
        try:
            sim.wait_handshake(daemon, timeout)
        except sb.SandboxError as error:
            raise Failure("%s; log: %s" % (error, self.box.log.snapshot()))
        time.sleep(0.3)  # table, settings and identity follow at once
        expect(sb.alive(daemon), "daemon exited after the handshake: %s" % self.box.log.snapshot())

    def start(self, settings="MOD_WMBUS_ADDR1=12345678\n", version="2.0", faketime=None, sim_args=(),
              memory="configured", notify=None):
        self.box.settings(settings)
        self.box.version(version)
        sim = self.sim(*sim_args, memory=memory)
        daemon = self.daemon(faketime=faketime, notify=notify)
        self.ready(sim, daemon)
        return sim, daemon

    # -- traffic

    def _space(self, sim):
        # Bursts that meet in the reader's allowance become one frame: wait until
        # the daemon has read the last one, and keep them apart in time as well.
        self.wait(lambda: sim.unread() == 0, 5, "the daemon to read the line")
        wait = self.last_send + SPACING - time.monotonic()
        if wait > 0:
            time.sleep(wait)
        self.last_send = time.monotonic()

    def _send(self, sim, kind, data, dbm=None):
        count = len(sim.sent(kind))
        self._space(sim)
        sim.command("%s %s%s" % ("tx" if kind == "telegram" else kind, data.hex().upper(),
                                 "" if dbm is None else " %g" % dbm))
        return sim.wait_sent(count + 1, kind)[-1][-1]

    def tx(self, sim, data, dbm=None):
        """Sends a telegram through the module (RSSI framing; dbm: its signal strength,
        random without); returns the burst as sent."""
        return self._send(sim, "telegram", data, dbm)

    def raw(self, sim, data):
        return self._send(sim, "raw", data)

    def sync(self, sim, timeout=5.0):
        """Returns once the daemon has handled everything sent so far: a burst of a
        marker meter with a new trailer byte must show in the table."""
        self.sync_count += 1
        marker = bytes([0x0a, 0x44, 0x2d, 0x2c]) + bcd(MARKER_ID) + bytes([1, 0x1b, self.sync_count])
        self.raw(sim, marker)
        self.wait(lambda: any(e[0] == MARKER_ID and e[3] == self.sync_count for e in sb.read_table()),
                  timeout, "marker burst %d in the table" % self.sync_count)

    @staticmethod
    def wait(predicate, timeout, what):
        try:
            return sb.wait_until(predicate, timeout, what)
        except sb.SandboxError as error:
            raise Failure(str(error))

    def wait_export(self, name, timeout=5.0):
        path = os.path.join(sb.EXPORT_DIR, name)
        self.wait(lambda: os.path.exists(path), timeout, "export file " + name)
        return sb.Sandbox.read_export(name)

    def wait_exit(self, daemon, timeout):
        try:
            status = daemon.wait(timeout)
            daemon.ended = time.monotonic()
            return status
        except subprocess.TimeoutExpired:
            raise Failure("daemon still running after %.1f s" % timeout)

    def restart(self, daemon, sim):
        """Ends the daemon and the module, for the next start in the same sandbox."""
        daemon.kill()
        daemon.wait()
        sim.stop()

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

    def expect_error_exit(self, daemon, message, timeout):
        """Start-up ends with status 1, after the one error message (level err)."""
        expect_equal(self.wait_exit(daemon, timeout), 1, "exit status")
        self.expect_log(daemon, ["started", message], settle=0)
        err = self.box.log.snapshot(daemon.pid)[-1]
        expect_equal((err.facility, err.priority), (sb.LOG_DAEMON, sb.LOG_ERR), "facility and level")

    def expect_alive(self, daemon):
        expect(sb.alive(daemon), "daemon ended (status %s); log: %s" % (daemon.returncode, self.box.log.snapshot()))
        expect_equal(self.box.daemon_output(daemon), b"", "daemon output on stdout/stderr")
