// The export document, its file handling and the once-a-day dispatch.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "core/loop.hpp"
#include "telegram/base64.hpp"
#include "telegram/export.hpp"
#include "test_support.hpp"

namespace norvalith {
namespace {

using test::CapturedLog;
using test::TempDir;

DeviceIdentity worked_identity() {
    DeviceIdentity identity{};
    std::strcpy(identity.name, "gw1");
    std::strcpy(identity.device_id, "001122AABBCC");
    std::strcpy(identity.public_ip, "10.1.2.3");
    std::strcpy(identity.firmware, "Norvalith-2.0");
    return identity;
}

// A telegram of meter 12345678, manufacturer ABC, length byte 30, 31 bytes received.
std::string worked_burst() {
    std::string burst = test::from_hex("1E44430478563412010710111213141516171819");
    for (int b = 0x1A; b <= 0x24; ++b) {
        burst.push_back(static_cast<char>(b));
    }
    return burst;
}

constexpr std::time_t kWorkedTime = 1709615228;  // 2024-03-05 06:07:08 in Berlin

const char* const kWorkedDocument =
    "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
    "<Envelope xmlns=\"urn:zol-meter:temp-1-0\">\n"
    "  <Push firmware=\"Norvalith-2.0\" name=\"gw1\" deviceID=\"001122AABBCC\">\n"
    "    <WAN public-ip=\"10.1.2.3\"/>\n"
    "    <Meter id=\"12345678\" medium=\"V\" mfct=\"ABC\" address=\"12345678\">\n"
    "      <StoreTime source=\"Network Time\" iso8601=\"2024-03-05T06:07:08Z\" utime=\"1709615228\"/>\n"
    "      <Raw encoding=\"base64\">HkRDBHhWNBIBBxAREhMUFRYXGBkaGxwdHh8gISIj</Raw>\n"
    "    </Meter>\n"
    "  </Push>\n"
    "</Envelope>\n";

// Independent decoder, so the encoder is not checked against itself.
std::string base64_decode(const std::string& text) {
    std::string out;
    unsigned value = 0;
    int bits = 0;
    for (char c : text) {
        int d = -1;
        if (c >= 'A' && c <= 'Z') d = c - 'A';
        if (c >= 'a' && c <= 'z') d = c - 'a' + 26;
        if (c >= '0' && c <= '9') d = c - '0' + 52;
        if (c == '+') d = 62;
        if (c == '/') d = 63;
        if (d < 0) break;
        value = (value << 6U) | static_cast<unsigned>(d);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((value >> static_cast<unsigned>(bits)) & 0xFFU));
        }
    }
    return out;
}

std::string raw_of(const std::string& document) {
    const std::string open = "<Raw encoding=\"base64\">";
    const auto start = document.find(open);
    const auto end = document.find("</Raw>");
    if (start == std::string::npos || end == std::string::npos) {
        return "<no raw>";
    }
    return base64_decode(document.substr(start + open.size(), end - start - open.size()));
}

MeterInfo decoded(const std::string& burst) {
    MeterInfo meter{};
    decode_header(reinterpret_cast<const std::uint8_t*>(burst.data()), meter, static_cast<std::int32_t>(burst.size()));
    return meter;
}

TEST(Base64, Rfc4648VectorsAndEveryLengthRoundTrips) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        char out[32];
        const std::size_t len = base64_encode(reinterpret_cast<const std::uint8_t*>(plain), out, std::strlen(plain));
        EXPECT_STREQ(out, encoded);
        EXPECT_EQ(len, std::strlen(encoded));
    }
    std::uint8_t data[255];
    for (int i = 0; i < 255; ++i) {
        data[i] = static_cast<std::uint8_t>(i * 37 + 11);
    }
    for (std::size_t n = 0; n <= 255; ++n) {
        char out[kBase64Capacity];
        std::memset(out, 'Z', sizeof out);
        const std::size_t len = base64_encode(data, out, n);
        ASSERT_EQ(len + 1, base64_size(n)) << n;
        ASSERT_EQ(out[len], '\0');
        ASSERT_EQ(base64_decode(out), std::string(reinterpret_cast<const char*>(data), n)) << n;
    }
    EXPECT_EQ(kBase64Capacity, 341U);
}

