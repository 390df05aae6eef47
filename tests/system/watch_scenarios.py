"""Watched from afar: the service manager's notify messages, the metrics file, and
Debian's node exporter serving it. The group "watch"."""

import os
import re
import shutil
import signal
import subprocess
import time
import urllib.request

from harness.scenario import Skip, expect, expect_equal, meters_settings, sb, scenario, telegram

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
SAMPLE = re.compile(r"^(\w+(?:\{[^}]*\})?) (\S+)$")


def project_version():
    with open(os.path.join(TOP, "CMakeLists.txt")) as f:
        return re.search(r"project\(\w+ VERSION ([\d.]+)", f.read()).group(1)


def read_metrics():
    """({family: type}, {series: value}) of the metrics file; a family without HELP fails."""
    with open(sb.METRICS_PATH) as f:
        lines = f.read().splitlines()
    types = dict(line.split()[2:4] for line in lines if line.startswith("# TYPE "))
    helped = {line.split()[2] for line in lines if line.startswith("# HELP ")}
    expect(helped == set(types), "families with HELP %s, with TYPE %s" % (sorted(helped), sorted(types)))
    samples = [SAMPLE.match(line) for line in lines if not line.startswith("#")]
    expect(all(samples), "not a sample line in %s" % lines)
    return types, {m.group(1): float(m.group(2)) for m in samples}


def metrics_after(telegrams):
    """The metrics file once it counts this many telegrams, else None."""
    if os.path.exists(sb.METRICS_PATH):
        types, values = read_metrics()
        return values["norvalith_telegrams_total"] == telegrams and (types, values)
    return None


@scenario("watch", timeout=120)
def watch_notify(run):
    """READY=1 with the status once the module has answered, WATCHDOG=1 at every pass
    of a quiet loop (6 s apart at most), the status renewed a minute after READY once
    a telegram changed it; every datagram from the daemon's own process."""
    notify = run.box.notify_socket()
    sim, daemon = run.start(notify=notify)
    ready = run.wait(notify.snapshot, 5, "READY=1")[0]
    expect_equal(ready[2], "READY=1\nSTATUS=0 meters heard, 0 of 1 exported today, no telegram yet", "first datagram")
    # The memory answer goes out before "X" can: READY=1 must come after it.
    expect(ready[0] > sim.sent("answer")[-1][0] / 1000.0, "READY=1 before the module's last answer")
    time.sleep(max(0.0, ready[0] + 40 - time.monotonic()))
    run.tx(sim, telegram(12345678))
    renewal = run.wait(lambda: [m for m in notify.snapshot() if m[2].startswith("STATUS=")],
                       ready[0] + 70 - time.monotonic(), "the status renewed")[0]
    expect_equal(renewal[2], "STATUS=1 meters heard, 1 of 1 exported today, last telegram 0 min ago", "renewal")
    expect(59.5 <= renewal[0] - ready[0] <= 67, "status renewed %.1f s after READY" % (renewal[0] - ready[0]))
    messages = notify.snapshot()
    beats = [m[0] for m in messages if m[2] == "WATCHDOG=1"]
    expect_equal(len(beats) + 2, len(messages), "datagrams other than READY, one STATUS and WATCHDOG=1")
    gaps = [b - a for a, b in zip([ready[0]] + beats, beats + [time.monotonic()])]
    expect(max(gaps) <= 6.5, "WATCHDOG=1 %.1f s apart" % max(gaps))
    expect_equal({m[1] for m in messages}, {daemon.pid}, "sender of the datagrams")
    run.expect_alive(daemon)


@scenario("watch", timeout=150, runtime_dir=False)
def watch_metrics(run):
    """Without /run/Norvalith nothing is written. With it the file is written at the
    loop's first pass and, within the minute after it, holds the telegrams: each family
    with HELP and TYPE, per-meter series only for configured meters heard, dBm from the
    RSSI byte; the daemon user's file, 0644, no temporary file left."""
    a, b, unheard, other = 12345678, 1234567, 23456789, 34567890
    settings = meters_settings([a, b, unheard])
    sim, daemon = run.start(settings)
    run.tx(sim, telegram(a))
    time.sleep(2)
    expect_equal(sorted(set(os.listdir("/run")) - {"mount"}), [], "/run without the runtime directory (but mount(8)'s)")
    expect_equal(run.messages(daemon), ["started"], "log")
    run.restart(daemon, sim)

    run.box.make_runtime_dir()
    before = int(time.time())
    sim, daemon = run.start(settings)
    started = time.time()
    first = run.wait(lambda: metrics_after(0), 5, "the metrics file at the first pass")[1]
    expect_equal(first["norvalith_last_telegram_timestamp_seconds"], 0, "last telegram before any")
    heard = {}
    for meter, dbm in ((a, -50), (other, -60), (b, -40), (a, -40.5)):
        run.tx(sim, telegram(meter), dbm)
        heard[meter] = time.time()
    types, values = run.wait(lambda: metrics_after(4), 70, "the telegrams in the metrics file")
    families = {re.sub(r"\{.*", "", series) for series in values}
    expect_equal(types, {f: "counter" if f.endswith("_total") else "gauge" for f in families}, "families")
    heard_at = 'norvalith_meter_last_heard_timestamp_seconds{meter="%s"}'
    for series, low, high in (("norvalith_start_time_seconds", before, started),
                              ("norvalith_last_telegram_timestamp_seconds", heard[a] - 2, heard[a] + 2),
                              (heard_at % "12345678", heard[a] - 2, heard[a] + 2),
                              (heard_at % "01234567", heard[b] - 2, heard[b] + 2)):
        expect(low <= values.pop(series, -1) <= high, "%s not within %.0f..%.0f" % (series, low, high))
    expect_equal(values, {'norvalith_build_info{version="%s"}' % project_version(): 1, "norvalith_telegrams_total": 4,
                          "norvalith_garbage_bytes_total": 0, "norvalith_table_meters": 3,
                          "norvalith_table_full_telegrams_total": 0, "norvalith_configured_meters": 3,
                          "norvalith_exported_meters": 2, "norvalith_export_failures_total": 0,
                          "norvalith_radio_answering": 1,
                          'norvalith_meter_rssi_dbm{meter="12345678"}': -40.5,
                          'norvalith_meter_rssi_dbm{meter="01234567"}': -40}, "values")
    run.expect_owned(sb.METRICS_PATH, 0o644)
    expect_equal(os.listdir(sb.METRICS_DIR), ["metrics.prom"], "files in " + sb.METRICS_DIR)
    run.expect_alive(daemon)


