// The reception loop and its once-a-day export policy, with the clock passed in.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "core/loop.hpp"
#include "test_support.hpp"

namespace norvalith {
namespace {

using test::CapturedLog;
using test::raw_of;
using test::TempDir;

constexpr std::time_t kMorning = 1709615228;    // 2024-03-05 06:07:08 in Berlin
constexpr std::time_t kLastSecond = 1709679599;  // 2024-03-05 23:59:59
constexpr std::time_t kMidnight = 1709679600;    // 2024-03-06 00:00:00

class Loop : public ::testing::Test {
protected:
    Loop() {
        receiver_.table = &table_;
        receiver_.export_dir = dir_.path().c_str();
        std::strcpy(receiver_.identity.name, "gw1");
        std::strcpy(receiver_.identity.firmware, "Norvalith-1.0.0");
        reset_receiver(receiver_);
    }

    void receive_at(const std::string& burst, std::time_t now) {
        std::memcpy(receiver_.rx, burst.data(), burst.size());
        receive(receiver_, static_cast<std::int32_t>(burst.size()), wall_time_at(now));
    }
    void receive_now(const std::string& burst) { receive_at(burst, now_); }

    // Meter id given as its four header bytes, length byte 30, 31 bytes.
    static std::string telegram(const char* id_hex_lsb_first, int tail) {
        std::string burst = test::from_hex(std::string("1E444304") + id_hex_lsb_first + "0107");
        burst.resize(31, static_cast<char>(tail));
        return burst;
    }
    static std::string raw_copy(const std::string& burst) { return burst.substr(0, 30); }

    bool exported(std::size_t slot) const { return receiver_.daily.slots[slot].exported_today; }

    test::ZoneGuard zone_{"Europe/Berlin"};
    std::time_t now_ = kMorning;
    TempDir dir_;
    MeterTable table_{};
    Receiver receiver_{};
};

TEST_F(Loop, FirstTelegramOfTheDayOnceForEveryMatchingSlot) {
    receiver_.settings.meters[3].address = 12345678;
    receiver_.settings.meters[9].address = 12345678;
    for (int i = 1; i <= 5; ++i) {
        receive_now(telegram("78563412", i));
    }
    receive_now(telegram("11111111", 7));  // not configured: table only

    EXPECT_EQ(dir_.list(), std::vector<std::string>{"12345678_2024-03-05.xml"});
    EXPECT_EQ(raw_of(dir_.read("12345678_2024-03-05.xml")), raw_copy(telegram("78563412", 1)));
    EXPECT_TRUE(exported(3));
    EXPECT_TRUE(exported(9));
    EXPECT_EQ(table_.entries[1].id, 11111111U);

    // The next day: exported again, into the next day's file.
    receive_at(telegram("78563412", 6), kMorning + 86400);
    EXPECT_EQ(raw_of(dir_.read("12345678_2024-03-06.xml")), raw_copy(telegram("78563412", 6)));
}

TEST_F(Loop, ShortBurstsAndUnusedSlotsNeverExport) {
    // Slots without an address must not match a telegram whose id decodes to 0.
    receive_now(telegram("00000000", 1));
    EXPECT_TRUE(dir_.list().empty());

    receiver_.settings.meters[0].address = 12345678;
    receive_now(telegram("78563412", 2));
    ASSERT_EQ(dir_.list().size(), 1U);
    // The next day, nine bytes: the header would come from the previous telegram.
    std::remove(dir_.file("12345678_2024-03-05.xml").c_str());
    const MeterTable before = table_;
    receive_at(telegram("78563412", 3).substr(0, 9), kMorning + 86400);
    EXPECT_TRUE(dir_.list().empty());
    EXPECT_EQ(std::memcmp(&before, &table_, sizeof table_), 0);
}

TEST_F(Loop, FailedExportIsRetriedAndLoggedOncePerDay) {
    CapturedLog log;
    const std::string missing = dir_.file("export");
    receiver_.export_dir = missing.c_str();
    receiver_.settings.meters[0].address = 12345678;
    receive_now(telegram("78563412", 1));
    receive_now(telegram("78563412", 2));
    EXPECT_FALSE(exported(0));
    EXPECT_EQ(log.texts(), std::vector<std::string>{"export xml file error"});

    ASSERT_EQ(mkdir(missing.c_str(), 0755), 0);
    receive_now(telegram("78563412", 3));
    EXPECT_TRUE(exported(0));
    EXPECT_EQ(raw_of(dir_.read("export/12345678_2024-03-05.xml")), raw_copy(telegram("78563412", 3)));
    EXPECT_EQ(log.texts().size(), 1U);
}

TEST_F(Loop, FlagsClearOnEveryChangeOfLocalDay) {
    receiver_.settings.meters[5].address = 12345678;
    receive_at(telegram("78563412", 1), kLastSecond);
    receive_at(telegram("78563412", 2), kLastSecond);
    EXPECT_EQ(raw_of(dir_.read("12345678_2024-03-05.xml")), raw_copy(telegram("78563412", 1)));
    // 23:59:59 and 00:00:00 local are different days; a quiet pass notices it.
    receive(receiver_, 0, wall_time_at(kMidnight));
    EXPECT_FALSE(exported(5));
    receive_at(telegram("78563412", 3), kMidnight);
    EXPECT_EQ(raw_of(dir_.read("12345678_2024-03-06.xml")), raw_copy(telegram("78563412", 3)));
}

}  // namespace
}  // namespace norvalith
