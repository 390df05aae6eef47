#include "core/watch.hpp"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <iterator>

#include "base/log.hpp"

namespace norvalith {

void reset_watch(Watch& watch, std::int32_t monotonic_now) {
    watch.telegrams = 0;
    watch.last_telegram = 0;
    watch.table_full = 0;
    watch.export_failures = 0;
    watch.radio_answering = true;
    watch.radio_reported = false;
    std::fill(std::begin(watch.heard), std::end(watch.heard), SlotHeard{});
    watch.changed = false;
    watch.day_changed = false;
    watch.written_at = -1;
    watch.status_at = monotonic_now;
    watch.status[0] = '\0';
}

void note_telegram(Watch& watch, const Settings& settings, const MeterInfo& meter, bool recorded,
                   unsigned failed_exports, std::time_t at) {
    ++watch.telegrams;
    watch.last_telegram = at;
    watch.table_full += recorded ? 0 : 1;
    watch.export_failures += failed_exports;
    watch.changed = true;
    // Only configured meters get series of their own: a fleet's series stay bounded.
    for (std::size_t i = 0; i < kMeterSlots; ++i) {
        if (slot_configured(settings.meters[i]) && settings.meters[i].address == meter.id) {
            watch.heard[i] = SlotHeard{at, static_cast<std::uint8_t>(meter.trailer)};
            return;
        }
    }
}

void note_radio(Watch& watch, bool answering) {
    if (!watch.radio_reported || watch.radio_answering != answering) {
        if (answering) {
            log_msg(LOG_NOTICE, "rc1180 answers");
        } else {
            log_msg(LOG_ERR, "rc1180 not answering");
        }
    }
    watch.changed = watch.changed || watch.radio_answering != answering;
    watch.radio_answering = answering;
    watch.radio_reported = true;
}

void format_status(char* out, std::size_t size, unsigned meters, const ExportCount& count, bool any,
                   std::int64_t silent_for) {
    if (any) {
        std::snprintf(out, size, "%u meters heard, %u of %u exported today, last telegram %lld min ago", meters,
                      count.exported, count.configured,
                      static_cast<long long>(std::max<std::int64_t>(silent_for, 0) / 60));
    } else {
        std::snprintf(out, size, "%u meters heard, %u of %u exported today, no telegram yet", meters, count.exported,
                      count.configured);
    }
}

namespace {

// Appends to a fixed buffer; remembers when anything did not fit.
struct Text {
    char* out;
    std::size_t size;
    std::size_t length = 0;
    bool full = false;

    __attribute__((format(printf, 2, 3))) void add(const char* format, ...) {
        if (full) {
            return;
        }
        va_list arguments;
        va_start(arguments, format);
        const int n = std::vsnprintf(out + length, size - length, format, arguments);
        va_end(arguments);
        if (n < 0 || static_cast<std::size_t>(n) >= size - length) {
            full = true;
            return;
        }
        length += static_cast<std::size_t>(n);
    }

    void family(const char* name, const char* type, const char* help) {
        add("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
    }
};

// dBm as the module's manual gives it: -RSSI/2, in half steps.
void add_dbm(Text& text, std::uint32_t address, std::uint8_t rssi) {
    text.add("norvalith_meter_rssi_dbm{meter=\"%08" PRIu32 "\"} %s%u%s\n", address, rssi != 0 ? "-" : "", rssi / 2U,
             (rssi & 1U) != 0 ? ".5" : "");
}

// Slots heard; note_telegram marks only the first slot naming a meter, so two
// slots of one meter give one series.
template <typename Each>
void for_each_heard(const Watch& watch, const Settings& settings, Each each) {
    for (std::size_t i = 0; i < kMeterSlots; ++i) {
        if (watch.heard[i].at != 0) {
            each(settings.meters[i].address, watch.heard[i]);
        }
    }
}

}  // namespace

// `out` is written through `text`, which clang-tidy does not follow.
std::size_t format_metrics(char* out,  // NOLINT(readability-non-const-parameter)
                           std::size_t size, const Watch& watch, const Settings& settings, const ExportCount& count,
                           unsigned meters) {
    Text text{out, size};
    text.family("norvalith_build_info", "gauge", "The daemon's version.");
    text.add("norvalith_build_info{version=\"%s\"} 1\n", watch.version);
    text.family("norvalith_start_time_seconds", "gauge", "When the daemon started, in seconds since the epoch.");
    text.add("norvalith_start_time_seconds %lld\n", static_cast<long long>(watch.start_time));
    text.family("norvalith_telegrams_total", "counter", "Telegrams handled since the daemon started.");
    text.add("norvalith_telegrams_total %" PRIu64 "\n", watch.telegrams);
    text.family("norvalith_last_telegram_timestamp_seconds", "gauge",
                "When the last telegram was handled, in seconds since the epoch; 0 before the first.");
    text.add("norvalith_last_telegram_timestamp_seconds %lld\n", static_cast<long long>(watch.last_telegram));
    text.family("norvalith_table_meters", "gauge", "Entries in use in the shared meter table.");
    text.add("norvalith_table_meters %u\n", meters);
    text.family("norvalith_table_full_telegrams_total", "counter",
                "Telegrams of meters that the full meter table could not take.");
    text.add("norvalith_table_full_telegrams_total %" PRIu64 "\n", watch.table_full);
    text.family("norvalith_configured_meters", "gauge", "Meter slots named in the settings.");
    text.add("norvalith_configured_meters %u\n", count.configured);
    text.family("norvalith_exported_meters", "gauge", "Configured meter slots exported today.");
    text.add("norvalith_exported_meters %u\n", count.exported);
    text.family("norvalith_export_failures_total", "counter", "Export files that could not be written.");
    text.add("norvalith_export_failures_total %" PRIu64 "\n", watch.export_failures);
    text.family("norvalith_radio_answering", "gauge",
                "1 when the radio module answered its last question (or start-up), else 0.");
    text.add("norvalith_radio_answering %d\n", watch.radio_answering ? 1 : 0);
    text.family("norvalith_meter_last_heard_timestamp_seconds", "gauge",
                "When a configured meter's last telegram was handled, in seconds since the epoch.");
    for_each_heard(watch, settings, [&text](std::uint32_t address, const SlotHeard& heard) {
        text.add("norvalith_meter_last_heard_timestamp_seconds{meter=\"%08" PRIu32 "\"} %lld\n", address,
                 static_cast<long long>(heard.at));
    });
    text.family("norvalith_meter_rssi_dbm", "gauge", "Signal strength of a configured meter's last telegram.");
    for_each_heard(watch, settings,
                   [&text](std::uint32_t address, const SlotHeard& heard) { add_dbm(text, address, heard.rssi); });
    return text.full ? 0 : text.length;
}

bool write_metrics(const char* dir, const char* text, std::size_t length) {
    char path[PATH_MAX];
    char temporary[PATH_MAX];
    const int n = std::snprintf(path, sizeof path, "%s/%s", dir, kMetricsFile);
    const int t = std::snprintf(temporary, sizeof temporary, "%s/%s", dir, kMetricsTemporary);
    if (n < 0 || t < 0 || static_cast<std::size_t>(t) >= sizeof temporary) {
        return false;
    }
    const int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        return false;  // no such directory: no service manager made it
    }
    std::size_t done = 0;
    while (done < length) {
        const ssize_t written = write(fd, text + done, length - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            break;
        }
        done += static_cast<std::size_t>(written);
    }
    const bool ok = close(fd) == 0 && done == length && rename(temporary, path) == 0;
    if (!ok) {
        unlink(temporary);
    }
    return ok;
}

}  // namespace norvalith
