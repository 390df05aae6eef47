"""The product's fixed facts that the tests need, as the daemon's C++ has them.

`python3 -m harness.facts PROGRAM` compares them with what PROGRAM (harness_facts,
built from the daemon's headers) prints, and fails on any difference.
"""

import json
import os
import subprocess
import sys

SYSLOG_IDENT = "Norvalith"
SERIAL_DEVICE = DEVICE = "/dev/ttyS1"
LOCK_PATTERN = "/var/lock/LCK..%s"
LOCK_FILE = LOCK_PATTERN % os.path.basename(DEVICE)
LOCK_FORMAT = "%10d\n"
RX_CAPACITY = 512
BURST_ALLOWANCE_MS = 200
SETTINGS_PATH = "/opt/Norvalith/etc/settings"
METER_KEY_PREFIX = "MOD_WMBUS_ADDR"
VERSION_PATH = "/opt/Norvalith/etc/version"
DAEMON_PATH = TABLE_KEY_PATH = "/opt/Norvalith/bin/Norvalithd"
TABLE_PROJECT_ID = 1
TABLE_ENTRIES = 128
TABLE_SIZE = 2048
EXPORT_DIR = "/var/data/Norvalith"
METRICS_DIR = "/run/Norvalith"
METRICS_PATH = METRICS_DIR + "/metrics.prom"
HEADER_SIZE = 10
MIN_LENGTH_BYTE = 9
# The parameters the daemon writes into the module, in its order.
CONFIG_PAIRS = [(0, 1), (1, 5), (3, 1), (4, 0), (5, 1), (10, 0), (16, 124), (18, 1), (22, 0),
                (48, 5), (53, 0), (54, 0), (58, 0), (61, 2), (62, 0), (63, 0)]

# The tests' own: the local time zone of every dated run, and the status that says
# a run could not be made here (CTest's SKIP_RETURN_CODE).
ZONE = "Europe/Berlin"
SKIP = 77


def lock_content(pid):
    return (LOCK_FORMAT % pid).encode()


def main(program):
    theirs = json.loads(subprocess.run([program], capture_output=True, text=True, check=True).stdout)
    ours = {key: json.loads(json.dumps(globals().get(key.upper()))) for key in theirs}
    wrong = [key for key in theirs if ours[key] != theirs[key]]
    for key in wrong:
        print("differs: %s: C++ %r, harness %r" % (key, theirs[key], ours[key]))
    print("%d facts, %d differ" % (len(theirs), len(wrong)))
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
