"""How many telegrams the daemon never sees, and how many meters it makes up.

For each row, rc1180-sim sends Poisson traffic from --meters generated meters at a
rate (or, for the rate "full", back to back at 19200 bit/s) in UART-sized chunks to
the daemon in a sandbox, with its /run/Norvalith. The counts come from what the daemon
itself reports once the module has finished its line and the daemon has read it all:

- never seen: telegrams the simulator sent (its --sent log) less the daemon's
  norvalith_telegrams_total, from its metrics file once that holds the last telegram;
- phantom entries: table entries whose id no telegram sent carried;
- wrong trailers: table entries of a meter sent whose trailer is not the RSSI byte of
  that meter's last telegram;
- garbage: the noise bursts sent, and norvalith_garbage_bytes_total, the bytes the
  daemon skipped as no telegram.

Rows (by default all of these):

- rates 1, 5 and 30 telegrams/s and the full rate, in both length conventions (the
  length byte counting the RSSI byte, L + 1 bytes on the line, and leaving it out,
  L + 2), each with pauses of 60-300 ms inside 5 % of telegrams, noise bursts of 1-40
  random bytes after 5 % of them and 2 busy processes at the daemon's priority, so the
  reader's window falls anywhere;
- the full rate in both conventions on a clean stream, with the machine otherwise idle.

Any of --rates, --conventions, --load, --garbage, --pause-share runs only the rows
RATES x CONVENTIONS under the conditions given (those not given as in the loaded
rows). Each row runs --seeds times (seed k is --seed + k) and the table shows its
worst run (the highest share never seen; the highest phantom and wrong-trailer counts
of all its runs). Rows under load run --jobs at a time; rows without load run alone.

Targets in every run: at most 0.1 % never seen, no wrong trailer, and no phantom
entry, or with noise at most one per 100 noise bursts sent.

    PYTHONPATH=tests python3 bench/e2e/merge_rate.py --daemon PATH --sim PATH
        [--rates 1,5,30,full] [--conventions counted,appended] [--load 2] [--garbage 0.05]
        [--pause-share 0.05] [--seconds 60] [--seeds 3] [--seed 1180] [--meters 100]
        [--chunk 16] [--jobs 1]

The daemon rewrites its metrics file at most once a minute: a run's traffic ends up
to 15 s before --seconds where that puts it just before the next write, and the run
waits (up to 70 s) until the file holds the last telegram. Prints a Markdown table.
Exit status 1 when a target is missed, 77 when no sandbox can be made.
"""

import argparse
import ctypes
import json
import math
import os
import re
import subprocess
import sys
import time
from collections import namedtuple
from concurrent.futures import ThreadPoolExecutor

from harness import load
from harness import sandbox as sb
from harness.facts import SKIP
from harness.telegrams import decoded_id

CONVENTIONS = {"counted": ("L + 1", []), "appended": ("L + 2", ["--rssi-appended"])}
LOADED_RATES = ("1", "5", "30", "full")
LOADED = dict(load=2, garbage=0.05, pause_share=0.05)

NEVER_SEEN_LIMIT = 0.001
PHANTOMS_PER_GARBAGE = 0.01

# The daemon's last pass: a 200 ms window, then a cut telegram waits a second for its rest.
SETTLE_S = 2.0
# Metrics are rewritten at most once a minute (59 s at the least, the daemon counting whole
# seconds), at a pass (5 s apart at most on a quiet line).
METRICS_PERIOD_S = 67
METRICS_LEAST_PERIOD_S = 59
METRICS_WAIT_S = 70
# The traffic may end this much before --seconds, so that the next metrics write follows it.
EARLY_S = 15

Row = namedtuple("Row", "rate convention load garbage pause_share")


# ---------------------------------------------------------------- one run, inside a sandbox

def hold_line(pid):
    """A descriptor of the simulator's pty master: once it exits, the line stays up and
    the bytes still queued reach the daemon (a hang-up would discard them)."""
    masters = [int(fd) for fd in os.listdir("/proc/%d/fd" % pid)
               if os.readlink("/proc/%d/fd/%s" % (pid, fd)).endswith("ptmx")]
    if len(masters) != 1:
        raise sb.SandboxError("rc1180-sim holds %d pty masters" % len(masters))
    libc = ctypes.CDLL(None, use_errno=True)
    pidfd = os.pidfd_open(pid)
    try:
        fd = libc.syscall(438, pidfd, masters[0], 0)  # pidfd_getfd
    finally:
        os.close(pidfd)
    if fd < 0:
        raise sb.SandboxError("pidfd_getfd: %s" % os.strerror(ctypes.get_errno()))
    return fd


