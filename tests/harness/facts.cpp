// Prints the product's fixed facts as JSON, for the Python harness to check its
// own copy against: a value changed here and not there fails the check.
#include <cstdio>
#include <iterator>

#include "core/constants.hpp"
#include "core/meter_table.hpp"
#include "serial/lock.hpp"
#include "serial/radio.hpp"
#include "telegram/framing.hpp"
#include "telegram/header.hpp"

using namespace norvalith;

namespace {

void text(const char* key, const char* value) {
    std::printf("  \"%s\": \"", key);
    for (const char* c = value; *c != '\0'; ++c) {
        if (*c == '\n') {
            std::fputs("\\n", stdout);
            continue;
        }
        if (*c == '"' || *c == '\\') {
            std::putchar('\\');
        }
        std::putchar(*c);
    }
    std::fputs("\",\n", stdout);
}

void number(const char* key, long long value) { std::printf("  \"%s\": %lld,\n", key, value); }

}  // namespace

int main() {
    std::printf("{\n");
    text("syslog_ident", kSyslogIdent);
    text("serial_device", kSerialDevice);
    text("lock_pattern", kLockPattern);
    text("lock_format", kLockContentFormat);
    number("rx_capacity", kRxCapacity);
    number("burst_allowance_ms", kBurstAllowanceMs);
    text("settings_path", kSettingsPath);
    text("meter_key_prefix", kMeterKeyPrefix);
    text("version_path", kVersionPath);
    text("table_key_path", kTableKeyPath);
    number("table_project_id", kTableProjectId);
    number("table_entries", static_cast<long long>(kTableEntries));
    number("table_size", static_cast<long long>(sizeof(MeterTable)));
    text("export_dir", kExportDir);
    text("metrics_dir", kMetricsDir);
    number("header_size", static_cast<long long>(kHeaderSize));
    number("min_length_byte", kMinLengthByte);
    // The pairs without the end marker, which is a command, not a parameter.
    std::printf("  \"config_pairs\": [");
    for (std::size_t i = 0; i + 1 < std::size(CONFIG_PAIRS); ++i) {
        std::printf("%s[%d, %d]", i == 0 ? "" : ", ", CONFIG_PAIRS[i].address, CONFIG_PAIRS[i].value);
    }
    std::printf("]\n}\n");
    return 0;
}
