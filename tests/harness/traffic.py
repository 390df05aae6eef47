"""What the daemon made of the emulated module's traffic.

The daemon runs under strace (reads and readiness waits of its line, with the bytes
in hex); its reads are cut into frames exactly as one pass of its loop took them: a
frame is everything read between two first-byte waits (the wait over all
FD_SETSIZE descriptors), and a wait that timed out is a frame with nothing in it.
The daemon's framing, replayed pass by pass (a cut telegram kept for the next
pass), divides them into the telegrams it handled (pieces); lined up with rc1180-sim's --sent log,
that tells which bursts the daemon saw (a piece began with them) and which it never
saw, and whether any piece began where nothing began (a phantom).

The same helpers replay the daemon's table rule and export rule over the pieces, so
a run can be checked against what the daemon actually received, and sample its
memory and descriptors. Used by the soak, the merge rate and the end-to-end
benchmark.
"""

import math
import re

from harness.facts import BURST_ALLOWANCE_MS, MIN_LENGTH_BYTE, RX_CAPACITY, TABLE_ENTRIES
from harness.telegrams import meter_info

FD_SETSIZE = 1024

STRACE_TRACE = "trace=execve,read,select,pselect6,poll,ppoll"
_CALL = re.compile(r"^(\d+\.\d+) (execve|read|select|pselect6|poll|ppoll)\((.*)$")
_READ = re.compile(r'^(\d+), "((?:\\x[0-9a-f]{2})*)"(\.\.\.)?, \d+\) += (-?\d+)')
_WAIT = re.compile(r"^(\d+), \[([\d ]*)\]")
_TIMED_OUT = re.compile(r"tv_sec=(\d+).*\) = 0 \(Timeout\)$")


def strace_command(output, argv, tracee_env=None):
    """argv under strace, writing its trace to output. tracee_env goes to the traced
    program only (so a preloaded library such as libfaketime stays out of strace)."""
    command = ["strace", "-o", output, "-ttt", "-xx", "-s", "8192", "-e", STRACE_TRACE]
    for key, value in (tracee_env or {}).items():
        command += ["-E", "%s=%s" % (key, value)]
    return command + list(argv)


class Frame:
    """One pass of the loop: when its first byte was read, and its bytes."""

    def __init__(self, time, data=b""):
        self.time = time
        self.data = bytearray(data)
        self.offset = 0  # position of its first byte in everything the daemon read

    def __repr__(self):
        return "Frame(%.3f, %s)" % (self.time, bytes(self.data).hex())


class Trace:
    def __init__(self, exec_time, line_fd, frames):
        self.exec_time = exec_time
        self.line_fd = line_fd
        self.frames = frames


def read_trace(path):
    """Parses an strace output file of the daemon into frames of its serial line."""
    exec_time = None
    line_fd = None
    frames = []
    current = None
    with open(path, errors="replace") as f:
        for text in f:
            match = _CALL.match(text)
            if match is None:
                continue
            stamp, call, rest = float(match.group(1)), match.group(2), match.group(3)
            if call == "execve":
                exec_time = exec_time if exec_time is not None else stamp
            elif call in ("select", "pselect6"):
                wait = _WAIT.match(rest)
                if wait and int(wait.group(1)) == FD_SETSIZE:
                    # A first-byte wait: whatever follows is a new frame.
                    fds = wait.group(2).split()
                    if line_fd is None and fds:
                        line_fd = int(fds[0])
                    current = None
                    timed_out = _TIMED_OUT.search(rest)
                    if timed_out and line_fd is not None:
                        # A pass with nothing read: a kept cut telegram's rest never came.
                        frames.append(Frame(stamp + int(timed_out.group(1))))
            else:
                read = _READ.match(rest)
                if read is None or line_fd is None or int(read.group(1)) != line_fd:
                    continue
                count = int(read.group(4))
                if count <= 0:
                    continue
                data = bytes.fromhex(read.group(2).replace("\\x", ""))
                if len(data) != count:
                    raise ValueError("strace cut a read of %d bytes to %d" % (count, len(data)))
                if current is None:
                    current = Frame(stamp)
                    frames.append(current)
                current.data += data
    offset = 0
    for frame in frames:
        frame.offset = offset
        offset += len(frame.data)
    return Trace(exec_time, line_fd, frames)


