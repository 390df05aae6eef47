"""System tests of the built Norvalithd, run unchanged at its fixed paths.

Every scenario runs in its own sandbox (harness.sandbox): fresh namespaces in
which rc1180-sim plays the radio module on /dev/ttyS1, /dev/log is captured,
and the shared table and export files are read back as other programs on the
gateway would read them. The scenarios are those of every tests/system/*_scenarios.py.

    python3 -m harness.system --daemon PATH --sim PATH [--meters PATH] [--emulator CMD]
                              [--unprivileged] [--group G] [--tag T] [--jobs N] [NAME...]
    python3 -m harness.system --list [--group G] [--tag T]

With --unprivileged the daemon runs as a user of its own with what its service
unit grants (harness.sandbox); the tag "unprivileged" marks a representative
set of scenarios for that. Switching users needs root: in the user namespace of
a normal user, which maps root alone, those runs say SKIP.

With --emulator (e.g. "qemu-arm -L /usr/arm-linux-gnueabihf") the daemon, built for
another architecture, runs behind that command. libfaketime is then preloaded into
the emulator, which fakes the daemon's dates under qemu-user; behind any other
emulator the scenarios on faked dates say SKIP.

Exit status: 0 all passed, 1 a scenario failed, 77 nothing failed but some were
skipped (no namespaces, no libfaketime, no time zone data, an emulator that
libfaketime cannot reach, not root for a scenario that acts as other users, a program a
scenario needs).
"""

import argparse
import glob
import importlib.util
import os
import shlex
import shutil
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor, as_completed

from harness import sandbox as sb
from harness.facts import SKIP, ZONE
from harness.scenario import SCENARIOS, Failure, Run, Skip
from harness.telegrams import ExportError

SCENARIO_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "system")


def load_scenarios(folder=SCENARIO_DIR):
    """Registers the scenarios of every *_scenarios.py in folder."""
    for path in sorted(glob.glob(os.path.join(folder, "*_scenarios.py"))):
        name = os.path.splitext(os.path.basename(path))[0]
        found = importlib.util.spec_from_file_location(name, path)
        module = importlib.util.module_from_spec(found)
        sys.modules[name] = module
        found.loader.exec_module(module)


def run_inside(name, options):
    """Runs one scenario; this process is process 1 of the sandbox's namespaces."""
    entry = SCENARIOS[name]
    os.umask(0o022)
    if entry["faketime"]:
        if sb.faketime_library() is None:
            print("SKIP: libfaketime not installed (Debian package faketime)")
            return SKIP
        if not sb.zone_available(ZONE):
            print("SKIP: no time zone data for %s (Debian package tzdata)" % ZONE)
            return SKIP
    user = sb.DaemonUser() if options.unprivileged else None
    box = sb.Sandbox(emulator=shlex.split(options.emulator or ""), user=user, **entry["box"])
    try:
        box.enter(options.daemon, options.sim, options.meters)
        entry["function"](Run(box, options))
        return 0
    except Skip as reason:
        print("SKIP: %s" % reason)
        return SKIP
    except (Failure, sb.SandboxError, ExportError) as error:
        print("FAIL: %s" % error)
        if box.log is not None:
            print("  log: %s" % box.log.snapshot())
        for sim in box.sims:
            if sim.stderr().strip():
                print("  rc1180-sim stderr: %s" % sim.stderr().strip())
        return 1
    finally:
        box.close()