TEST(ExportFile, WorkedExampleByteForByte) {
    test::ZoneGuard zone("Europe/Berlin");
    TempDir dir;
    std::string burst = worked_burst();
    burst.resize(512, '\0');
    burst[30] = 0;  // the loop zeroes the last byte before exporting
    const MeterInfo meter = decoded(worked_burst());
    ASSERT_TRUE(write_export(dir.path().c_str(), kWorkedTime, reinterpret_cast<const std::uint8_t*>(burst.data()), 31,
                             meter, worked_identity()));
    EXPECT_EQ(dir.list(), std::vector<std::string>{"12345678_2024-03-05.xml"});
    const std::string document = dir.read("12345678_2024-03-05.xml");
    EXPECT_EQ(document, kWorkedDocument);
    EXPECT_EQ(raw_of(document), worked_burst().substr(0, 30));

    struct stat info {};
    ASSERT_EQ(stat(dir.file("12345678_2024-03-05.xml").c_str(), &info), 0);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(info.st_mode & 0777U, 0666U & ~mask);
}

TEST(ExportFile, RawCopyLengthAndEscaping) {
    test::ZoneGuard zone("Europe/Berlin");
    DeviceIdentity identity = worked_identity();
    std::strcpy(identity.name, "a&b<c>\"d'");
    std::strcpy(identity.firmware, "Norvalith-1.4.2\n");
    std::uint8_t burst[512] = {};
    char out[kExportDocumentCapacity];
    std::tm local{};
    localtime_r(&kWorkedTime, &local);
    const MeterInfo meter = decoded(worked_burst());

    // Length byte 0: nothing between the tags.
    ASSERT_GT(format_export(out, sizeof out, burst, 12, meter, identity, kWorkedTime, local), 0U);
    EXPECT_NE(std::strstr(out, "<Raw encoding=\"base64\"></Raw>\n"), nullptr);
    EXPECT_NE(std::strstr(out, "firmware=\"Norvalith-1.4.2\n\" name=\"a&amp;b&lt;c&gt;&quot;d&apos;\""), nullptr);

    // Length byte 200 in a burst of 201: all 200 bytes, far beyond 111.
    for (int i = 0; i < 512; ++i) {
        burst[i] = static_cast<std::uint8_t>(i);
    }
    burst[0] = 200;
    ASSERT_GT(format_export(out, sizeof out, burst, 201, meter, identity, kWorkedTime, local), 0U);
    EXPECT_EQ(raw_of(out), std::string(reinterpret_cast<const char*>(burst), 200));

    // Length byte 255 in a burst of 40: the copy stops at this burst's end.
    burst[0] = 255;
    ASSERT_GT(format_export(out, sizeof out, burst, 40, meter, identity, kWorkedTime, local), 0U);
    EXPECT_EQ(raw_of(out), std::string(reinterpret_cast<const char*>(burst), 40));
}

TEST(ExportFile, FailuresLeaveNothingBehind) {
    TempDir dir;
    const std::string burst = worked_burst() + std::string(512, '\0');
    const auto* data = reinterpret_cast<const std::uint8_t*>(burst.data());
    const MeterInfo meter = decoded(worked_burst());

    EXPECT_FALSE(write_export(dir.file("missing").c_str(), kWorkedTime, data, 31, meter, worked_identity()));
    dir.write("plain-file", "x");
    EXPECT_FALSE(write_export(dir.file("plain-file").c_str(), kWorkedTime, data, 31, meter, worked_identity()));

    // A link planted at the temporary name is replaced, never written through.
    dir.write("victim", "keep");
    ASSERT_EQ(symlink(dir.file("victim").c_str(), dir.file(".12345678.xml.tmp").c_str()), 0);
    ASSERT_TRUE(write_export(dir.path().c_str(), kWorkedTime, data, 31, meter, worked_identity()));
    EXPECT_EQ(dir.read("victim"), "keep");
    for (const auto& name : dir.list()) {
        EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
    }

    if (geteuid() != 0) {
        TempDir readonly;
        chmod(readonly.path().c_str(), 0555);
        EXPECT_FALSE(write_export(readonly.path().c_str(), kWorkedTime, data, 31, meter, worked_identity()));
        EXPECT_TRUE(readonly.list().empty());
    }
}

class Dispatch : public ::testing::Test {
protected:
    Dispatch() {
        receiver_.table = &table_;
        receiver_.export_dir = dir_.path().c_str();
        receiver_.identity = worked_identity();
        reset_receiver(receiver_);
    }

    void receive(const std::string& burst) {
        std::memcpy(receiver_.rx, burst.data(), burst.size());
        handle_frame(receiver_, static_cast<std::int32_t>(burst.size()));
    }

    static std::string telegram(const char* id_hex_lsb_first, int tail) {
        std::string burst = test::from_hex(std::string("1E444304") + id_hex_lsb_first + "0107");
        while (burst.size() < 31) {
            burst.push_back(static_cast<char>(tail));
        }
        return burst;
    }

