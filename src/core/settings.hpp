// The settings file: KEY=value lines, read once at start.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace norvalith {

inline constexpr std::size_t kMeterSlots = 128;
// A read takes at most 16383 characters; a longer line reads as several.
inline constexpr int kSettingsLineBuffer = 16384;

struct MeterSlot {
    std::uint32_t address;         // meter id as decoded from the header; 0 = unused
    std::uint32_t exported_today;  // 1 once this day's export is written
    std::uint32_t failure_logged;  // 1 once this day's export failure was logged
};

// An address of 0 means the slot names no meter and never matches a telegram.
inline bool slot_configured(const MeterSlot& slot) { return slot.address != 0; }

struct Settings {
    std::uint32_t enabled;
    std::string ftp_server_ip;
    std::string folder;
    std::string username;
    std::string password;
    std::uint32_t period;  // minutes
    MeterSlot meters[kMeterSlots];
};

// Value of the first line whose key matches (ASCII case ignored, nothing trimmed),
// or nullptr. Rewinds the file; the text lives in a shared buffer until the next call.
const char* config_find(std::FILE* file, const char* key);

// Copy of the value, or an empty text when the key is absent.
std::string config_text(std::FILE* file, const char* key);

// Unsigned decimal at the start of the value: blanks skipped, optional sign (minus
// wraps modulo 2^32), saturating at 2^32 - 1; 0 when absent or without a digit.
std::uint32_t config_uint(std::FILE* file, const char* key);

// Numeric conversion of a value text as config_uint does it.
std::uint32_t parse_uint(const char* text);

// Loads every field except the export flags; a missing or unreadable file gives
// zeros and empty texts.
void load_settings(Settings& settings, const char* path);

// Clears the per-day state of every slot.
void clear_export_flags(Settings& settings);

}  // namespace norvalith