def run_outside(name, options, reason):
    entry = SCENARIOS[name]
    started = time.monotonic()
    if reason is None and options.unprivileged and os.geteuid() != 0:
        reason = "the daemon cannot run as a user of its own: a normal user's namespace maps root alone"
    if reason is None and entry["root"] and os.geteuid() != 0:
        reason = "needs root: a normal user's namespace maps root alone"
    if reason is not None:
        return name, SKIP, reason, 0.0
    if entry["faketime"] and not sb.faketime_reaches(shlex.split(options.emulator or "")):
        return name, SKIP, "faked dates need libfaketime, which cannot reach a daemon behind this emulator", 0.0
    argv = [name, "--daemon", options.daemon, "--sim", options.sim]
    if options.meters and os.path.exists(options.meters):
        argv += ["--meters", options.meters]
    if options.emulator:
        argv += ["--emulator", options.emulator]
    if options.unprivileged:
        argv.append("--unprivileged")
    try:
        done = sb.run_inside(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=entry["timeout"])
        status, output = done.returncode, done.stdout.decode(errors="replace")
    except subprocess.TimeoutExpired as expired:
        status = 1
        output = (expired.stdout or b"").decode(errors="replace") + "\nFAIL: timed out after %d s" % entry["timeout"]
    if status not in (0, SKIP):
        status = 1
    return name, status, output.strip(), time.monotonic() - started


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--daemon", help="the Norvalithd to test")
    parser.add_argument("--sim", help="rc1180-sim")
    parser.add_argument("--meters", help="norvalith-meters (optional)")
    parser.add_argument("--emulator", metavar="CMD",
                        help='runs the daemon behind CMD, e.g. "qemu-arm -L /usr/arm-linux-gnueabihf"')
    parser.add_argument("--unprivileged", action="store_true",
                        help="run the daemon as a user of its own, with what its service unit grants")
    parser.add_argument("--group", action="append", help="run only this group (repeatable)")
    parser.add_argument("--tag", action="append", help="run only scenarios with this tag (repeatable)")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--list", action="store_true", help="list the scenarios")
    parser.add_argument("names", nargs="*", help="scenario names (default: all)")
    options = parser.parse_args()
    load_scenarios()

    if options.inside:
        sys.exit(run_inside(options.names[0], options))

    names = options.names or [n for n, e in SCENARIOS.items()
                              if (not options.group or e["group"] in options.group)
                              and (not options.tag or set(e["tags"]) & set(options.tag))]
    unknown = [n for n in names if n not in SCENARIOS]
    if unknown:
        parser.error("unknown scenarios: " + ", ".join(unknown))
    if options.emulator:
        # They trace the daemon's own process: behind an emulator, that is the emulator.
        native = [n for n in names if SCENARIOS[n]["native"]]
        names = [n for n in names if n not in native]
        if native and not options.list:
            print("left out behind an emulator: " + ", ".join(native))
    if options.list:
        for name in names:
            print("%-8s %s" % (SCENARIOS[name]["group"], name))
        return 0
    for option, path in (("--daemon", options.daemon), ("--sim", options.sim)):
        if path is None:
            parser.error("%s is required" % option)
        if not os.access(path, os.X_OK):
            parser.error("not an executable: %s (built yet?)" % path)
    if options.emulator:
        command = shlex.split(options.emulator)
        if not command or shutil.which(command[0], path=sb.PATH) is None:
            parser.error("emulator not found: %s" % options.emulator)

    reason = sb.probe()
    printing = threading.Lock()
    counts = {0: 0, 1: 0, SKIP: 0}

    def report(result):
        name, status, output, seconds = result
        with printing:
            counts[status] += 1
            if status == 0:
                print("PASS %s (%.1f s)" % (name, seconds))
                # Measurements a scenario reports along the way.
                for line in output.splitlines():
                    if line.startswith("NOTE: "):
                        print("    " + line[6:])
            elif status == SKIP:
                reason_text = output.splitlines()[-1] if output else ""
                print("SKIP %s: %s" % (name, reason_text.replace("SKIP: ", "")))
            else:
                print("FAIL %s (%.1f s)" % (name, seconds))
                for line in output.splitlines():
                    print("    " + line)
            sys.stdout.flush()

    if reason is not None:
        print("sandbox unavailable: " + reason)
    with ThreadPoolExecutor(max_workers=max(1, options.jobs)) as pool:
        for future in as_completed([pool.submit(run_outside, n, options, reason) for n in names]):
            report(future.result())

    summary = "%d passed, %d failed" % (counts[0], counts[1])
    if counts[SKIP]:
        summary += ", %d skipped" % counts[SKIP]
    print(summary)
    if counts[1]:
        return 1
    return SKIP if counts[SKIP] else 0


if __name__ == "__main__":
    sys.exit(main())
