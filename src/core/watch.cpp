#include "core/watch.hpp"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "base/log.hpp"
#include "base/text.hpp"

namespace norvalith {

void reset_watch(Watch& watch, std::int32_t monotonic_now) {
    watch.telegrams = 0;
    watch.last_telegram = 0;
    watch.table_full = 0;
    watch.export_failures = 0;
    watch.garbage_bytes = 0;
    watch.radio_answering = true;
    watch.radio_reported = false;
    std::fill(std::begin(watch.heard), std::end(watch.heard), SlotHeard{});
    watch.changed = false;
    watch.metrics_failing = false;
    watch.day_changed = false;
    watch.written_at = -1;
    watch.status_at = monotonic_now;
    watch.status[0] = '\0';
}

void note_garbage(Watch& watch, std::size_t bytes) {
    if (bytes > 0) {
        watch.garbage_bytes += bytes;
        watch.changed = true;
    }
}

void note_telegram(Watch& watch, const Dispatch& dispatch, const MeterInfo& meter, bool recorded, std::time_t at) {
    ++watch.telegrams;
    watch.last_telegram = at;
    watch.table_full += recorded ? 0 : 1;
    watch.export_failures += dispatch.failures;
    watch.changed = true;
    if (dispatch.slot < kMeterSlots) {
        watch.heard[dispatch.slot] = SlotHeard{at, static_cast<std::uint8_t>(meter.trailer)};
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

void family(TextBuffer& text, const char* name, const char* type, const char* help) {
    text.text("# HELP ");
    text.text(name);
    text.put(' ');
    text.text(help);
    text.text("\n# TYPE ");
    text.text(name);
    text.put(' ');
    text.text(type);
    text.put('\n');
}

// dBm as the module's manual gives it: -RSSI/2, in half steps.
void add_dbm(TextBuffer& text, std::uint32_t address, std::uint8_t rssi) {
    text.format("norvalith_meter_rssi_dbm{meter=\"%08" PRIu32 "\"} %s%u%s\n", address, rssi != 0 ? "-" : "", rssi / 2U,
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
    TextBuffer text{out, size};
    family(text, "norvalith_build_info", "gauge", "The daemon's version.");
    text.format("norvalith_build_info{version=\"%s\"} 1\n", watch.version);
    family(text, "norvalith_start_time_seconds", "gauge", "When the daemon started, in seconds since the epoch.");
    text.format("norvalith_start_time_seconds %lld\n", static_cast<long long>(watch.start_time));
    family(text, "norvalith_telegrams_total", "counter", "Telegrams handled since the daemon started.");
    text.format("norvalith_telegrams_total %" PRIu64 "\n", watch.telegrams);
    family(text, "norvalith_garbage_bytes_total", "counter", "Bytes from the module that belonged to no telegram.");
    text.format("norvalith_garbage_bytes_total %" PRIu64 "\n", watch.garbage_bytes);
    family(text, "norvalith_last_telegram_timestamp_seconds", "gauge",
                "When the last telegram was handled, in seconds since the epoch; 0 before the first.");
    text.format("norvalith_last_telegram_timestamp_seconds %lld\n", static_cast<long long>(watch.last_telegram));
    family(text, "norvalith_table_meters", "gauge", "Entries in use in the shared meter table.");
    text.format("norvalith_table_meters %u\n", meters);
    family(text, "norvalith_table_full_telegrams_total", "counter",
                "Telegrams of meters that the full meter table could not take.");
    text.format("norvalith_table_full_telegrams_total %" PRIu64 "\n", watch.table_full);
    family(text, "norvalith_configured_meters", "gauge", "Meter slots named in the settings.");
    text.format("norvalith_configured_meters %u\n", count.configured);
    family(text, "norvalith_exported_meters", "gauge", "Configured meter slots exported today.");
    text.format("norvalith_exported_meters %u\n", count.exported);
    family(text, "norvalith_export_failures_total", "counter", "Export files that could not be written.");
    text.format("norvalith_export_failures_total %" PRIu64 "\n", watch.export_failures);
    family(text, "norvalith_radio_answering", "gauge",
                "1 when the radio module answered its last question (or start-up), else 0.");
    text.format("norvalith_radio_answering %d\n", watch.radio_answering ? 1 : 0);
    family(text, "norvalith_meter_last_heard_timestamp_seconds", "gauge",
                "When a configured meter's last telegram was handled, in seconds since the epoch.");
    for_each_heard(watch, settings, [&text](std::uint32_t address, const SlotHeard& heard) {
        text.format("norvalith_meter_last_heard_timestamp_seconds{meter=\"%08" PRIu32 "\"} %lld\n", address,
                 static_cast<long long>(heard.at));
    });
    family(text, "norvalith_meter_rssi_dbm", "gauge", "Signal strength of a configured meter's last telegram.");
    for_each_heard(watch, settings,
                   [&text](std::uint32_t address, const SlotHeard& heard) { add_dbm(text, address, heard.rssi); });
    return text.overflow ? 0 : text.length;
}

bool write_metrics(const char* dir, const char* text, std::size_t length) {
    char path[PATH_MAX];
    char temporary[PATH_MAX];
    const int n = std::snprintf(path, sizeof path, "%s/%s", dir, kMetricsFile);
    const int t = std::snprintf(temporary, sizeof temporary, "%s/%s", dir, kMetricsTemporary);
    if (n < 0 || t < 0 || static_cast<std::size_t>(t) >= sizeof temporary) {
        errno = ENAMETOOLONG;
        return false;
    }
    const int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        return false;  // no such directory: no service manager made it
    }
    const bool written = write_all(fd, text, length);
    const bool ok = close(fd) == 0 && written && rename(temporary, path) == 0;
    if (!ok) {
        const int error = errno;  // the failure's, for the message
        unlink(temporary);
        errno = error;
    }
    return ok;
}

bool publish_metrics(Watch& watch, const char* text, std::size_t length) {
    if (write_metrics(watch.metrics_dir, text, length)) {
        watch.metrics_failing = false;
        return true;
    }
    if (errno != ENOENT && !watch.metrics_failing) {
        watch.metrics_failing = true;
        log_msg(LOG_ERR, "metrics write error: %s", std::strerror(errno));
    }
    return false;
}

}  // namespace norvalith
