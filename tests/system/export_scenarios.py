"""The daily export: the golden example, once a day, midnight, identity texts, burst shapes, failures, FAT."""

import ctypes
import errno
import os
import shutil
import stat
import subprocess
import time

from harness.scenario import (Skip, bcd_id, expect, expect_equal, expected_raw, export_name, meters_settings,
                              parse_export, sb, scenario, telegram)


WORKED_SETTINGS = "MOD_WMBUS_ADDR1=12345678\n"
WORKED_TELEGRAM = bytes.fromhex("14 44 43 04 78 56 34 12 01 07 7A 2A 00 00 00 0C 13 45 23 01 00")


@scenario("export", faketime=True, tags=("unprivileged",))
def export_worked_example(run):
    """The project's own golden example, byte for byte."""
    sim, daemon = run.start(settings=WORKED_SETTINGS, version="2.0", faketime="2024-03-05 06:07:08")
    burst = run.tx(sim, WORKED_TELEGRAM)
    expect_equal(len(burst), len(WORKED_TELEGRAM) + 1, "burst length with the RSSI byte")
    expect_equal(burst[0], WORKED_TELEGRAM[0] + 1, "length byte counting the RSSI byte")
    name = "12345678_2024-03-05.xml"
    document = run.wait_export(name)
    golden = (b'<?xml version="1.0" encoding="ISO-8859-1"?>\n'
              b'<Envelope xmlns="urn:zol-meter:temp-1-0">\n'
              b'  <Push firmware="Norvalith-2.0" name="gw1" deviceID="001122AABBCC">\n'
              b'    <WAN public-ip="10.1.2.3"/>\n'
              b'    <Meter id="12345678" medium="V" mfct="ABC" address="12345678">\n'
              b'      <StoreTime source="Network Time" iso8601="2024-03-05T06:07:08Z" utime="1709615228"/>\n'
              b'      <Raw encoding="base64">FURDBHhWNBIBB3oqAAAADBNFIwEA</Raw>\n'
              b'    </Meter>\n'
              b'  </Push>\n'
              b'</Envelope>\n')
    expect_equal(document.decode(), golden.decode(), "export file")
    push, raw = parse_export(document)
    expect_equal(raw, expected_raw(burst), "Base64 copy against the burst the module sent")
    expect_equal((push.get("firmware"), push.get("name"), push.get("deviceID")),
                 ("Norvalith-2.0", "gw1", "001122AABBCC"), "parsed identity")
    expect_equal(run.box.exports(), [name], "export directory")
    run.expect_owned(os.path.join(sb.EXPORT_DIR, name), 0o644)
    expect_equal(sb.read_table()[0], (12345678, 0x07, 0x0443, burst[-1]), "table entry (trailer = RSSI byte)")
    run.expect_alive(daemon)


@scenario("export", faketime=True)
def export_once_per_day(run):
    """Five telegrams of a configured meter: one file, holding the first; a meter that
    is not configured reaches the table only."""
    sim, daemon = run.start(settings="MOD_WMBUS_ADDR1=12345678\nMOD_WMBUS_ADDR2=12345678\n",
                            faketime="@2024-03-05 10:00:00")
    bursts = [run.tx(sim, telegram(12345678, payload=bytes([0x7a, n, 0, 0, 0]))) for n in range(5)]
    run.tx(sim, telegram(87654321))
    run.sync(sim)
    name = "12345678_2024-03-05.xml"
    expect_equal(run.box.exports(), [name], "export directory")
    _, raw = parse_export(run.box.read_export(name))
    expect_equal(raw, expected_raw(bursts[0]), "raw copy (first telegram of the day)")
    expect_equal([e[0] for e in sb.read_table()[:3]], [12345678, 87654321, 99999999], "table ids")
    # The meter in two slots is exported once all the same; the settings' notice says so.
    expect_equal(run.messages(daemon), ["started", "settings line 2: MOD_WMBUS_ADDR2: address 12345678 is in "
                                                   "MOD_WMBUS_ADDR1 too"], "log")
    run.expect_alive(daemon)


