"""Telegrams that share a burst, as a loaded line and either firmware deliver them."""

import time

from harness import telegrams
from harness.load import busy
from harness.scenario import bcd_id, expect, expect_equal, expected_raw, export_name, parse_export, scenario, \
    telegram, sb


def framed(meter_id, rssi, length_counts_rssi=True, payload=b"\x7a" + bytes(range(20))):
    t = telegram(meter_id, payload=payload)
    return bytes([t[0] + (1 if length_counts_rssi else 0)]) + t[1:] + bytes([rssi])


@scenario("line", timeout=60, faketime=True)
def framing_late_rest(run):
    """Two whole telegrams and the start of a third, its rest 600 ms late: all three,
    each with its own RSSI byte, the third exported whole; no phantom."""
    sim, daemon = run.start(settings="MOD_WMBUS_ADDR1=33333333\n", faketime="@2024-03-05 10:00:00")
    a, b, c = framed(11111111, 0x51), framed(22222222, 0x52), framed(33333333, 0x53)
    sim.raw(a + b + c[:20])
    time.sleep(0.6)
    sim.raw(c[20:])
    run.wait(lambda: sum(1 for e in sb.read_table() if e[0]) >= 3, 5, "three entries")
    time.sleep(1.5)
    expect_equal([(e[0], e[3]) for e in sb.read_table() if e[0]],
                 [(11111111, 0x51), (22222222, 0x52), (33333333, 0x53)], "table")
    _, raw = parse_export(run.wait_export(export_name(33333333, "2024-03-05")))
    expect_equal(raw, expected_raw(c), "raw copy of the completed telegram")
    run.expect_alive(daemon)


@scenario("line", timeout=90)
def framing_other_convention_at_line_rate(run):
    """A firmware whose length byte leaves the RSSI byte out, telegrams back to back at
    19200 bit/s with pauses inside some: every meter heard, none made up."""
    sim, daemon = run.start(settings="", sim_args=("--rssi-appended", "--generate", "30", "--full-rate",
                                                   "--gap-ms", "0", "--count", "300", "--seed", "20",
                                                   "--pause-share", "0.05"))
    run.wait(lambda: len(sim.sent("telegram")) >= 300, 60, "300 telegrams sent")
    time.sleep(2.5)
    sent = {telegrams.decoded_id(b) for _, b in sim.telegrams()}
    heard = {e[0] for e in sb.read_table() if e[0]}
    expect_equal(sorted(heard - sent), [], "phantom entries")
    expect_equal(sorted(sent - heard), [], "meters never heard")
    expect(len(heard) == 30, "30 meters heard, not %d" % len(heard))
    run.expect_alive(daemon)


@scenario("line", timeout=60)
def framing_noise_at_line_rate_under_load(run):
    """Telegrams back to back at 19200 bit/s with random bytes between some, while two
    processes keep the machine busy: every meter heard, and no meter made up beyond
    1 % of the noise bursts."""
    with busy(2):
        sim, daemon = run.start(settings="", sim_args=("--generate", "30", "--full-rate", "--gap-ms", "0",
                                                       "--count", "300", "--seed", "21", "--garbage", "0.05"))
        run.wait(lambda: len(sim.sent("telegram")) >= 300, 40, "300 telegrams sent")
        time.sleep(2.5)
    sent = {telegrams.decoded_id(b) for _, b in sim.telegrams()}
    heard = {e[0] for e in sb.read_table() if e[0]}
    noise = len(sim.sent("garbage"))
    expect(len(heard - sent) <= noise // 100, "phantom entries %s (%d noise bursts)" % (sorted(heard - sent), noise))
    expect_equal(sorted(sent - heard), [], "meters never heard")
    run.expect_alive(daemon)
