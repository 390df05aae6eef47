#!/usr/bin/env python3
"""How often telegrams merge into one frame and so are never seen by the daemon.

The reader joins everything that arrives within 200 ms of a frame's first byte into
that frame; the daemon decodes only the frame's start. For each rate, rc1180-sim
sends Poisson traffic from --meters generated meters in a sandbox while the daemon
runs under strace; its reads, cut into frames and lined up with the simulator's
--sent log, tell which telegrams began a frame. Measured, not modelled: the table
also gives what the send times alone predict, and the Poisson expectations for a
window counted from the frame's first byte (x/(1+x), x = rate * 0.2 s) and for a
window renewed after every read (1 - e^-x).

    merge_rate.py --daemon PATH --sim PATH [--rates 0.2,1,2,5] [--seconds 120] [--meters 100]
                  [--seed S] [--jobs 2]

Prints a Markdown table. Exit status 77 when no sandbox can be made or strace is missing.
"""

import argparse
import json
import math
import os
import signal
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(ROOT, "scripts"))
sys.path.insert(0, os.path.join(ROOT, "tests", "system"))
import sandbox as sb  # noqa: E402
import traffic  # noqa: E402

SKIP = 77
END_MARGIN_MS = 1000  # telegrams this close to the end may still be in a frame being read


def start_traced_daemon(box, trace_path):
    output = box.path("daemon.out")
    with open(output, "wb") as out:
        proc = subprocess.Popen(traffic.strace_command(trace_path, [sb.DAEMON_PATH]), stdin=subprocess.DEVNULL,
                                stdout=out, stderr=out, env=box.daemon_env("Europe/Berlin"), cwd="/")
    box.daemons.append(proc)
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        pid = traffic.find_process(sb.DAEMON_PATH)
        if pid is not None:
            return proc, pid
        time.sleep(0.01)
    raise sb.SandboxError("the daemon did not start under strace")


def measure(options):
    """One rate, inside a sandbox: a JSON line with the counts."""
    box = sb.Sandbox()
    box.enter(options.daemon, options.sim)
    try:
        box.settings("")
        box.version("2.0")
        sim = box.start_sim("--generate", options.meters, "--rate", options.rate, "--seed", options.seed)
        trace_path = box.path("strace")
        proc, pid = start_traced_daemon(box, trace_path)
        deadline = time.monotonic() + 20
        while not sim.trace_bytes().endswith(b"X"):
            if time.monotonic() > deadline or proc.poll() is not None:
                raise sb.SandboxError("no handshake; log %s" % box.log.snapshot())
            time.sleep(0.05)
        time.sleep(options.seconds)
        end_ms = time.monotonic() * 1000
        sim.stop()
        time.sleep(0.5)
        os.kill(pid, signal.SIGKILL)
        proc.wait()

        trace = traffic.read_trace(trace_path)
        bursts = traffic.line_up(sim.sent(), trace)
        telegrams = [b for b in bursts if b.kind == "telegram" and b.frame is not None
                     and b.ms < end_ms - END_MARGIN_MS]
        model = traffic.model_seen(telegrams)
        first, last = telegrams[0].ms, telegrams[-1].ms
        result = {
            "rate": options.rate, "telegrams": len(telegrams), "seen": sum(b.seen for b in telegrams),
            "seconds": (last - first) / 1000.0,
            "frames": len({id(b.frame) for b in telegrams}),
            "model_unseen": sum(1 for m in model if not m),
            "model_agree": sum(1 for b, m in zip(telegrams, model) if b.seen == m),
        }
        print(json.dumps(result))
        return 0
    finally:
        box.close()


def run_rate(options, rate):
    argv = [sys.executable, os.path.abspath(__file__), "--inside", "--daemon", options.daemon, "--sim", options.sim,
            "--seconds", str(options.seconds), "--meters", str(options.meters), "--seed", str(options.seed),
            "--rate", str(rate)]
    done = subprocess.run(sb.unshare_command(argv), capture_output=True, text=True,
                          env=dict(os.environ, PATH=sb.PATH), timeout=options.seconds + 120)
    lines = [line for line in done.stdout.splitlines() if line.startswith("{")]
    if done.returncode != 0 or not lines:
        raise RuntimeError("rate %s: %s" % (rate, (done.stderr or done.stdout).strip()[-2000:]))
    return json.loads(lines[-1])


def wilson(k, n, z=1.96):
    """95 % score interval of a share k/n (binomial; merges come in clusters, so take it as rough)."""
    p = k / n
    centre = (p + z * z / (2 * n)) / (1 + z * z / n)
    half = z * math.sqrt(p * (1 - p) / n + z * z / (4 * n * n)) / (1 + z * z / n)
    return max(0.0, centre - half), min(1.0, centre + half)


def table(results):
    rows = ["| Rate (telegrams/s) | Telegrams | Never seen (measured, 95 % interval) | Predicted from send times "
            "| Poisson, window from first byte | Poisson, window renewed |",
            "|---:|---:|---:|---:|---:|---:|"]
    for r in results:
        n = r["telegrams"]
        unseen = n - r["seen"]
        share = unseen / n
        low, high = wilson(unseen, n)
        window, renewed = traffic.poisson_unseen(n / r["seconds"] if r["seconds"] > 0 else r["rate"])
        rows.append("| %g (%.2f measured) | %d | %d = %.1f %% (%.1f–%.1f) | %.1f %% (%d of %d agree) "
                    "| %.1f %% | %.1f %% |"
                    % (r["rate"], n / r["seconds"], n, unseen, 100 * share, 100 * low, 100 * high,
                       100.0 * r["model_unseen"] / n, r["model_agree"], n, 100 * window, 100 * renewed))
    return "\n".join(rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--daemon", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--rates", default="0.2,1,2,5")
    parser.add_argument("--rate", type=float, help=argparse.SUPPRESS)
    parser.add_argument("--seconds", type=float, default=120)
    parser.add_argument("--meters", type=int, default=100)
    parser.add_argument("--seed", type=int, default=1180)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()
    options.daemon, options.sim = os.path.abspath(options.daemon), os.path.abspath(options.sim)
    if options.inside:
        return measure(options)

    if not traffic.strace_available():
        print("SKIP: strace not installed (Debian package strace)")
        return SKIP
    reason = sb.probe()
    if reason is not None:
        print("SKIP: " + reason)
        return SKIP
    rates = [float(r) for r in options.rates.split(",")]
    print("merge-rate: %d meters, %g s per rate, seed %d, %s" % (
        options.meters, options.seconds, options.seed, time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())),
        flush=True)
    with ThreadPoolExecutor(max_workers=max(1, options.jobs)) as pool:
        results = list(pool.map(lambda r: run_rate(options, r), rates))
    print(table(results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
