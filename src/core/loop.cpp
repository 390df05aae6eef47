#include "core/loop.hpp"

#include <cstring>

#include "telegram/export.hpp"

namespace norvalith {

void reset_receiver(Receiver& receiver) {
    std::memset(receiver.rx, 0, sizeof receiver.rx);
    clear_export_flags(receiver.settings);
    receiver.last_yday = 0;
}

void check_day(Receiver& receiver, std::time_t now) {
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) {
        return;
    }
    if (local.tm_yday != receiver.last_yday) {
        clear_export_flags(receiver.settings);
        receiver.last_yday = local.tm_yday;
    }
}

void handle_frame(Receiver& receiver, std::int32_t n) {
    // Header bytes beyond a short burst would come from an earlier telegram and
    // file this one under another meter's id.
    if (n < kHeaderSize) {
        return;
    }
    decode_header(receiver.rx, receiver.meter, n);
    record_meter(receiver.table, receiver.meter);
    receiver.rx[n - 1] = 0;
    export_due_meters(receiver.settings, receiver.export_dir, receiver.rx, n, receiver.meter, receiver.identity);
}

}  // namespace norvalith
