"""Runs Norvalithd unchanged, at its fixed paths, inside Linux namespaces.

A sandboxed program runs as process 1 of new mount, UTS, network, IPC and PID
namespaces (plus a user namespace when not started as root). Inside, /dev, /var,
/opt and /run are private tmpfs mounts: /dev/ttyS1 is the pty slave of rc1180-sim,
/dev/log is a datagram socket owned by the sandbox, /opt/Norvalith holds a copy
of the daemon (which is also the key file of its shared table), /run/Norvalith
is made as the unit's RuntimeDirectory= would be (or left out), eth0 and ppp0
are veth ends. A test may bind a notify socket (NotifyCapture) for the daemon.
Nothing outside the namespaces is touched, and everything started inside dies
with process 1.

With a daemon user, the daemon runs as that user with exactly what its
service unit grants: the device root:dialout 0660, the lock directory 1777,
the export directory its own (2775), the settings readable through its group
(root:group 0640).

A program that needs a sandbox calls run_inside() (see there): it runs the same
program again inside one, with --inside added to its arguments.
"""

import argparse
import ctypes
import fcntl
import glob
import grp
import os
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
from syslog import LOG_DAEMON, LOG_ERR, LOG_NOTICE, LOG_WARNING  # noqa: F401 (for the scenarios)

from harness.facts import (CONFIG_PAIRS, DAEMON_PATH, DEVICE, EXPORT_DIR, LOCK_FILE, METRICS_DIR,  # noqa: F401
                           METRICS_PATH, SETTINGS_PATH, SKIP, TABLE_ENTRIES, TABLE_PROJECT_ID, TABLE_SIZE,
                           VERSION_PATH, ZONE, lock_content)

# The daemon's user and group in a sandbox that runs it unprivileged: ids no
# host account is likely to have, and the host's dialout group for the port.
DAEMON_UID = DAEMON_GID = 61180


def dialout_gid():
    try:
        return grp.getgrnam("dialout").gr_gid
    except KeyError:
        return 20  # Debian's


class DaemonUser:
    def __init__(self, uid=DAEMON_UID, gid=DAEMON_GID, device_gid=None):
        self.uid, self.gid = uid, gid
        self.device_gid = dialout_gid() if device_gid is None else device_gid


HOST_DEVICES = ("null", "zero", "full", "random", "urandom", "tty")
PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"


class SandboxError(Exception):
    pass


def wait_until(predicate, timeout, what, interval=0.05, alive=None):
    """predicate()'s first true value, checked every interval; after timeout seconds,
    or as soon as alive() is false, SandboxError naming what (False when what is None)."""
    deadline = time.monotonic() + timeout
    while True:
        result = predicate()
        if result:
            return result
        if time.monotonic() > deadline or (alive is not None and not alive()):
            if what is None:
                return False
            raise SandboxError("timed out waiting for " + what)
        time.sleep(interval)


def tool_parser(doc):
    """The arguments of a program that runs the daemon in a sandbox: --daemon, --sim."""
    parser = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--daemon", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    return parser


def tool_options(parser):
    options = parser.parse_args()
    for name in ("daemon", "sim"):
        setattr(options, name, os.path.abspath(getattr(options, name)))
        if not os.access(getattr(options, name), os.X_OK):
            parser.error("not an executable: %s (built yet?)" % getattr(options, name))
    return options


def skip_reason(*tools):
    """Why no sandboxed run can be made here (tools: Debian packages of the programs
    it needs as well), or None."""
    missing = [t for t in tools if shutil.which(t, path=PATH) is None]
    if missing:
        return "%s not installed (Debian package %s)" % (missing[0], missing[0])
    return probe()


# ---------------------------------------------------------------- namespaces