def run_traffic(seconds):
    """Sleeps through the traffic: seconds, or up to EARLY_S (at most a quarter) less where
    that ends it a few seconds before the daemon's next metrics write, which then holds
    the last telegram (rather than the write a minute later)."""
    start = time.time()
    while True:
        now = time.time()
        if now >= start + seconds:
            return
        try:
            due = os.stat(sb.METRICS_PATH).st_mtime + METRICS_LEAST_PERIOD_S
        except FileNotFoundError:
            due = None
        early = now >= start + seconds - min(EARLY_S, seconds / 4)
        if early and due is not None and 0 < due - now <= SETTLE_S + 4:
            return
        time.sleep(min(0.25, start + seconds - now))


def metrics_settled(mtime, now, quiet):
    """Whether a metrics file written at mtime holds everything handled before quiet:
    written after it, or not rewritten for longer than a change would have waited."""
    return mtime >= quiet or now > mtime + METRICS_PERIOD_S


def read_metrics(quiet):
    """{series: value} of the metrics file once it is settled (see metrics_settled)."""
    deadline = quiet + METRICS_WAIT_S
    while True:
        try:
            mtime = os.stat(sb.METRICS_PATH).st_mtime
        except FileNotFoundError:
            mtime = None
        now = time.time()
        if mtime is not None and metrics_settled(mtime, now, quiet):
            with open(sb.METRICS_PATH) as f:
                samples = [line.split() for line in f if line.strip() and not line.startswith("#")]
            return {s[0]: float(s[1]) for s in samples if len(s) == 2}
        if now > deadline:
            raise sb.SandboxError("%s not rewritten within %d s of the last telegram"
                                  % (sb.METRICS_PATH, METRICS_WAIT_S))
        time.sleep(0.5)


def count_run(sim, table, metrics):
    """The counts of one run from the simulator's --sent log, the table's entries and
    the daemon's metrics."""
    telegrams = sim.telegrams()
    last = {}  # id -> that meter's last telegram
    for _, data in telegrams:
        if len(data) >= 8:
            last[decoded_id(data)] = data
    entries = [e for e in table if e[0] != 0]
    counted = int(metrics["norvalith_telegrams_total"])
    garbage_bytes = metrics.get("norvalith_garbage_bytes_total")
    return {
        "telegrams": len(telegrams),
        "seconds": (telegrams[-1][0] - telegrams[0][0]) / 1000.0 if len(telegrams) > 1 else 0.0,
        "counted": counted,
        "never_seen": len(telegrams) - counted,
        "garbage_bursts": len(sim.sent("garbage")),
        "garbage_bytes": None if garbage_bytes is None else int(garbage_bytes),
        "entries": len(entries),
        "phantoms": sum(1 for e in entries if e[0] not in last),
        "wrong_trailers": sum(1 for e in entries if e[0] in last and e[3] != last[e[0]][-1]),
    }


def check_sent_log(sim, result):
    """The sent log read as the simulator counted it (its summary on exit)."""
    summary = re.search(r"(\d+) telegrams and (\d+) garbage bursts sent", sim.stderr())
    if summary is not None and (int(summary.group(1)), int(summary.group(2))) != (
            result["telegrams"], result["garbage_bursts"]):
        raise sb.SandboxError("sent log read as %d telegrams and %d garbage bursts; rc1180-sim: %s"
                              % (result["telegrams"], result["garbage_bursts"], summary.group(0)))


def sim_arguments(options):
    source = ["--full-rate", "--gap-ms", 0] if options.rate == "full" else ["--rate", options.rate]
    source += CONVENTIONS[options.convention][1]
    if options.pause_share:
        source += ["--pause-share", options.pause_share]
    if options.garbage:
        source += ["--garbage", options.garbage]
    return ["--generate", options.meters] + source + ["--seed", options.seed, "--chunk", options.chunk]


def measure(options):
    """One run: a JSON line with the counts."""
    box = sb.Sandbox()
    box.enter(options.daemon, options.sim)
    line = None
    try:
        box.settings("")
        box.version("2.0")
        sim = box.start_sim(*sim_arguments(options))
        daemon = box.start_daemon()
        sim.wait_handshake(daemon, 20)
        line = hold_line(sim.proc.pid)
        with load.busy(options.load):
            run_traffic(options.seconds)
            # Sources stop; what is on the line is finished, so every telegram logged is whole.
            sim.command("quit")
            sim.proc.wait(10)
            sb.wait_until(lambda: sim.unread() == 0, 10, "the daemon to read the line", alive=lambda: sb.alive(daemon))
            time.sleep(SETTLE_S)
        quiet = time.time()
        if not sb.alive(daemon):
            raise sb.SandboxError("the daemon exited with status %s" % daemon.returncode)
        result = count_run(sim, sb.read_table(), read_metrics(quiet))
        check_sent_log(sim, result)
        print(json.dumps(result))
        return 0
    finally:
        box.close()
        if line is not None:
            os.close(line)


