#include "core/settings.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/log.hpp"
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

// One line as the lookups read it: the key is everything before the first "=",
// untrimmed; the value ends before the last '"' and loses one leading '"'.
struct SettingsLine {
    const char* key;
    std::size_t key_length;
    const char* value;  // nullptr: no "=" on the line
};

SettingsLine split_line(char* line) {
    if (char* cr = std::strchr(line, '\r')) {
        *cr = '\0';
    }
    if (char* lf = std::strchr(line, '\n')) {
        *lf = '\0';
    }
    if (char* quote = std::strrchr(line, '"')) {
        *quote = '\0';
    }
    const char* equals = std::strchr(line, '=');
    if (equals == nullptr) {
        return {line, 0, nullptr};
    }
    const char* value = equals + 1;
    return {line, static_cast<std::size_t>(equals - line), *value == '"' ? value + 1 : value};
}

}  // namespace

const char* config_find(SettingsFile& settings_file, const char* key) {
    std::FILE* file = settings_file.file;
    if (file == nullptr) {
        return nullptr;
    }
    char* const line = settings_file.line;
    std::rewind(file);
    while (std::fgets(line, sizeof settings_file.line, file) != nullptr) {
        const SettingsLine entry = split_line(line);
        if (entry.value != nullptr && key_equals(entry.key, entry.key_length, key)) {
            return entry.value;
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

void load_settings(Settings& settings, std::FILE* file_or_null) {
    SettingsFile file;
    file.file = file_or_null;
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
}

void load_settings(Settings& settings, const char* path) {
    std::FILE* file = std::fopen(path, "r");
    load_settings(settings, file);
    if (file != nullptr) {
        std::fclose(file);
    }
}

namespace {

// The keys a check knows: the named ones, then the 128 meter slots.
constexpr const char* kNamedKeys[] = {kEnabledKey,  kFtpServerKey, kFolderKey,      kUsernameKey,
                                      kPasswordKey, kPeriodKey,    kSilenceAlarmKey};
constexpr std::size_t kNamedCount = sizeof kNamedKeys / sizeof kNamedKeys[0];
constexpr std::size_t kKnownKeys = kNamedCount + kMeterSlots;
constexpr const char* kOurPrefix = "MOD_WMBUS_";

bool starts_with_ignoring_case(std::string_view text, const char* prefix) {
    const std::size_t length = std::strlen(prefix);
    return text.size() >= length && key_equals(text.data(), length, prefix);
}

// Index of the key among kNamedKeys and the slots, or -1. A slot's number is
// written as the lookups build it: 1 to 128, no leading zero.
int known_key(std::string_view key) {
    for (std::size_t i = 0; i < kNamedCount; ++i) {
        if (key_equals(key.data(), key.size(), kNamedKeys[i])) {
            return static_cast<int>(i);
        }
    }
    for (unsigned slot = 1; slot <= kMeterSlots; ++slot) {
        char name[32];
        std::snprintf(name, sizeof name, "%s%u", kMeterKeyPrefix, slot);
        if (key_equals(key.data(), key.size(), name)) {
            return static_cast<int>(kNamedCount + slot - 1);
        }
    }
    return -1;
}

bool numeric_key(int index) {
    const std::size_t i = static_cast<std::size_t>(index);
    return i >= kNamedCount || kNamedKeys[i] == kEnabledKey || kNamedKeys[i] == kPeriodKey ||
           kNamedKeys[i] == kSilenceAlarmKey;
}

bool all_digits(const char* text) {
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') {
            return false;
        }
    }
    return true;
}

}  // namespace

unsigned check_settings(std::FILE* file, ProblemSink sink, void* context) {
    static char line[kSettingsLineBuffer];
    unsigned first_line[kKnownKeys] = {};  // 0: not read yet
    std::uint32_t address[kMeterSlots] = {};
    unsigned problems = 0;
    char text[160];
    auto problem = [&](unsigned number) {
        ++problems;
        sink(context, number, text);
    };
    std::rewind(file);
    unsigned number = 1;
    for (; std::fgets(line, sizeof line, file) != nullptr; ) {
        const unsigned this_line = number;
        if (std::strchr(line, '\n') != nullptr) {
            ++number;  // a longer line reads as several, all with its number
        }
        const SettingsLine entry = split_line(line);
        if (entry.value == nullptr) {
            continue;
        }
        std::string_view key(entry.key, entry.key_length);
        const std::size_t written = key.size();
        while (!key.empty() && is_blank(key.front())) {
            key.remove_prefix(1);
        }
        while (!key.empty() && is_blank(key.back())) {
            key.remove_suffix(1);
        }
        if (!starts_with_ignoring_case(key, kOurPrefix)) {
            continue;
        }
        const int printed = static_cast<int>(std::min<std::size_t>(key.size(), 64));
        if (key.size() != written || is_blank(*entry.value)) {
            std::snprintf(text, sizeof text, "%.*s: blanks around \"=\"", printed, key.data());
            problem(this_line);
            if (key.size() != written) {
                continue;  // the lookups never match this key
            }
        }
        const int index = known_key(key);
        if (index < 0) {
            std::snprintf(text, sizeof text, "%.*s: unknown key", printed, key.data());
            problem(this_line);
            continue;
        }
        const auto slot = static_cast<std::size_t>(index);
        if (first_line[slot] != 0) {
            std::snprintf(text, sizeof text, "%.*s: given again, line %u counts", printed, key.data(),
                          first_line[slot]);
            problem(this_line);
            continue;
        }
        first_line[slot] = this_line;
        if (!numeric_key(index)) {
            continue;
        }
        const char* value = entry.value;
        while (is_blank(*value)) {
            ++value;  // reported above; parse_uint skips them
        }
        const std::uint32_t number_read = parse_uint(value);
        if (!all_digits(value)) {
            std::snprintf(text, sizeof text, "%.*s: \"%.24s\" is not a number, read as %u", printed, key.data(),
                          value, static_cast<unsigned>(number_read));
            problem(this_line);
        }
        if (slot < kNamedCount || number_read == 0) {
            continue;
        }
        address[slot - kNamedCount] = number_read;
        for (std::size_t other = 0; other < kMeterSlots; ++other) {
            if (other != slot - kNamedCount && address[other] == number_read) {
                std::snprintf(text, sizeof text, "%.*s: address %u is in %s%zu too", printed, key.data(),
                              static_cast<unsigned>(number_read), kMeterKeyPrefix, other + 1);
                problem(this_line);
                break;
            }
        }
    }
    std::rewind(file);
    return problems;
}

bool read_settings(Settings& settings, const char* path, ProblemSink sink, void* context, unsigned* problems) {
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        char text[512];
        std::snprintf(text, sizeof text, "open(%s) error: %s", path, std::strerror(errno));
        sink(context, 0, text);
        return false;
    }
    errno = 0;
    if (std::fgetc(file) == EOF && std::ferror(file)) {  // a directory opens, but is no file to read
        char text[512];
        std::snprintf(text, sizeof text, "open(%s) error: %s", path, std::strerror(errno));
        sink(context, 0, text);
        std::fclose(file);
        return false;
    }
    const unsigned found = check_settings(file, sink, context);
    if (problems != nullptr) {
        *problems = found;
    }
    load_settings(settings, file);
    std::fclose(file);
    return true;
}

void log_settings_problem(void* /*context*/, unsigned line, const char* text) {
    if (line == 0) {
        log_msg(LOG_ERR, "%s", text);
    } else {
        log_msg(LOG_NOTICE, "settings line %u: %s", line, text);
    }
}

}  // namespace norvalith
