"""The shared table: filled in order of hearing, refreshed, full; telegrams that share a burst."""

import json
import os
import subprocess
import time

from harness.scenario import bcd_id, expect_equal, expected_raw, parse_export, sb, scenario, telegram


@scenario("table", timeout=150, tags=("unprivileged",))
def table_fill_refresh_overflow(run):
    """Entries in order of first hearing, refreshed trailers, the 129th meter left out;
    a segment left by an earlier run is reused and emptied."""
    old = sb.create_segment(sb.TABLE_SIZE, b"\xab" * sb.TABLE_SIZE, user=run.box.user)
    sim, daemon = run.start(settings="")
    expect_equal(sb.read_table(), [(0, 0, 0, 0)] * sb.TABLE_ENTRIES, "table after start")
    expect_equal([s["shmid"] for s in sb.segments()], [old], "segment reused")

    ids = [10000000 + (i * 7919) % 89999999 for i in range(sb.TABLE_ENTRIES + 1)]
    expect_equal(len(set(ids)), sb.TABLE_ENTRIES + 1, "distinct test ids")
    expected = []
    for index, meter_id in enumerate(ids):
        manufacturer, device_type, trailer = 0x0400 + index, index % 0x38, (index * 3) % 256
        burst = bytes([10, 0x44]) + manufacturer.to_bytes(2, "little") + bcd_id(meter_id) + bytes(
            [1, device_type, trailer])
        sim.raw(burst)
        expected.append((meter_id, device_type, manufacturer, trailer))
        if index < sb.TABLE_ENTRIES:
            # Handled before the next one goes out, so no two bursts ever meet.
            run.wait(lambda: sb.read_table()[index][0] == meter_id, 5, "entry %d" % index)
    # The 129th found the table full. A known meter again: its trailer follows, type and
    # manufacturer stay those of its first frame.
    run.last_send = time.monotonic()
    run.raw(sim, bytes([10, 0x44, 0x77, 0x77]) + bcd_id(ids[5]) + bytes([1, 0x02, 0xee]))
    run.wait(lambda: sb.read_table()[5][3] == 0xee, 5, "refreshed trailer")
    refreshed = list(expected[:sb.TABLE_ENTRIES])
    refreshed[5] = expected[5][:3] + (0xee,)
    expect_equal(sb.read_table(), refreshed, "table after 129 meters and a refresh")

    if run.options.meters and os.path.exists(run.options.meters):
        listing = subprocess.run([run.box.binaries["norvalith-meters"], "--json"], capture_output=True, text=True)
        expect_equal(listing.returncode, 0, "norvalith-meters status (%s)" % listing.stderr.strip())
        rows = json.loads(listing.stdout)
        expect_equal([(r["index"], r["id"], r["device_type"], r["manufacturer_code"], r["rssi"]) for r in rows],
                     [(i,) + e for i, e in enumerate(refreshed)], "norvalith-meters --json")
    run.expect_alive(daemon)


def stream_of(run, sim, ids, gap=0.0):
    """Telegrams of these meters through the module, each with its own signal strength,
    `gap` seconds apart (0: back to back, as fast as the line carries them)."""
    count = len(sim.sent("telegram"))
    run.wait(lambda: sim.unread() == 0, 5, "a quiet line")
    for index, meter_id in enumerate(ids):
        sim.tx(telegram(meter_id, payload=bytes([0x7a, index, 0, 0, 0]) + bytes(index % 7)),
               dbm=-40 - index)
        if gap:
            time.sleep(gap)
    return [r[-1] for r in sim.wait_sent(count + len(ids), "telegram")[count:]]


@scenario("table", timeout=90)
def table_telegrams_that_share_a_burst(run):
    """Two telegrams 50 ms apart share the reader's window: both are in the table with
    their own trailers and both are exported with their own raw copies."""
    sim, daemon = run.start(settings="MOD_WMBUS_ADDR1=11111111\nMOD_WMBUS_ADDR2=22222222\n")
    sent = stream_of(run, sim, [11111111, 22222222], gap=0.05)
    run.wait(lambda: sb.read_table()[1][0] == 22222222, 5, "the second telegram in the table")
    expect_equal([(e[0], e[3]) for e in sb.read_table()[:3]], [(11111111, sent[0][-1]), (22222222, sent[1][-1]), (0, 0)],
                 "ids and trailers")
    for meter_id, burst in zip((11111111, 22222222), sent):
        name = next(n for n in run.box.exports() if n.startswith("%08d_" % meter_id))
        _, raw = parse_export(run.wait_export(name))
        expect_equal(raw, expected_raw(burst), "raw copy of %d" % meter_id)
    run.expect_alive(daemon)


def stream_at_line_rate(run, chunk):
    """24 telegrams back to back at 19200 bit/s, handed over in `chunk`-byte pieces as a
    UART does: the reader's window cuts them, and every one is in the table, in order,
    with its own trailer, and no meter that was never sent."""
    sim, daemon = run.start(settings="", sim_args=("--chunk", chunk))
    ids = [30000000 + 1111 * i for i in range(24)]
    sent = stream_of(run, sim, ids)
    run.wait(lambda: sim.unread() == 0 and sb.read_table()[23][0] != 0, 10, "the stream read")
    time.sleep(0.3)
    expect_equal([(e[0], e[3]) for e in sb.read_table()[:25]], [(i, b[-1]) for i, b in zip(ids, sent)] + [(0, 0)],
                 "ids and trailers after the stream")
    run.expect_alive(daemon)


@scenario("table", timeout=90)
def table_stream_in_16_byte_chunks(run):
    stream_at_line_rate(run, 16)


@scenario("table", timeout=90)
def table_stream_in_4_byte_chunks(run):
    stream_at_line_rate(run, 4)
