"""The Norvalith demo: the daemon's main job on the emulated radio module.

Runs Norvalithd, unchanged and at its fixed paths, in a sandbox (harness.sandbox)
for a while: rc1180-sim replays captured telegrams with a few generated meters
mixed in; the daemon configures the module, fills its meter table and writes the
day's export files for the meters named in the settings. Shows the log messages
as they come, the meter list as norvalith-meters prints it, and the export files.
Started by scripts/demo, which builds everything first.
"""

import os
import random
import signal
import subprocess
import sys
import threading
import time

from harness import sandbox as sb
from harness.telegrams import ExportError, parse_export, random_manufacturer, telegram, volume_payload

LEVELS = {0: "emerg", 1: "alert", 2: "crit", 3: "err", 4: "warn", 5: "notice", 6: "info", 7: "debug"}
DEVICE_TYPES = (0x02, 0x03, 0x04, 0x07, 0x08, 0x16)


class Screen:
    """Line output shared by the log thread and the main loop."""

    def __init__(self):
        self.start = time.monotonic()
        self.lock = threading.Lock()

    def say(self, what, text):
        with self.lock:
            print("%6.1f s  %-7s %s" % (time.monotonic() - self.start, what, text), flush=True)

    def block(self, title, lines):
        with self.lock:
            print("\n== %s" % title)
            for line in lines:
                print("   " + line)
            print(flush=True)


def generated_meters(count, seed, taken):
    """A few meters that are not in the captured set: (id, telegram maker)."""
    rng = random.Random(seed)
    meters = []
    while len(meters) < count:
        meter_id = rng.randrange(10000000, 99999999)
        if meter_id in taken:
            continue
        taken.add(meter_id)
        meters.append((meter_id, random_manufacturer(rng), rng.choice(DEVICE_TYPES), rng.randrange(1, 0x40)))
    return meters


def generated_telegram(meter, reading):
    meter_id, manufacturer, device_type, version = meter
    return telegram(meter_id, manufacturer, device_type, version, volume_payload(reading, reading))


