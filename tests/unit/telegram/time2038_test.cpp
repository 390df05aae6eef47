// Exports dated after 19 January 2038, when a signed 32-bit time_t has run out.
// The gateway is 32-bit ARM: this runs there (under emulation) as well as on the
// build machine, so both must carry 64-bit time.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "telegram/export.hpp"
#include "test_support.hpp"

static_assert(sizeof(std::time_t) == 8, "time_t must be 64-bit on every target (_TIME_BITS=64)");

namespace norvalith {
namespace {

// Central European time with its summer rule, given as a rule so that no zone
// files are needed on the machine running the test.
constexpr const char* kBerlin = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr const char* kNewYork = "EST5EDT,M3.2.0,M11.1.0";

struct LateExport {
    std::time_t now;
    const char* zone;
    const char* file;     // expected file name: the local date
    const char* iso8601;  // expected local time stamp
    const char* utime;
};

// Meter 12345678 (ABC), length byte 10: the whole header is the raw copy.
const std::uint8_t kBurst[] = {0x0A, 0x44, 0x43, 0x04, 0x78, 0x56, 0x34, 0x12, 0x01, 0x07, 0x00};

std::string store_time_line(const std::string& document) {
    const auto begin = document.find("      <StoreTime ");
    if (begin == std::string::npos) {
        return {};
    }
    return document.substr(begin, document.find('\n', begin) + 1 - begin);
}

TEST(Time2038, ExportsAfterTheSigned32BitLimitCarryLocalDateAndUnsignedSeconds) {
    const LateExport cases[] = {
        // First second a signed 32-bit count cannot hold.
        {2147483648, kBerlin, "12345678_2038-01-19.xml", "2038-01-19T04:14:08", "2147483648"},
        // 2040-01-01 00:00:00 UTC: still the old year west of Greenwich.
        {2208988800, kBerlin, "12345678_2040-01-01.xml", "2040-01-01T01:00:00", "2208988800"},
        {2208988800, kNewYork, "12345678_2039-12-31.xml", "2039-12-31T19:00:00", "2208988800"},
        // 2040-07-01 12:00:00 UTC: the summer rule still applies after 2038.
        {2224756800, kBerlin, "12345678_2040-07-01.xml", "2040-07-01T14:00:00", "2224756800"},
    };
    MeterInfo meter{};
    meter.id = 12345678;
    meter.manufacturer = 0x0443;  // ABC
    DeviceIdentity identity{};
    std::strcpy(identity.name, "gw1");
    std::strcpy(identity.device_id, "001122AABBCC");
    std::strcpy(identity.public_ip, "10.1.2.3");
    std::strcpy(identity.firmware, "Norvalith-1.0.0");

    for (const LateExport& c : cases) {
        SCOPED_TRACE(std::string(c.zone) + " " + c.iso8601);
        test::ZoneGuard zone(c.zone);
        test::TempDir dir;
        ASSERT_TRUE(export_xml(dir.path().c_str(), wall_time_at(c.now), kBurst, meter, identity));
        ASSERT_EQ(dir.list(), std::vector<std::string>{c.file});
        EXPECT_EQ(store_time_line(dir.read(c.file)),
                  std::string("      <StoreTime source=\"Network Time\" iso8601=\"") + c.iso8601 + "Z\" utime=\"" +
                      c.utime + "\"/>\n");
    }
}

}  // namespace
}  // namespace norvalith
