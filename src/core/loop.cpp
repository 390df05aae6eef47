#include "core/loop.hpp"

#include <cstdio>
#include <cstring>

#include "serial/radio.hpp"

namespace norvalith {

namespace {

// Room for the metrics of 128 configured meters with their longest values.
char g_metrics[32768];

// Where the module's prompt stands in the burst that follows the question: first
// (telegrams after it) when the bytes after it explain more of the burst than the
// burst explains itself, or last when the bytes before it are whole telegrams. A
// telegram's length byte, or its RSSI byte, may read as '>' too.
enum class Prompt { none, first, last };

Prompt find_prompt(const Framer& framer, std::span<const std::uint8_t> burst) {
    if (burst.empty()) {
        return Prompt::none;
    }
    const std::size_t extra = framer.extra;
    const std::size_t size = burst.size();
    if (burst[0] == kPrompt && walk(burst.subspan(1), extra).end + 1 > walk(burst, extra).end) {
        return Prompt::first;
    }
    if (burst[size - 1] == kPrompt && walk(burst.first(size - 1), extra).end == size - 1) {
        return Prompt::last;
    }
    return Prompt::none;
}

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

void reset_receiver(Receiver& receiver, std::int32_t monotonic_now) {
    std::memset(receiver.rx, 0, sizeof receiver.rx);
    receiver.framer = Framer{};
    receiver.framer.known = in_table;
    receiver.framer.known_context = receiver.table;
    reset_daily(receiver.daily);
    start_silence_alarm(receiver.silence, receiver.settings.silence_alarm_minutes, monotonic_now);
    reset_watch(receiver.watch, monotonic_now);
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
    const std::int32_t n = read_frame(line, std::span(receiver.rx).subspan(kept), timeout, kBurstAllowanceMs);
    const std::int32_t monotonic_now = clocks.monotonic();
    handle_burst(receiver, n, clocks.wall(), monotonic_now);
    // Not while a cut telegram waits for its rest: its bytes lead the buffer.
    if (receiver.silence.ask && receiver.framer.pending == 0) {
        receiver.silence.ask = false;
        note_radio(receiver.watch, ask_radio(receiver, line, clocks));
    }
    watch_pass(receiver, monotonic_now);
}

bool ask_radio(Receiver& receiver, SerialLine& line, const Clocks& clocks) {
    if (!send_command(line, kCmdEnterConfig, kWriteTimeoutSeconds)) {
        return false;
    }
    const std::uint64_t before = receiver.watch.telegrams;
    const std::int64_t asked_ms = monotonic_ms();
    // A telegram under way when the question went out comes first; the prompt may
    // end its burst or follow on its own.
    while (receiver.framer.pending == 0) {
        const std::int32_t n = read_frame(line, receiver.rx, kQuestionTimeoutSeconds, kBurstAllowanceMs);
        if (n <= 0) {
            break;
        }
        const auto fresh = std::span<const std::uint8_t>(receiver.rx).first(static_cast<std::size_t>(n));
        const Prompt prompt = find_prompt(receiver.framer, fresh);
        if (prompt != Prompt::none) {
            if (prompt == Prompt::first) {
                std::memmove(receiver.rx, receiver.rx + 1, static_cast<std::size_t>(n - 1));
            }
            if (n > 1) {
                handle_burst(receiver, n - 1, clocks.wall(), clocks.monotonic());
            }
            send_command(line, kCmdExitConfig, kWriteTimeoutSeconds);
            return true;
        }
        handle_burst(receiver, n, clocks.wall(), clocks.monotonic());
        if (monotonic_ms() - asked_ms >= std::int64_t{kQuestionTimeoutSeconds} * 1000) {
            break;
        }
    }
    return receiver.watch.telegrams > before;
}

void watch_pass(Receiver& receiver, std::int32_t monotonic_now) {
    Watch& watch = receiver.watch;
    notify(watch.notifier, "WATCHDOG=1");
    const bool period_over = monotonic_now >= 0 && monotonic_now - watch.written_at >= kWatchPeriodSeconds;
    if (watch.metrics_dir != nullptr && (watch.written_at < 0 || watch.day_changed || (watch.changed && period_over))) {
        const ExportCount count = count_exports(receiver.daily, receiver.settings);
        const std::size_t length =
            format_metrics(g_metrics, sizeof g_metrics, watch, receiver.settings, count, count_meters(receiver.table));
        if (length > 0) {
            write_metrics(watch.metrics_dir, g_metrics, length);
        }
        watch.written_at = monotonic_now < 0 ? 0 : monotonic_now;
        watch.changed = false;
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
