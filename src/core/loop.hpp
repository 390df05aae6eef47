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
#include "core/watch.hpp"
#include "serial/reader.hpp"
#include "telegram/export.hpp"
#include "telegram/framing.hpp"
#include "telegram/header.hpp"

namespace norvalith {

// A question to a silent module and its repetitions until a prompt answers it.
struct Question {
    unsigned left = 0;         // questions still to ask; 0: none under way
    std::int32_t due = 0;      // monotonic seconds of the next
    bool answered = false;     // a prompt or telegrams came since the first
};

struct Receiver {
    MeterTable* table;
    const char* export_dir;
    Settings settings;
    DeviceIdentity identity;
    DailyExport daily;
    SilenceAlarm silence;
    std::uint8_t rx[kRxCapacity];
    MeterInfo meter;
    Framer framer;
    Watch watch;
    Question question;
    const char* settings_path;  // read again at a reload
    int reload_fd = -1;         // readable when a reload is asked for; -1: none
};

// The clocks a pass reads once each after its read; tests pass their own.
struct Clocks {
    WallTime (*wall)();
    std::int32_t (*monotonic)();
};

// Start-up's last step, after the settings are loaded: empty receive buffer, no
// slot exported, no day seen, and the silence counted from `monotonic_now`.
void reset_receiver(Receiver& receiver, std::int32_t monotonic_now);

// Start-up is complete: READY=1 with the first status line.
void announce_ready(Receiver& receiver);

// One pass of the loop: read_frame into rx after any cut telegram kept from the
// last pass (waiting kRestTimeoutSeconds for its rest, else kFrameTimeoutSeconds),
// then handle_burst with one reading of each clock, a reload when one was asked
// for, the question to a silent module when it is due, and watch_pass.
void receive_pass(Receiver& receiver, SerialLine& line, const Clocks& clocks);

// The rest of a pass once n bytes were placed in rx after the kept piece (0:
// nothing arrived), dated by `at`: the day check, every telegram the framing
// finds (bytes of no telegram and a piece whose rest never came are dropped and
// counted; a cut telegram is kept for the next pass), then the silence alarm
// (monotonic seconds).
void handle_burst(Receiver& receiver, std::int32_t n, const WallTime& at, std::int32_t monotonic_now);

// Asks the module whether it is alive: 0x00, up to kQuestionTimeoutSeconds for
// its prompt, then "X", never before: a module not in configuration mode would
// transmit it. The prompt is a '>' that no telegram of the bursts holds and that
// only telegram bytes follow, wherever it stands; telegrams that come meanwhile
// are handled.
enum class Answer { none, telegrams, prompt };
Answer ask_radio(Receiver& receiver, SerialLine& line, const Clocks& clocks);

// Where a burst holds the prompt, or -1: buffer holds framer.pending kept bytes,
// then `fresh` bytes just read; only fresh ones are looked at.
long find_prompt(const Framer& framer, std::span<const std::uint8_t> buffer, std::size_t fresh);

// The end of every pass: WATCHDOG=1, the metrics file at the first pass, at a
// change of day and at most once a kWatchPeriodSeconds when a value changed, and
// the status line at most as often, when its text changed.
void watch_pass(Receiver& receiver, std::int32_t monotonic_now);

// Reads the settings again (RELOADING=1, then READY=1): a meter keeps its day's
// flag and what the metrics know of it in whichever slot now names it; the
// table, the line and the module are left alone. A file that cannot be opened
// leaves the settings as they were. "settings reloaded: N meters".
void reload_settings(Receiver& receiver, std::int32_t monotonic_now);

// One whole telegram: table update, its raw copy, and due exports.
void handle_telegram(Receiver& receiver, std::span<std::uint8_t> telegram, const WallTime& at);

}  // namespace norvalith
