"""End-to-end benchmark: the daemon as shipped, in a sandbox, driven by rc1180-sim.

  cpu         60 s at the full 19200 bit/s with gaps that keep telegrams apart
              (--full-rate --gap-ms 210), and 60 s back to back (--gap-ms 0): CPU
              seconds of the daemon per 1,000 telegrams (utime + stime from
              /proc/PID/stat, and the nanosecond run time from /proc/PID/schedstat),
              share of one core, peak resident memory (VmHWM, with the anonymous part).
  idle        60 s on a quiet line: wake-ups (voluntary context switches) per minute.
  callgrind   the daemon under valgrind --tool=callgrind for two telegram counts at
              --gap-ms 210; the difference divided by the difference in counts is the
              cost of one telegram (user-space instructions), in all and from
              read_frame's return to the next wait (the clock readings and receive,
              the loop's pass).
  memcheck    the same under valgrind's memcheck: heap allocations of the two runs;
              the difference over the count difference is the allocations per telegram.

No telegram needs an export: the settings name no meter. 50 generated meters, so the
table holds 50 entries. The daemon runs as under its unit: a service manager's notify
socket listens (WATCHDOG=1 at every pass) and /run/Norvalith takes its metrics.

    PYTHONPATH=tests python3 bench/e2e/bench_e2e.py --daemon PATH --sim PATH [--only cpu,idle,callgrind,memcheck]
                                                    [--seconds 60] [--counts 100,400] [--chunk 16] [--jobs 2]

The module hands bytes over as a UART does, 16 at a time (--chunk; 0 writes each
burst at once, as a line that delivers whole bursts would).

Prints a Markdown summary. Exit status 77 when no sandbox can be made.
"""

import argparse
import json
import os
import platform
import re
import signal
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

from harness import sandbox as sb
from harness import traffic
from harness.facts import BURST_ALLOWANCE_MS, SKIP

METERS = 50
SEED = 4711
CHUNK = 16  # rc1180-sim --chunk, set from the command line
SEPARATE_GAP_MS = BURST_ALLOWANCE_MS + 10  # plus the transmission time: more than the reader's window


def schedstat_ns(pid):
    with open("/proc/%d/schedstat" % pid) as f:
        return int(f.read().split()[0])


def memory(pid):
    values = {}
    with open("/proc/%d/smaps_rollup" % pid) as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("Rss", "Pss", "Anonymous", "Private_Clean", "Private_Dirty", "Shared_Clean"):
                values[key] = int(rest.split()[0])
    return values


def rss_by_file(pid):
    """Resident kB per mapped file ("[anon]" for the rest), largest first."""
    totals = {}
    name = "[anon]"
    with open("/proc/%d/smaps" % pid) as f:
        for line in f:
            fields = line.split()
            if fields and "-" in fields[0] and len(fields) >= 5 and not fields[0].endswith(":"):
                name = os.path.basename(fields[5]) if len(fields) > 5 and fields[5].startswith("/") else "[anon]"
            elif fields and fields[0] == "Rss:":
                totals[name] = totals.get(name, 0) + int(fields[1])
    return sorted(totals.items(), key=lambda item: -item[1])


def start(box, sim_args, wrapper=()):
    """rc1180-sim with the given sources and the daemon (optionally under a wrapper such as
    valgrind); returns (sim, proc, pid) once the handshake is over."""
    box.settings("")
    box.version("2.0")
    sim = box.start_sim(*sim_args, "--chunk", CHUNK)
    # As under its unit: a service manager listening, and /run/Norvalith for the metrics.
    proc = box.start_daemon(prefix=wrapper, notify=box.notify_socket())
    try:
        sim.wait_handshake(proc, 60)
    except sb.SandboxError as error:
        raise sb.SandboxError("%s; log %s; output %r" % (error, box.log.snapshot(), box.daemon_output(proc)[-500:]))
    return sim, proc, proc.pid


def telegrams_between(sim, start_ms, end_ms):
    return [r for r in sim.sent("telegram") if start_ms <= r[0] < end_ms]


