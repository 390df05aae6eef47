#include "core/loop.hpp"

#include <cstring>

namespace norvalith {

void reset_receiver(Receiver& receiver, std::int32_t monotonic_now) {
    std::memset(receiver.rx, 0, sizeof receiver.rx);
    receiver.framer = Framer{};
    reset_daily(receiver.daily);
    start_silence_alarm(receiver.silence, receiver.settings.silence_alarm_minutes, monotonic_now);
}

void handle_telegram(Receiver& receiver, std::span<std::uint8_t> telegram, const WallTime& at) {
    decode_header(telegram, receiver.meter);
    record_meter(receiver.table, receiver.meter);
    ++receiver.daily.heard;
    export_due_meters(receiver.daily, receiver.settings, receiver.export_dir, raw_copy(telegram), receiver.meter,
                      receiver.identity, at);
}

void handle_burst(Receiver& receiver, std::int32_t n, const WallTime& at, std::int32_t monotonic_now) {
    check_day(receiver.daily, receiver.settings, at);
    const std::uint32_t heard_before = receiver.daily.heard;
    const std::span<std::uint8_t> rx(receiver.rx);
    const Pass pass = plan_pass(receiver.framer, rx, n > 0 ? static_cast<std::size_t>(n) : 0);
    if (pass.alone > 0) {
        handle_telegram(receiver, rx.first(pass.alone), at);
    }
    std::size_t offset = pass.start;
    for (std::size_t i = 0; i < pass.count; ++i) {
        const std::size_t size = receiver.rx[offset] + pass.extra;
        handle_telegram(receiver, rx.subspan(offset, size), at);
        offset += size;
    }
    keep_cut(receiver.framer, rx, pass);
    check_silence(receiver.silence, receiver.daily.heard - heard_before, monotonic_now);
}

void receive_pass(Receiver& receiver, SerialLine& line, const Clocks& clocks) {
    const std::size_t kept = receiver.framer.pending;
    const std::int32_t timeout = kept > 0 ? kRestTimeoutSeconds : kFrameTimeoutSeconds;
    const std::int32_t n = read_frame(line, std::span(receiver.rx).subspan(kept), timeout, kBurstAllowanceMs);
    handle_burst(receiver, n, clocks.wall(), clocks.monotonic());
}

}  // namespace norvalith
