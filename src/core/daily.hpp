// The once-a-day export policy, in one place: which configured slots have their
// file for today, the change of local day, the dispatch with its retry, and its
// failure messages.
#pragma once

#include <cstdint>
#include <span>

#include "base/clock.hpp"
#include "core/settings.hpp"
#include "telegram/export.hpp"
#include "telegram/header.hpp"

namespace norvalith {

struct SlotDay {
    bool exported_today;  // this day's file is written
    bool failure_logged;  // this day's export failure was logged
};

struct DailyExport {
    SlotDay slots[kMeterSlots];
    std::int32_t last_yday;  // local day of the year at the last check
};

// Start-up: no slot exported, day 0.
void reset_daily(DailyExport& daily);

// Clears every slot when `at` falls on another local day of the year than the last
// check. True when it did.
bool check_day(DailyExport& daily, const WallTime& at);

// Exports the telegram once for every configured slot naming this meter that has
// no file yet today; a slot is marked only when its file was written, so the
// meter's next telegram retries. A failure is logged once per slot and day.
void export_due_meters(DailyExport& daily, const Settings& settings, const char* dir,
                       std::span<const std::uint8_t> telegram, const MeterInfo& meter, const DeviceIdentity& identity,
                       const WallTime& at);

}  // namespace norvalith
