// What the reception loop owns, and one pass of it.
#pragma once

#include <cstdint>

#include "base/clock.hpp"
#include "core/constants.hpp"
#include "core/daily.hpp"
#include "core/meter_table.hpp"
#include "core/settings.hpp"
#include "telegram/export.hpp"
#include "telegram/header.hpp"

namespace norvalith {

struct Receiver {
    MeterTable* table;
    const char* export_dir;
    Settings settings;
    DeviceIdentity identity;
    DailyExport daily;
    std::uint8_t rx[kRxCapacity];
    MeterInfo meter;
};

// Start-up's last step: empty receive buffer, no slot exported, day 0.
void reset_receiver(Receiver& receiver);

// One pass after a read of n bytes into rx (0: nothing arrived), dated by one
// reading of the wall clock: the day check, then the burst.
void receive(Receiver& receiver, std::int32_t n, const WallTime& at);

// A burst of n bytes in rx: table update and due exports. Bursts too short to
// hold a header are not telegrams and are ignored.
void handle_frame(Receiver& receiver, std::int32_t n, const WallTime& at);

}  // namespace norvalith
