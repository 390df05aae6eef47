"""Soak test: the daemon for about MINUTES (default 10) on busy random traffic with
line noise across a local midnight, on a loaded machine, checked against what it
reports itself.

In a sandbox (harness.sandbox), rc1180-sim plays 300 meters: 240 generated at
random (Poisson, --rate per second in all) and 60 replayed ones, of which 40 are
configured in the settings (one of them in two slots) and 20 carry the id of a
configured meter under another manufacturer, with garbage bursts of random bytes
after a share --garbage of telegrams and no minimum gap, so telegrams collide as
they do on the air. --load N processes spin beside the daemon for the whole run.
The faked clock starts a few minutes before midnight (Europe/Berlin).

The daemon rewrites its metrics file at most once a minute: the module is stopped
between two bursts a few seconds before the next write is due (within half a
minute of MINUTES), so that write holds every telegram the daemon handled. Then,
against the simulator's --sent log:

  - never seen: the telegrams sent less norvalith_telegrams_total, at most 0.1 %;
    the daemon may count more than were sent only as far as phantoms are allowed;
  - phantom entries: table entries of an id that no telegram carried, at most 1 %
    of the garbage bursts sent;
  - every table entry of an id sent has the RSSI byte of the last telegram with
    that id as its trailer, and the type and manufacturer of one of them; where
    the counts show no loss, the entries are the first 128 ids sent, in order;
  - exports: at most one file per configured meter and day, each holding a whole
    telegram with that id sent that day (the day's first, where the counts show no
    loss), a file wherever such a telegram was sent (unless the losses could
    explain its absence), and no other file;
  - the log holds the start-up messages, one report of the day that ended at
    midnight (its count is the telegram counter written at the change of day, less
    what that pass handled; its exports agree with the files), and, once the
    module is gone, one read error, nothing else;
  - resident memory and open descriptors, sampled every 10 s, stay flat after the
    first minute.

    PYTHONPATH=tests python3 tests/system/soak.py --daemon PATH --sim PATH [--minutes M] [--seed S] [--rate R]
                                                  [--replay-rate R] [--garbage P] [--load N]

Exit status 0 when every check holds, 1 otherwise, 77 when no sandbox can be made.
"""

import datetime
import os
import random
import signal
import sys
import time
import zoneinfo

from harness import sandbox as sb
from harness.facts import SKIP, TABLE_ENTRIES, ZONE
from harness.load import busy
from harness.telegrams import (ExportError, expected_raw, meter_element, meter_info, meters_settings, parse_export,
                               random_manufacturer, telegram, volume_payload)

SAMPLE_SECONDS = 10
MIDNIGHT_SLACK = 1.5  # seconds either side of midnight in which a telegram's date is not certain
METRICS_PERIOD = 59  # the least time between two metrics writes, in whole seconds of the daemon's clock
SETTLE = 3.0  # seconds after the module's last byte by which the daemon has handled it
STOP_WINDOW = 30  # the module is stopped this close to MINUTES, where the next metrics write falls
BYTE_MS = 10 * 1000 / 19200  # one byte at 19200 bit/s


# ---------------------------------------------------------------- traffic

def make_telegram(meter, counter):
    meter_id, manufacturer, device_type = meter
    return telegram(meter_id, manufacturer, device_type, payload=volume_payload(counter, counter * 7))


def replay_meters(rng):
    """40 configured meters and 20 more with the ids of the first 20 under other manufacturers."""
    ids = rng.sample(range(10000000, 99999999), 48)
    configured = [(i, random_manufacturer(rng), rng.choice((0x04, 0x06, 0x07, 0x16))) for i in ids[:40]]
    colliding = []
    for meter_id, taken, device_type in configured[:20]:
        other = random_manufacturer(rng)
        while other == taken:
            other = random_manufacturer(rng)
        colliding.append((meter_id, other, device_type))
    return configured, colliding, ids[40:]


def write_replay(path, rng, meters, seconds, rate):
    """Poisson traffic from the replayed meters for the whole run ("DELAY_MS HEX" lines)."""
    counters = {}
    elapsed = 0.0
    lines = []
    while elapsed < seconds + 60:
        delay = rng.expovariate(rate)
        elapsed += delay
        meter = rng.choice(meters)
        counters[meter] = counters.get(meter, 0) + 1
        lines.append("%d %s" % (round(delay * 1000), make_telegram(meter, counters[meter]).hex().upper()))
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    return len(lines)


def settings_text(configured, silent):
    return meters_settings([m[0] for m in configured] + silent + [configured[0][0]])


