#include "core/loop.hpp"

#include <cstring>
#include <span>

namespace norvalith {

void reset_receiver(Receiver& receiver) {
    std::memset(receiver.rx, 0, sizeof receiver.rx);
    reset_daily(receiver.daily);
}

void receive(Receiver& receiver, std::int32_t n, const WallTime& at) {
    check_day(receiver.daily, at);
    if (n > 0) {
        handle_frame(receiver, n, at);
    }
}

void handle_frame(Receiver& receiver, std::int32_t n, const WallTime& at) {
    if (n <= 0 || n > kRxCapacity) {
        return;
    }
    const std::span<std::uint8_t> burst(receiver.rx, static_cast<std::size_t>(n));
    // Header bytes beyond a short burst would come from an earlier telegram and
    // file this one under another meter's id.
    if (!decode_header(burst, receiver.meter)) {
        return;
    }
    record_meter(receiver.table, receiver.meter);
    burst.back() = 0;
    export_due_meters(receiver.daily, receiver.settings, receiver.export_dir, burst, receiver.meter,
                      receiver.identity, at);
}

}  // namespace norvalith
