#include "core/daily.hpp"

#include <algorithm>
#include <cstddef>
#include <iterator>

#include "base/log.hpp"

namespace norvalith {

namespace {

void clear_slots(DailyExport& daily) { std::fill(std::begin(daily.slots), std::end(daily.slots), SlotDay{}); }

}  // namespace

void reset_daily(DailyExport& daily) {
    clear_slots(daily);
    daily.day_seen = false;
    daily.year = 0;
    daily.yday = 0;
}

bool check_day(DailyExport& daily, const WallTime& at) {
    if (!at.valid) {
        return false;
    }
    const bool same = daily.day_seen && at.local.tm_year == daily.year && at.local.tm_yday == daily.yday;
    if (same) {
        return false;
    }
    const bool change = daily.day_seen;
    daily.day_seen = true;
    daily.year = at.local.tm_year;
    daily.yday = at.local.tm_yday;
    if (change) {
        clear_slots(daily);
    }
    return change;
}

void export_due_meters(DailyExport& daily, const Settings& settings, const char* dir,
                       std::span<const std::uint8_t> telegram, const MeterInfo& meter, const DeviceIdentity& identity,
                       const WallTime& at) {
    for (std::size_t i = 0; i < kMeterSlots; ++i) {
        const MeterSlot& slot = settings.meters[i];
        SlotDay& day = daily.slots[i];
        if (!slot_configured(slot) || slot.address != meter.id || day.exported_today) {
            continue;
        }
        if (export_xml(dir, at, telegram, meter, identity)) {
            day.exported_today = true;
        } else if (!day.failure_logged) {
            // Retried with the meter's next telegram; one message a day is enough.
            day.failure_logged = true;
            log_msg(LOG_ERR, "export xml file error");
        }
    }
}

}  // namespace norvalith