@scenario("export", timeout=60, faketime=True)
def export_midnight(run):
    """A telegram before and one after local midnight: two files with the two dates,
    and one report of the day that ended, naming the meter not heard; none at start."""
    sim, daemon = run.start(settings="MOD_WMBUS_ADDR1=12345678\nMOD_WMBUS_ADDR2=87654321\n",
                            faketime="@2024-03-05 23:59:50")
    first = run.tx(sim, telegram(12345678, payload=b"\x7a\x01\x00\x00\x00"))
    doc1 = run.wait_export("12345678_2024-03-05.xml")
    # The faked clock started with the daemon: wait until it is past midnight.
    wait = daemon.started + 12.0 - time.monotonic()
    expect(wait > 2, "start-up too slow for the midnight scenario")
    time.sleep(wait)
    second = run.tx(sim, telegram(12345678, payload=b"\x7a\x02\x00\x00\x00"))
    doc2 = run.wait_export("12345678_2024-03-06.xml")
    expect_equal(run.box.exports(), ["12345678_2024-03-05.xml", "12345678_2024-03-06.xml"], "export directory")
    for document, burst, date in ((doc1, first, "2024-03-05T23:59:5"), (doc2, second, "2024-03-06T00:00:")):
        push, raw = parse_export(document)
        expect_equal(raw, expected_raw(burst), "raw copy of the telegram filed " + date)
        iso = push.find("{urn:zol-meter:temp-1-0}Meter/{urn:zol-meter:temp-1-0}StoreTime").get("iso8601")
        expect(iso.startswith(date), "iso8601 %s, expected %s…" % (iso, date))
    log = [(m.priority, m.text) for m in run.box.log.snapshot(daemon.pid)]
    expect_equal(log, [(sb.LOG_NOTICE, "started"),
                       (sb.LOG_NOTICE, "day 2024-03-05: 1 telegrams, 1 of 2 meters exported"),
                       (sb.LOG_WARNING, "not exported on 2024-03-05: 87654321")], "log across midnight")
    run.expect_alive(daemon)


@scenario("export", faketime=True)
def export_new_year(run):
    """Started on 1 January (day 0 of the year): configured meters are exported."""
    sim, daemon = run.start(faketime="@2025-01-01 00:00:30")
    burst = run.tx(sim, telegram(12345678))
    push, raw = parse_export(run.wait_export("12345678_2025-01-01.xml"))
    expect_equal(raw, expected_raw(burst), "raw copy")
    run.expect_alive(daemon)


@scenario("export", faketime=True)
def export_settings_file(run):
    """Lower-case key, quoted leading zeros, blanks around '=', CRLF line ends,
    duplicates, the last slot and one past it."""
    settings = ("# gateway settings\r\n"
                "MOD_WMBUS_ENABLED=1\r\n"
                "mod_wmbus_addr7=11111111\r\n"
                "MOD_WMBUS_ADDR3=\"00012345\"\r\n"
                "MOD_WMBUS_ADDR4 = 22222222\r\n"
                "MOD_WMBUS_ADDR9=33333333\r\n"
                "MOD_WMBUS_ADDR9=44444444\r\n"
                "MOD_WMBUS_ADDR128=55555555\r\n"
                "MOD_WMBUS_ADDR129=66666666\r\n")
    sim, daemon = run.start(settings=settings, faketime="@2024-03-05 10:00:00")
    for meter_id in (11111111, 12345, 22222222, 33333333, 44444444, 55555555, 66666666):
        run.tx(sim, telegram(meter_id))
    run.sync(sim)
    expect_equal(run.box.exports(), [export_name(m, "2024-03-05") for m in (12345, 11111111, 33333333, 55555555)],
                 "export directory")
    push, _ = parse_export(run.box.read_export(export_name(12345, "2024-03-05")))
    meter = push.find("{urn:zol-meter:temp-1-0}Meter")
    expect_equal((meter.get("id"), meter.get("address")), ("00012345", "00012345"), "zero-padded id")
    run.expect_alive(daemon)


@scenario("export", faketime=True, eth0=False, ppp0=False, hostname="gw-bare")
def export_identity_fallbacks(run):
    """No eth0, no ppp0, no version file: the fallback texts."""
    sim, daemon = run.start(version=None, faketime="@2024-03-05 10:00:00")
    run.tx(sim, telegram(12345678))
    document = run.wait_export("12345678_2024-03-05.xml")
    line3 = document.split(b"\n")[2:4]
    expect_equal(line3, [b'  <Push firmware="Norvalith---" name="gw-bare" deviceID="000000000000">',
                         b'    <WAN public-ip="0.0.0.0"/>'], "identity lines")
    parse_export(document)
    run.expect_alive(daemon)