class Burst:
    """One burst rc1180-sim put on the line (from its --sent log)."""

    def __init__(self, ms, kind, data):
        self.ms, self.kind, self.data = ms, kind, bytes(data)
        self.offset = 0
        self.frame = None  # the frame it went into, once lined up
        self.seen = False  # a piece the daemon handled began with it: it decoded its header

    def __repr__(self):
        return "Burst(%d %s %s)" % (self.ms, self.kind, self.data.hex())


def line_up(sent_records, trace, split=True):
    """Bursts from Simulator.sent() records, each marked with the frame it went into
    and whether the daemon saw it (split=False: the rules of a daemon that decoded
    only the start of each frame). Raises ValueError when the daemon read anything
    other than what was sent, in that order."""
    bursts = [Burst(ms, kind, data) for ms, kind, data in sent_records]
    offset = 0
    for burst in bursts:
        burst.offset = offset
        offset += len(burst.data)
    stream = b"".join(b.data for b in bursts)
    read = b"".join(bytes(f.data) for f in trace.frames)
    if not stream.startswith(read):
        at = next((i for i, (a, b) in enumerate(zip(stream, read)) if a != b), min(len(stream), len(read)))
        raise ValueError("the daemon read other bytes than were sent, from byte %d of %d" % (at, len(read)))
    # The loop's framing starts afresh once the module's last answer is read.
    loop_start = max((b.offset + len(b.data) for b in bursts if b.kind == "answer"), default=0)
    starts = {offset for _, _, offset in handled([f for f in trace.frames if f.offset >= loop_start], split)}
    frame_index = 0
    frames = trace.frames
    for burst in bursts:
        if burst.offset >= len(read):
            break  # sent, not read before the end of the run
        while frame_index + 1 < len(frames) and frames[frame_index + 1].offset <= burst.offset:
            frame_index += 1
        burst.frame = frames[frame_index]
        burst.seen = burst.offset in starts
    return bursts


# ---------------------------------------------------------------- the daemon's rules

# The framing of the daemon's loop, pass by pass (src/telegram/framing.cpp): the
# soak and the merge measurement compare what it did with what this says it must.
RSSI_COUNTED, RSSI_APPENDED = 1, 2
HEADER_BYTES = 10
_MAX_SCORE, _CONFIDENT = 8, 2


def _walk(b, extra):
    """(count, end, missing) of the whole telegrams that follow each other from the start."""
    count = end = missing = 0
    while end < len(b) and b[end] >= MIN_LENGTH_BYTE:
        following = end + b[end] + extra
        if following > len(b):
            missing = following - len(b)
            break
        count, end = count + 1, following
    return count, end, missing


def _quality(w, size):
    return 2 if w[1] == size else (1 if w[2] else 0)


def _pieces_like(b, at, extra, control):
    count = 0
    while at + 1 < len(b) and b[at] >= MIN_LENGTH_BYTE:
        count += b[at + 1] == control
        at += b[at] + extra
    return count


def _agreeing(b, w, extra):
    count = at = 0
    for _ in range(w[0]):
        count += b[at + 1] == b[1]
        at += b[at] + extra
    return count


class Framer:
    def __init__(self):
        self.score, self.pending, self.extra, self.alone = 0, b"", RSSI_COUNTED, False