def cpu_run(box, gap_ms, seconds):
    sim, proc, pid = start(box, ["--generate", METERS, "--full-rate", "--gap-ms", gap_ms, "--seed", SEED])
    time.sleep(2)
    before, before_ns, t0 = sb.proc_status(pid), schedstat_ns(pid), time.monotonic()
    time.sleep(seconds)
    after, after_ns, t1 = sb.proc_status(pid), schedstat_ns(pid), time.monotonic()
    sent = telegrams_between(sim, t0 * 1000, t1 * 1000)
    bursts = [traffic.Burst(ms, kind, data) for ms, kind, data in sent]
    frames = sum(traffic.model_seen(bursts))
    mem = memory(pid)
    alive = proc.poll() is None
    return {"gap_ms": gap_ms, "seconds": t1 - t0, "telegrams": len(sent),
            "bytes": sum(len(r[2]) for r in sent), "frames_model": frames,
            "cpu_ticks_s": after["cpu"] - before["cpu"], "cpu_ns": after_ns - before_ns,
            "VmHWM": after["VmHWM"], "VmRSS": after["VmRSS"], "anon": mem.get("Anonymous"),
            "rss_file": mem.get("Rss", 0) - mem.get("Anonymous", 0), "alive": alive,
            "rss_by_file": rss_by_file(pid)[:6],
            "log": [m.text for m in box.log.snapshot(pid)]}


def idle_run(box, seconds):
    sim, proc, pid = start(box, [])
    time.sleep(1)
    before, before_ns, t0 = sb.proc_status(pid), schedstat_ns(pid), time.monotonic()
    time.sleep(seconds)
    after, after_ns, t1 = sb.proc_status(pid), schedstat_ns(pid), time.monotonic()
    return {"seconds": t1 - t0,
            "voluntary": after["voluntary_ctxt_switches"] - before["voluntary_ctxt_switches"],
            "involuntary": after["nonvoluntary_ctxt_switches"] - before["nonvoluntary_ctxt_switches"],
            "cpu_ns": after_ns - before_ns, "VmHWM": after["VmHWM"],
            "log": [m.text for m in box.log.snapshot(pid)]}


def valgrind_run(box, tool, count):
    """The daemon under valgrind for `count` separate telegrams, ended with SIGTERM once the
    line is quiet (before its next 5 s wait ends, so no idle pass differs between runs)."""
    out = box.path(tool)
    wrapper = ["valgrind", "--tool=" + tool]
    wrapper += ["--callgrind-out-file=" + out] if tool == "callgrind" else ["--log-file=" + out]
    sim, proc, pid = start(box, ["--generate", METERS, "--full-rate", "--gap-ms", SEPARATE_GAP_MS, "--seed", SEED,
                                 "--count", count], wrapper)
    sim.wait_sent(count, "telegram", timeout=count * 2 + 30)
    sb.wait_until(lambda: sim.unread() == 0, 10, None)
    time.sleep(1.0)
    os.kill(pid, signal.SIGTERM)
    proc.wait(60)
    result = {"tool": tool, "count": count, "log": [m.text for m in box.log.snapshot(pid)]}
    if tool == "callgrind":
        annotated = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", "--show-percs=no",
                                    "--auto=no", out], capture_output=True, text=True).stdout
        result["total"] = int(re.search(r"^([\d,]+) +\(100\.0%\) +PROGRAM TOTALS|^([\d,]+) +PROGRAM TOTALS",
                                        annotated, re.M).group(0).split()[0].replace(",", ""))
        for name in ("read_wall_clock", "monotonic_seconds", "receive_pass", "handle_burst", "check_day", "handle_telegram", "read_frame", "decode_header", "record_meter",
                     "export_due_meters", "plan_pass", "check_silence", "note_telegram", "watch_pass",
                     "notify"):
            match = re.search(r"^ *([\d,]+) .*norvalith::%s\(" % name, annotated, re.M)
            result[name] = int(match.group(1).replace(",", "")) if match else 0
    else:
        with open(out) as f:
            text = f.read()
        match = re.search(r"total heap usage: ([\d,]+) allocs, ([\d,]+) frees, ([\d,]+) bytes", text)
        result["allocs"], result["frees"], result["bytes"] = (int(g.replace(",", "")) for g in match.groups())
    return result


