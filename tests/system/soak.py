"""Soak test: the daemon for MINUTES (default 10) on busy random traffic across a
local midnight, checked against what it actually received.

In a sandbox (harness.sandbox), rc1180-sim plays 300 meters: 240 generated at
random (Poisson, --rate per second in all) and 60 replayed ones, of which 40 are
configured in the settings (one of them in two slots) and 20 carry the id of a
configured meter under another manufacturer, with random garbage bursts between
telegrams and no minimum gap, so telegrams collide as they do on the air. The
faked clock starts a few minutes before midnight (Europe/Berlin).

The daemon runs under strace, which records every read of its line: cut into the
passes of its loop, divided by its rules into the telegrams it handled and lined up
with the simulator's --sent log, they say exactly which telegrams the daemon saw.
At the end:

  - the shared table equals the daemon's rule applied to the telegrams it handled:
    the first 128 distinct ids in the order heard, type and manufacturer of the
    first telegram, trailer of the last;
  - every configured meter heard on a day has exactly one file for that day, which
    holds its first telegram of that day, and there is no other file;
  - the log holds the start-up messages, one report of the day that ended at
    midnight (its counts agree with the exports and the telegrams handled), and,
    once the simulator is gone, one read error, nothing else;
  - resident memory and open descriptors, sampled every 10 s, stay flat;
  - no telegram the module sent whole was lost: at most 0.5 % never seen of those
    in passes without garbage (garbage leads the walk from length byte to length
    byte astray for the rest of its pass), and no table entry of a meter that was
    never sent, other than of garbage that happens to look like a header and of
    what the walk took for telegrams after it in the same receive buffer.

    PYTHONPATH=tests python3 tests/system/soak.py --daemon PATH --sim PATH [--minutes M] [--seed S] [--rate R]

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
from harness import traffic
from harness.facts import RX_CAPACITY, SKIP, ZONE
from harness.telegrams import (ExportError, expected_raw, meter_element, meter_info, meters_settings, parse_export,
                               random_manufacturer, telegram, volume_payload)

SAMPLE_SECONDS = 10
MIDNIGHT_SLACK = 1.5  # seconds either side of midnight in which a frame's date is not certain


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


# ---------------------------------------------------------------- expectations

class Clock:
    """The daemon's faked local time for a real time stamp of the trace."""

    def __init__(self, fake_start, exec_time):
        self.fake_start, self.exec_time = fake_start, exec_time
        self.zone = zoneinfo.ZoneInfo(ZONE)

    def fake(self, real):
        return self.fake_start + (real - self.exec_time)

    def date(self, real):
        return datetime.datetime.fromtimestamp(self.fake(real), self.zone).strftime("%Y-%m-%d")

    def dates(self, real):
        """Dates this time stamp may have been filed under, allowing for the slack."""
        return sorted({self.date(real - MIDNIGHT_SLACK), self.date(real + MIDNIGHT_SLACK)})


class Piece:
    """A telegram the daemon handled: its bytes and when its pass began."""

    def __init__(self, frame, data):
        self.time, self.data = frame.time, data


def expected_exports(pieces, configured_ids, clock, choice):
    """{(id, date): piece} for the first telegram of each configured meter and day;
    choice picks the date of passes near midnight (by index into their possible dates)."""
    expected = {}
    uncertain = 0
    last_time = None
    for piece in pieces:
        info = meter_info(piece.data)
        if info is None or info[0] not in configured_ids:
            continue
        dates = clock.dates(piece.time)
        if len(dates) > 1:
            # One clock reading dates a whole pass: its telegrams share the choice.
            if piece.time != last_time:
                uncertain += 1
            date = dates[choice >> (uncertain - 1) & 1]
        else:
            date = dates[0]
        last_time = piece.time
        expected.setdefault((info[0], date), piece)
    return expected, uncertain