# ---------------------------------------------------------------- rows and runs, outside

def run_once(options, row, seed):
    """One run's counts, or {"error": text} when it could not be made."""
    argv = ["--daemon", options.daemon, "--sim", options.sim, "--seconds", str(options.seconds),
            "--meters", str(options.meters), "--chunk", str(options.chunk), "--seed", str(seed),
            "--rate", row.rate, "--convention", row.convention, "--load", str(row.load),
            "--garbage", str(row.garbage), "--pause-share", str(row.pause_share)]
    try:
        done = sb.run_inside(argv, capture_output=True, text=True, timeout=options.seconds + METRICS_WAIT_S + 90)
        lines = [line for line in done.stdout.splitlines() if line.startswith("{")]
        error = None if done.returncode == 0 and lines else (
            (done.stderr or done.stdout).strip()[-2000:] or "exit status %d" % done.returncode)
    except subprocess.TimeoutExpired:
        error = "no result within %.0f s" % (options.seconds + METRICS_WAIT_S + 90)
    if error is not None:
        print("merge-rate: %s, seed %d failed: %s" % (describe(row), seed, error), file=sys.stderr, flush=True)
        return {"seed": seed, "error": error.splitlines()[-1]}
    result = dict(json.loads(lines[-1]), seed=seed)
    print("merge-rate: %s, seed %d: %d telegrams, %d never seen, %d phantoms, %d wrong trailers"
          % (describe(row), seed, result["telegrams"], result["never_seen"], result["phantoms"],
             result["wrong_trailers"]), file=sys.stderr, flush=True)
    return result


def run_rows(options, rows):
    """{row: [result per seed]}. Loaded runs go --jobs at a time; an idle one runs alone."""
    runs = [(row, options.seed + k) for row in rows for k in range(options.seeds)]
    results = {row: [] for row in rows}
    loaded = [r for r in runs if r[0].load > 0]
    with ThreadPoolExecutor(max_workers=max(1, options.jobs)) as pool:
        for (row, _), result in zip(loaded, pool.map(lambda r: run_once(options, *r), loaded)):
            results[row].append(result)
    for row, seed in runs:
        if row.load == 0:
            results[row].append(run_once(options, row, seed))
    return results


def measured(results):
    return [r for r in results if "error" not in r]


def share(result):
    return result["never_seen"] / result["telegrams"] if result["telegrams"] else 0.0


def worst(results):
    """A row's worst run (the highest share never seen), with the highest phantom and
    wrong-trailer counts of all its runs."""
    done = measured(results)
    if not done:
        return None
    out = dict(max(done, key=share))
    out["phantoms"] = max(r["phantoms"] for r in done)
    out["wrong_trailers"] = max(r["wrong_trailers"] for r in done)
    out["runs"] = len(done)
    return out


def wilson(k, n, z=1.96):
    """95 % score interval of a share k/n (binomial; merges come in clusters, so take it as rough)."""
    if n == 0:
        return 0.0, 1.0
    p = k / n
    centre = (p + z * z / (2 * n)) / (1 + z * z / n)
    half = z * math.sqrt(p * (1 - p) / n + z * z / (4 * n * n)) / (1 + z * z / n)
    return max(0.0, centre - half), min(1.0, centre + half)


def conditions(row):
    parts = ["%g %% paused" % (100 * row.pause_share)] if row.pause_share else []
    parts += ["%g %% garbage" % (100 * row.garbage)] if row.garbage else []
    parts += ["load %d" % row.load] if row.load else []
    return ", ".join(parts) or "clean, idle"


def describe(row):
    return "rate %s, %s, %s" % (row.rate, CONVENTIONS[row.convention][0], conditions(row))


