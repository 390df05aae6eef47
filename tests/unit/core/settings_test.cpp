#include "core/settings.hpp"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace norvalith {
namespace {

// A settings file opened for lookups, closed at the end.
struct OpenFile {
    explicit OpenFile(const std::string& path) { file.file = std::fopen(path.c_str(), "r"); }
    ~OpenFile() {
        if (file.file != nullptr) {
            std::fclose(file.file);
        }
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    SettingsFile file;
};

// Every field set to something a load must overwrite.
std::unique_ptr<Settings> dirty_settings() {
    auto settings = std::make_unique<Settings>();
    settings->enabled = 7;
    settings->ftp_server_ip = settings->folder = settings->username = settings->password = "stale";
    settings->period = 7;
    for (MeterSlot& slot : settings->meters) {
        slot = {7};
    }
    return settings;
}

void expect_all_empty(const Settings& settings) {
    EXPECT_EQ(settings.enabled, 0U);
    EXPECT_EQ(settings.ftp_server_ip, "");
    EXPECT_EQ(settings.folder, "");
    EXPECT_EQ(settings.username, "");
    EXPECT_EQ(settings.password, "");
    EXPECT_EQ(settings.period, 0U);
    EXPECT_EQ(settings.silence_alarm_minutes, 60U);  // absent: the default
    for (const MeterSlot& slot : settings.meters) {
        EXPECT_EQ(slot.address, 0U);
    }
}

TEST(Settings, LoadsOneFileWithEveryRuleOfItsSyntax) {
    // A line that fills the 16383-character read exactly; what follows it on the same
    // line is read as a line of its own.
    std::string long_line = "MOD_WMBUS_NOTE=";
    long_line.append(16383 - long_line.size(), 'x');
    long_line += "MOD_WMBUS_ADDR9=9009\n";

    test::TempDir dir;
    dir.write("settings",
              "# gateway settings\n"
              "MOD_WMBUS_ENABLED=1\n"
              "MOD_WMBUS_FTP_SERV_IP=\"10.1.2.3\"\r\n"
              "MOD_WMBUS_FOLDER=/data/in\r\n"
              "MOD_WMBUS_USERNAME=\"op\"erator\"\n"
              "MOD_WMBUS_PASSWORD=pa=ss word\n"
              "MOD_WMBUS_PERIOD=119\n"
              "MOD_WMBUS_SILENCE_ALARM=off\n"
              "MOD_WMBUS_ADDR10=1010\n"
              "MOD_WMBUS_ADDR1=11111111\n"
              "MOD_WMBUS_ADDR2=abc\n"
              "MOD_WMBUS_ADDR3 = 777\n"
              "MOD_WMBUS_ADDR3=\"00012345\"\n"
              "MOD_WMBUS_ADDR4=444\n"
              "MOD_WMBUS_ADDR4=999\n"
              "MOD_WMBUS_ADDR5=555\r\n"
              "mod_wmbus_addr7=12345678\n"
              "MOD_WMBUS_ADDR11=99999999999\n"
              "MOD_WMBUS_ADDR12=-5\n"
              "MOD_WMBUS_ADDR13=\"4242\n"
              "MOD_WMBUS_ADDR14=  +17 kWh\n" +
                  long_line +
                  "MOD_WMBUS_ADDR128=128128\n"
                  "MOD_WMBUS_ADDR129=129129\n");

    auto settings = dirty_settings();
    load_settings(*settings, dir.file("settings").c_str());

    EXPECT_EQ(settings->enabled, 1U);
    EXPECT_EQ(settings->ftp_server_ip, "10.1.2.3");
    EXPECT_EQ(settings->folder, "/data/in");        // CRLF line end gone
    EXPECT_EQ(settings->username, "op\"erator");    // inner quote survives, the last goes
    EXPECT_EQ(settings->password, "pa=ss word");    // split at the first "=" only
    EXPECT_EQ(settings->period, 1U);                // 119 seconds in whole minutes
    EXPECT_EQ(settings->silence_alarm_minutes, 0U); // read as a number: no digit, no alarm

    std::array<std::uint32_t, kMeterSlots> expected{};
    expected[0] = 11111111;    // not taken from the ADDR10 line before it
    expected[1] = 0;           // "abc"
    expected[2] = 12345;       // " = " defines another key; quoted leading zeros
    expected[3] = 444;         // first of two lines wins
    expected[4] = 555;         // CRLF
    expected[6] = 12345678;    // key case ignored
    expected[8] = 9009;        // tail of the over-long line
    expected[9] = 1010;
    expected[10] = 4294967295; // saturated
    expected[11] = 4294967291; // minus wraps
    expected[12] = 0;          // unterminated quote cuts the whole value
    expected[13] = 17;         // blanks and sign before the digits, unit after them
    expected[127] = 128128;
    for (std::size_t i = 0; i < kMeterSlots; ++i) {
        EXPECT_EQ(settings->meters[i].address, expected[i]) << "slot " << i;
    }
}

TEST(Settings, UnreadableFileGivesZerosAndEmptyTexts) {
    test::TempDir dir;
    auto missing = dirty_settings();
    load_settings(*missing, dir.file("absent").c_str());
    expect_all_empty(*missing);

    auto directory = dirty_settings();
    load_settings(*directory, dir.path().c_str());
    expect_all_empty(*directory);
}

TEST(Settings, LookupsQuoteRulesAndNumbers) {
    test::TempDir dir;
    dir.write("f",
              "K1=\"a\"b\"c\"\n"
              "K2=abc\"\n"
              "K3 = v\n"
              "K4=\"\n"
              "K5=\n"
              "N1=  +42xyz\n"
              "N2=4294967295\n"
              "N3=4294967296\n"
              "N4=-4294967295\n"
              "N5=-\n");
    auto open = std::make_unique<OpenFile>(dir.file("f"));
    ASSERT_NE(open->file.file, nullptr);
    SettingsFile& file = open->file;

    SettingsFile none;
    EXPECT_EQ(config_find(none, "K1"), nullptr);
    EXPECT_STREQ(config_find(file, "K1"), "a\"b\"c");
    EXPECT_STREQ(config_find(file, "K2"), "abc");
    EXPECT_STREQ(config_find(file, "K3 "), " v");
    EXPECT_EQ(config_find(file, "K3"), nullptr);
    EXPECT_STREQ(config_find(file, "K4"), "");
    EXPECT_STREQ(config_find(file, "k5"), "");
    // Each lookup starts over, wherever the previous one left the file.
    EXPECT_STREQ(config_find(file, "K1"), "a\"b\"c");

    EXPECT_EQ(config_text(file, "K2"), "abc");
    EXPECT_EQ(config_text(file, "ABSENT"), "");
    EXPECT_EQ(config_uint(file, "ABSENT"), 0U);
    EXPECT_EQ(config_uint(file, "N1"), 42U);
    EXPECT_EQ(config_uint(file, "N2"), 4294967295U);
    EXPECT_EQ(config_uint(file, "N3"), 4294967295U);
    EXPECT_EQ(config_uint(file, "N4"), 1U);
    EXPECT_EQ(config_uint(file, "N5"), 0U);
}

void collect(void* context, unsigned line, const char* text) {
    static_cast<std::vector<std::string>*>(context)->push_back(std::to_string(line) + ": " + text);
}

// One row per kind of problem; the settings load as they always did.
TEST(Settings, CheckNamesEveryLineReadOtherwiseThanMeant) {
    struct Row {
        const char* file;
        std::vector<std::string> problems;
    };
    const Row rows[] = {
        {"# a comment\n#MOD_WMBUS_ADDR1=1\nOTHER = x\nMOD_WMBUS_ADDR1=\"12345678\"\nMOD_WMBUS_ADDR2=\n", {}},
        {"MOD_WMBUS_ADR4=5\nmod_wmbus_addr007=7\nMOD_WMBUS_ADDR129=1\n",
         {"1: MOD_WMBUS_ADR4: unknown key", "2: mod_wmbus_addr007: unknown key",
          "3: MOD_WMBUS_ADDR129: unknown key"}},
        {"MOD_WMBUS_ADDR1 =5\nMOD_WMBUS_ADDR2= 6\nMOD_WMBUS_FOLDER=\tx\n",
         {"1: MOD_WMBUS_ADDR1: blanks around \"=\"", "2: MOD_WMBUS_ADDR2: blanks around \"=\"",
          "3: MOD_WMBUS_FOLDER: blanks around \"=\""}},
        {"MOD_WMBUS_ADDR5=2294547B\nMOD_WMBUS_SILENCE_ALARM=sixty\nMOD_WMBUS_PERIOD=-60\nMOD_WMBUS_USERNAME=x1\n",
         {"1: MOD_WMBUS_ADDR5: \"2294547B\" is not a number, read as 2294547",
          "2: MOD_WMBUS_SILENCE_ALARM: \"sixty\" is not a number, read as 0",
          "3: MOD_WMBUS_PERIOD: \"-60\" is not a number, read as 4294967236"}},
        {"MOD_WMBUS_ADDR3=1\r\n\nmod_wmbus_addr3=2\n", {"3: mod_wmbus_addr3: given again, line 1 counts"}},
        {"MOD_WMBUS_ADDR1=42\nMOD_WMBUS_ADDR9=042\nMOD_WMBUS_ADDR1=9\n",
         {"2: MOD_WMBUS_ADDR9: address 42 is in MOD_WMBUS_ADDR1 too", "3: MOD_WMBUS_ADDR1: given again, line 1 counts"}},
    };
    test::TempDir dir;
    for (const Row& row : rows) {
        dir.write("settings", row.file);
        auto settings = dirty_settings();
        std::vector<std::string> problems;
        EXPECT_TRUE(read_settings(*settings, dir.file("settings").c_str(), collect, &problems));
        EXPECT_EQ(problems, row.problems) << row.file;
        auto plain = dirty_settings();
        load_settings(*plain, dir.file("settings").c_str());
        EXPECT_EQ(std::memcmp(settings.get(), plain.get(), sizeof(Settings)), 0) << row.file;
    }
    // Nothing to read: reported, and what was loaded before stays.
    for (const std::string& path : {dir.file("absent"), dir.path()}) {
        auto kept = dirty_settings();
        std::vector<std::string> problems;
        EXPECT_FALSE(read_settings(*kept, path.c_str(), collect, &problems));
        ASSERT_EQ(problems.size(), 1U);
        EXPECT_EQ(problems[0].rfind("0: ", 0), 0U) << problems[0];
        EXPECT_EQ(kept->period, 7U);
    }
}

}  // namespace
}  // namespace norvalith
