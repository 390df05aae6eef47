"""How many telegrams the daemon never sees, and how many meters it makes up.

The reader joins everything that arrives within 200 ms of a burst's first byte, and
at line rate its window cuts telegrams. For each rate, rc1180-sim sends Poisson
traffic from --meters generated meters (or, for the rate "full", back to back at
19200 bit/s) in a sandbox, in UART-sized chunks, while the daemon runs under
strace; its reads, cut into the passes of its loop, divided by its rules into the
telegrams it handled and lined up with the simulator's --sent log, tell which
telegrams it saw. The shared table, read at the end, tells the phantom entries:
ids that no telegram carried. Targets: at most 0.5 % never seen at every rate,
full rate included, and no phantom entry. --rssi-appended sends telegrams whose
length byte leaves the RSSI byte out; --pause-share P pauses 60-300 ms inside
that share of telegrams, as a loaded UART may.

--whole-frames measures a daemon that decoded only the start of each burst (the
rules before telegrams were split), for a comparison.

    PYTHONPATH=tests python3 bench/e2e/merge_rate.py --daemon PATH --sim PATH [--rates 0.2,1,2,5,full] [--seconds 120] [--meters 100]
                                                      [--seed S] [--chunk 16] [--jobs 2] [--whole-frames]
                                                      [--rssi-appended] [--pause-share 0.05]

Prints a Markdown table. Exit status 1 when a target is missed, 77 when no sandbox
can be made or strace is missing.
"""

import argparse
import json
import math
import os
import signal
import sys
import time
from concurrent.futures import ThreadPoolExecutor

from harness import sandbox as sb
from harness import traffic
from harness.facts import SKIP
from harness.telegrams import decoded_id

END_MARGIN_MS = 1000  # telegrams this close to the end may still be in a frame being read


def measure(options):
    """One rate, inside a sandbox: a JSON line with the counts."""
    box = sb.Sandbox()
    box.enter(options.daemon, options.sim)
    try:
        box.settings("")
        box.version("2.0")
        if options.rate == "full":
            source = ["--full-rate", "--gap-ms", 0]
        else:
            source = ["--rate", options.rate]
        if options.rssi_appended:
            source.append("--rssi-appended")
        if options.pause_share:
            source += ["--pause-share", options.pause_share]
        sim = box.start_sim("--generate", options.meters, *source, "--seed", options.seed, "--chunk", options.chunk)
        trace_path = box.path("strace")
        proc = box.start_daemon(strace=trace_path)
        pid = sb.traced_pid(proc)
        sim.wait_handshake(proc, 20)
        time.sleep(options.seconds)
        end_ms = time.monotonic() * 1000
        sim.stop()
        time.sleep(0.5)
        table = sb.read_table()
        os.kill(pid, signal.SIGKILL)
        proc.wait()

        trace = traffic.read_trace(trace_path)
        bursts = traffic.line_up(sim.sent(), trace, split=not options.whole_frames)
        # A paused telegram's first part may end before its id: joined to its rest.
        whole = [b.data + (n.data if n.kind == "rest" else b"") for b, n in zip(bursts, bursts[1:] + bursts[:1])
                 if b.kind == "telegram"]
        sent_ids = {decoded_id(data) for data in whole if len(data) >= 8}
        telegrams = [b for b in bursts if b.kind == "telegram" and b.frame is not None
                     and b.ms < end_ms - END_MARGIN_MS]
        first, last = telegrams[0].ms, telegrams[-1].ms
        result = {
            "rate": options.rate, "telegrams": len(telegrams), "seen": sum(b.seen for b in telegrams),
            "seconds": (last - first) / 1000.0,
            "passes": len({id(b.frame) for b in telegrams}),
            "completed": sum(1 for i, b in enumerate(bursts) if b.kind == "telegram" and b.seen and (
                b.offset + len(b.data) > b.frame.offset + len(b.frame.data)
                or (i + 1 < len(bursts) and bursts[i + 1].kind == "rest" and bursts[i + 1].frame is not b.frame))),
            "phantoms": sum(1 for e in table if e[0] != 0 and e[0] not in sent_ids),
            "entries": sum(1 for e in table if e[0] != 0),
        }
        print(json.dumps(result))
        return 0
    finally:
        box.close()


