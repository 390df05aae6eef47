// What an operator sees from afar: the service manager's readiness, watchdog and
// status line, and the metrics file that a Prometheus node exporter collects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "base/notify.hpp"
#include "core/daily.hpp"
#include "core/meter_table.hpp"
#include "core/settings.hpp"

namespace norvalith {

// The last telegram of a configured slot's meter; `at` 0: not heard since start.
struct SlotHeard {
    std::time_t at;
    std::uint8_t rssi;
};

struct Watch {
    // Set by main before the loop; left alone by reset_watch.
    Notifier notifier;
    const char* metrics_dir;  // nullptr: no metrics
    const char* version;
    std::time_t start_time;

    std::uint64_t telegrams;    // handled since start
    std::time_t last_telegram;  // 0 before the first
    std::uint64_t table_full;   // telegrams of meters the full table could not take
    std::uint64_t export_failures;
    std::uint64_t garbage_bytes;  // bytes on the line that were no telegram
    bool radio_answering;
    bool radio_reported;  // a question's result was logged
    SlotHeard heard[kMeterSlots];
    bool changed;          // since the metrics were last written, or the last write failed
    bool metrics_failing;  // a failed write was logged; cleared by the next that succeeds
    bool day_changed;
    std::int32_t written_at;  // monotonic seconds; -1: not yet
    std::int32_t status_at;   // monotonic seconds of the last status
    char status[128];         // as last sent
};

inline constexpr const char* kMetricsFile = "metrics.prom";
// Not *.prom, so a collector reading the directory never takes it half written.
inline constexpr const char* kMetricsTemporary = ".metrics.prom.tmp";
// Metrics and status are renewed at most this often.
inline constexpr std::int32_t kWatchPeriodSeconds = 60;

// Start-up: nothing heard, the radio answering (it just did), nothing written.
void reset_watch(Watch& watch, std::int32_t monotonic_now);

// One handled telegram: its counts, and its meter's last telegram in the first slot
// naming it (dispatch.slot, kMeterSlots for none). Only configured meters get series
// of their own, so a fleet's series stay bounded.
void note_telegram(Watch& watch, const Dispatch& dispatch, const MeterInfo& meter, bool recorded, std::time_t at);

// Bytes the framing skipped or dropped as no telegram.
void note_garbage(Watch& watch, std::size_t bytes);

// The result of a question to the module: logged the first time and at every change.
void note_radio(Watch& watch, bool answering);

// "37 meters heard, 12 of 14 exported today, last telegram 2 min ago"; `silent_for`
// seconds since the last telegram.
void format_status(char* out, std::size_t size, unsigned meters, const ExportCount& count, bool any,
                   std::int64_t silent_for);

// The metrics in Prometheus' text format; 0 when they do not fit `size`.
std::size_t format_metrics(char* out, std::size_t size, const Watch& watch, const Settings& settings,
                           const ExportCount& count, unsigned meters);

// Writes `text` whole as dir/metrics.prom (a temporary renamed); false when it
// could not, the directory missing included, with errno telling why.
bool write_metrics(const char* dir, const char* text, std::size_t length);

// write_metrics into watch.metrics_dir. A failure is logged once until a write
// succeeds again, "metrics write error: %s"; a missing directory (no service
// manager made it) is no failure to tell. False when nothing was written.
bool publish_metrics(Watch& watch, const char* text, std::size_t length);

}  // namespace norvalith