def _plan(framer, buf, fresh):
    """(alone, start, extra, walk, cut_alone) of one pass over kept + fresh bytes."""
    kept = len(framer.pending)
    was_alone, framer.alone, framer.pending = framer.alone, False, b""
    alone_before = kept if was_alone and kept >= HEADER_BYTES else 0
    if fresh == 0:
        return alone_before, 0, RSSI_COUNTED, (0, 0, 0), False
    if kept:
        extra = framer.extra
        completed, alone = _walk(buf, extra), _walk(buf[kept:], extra)
        q_alone, q_completed = _quality(alone, fresh), _quality(completed, len(buf))
        after = buf[0] + extra if completed[0] else len(buf)
        a_alone, a_completed = _pieces_like(buf, kept, extra, buf[1]), _pieces_like(buf, after, extra, buf[1])
        tie = q_alone == q_completed
        if q_alone > q_completed or (tie and a_alone > a_completed) or (
                tie and a_alone == a_completed and q_alone == 1 and completed[0] == 0 and alone[0] == 0
                and alone[2] < completed[2]):
            return alone_before, kept, extra, alone, alone[1] == 0
        return 0, 0, extra, completed, completed[0] == 0 and was_alone
    counted, appended = _walk(buf, RSSI_COUNTED), _walk(buf, RSSI_APPENDED)
    confident = abs(framer.score) >= _CONFIDENT
    believed = RSSI_COUNTED if framer.score >= 0 else RSSI_APPENDED
    extra = believed
    by_counted = counted[0] > 0 and counted[1] == len(buf)
    by_appended = appended[0] > 0 and appended[1] == len(buf)
    if by_counted != by_appended:
        w, shown = (counted, RSSI_COUNTED) if by_counted else (appended, RSSI_APPENDED)
        votes = min(w[0], _MAX_SCORE)
        framer.score = max(-_MAX_SCORE, min(_MAX_SCORE, framer.score + (votes if by_counted else -votes)))
        extra = believed if w[0] == 1 and confident else shown
    elif not by_counted:
        a, b = _agreeing(buf, counted, RSSI_COUNTED), _agreeing(buf, appended, RSSI_APPENDED)
        if a != b:
            extra = RSSI_COUNTED if a > b else RSSI_APPENDED
    w = counted if extra == RSSI_COUNTED else appended
    return 0, 0, extra, w, w[1] == 0


def handled(frames, split=True):
    """(frame, bytes, offset) of every telegram the daemon handled, in order; offset
    counts from the first byte it read. A pass is the bytes kept from the last one
    (a cut telegram) and the frame's. split=False: each frame whole, as a daemon
    that decoded only the start of each burst."""
    out = []
    if not split:
        out = [(f, bytes(f.data), f.offset) for f in frames if f.data]
        return [(f, d, o) for f, d, o in out if meter_info(d) is not None]
    framer = Framer()
    for f in frames:
        fresh = bytes(f.data)
        buf = framer.pending + fresh
        base = f.offset - len(framer.pending)
        alone, at, extra, w, cut_alone = _plan(framer, buf, len(fresh))
        if alone:
            out.append((f, buf[:alone], base))
        for _ in range(w[0]):
            size = buf[at] + extra
            out.append((f, buf[at:at + size], base + at))
            at += size
        if w[2] and at < len(buf):
            framer.pending, framer.extra, framer.alone = buf[at:], extra, cut_alone
    return [(f, d, o) for f, d, o in out if meter_info(d) is not None]


def table_after(frames, split=True):
    """The shared table after the daemon handled these frames, entry for entry."""
    table = [[0, 0, 0, 0] for _ in range(TABLE_ENTRIES)]
    for _, data, _ in handled(frames, split):
        info = meter_info(data)
        for entry in table:
            if entry[0] == info[0]:
                entry[3] = info[3]
                break
            if entry[0] == 0:
                entry[:] = list(info)
                break
    return [tuple(e) for e in table]


# ---------------------------------------------------------------- merge models

def poisson_unseen(rate, window=BURST_ALLOWANCE_MS / 1000.0):
    """Share of Poisson telegrams never seen, for both ways a reader can time a frame:
    (window from the frame's first byte, as the daemon's reader does; window renewed
    after every read, as under libfaketime, whose select() does not report the time left)."""
    x = rate * window
    return x / (1.0 + x), 1.0 - math.exp(-x)


def model_seen(bursts, window_ms=BURST_ALLOWANCE_MS, renewed=False):
    """Which bursts a reader with this window would have seen, from the send times alone."""
    seen = []
    start = last = None
    for burst in bursts:
        reference = last if renewed else start
        if reference is None or burst.ms - reference >= window_ms:
            start = burst.ms
            seen.append(True)
        else:
            seen.append(False)
        last = burst.ms
    return seen