@scenario("export", faketime=True)
def export_version_texts(run):
    """The version file's first line as read: its line feed stays inside the attribute,
    a long line is cut at 19 characters, an empty file gives the fallback."""
    cases = [("1.4.2\n", b'firmware="Norvalith-1.4.2\n"'),
             ("2.0.0-rc.1+build.4567890\nsecond line\n", b'firmware="Norvalith-2.0.0-rc.1+build.45"'),
             ("", b'firmware="Norvalith---"')]
    daemon = sim = None
    for version, expected in cases:
        if daemon is not None:
            run.restart(daemon, sim)
        name = "12345678_2024-03-05.xml"
        # A restart the same day keeps the day's file: each case starts without it.
        if os.path.exists(os.path.join(sb.EXPORT_DIR, name)):
            os.unlink(os.path.join(sb.EXPORT_DIR, name))
        sim, daemon = run.start(version=version, faketime="@2024-03-05 10:00:00")
        run.tx(sim, telegram(12345678))
        run.wait(lambda: expected in (run.box.read_export(name) if os.path.exists(
            os.path.join(sb.EXPORT_DIR, name)) else b""), 5, "export with %r" % expected)
        parse_export(run.box.read_export(name))
        run.expect_alive(daemon)


@scenario("export", faketime=True, hostname='gw&1<"x>\'')
def export_escaping(run):
    """Host name and version with markup characters stay well-formed XML."""
    sim, daemon = run.start(version="3.1 <beta> & 'x'", faketime="@2024-03-05 10:00:00")
    run.tx(sim, telegram(12345678))
    document = run.wait_export("12345678_2024-03-05.xml")
    expect_equal(document.split(b"\n")[2],
                 b'  <Push firmware="Norvalith-3.1 &lt;beta&gt; &amp; &apos;x&apos;"'
                 b' name="gw&amp;1&lt;&quot;x&gt;&apos;" deviceID="001122AABBCC">', "escaped identity line")
    push, _ = parse_export(document)
    expect_equal((push.get("firmware"), push.get("name")), ("Norvalith-3.1 <beta> & 'x'", 'gw&1<"x>\''),
                 "parsed identity")
    run.expect_alive(daemon)


@scenario("export", faketime=True)
def export_burst_shapes(run):
    """Short bursts and length bytes below 9 are ignored; L=200 is exported whole; a
    burst too short for its length byte is a piece whose rest never came: neither
    table nor export; id 0 never matches an empty slot."""
    settings = meters_settings((12345678, 20000000, 40000000, 50000000))
    sim, daemon = run.start(settings=settings, faketime="@2024-03-05 10:00:00")
    date = "2024-03-05"

    short = telegram(12345678)[:9]
    run.raw(sim, short)
    run.sync(sim)
    expect_equal(sb.read_table()[0][0], 99999999, "first table entry after a 9-byte burst")
    expect_equal(run.box.exports(), [], "exports after a 9-byte burst")

    big = bytes([200]) + telegram(20000000)[1:10] + bytes(range(190)) + b"\x5a"
    expect_equal(len(big), 201, "big burst length")
    run.raw(sim, big)
    _, raw = parse_export(run.wait_export(export_name(20000000, date)))
    expect_equal(raw, big[:200], "raw copy of L=200")

    run.raw(sim, bytes([120]) + telegram(30000000)[1:10] + bytes([0xcc] * 110))
    run.raw(sim, bytes([100]) + telegram(40000000)[1:10] + bytes(range(1, 11)))

    # A length byte too small for a header is line noise: no entry, no export.
    noise = bytes([8]) + telegram(50000000)[1:10] + b"\x01\x02"
    run.raw(sim, noise)

    # Id 0 matches the first empty entry, whose trailer word alone is written, and no
    # slot: unused slots have address 0 too.
    run.raw(sim, bytes([10, 0x44, 0x43, 0x04]) + bcd_id(0) + bytes([1, 7, 0x42]))
    run.sync(sim)
    table = sb.read_table()
    expect_equal([e[0] for e in table[:2]], [99999999, 20000000], "table ids")
    expect_equal(table[2], (0, 0, 0, 0x42), "first empty entry after an id-0 burst")
    expect_equal(run.box.exports(), [export_name(20000000, date)], "exports")
    run.expect_alive(daemon)


