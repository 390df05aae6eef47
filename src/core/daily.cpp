#include "core/daily.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iterator>

#include "base/log.hpp"

namespace norvalith {

namespace {

void clear_slots(DailyExport& daily) { std::fill(std::begin(daily.slots), std::end(daily.slots), SlotDay{}); }

// Local days in order.
std::int32_t day_number(const std::tm& local) { return local.tm_year * 366 + local.tm_yday; }

}  // namespace

void reset_daily(DailyExport& daily) {
    clear_slots(daily);
    daily.day_seen = false;
    daily.day = std::tm{};
    daily.reported = INT32_MIN;
    daily.heard = 0;
}

ExportCount count_exports(const DailyExport& daily, const Settings& settings) {
    ExportCount count;
    for (std::size_t i = 0; i < kMeterSlots; ++i) {
        if (slot_configured(settings.meters[i])) {
            ++count.configured;
            count.exported += daily.slots[i].exported_today ? 1 : 0;
        }
    }
    return count;
}

void report_day(const DailyExport& daily, const Settings& settings) {
    char date[40];
    std::snprintf(date, sizeof date, "%04d-%02d-%02d", daily.day.tm_year + 1900, daily.day.tm_mon + 1,
                  daily.day.tm_mday);
    const ExportCount count = count_exports(daily, settings);
    log_msg(LOG_NOTICE, "day %s: %u telegrams, %u of %u meters exported", date, daily.heard, count.exported,
            count.configured);

    // The missing meters, sixteen to a message so that none is cut by the log.
    constexpr int kIdsPerMessage = 16;
    char ids[kIdsPerMessage * 11 + 1];  // a configured address may have ten digits
    std::size_t length = 0;
    int listed = 0;
    for (std::size_t i = 0; i < kMeterSlots; ++i) {
        const MeterSlot& slot = settings.meters[i];
        if (!slot_configured(slot) || daily.slots[i].exported_today) {
            continue;
        }
        length += static_cast<std::size_t>(
            std::snprintf(ids + length, sizeof ids - length, listed == 0 ? "%08u" : " %08u", slot.address));
        if (++listed == kIdsPerMessage) {
            log_msg(LOG_WARNING, "not exported on %s: %s", date, ids);
            length = 0;
            listed = 0;
        }
    }
    if (listed > 0) {
        log_msg(LOG_WARNING, "not exported on %s: %s", date, ids);
    }
}

bool check_day(DailyExport& daily, const Settings& settings, const WallTime& at) {
    if (!at.valid) {
        return false;
    }
    const std::int32_t today = day_number(at.local);
    const std::int32_t last = day_number(daily.day);
    if (!daily.day_seen) {
        daily.day_seen = true;
        daily.day = at.local;
        return false;
    }
    if (today == last) {
        return false;
    }
    // A clock set back leaves a day that has not ended, and may come forward
    // again out of days already reported. Set back by more than a day, it was
    // wrong before (an RTC that lost its battery): its days will not come again,
    // and the days from now on are reported.
    if (today < last - 1) {
        daily.reported = today - 1;
    }
    const bool report = today > last && last > daily.reported;
    if (report) {
        report_day(daily, settings);
        daily.reported = last;
        daily.heard = 0;
    }
    // The flags follow the date the files are named by, back or forward; a file
    // already there for that date is kept by the export's own check.
    clear_slots(daily);
    daily.day = at.local;
    return report;
}

Dispatch export_due_meters(DailyExport& daily, const Settings& settings, const char* dir,
                           std::span<const std::uint8_t> raw_copy, const MeterInfo& meter,
                           const DeviceIdentity& identity, const WallTime& at) {
    Dispatch dispatch;
    for (std::size_t i = 0; i < kMeterSlots; ++i) {
        const MeterSlot& slot = settings.meters[i];
        SlotDay& day = daily.slots[i];
        if (!slot_configured(slot) || slot.address != meter.id) {
            continue;
        }
        if (dispatch.slot == kMeterSlots) {
            dispatch.slot = i;
        }
        if (day.exported_today) {
            continue;
        }
        if (export_xml(dir, at, raw_copy, meter, identity)) {
            day.exported_today = true;
            continue;
        }
        ++dispatch.failures;
        if (!day.failure_logged) {
            // Retried with the meter's next telegram; one message a day is enough.
            day.failure_logged = true;
            log_msg(LOG_ERR, "export xml file error");
        }
    }
    return dispatch;
}

}  // namespace norvalith
