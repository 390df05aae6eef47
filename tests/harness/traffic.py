"""The bursts of rc1180-sim's --sent log, and how many frames a reader with a given
window would make of them (the end-to-end benchmark's count of passes).
"""

from harness.facts import BURST_ALLOWANCE_MS


class Burst:
    """One burst rc1180-sim put on the line (from its --sent log)."""

    def __init__(self, ms, kind, data):
        self.ms, self.kind, self.data = ms, kind, bytes(data)

    def __repr__(self):
        return "Burst(%d %s %s)" % (self.ms, self.kind, self.data.hex())


def model_seen(bursts, window_ms=BURST_ALLOWANCE_MS, renewed=False):
    """Which bursts would begin a frame of a reader with this window, from the send
    times alone (renewed: the window restarts at every burst, as under libfaketime,
    whose select() does not report the time left)."""
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