def inside(options):
    box = sb.Sandbox()
    box.enter(options.daemon, options.sim)
    try:
        if options.task == "cpu":
            result = cpu_run(box, options.gap_ms, options.seconds)
        elif options.task == "idle":
            result = idle_run(box, options.seconds)
        else:
            result = valgrind_run(box, options.task, options.count)
        print(json.dumps(result))
        return 0
    finally:
        box.close()


def run_task(options, task, **extra):
    argv = ["--daemon", options.daemon, "--sim", options.sim, "--task", task, "--seconds", str(options.seconds), "--chunk", str(options.chunk)]
    for key, value in extra.items():
        argv += ["--" + key.replace("_", "-"), str(value)]
    done = sb.run_inside(argv, capture_output=True, text=True, timeout=1800)
    lines = [line for line in done.stdout.splitlines() if line.startswith("{")]
    if done.returncode != 0 or not lines:
        raise RuntimeError("%s %s: %s" % (task, extra, (done.stderr or done.stdout).strip()[-2000:]))
    return json.loads(lines[-1])


def machine():
    model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return "%d cores (nproc), %s, %s, kernel %s; %s" % (
        os.cpu_count(), model, platform.machine(), platform.release(),
        time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()))


def report(results, options):
    lines = ["machine: " + machine(), "daemon: " + options.daemon, ""]
    targets = []

    def target(what, value, goal, met):
        targets.append("  %-48s %-12s %-10s %s" % (what, value, goal, "met" if met else "NOT MET"))

    for r in results.get("cpu", []):
        core = 100.0 * r["cpu_ns"] / 1e9 / r["seconds"]
        target("CPU, --full-rate --gap-ms %d" % r["gap_ms"], "%.3f %%" % core, "< 1 %", core < 1)
        target("VmHWM, --full-rate --gap-ms %d" % r["gap_ms"], "%d kB" % r["VmHWM"], "< 2048 kB", r["VmHWM"] < 2048)
        per_k_ticks = 1000 * r["cpu_ticks_s"] / max(1, r["telegrams"])
        per_k_ns = 1000 * r["cpu_ns"] / 1e9 / max(1, r["telegrams"])
        lines.append("cpu, --gap-ms %d: %d telegrams (%d bytes, %.0f %% of the line) in %.1f s, ~%d frames "
                     "(model); CPU %.2f s by /proc/stat = %.3f s per 1,000 telegrams; run time %.4f s by "
                     "schedstat = %.4f s per 1,000 telegrams, %.4f %% of one core; VmHWM %d kB (anonymous %s kB, "
                     "file-backed %s kB); log %s"
                     % (r["gap_ms"], r["telegrams"], r["bytes"], 100.0 * r["bytes"] * 10 / 19200 / r["seconds"],
                        r["seconds"], r["frames_model"], r["cpu_ticks_s"], per_k_ticks, r["cpu_ns"] / 1e9, per_k_ns,
                        100.0 * r["cpu_ns"] / 1e9 / r["seconds"], r["VmHWM"], r["anon"], r["rss_file"], r["log"]))
        lines.append("  resident kB by mapping: " + ", ".join("%s %d" % tuple(item) for item in r["rss_by_file"]))
    if "idle" in results:
        r = results["idle"]
        per_minute = 60.0 * r["voluntary"] / r["seconds"]
        target("wake-ups per minute, quiet line", "%.1f" % per_minute, "12", round(per_minute) == 12)
        lines.append("idle: %.1f s, %d voluntary and %d involuntary context switches = %.1f wake-ups per minute; "
                     "run time %.2f ms; log %s" % (r["seconds"], r["voluntary"], r["involuntary"],
                                                    60.0 * r["voluntary"] / r["seconds"], r["cpu_ns"] / 1e6, r["log"]))
    for tool in ("callgrind", "memcheck"):
        runs = sorted(results.get(tool, []), key=lambda r: r["count"])
        if len(runs) < 2:
            continue
        a, b = runs[0], runs[-1]
        n = b["count"] - a["count"]
        if tool == "callgrind":
            pass_names = ("read_wall_clock", "monotonic_seconds", "handle_burst", "watch_pass")
            loop = sum(b[k] - a[k] for k in pass_names) / n
            total = (b["total"] - a["total"]) / n
            target("instructions per telegram, in all", "%.0f" % total, "<= 5000", total <= 5000)
            target("instructions, read_frame's return to next wait", "%.0f" % loop, "< 20000", loop < 20000)
            parts = ", ".join("%s %.0f" % (k, (b[k] - a[k]) / n) for k in
                              ("read_frame", "read_wall_clock", "monotonic_seconds", "handle_burst", "check_day", "handle_telegram", "plan_pass", "decode_header",
                               "record_meter", "export_due_meters", "check_silence", "note_telegram", "watch_pass",
                               "notify"))
            lines.append("callgrind: %d and %d telegrams: %s and %s instructions in all; per telegram %.0f in all, "
                         "%.0f from read_frame's return to the next wait (clock readings, handle_burst and watch_pass); inclusive: %s"
                         % (a["count"], b["count"], format(a["total"], ","), format(b["total"], ","),
                            (b["total"] - a["total"]) / n, loop, parts))
        else:
            target("heap allocations per telegram", "%.3f" % ((b["allocs"] - a["allocs"]) / n), "0",
                   b["allocs"] == a["allocs"])
            lines.append("memcheck: %d telegrams: %d allocs (%d bytes); %d telegrams: %d allocs (%d bytes); "
                         "%.3f allocations per telegram" % (a["count"], a["allocs"], a["bytes"], b["count"],
                                                            b["allocs"], b["bytes"], (b["allocs"] - a["allocs"]) / n))
    if targets:
        lines += ["", "targets:"] + targets
    return "\n".join(lines)