def unshare_command(argv):
    """The command line that runs argv as process 1 of fresh namespaces."""
    command = ["unshare"]
    if os.geteuid() != 0:
        command += ["--user", "--map-root-user"]
    command += ["--mount", "--uts", "--net", "--ipc", "--pid", "--fork", "--mount-proc",
                "--propagation", "private", "--kill-child"]
    # The stage's mount point is made and removed out here: inside, it is busy
    # until the namespace ends, and would stay behind in /tmp. A Ctrl-C reaches this
    # shell too: it must outlive the sandbox (which ends by itself, and unshare passes
    # on its status) to remove the stage; the trap is reset for what it starts.
    wrapper = ('trap : INT; stage=$(mktemp -d "${TMPDIR:-/tmp}/norvalith-sandbox-XXXXXX") || exit 1; '
               'NORVALITH_SANDBOX_STAGE=$stage "$@"; status=$?; rmdir "$stage"; exit $status')
    return ["sh", "-c", wrapper, "sh"] + command + ["--"] + list(argv)


def inside_namespaces():
    return os.getpid() == 1


def sandbox_env():
    """The environment of a program re-run in a sandbox: the harness on its path."""
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    paths = [here] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p and p != here]
    return dict(os.environ, PATH=PATH, PYTHONPATH=os.pathsep.join(paths), PYTHONDONTWRITEBYTECODE="1")


def run_inside(args=None, **run_args):
    """Runs this program again as process 1 of fresh namespaces, with --inside in
    front of args (default: its own arguments); subprocess.run's arguments apply.
    A SIGINT meant for the sandbox must not end this process before it."""
    program = os.path.abspath(sys.modules["__main__"].__file__)  # a module run with -m too
    argv = [sys.executable, program, "--inside"] + list(sys.argv[1:] if args is None else args)
    return subprocess.run(unshare_command(argv), env=sandbox_env(), **run_args)


def faketime_library():
    for pattern in ("/usr/lib/*/faketime/libfaketime.so.1", "/usr/lib/faketime/libfaketime.so.1",
                    "/usr/lib64/faketime/libfaketime.so.1"):
        found = sorted(glob.glob(pattern))
        if found:
            return found[0]
    return None


def faketime_reaches(emulator):
    """Whether libfaketime, preloaded into this emulator, fakes the clock of the program
    it runs: qemu-user serves the guest's clock calls with the host C library's."""
    return not emulator or os.path.basename(emulator[0]).startswith("qemu-")


def zone_available(zone):
    return os.path.isfile(os.path.join("/usr/share/zoneinfo", zone))


def probe():
    """None when sandboxes can be made here, otherwise the reason why not."""
    for tool in ("unshare", "ip", "mount"):
        if shutil.which(tool, path=PATH) is None:
            return "%s not found (Debian packages util-linux, iproute2, mount)" % tool
    script = "from harness import sandbox; s = sandbox.Sandbox(); s.enter(); s.close(); print('ok')"
    try:
        done = subprocess.run(unshare_command([sys.executable, "-c", script]), capture_output=True,
                              text=True, timeout=30, env=sandbox_env())
    except (OSError, subprocess.TimeoutExpired) as error:
        return "cannot run unshare: %s" % error
    if done.returncode != 0 or "ok" not in done.stdout:
        lines = (done.stderr or done.stdout).strip().splitlines()
        detail = lines[-1] if lines else "exit status %d" % done.returncode
        who = "as root" if os.geteuid() == 0 else "in a user namespace (unshare -r)"
        return "no sandbox %s: %s" % (who, detail)
    return None


def run(*argv):
    done = subprocess.run(list(argv), capture_output=True, text=True, env={"PATH": PATH})
    if done.returncode != 0:
        raise SandboxError("%s: %s" % (" ".join(argv), done.stderr.strip()))
    return done.stdout


def mount(source, target, fstype=None, options=None, bind=False, rbind=False):
    argv = ["mount"] + ["--bind"] * bind + ["--rbind"] * rbind
    argv += (["-t", fstype] if fstype else []) + (["-o", options] if options else [])
    run(*(argv + [source, target]))


# ---------------------------------------------------------------- system log

