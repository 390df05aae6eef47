// Settings reader: any file content is loaded and looked up without crashing,
// and every lookup agrees with a small model of the file syntax (16383-character
// reads, cut at CR, LF and the last quote, key up to the first '=', ASCII case
// ignored, one leading quote skipped, first match wins).
//
// Input: the file content. The keys looked up are the settings keys, the keys
// of the file's first lines (as written, upper-cased, one character short) and a
// few odd ones.
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/settings.hpp"
#include "fuzz_support.hpp"

namespace {

using norvalith::fuzz::check;

constexpr std::size_t kReadChars = norvalith::kSettingsLineBuffer - 1;

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::optional<std::string> model_find(std::string_view file, std::string_view key) {
    std::size_t at = 0;
    while (at < file.size()) {
        std::size_t take = std::min(kReadChars, file.size() - at);
        if (const std::size_t lf = file.substr(at, take).find('\n'); lf != std::string_view::npos) {
            take = lf + 1;
        }
        std::string_view line = file.substr(at, take);
        at += take;
        line = line.substr(0, line.find('\0'));
        line = line.substr(0, line.find('\r'));
        line = line.substr(0, line.find('\n'));
        line = line.substr(0, line.rfind('"'));
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos || equals != key.size()) {
            continue;
        }
        bool same = true;
        for (std::size_t i = 0; i < equals && same; ++i) {
            same = lower(line[i]) == lower(key[i]);
        }
        if (same) {
            std::string_view value = line.substr(equals + 1);
            if (!value.empty() && value.front() == '"') {
                value.remove_prefix(1);
            }
            return std::string(value);
        }
    }
    return std::nullopt;
}

std::uint32_t model_number(const std::optional<std::string>& value) {
    if (!value) {
        return 0;
    }
    std::string_view text = *value;
    while (!text.empty() && std::strchr(" \t\n\v\f\r", text.front()) != nullptr) {
        text.remove_prefix(1);
    }
    const bool negative = !text.empty() && text.front() == '-';
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        text.remove_prefix(1);
    }
    std::uint64_t magnitude = 0;
    for (; !text.empty() && text.front() >= '0' && text.front() <= '9'; text.remove_prefix(1)) {
        magnitude = std::min<std::uint64_t>(magnitude * 10 + static_cast<unsigned>(text.front() - '0'), 1ULL << 32U);
    }
    if (magnitude > 0xFFFFFFFFULL) {
        return 0xFFFFFFFFU;
    }
    return negative ? 0U - static_cast<std::uint32_t>(magnitude) : static_cast<std::uint32_t>(magnitude);
}

std::vector<std::string> keys_to_try(std::string_view file) {
    std::vector<std::string> keys = {
        "", "=", "\"", "MOD_WMBUS_ADDR", "MOD_WMBUS_ADDR129", "mod_wmbus_addr1 ", std::string(kReadChars, 'K')};
    std::size_t at = 0;
    for (int line = 0; line < 8 && at < file.size(); ++line) {
        const std::size_t end = std::min(file.find('\n', at), file.size());
        std::string_view text = file.substr(at, end - at);
        at = end + 1;
        std::string key(text.substr(0, text.find('=')));
        key.resize(std::strlen(key.c_str()));  // what a C caller can pass
        keys.push_back(key);
        std::string upper = key;
        for (char& c : upper) {
            c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
        }
        keys.push_back(upper);
        if (!key.empty()) {
            keys.push_back(key.substr(0, key.size() - 1));
        }
    }
    return keys;
}

std::string g_path;

void remove_scratch() {
    std::remove(g_path.c_str());
    std::remove(g_path.substr(0, g_path.rfind('/')).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_path = norvalith::fuzz::scratch_directory("settings") + "/settings";
    std::atexit(remove_scratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view file(reinterpret_cast<const char*>(data), size);
    norvalith::fuzz::write_file(g_path, data, size);

    static norvalith::Settings settings;
    norvalith::load_settings(settings, g_path.c_str());
    check(settings.enabled == model_number(model_find(file, "MOD_WMBUS_ENABLED")), "enabled");
    check(settings.ftp_server_ip == model_find(file, "MOD_WMBUS_FTP_SERV_IP").value_or(""), "ftp_server_ip");
    check(settings.folder == model_find(file, "MOD_WMBUS_FOLDER").value_or(""), "folder");
    check(settings.username == model_find(file, "MOD_WMBUS_USERNAME").value_or(""), "username");
    check(settings.password == model_find(file, "MOD_WMBUS_PASSWORD").value_or(""), "password");
    check(settings.period == model_number(model_find(file, "MOD_WMBUS_PERIOD")) / 60, "period");
    const auto silence = model_find(file, "MOD_WMBUS_SILENCE_ALARM");
    check(settings.silence_alarm_minutes == (silence.has_value() ? model_number(silence) : 60U), "silence alarm");
    for (unsigned i = 1; i <= norvalith::kMeterSlots; ++i) {
        const std::string key = "MOD_WMBUS_ADDR" + std::to_string(i);
        check(settings.meters[i - 1].address == model_number(model_find(file, key)), "meter address");
    }

    static norvalith::SettingsFile handle;
    handle.file = std::fopen(g_path.c_str(), "r");
    check(handle.file != nullptr, "cannot reopen the settings file");
    for (const std::string& key : keys_to_try(file)) {
        const auto expected = model_find(file, key);
        const char* found = norvalith::config_find(handle, key.c_str());
        check((found != nullptr) == expected.has_value(), "config_find presence");
        check(found == nullptr || *expected == found, "config_find value");
        check(norvalith::config_uint(handle, key.c_str()) == model_number(expected), "config_uint");
        check(norvalith::config_text(handle, key.c_str()) == expected.value_or(""), "config_text");
    }
    std::fclose(handle.file);
    return 0;
}
