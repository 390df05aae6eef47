// What the reception loop owns, and one pass of it.
#pragma once

#include <cstdint>
#include <ctime>

#include "core/identity.hpp"
#include "core/meter_table.hpp"
#include "core/settings.hpp"
#include "telegram/header.hpp"

namespace norvalith {

struct Receiver {
    MeterTable* table;
    const char* export_dir;
    Settings settings;
    DeviceIdentity identity;
    std::uint8_t rx[512];
    MeterInfo meter;
    std::int32_t last_yday;
};

// Start-up's last step: empty receive buffer, no slot exported, day 0.
void reset_receiver(Receiver& receiver);

// Clears every slot's export flag when the local day of the year of `now` differs
// from the last one seen.
void check_day(Receiver& receiver, std::time_t now);

// One burst of n bytes in rx: table update and due exports. Bursts too short to
// hold a header are not telegrams and are ignored.
void handle_frame(Receiver& receiver, std::int32_t n);

}  // namespace norvalith