class LogMessage:
    PATTERN = re.compile(r"^<(\d+)>(\w{3} [ \d]\d \d\d:\d\d:\d\d) (\S+?): (.*)$", re.S)

    def __init__(self, raw, received):
        self.raw = raw
        self.received = received
        text = raw.decode("utf-8", "replace").rstrip("\n")
        match = self.PATTERN.match(text)
        if match is None:
            self.pri, self.stamp, self.tag, self.text = -1, "", "", text
        else:
            self.pri = int(match.group(1))
            self.stamp, self.tag, self.text = match.group(2), match.group(3), match.group(4)

    @property
    def facility(self):
        return self.pri & ~7

    @property
    def priority(self):
        return self.pri & 7

    def __repr__(self):
        return "<%d>%s %s" % (self.pri, self.tag, self.text)


class SyslogCapture:
    """A datagram socket at /dev/log; keeps every message with its arrival time."""

    def __init__(self, path="/dev/log", echo=None):
        self.messages = []
        self.echo = echo
        self._lock = threading.Lock()
        self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self._sock.bind(path)
        os.chmod(path, 0o666)
        threading.Thread(target=self._receive, daemon=True).start()

    def _receive(self):
        while True:
            try:
                data = self._sock.recv(65536)
            except OSError:
                return
            message = LogMessage(data, time.monotonic())
            with self._lock:
                self.messages.append(message)
            if self.echo is not None:
                self.echo(message)

    def snapshot(self, pid=None):
        with self._lock:
            return [m for m in self.messages if pid is None or m.tag.endswith("[%d]" % pid)]


# ---------------------------------------------------------------- service manager

class NotifyCapture:
    """A datagram socket that takes the daemon's notify messages, as the service
    manager's does: [(arrival time, sender's pid, text)]. abstract: in the abstract
    namespace (NOTIFY_SOCKET "@name") rather than at a path."""

    def __init__(self, path, abstract=False):
        self.address = "@" + os.path.basename(path) if abstract else path
        self.messages = []
        self._lock = threading.Lock()
        self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_PASSCRED, 1)  # NotifyAccess=main needs the pid
        self._sock.bind("\0" + self.address[1:] if abstract else path)
        if not abstract:
            os.chmod(path, 0o666)
        threading.Thread(target=self._receive, daemon=True).start()

    def _receive(self):
        credentials = struct.calcsize("3i")
        while True:
            try:
                data, ancillary, _, _ = self._sock.recvmsg(4096, socket.CMSG_SPACE(credentials))
            except OSError:
                return
            pid = next((struct.unpack("3i", d[:credentials])[0] for level, kind, d in ancillary
                        if level == socket.SOL_SOCKET and kind == socket.SCM_CREDENTIALS), None)
            with self._lock:
                self.messages.append((time.monotonic(), pid, data.decode("utf-8", "replace")))

    def snapshot(self):
        with self._lock:
            return list(self.messages)


# ---------------------------------------------------------------- shared table

class _Libc:
    def __init__(self):
        libc = ctypes.CDLL(None, use_errno=True)
        libc.ftok.argtypes = [ctypes.c_char_p, ctypes.c_int]
        libc.ftok.restype = ctypes.c_int
        libc.shmget.argtypes = [ctypes.c_int, ctypes.c_size_t, ctypes.c_int]
        libc.shmget.restype = ctypes.c_int
        libc.shmat.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
        libc.shmat.restype = ctypes.c_void_p
        libc.shmdt.argtypes = [ctypes.c_void_p]
        libc.shmdt.restype = ctypes.c_int
        self.libc = libc


IPC_CREAT = 0o1000
SHM_RDONLY = 0o10000


def table_key(key_path=DAEMON_PATH):
    key = _Libc().libc.ftok(key_path.encode(), TABLE_PROJECT_ID)
    if key == -1:
        raise SandboxError("ftok(%s): %s" % (key_path, os.strerror(ctypes.get_errno())))
    return key


