#include "core/loop.hpp"

#include <cstdio>
#include <cstring>

#include "base/log.hpp"
#include "serial/radio.hpp"

namespace norvalith {

namespace {

// Room for the metrics of 128 configured meters with their longest values.
char g_metrics[32768];

// A header names a meter in the table: same id, manufacturer and device type.
bool in_table(const void* context, std::span<const std::uint8_t> header) {
    MeterInfo meter{};
    decode_header(header, meter);
    for (const MeterInfo& entry : static_cast<const MeterTable*>(context)->entries) {
        if (entry.id == 0) {
            return false;
        }
        if (entry.id == meter.id && entry.manufacturer == meter.manufacturer && entry.device_type == meter.device_type) {
            return true;
        }
    }
    return false;
}

void status_line(const Receiver& receiver, std::int32_t monotonic_now, char* out, std::size_t size) {
    format_status(out, size, count_meters(receiver.table), count_exports(receiver.daily, receiver.settings),
                  receiver.watch.telegrams > 0, std::int64_t{monotonic_now} - receiver.silence.last_heard);
}

}  // namespace

long find_prompt(const Framer& framer, std::span<const std::uint8_t> buffer, std::size_t fresh) {
    // Readings on copies: the framer learns only from the pass that is handled.
    // The convention followed decides: a '>' after a telegram would otherwise
    // read as its RSSI byte under the other one while no burst has shown which.
    Framer probe = framer;
    probe.established = true;
    const Pass whole = plan_pass(probe, buffer, fresh);
    auto in_telegram = [&](std::size_t p) {
        for (std::size_t i = 0; i < whole.count; ++i) {
            if (p >= whole.at[i] && p < whole.at[i] + buffer[whole.at[i]] + whole.extra) {
                return true;
            }
        }
        // A '>' that ends the burst may read as a cut telegram's length byte: the
        // prompt is taken, as a module in configuration mode sends nothing after it.
        return p > whole.cut || (p == whole.cut && p + 1 < buffer.size());
    };
    for (std::size_t p = buffer.size() - fresh; p < buffer.size(); ++p) {
        if (buffer[p] != kPrompt || in_telegram(p)) {
            continue;
        }
        Framer after = framer;
        after.established = true;
        after.pending = 0;
        after.anchored = true;
        const auto rest = buffer.subspan(p + 1);
        if (plan_pass(after, rest, rest.size()).garbage == 0) {
            return static_cast<long>(p);
        }
    }
    return -1;
}

void reset_receiver(Receiver& receiver, std::int32_t monotonic_now) {
    std::memset(receiver.rx, 0, sizeof receiver.rx);
    receiver.framer = Framer{};
    receiver.framer.known = in_table;
    receiver.framer.known_context = receiver.table;
    reset_daily(receiver.daily);
    start_silence_alarm(receiver.silence, receiver.settings.silence_alarm_minutes, monotonic_now);
    reset_watch(receiver.watch, monotonic_now);
    receiver.question = Question{};
}

void announce_ready(Receiver& receiver) {
    Watch& watch = receiver.watch;
    status_line(receiver, watch.status_at, watch.status, sizeof watch.status);
    char message[sizeof watch.status + 20];
    std::snprintf(message, sizeof message, "READY=1\nSTATUS=%s", watch.status);
    notify(watch.notifier, message);
}

void handle_telegram(Receiver& receiver, std::span<std::uint8_t> telegram, const WallTime& at) {
    decode_header(telegram, receiver.meter);
    const bool recorded = record_meter(receiver.table, receiver.meter);
    ++receiver.daily.heard;
    const Dispatch dispatch = export_due_meters(receiver.daily, receiver.settings, receiver.export_dir,
                                                raw_copy(telegram), receiver.meter, receiver.identity, at);
    note_telegram(receiver.watch, dispatch, receiver.meter, recorded, at.seconds);
}

void handle_burst(Receiver& receiver, std::int32_t n, const WallTime& at, std::int32_t monotonic_now) {
    if (check_day(receiver.daily, receiver.settings, at)) {
        receiver.watch.day_changed = true;
    }
    const std::uint32_t heard_before = receiver.daily.heard;
    const std::span<std::uint8_t> rx(receiver.rx);
    const Pass pass = plan_pass(receiver.framer, rx, n > 0 ? static_cast<std::size_t>(n) : 0);
    for (std::size_t i = 0; i < pass.count; ++i) {
        const std::size_t offset = pass.at[i];
        handle_telegram(receiver, rx.subspan(offset, receiver.rx[offset] + pass.extra), at);
    }
    note_garbage(receiver.watch, pass.garbage);
    keep_cut(receiver.framer, rx, pass);
    check_silence(receiver.silence, receiver.daily.heard - heard_before, monotonic_now);
}

void receive_pass(Receiver& receiver, SerialLine& line, const Clocks& clocks) {
    const std::size_t kept = receiver.framer.pending;
    const std::int32_t timeout = kept > 0 ? kRestTimeoutSeconds : kFrameTimeoutSeconds;
    // A reload wakes the wait, but never the wait for a cut telegram's rest.
    const int wake = kept > 0 ? -1 : receiver.reload_fd;
    const std::uint64_t before = receiver.watch.telegrams;
    const std::int32_t n = read_frame(line, std::span(receiver.rx).subspan(kept), timeout, kBurstAllowanceMs, wake);
    const std::int32_t monotonic_now = clocks.monotonic();
    handle_burst(receiver, n, clocks.wall(), monotonic_now);
    if (receiver.framer.pending == 0 && take_reload_signal(receiver.reload_fd)) {
        reload_settings(receiver, monotonic_now);
    }
    Question& question = receiver.question;
    if (receiver.silence.ask) {
        receiver.silence.ask = false;
        question = Question{kQuestionTries, monotonic_now, false};
    } else if (question.left > 0 && receiver.watch.telegrams > before) {
        question.left = 0;  // a module in configuration mode passes no telegram
        note_radio(receiver.watch, true);
    }
    // Not while a cut telegram waits for its rest: its bytes lead the buffer.
    if (question.left > 0 && receiver.framer.pending == 0 && monotonic_now >= question.due) {
        const Answer answer = ask_radio(receiver, line, clocks);
        question.answered = question.answered || answer != Answer::none;
        --question.left;
        if (answer == Answer::prompt) {
            question.left = 0;
        }
        question.due = clocks.monotonic() + kQuestionRetrySeconds;
        if (question.left == 0) {
            note_radio(receiver.watch, question.answered);
        }
    }
    watch_pass(receiver, monotonic_now);
}

void reload_settings(Receiver& receiver, std::int32_t monotonic_now) {
    Watch& watch = receiver.watch;
    notify(watch.notifier, "RELOADING=1");
    Settings& settings = receiver.settings;
    MeterSlot before[kMeterSlots];
    SlotDay days[kMeterSlots];
    SlotHeard heard[kMeterSlots];
    std::memcpy(before, settings.meters, sizeof before);
    std::memcpy(days, receiver.daily.slots, sizeof days);
    std::memcpy(heard, watch.heard, sizeof heard);
    const std::uint32_t minutes = settings.silence_alarm_minutes;
    if (read_settings(settings, receiver.settings_path, log_settings_problem, nullptr)) {
        for (std::size_t slot = 0; slot < kMeterSlots; ++slot) {
            receiver.daily.slots[slot] = SlotDay{};
            watch.heard[slot] = SlotHeard{};
            const std::uint32_t address = settings.meters[slot].address;
            // The metrics list a meter once, under its first slot.
            bool first = true;
            for (std::size_t earlier = 0; earlier < slot; ++earlier) {
                first = first && settings.meters[earlier].address != address;
            }
            for (std::size_t old = 0; address != 0 && old < kMeterSlots; ++old) {
                if (before[old].address == address) {
                    receiver.daily.slots[slot] = days[old];
                    watch.heard[slot] = first ? heard[old] : SlotHeard{};
                    break;
                }
            }
        }
        if (settings.silence_alarm_minutes != minutes) {
            // A new alarm period starts its own count of warnings and questions.
            receiver.silence.minutes = settings.silence_alarm_minutes;
            receiver.silence.warned = false;
            receiver.silence.ask = false;
        }
        log_msg(LOG_NOTICE, "settings reloaded: %u meters", count_exports(receiver.daily, settings).configured);
    }
    watch.changed = true;
    status_line(receiver, monotonic_now, watch.status, sizeof watch.status);
    char message[sizeof watch.status + 20];
    std::snprintf(message, sizeof message, "READY=1\nSTATUS=%s", watch.status);
    notify(watch.notifier, message);
}

Answer ask_radio(Receiver& receiver, SerialLine& line, const Clocks& clocks) {
    if (!send_command(line, kCmdEnterConfig, kWriteTimeoutSeconds)) {
        return Answer::none;
    }
    const std::uint64_t before = receiver.watch.telegrams;
    const std::int64_t asked_ms = monotonic_ms();
    // A telegram under way when the question went out comes first; the prompt may
    // end its burst, follow on its own, or come after noise.
    for (;;) {
        const std::size_t kept = receiver.framer.pending;
        const std::int32_t n =
            read_frame(line, std::span(receiver.rx).subspan(kept), kQuestionTimeoutSeconds, kBurstAllowanceMs);
        if (n <= 0) {
            break;  // a kept piece waits for its rest in the next pass
        }
        const auto fresh = static_cast<std::size_t>(n);
        const long at = find_prompt(receiver.framer, std::span(receiver.rx).first(kept + fresh), fresh);
        if (at >= 0) {
            const auto p = static_cast<std::size_t>(at);
            std::memmove(receiver.rx + p, receiver.rx + p + 1, kept + fresh - p - 1);
            if (n > 1) {
                handle_burst(receiver, n - 1, clocks.wall(), clocks.monotonic());
            }
            send_command(line, kCmdExitConfig, kWriteTimeoutSeconds);
            return Answer::prompt;
        }
        handle_burst(receiver, n, clocks.wall(), clocks.monotonic());
        if (monotonic_ms() - asked_ms >= std::int64_t{kQuestionTimeoutSeconds} * 1000) {
            break;
        }
    }
    return receiver.watch.telegrams > before ? Answer::telegrams : Answer::none;
}

void watch_pass(Receiver& receiver, std::int32_t monotonic_now) {
    Watch& watch = receiver.watch;
    notify(watch.notifier, "WATCHDOG=1");
    const bool period_over = monotonic_now >= 0 && monotonic_now - watch.written_at >= kWatchPeriodSeconds;
    if (watch.metrics_dir != nullptr && (watch.written_at < 0 || watch.day_changed || (watch.changed && period_over))) {
        const ExportCount count = count_exports(receiver.daily, receiver.settings);
        const std::size_t length =
            format_metrics(g_metrics, sizeof g_metrics, watch, receiver.settings, count, count_meters(receiver.table));
        const bool failed = length > 0 && !publish_metrics(watch, g_metrics, length);
        watch.written_at = monotonic_now < 0 ? 0 : monotonic_now;
        watch.changed = failed;  // a failed write is retried at the next period
        watch.day_changed = false;
    }
    if (monotonic_now >= 0 && monotonic_now - watch.status_at >= kWatchPeriodSeconds) {
        watch.status_at = monotonic_now;
        char status[sizeof watch.status];
        status_line(receiver, monotonic_now, status, sizeof status);
        if (std::strcmp(status, watch.status) != 0) {
            std::memcpy(watch.status, status, sizeof status);
            char message[sizeof status + 8];
            std::snprintf(message, sizeof message, "STATUS=%s", status);
            notify(watch.notifier, message);
        }
    }
}

}  // namespace norvalith
