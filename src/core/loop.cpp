#include "core/loop.hpp"

#include <cstring>

#include "telegram/framing.hpp"

namespace norvalith {

namespace {

// Handles the `count` telegrams that follow each other from `first`.
void handle_run(Receiver& receiver, std::size_t first, std::size_t count, const WallTime& at) {
    std::size_t offset = first;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t size = receiver.rx[offset] + std::size_t{1};
        handle_telegram(receiver, std::span(receiver.rx + offset, size), at);
        offset += size;
    }
}

// The burst of n bytes ends inside a telegram that starts at shape.end and lacks
// shape.missing bytes, and the line was still delivering when the reader's window
// ended: read that rest, and no more, so the next burst starts at the next telegram. The buffer holds any
// telegram (256 bytes at most) after the ones before it have been handled.
void complete_cut(Receiver& receiver, SerialLine& line, std::size_t n, const BurstShape& shape,
                  const WallTime& at) {
    std::size_t have = n;
    if (n + shape.missing > sizeof receiver.rx) {
        handle_run(receiver, 0, shape.whole, at);
        have = n - shape.end;
        std::memmove(receiver.rx, receiver.rx + shape.end, have);
    }
    const std::size_t got =
        read_following(line, std::span(receiver.rx + have, shape.missing), kTelegramGapMs);
    if (got < shape.missing) {
        // The rest never came: what did come is taken whole, as any other burst.
        handle_telegram(receiver, std::span(receiver.rx, have + got), at);
        return;
    }
    handle_run(receiver, 0, have == n ? shape.whole + 1 : 1, at);
}

}  // namespace

void reset_receiver(Receiver& receiver, std::int32_t monotonic_now) {
    std::memset(receiver.rx, 0, sizeof receiver.rx);
    reset_daily(receiver.daily);
    start_silence_alarm(receiver.silence, receiver.settings.silence_alarm_minutes, monotonic_now);
}

bool handle_telegram(Receiver& receiver, std::span<std::uint8_t> telegram, const WallTime& at) {
    // Header bytes beyond a short burst would come from an earlier telegram and
    // file this one under another meter's id; a length byte below the header's
    // size is line noise, which must not take one of the table's entries.
    if (telegram.size() < kHeaderSize || telegram[0] < kMinLengthByte) {
        return false;
    }
    decode_header(telegram, receiver.meter);
    record_meter(receiver.table, receiver.meter);
    ++receiver.daily.heard;
    telegram.back() = 0;
    export_due_meters(receiver.daily, receiver.settings, receiver.export_dir, telegram, receiver.meter,
                      receiver.identity, at);
    return true;
}

void receive(Receiver& receiver, SerialLine& line, std::int32_t n, const WallTime& at, std::int32_t monotonic_now) {
    check_day(receiver.daily, receiver.settings, at);
    const std::uint32_t heard_before = receiver.daily.heard;
    if (n > 0 && n <= kRxCapacity) {
        const auto size = static_cast<std::size_t>(n);
        const BurstShape shape = shape_of(std::span<const std::uint8_t>(receiver.rx, size));
        if (shape.exact(size)) {
            handle_run(receiver, 0, shape.whole, at);
        } else if (shape.missing > 0 && line_still_busy(line, kTelegramGapMs)) {
            complete_cut(receiver, line, size, shape, at);
        } else {
            handle_telegram(receiver, std::span(receiver.rx, size), at);
        }
    }
    check_silence(receiver.silence, receiver.daily.heard - heard_before, monotonic_now);
}

}  // namespace norvalith