def stop_between_bursts(sim):
    """Stops rc1180-sim while its line is idle, so every burst of its --sent log went
    out whole and nothing follows; returns the monotonic time of the stop."""
    while True:
        records = sim.sent()
        now_ms = time.monotonic() * 1000
        if sim.proc.poll() is not None:
            return now_ms / 1000
        if not records or records[-1][0] + len(records[-1][2]) * BYTE_MS + 20 < now_ms:
            os.kill(sim.proc.pid, signal.SIGSTOP)
            sb.wait_until(lambda: sb.proc_stat(sim.proc.pid)[3] in "tT", 2, "rc1180-sim to stop", 0.005)
            if len(sim.sent()) == len(records):
                return now_ms / 1000
            os.kill(sim.proc.pid, signal.SIGCONT)  # a burst began meanwhile
        time.sleep(0.05)


# ---------------------------------------------------------------- the daemon's reports

class Metrics:
    """Every version of the metrics file seen: [(monotonic time written, {series: value})]."""

    def __init__(self):
        self.writes = []
        self.offset = time.time() - time.monotonic()

    def poll(self):
        try:
            with open(sb.METRICS_PATH) as f:
                text = f.read()
                written = os.fstat(f.fileno()).st_mtime - self.offset
        except FileNotFoundError:
            return
        if not self.writes or written != self.writes[-1][0]:
            values = {}
            for line in text.splitlines():
                if line and not line.startswith("#"):
                    series, _, value = line.rpartition(" ")
                    values[series] = float(value)
            self.writes.append((written, values))

    def last_written(self):
        return self.writes[-1][0] if self.writes else float("-inf")

    def first_since(self, moment):
        return next((w for w in self.writes if w[0] >= moment), None)


class Clock:
    """The daemon's faked local time for a monotonic time of this process."""

    def __init__(self, fake_start, daemon_start):
        self.fake_start, self.daemon_start = fake_start, daemon_start
        self.zone = zoneinfo.ZoneInfo(ZONE)

    def fake(self, mono):
        return self.fake_start + (mono - self.daemon_start)

    def date(self, mono):
        return datetime.datetime.fromtimestamp(self.fake(mono), self.zone).strftime("%Y-%m-%d")

    def dates(self, mono):
        """Dates a telegram sent at this time may have been filed under, allowing for the slack."""
        return sorted({self.date(mono - MIDNIGHT_SLACK), self.date(mono + MIDNIGHT_SLACK)})


# ---------------------------------------------------------------- checks

def check_table(table, sent, no_loss, failures):
    """(phantom ids, entries used) of the shared table, against the telegrams sent."""
    last, kinds, order = {}, {}, []
    for _, data in sent:
        meter_id, device_type, manufacturer, trailer = meter_info(data)
        if meter_id not in last:
            order.append(meter_id)
        last[meter_id] = trailer
        kinds.setdefault(meter_id, set()).add((device_type, manufacturer))
    used = [e for e in table if e[0] != 0]
    phantoms = [e[0] for e in used if e[0] not in last]
    trailers = [(e[0], e[3], last[e[0]]) for e in used if e[0] in last and e[3] != last[e[0]]]
    others = [e for e in used if e[0] in last and (e[1], e[2]) not in kinds[e[0]]]
    if trailers:
        failures.append("%d table entries whose trailer is not the RSSI byte of that id's last telegram "
                        "(id, trailer, expected): %s" % (len(trailers), trailers[:5]))
    if others:
        failures.append("%d table entries with a type and manufacturer that no telegram of the id carried: %s"
                        % (len(others), others[:5]))
    if no_loss and not phantoms and [e[0] for e in used] != order[:TABLE_ENTRIES]:
        failures.append("table ids are not the first %d ids sent, in order: %s..., expected %s..."
                        % (TABLE_ENTRIES, [e[0] for e in used][:8], order[:8]))
    return phantoms, used, len(trailers)


def read_exports(box, failures):
    """{(id, date): (raw copy, store time)} of the export files."""
    names = box.exports() or []
    stray = [n for n in names if not n.endswith(".xml") or n.startswith(".")]
    if stray:
        failures.append("files other than exports in %s: %s" % (sb.EXPORT_DIR, stray))
    files = {}
    for name in names:
        if name in stray:
            continue
        try:
            push, raw = parse_export(box.read_export(name))
            utime = int(meter_element(push, "StoreTime").get("utime"))
            meter_id, date = name[:-4].split("_")
            files[(int(meter_id), date)] = (raw, utime)
        except (ExportError, AttributeError, ValueError) as error:
            failures.append("%s does not parse: %s" % (name, error))
    return files