def check_exports(box, pieces, configured_ids, clock, failures):
    names = box.exports() or []
    stray = [n for n in names if not n.endswith(".xml") or n.startswith(".")]
    if stray:
        failures.append("files other than exports in %s: %s" % (sb.EXPORT_DIR, stray))
    actual = {}
    for name in names:
        if name in stray:
            continue
        try:
            push, raw = parse_export(box.read_export(name))
            utime = int(meter_element(push, "StoreTime").get("utime"))
        except (ExportError, AttributeError, ValueError) as error:
            failures.append("%s does not parse: %s" % (name, error))
            continue
        meter_id, date = name[:-4].split("_")
        actual[(int(meter_id), date)] = (raw, utime)

    _, uncertain = expected_exports(pieces, configured_ids, clock, 0)
    for choice in range(1 << min(uncertain, 10)):
        expected, _ = expected_exports(pieces, configured_ids, clock, choice)
        if set(expected) != set(actual):
            continue
        wrong = [k for k, frame in expected.items()
                 if actual[k][0] != expected_raw(frame.data)
                 or abs(actual[k][1] - clock.fake(frame.time)) > 3]
        if not wrong:
            return expected
    expected, _ = expected_exports(pieces, configured_ids, clock, 0)
    missing = sorted(set(expected) - set(actual))
    extra = sorted(set(actual) - set(expected))
    wrong = sorted(k for k in set(expected) & set(actual)
                   if actual[k][0] != expected_raw(expected[k].data))
    failures.append("exports differ from the first telegram of each configured meter and day "
                    "(%d passes near midnight): missing %s, unexpected %s, other content %s"
                    % (uncertain, missing[:5], extra[:5], wrong[:5]))
    return expected