@scenario("export", faketime=True, tags=("unprivileged",))
def export_failures(run):
    """Missing directory, then a full file system: one message per meter and day,
    nothing half-written left behind, and the next telegram is exported once the
    directory works again."""
    os.rmdir(sb.EXPORT_DIR)
    sim, daemon = run.start(settings="MOD_WMBUS_ADDR1=12345678\nMOD_WMBUS_ADDR2=23456789\n",
                            faketime="@2024-03-05 10:00:00")
    for n in range(3):
        run.tx(sim, telegram(12345678, payload=bytes([0x7a, n, 0, 0, 0])))
    run.sync(sim)
    expect_equal(run.messages(daemon), ["started", "export xml file error"], "log with the directory missing")
    expect(not os.path.exists(sb.EXPORT_DIR), "the daemon created the export directory")

    os.mkdir(sb.EXPORT_DIR)
    run.box.mount_export_dir("size=8k")
    filler = os.path.join(sb.EXPORT_DIR, "filler")
    fd = os.open(filler, os.O_WRONLY | os.O_CREAT)
    try:
        while os.write(fd, bytes(1024)) > 0:
            pass
    except OSError:
        pass
    os.close(fd)
    run.tx(sim, telegram(23456789))
    run.tx(sim, telegram(12345678, payload=b"\x7a\x09\x00\x00\x00"))
    run.sync(sim)
    expect_equal(run.box.exports(), ["filler"], "export directory on a full file system")
    expect_equal(run.messages(daemon), ["started", "export xml file error", "export xml file error"],
                 "log after the full file system")

    os.unlink(filler)
    a = run.tx(sim, telegram(12345678, payload=b"\x7a\x0a\x00\x00\x00"))
    b = run.tx(sim, telegram(23456789, payload=b"\x7a\x0b\x00\x00\x00"))
    run.sync(sim)
    expect_equal(run.box.exports(), ["12345678_2024-03-05.xml", "23456789_2024-03-05.xml"], "export directory")
    for name, burst in (("12345678_2024-03-05.xml", a), ("23456789_2024-03-05.xml", b)):
        _, raw = parse_export(run.box.read_export(name))
        expect_equal(raw, expected_raw(burst), "raw copy in " + name)
    expect_equal(len(run.messages(daemon)), 3, "no further messages")
    run.expect_alive(daemon)



@scenario("export", faketime=True)
def export_on_fat(run):
    """The export directory on FAT through FUSE, which refuses a no-replace rename and
    links (as an SD card's): the day's file lands, and after a restart the day's next
    telegram leaves it as it is."""
    missing = [t for t in ("fusefat", "fusermount", "mkfs.vfat") if shutil.which(t, path=sb.PATH) is None]
    if missing:
        raise Skip("%s not installed (Debian packages fusefat, fuse, dosfstools)" % missing[0])
    try:  # the sandbox's /dev has no FUSE device
        os.mknod("/dev/fuse", stat.S_IFCHR | 0o666, os.makedev(10, 229))
    except OSError as error:
        raise Skip("no /dev/fuse in the sandbox: " + error.strerror)
    image = run.box.path("fat.img")
    with open(image, "wb") as f:
        f.truncate(8 << 20)
    sb.run("mkfs.vfat", image)
    # fusefat stays in the background: no pipe for its output, or run() waits for it.
    options = "rw+" + (",allow_other" if run.box.user is not None else "")
    mounted = subprocess.run(["fusefat", "-o", options, image, sb.EXPORT_DIR], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL, env={"PATH": sb.PATH}).returncode == 0
    if not mounted or not os.path.ismount(sb.EXPORT_DIR):
        raise Skip("fusefat could not mount the export directory (FUSE refused)")
    probe = os.path.join(sb.EXPORT_DIR, "probe").encode()
    open(probe, "w").close()
    libc = ctypes.CDLL(None, use_errno=True)
    renamed = libc.renameat2(-100, probe, -100, probe + b"2", 1), ctypes.get_errno()  # RENAME_NOREPLACE
    linked = libc.link(probe, probe + b"2"), ctypes.get_errno()
    expect_equal((renamed, linked), ((-1, errno.EINVAL), (-1, errno.EPERM)), "renameat2 and link on FAT")
    os.unlink(probe)

    name = "12345678_2024-03-05.xml"
    sim, daemon = run.start(faketime="@2024-03-05 10:00:00")
    first = run.tx(sim, telegram(12345678, payload=b"\x7a\x01\x00\x00\x00"))
    document = run.wait_export(name)
    run.restart(daemon, sim)
    sim, daemon = run.start(faketime="@2024-03-05 11:00:00")
    run.tx(sim, telegram(12345678, payload=b"\x7a\x02\x00\x00\x00"))
    run.sync(sim)
    expect_equal(run.box.exports(), [name], "export directory")
    expect_equal(run.box.read_export(name), document, "the day's file after its second telegram")
    expect_equal(parse_export(document)[1], expected_raw(first), "raw copy (first telegram of the day)")
    expect_equal(run.messages(daemon), ["started"], "log")
    run.expect_alive(daemon)