def main():
    parser = sb.tool_parser(__doc__)
    parser.add_argument("--only", default="cpu,idle,callgrind,memcheck")
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--counts", default="100,400")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--chunk", type=int, default=16,
                        help="bytes per UART chunk (rc1180-sim --chunk; 0: whole bursts at once)")
    parser.add_argument("--task", help=argparse.SUPPRESS)
    parser.add_argument("--gap-ms", type=int, default=SEPARATE_GAP_MS, help=argparse.SUPPRESS)
    parser.add_argument("--count", type=int, help=argparse.SUPPRESS)
    options = sb.tool_options(parser)
    global CHUNK
    CHUNK = options.chunk
    if options.inside:
        return inside(options)
    reason = sb.probe()
    if reason is not None:
        print("SKIP: " + reason)
        return SKIP
    only = options.only.split(",")
    counts = [int(c) for c in options.counts.split(",")]
    jobs = []
    if "cpu" in only:
        jobs += [("cpu", dict(gap_ms=SEPARATE_GAP_MS)), ("cpu", dict(gap_ms=0))]
    if "idle" in only:
        jobs.append(("idle", {}))
    for tool in ("callgrind", "memcheck"):
        if tool in only:
            if subprocess.run(["which", "valgrind"], capture_output=True).returncode != 0:
                print("valgrind not installed: no %s figures" % tool)
                continue
            jobs += [(tool, dict(count=c)) for c in counts]
    results = {}
    with ThreadPoolExecutor(max_workers=max(1, options.jobs)) as pool:
        futures = [(task, pool.submit(run_task, options, task, **extra)) for task, extra in jobs]
        for task, future in futures:
            result = future.result()
            if task == "idle":
                results["idle"] = result
            else:
                results.setdefault(task, []).append(result)
    print(report(results, options))
    return 0


if __name__ == "__main__":
    sys.exit(main())