def check_exports(files, sent, configured_ids, clock, losses, failures):
    """Each file holds a whole telegram of its meter sent that day, the day's first
    where no loss is shown; a file for every configured meter sent on a day."""
    by_id = {}
    for ms, data in sent:
        by_id.setdefault(meter_info(data)[0], []).append((ms / 1000, data))
    wrong, late = [], []
    for (meter_id, date), (raw, utime) in sorted(files.items()):
        if meter_id not in configured_ids:
            wrong.append((meter_id, date, "not configured"))
            continue
        that_day = [(t, d) for t, d in by_id.get(meter_id, []) if date in clock.dates(t)]
        matching = [i for i, (t, d) in enumerate(that_day)
                    if expected_raw(d) == raw and abs(utime - clock.fake(t)) <= 3]
        if not matching:
            wrong.append((meter_id, date, raw.hex()))
            continue
        # Near midnight the day's first may be any up to the first certainly of that day.
        first = next((i for i, (t, _) in enumerate(that_day) if clock.dates(t) == [date]), len(that_day) - 1)
        if not losses and matching[0] > first:
            late.append((meter_id, date, matching[0]))
    if wrong:
        failures.append("%d exports hold no telegram of their meter sent that day: %s" % (len(wrong), wrong[:5]))
    if late:
        failures.append("%d exports hold a later telegram than the day's first, though none was lost "
                        "(id, date, telegram of the day): %s" % (len(late), late[:5]))
    certain = {}
    for meter_id in configured_ids:
        for t, _ in by_id.get(meter_id, []):
            dates = clock.dates(t)
            if len(dates) == 1:
                certain[(meter_id, dates[0])] = certain.get((meter_id, dates[0]), 0) + 1
    missing = sorted(k for k, count in certain.items() if k not in files and count > losses)
    if missing:
        failures.append("no export for %d configured meters sent on a day: %s" % (len(missing), missing[:5]))


def check_log(messages, slots, files, ended, report_bounds, failures):
    """Start-up messages, the settings' notice of the meter in two slots, the report
    of the day that ended at midnight, and the read error once the module went away;
    nothing else."""
    report = [m for m in messages if m.startswith("day ")]
    missing = [m for m in messages if m.startswith("not exported on ")]
    # The meter in two slots, as the settings' notice names it.
    twice = [m for m in messages if m.startswith("settings line ")]
    if len(twice) != 1 or not twice[0].endswith(" is in MOD_WMBUS_ADDR1 too"):
        failures.append("settings notices: %s" % twice)
    others = [m for m in messages if m not in report and m not in missing and m not in twice]
    errors = others[2:]
    if others[:2] != ["started", "rc1180 successfully initialized"] or len(errors) != 1 \
            or not errors[0].startswith("read: "):
        failures.append("log: %s" % messages[:10])
    exported = [i for i in slots if (i, ended) in files]
    not_exported = [i for i in slots if (i, ended) not in files]
    low, high = report_bounds
    expected = ["day %s: %d telegrams, %d of %d meters exported" % (ended, t, len(exported), len(slots))
                for t in range(low, high + 1)]
    if len(report) != 1 or report[0] not in expected:
        failures.append("day report %s, expected one of %s" % (report, expected[:1] + expected[-1:]))
    ids = " ".join("%08d" % i for i in not_exported)
    lists = [ids[k:k + 16 * 9 - 1] for k in range(0, len(ids), 16 * 9)]
    if missing != ["not exported on %s: %s" % (ended, part) for part in lists]:
        failures.append("meters not exported: %s, expected %d ids" % (missing, len(not_exported)))


# ---------------------------------------------------------------- the run

def run_soak(options):
    seconds = options.minutes * 60
    rng = random.Random(options.seed)
    lead = min(180.0, seconds / 3)
    zone = zoneinfo.ZoneInfo(ZONE)
    midnight = datetime.datetime(2024, 3, 6, tzinfo=zone)
    ended = (midnight - datetime.timedelta(days=1)).strftime("%Y-%m-%d")
    fake_start = (midnight - datetime.timedelta(seconds=lead)).timestamp()
    faketime = "@" + datetime.datetime.fromtimestamp(fake_start, zone).strftime("%Y-%m-%d %H:%M:%S")

    box = sb.Sandbox()
    box.enter(options.daemon, options.sim)
    try:
        with busy(options.load):
            return soak(options, box, rng, seconds, fake_start, faketime, ended)
    finally:
        box.close()


