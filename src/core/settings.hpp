// The settings file: KEY=value lines, read at start and at every reload.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

namespace norvalith {

inline constexpr std::size_t kMeterSlots = 128;
// A read takes at most 16383 characters; a longer line reads as several.
inline constexpr int kSettingsLineBuffer = 16384;

struct MeterSlot {
    std::uint32_t address;  // meter id as decoded from the header; 0 = unused
};

// An address of 0 means the slot names no meter and never matches a telegram.
inline bool slot_configured(const MeterSlot& slot) { return slot.address != 0; }

// Minutes without a telegram before the silence alarm, when the file names none.
inline constexpr std::uint32_t kDefaultSilenceAlarmMinutes = 60;

// A value as read, in place: a whole settings line always fits, so nothing is
// allocated and nothing can throw.
struct SettingsText {
    char text[kSettingsLineBuffer];

    SettingsText& operator=(std::string_view value);
    std::string_view view() const { return text; }
    friend bool operator==(const SettingsText& a, std::string_view b) { return a.view() == b; }
};

struct Settings {
    std::uint32_t enabled;
    SettingsText ftp_server_ip;
    SettingsText folder;
    SettingsText username;
    SettingsText password;
    std::uint32_t period;  // minutes
    MeterSlot meters[kMeterSlots];
    std::uint32_t silence_alarm_minutes;  // 0: no alarm
};

// An open settings file (nullptr when it could not be opened) and the line
// buffer its lookups share.
struct SettingsFile {
    std::FILE* file = nullptr;
    char line[kSettingsLineBuffer] = {};
};

// Value of the first line whose key matches (ASCII case ignored, nothing trimmed),
// or nullptr. Rewinds the file; the text lives in file.line until the next lookup.
const char* config_find(SettingsFile& file, const char* key);

// The value, or an empty text when the key is absent; it lives in file.line
// until the next lookup.
std::string_view config_text(SettingsFile& file, const char* key);

// Unsigned decimal at the start of the value: blanks skipped, optional sign (minus
// wraps modulo 2^32), saturating at 2^32 - 1; 0 when absent or without a digit.
std::uint32_t config_uint(SettingsFile& file, const char* key);

// Numeric conversion of a value text as config_uint does it.
std::uint32_t parse_uint(const char* text);

// Loads every field; a missing or unreadable file gives zeros and empty texts.
void load_settings(Settings& settings, const char* path);

// Loads every field from an open file (nullptr: zeros and empty texts).
void load_settings(Settings& settings, std::FILE* file_or_null);

// Where the problems of a settings file go, one text each: `line` counts from 1,
// and is 0 for the file's own ("open(PATH) error: TEXT").
using ProblemSink = void (*)(void* context, unsigned line, const char* text);

// The lines the daemon reads otherwise than their writer meant, each reported to
// sink: a MOD_WMBUS_ key (any case) that is no key of ours, blanks around "=",
// a number with anything but digits, a key given again (the first counts), an
// address in two slots. Reads the file as config_find does; rewinds it.
unsigned check_settings(std::FILE* file, ProblemSink sink, void* context);

// Opens path, reports its problems to sink and loads it. A file that cannot be
// opened is reported, and leaves `settings` as it was. False then.
bool read_settings(Settings& settings, const char* path, ProblemSink sink, void* context,
                   unsigned* problems = nullptr);

// The sink of the daemon: the system log.
void log_settings_problem(void* context, unsigned line, const char* text);

}  // namespace norvalith
