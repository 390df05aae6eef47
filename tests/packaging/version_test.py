#!/usr/bin/env python3
"""Every place that states the version agrees with the CMake project version.

    version_test.py --version V --daemon BIN --version-file FILE

Ends with "N passed, N failed"."""

import argparse
import os
import re
import shutil
import subprocess
import tempfile
import sys

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def first_match(path, pattern):
    with open(os.path.join(TOP, path)) as f:
        match = re.search(pattern, f.read(), re.MULTILINE)
    return match.group(1) if match else None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--version", required=True)
    parser.add_argument("--daemon", required=True)
    parser.add_argument("--version-file", required=True)
    options = parser.parse_args()
    v = options.version
    with open(options.version_file, "rb") as f:
        shipped = f.read()
    # The daemon's answers to its command line: (arguments, exit status, standard output, standard error).
    usage = b"usage: Norvalithd [--version | --help | --check-settings [FILE]]\n"
    answers = [
        (["--version"], 0, ("Norvalithd %s\n" % v).encode(), b""),
        (["--help"], 0, usage, b""),
        (["-v"], 2, b"", usage),
        (["--version", "--help"], 2, b"", usage),
        ([""], 2, b"", usage),
        (["--check-settings", "/nonexistent"], 1, b"open(/nonexistent) error: No such file or directory\n", b""),
    ]
    checks = [
        ("version file", shipped, v.encode()),
        # The exports' firmware text is "Norvalith-" and the version file's first line.
        ("firmware text", b"Norvalith-" + shipped.split(b"\n")[0], ("Norvalith-%s" % v).encode()),
        ("debian/changelog", first_match("debian/changelog", r"^norvalith \(([^)]+)\)"), v),
        ("CHANGELOG.md", first_match("CHANGELOG.md", r"^## ([0-9]\S*)"), v),
    ]
    for argv, status, out, err in answers:
        done = subprocess.run([options.daemon] + argv, capture_output=True, stdin=subprocess.DEVNULL, timeout=10)
        # Only the first line of the usage: the rest is prose.
        head = lambda text: text.split(b"\n")[0] + b"\n" if text else b""  # noqa: E731
        checks.append(("Norvalithd %s" % " ".join(argv), (done.returncode, done.stdout if status == 0 and
                       argv == ["--version"] else head(done.stdout), head(done.stderr)), (status, out, err)))
    # None of the answers may open the log, the lock, the line or the table.
    if shutil.which("strace"):
        for argv, _, _, _ in answers:
            with tempfile.NamedTemporaryFile("r") as trace:
                subprocess.run(["strace", "-f", "-qq", "-o", trace.name, options.daemon] + argv,
                               capture_output=True, stdin=subprocess.DEVNULL, timeout=30)
                calls = [line for line in trace.read().splitlines()
                         if re.search(r"\b(socket|connect|shmget|shmat|setsid)\(|ttyS1|LCK\.\.", line)]
            checks.append(("Norvalithd %s opens nothing" % " ".join(argv), calls, []))
    failed = 0
    for what, actual, expected in checks:
        if actual != expected:
            print("FAIL %s: expected %r, actual %r" % (what, expected, actual))
            failed += 1
        else:
            print("PASS %s" % what)
    print("%d passed, %d failed" % (len(checks) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
