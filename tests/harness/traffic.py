"""What the daemon made of the emulated module's traffic.

The daemon runs under strace (reads and readiness waits of its line, with the bytes
in hex); its reads are cut into frames exactly as one pass of its loop took them: a
frame is everything read between two first-byte waits (the wait over all
FD_SETSIZE descriptors): the burst the reader returned and, after a poll of the
line, the rest of a telegram that the burst cut off. The daemon's rules divide each
frame into the telegrams it handled (pieces); lined up with rc1180-sim's --sent log,
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
_POLL = re.compile(r"^\[\{fd=(\d+),")
_READ = re.compile(r'^(\d+), "((?:\\x[0-9a-f]{2})*)"(\.\.\.)?, \d+\) += (-?\d+)')
_WAIT = re.compile(r"^(\d+), \[([\d ]*)\]")


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
        self.burst = None  # bytes read_frame returned, when a completion followed

    @property
    def n(self):
        return len(self.data) if self.burst is None else self.burst

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
            elif call in ("poll", "ppoll"):
                # The loop asks whether the rest of a cut telegram follows.
                polled = _POLL.match(rest)
                if polled and line_fd is not None and int(polled.group(1)) == line_fd and current is not None \
                        and current.burst is None:
                    current.burst = len(current.data)
            elif call in ("select", "pselect6"):
                wait = _WAIT.match(rest)
                if wait and int(wait.group(1)) == FD_SETSIZE:
                    # A first-byte wait: whatever follows is a new frame.
                    fds = wait.group(2).split()
                    if line_fd is None and fds:
                        line_fd = int(fds[0])
                    current = None
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
    starts = {f.offset + start for f in trace.frames for start, _ in pieces(f, split)}
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

def pieces(frame, split=True):
    """(start, size) in frame.data of each telegram the daemon handled, in order: an
    exact run of telegrams (length byte L, L more bytes, L at least 9) is split; a
    telegram cut off at the end of the burst and completed from the line is one
    piece, the run before it the others; anything else is taken whole. Pieces that
    hold no header are left out. split=False: the whole frame, as a daemon that did
    not split."""
    data = frame.data
    n = frame.n
    out = []
    at = 0
    if split:
        while at < n and data[at] >= MIN_LENGTH_BYTE and at + data[at] + 1 <= n:
            out.append((at, data[at] + 1))
            at += data[at] + 1
    if not (out and at == n):
        missing = at + data[at] + 1 - n if split and at < n and data[at] >= MIN_LENGTH_BYTE else 0
        got = len(data) - n
        if missing and got and (got == missing or n + missing > RX_CAPACITY):
            # Completed, or taken on its own after the run before it made room.
            out.append((at, n - at + got))
        else:
            out = [(0, len(data))]
    return [(start, size) for start, size in out if meter_info(data[start:start + size]) is not None]


def handled(frames, split=True):
    """(frame, bytes) of every piece the daemon handled, in order."""
    return [(f, bytes(f.data[start:start + size])) for f in frames for start, size in pieces(f, split)]


def table_after(frames, split=True):
    """The shared table after the daemon handled these frames, entry for entry."""
    table = [[0, 0, 0, 0] for _ in range(TABLE_ENTRIES)]
    for _, data in handled(frames, split):
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
