"""Busy processes beside the daemon, so that the reader's window falls anywhere."""

import contextlib
import os
import signal
import subprocess
import sys

_SPIN = "while True:\n    pass\n"


@contextlib.contextmanager
def busy(count):
    """COUNT processes spinning at this process's own priority until the block ends."""
    procs = [subprocess.Popen([sys.executable, "-c", _SPIN], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
             for _ in range(max(0, count))]
    try:
        yield procs
    finally:
        for proc in procs:
            with contextlib.suppress(ProcessLookupError):
                os.kill(proc.pid, signal.SIGKILL)
            proc.wait()