def check_log(messages, pieces, slots, exports, clock, failures):
    """Start-up messages, the report of the day that ended at midnight, and the read
    error once the module went away; nothing else."""
    report = [m for m in messages if m.startswith("day ")]
    missing = [m for m in messages if m.startswith("not exported on ")]
    others = [m for m in messages if m not in report and m not in missing]
    errors = others[2:]
    if others[:2] != ["started", "rc1180 successfully initialized"] or len(errors) != 1 \
            or not errors[0].startswith("read: "):
        failures.append("log: %s" % messages[:10])
    days = sorted({date for _, date in exports})
    if len(days) < 2:
        return
    ended = days[0]
    exported = [i for i in slots if (i, ended) in exports]
    not_exported = [i for i in slots if (i, ended) not in exports]
    before = sum(1 for p in pieces if clock.dates(p.time) == [ended])
    near = sum(1 for p in pieces if ended in clock.dates(p.time))
    expected = [("day %s: %d telegrams, %d of %d meters exported" % (ended, t, len(exported), len(slots)))
                for t in range(before, near + 1)]
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
    fake_start = (midnight - datetime.timedelta(seconds=lead)).timestamp()
    faketime = "@" + datetime.datetime.fromtimestamp(fake_start, zone).strftime("%Y-%m-%d %H:%M:%S")

    box = sb.Sandbox()
    box.enter(options.daemon, options.sim)
    try:
        configured, colliding, silent = replay_meters(rng)
        box.settings(settings_text(configured, silent))
        box.version("2.0")
        replay = box.path("replay")
        replayed = write_replay(replay, rng, configured + colliding, seconds, options.replay_rate)
        sim = box.start_sim("--generate", 240, "--rate", options.rate, "--replay", replay, "--min-gap-ms", 0,
                            "--garbage", options.garbage, "--seed", options.seed)
        trace_path = box.path("strace")
        proc = box.start_daemon(faketime=faketime, strace=trace_path)
        pid = sb.traced_pid(proc)
        if not sb.wait_until(lambda: sim.trace_bytes().endswith(b"X"), 20, None):
            print("FAIL: no handshake; log: %s" % box.log.snapshot())
            return 1
        started = time.monotonic()
        print("soak: %d min from %s (%s), seed %d; 240 generated meters at %.2f/s, 60 replayed at %.2f/s "
              "(%d telegrams), garbage %.2f; daemon pid %d under strace"
              % (options.minutes, faketime[1:], ZONE, options.seed, options.rate, options.replay_rate, replayed,
                 options.garbage, pid), flush=True)

        samples = []
        failures = []
        while time.monotonic() - started < seconds:
            if proc.poll() is not None or not os.path.exists("/proc/%d" % pid):
                failures.append("the daemon ended after %.0f s" % (time.monotonic() - started))
                break
            status = sb.proc_status(pid)
            status["t"] = time.monotonic() - started
            samples.append(status)
            if len(samples) % 6 == 1:
                print("  %4.0f s  VmRSS %5d kB  VmHWM %5d kB  fds %d  cpu %.2f s  telegrams sent %d"
                      % (status["t"], status["VmRSS"], status["VmHWM"], status["fds"], status["cpu"],
                         len(sim.sent("telegram"))), flush=True)
            time.sleep(max(0.0, SAMPLE_SECONDS - (time.monotonic() - started) % SAMPLE_SECONDS))

        # The module goes away; the daemon's first failing read comes after every frame before it.
        sim.stop()
        if not failures and not sb.wait_until(lambda: any(m.text.startswith("read: ") for m in box.log.snapshot(pid)), 8, None):
            failures.append("no read error logged after the module went away")
        final = sb.proc_status(pid) if proc.poll() is None else None
        table = sb.read_table()
        messages = [m.text for m in box.log.snapshot(pid)]
        os.kill(pid, signal.SIGKILL)
        proc.wait()

        trace = traffic.read_trace(trace_path)
        sent = sim.sent()
        try:
            bursts = traffic.line_up(sent, trace)
        except ValueError as error:
            print("FAIL: %s" % error)
            return 1
        handshake_end = max(b.offset + len(b.data) for b in bursts if b.kind == "answer")
        frames = [f for f in trace.frames if f.offset >= handshake_end]
        loop_bursts = [b for b in bursts if b.offset >= handshake_end and b.frame is not None]
        telegrams = [b for b in loop_bursts if b.kind == "telegram"]
        seen = [b for b in telegrams if b.seen]
        pieces = [Piece(f, data) for f, data, _ in traffic.handled(frames)]
        clock = Clock(fake_start, trace.exec_time)

        expected_table = traffic.table_after(frames)
        if table != expected_table:
            index = next(i for i, (a, e) in enumerate(zip(table, expected_table)) if a != e)
            failures.append("table entry %d is %s, expected %s" % (index, table[index], expected_table[index]))
        configured_ids = {m[0] for m in configured} | set(silent)
        slots = [m[0] for m in configured] + silent + [configured[0][0]]
        exports = check_exports(box, pieces, configured_ids, clock, failures)
        check_log(messages, pieces, slots, exports, clock, failures)
        if box.daemon_output(proc).strip():
            failures.append("output on stdout/stderr: %r" % box.daemon_output(proc)[:200])

        steady = [s for s in samples if s["t"] >= 60] or samples
        for key in ("VmRSS", "fds"):
            values = [s[key] for s in steady]
            if values and max(values) != min(values):
                failures.append("%s not flat after the first minute: %d .. %d" % (key, min(values), max(values)))

        # Telegrams the module sent whole must be heard, and no meter made up. A pass
        # that holds garbage is no run of telegrams: it is taken whole, as the rules say,
        # so what shares a pass with garbage is counted apart.
        unseen = len(telegrams) - len(seen)
        garbled = {id(b.frame) for b in loop_bursts if b.kind == "garbage"}
        clean = [b for b in telegrams if id(b.frame) not in garbled]
        unseen_clean = sum(1 for b in clean if not b.seen)
        unseen_share = unseen_clean / max(1, len(clean))
        sent_ids = {meter_info(b.data)[0] for b in telegrams}
        starts = {b.offset: b.kind for b in loop_bursts}
        phantom_pieces = [(at, data) for _, data, at in traffic.handled(frames) if meter_info(data)[0] not in sent_ids]
        # Garbage inside a pass leads the walk from length byte to length byte astray:
        # a phantom that garbage read before it in the same receive buffer comes from it.
        garbage_at = [b.offset for b in loop_bursts if b.kind == "garbage"]

        def after_garbage(at):
            return any(at - RX_CAPACITY < g <= at for g in garbage_at)

        from_garbage = {meter_info(d)[0] for at, d in phantom_pieces if after_garbage(at)}
        misframed = {meter_info(d)[0] for at, d in phantom_pieces if not after_garbage(at)}
        phantoms = [e[0] for e in table if e[0] != 0 and e[0] not in sent_ids]
        phantoms_misframed = [i for i in phantoms if i in misframed]
        if unseen_share > 0.005:
            failures.append("%d of %d telegrams in passes without garbage never seen (%.2f %%, at most 0.5 %%)"
                            % (unseen_clean, len(clean), 100 * unseen_share))
        if phantoms_misframed:
            failures.append("table entries of meters never sent, from misframed telegrams: %s"
                            % phantoms_misframed[:10])

        days = {}
        for meter_id, date in exports:
            days[date] = days.get(date, 0) + 1
        heard = len({meter_info(p.data)[0] for p in pieces})
        garbage = [b for b in loop_bursts if b.kind == "garbage"]
        print("telegrams sent %d (%.2f/s), seen %d, never seen %d: %d of %d in passes without garbage (%.2f %%), "
              "%d in passes with garbage; garbage bursts %d, passes %d, telegrams handled %d"
              % (len(telegrams), len(telegrams) / seconds, len(seen), unseen, unseen_clean, len(clean),
                 100.0 * unseen_share, unseen - unseen_clean, len(garbage), len(frames), len(pieces)))
        # Why: the kinds of bursts in the pass of each telegram never seen.
        causes = {}
        for b in telegrams:
            if not b.seen:
                kinds = " ".join(x.kind for x in loop_bursts if x.frame is b.frame)
                causes[kinds] = causes.get(kinds, 0) + 1
        for kinds, count in sorted(causes.items(), key=lambda c: -c[1])[:5]:
            print("  never seen: %d in a pass of [%s]" % (count, kinds))
        print("distinct ids heard %d, table entries used %d; entries of meters never sent %d "
              "(%d after garbage that looks like a header, %d misframed)"
              % (heard, sum(1 for e in table if e[0] != 0), len(phantoms),
                 sum(1 for i in phantoms if i in from_garbage), len(phantoms_misframed)))
        print("exports per day: %s; configured meters 48, heard %d"
              % (", ".join("%s: %d" % d for d in sorted(days.items())),
                 len({k[0] for k in exports})))
        for key, unit in (("VmRSS", "kB"), ("VmHWM", "kB"), ("fds", "")):
            values = [s[key] for s in samples]
            print("%-6s min %d max %d %s (%d samples every %d s)" % (key, min(values), max(values), unit,
                                                                    len(values), SAMPLE_SECONDS))
        if final:
            print("cpu    %.2f s in %.0f s (%.3f %% of one core, under strace)"
                  % (final["cpu"], seconds, 100 * final["cpu"] / seconds))
        for failure in failures:
            print("FAIL: " + failure)
        print("soak %s" % ("FAILED" if failures else "passed"))
        return 1 if failures else 0
    finally:
        box.close()


def main():
    parser = sb.tool_parser(__doc__)
    parser.add_argument("--minutes", type=float, default=10)
    parser.add_argument("--seed", type=int, default=20240305)
    parser.add_argument("--rate", type=float, default=1.0, help="generated telegrams per second")
    parser.add_argument("--replay-rate", type=float, default=0.5, help="replayed telegrams per second")
    parser.add_argument("--garbage", type=float, default=0.05, help="chance of a garbage burst after a telegram")
    options = sb.tool_options(parser)
    if options.inside:
        return run_soak(options)
    reason = sb.skip_reason("strace")
    if reason is None and (sb.faketime_library() is None or not sb.zone_available(ZONE)):
        reason = "libfaketime or time zone data missing (Debian packages faketime, tzdata)"
    if reason is not None:
        print("SKIP: " + reason)
        return SKIP
    return sb.run_inside().returncode


if __name__ == "__main__":
    sys.exit(main())