def create_segment(size, fill=b"", key_path=DAEMON_PATH, user=None):
    """Creates (or finds) the segment under the daemon's key, as another program might
    (or, with user, as the daemon's user did in an earlier run)."""
    if user is not None:
        child = os.fork()
        if child == 0:
            status = 1
            try:
                os.setgid(user.gid)
                os.setuid(user.uid)
                create_segment(size, fill, key_path)
                status = 0
            finally:
                os._exit(status)
        _, status = os.waitpid(child, 0)
        if status != 0:
            raise SandboxError("could not create the segment as uid %d" % user.uid)
        return next(s["shmid"] for s in segments() if s["key"] == table_key(key_path))
    libc = _Libc().libc
    shmid = libc.shmget(table_key(key_path), size, IPC_CREAT | 0o600)
    if shmid == -1:
        raise SandboxError("shmget: %s" % os.strerror(ctypes.get_errno()))
    if fill:
        address = libc.shmat(shmid, None, 0)
        ctypes.memmove(address, fill, min(len(fill), size))
        libc.shmdt(address)
    return shmid


def read_table(key_path=DAEMON_PATH):
    """The entries (id, device_type, manufacturer, trailer) of the daemon's table."""
    libc = _Libc().libc
    shmid = libc.shmget(table_key(key_path), 0, 0)
    if shmid == -1:
        raise SandboxError("no segment: %s" % os.strerror(ctypes.get_errno()))
    address = libc.shmat(shmid, None, SHM_RDONLY)
    if address is None or address == ctypes.c_void_p(-1).value:
        raise SandboxError("shmat: %s" % os.strerror(ctypes.get_errno()))
    try:
        data = ctypes.string_at(address, TABLE_SIZE)
    finally:
        libc.shmdt(address)
    size = TABLE_SIZE // TABLE_ENTRIES
    return [struct.unpack_from("=4I", data, size * i) for i in range(TABLE_ENTRIES)]


def segments():
    """The System V segments of this IPC namespace: dicts with key, shmid, perms, size,
    nattch (processes attached) and cuid (creator)."""
    with open("/proc/sysvipc/shm") as listing:
        header = listing.readline().split()
        rows = [dict(zip(header, line.split())) for line in listing if line.strip()]
    return [{"key": int(r["key"]), "shmid": int(r["shmid"]), "perms": int(r["perms"], 8),
             "size": int(r["size"]), "nattch": int(r["nattch"]), "cuid": int(r["cuid"])} for r in rows]


def attached_segment(shmid, timeout=5.0):
    """A child process attached to the segment, as a reader of the table is, until killed."""
    child = os.fork()
    if child == 0:
        libc = ctypes.CDLL(None)
        libc.shmat.restype = ctypes.c_void_p
        libc.shmat(shmid, None, 0)
        signal.pause()
        os._exit(0)
    wait_until(lambda: any(s["shmid"] == shmid and s["nattch"] for s in segments()), timeout,
               "a process to attach segment %d" % shmid)
    return child


# ---------------------------------------------------------------- processes

def proc_stat(pid):
    """Fields of /proc/PID/stat after the command name, numbered as in proc(5) from 3."""
    with open("/proc/%d/stat" % pid) as f:
        text = f.read()
    rest = text[text.rindex(")") + 2:].split()
    return {i + 3: value for i, value in enumerate(rest)}


def cpu_seconds(pid):
    fields = proc_stat(pid)
    return (int(fields[14]) + int(fields[15])) / os.sysconf("SC_CLK_TCK")


def proc_status(pid):
    """VmRSS and VmHWM in kB, context switches, the number of open descriptors, and CPU seconds."""
    values = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM", "voluntary_ctxt_switches", "nonvoluntary_ctxt_switches"):
                values[key] = int(rest.split()[0])
    values["fds"] = len(os.listdir("/proc/%d/fd" % pid))
    values["cpu"] = cpu_seconds(pid)
    return values


def find_process(executable, exclude=()):
    """The id of a running process of this executable (the daemon under strace or
    valgrind, whose pid is not the one that was started), or None."""
    for name in os.listdir("/proc"):
        if not name.isdigit() or int(name) in exclude:
            continue
        try:
            if os.readlink("/proc/%s/exe" % name) == executable:
                return int(name)
        except OSError:
            continue
    return None