def soak(options, box, rng, seconds, fake_start, faketime, ended):
    configured, colliding, silent = replay_meters(rng)
    box.settings(settings_text(configured, silent))
    box.version("2.0")
    replay = box.path("replay")
    replayed = write_replay(replay, rng, configured + colliding, seconds + STOP_WINDOW, options.replay_rate)
    sim = box.start_sim("--generate", 240, "--rate", options.rate, "--replay", replay, "--min-gap-ms", 0,
                        "--garbage", options.garbage, "--seed", options.seed)
    proc = box.start_daemon(faketime=faketime)
    pid = proc.pid
    clock = Clock(fake_start, proc.started)
    if not sb.wait_until(lambda: sim.trace_bytes().endswith(b"X"), 20, None):
        print("FAIL: no handshake; log: %s" % box.log.snapshot())
        return 1
    started = time.monotonic()
    print("soak: about %g min from %s (%s), seed %d; 240 generated meters at %.2f/s, 60 replayed at %.2f/s "
          "(%d telegrams), garbage %.2f, %d busy processes; daemon pid %d"
          % (options.minutes, faketime[1:], ZONE, options.seed, options.rate, options.replay_rate, replayed,
             options.garbage, options.load, pid), flush=True)

    metrics = Metrics()
    samples = []
    failures = []
    day_write = report_at = None
    while True:
        elapsed = time.monotonic() - started
        if proc.poll() is not None:
            failures.append("the daemon ended after %.0f s" % elapsed)
            break
        metrics.poll()
        if report_at is None:
            report = [m for m in box.log.snapshot(pid) if m.text.startswith("day ")]
            # The report goes out in the pass that writes the metrics for the new day.
            report_at = report[0].received - 0.1 if report else None
        if report_at is not None and day_write is None:
            day_write = metrics.first_since(report_at)
        if elapsed >= len(samples) * SAMPLE_SECONDS:
            status = sb.proc_status(pid)
            status["t"] = elapsed
            samples.append(status)
            if len(samples) % 6 == 1:
                print("  %4.0f s  VmRSS %5d kB  VmHWM %5d kB  fds %d  cpu %.2f s  telegrams sent %d"
                      % (elapsed, status["VmRSS"], status["VmHWM"], status["fds"], status["cpu"],
                         len(sim.sent("telegram"))), flush=True)
        # Stop a few seconds before the next metrics write is due.
        due = time.monotonic() - metrics.last_written() >= METRICS_PERIOD - SETTLE - 2
        if (elapsed >= seconds - STOP_WINDOW and due) or elapsed >= seconds + STOP_WINDOW:
            break
        time.sleep(1 - (time.monotonic() - started) % 1)

    stopped = stop_between_bursts(sim)
    final = None
    if not failures:
        final = sb.wait_until(lambda: metrics.poll() or metrics.first_since(stopped + SETTLE),
                              METRICS_PERIOD + SETTLE + 8, None, 0.2)
        if not final:
            failures.append("no metrics written within %d s after the module's last burst"
                            % (METRICS_PERIOD + SETTLE + 8))
        if day_write is None:
            failures.append("no metrics written at the change of day (report %s)" % (report_at is not None))
    table = sb.read_table()
    status = sb.proc_status(pid) if proc.poll() is None else None
    # The module goes away: the daemon must log the failing line once.
    os.kill(sim.proc.pid, signal.SIGKILL)
    sim.stop()
    if not failures and not sb.wait_until(lambda: any(m.text.startswith("read: ") for m in box.log.snapshot(pid)),
                                          8, None):
        failures.append("no read error logged after the module went away")
    messages = [m.text for m in box.log.snapshot(pid)]
    proc.kill()
    proc.wait()
    if box.daemon_output(proc).strip():
        failures.append("output on stdout/stderr: %r" % box.daemon_output(proc)[:200])

    sent = sim.telegrams()
    garbage = sim.sent("garbage")
    values = final[1] if final else (metrics.writes[-1][1] if metrics.writes else {})
    counted = int(values.get("norvalith_telegrams_total", 0))
    unseen = len(sent) - counted
    allowed_phantoms = len(garbage) // 100
    ids_sent = {meter_info(d)[0] for _, d in sent}
    phantoms, used, trailers = check_table(table, sent, unseen == 0, failures)
    if unseen > 0.001 * len(sent):
        failures.append("%d of %d telegrams never seen (%.2f %%, at most 0.1 %%)"
                        % (unseen, len(sent), 100.0 * unseen / max(1, len(sent))))
    if -unseen > allowed_phantoms:
        failures.append("the daemon counted %d telegrams more than were sent (at most %d: 1 %% of %d garbage bursts)"
                        % (-unseen, allowed_phantoms, len(garbage)))
    if len(phantoms) > allowed_phantoms:
        failures.append("%d table entries of meters never sent (at most %d: 1 %% of %d garbage bursts): %s"
                        % (len(phantoms), allowed_phantoms, len(garbage), phantoms[:10]))

    configured_ids = {m[0] for m in configured} | set(silent)
    slots = [m[0] for m in configured] + silent + [configured[0][0]]
    files = read_exports(box, failures)
    # A telegram made up hides one lost from the count.
    check_exports(files, sent, configured_ids, clock, abs(unseen) + len(phantoms), failures)
    if day_write is not None:
        # That pass's telegrams count into the new day: at most those sent in its last second or two.
        in_pass = sum(1 for ms, _ in sent if day_write[0] - SETTLE <= ms / 1000 <= day_write[0])
        at_change = int(day_write[1].get("norvalith_telegrams_total", 0))
        bounds = (max(0, at_change - in_pass), at_change)
    else:
        bounds = (0, len(sent))
    check_log(messages, slots, files, ended, bounds, failures)

    steady = [s for s in samples if s["t"] >= 60] or samples
    for key in ("VmRSS", "fds"):
        series = [s[key] for s in steady]
        if series and max(series) != min(series):
            failures.append("%s not flat after the first minute: %d .. %d" % (key, min(series), max(series)))

    days = {}
    for _, date in files:
        days[date] = days.get(date, 0) + 1
    skipped = values.get("norvalith_garbage_bytes_total")
    run_seconds = stopped - started
    print("telegrams sent %d (%.2f/s), counted by the daemon %d, never seen %d (%.2f %%); garbage bursts %d "
          "(%d bytes), skipped as garbage by the daemon %s bytes"
          % (len(sent), len(sent) / run_seconds, counted, unseen, 100.0 * unseen / max(1, len(sent)), len(garbage),
             sum(len(g[2]) for g in garbage), "no count of" if skipped is None else "%d" % skipped))
    print("table entries used %d, distinct ids sent %d; entries of meters never sent %d, wrong trailers %d"
          % (len(used), len(ids_sent), len(phantoms), trailers))
    print("exports per day: %s; configured meters 48, exported %d"
          % (", ".join("%s: %d" % d for d in sorted(days.items())), len({k[0] for k in files})))
    print("day report %s; telegram counter at the change of day %s"
          % ([m for m in messages if m.startswith("day ")], "unknown" if day_write is None
             else "%d, of which that pass's at most %d" % (bounds[1], bounds[1] - bounds[0])))
    for key, unit in (("VmRSS", "kB"), ("VmHWM", "kB"), ("fds", "")):
        series = [s[key] for s in samples]
        print("%-6s min %d max %d %s (%d samples every %d s)" % (key, min(series), max(series), unit,
                                                                len(series), SAMPLE_SECONDS))
    if status:
        print("cpu    %.2f s in %.0f s (%.3f %% of one core)"
              % (status["cpu"], run_seconds, 100 * status["cpu"] / run_seconds))
    for failure in failures:
        print("FAIL: " + failure)
    print("soak %s" % ("FAILED" if failures else "passed"))
    return 1 if failures else 0


def main():
    parser = sb.tool_parser(__doc__)
    parser.add_argument("--minutes", type=float, default=10)
    parser.add_argument("--seed", type=int, default=20240305)
    parser.add_argument("--rate", type=float, default=1.0, help="generated telegrams per second")
    parser.add_argument("--replay-rate", type=float, default=0.5, help="replayed telegrams per second")
    parser.add_argument("--garbage", type=float, default=0.05, help="chance of a garbage burst after a telegram")
    parser.add_argument("--load", type=int, default=2, help="busy processes beside the daemon")
    options = sb.tool_options(parser)
    if options.inside:
        return run_soak(options)
    reason = sb.skip_reason()
    if reason is None and (sb.faketime_library() is None or not sb.zone_available(ZONE)):
        reason = "libfaketime or time zone data missing (Debian packages faketime, tzdata)"
    if reason is not None:
        print("SKIP: " + reason)
        return SKIP
    return sb.run_inside().returncode


if __name__ == "__main__":
    sys.exit(main())