def run_rate(options, rate):
    argv = ["--daemon", options.daemon, "--sim", options.sim, "--seconds", str(options.seconds), "--meters", str(options.meters), "--seed", str(options.seed),
            "--rate", str(rate), "--chunk", str(options.chunk), "--pause-share", str(options.pause_share)] + (
                ["--whole-frames"] if options.whole_frames else []) + (["--rssi-appended"] if options.rssi_appended else [])
    done = sb.run_inside(argv, capture_output=True, text=True, timeout=options.seconds + 120)
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
    rows = ["| Rate (telegrams/s) | Telegrams | Never seen (95 % interval) | Passes of the loop | Completed "
            "| Table entries | Phantom entries |",
            "|---:|---:|---:|---:|---:|---:|---:|"]
    for r in results:
        n = r["telegrams"]
        unseen = n - r["seen"]
        low, high = wilson(unseen, n)
        rate = "full" if r["rate"] == "full" else "%g" % float(r["rate"])
        rows.append("| %s (%.2f measured) | %d | %d = %.2f %% (%.2f–%.2f) | %d | %d | %d | %d |"
                    % (rate, n / r["seconds"], n, unseen, 100.0 * unseen / n, 100 * low, 100 * high, r["passes"],
                       r["completed"], r["entries"], r["phantoms"]))
    return "\n".join(rows)


def missed(results):
    """The targets this run missed, as texts."""
    out = []
    for r in results:
        share = (r["telegrams"] - r["seen"]) / r["telegrams"]
        limit = 0.005
        if share > limit:
            out.append("rate %s: %.2f %% never seen (at most %g %%)" % (r["rate"], 100 * share, 100 * limit))
        if r["phantoms"]:
            out.append("rate %s: %d phantom entries" % (r["rate"], r["phantoms"]))
    return out


def main():
    parser = sb.tool_parser(__doc__)
    parser.add_argument("--rates", default="0.2,1,2,5,full")
    parser.add_argument("--rate", help=argparse.SUPPRESS)
    parser.add_argument("--chunk", type=int, default=16, help="bytes per UART chunk (rc1180-sim --chunk)")
    parser.add_argument("--whole-frames", action="store_true",
                        help="analyse a daemon that decoded only the start of each burst")
    parser.add_argument("--rssi-appended", action="store_true",
                        help="the module's length byte leaves the RSSI byte out (rc1180-sim --rssi-appended)")
    parser.add_argument("--pause-share", type=float, default=0,
                        help="share of telegrams with a 60-300 ms pause inside (rc1180-sim --pause-share)")
    parser.add_argument("--seconds", type=float, default=120)
    parser.add_argument("--meters", type=int, default=100)
    parser.add_argument("--seed", type=int, default=1180)
    parser.add_argument("--jobs", type=int, default=2)
    options = sb.tool_options(parser)
    if options.inside:
        return measure(options)
    reason = sb.skip_reason("strace")
    if reason is not None:
        print("SKIP: " + reason)
        return SKIP
    rates = options.rates.split(",")
    print("merge-rate: %d meters, %g s per rate, seed %d, %d-byte chunks%s%s%s, %s" % (
        options.meters, options.seconds, options.seed, options.chunk,
        ", whole frames" if options.whole_frames else "",
        ", length byte without the RSSI byte" if options.rssi_appended else "",
        ", pauses inside %g %% of telegrams" % (100 * options.pause_share) if options.pause_share else "", time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())),
        flush=True)
    with ThreadPoolExecutor(max_workers=max(1, options.jobs)) as pool:
        results = list(pool.map(lambda r: run_rate(options, r), rates))
    print(table(results))
    failures = missed(results)
    for failure in failures:
        print("target missed: " + failure)
    return 1 if failures and not options.whole_frames else 0


if __name__ == "__main__":
    sys.exit(main())