def compose_replay(captured_path, generate, seed):
    """The captured telegrams in their order, with a generated meter after every sixth:
    the text of a replay file and the number of telegrams in it."""
    with open(captured_path) as f:
        rows = [line.split("\t") for line in f.read().splitlines() if line.strip()]
    if rows and rows[0][0] == "hex":
        header, rows = rows[0], rows[1:]
        taken = {int(r[header.index("id")]) for r in rows if "id" in header}
    else:
        taken = set()
    meters = generated_meters(generate, seed, taken)
    lines = ["# %s, with %d generated meters mixed in" % (os.path.basename(captured_path), len(meters))]
    for index, row in enumerate(rows):
        lines.append(row[0])
        if meters and index % 6 == 5:
            meter = meters[(index // 6) % len(meters)]
            lines.append("# generated meter %08d" % meter[0])
            lines.append(generated_telegram(meter, 1000 + index * 37).hex().upper())
    return "\n".join(lines) + "\n", sum(1 for line in lines if not line.startswith("#"))


def meter_listing(box):
    done = subprocess.run([box.binaries["norvalith-meters"]], capture_output=True, text=True)
    return (done.stdout or done.stderr).rstrip("\n").splitlines()


def show_export(screen, name):
    data = sb.Sandbox.read_export(name)
    lines = data.decode("latin-1").splitlines()
    try:
        _, raw = parse_export(data)
    except ExportError as error:
        lines += ["", "not an export the daemon writes: %s" % error]
    else:
        lines += ["", "raw copy, %d bytes (length byte %d, then the telegram as received):" % (len(raw), raw[0])]
        lines += [raw[i:i + 24].hex(" ").upper() for i in range(0, len(raw), 24)]
    screen.block("%s/%s, in full" % (sb.EXPORT_DIR, name), lines)


def run_demo(options):
    screen = Screen()
    box = sb.Sandbox(hostname="gw-demo", eth0_mac="02:00:5e:10:00:01", ppp0_address="10.64.0.17",
                     log_echo=lambda m: screen.say("log", "%-6s %s: %s" % (LEVELS.get(m.priority, "?"), m.tag,
                                                                           m.text)))
    # Read before the sandbox's mounts cover /opt and /var, where the tree may lie.
    with open(options.settings) as f:
        settings = f.read()
    with open(options.version_file) as f:
        version = f.read()
    replay_text, telegrams = compose_replay(options.replay, options.generate, options.seed)
    box.enter(options.daemon, options.sim, options.meters)
    box.settings(settings)
    box.version(version)
    replay = box.path("replay.txt")
    box.write_file(replay, replay_text)

    screen.block("Norvalith demo", [
        "sandbox: host gw-demo, eth0 02:00:5E:10:00:01, ppp0 10.64.0.17, private /dev, /var, /opt",
        "radio:   rc1180-sim on /dev/ttyS1, factory-fresh, replaying %d telegrams (%s + %d generated meters)"
        % (telegrams, os.path.relpath(options.replay), options.generate),
        "daemon:  /opt/Norvalith/bin/Norvalithd, version %s, settings from %s" % (
            version.strip(), os.path.relpath(options.settings)),
        "runs %d s (Ctrl-C ends it early); the meter list is refreshed every %d s" % (options.duration,
                                                                                   options.refresh),
    ])
    sim = box.start_sim("--replay", replay, "--gap-ms", str(options.gap_ms), "--memory", box.path("memory"),
                        "--rssi-range", "45-95", "--seed", str(options.seed))
    faketime = None
    if options.midnight:
        # The daemon's clock starts 20 s before midnight: the run crosses it, and the
        # first pass of the new day reports the day that ended.
        faketime = "@" + time.strftime("%Y-%m-%d") + " 23:59:40"
        screen.say("clock", "the daemon's clock starts at %s (libfaketime)" % faketime[1:])
    daemon = box.start_daemon(tz=os.environ.get("TZ"), faketime=faketime)
    screen.say("start", "Norvalithd pid %d, rc1180-sim on %s" % (daemon.pid, sim.slave))

    seen_exports, listed = set(), set()
    next_refresh = time.monotonic() + options.refresh
    deadline = time.monotonic() + options.duration
    interrupted = False
    try:
        while time.monotonic() < deadline:
            time.sleep(0.2)
            for name in box.exports() or []:
                if name not in seen_exports:
                    seen_exports.add(name)
                    size = os.path.getsize(os.path.join(sb.EXPORT_DIR, name))
                    screen.say("export", "%s/%s (%d bytes)" % (sb.EXPORT_DIR, name, size))
            if daemon.poll() is not None:
                screen.say("stop", "Norvalithd ended with status %d" % daemon.returncode)
                break
            if time.monotonic() >= next_refresh:
                next_refresh += options.refresh
                rows = meter_listing(box)
                fresh = [r for r in rows[1:-1] if r not in listed]
                listed.update(rows[1:-1])
                title = "norvalith-meters: %s" % (rows[-1] if rows else "no output")
                screen.block(title + (", new or changed since the last look:" if fresh else ""),
                             (rows[:1] + fresh) if fresh else [])
    except KeyboardInterrupt:
        interrupted = True
        screen.say("stop", "interrupted")
    # The summary is what a Ctrl-C asks for: a second one must not cut it short.
    signal.signal(signal.SIGINT, signal.SIG_IGN)

    # The daemon first: a module that goes away would be logged as a failing line.
    alive = daemon.poll() is None
    ran = time.monotonic() - daemon.started
    if alive:
        daemon.terminate()
        daemon.wait()
    sim.stop()
    screen.block("final meter list (norvalith-meters)", meter_listing(box))
    exports = box.exports() or []
    screen.block("export files in %s" % sb.EXPORT_DIR,
                 ["%-28s %5d bytes" % (n, os.path.getsize(os.path.join(sb.EXPORT_DIR, n))) for n in exports]
                 or ["none"])
    if exports:
        longest = max(exports, key=lambda n: os.path.getsize(os.path.join(sb.EXPORT_DIR, n)))
        show_export(screen, longest)
    summary = [line for line in sim.stderr().splitlines() if "memory writes" in line]
    screen.block("summary", summary + [
        "Norvalithd %s after %.0f s; %d log messages; %d export files" % (
            "ran until stopped" if alive else "ended by itself with status %s" % daemon.returncode, ran,
            len(box.log.snapshot()), len(exports))])
    box.close()
    return 0 if alive or interrupted else 1


def main():
    root = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    parser = sb.tool_parser("Runs the Norvalith demo in a sandbox.")
    parser.add_argument("--meters", required=True)
    parser.add_argument("--version-file", required=True,
                        help="the build's version file (BUILD/packaging/version), installed as the daemon's")
    parser.add_argument("--settings", default=os.path.join(root, "demo", "settings"))
    parser.add_argument("--replay", default=os.path.join(root, "tests", "data", "real-telegrams.tsv"))
    parser.add_argument("--generate", type=int, default=4, help="generated meters mixed into the replay")
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--gap-ms", type=int, default=300, help="pause between telegrams")
    parser.add_argument("--duration", type=int, default=30, help="seconds to run")
    parser.add_argument("--refresh", type=int, default=5, help="seconds between meter lists")
    parser.add_argument("--midnight", action="store_true",
                        help="start the daemon's clock 20 s before midnight, to see its day report")
    options = sb.tool_options(parser)
    for name in ("meters", "version_file", "settings", "replay"):
        setattr(options, name, os.path.abspath(getattr(options, name)))

    if options.inside:
        return run_demo(options)

    reason = sb.probe()
    if reason is not None:
        print("demo: cannot make a sandbox here: %s" % reason, file=sys.stderr)
        if os.geteuid() != 0:
            print("demo: run it as root, or allow unprivileged user namespaces "
                  "(sudo sysctl -w kernel.unprivileged_userns_clone=1 on kernels that have it)", file=sys.stderr)
        return 1
    # Ctrl-C reaches the sandbox too; it prints its summary and ends by itself. (A
    # handler, not SIG_IGN: an ignored signal would stay ignored in the sandbox.)
    signal.signal(signal.SIGINT, lambda *_: None)
    status = sb.run_inside().returncode
    return status if status >= 0 else 128 - status  # killed by a signal: as a shell reports it


if __name__ == "__main__":
    sys.exit(main())