    std::string today_file(const char* id) const {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        char name[64];
        std::snprintf(name, sizeof name, "%s_%04d-%02d-%02d.xml", id, local.tm_year + 1900, local.tm_mon + 1,
                      local.tm_mday);
        return name;
    }

    TempDir dir_;
    MeterTable table_{};
    Receiver receiver_{};
};

TEST_F(Dispatch, FirstTelegramOfTheDayOnceForEveryMatchingSlot) {
    receiver_.settings.meters[3].address = 12345678;
    receiver_.settings.meters[9].address = 12345678;
    for (int i = 1; i <= 5; ++i) {
        receive(telegram("78563412", i));
    }
    receive(telegram("11111111", 7));  // not configured: table only

    EXPECT_EQ(dir_.list(), std::vector<std::string>{today_file("12345678")});
    std::string first = telegram("78563412", 1);
    EXPECT_EQ(raw_of(dir_.read(today_file("12345678"))), first.substr(0, 30));
    EXPECT_EQ(receiver_.settings.meters[3].exported_today, 1U);
    EXPECT_EQ(receiver_.settings.meters[9].exported_today, 1U);
    EXPECT_EQ(table_.entries[1].id, 11111111U);

    // A new day clears the flags: the next telegram is exported again.
    check_day(receiver_, std::time(nullptr) + 86400);
    EXPECT_EQ(receiver_.settings.meters[3].exported_today, 0U);
    receive(telegram("78563412", 6));
    EXPECT_EQ(raw_of(dir_.read(today_file("12345678"))), telegram("78563412", 6).substr(0, 30));
}

TEST_F(Dispatch, ShortBurstsAndUnusedSlotsNeverExport) {
    // Slots without an address must not match a telegram whose id decodes to 0.
    receive(telegram("00000000", 1));
    EXPECT_TRUE(dir_.list().empty());

    receiver_.settings.meters[0].address = 12345678;
    receive(telegram("78563412", 2));
    ASSERT_EQ(dir_.list().size(), 1U);
    receiver_.settings.meters[0].exported_today = 0;
    std::remove(dir_.file(today_file("12345678")).c_str());
    const MeterTable before = table_;
    // Nine bytes: the header would come from the previous telegram.
    receive(telegram("78563412", 3).substr(0, 9));
    EXPECT_TRUE(dir_.list().empty());
    EXPECT_EQ(std::memcmp(&before, &table_, sizeof table_), 0);
}

TEST_F(Dispatch, FailedExportIsRetriedAndLoggedOncePerDay) {
    CapturedLog log;
    const std::string missing = dir_.file("export");
    receiver_.export_dir = missing.c_str();
    receiver_.settings.meters[0].address = 12345678;
    receive(telegram("78563412", 1));
    receive(telegram("78563412", 2));
    EXPECT_EQ(receiver_.settings.meters[0].exported_today, 0U);
    EXPECT_EQ(log.texts(), std::vector<std::string>{"export xml file error"});

    ASSERT_EQ(mkdir(missing.c_str(), 0755), 0);
    receive(telegram("78563412", 3));
    EXPECT_EQ(receiver_.settings.meters[0].exported_today, 1U);
    EXPECT_EQ(raw_of(dir_.read("export/" + today_file("12345678"))), telegram("78563412", 3).substr(0, 30));
    EXPECT_EQ(log.texts().size(), 1U);
}

TEST(DayCheck, FlagsClearOnEveryChangeOfLocalDay) {
    test::ZoneGuard zone("Europe/Berlin");
    Receiver receiver{};
    reset_receiver(receiver);
    receiver.settings.meters[5].exported_today = 1;

    // 1 January is day 0, the same as the initial value: nothing to clear, and
    // the start cleared the flags already.
    check_day(receiver, 1704063600 + 3600);  // 2024-01-01 01:00 local
    EXPECT_EQ(receiver.settings.meters[5].exported_today, 1U);
    EXPECT_EQ(receiver.last_yday, 0);

    // 23:59:59 and 00:00:00 local are different days.
    check_day(receiver, 1709679599);  // 2024-03-05 23:59:59 local
    EXPECT_EQ(receiver.last_yday, 64);
    receiver.settings.meters[5].exported_today = 1;
    check_day(receiver, 1709679599);
    EXPECT_EQ(receiver.settings.meters[5].exported_today, 1U);
    check_day(receiver, 1709679600);
    EXPECT_EQ(receiver.settings.meters[5].exported_today, 0U);
    EXPECT_EQ(receiver.last_yday, 65);
}

}  // namespace
}  // namespace norvalith
