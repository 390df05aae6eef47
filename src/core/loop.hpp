// What the reception loop owns, and one pass of it.
#pragma once

#include <cstdint>
#include <span>

#include "base/clock.hpp"
#include "core/constants.hpp"
#include "core/daily.hpp"
#include "core/meter_table.hpp"
#include "core/settings.hpp"
#include "core/silence.hpp"
#include "serial/reader.hpp"
#include "telegram/export.hpp"
#include "telegram/header.hpp"

namespace norvalith {

struct Receiver {
    MeterTable* table;
    const char* export_dir;
    Settings settings;
    DeviceIdentity identity;
    DailyExport daily;
    SilenceAlarm silence;
    std::uint8_t rx[kRxCapacity];
    MeterInfo meter;
};

// Start-up's last step, after the settings are loaded: empty receive buffer, no
// slot exported, no day seen, and the silence counted from `monotonic_now`.
void reset_receiver(Receiver& receiver, std::int32_t monotonic_now);

// One pass after read_frame placed n bytes in rx (0: nothing arrived), dated by
// one reading of the wall clock: the day check, then every telegram of the burst,
// then the silence alarm (monotonic_now: monotonic seconds).
// A burst that is an exact run of telegrams is split into them; a telegram cut
// off at its end is completed from the line when its rest follows at once; any
// other burst is taken whole, as one telegram.
void receive(Receiver& receiver, SerialLine& line, std::int32_t n, const WallTime& at, std::int32_t monotonic_now);

// One telegram (or burst taken whole) in rx: table update and due exports; its
// last byte is zeroed. Ignored (false) when it cannot hold a header: shorter
// than one, or a length byte too small for one.
bool handle_telegram(Receiver& receiver, std::span<std::uint8_t> telegram, const WallTime& at);

}  // namespace norvalith