def table(summaries):
    rows = ["| Rate (telegrams/s) | Length byte | Conditions | Telegrams | Never seen (95 % interval) "
            "| Garbage bursts | Garbage bytes counted | Table entries | Phantom entries | Wrong trailers | Runs |",
            "|---:|:--|:--|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for row, s in summaries:
        if s is None:
            rows.append("| %s | %s | %s | no run completed |||||||| 0 |"
                        % (row.rate, CONVENTIONS[row.convention][0], conditions(row)))
            continue
        n, unseen = s["telegrams"], s["never_seen"]
        low, high = wilson(max(0, unseen), n)
        per_second = n / s["seconds"] if s["seconds"] else 0.0
        rate = "full" if row.rate == "full" else "%g" % float(row.rate)
        garbage_bytes = "–" if s["garbage_bytes"] is None else "%d" % s["garbage_bytes"]
        rows.append("| %s (%.2f measured) | %s | %s | %d | %d = %.2f %% (%.2f–%.2f) | %d | %s | %d | %d | %d | %d |"
                    % (rate, per_second, CONVENTIONS[row.convention][0], conditions(row), n, unseen,
                       100.0 * unseen / n if n else 0.0, 100 * low, 100 * high, s["garbage_bursts"], garbage_bytes,
                       s["entries"], s["phantoms"], s["wrong_trailers"], s["runs"]))
    return "\n".join(rows)


def missed(row, results):
    """The targets a row's runs missed, as texts."""
    out = []
    for r in results:
        what = "%s, seed %d" % (describe(row), r["seed"])
        if "error" in r:
            out.append("%s: failed (%s)" % (what, r["error"]))
            continue
        if r["telegrams"] == 0:
            out.append("%s: no telegram sent" % what)
            continue
        if share(r) > NEVER_SEEN_LIMIT:
            out.append("%s: %.2f %% never seen (at most %g %%)" % (what, 100 * share(r), 100 * NEVER_SEEN_LIMIT))
        if r["wrong_trailers"]:
            out.append("%s: %d wrong trailers" % (what, r["wrong_trailers"]))
        allowed = int(PHANTOMS_PER_GARBAGE * r["garbage_bursts"])
        if r["phantoms"] > allowed:
            out.append("%s: %d phantom entries (at most %d)" % (what, r["phantoms"], allowed))
    return out


def rate_list(text):
    rates = [r.strip() for r in text.split(",") if r.strip()]
    for rate in rates:
        if rate != "full":
            try:
                if float(rate) <= 0:
                    raise ValueError
            except ValueError:
                raise argparse.ArgumentTypeError("not a rate: %s (a positive number or full)" % rate)
    return rates


def convention_list(text):
    names = [c.strip() for c in text.split(",") if c.strip()]
    for name in names:
        if name not in CONVENTIONS:
            raise argparse.ArgumentTypeError("no convention %s (counted, appended)" % name)
    return names


def rows_of(options):
    chosen = (options.rates, options.conventions, options.load, options.garbage, options.pause_share)
    if all(value is None for value in chosen):
        loaded = [Row(rate, c, **LOADED) for rate in LOADED_RATES for c in CONVENTIONS]
        return loaded + [Row("full", c, 0, 0.0, 0.0) for c in CONVENTIONS]
    given = dict(load=options.load, garbage=options.garbage, pause_share=options.pause_share)
    conditions_given = {k: LOADED[k] if v is None else v for k, v in given.items()}
    return [Row(rate, c, **conditions_given) for rate in options.rates or LOADED_RATES
            for c in options.conventions or list(CONVENTIONS)]


def main():
    parser = sb.tool_parser(__doc__)
    parser.add_argument("--rates", type=rate_list, help="telegrams per second, comma-separated; full: back to back")
    parser.add_argument("--conventions", type=convention_list,
                        help="counted (the length byte counts the RSSI byte), appended (it leaves it out; "
                        "rc1180-sim --rssi-appended), comma-separated")
    parser.add_argument("--load", type=int, help="busy processes at the daemon's priority during each row")
    parser.add_argument("--garbage", type=float,
                        help="probability of a noise burst after each telegram (rc1180-sim --garbage)")
    parser.add_argument("--pause-share", type=float,
                        help="share of telegrams with a 60-300 ms pause inside (rc1180-sim --pause-share)")
    parser.add_argument("--seconds", type=float, default=60, help="traffic per run (default 60)")
    parser.add_argument("--seeds", type=int, default=3, help="runs per row, seeds --seed, --seed + 1, ... (default 3)")
    parser.add_argument("--seed", type=int, default=1180)
    parser.add_argument("--meters", type=int, default=100)
    parser.add_argument("--chunk", type=int, default=16, help="bytes per UART chunk (rc1180-sim --chunk)")
    parser.add_argument("--jobs", type=int, default=1, help="loaded runs side by side (default 1)")
    parser.add_argument("--rate", help=argparse.SUPPRESS)
    parser.add_argument("--convention", help=argparse.SUPPRESS)
    options = sb.tool_options(parser)
    if options.inside:
        return measure(options)
    reason = sb.skip_reason()
    if reason is not None:
        print("SKIP: " + reason)
        return SKIP
    rows = rows_of(options)
    print("merge-rate: %d meters, %g s per run, %d seeds from %d, %d-byte chunks, %s" % (
        options.meters, options.seconds, options.seeds, options.seed, options.chunk,
        time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())), flush=True)
    results = run_rows(options, rows)
    print(table([(row, worst(results[row])) for row in rows]))
    failures = [text for row in rows for text in missed(row, results[row])]
    for failure in failures:
        print("target missed: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
