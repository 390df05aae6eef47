// The export document and its file.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "telegram/base64.hpp"
#include "telegram/export.hpp"
#include "telegram/framing.hpp"
#include "test_support.hpp"

namespace norvalith {
namespace {

using test::raw_of;
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

MeterInfo decoded(const std::string& burst) {
    MeterInfo meter{};
    decode_header(test::span_of(burst), meter);
    return meter;
}

TEST(ExportFile, WorkedExampleByteForByte) {
    test::ZoneGuard zone("Europe/Berlin");
    TempDir dir;
    std::string burst = worked_burst();
    burst.resize(512, '\0');
    burst[30] = 0;  // the loop zeroes the last byte before exporting
    const MeterInfo meter = decoded(worked_burst());
    ASSERT_TRUE(export_xml(dir.path().c_str(), wall_time_at(kWorkedTime), raw_copy(std::span(reinterpret_cast<std::uint8_t*>(burst.data()), 31)), meter,
                           worked_identity()));
    EXPECT_EQ(dir.list(), std::vector<std::string>{"12345678_2024-03-05.xml"});
    const std::string document = dir.read("12345678_2024-03-05.xml");
    EXPECT_EQ(document, kWorkedDocument);
    EXPECT_EQ(raw_of(document), worked_burst().substr(0, 30));

    EXPECT_EQ(test::file_mode(dir.file("12345678_2024-03-05.xml")), static_cast<int>(0666U & ~test::current_umask()));
}

TEST(ExportFile, RawCopyLengthAndEscaping) {
    test::ZoneGuard zone("Europe/Berlin");
    DeviceIdentity identity = worked_identity();
    std::strcpy(identity.name, "a&b<c>\"d'");
    std::strcpy(identity.firmware, "Norvalith-1.4.2\n");
    std::uint8_t burst[512] = {};
    char out[kExportDocumentCapacity];
    const WallTime at = wall_time_at(kWorkedTime);
    const MeterInfo meter = decoded(worked_burst());

    // Length byte 0: nothing between the tags.
    ASSERT_GT(format_export(out, raw_copy(std::span(burst, 12)), meter, identity, at), 0U);
    EXPECT_NE(std::strstr(out, "<Raw encoding=\"base64\"></Raw>\n"), nullptr);
    EXPECT_NE(std::strstr(out, "firmware=\"Norvalith-1.4.2\n\" name=\"a&amp;b&lt;c&gt;&quot;d&apos;\""), nullptr);

    // Length byte 200 in a burst of 201: all 200 bytes, far beyond 111.
    for (int i = 0; i < 512; ++i) {
        burst[i] = static_cast<std::uint8_t>(i);
    }
    burst[0] = 200;
    ASSERT_GT(format_export(out, raw_copy(std::span(burst, 201)), meter, identity, at), 0U);
    EXPECT_EQ(raw_of(out), std::string(reinterpret_cast<const char*>(burst), 200));

    // Length byte 255 in a burst of 40: the copy stops at this burst's end.
    burst[0] = 255;
    ASSERT_GT(format_export(out, raw_copy(std::span(burst, 40)), meter, identity, at), 0U);
    EXPECT_EQ(raw_of(out), std::string(reinterpret_cast<const char*>(burst), 40));
}

TEST(ExportFile, FailuresLeaveNothingBehind) {
    TempDir dir;
    const std::string burst = worked_burst();
    const auto data = test::span_of(burst);
    const WallTime at = wall_time_at(kWorkedTime);
    const MeterInfo meter = decoded(burst);

    EXPECT_FALSE(export_xml(dir.file("missing").c_str(), at, data, meter, worked_identity()));
    dir.write("plain-file", "x");
    EXPECT_FALSE(export_xml(dir.file("plain-file").c_str(), at, data, meter, worked_identity()));

    // A link planted at the temporary name (this process's own) is replaced, never
    // written through.
    dir.write("victim", "keep");
    const std::string temporary = ".12345678." + std::to_string(getpid()) + ".xml.tmp";
    ASSERT_EQ(symlink(dir.file("victim").c_str(), dir.file(temporary).c_str()), 0);
    ASSERT_TRUE(export_xml(dir.path().c_str(), at, data, meter, worked_identity()));
    EXPECT_EQ(dir.read("victim"), "keep");
    for (const auto& name : dir.list()) {
        EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
    }

    // A directory we may not write to; root may write anywhere, so the export runs
    // as another user.
    TempDir readonly;
    chmod(readonly.path().c_str(), 0555);
    struct Attempt {
        const std::string& dir;
        std::span<const std::uint8_t> data;
        WallTime at;
        MeterInfo meter;
    } attempt{readonly.path(), data, at, meter};
    const int result = test::as_unprivileged(
        [](void* context) {
            const auto& a = *static_cast<Attempt*>(context);
            return export_xml(a.dir.c_str(), a.at, a.data, a.meter, worked_identity()) ? 1 : 0;
        },
        &attempt);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(readonly.list().empty());
}
// Where the file system has neither a no-replace rename nor links (FAT), the
// export still lands, never over a file that came meanwhile; a real error fails it.
TEST(ExportFile, PlacedWhereNoReplaceRenameAndLinksAreMissing) {
    static int rename_error;
    static int link_error;
    static bool planted;  // the day's file appears after the export looked for it
    const PlaceCalls real = g_place_calls;
    g_place_calls = {[](int dir_fd, const char*, const char* to) {
                         close(planted ? openat(dir_fd, to, O_WRONLY | O_CREAT, 0644) : -1);
                         errno = rename_error;
                         return -1;
                     },
                     [](int, const char*, const char*) {
                         errno = link_error;
                         return -1;
                     }};
    const std::string burst = worked_burst();
    struct Case {
        int rename_error, link_error;
        bool planted, ok;
        const char* content;  // of the day's file, nullptr: none
    } const cases[] = {
        {EINVAL, EPERM, false, true, kWorkedDocument},  // FAT through FUSE
        {ENOSYS, EOPNOTSUPP, false, true, kWorkedDocument},
        {EINVAL, EPERM, true, true, ""},
        {EINVAL, EIO, false, false, nullptr},
    };
    test::ZoneGuard zone("Europe/Berlin");
    for (const Case& c : cases) {
        TempDir dir;
        rename_error = c.rename_error;
        link_error = c.link_error;
        planted = c.planted;
        EXPECT_EQ(export_xml(dir.path().c_str(), wall_time_at(kWorkedTime), test::span_of(burst).first(30),
                             decoded(burst), worked_identity()),
                  c.ok) << c.rename_error << " " << c.link_error;
        EXPECT_EQ(dir.list().size(), c.content != nullptr ? 1U : 0U);  // no temporary left
        if (c.content != nullptr) {
            EXPECT_EQ(dir.read("12345678_2024-03-05.xml"), c.content);
        }
    }
    g_place_calls = real;
}

// Only the daemon's own leftovers go: regular files under its temporary names,
// never another file, never a link or what it points to.
TEST(ExportFile, StartUpSweepTakesOnlyOurLeftovers) {
    TempDir dir;
    const std::vector<std::string> ours = {".12345678.xml.tmp", ".12345678.4242.xml.tmp", ".166666665.1.xml.tmp"};
    std::vector<std::string> others = {"12345678_2024-03-05.xml", ".12345678.xml",     "notes.tmp",
                                       ".abc.xml.tmp",            "..xml.tmp",         ".12345678..xml.tmp",
                                       ".1.2.3.xml.tmp",          ".12345678.xml.tmp~", ".12345678901.xml.tmp",
                                       "victim"};
    for (const auto& name : ours) {
        dir.write(name, name);
    }
    for (const auto& name : others) {
        dir.write(name, name);
    }
    ASSERT_EQ(symlink("victim", dir.file(".87654321.xml.tmp").c_str()), 0);
    ASSERT_EQ(mkdir(dir.file(".11111111.xml.tmp").c_str(), 0755), 0);
    others.insert(others.end(), {".87654321.xml.tmp", ".11111111.xml.tmp"});
    std::sort(others.begin(), others.end());

    EXPECT_EQ(sweep_export_temporaries(dir.path().c_str()), 3);
    EXPECT_EQ(dir.list(), others);
    EXPECT_EQ(dir.read("victim"), "victim");
    EXPECT_EQ(sweep_export_temporaries(dir.file("missing").c_str()), 0);
}

}  // namespace
}  // namespace norvalith
