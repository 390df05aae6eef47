"""Start-up: the handshake with the module, the lock, the line's settings and the table."""

import os
import select
import signal
import subprocess
import termios
import time
import tty

from harness.scenario import configured_memory, expect, expect_equal, pairs_bytes, sb, scenario


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
    expect_equal([(s["size"], s["perms"] & 0o777) for s in tables], [(sb.TABLE_SIZE, 0o600)], "table segment")
    expect_equal(sb.read_table(), [(0, 0, 0, 0)] * sb.TABLE_ENTRIES, "table after start")
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
    run.restart(daemon, sim)
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
    run.restart(daemon, sim)

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
    run.expect_error_exit(daemon, "rc1180 initialize error", 12)
    elapsed = daemon.ended - daemon.started
    expect(5.9 <= elapsed <= 8.0, "exit after %.2f s, expected 1 s drain + 5 s time-out" % elapsed)
    expect_equal(sim.trace_bytes(), b"\x00", "bytes on the line")
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
    run.restart(daemon, sim)

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
    run.expect_error_exit(daemon, "device ttyS1 is locked", 5)
    elapsed = daemon.ended - daemon.started
    expect(1.0 <= elapsed <= 2.6, "gave up after %.2f s, expected between 1 and 2 s of retries" % elapsed)
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
    run.box.settings("MOD_WMBUS_ADDR1=12345678\n")
    daemon = sim = None
    for what, content in cases:
        if daemon is not None:
            run.restart(daemon, sim)
        # Left by an earlier daemon: its user's (postinst removes root's of old versions).
        run.box.plant(sb.LOCK_FILE, content)
        sim = run.sim()
        daemon = run.daemon(pid=own_pid if what == "own pid" else None)
        if what == "own pid":
            expect_equal(daemon.pid, own_pid, "pid handed out by the namespace")
        run.ready(sim, daemon)
        with open(sb.LOCK_FILE, "rb") as f:
            lock = f.read()
        expect_equal(lock, sb.lock_content(daemon.pid), "lock file replacing one of a " + what)
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
    run.expect_error_exit(daemon, "meters initialize error", 8)
    expect_equal(sim.trace_bytes(), b"\x000X", "handshake comes before the table")
    sim.stop()

    sb.Sandbox.write_file(sb.DAEMON_PATH, open(binary, "rb").read())
    os.chmod(sb.DAEMON_PATH, 0o755)
    sb.create_segment(1024)
    sim = run.sim()
    daemon = run.daemon()
    expect_equal(run.wait_exit(daemon, 8), 1, "exit status with a 1024-byte segment")
    run.expect_log(daemon, ["started", "meters initialize error"], settle=0)


CHECK_TABLE = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                           "packaging", "norvalith-check-table")


def check_table(run):
    """The unit's check before a start, as root; the notices it logged."""
    count = len(run.box.log.snapshot())
    subprocess.run(["sh", CHECK_TABLE], check=True, env={"PATH": sb.PATH})
    time.sleep(0.3)
    return [(m.tag, m.facility, m.priority, m.text) for m in run.box.log.snapshot()[count:]]


@scenario("startup", timeout=60, root=True, tags=("unprivileged",))
def startup_foreign_table(run):
    """Another user's segment under the table's key: while a process is attached the
    check before start leaves it and start-up fails; once unused the check removes it,
    says so, and the daemon starts with a table of its own."""
    own = run.box.user or sb.DaemonUser()
    # The package's user, whose uid the check reads: the daemon's.
    passwd = run.box.path("passwd")
    with open("/etc/passwd") as host, open(passwd, "w") as f:
        f.writelines(line for line in host if not line.startswith("norvalith:"))
        f.write("norvalith:x:%d:%d::/nonexistent:/usr/sbin/nologin\n" % (own.uid, own.gid))
    sb.mount(passwd, "/etc/passwd", bind=True)
    other = sb.DaemonUser(own.uid + 1, own.gid + 1)
    foreign = sb.create_segment(sb.TABLE_SIZE, user=other)

    reader = sb.attached_segment(foreign)
    expect_equal(check_table(run), [], "notices with a process attached")
    expect_equal([s["shmid"] for s in sb.segments()], [foreign], "segments with a process attached")
    sim = run.sim()
    run.expect_error_exit(run.daemon(), "meters initialize error", 8)
    sim.stop()
    os.kill(reader, signal.SIGKILL)
    os.waitpid(reader, 0)

    notice = "removed a shared-memory segment under the table's key (id %d, %d bytes, created by uid %d)" % (
        foreign, sb.TABLE_SIZE, other.uid)
    expect_equal(check_table(run), [("Norvalith", sb.LOG_DAEMON, sb.LOG_NOTICE, notice)], "notices once unused")
    sim, daemon = run.start()
    daemon_uid = run.box.user.uid if run.box.user else 0
    expect_equal([(s["size"], s["cuid"]) for s in sb.segments()], [(sb.TABLE_SIZE, daemon_uid)], "the daemon's own table")
    run.expect_alive(daemon)
