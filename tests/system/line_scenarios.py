"""The line: hung up, quiet, and the silence alarm."""

import time

from harness.scenario import expect, expect_equal, sb, scenario, telegram


@scenario("line", timeout=60, tags=("unprivileged",))
def line_hangup(run):
    """A hung-up line: one message, no spinning, the daemon stays."""
    sim, daemon = run.start()
    sim.command("hangup")
    time.sleep(1.5)
    before = sb.cpu_seconds(daemon.pid)
    time.sleep(5)
    used = sb.cpu_seconds(daemon.pid) - before
    expect(used < 0.2, "daemon used %.2f s CPU in 5 s on a hung-up line" % used)
    messages = run.messages(daemon)
    reads = [m for m in messages if m.startswith("read: ")]
    expect_equal(len(reads), 1, "read failure messages (%s)" % messages)
    expect_equal(messages, ["started"] + reads, "log")
    run.expect_alive(daemon)


@scenario("line", timeout=60)
def line_quiet(run):
    """A quiet line costs next to no CPU; nothing is logged."""
    sim, daemon = run.start()
    time.sleep(0.5)
    before = sb.cpu_seconds(daemon.pid)
    time.sleep(12)
    used = sb.cpu_seconds(daemon.pid) - before
    expect(used < 0.05, "daemon used %.2f s CPU in 12 s on a quiet line" % used)
    expect_equal(run.messages(daemon), ["started"], "log")
    run.expect_alive(daemon)


@scenario("line", timeout=240)
def line_silence_alarm(run):
    """With MOD_WMBUS_SILENCE_ALARM=1, a minute without a telegram after start-up
    gives one warning (the loop's 5 s wait is its granularity) and a question to the
    module: 0x00, and "X" only after its ">". A minute later a muted module is asked
    again, four times in all, and gets no "X"; each result is logged when it changes. The next telegram
    gives a notice with the whole minutes of silence."""
    sim, daemon = run.start(settings="MOD_WMBUS_ADDR1=12345678\nMOD_WMBUS_SILENCE_ALARM=1\n")
    handshake = sim.trace_bytes()
    started = sim.trace()[-1][0] / 1000.0  # "X": the end of the handshake
    warnings = run.wait(lambda: [m for m in run.box.log.snapshot(daemon.pid) if m.text.startswith("no telegram")],
                        80, "the silence warning")
    silence = warnings[0].received - started
    expect(60 <= silence <= 66, "warning after %.1f s of silence, expected 60 to 66" % silence)
    expect_equal((warnings[0].priority, warnings[0].text), (sb.LOG_WARNING, "no telegram for 1 min"), "warning")
    run.wait(lambda: "rc1180 answers" in run.messages(daemon), 3, "the answer logged")
    # The module's trace may record the "X" just after the daemon logged.
    sb.wait_until(lambda: len(sim.trace_bytes()) >= len(handshake) + 2, 1, None)
    expect_equal(sim.trace_bytes()[len(handshake):], b"\x00X", "the question on the line")
    sim.mute()
    run.wait(lambda: "rc1180 not answering" in run.messages(daemon), 95, "the second question unanswered")
    time.sleep(0.3)
    expect_equal(sim.trace_bytes()[len(handshake):], b"\x00X" + b"\x00" * 4, "the unanswered questions on the line")
    sim.unmute()
    run.tx(sim, telegram(12345678))
    run.wait(lambda: len(run.messages(daemon)) >= 5, 5, "the notice")
    log = [(m.priority, m.text) for m in run.box.log.snapshot(daemon.pid)]
    expect_equal(log, [(sb.LOG_NOTICE, "started"), (sb.LOG_WARNING, "no telegram for 1 min"),
                       (sb.LOG_NOTICE, "rc1180 answers"), (sb.LOG_ERR, "rc1180 not answering"),
                       (sb.LOG_NOTICE, "telegrams again after 2 min")], "log")
    print("NOTE: silence warning after %.1f s" % silence)
    run.expect_alive(daemon)