@scenario("watch", timeout=60)
def watch_node_exporter(run):
    """Debian's node exporter, its textfile directory holding the package's link,
    serves the daemon's series, and promtool accepts the file; once the service's
    runtime directory is gone with it, the exporter says node_textfile_scrape_error 1."""
    exporter, promtool = (shutil.which(p, path=sb.PATH) for p in ("prometheus-node-exporter", "promtool"))
    if not exporter or not promtool:
        raise Skip("prometheus-node-exporter or promtool not installed (Debian packages prometheus-node-exporter, "
                   "prometheus)")
    # The package's link into node exporter's directory; /usr is the machine's own.
    with open(os.path.join(TOP, "debian", "norvalith.links")) as links:
        for target, link in (line.split() for line in links if line.startswith("run/Norvalith/")):
            os.makedirs(os.path.dirname("/" + link), exist_ok=True)
            os.symlink("/" + target, "/" + link)
    sim, daemon = run.start()
    run.wait(lambda: os.path.exists(sb.METRICS_PATH), 5, "the metrics file")
    with open(sb.METRICS_PATH, "rb") as metrics:
        checked = subprocess.run([promtool, "check", "metrics"], stdin=metrics, capture_output=True)
    expect_equal((checked.returncode, checked.stdout + checked.stderr), (0, b""), "promtool check metrics")
    # Node exporter's own port, free in the sandbox's network namespace.
    url = "http://127.0.0.1:9100/metrics"
    node = subprocess.Popen([exporter, "--web.listen-address=127.0.0.1:9100", "--collector.disable-defaults",
                             "--collector.textfile"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def scrape():
        try:
            page = urllib.request.urlopen(url, timeout=5).read().decode()
            return page, re.findall(".*(?:norvalith|textfile).*", page)  # and what a failure shows
        except OSError:
            return None

    try:
        page, ours = run.wait(scrape, 10, "node exporter at " + url)
        expect('\nnorvalith_build_info{version="%s"} 1\n' % project_version() in page
               and "\nnode_textfile_scrape_error 0\n" in page, "the scrape: %s" % ours)
        run.restart(daemon, sim)
        shutil.rmtree(sb.METRICS_DIR)  # as systemd does with a RuntimeDirectory= at stop
        page, ours = scrape()
        expect("\nnode_textfile_scrape_error 1\n" in page and "\nnorvalith_" not in page,
               "the scrape after the stop: %s" % ours)
    finally:
        node.kill()
        node.wait()


@scenario("watch", timeout=60)
def watch_reload(run):
    """A SIGHUP reads the settings again, RELOADING=1 then READY=1: a meter added is
    exported at its next telegram, a meter removed is not, a meter kept (in another
    slot) keeps its day's flag; the table stays and nothing goes to the module. The
    check and the log name the same problem."""
    notify = run.box.notify_socket()
    sim, daemon = run.start(settings="MOD_WMBUS_ADDR1=12345678\nMOD_WMBUS_ADDR2=22222222\n", notify=notify)
    for meter in (12345678, 22222222, 33333333):
        run.tx(sim, telegram(meter))
    run.sync(sim)
    expect_equal([name[:8] for name in run.box.exports()], ["12345678", "22222222"], "exports before")
    for name in run.box.exports():
        os.unlink(os.path.join(sb.EXPORT_DIR, name))  # collected
    run.box.settings("MOD_WMBUS_ADDR1=33333333\nMOD_WMBUS_ADDR2=12345678\nMOD_WMBUS_ADDR3 =1\n")
    check = subprocess.run(run.box.emulator + [sb.DAEMON_PATH, "--check-settings"], capture_output=True, text=True)
    expect_equal((check.returncode, check.stdout), (1, 'settings line 3: MOD_WMBUS_ADDR3: blanks around "="\n'
                                                        "2 meters configured\n"), "the check")
    line_before, table_before = sim.trace_bytes(), sb.read_table()
    reloading = len(notify.snapshot())
    os.kill(daemon.pid, signal.SIGHUP)
    run.wait(lambda: "settings reloaded: 2 meters" in run.messages(daemon), 3, "the reload")
    texts = [m[2] for m in notify.snapshot()[reloading:] if m[2] != "WATCHDOG=1"]
    expect_equal(texts[:2], ["RELOADING=1", "READY=1\nSTATUS=4 meters heard, 1 of 2 exported today, "
                                            "last telegram 0 min ago"], "datagrams of the reload")
    expect_equal(run.messages(daemon)[-2:], ['settings line 3: MOD_WMBUS_ADDR3: blanks around "="',
                                             "settings reloaded: 2 meters"], "log of the reload")
    expect_equal((sim.trace_bytes(), sb.read_table()), (line_before, table_before), "line and table")
    for meter in (12345678, 22222222, 33333333):
        run.tx(sim, telegram(meter))
    run.sync(sim)
    expect_equal([name[:8] for name in run.box.exports()], ["33333333"], "exports after")
    run.expect_alive(daemon)