def session_id(pid):
    return int(proc_stat(pid)[6])


def alive(proc):
    return proc.poll() is None


class Simulator:
    """A running rc1180-sim: its pty, control FIFO, trace of what the daemon sent and
    record of what it sent itself."""

    def __init__(self, proc, slave, trace, sent, control, stderr_path):
        self.proc, self.slave = proc, slave
        self.trace_path, self.sent_path, self.control_path = trace, sent, control
        self.stderr_path = stderr_path
        self._control_fd = None
        self._slave_fd = None

    def command(self, line, timeout=5.0):
        if self._control_fd is None:
            def opened():
                try:
                    return os.open(self.control_path, os.O_WRONLY | os.O_NONBLOCK) + 1
                except OSError:
                    return 0
            try:
                self._control_fd = wait_until(opened, timeout, "", 0.02, lambda: alive(self.proc)) - 1
            except SandboxError:
                raise SandboxError("control FIFO %s not open" % self.control_path)
        os.write(self._control_fd, (line + "\n").encode())

    def tx(self, telegram, dbm=None):
        """A telegram through the module, with RSSI framing; dbm: its signal strength."""
        self.command("tx " + telegram.hex().upper() + ("" if dbm is None else " %g" % dbm))

    def unread(self):
        """Bytes waiting on the line that the daemon has not read yet."""
        if self._slave_fd is None:
            self._slave_fd = os.open(self.slave, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
        return struct.unpack("i", fcntl.ioctl(self._slave_fd, termios.FIONREAD, b"\0\0\0\0"))[0]

    def raw(self, burst):
        self.command("raw " + burst.hex().upper())

    def mute(self):
        """The module takes no more commands and answers nothing; telegrams still go out."""
        self.command("mute")

    def unmute(self):
        self.command("unmute")

    def trace(self):
        """[(ms, bytes)] received from the daemon, in order."""
        return _read_records(self.trace_path, 2)

    def trace_bytes(self):
        return b"".join(chunk for _, chunk in self.trace())

    def sent(self, kind=None):
        """[(ms, kind, bytes)] the simulator put on the line (kinds: answer, telegram,
        rest of a paused telegram, raw, garbage, chatter)."""
        return [r for r in _read_records(self.sent_path, 3) if kind is None or r[1] == kind]

    def telegrams(self):
        """[(ms, bytes)] of every telegram put on the line, a paused one joined to its rest."""
        out = []
        for ms, kind, data in self.sent():
            if kind == "telegram":
                out.append((ms, data))
            elif kind == "rest" and out:
                out[-1] = (out[-1][0], out[-1][1] + data)
        return out

    def wait_sent(self, count, kind=None, timeout=5.0):
        try:
            wait_until(lambda: len(self.sent(kind)) >= count, timeout, "", 0.02, lambda: alive(self.proc))
        except SandboxError:
            raise SandboxError("simulator sent %d %s bursts, expected %d" % (len(self.sent(kind)), kind or "", count))
        return self.sent(kind)

    def wait_handshake(self, daemon, timeout=15.0, interval=0.05):
        """Waits until the daemon left configuration mode ("X" on the line)."""
        try:
            wait_until(lambda: self.trace_bytes().endswith(b"X"), timeout, "", interval, lambda: alive(daemon))
        except SandboxError:
            if not alive(daemon):
                raise SandboxError("daemon exited with status %s during start-up" % daemon.returncode)
            raise SandboxError("no handshake within %.0f s; line: %s" % (timeout, self.trace_bytes().hex(" ")))

    def stderr(self):
        try:
            with open(self.stderr_path, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def stop(self):
        for fd in (self._control_fd, self._slave_fd):
            if fd is not None:
                os.close(fd)
        self._control_fd = self._slave_fd = None
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(3)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def _read_records(path, fields):
    try:
        with open(path) as f:
            lines = f.read().splitlines()
    except FileNotFoundError:
        return []
    records = []
    for line in lines:
        parts = line.split()
        if len(parts) < fields - 1:
            continue
        data = bytes.fromhex(parts[fields - 1]) if len(parts) >= fields else b""
        records.append(tuple([int(parts[0])] + parts[1:fields - 1] + [data]))
    return records


# ---------------------------------------------------------------- the sandbox

class Sandbox:
    """Must be entered from process 1 of fresh namespaces (see unshare_command)."""

    def __init__(self, hostname="gw1", eth0_mac="00:11:22:aa:bb:cc", ppp0_address="10.1.2.3",
                 eth0=True, ppp0=True, log_echo=None, emulator=(), user=None, runtime_dir=True):
        self.hostname = hostname
        # Whether /run/Norvalith is there at start, as the unit's RuntimeDirectory=.
        self.runtime_dir = runtime_dir
        # A DaemonUser to run the daemon as, or None for root.
        self.user = user
        # A command put in front of the daemon, e.g. qemu-arm for a cross-built one.
        self.emulator = list(emulator)
        self.eth0_mac, self.ppp0_address = eth0_mac, ppp0_address
        self.eth0, self.ppp0 = eth0, ppp0
        self.log_echo = log_echo
        self.stage = None
        self.log = None
        self.sims = []
        self.daemons = []
        self._counter = 0

    # -- set-up

    def enter(self, daemon=None, sim=None, meters=None):
        if not inside_namespaces():
            raise SandboxError("not process 1 of a PID namespace: start through unshare_command()")
        # Everything the sandbox keeps for itself lives on a private tmpfs, so it is
        # gone with the mount namespace and never shadowed by the mounts below.
        self.stage = os.environ.get("NORVALITH_SANDBOX_STAGE") or tempfile.mkdtemp(prefix="norvalith-sandbox-")
        mount("tmpfs", self.stage, "tmpfs", "mode=0755")
        self.binaries = {}
        for name, path in (("Norvalithd", daemon), ("rc1180-sim", sim), ("norvalith-meters", meters)):
            if path:
                copy = os.path.join(self.stage, name)
                shutil.copy(path, copy)
                os.chmod(copy, 0o755)
                self.binaries[name] = copy
        self._make_dev()
        self._make_var_opt()
        mount("tmpfs", "/run", "tmpfs", "mode=0755,nosuid")
        if self.runtime_dir:
            self.make_runtime_dir()
        socket.sethostname(self.hostname)
        self._make_network()
        self.log = SyslogCapture(echo=self.log_echo)
        return self

    def _make_dev(self):
        host_dev = os.path.join(self.stage, "host-dev")
        os.mkdir(host_dev)
        # Recursive: a user namespace may not bind a mount without its locked sub-mounts.
        mount("/dev", host_dev, rbind=True)
        mount("tmpfs", "/dev", "tmpfs", "mode=0755,nosuid")
        for name in HOST_DEVICES:
            target = os.path.join("/dev", name)
            open(target, "w").close()
            mount(os.path.join(host_dev, name), target, bind=True)
        os.mkdir("/dev/pts")
        mount("devpts", "/dev/pts", "devpts", "newinstance,ptmxmode=0666,mode=0620")
        os.symlink("pts/ptmx", "/dev/ptmx")
        os.mkdir("/dev/shm", 0o1777)
        os.chmod("/dev/shm", 0o1777)
        os.symlink("/proc/self/fd", "/dev/fd")
        for number, name in enumerate(("stdin", "stdout", "stderr")):
            os.symlink("/proc/self/fd/%d" % number, "/dev/" + name)
        run("umount", "-l", host_dev)  # the binds above keep what they need

    def _make_var_opt(self):
        mount("tmpfs", "/var", "tmpfs", "mode=0755")
        for path in ("/var/lock", "/var/tmp", EXPORT_DIR):
            os.makedirs(path)
        os.chmod("/var/tmp", 0o1777)
        os.chmod("/var/lock", 0o1777)
        self.own_export_dir()
        mount("tmpfs", "/opt", "tmpfs", "mode=0755")
        os.makedirs(os.path.dirname(DAEMON_PATH))
        os.makedirs(os.path.dirname(SETTINGS_PATH))
        if "Norvalithd" in self.binaries:
            shutil.copy(self.binaries["Norvalithd"], DAEMON_PATH)
            os.chmod(DAEMON_PATH, 0o755)

    def _make_network(self):
        run("ip", "link", "set", "lo", "up")
        if self.eth0:
            run("ip", "link", "add", "eth0", "type", "veth", "peer", "name", "eth0p")
            run("ip", "link", "set", "eth0", "address", self.eth0_mac)
            run("ip", "link", "set", "eth0", "up")
            run("ip", "link", "set", "eth0p", "up")
        if self.ppp0:
            run("ip", "link", "add", "ppp0", "type", "veth", "peer", "name", "ppp0p")
            run("ip", "addr", "add", self.ppp0_address + "/32", "dev", "ppp0")
            run("ip", "link", "set", "ppp0", "up")
            run("ip", "link", "set", "ppp0p", "up")

    def make_runtime_dir(self):
        """/run/Norvalith as systemd makes a RuntimeDirectory=: the daemon user's, 0755."""
        os.mkdir(METRICS_DIR, 0o755)
        os.chmod(METRICS_DIR, 0o755)
        if self.user is not None:
            os.chown(METRICS_DIR, self.user.uid, self.user.gid)

    def notify_socket(self, abstract=False):
        """A socket for the service manager's notify messages: give it to start_daemon."""
        return NotifyCapture(self.path("notify"), abstract)

    def own_export_dir(self):
        """Hands the export directory (as it is now: made or mounted anew) to the
        daemon's user, as the package does."""
        if self.user is not None:
            os.chown(EXPORT_DIR, self.user.uid, self.user.gid)
            os.chmod(EXPORT_DIR, 0o2775)

    @staticmethod
    def remount_export_dir(mode):
        """The export directory read-only ("ro") or writable again ("rw"). A read-only
        bind mount refuses root as well (EROFS), unlike permission bits."""
        if mode == "ro":
            mount(EXPORT_DIR, EXPORT_DIR, bind=True)
        run("mount", "-o", "remount,bind," + mode, EXPORT_DIR)

    def mount_export_dir(self, options):
        """A tmpfs over the export directory (size limits and such), the daemon's own."""
        mount("tmpfs", EXPORT_DIR, "tmpfs", options + ",mode=0755")
        self.own_export_dir()

    def plant(self, path, content):
        """A file as the daemon's user would have left it (root's when it runs as root)."""
        self.write_file(path, content)
        if self.user is not None:
            os.chown(path, self.user.uid, self.user.gid)

    def close(self):
        for daemon in self.daemons:
            if daemon.poll() is None:
                daemon.kill()
                daemon.wait()
        for sim in self.sims:
            sim.stop()

    # -- files at the daemon's fixed paths

    def path(self, name):
        """A file of the sandbox's own, outside the daemon's view of the system."""
        self._counter += 1
        return os.path.join(self.stage, "%02d-%s" % (self._counter, name))

    @staticmethod
    def write_file(path, content):
        if content is None:
            if os.path.lexists(path):
                os.unlink(path)
            return
        with open(path, "wb") as f:
            f.write(content.encode() if isinstance(content, str) else content)

    def settings(self, content):
        self.write_file(SETTINGS_PATH, content)
        if self.user is not None and content is not None:
            # The collector's password is in there: root's, read through the group.
            os.chown(SETTINGS_PATH, 0, self.user.gid)
            os.chmod(SETTINGS_PATH, 0o640)

    def version(self, content):
        self.write_file(VERSION_PATH, content)

    # -- processes

    def start_sim(self, *args, bind_device=True, timeout=10.0):
        """Starts rc1180-sim with a trace, a record of what it sends and a control FIFO,
        and (normally) binds its pty slave to /dev/ttyS1."""
        if "rc1180-sim" not in self.binaries:
            raise SandboxError("no rc1180-sim given")
        trace, sent, control = self.path("trace"), self.path("sent"), self.path("control")
        stderr_path = self.path("sim.err")
        argv = [self.binaries["rc1180-sim"], "--trace", trace, "--sent", sent, "--control", control]
        argv += [str(a) for a in args]
        with open(stderr_path, "wb") as err:
            # Its own session: a Ctrl-C meant for the demo must not take the module away.
            proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=err,
                                    env={"PATH": PATH}, start_new_session=True)
        sim = Simulator(proc, None, trace, sent, control, stderr_path)
        self.sims.append(sim)
        ready, _, _ = select.select([proc.stdout], [], [], timeout)
        line = proc.stdout.readline().decode(errors="replace").strip() if ready else ""
        if not line.startswith("/dev/pts/"):
            raise SandboxError("rc1180-sim printed no pty path (%r); stderr: %s" % (line, sim.stderr()))
        sim.slave = line
        if bind_device:
            self.bind_device(line)
        return sim

    def bind_device(self, slave):
        if os.path.ismount(DEVICE):
            run("umount", DEVICE)
        if not os.path.exists(DEVICE):
            open(DEVICE, "w").close()
        mount(slave, DEVICE, bind=True)
        if self.user is not None:
            os.chown(DEVICE, 0, self.user.device_gid)
            os.chmod(DEVICE, 0o660)

    def daemon_env(self, tz=ZONE, faketime=None, notify=None):
        env = {"PATH": PATH}
        if notify is not None:
            env["NOTIFY_SOCKET"] = notify.address
        if tz:
            env["TZ"] = tz
        if faketime is not None:
            library = faketime_library()
            if library is None:
                raise SandboxError("libfaketime not installed")
            env.update({"LD_PRELOAD": library, "FAKETIME": faketime, "FAKETIME_DONT_FAKE_MONOTONIC": "1",
                        "FAKETIME_NO_CACHE": "1"})
            if self.emulator:
                if not faketime_reaches(self.emulator):
                    raise SandboxError("libfaketime cannot reach a daemon behind %s" % self.emulator[0])
                # The library is the build machine's: it goes into qemu, not into the
                # guest, whose loader would reject it with a message on stderr.
                env["QEMU_UNSET_ENV"] = "LD_PRELOAD"
        return env

    def start_daemon(self, tz=ZONE, faketime=None, executable=DAEMON_PATH, pid=None, prefix=(), notify=None):
        """Starts the daemon as installed (behind the emulator, if any); stdout and
        stderr go to a file (it should print nothing). With pid, the PID namespace is
        asked to hand out that id. prefix: a command that runs the daemon as its own
        process, such as strace -D, or one it runs under (valgrind): then find its
        process with find_process. notify: a NotifyCapture, named to the daemon in
        NOTIFY_SOCKET."""
        output = self.path("daemon.out")
        env = self.daemon_env(tz, faketime, notify)
        with open(output, "wb") as out:
            if pid is not None:
                with open("/proc/sys/kernel/ns_last_pid", "w") as last:
                    last.write(str(pid - 1))
            ids = {}
            if self.user is not None:
                ids = dict(user=self.user.uid, group=self.user.gid,
                           extra_groups=[self.user.gid, self.user.device_gid])
            proc = subprocess.Popen(list(prefix) + self.emulator + [executable], stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=out, env=env, cwd="/", **ids)
        proc.output_path = output
        proc.started = time.monotonic()
        self.daemons.append(proc)
        return proc

    @staticmethod
    def daemon_output(proc):
        with open(proc.output_path, "rb") as f:
            return f.read()

    def exports(self):
        """Names in the export directory (None when it does not exist)."""
        try:
            return sorted(os.listdir(EXPORT_DIR))
        except FileNotFoundError:
            return None

    @staticmethod
    def read_export(name):
        with open(os.path.join(EXPORT_DIR, name), "rb") as f:
            return f.read()

