#include "core/settings.hpp"

#include <algorithm>
#include <cstring>

#include "core/constants.hpp"

namespace norvalith {

namespace {

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool key_equals(const char* candidate, std::size_t length, const char* key) {
    if (std::strlen(key) != length) {
        return false;
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (ascii_lower(candidate[i]) != ascii_lower(key[i])) {
            return false;
        }
    }
    return true;
}

bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

const char* config_find(SettingsFile& settings_file, const char* key) {
    std::FILE* file = settings_file.file;
    if (file == nullptr) {
        return nullptr;
    }
    char* const line = settings_file.line;
    std::rewind(file);
    while (std::fgets(line, sizeof settings_file.line, file) != nullptr) {
        if (char* cr = std::strchr(line, '\r')) {
            *cr = '\0';
        }
        if (char* lf = std::strchr(line, '\n')) {
            *lf = '\0';
        }
        if (char* quote = std::strrchr(line, '"')) {
            *quote = '\0';
        }
        char* equals = std::strchr(line, '=');
        if (equals == nullptr) {
            continue;
        }
        if (key_equals(line, static_cast<std::size_t>(equals - line), key)) {
            const char* value = equals + 1;
            return *value == '"' ? value + 1 : value;
        }
    }
    return nullptr;
}

SettingsText& SettingsText::operator=(std::string_view value) {
    const std::size_t length = std::min(value.size(), sizeof text - 1);
    if (length > 0) {  // an empty view may hold no pointer at all
        std::memcpy(text, value.data(), length);
    }
    text[length] = '\0';
    return *this;
}

std::string_view config_text(SettingsFile& file, const char* key) {
    const char* value = config_find(file, key);
    return value != nullptr ? std::string_view(value) : std::string_view();
}

std::uint32_t parse_uint(const char* text) {
    while (is_blank(*text)) {
        ++text;
    }
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    constexpr std::uint64_t kMax = 0xFFFFFFFFULL;
    std::uint64_t magnitude = 0;
    bool saturated = false;
    for (; *text >= '0' && *text <= '9'; ++text) {
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(*text - '0');
        if (magnitude > kMax) {
            saturated = true;
            magnitude = kMax;
        }
    }
    if (saturated) {
        return static_cast<std::uint32_t>(kMax);
    }
    const auto value = static_cast<std::uint32_t>(magnitude);
    return negative ? 0U - value : value;
}

std::uint32_t config_uint(SettingsFile& file, const char* key) {
    const char* value = config_find(file, key);
    return value != nullptr ? parse_uint(value) : 0;
}

void load_settings(Settings& settings, const char* path) {
    SettingsFile file;
    file.file = std::fopen(path, "r");
    settings.enabled = config_uint(file, kEnabledKey);
    settings.ftp_server_ip = config_text(file, kFtpServerKey);
    settings.folder = config_text(file, kFolderKey);
    settings.username = config_text(file, kUsernameKey);
    settings.password = config_text(file, kPasswordKey);
    settings.period = config_uint(file, kPeriodKey) / 60;
    for (unsigned i = 1; i <= kMeterSlots; ++i) {
        char key[32];
        std::snprintf(key, sizeof key, "%s%u", kMeterKeyPrefix, i);
        settings.meters[i - 1].address = config_uint(file, key);
    }
    const char* silence = config_find(file, kSilenceAlarmKey);
    settings.silence_alarm_minutes = silence != nullptr ? parse_uint(silence) : kDefaultSilenceAlarmMinutes;
    if (file.file != nullptr) {
        std::fclose(file.file);
    }
}

}  // namespace norvalith
