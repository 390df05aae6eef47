// The once-a-day export policy, in one place: which configured slots have their
// file for today, the change of local day with its report, the dispatch with its
// retry, and its failure messages.
#pragma once

#include <cstdint>
#include <ctime>
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
    bool day_seen;         // false until the first check after start
    std::tm day;           // the local day of the last check (its date fields)
    std::int32_t reported;  // the latest day reported, as year * 366 + day of the year
    std::uint32_t heard;   // telegrams handled since the last report or the start
};

// Start-up: no slot exported, no day seen yet.
void reset_daily(DailyExport& daily);

// When `at` falls on another local date than the last check (year and day of the
// year, so a clock that jumps by whole years is a change of day too): clears every
// slot, and when the clock went forward from a day later than any reported, first
// reports that day, "day YYYY-MM-DD: T telegrams, E of C meters exported", and the
// configured meters without a file. So a day is reported once, and only when it
// ended: a clock set back reports nothing (by more than a day, it was wrong, and
// reports go on from the new date). True when it reported; the first check
// after start only notes the day.
bool check_day(DailyExport& daily, const Settings& settings, const WallTime& at);

// Configured slots, and those of them with today's file: the C and E of the report.
struct ExportCount {
    unsigned configured = 0;
    unsigned exported = 0;
};
ExportCount count_exports(const DailyExport& daily, const Settings& settings);

// The report of the day in `daily` as the change of day logs it.
void report_day(const DailyExport& daily, const Settings& settings);

// Exports the telegram's raw copy once for every configured slot naming this meter that has
// no file yet today; a slot is marked only when its file was written, so the
// meter's next telegram retries. A failure is logged once per slot and day.
// The dispatch's walk over the slots also finds the meter's first slot, which the
// metrics need: one walk per telegram, not two.
struct Dispatch {
    unsigned failures = 0;          // exports that failed
    std::size_t slot = kMeterSlots;  // the first configured slot naming the meter
};
Dispatch export_due_meters(DailyExport& daily, const Settings& settings, const char* dir,
                           std::span<const std::uint8_t> raw_copy, const MeterInfo& meter,
                           const DeviceIdentity& identity, const WallTime& at);

}  // namespace norvalith
