// The settings file: KEY=value lines, read once at start.
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

}  // namespace norvalith
