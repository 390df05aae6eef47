// The reception loop and its once-a-day export policy, with the clock passed in.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

#include <syslog.h>

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
constexpr std::int32_t kStart = 1000;             // monotonic seconds at the end of start-up

class Loop : public ::testing::Test {
protected:
    Loop() {
        receiver_.table = &table_;
        receiver_.export_dir = dir_.path().c_str();
        std::strcpy(receiver_.identity.name, "gw1");
        std::strcpy(receiver_.identity.firmware, "Norvalith-1.0.0");
        reset_receiver(receiver_, kStart);
        fcntl(pty_.slave(), F_SETFL, fcntl(pty_.slave(), F_GETFL) | O_NONBLOCK);
        line_.fd = pty_.slave();
    }

    // As the loop gets a burst from read_frame, whose last bytes came just now.
    void receive_at(const std::string& burst, std::time_t now) {
        std::memcpy(receiver_.rx, burst.data(), burst.size());
        line_.last_bytes_ms = monotonic_ms();
        handle_burst(receiver_, static_cast<std::int32_t>(burst.size()), wall_time_at(now), kStart);
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

    // As the module sends it: length byte L, then L bytes, the last one the RSSI.
    static std::string framed(std::uint32_t id, std::size_t length, int rssi) {
        char digits[9];
        std::snprintf(digits, sizeof digits, "%08u", id);
        std::string t = test::bytes({static_cast<int>(length), 0x44, 0x43, 0x04});
        for (int i = 3; i >= 0; --i) {
            t.push_back(static_cast<char>(std::stoi(std::string(digits + 2 * i, 2), nullptr, 16)));
        }
        t += test::bytes({0x01, 0x07});
        t.resize(length, static_cast<char>(0x2F));
        t.push_back(static_cast<char>(rssi));
        return t;
    }
    std::vector<std::array<std::uint32_t, 2>> table_ids_and_trailers() const {
        std::vector<std::array<std::uint32_t, 2>> out;
        for (const MeterInfo& entry : table_.entries) {
            if (entry.id != 0) {
                out.push_back({entry.id, entry.trailer});
            }
        }
        return out;
    }
    std::string export_raw(std::uint32_t id) const {
        char name[64];
        std::snprintf(name, sizeof name, "%08u_2024-03-05.xml", id);
        return raw_of(dir_.read(name));
    }

    test::ZoneGuard zone_{"Europe/Berlin"};
    test::Pty pty_;
    SerialLine line_;
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
    handle_burst(receiver_, 0, wall_time_at(kMidnight), kStart);
    EXPECT_FALSE(exported(5));
    receive_at(telegram("78563412", 3), kMidnight);
    EXPECT_EQ(raw_of(dir_.read("12345678_2024-03-06.xml")), raw_copy(telegram("78563412", 3)));

    // A gateway without a clock starts on 1 January 1970 and is set to 1 January
    // 2025: the same day of the year, another day.
    receive_at(telegram("78563412", 4), 39600);       // 1970-01-01 12:00
    receive_at(telegram("78563412", 5), 1735729200);  // 2025-01-01 12:00
    EXPECT_EQ(raw_of(dir_.read("12345678_2025-01-01.xml")), raw_copy(telegram("78563412", 5)));
}

TEST_F(Loop, ABurstOfSeveralTelegramsIsSplitIntoThem) {
    receiver_.settings.meters[0].address = 11111111;
    receiver_.settings.meters[1].address = 22222222;
    const std::string a = framed(11111111, 30, 0x51);
    const std::string b = framed(22222222, 40, 0x52);
    receive_now(a + b);
    EXPECT_EQ(table_ids_and_trailers(), (std::vector<std::array<std::uint32_t, 2>>{{11111111, 0x51}, {22222222, 0x52}}));
    EXPECT_EQ(export_raw(11111111), a.substr(0, 30));
    EXPECT_EQ(export_raw(22222222), b.substr(0, 40));

    // Many, of every length up to the longest a length byte gives.
    std::string run;
    std::vector<std::array<std::uint32_t, 2>> expected = table_ids_and_trailers();
    for (std::uint32_t i = 0; i < 7; ++i) {
        const std::size_t length = i == 0 ? 255 : 9 + 5 * i;
        run += framed(30000000 + i, length, static_cast<int>(0x60 + i));
        expected.push_back({30000000 + i, 0x60 + i});
    }
    receive_now(run);
    EXPECT_EQ(table_ids_and_trailers(), expected);
}

WallTime morning() { return wall_time_at(kMorning); }
std::int32_t start_seconds() { return kStart; }

bool readable_within(int fd, int ms) {
    pollfd watch{fd, POLLIN, 0};
    return poll(&watch, 1, ms) > 0;
}

// Captured telegrams as the module sends them with the RSSI byte, L counting it.
std::vector<std::string> captured_telegrams() {
    std::ifstream in(TELEGRAMS_TSV);
    std::vector<std::string> out;
    std::string line;
    std::getline(in, line);  // column names
    while (std::getline(in, line)) {
        std::string t = test::from_hex(line.substr(0, line.find('\t')));
        t[0] = static_cast<char>(t[0] + 1);
        out.push_back(t + '\0');
    }
    return out;
}

// Line noise: the same bytes on every machine.
std::string noise(std::size_t n, unsigned seed) {
    std::minstd_rand engine(seed);
    std::string out;
    while (out.size() < n) {
        out.push_back(static_cast<char>(engine() & 0xFFU));
    }
    return out;
}

// As the module delivers them: pieces with a pause before each, and the passes
// the loop makes meanwhile. Whatever stands around a whole telegram, it is
// recorded with its own RSSI byte and exported with its own raw copy; nothing
// else is, and no piece of one telegram is taken for another.
TEST_F(Loop, EveryWholeTelegramAndNothingElse) {
    const std::string a = framed(11111111, 30, 0x51);
    const std::string b = framed(22222222, 40, 0x52);
    const std::string c = framed(33333333, 60, 0x53);
    const std::string big = framed(44444444, 255, 0x54);
    // The length byte leaves the RSSI byte out: L + 2 bytes.
    auto appended = [](std::string t) { return t.insert(t.size() - 1, 1, '\x2F'); };
    const std::string a2 = appended(a);
    const std::string c2 = appended(c);
    using Heard = std::vector<std::array<std::uint32_t, 2>>;
    // Captured telegrams, back to back, whose first 399 bytes hold 12 and a cut one;
    // read from length byte to length byte the other way, they end at byte 399 too.
    std::string stream;
    Heard stream_heard;
    const std::vector<std::string> captured = captured_telegrams();
    const int rows[] = {36, 24, 36, 37, 30, 51, 36, 60, 36, 8, 37, 9, 30};
    const int rssi[] = {74, 98, 163, 102, 172, 128, 80, 132, 141, 83, 109, 109, 110};
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        std::string t = captured.at(static_cast<std::size_t>(rows[i]));
        t.back() = static_cast<char>(rssi[i]);
        stream += t;
        MeterInfo m{};
        decode_header(test::span_of(t), m);
        auto known = std::find_if(stream_heard.begin(), stream_heard.end(), [&](const auto& e) { return e[0] == m.id; });
        known == stream_heard.end() ? stream_heard.push_back({m.id, m.trailer}) : void((*known)[1] = m.trailer);
    }
    std::string nameless = framed(55555555, 30, 0x55);  // manufacturer code 0
    nameless[2] = nameless[3] = '\0';
    struct Piece {
        int pause_ms;
        std::string bytes;
    };
    struct Case {
        std::string what;
        std::vector<Piece> pieces;
        std::uint64_t handled;  // telegrams
        Heard heard;
        std::string raw;  // the export of 33333333 or 44444444, if any
        bool as_passes = false;  // each piece is one pass of the loop, as read_frame returned it
    };
    const Heard abc = {{11111111, 0x51}, {22222222, 0x52}, {33333333, 0x53}};
    std::vector<Case> cases = {
        {"the third's rest 60 ms late", {{0, a + b + c.substr(0, 25)}, {60, c.substr(25)}}, 3, abc, c.substr(0, 60)},
        {"the rest 300 ms late", {{0, a + b + c.substr(0, 25)}, {300, c.substr(25)}}, 3, abc, c.substr(0, 60)},
        {"the rest a second late", {{0, a + c.substr(0, 9)}, {1000, c.substr(9)}}, 2,
         {{11111111, 0x51}, {33333333, 0x53}}, c.substr(0, 60)},
        {"stray bytes after a whole one", {{0, a + test::bytes({0x02, 0x00, 0x77})}}, 1, {{11111111, 0x51}}, ""},
        {"a rest that never comes, the next telegram later", {{0, a + c.substr(0, 25)}, {500, b}}, 2,
         {{11111111, 0x51}, {22222222, 0x52}}, ""},
        {"a rest that never comes", {{0, a + c.substr(0, 40)}}, 1, {{11111111, 0x51}}, ""},
        {"a piece of its own whose rest never comes", {{0, c.substr(0, 40)}}, 0, {}, ""},
        {"the other convention, back to back and cut", {{0, a2 + a2 + c2.substr(0, 30)}, {300, c2.substr(30) + a2}},
         4, {{11111111, 0x51}, {33333333, 0x53}}, c2.substr(0, 60)},
        {"L = 255 in a full buffer", {{0, a + b + big + big}}, 4,
         {{11111111, 0x51}, {22222222, 0x52}, {44444444, 0x54}}, big.substr(0, 255)},
        {"noise below a header's length", {{0, test::bytes({8, 0x44, 1, 2, 3, 4, 5, 6, 7})}}, 0, {}, ""},
        {"a window cut that the other reading ends exactly", {{0, stream.substr(0, 399)}, {30, stream.substr(399)}},
         std::size(rows), stream_heard, "", true},
        {"a stray byte after the first of four", {{0, a + '\0' + b + c + a.substr(0, 30) + '\x5A'}}, 4,
         {{11111111, 0x5A}, {22222222, 0x52}, {33333333, 0x53}}, c.substr(0, 60)},
        {"a leading byte below 9", {{0, '\x05' + c + b + a}}, 3,
         {{33333333, 0x53}, {22222222, 0x52}, {11111111, 0x51}}, c.substr(0, 60)},
        {"a burst of its own without a manufacturer", {{0, nameless}}, 1, {{55555555, 0x55}}, ""},
        // 0x30 0x20 0x44 0x43 0x04 0x22 ...: a valid header spanning the telegram after it.
        {"a stray byte that reads as a header", {{0, a + '\x30' + framed(22222222, 0x20, 0x52) + c}}, 3, abc,
         c.substr(0, 60)},
        {"noise that reads as a header but for its control byte",
         {{0, a + test::bytes({0x0C, 0x99, 0x43, 0x04, 0x12, 0x34, 0x56, 0x78, 0x01, 0x07, 0x2F, 0x2F, 0x2F})}}, 1,
         {{11111111, 0x51}}, ""},
        {"noise that reads as the start of a long telegram, then one",
         {{0, a + test::bytes({0x99, 0x44, 0x43, 0x04, 0x12, 0x34, 0x56, 0x78, 0x01, 0x07}) + b}}, 2,
         {{11111111, 0x51}, {22222222, 0x52}}, ""},
        // From byte 2 on, 0E 06 51 28 53 95 22 16 is a valid header of a 15-byte telegram.
        {"a cut telegram whose own header reads as a short one",
         {{0, a + test::from_hex("22440E06512853952216" "7A050000000C13")}}, 1, {{11111111, 0x51}}, ""},
        {"a meter heard before, between noise", {{0, a}, {300, noise(7, 1) + a.substr(0, 30) + '\x5B' + noise(9, 2)}},
         2, {{11111111, 0x5B}}, ""},
    };
    for (const std::size_t n : {1, 5, 17, 40}) {
        cases.push_back({"noise of " + std::to_string(n) + " bytes between telegrams", {{0, a + noise(n, n) + c + b}}, 3,
                         {{11111111, 0x51}, {33333333, 0x53}, {22222222, 0x52}}, c.substr(0, 60)});
        cases.push_back({"a burst of " + std::to_string(n) + " noise bytes", {{0, noise(n, n + 100)}}, 0, {}, ""});
    }
    receiver_.settings.meters[0].address = 33333333;
    receiver_.settings.meters[1].address = 44444444;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        table_ = MeterTable{};
        reset_receiver(receiver_, kStart);
        for (const std::string& name : dir_.list()) {
            std::remove(dir_.file(name).c_str());
        }
        if (c.as_passes) {
            for (const Piece& piece : c.pieces) {
                std::memcpy(receiver_.rx + receiver_.framer.pending, piece.bytes.data(), piece.bytes.size());
                handle_burst(receiver_, static_cast<std::int32_t>(piece.bytes.size()), morning(), kStart);
            }
            handle_burst(receiver_, 0, morning(), kStart);
        } else {
            std::atomic<bool> sent{false};
            std::thread module([&] {
                for (const Piece& piece : c.pieces) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(piece.pause_ms));
                    pty_.send(piece.bytes);
                }
                sent = true;
            });
            const Clocks clocks{morning, start_seconds};
            do {
                receive_pass(receiver_, line_, clocks);
            } while (receiver_.framer.pending > 0 || !sent || readable_within(pty_.slave(), 50));
            module.join();
        }
        EXPECT_EQ(receiver_.watch.telegrams, c.handled);
        EXPECT_EQ(table_ids_and_trailers(), c.heard);
        const std::vector<std::string> files = dir_.list();
        EXPECT_EQ(files.size(), c.raw.empty() ? 0U : 1U);
        if (files.size() == 1) {
            EXPECT_EQ(raw_of(dir_.read(files[0])), c.raw);
        }
    }
}

// A restart or a clock set back never replaces the day's first telegram.
TEST_F(Loop, TheDaysFileIsNeverReplaced) {
    receiver_.settings.meters[0].address = 12345678;
    receive_now(telegram("78563412", 1));
    reset_receiver(receiver_, kStart);
    receive_now(telegram("78563412", 2));
    EXPECT_EQ(raw_of(dir_.read("12345678_2024-03-05.xml")), raw_copy(telegram("78563412", 1)));
    EXPECT_TRUE(exported(0));
    EXPECT_EQ(dir_.list().size(), 1U);
}

TEST_F(Loop, EveryChangeOfDayReportsTheDayThatEnded) {
    CapturedLog log;
    auto pass_at = [this](std::time_t now) { handle_burst(receiver_, 0, wall_time_at(now), kStart); };
    // Nothing configured, nothing heard; the first pass is the start, not a change.
    pass_at(kLastSecond);
    EXPECT_TRUE(log.lines().empty());
    pass_at(kMidnight);
    EXPECT_EQ(log.lines(), (std::vector<test::LogLine>{{LOG_NOTICE, "day 2024-03-05: 0 telegrams, 0 of 0 meters exported"}}));

    // All exported, two slots naming one meter; every telegram of a burst counts,
    // an ignored burst does not.
    receiver_.settings.meters[0].address = 11111111;
    receiver_.settings.meters[1].address = 11111111;
    receiver_.settings.meters[5].address = 22222222;
    receive_at(framed(11111111, 30, 1) + framed(22222222, 30, 2), kMidnight + 60);
    receive_at(framed(33333333, 30, 3), kMidnight + 60);
    receive_at(test::bytes({1, 2, 3}), kMidnight + 60);
    pass_at(kMidnight + 86400);
    EXPECT_EQ(log.texts().back(), "day 2024-03-06: 3 telegrams, 3 of 3 meters exported");
    EXPECT_EQ(log.lines().size(), 2U);

    // Seventeen meters missing: sixteen ids to a message, in slot order.
    std::string first;
    for (std::uint32_t i = 0; i < 17; ++i) {
        receiver_.settings.meters[10 + i].address = 40000000 + i;
        first += i == 0 ? "" : " ";
        first += std::to_string(40000000 + i);
    }
    receive_at(framed(11111111, 30, 1) + framed(22222222, 30, 2), kMidnight + 86400 + 60);
    pass_at(kMidnight + 2 * 86400);
    const std::vector<test::LogLine> expected = {
        {LOG_NOTICE, "day 2024-03-07: 2 telegrams, 3 of 20 meters exported"},
        {LOG_WARNING, "not exported on 2024-03-07: " + first.substr(0, first.rfind(' '))},
        {LOG_WARNING, "not exported on 2024-03-07: 40000016"},
    };
    EXPECT_EQ(std::vector<test::LogLine>(log.lines().end() - 3, log.lines().end()), expected);
}

// A clock set back across midnight: each day reported once and only when it
// ended; the day's first telegram stays in its file.
TEST_F(Loop, ADayIsReportedOnceWhateverTheClockDoes) {
    CapturedLog log;
    receiver_.settings.meters[0].address = 12345678;
    struct Pass {
        std::time_t at;
        int tail;            // the meter's telegram, 0: a quiet pass
        const char* report;  // logged by this pass, if any
    } const passes[] = {
        {kLastSecond, 1, nullptr},
        {kMidnight + 5, 0, "day 2024-03-05: 1 telegrams, 1 of 1 meters exported"},
        {kLastSecond - 9, 3, nullptr},  // set back: 2024-03-06 has not ended
        {kMidnight, 4, nullptr},        // 2024-03-05 was reported
        {kMidnight + 86400, 0, "day 2024-03-06: 2 telegrams, 1 of 1 meters exported"},
        {kMidnight - 10 * 86400, 5, nullptr},  // a clock that was days ahead, corrected
        {kMidnight - 9 * 86400, 0, "day 2024-02-25: 1 telegrams, 1 of 1 meters exported"},
    };
    std::vector<std::string> reports;
    for (const Pass& pass : passes) {
        pass.tail != 0 ? receive_at(telegram("78563412", pass.tail), pass.at)
                       : handle_burst(receiver_, 0, wall_time_at(pass.at), kStart);
        if (pass.report != nullptr) {
            reports.emplace_back(pass.report);
        }
        EXPECT_EQ(log.texts(), reports) << pass.at;
    }
    EXPECT_EQ(raw_of(dir_.read("12345678_2024-03-05.xml")), raw_copy(telegram("78563412", 1)));
    EXPECT_EQ(raw_of(dir_.read("12345678_2024-03-06.xml")), raw_copy(telegram("78563412", 4)));
}

// The question to a silent module: "X" only after its prompt, a '>' that no
// telegram holds and only telegram bytes follow, whatever came before it;
// telegrams that come meanwhile are handled.
TEST_F(Loop, ASilentModuleIsAskedAndLeftOnlyAfterItsPrompt) {
    const std::string t = framed(11111111, 30, 0x51);
    const std::string t_prompt_rssi = framed(22222222, 30, '>');
    const std::string noise("\x07\xA5\x3E\x19\xF0\x02\x61", 7);
    struct Case {
        const char* what;
        std::vector<std::pair<int, std::string>> replies;  // pause in ms, bytes
        Answer answer;
        std::string line;  // what the module got
        std::uint32_t heard;  // the meter in the table, if any
    };
    const Case cases[] = {
        {"prompt", {{0, ">"}}, Answer::prompt, std::string("\0X", 2), 0},
        {"no answer", {}, Answer::none, std::string("\0", 1), 0},
        {"wrong prompt", {{0, "?"}}, Answer::none, std::string("\0", 1), 0},
        {"a telegram, the prompt in its burst", {{0, t + ">"}}, Answer::prompt, std::string("\0X", 2), 11111111},
        {"a telegram, the prompt after it", {{0, t}, {300, ">"}}, Answer::prompt, std::string("\0X", 2), 11111111},
        {"the prompt, a telegram in its burst", {{0, ">" + t}}, Answer::prompt, std::string("\0X", 2), 11111111},
        {"a telegram whose RSSI byte reads as a prompt", {{0, t_prompt_rssi}}, Answer::telegrams,
         std::string("\0", 1), 22222222},
        {"noise, then the prompt", {{0, noise}, {300, ">"}}, Answer::prompt, std::string("\0X", 2), 0},
        {"noise and the prompt in one burst", {{0, noise + ">" + t}}, Answer::prompt, std::string("\0X", 2),
         11111111},
        {"'>' before bytes of no telegram", {{0, std::string("\x3E\x01\x02\x03", 4)}}, Answer::none,
         std::string("\0", 1), 0},
        {"a prompt after the answer time", {{1300, ">"}}, Answer::none, std::string("\0", 1), 0},
    };
    const Clocks clocks{morning, start_seconds};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        reset_receiver(receiver_, kStart);
        table_ = MeterTable{};
        std::thread module([&] {
            for (const auto& [pause_ms, bytes] : c.replies) {
                std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
                pty_.send(bytes);
            }
        });
        EXPECT_EQ(ask_radio(receiver_, line_, clocks), c.answer);
        module.join();
        EXPECT_EQ(pty_.drain(), c.line);
        EXPECT_EQ(table_.entries[0].id, c.heard);
        EXPECT_EQ(receiver_.watch.telegrams, c.heard != 0 ? 1U : 0U);
    }
    CapturedLog log;
    for (const bool answering : {true, true, false, false, true}) {
        note_radio(receiver_.watch, answering);
    }
    EXPECT_EQ(log.lines(),
              (std::vector<test::LogLine>{
                  {LOG_NOTICE, "rc1180 answers"}, {LOG_ERR, "rc1180 not answering"}, {LOG_NOTICE, "rc1180 answers"}}));
}

// A prompt that comes too late leaves the module in configuration mode: the
// question is asked again at a later pass, and the module leaves it well within
// 30 s; "rc1180 not answering" is not logged for the first, missed prompt.
TEST_F(Loop, AMissedPromptIsAskedForAgain) {
    using std::chrono::steady_clock;
    std::atomic<bool> left{false};
    steady_clock::time_point asked, exited;
    std::thread module([&] {
        int questions = 0;
        pty_.send("\x01");  // a byte of noise ends the first pass at once
        for (const auto end = steady_clock::now() + std::chrono::seconds(40); !left && steady_clock::now() < end;) {
            for (const char byte : pty_.drain(50)) {
                if (byte == '\0' && questions++ == 0) {
                    asked = steady_clock::now();
                    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
                }
                if (byte == '\0') {
                    pty_.send(">");
                }
                exited = steady_clock::now();
                left = left || byte == 'X';
            }
        }
        pty_.send("\x01");
    });
    CapturedLog log;
    const Clocks clocks{morning, monotonic_seconds};
    reset_receiver(receiver_, monotonic_seconds());
    receiver_.silence.ask = true;
    for (const auto end = steady_clock::now() + std::chrono::seconds(40); !left && steady_clock::now() < end;) {
        receive_pass(receiver_, line_, clocks);
    }
    module.join();
    ASSERT_TRUE(left);
    EXPECT_LT(exited - asked, std::chrono::seconds(12));
    EXPECT_EQ(log.texts(), std::vector<std::string>{"rc1180 answers"});
}

// Readiness, watchdog and status through a socket of the test's, and the metrics
// file: at the first pass, after a minute with a change, at a change of day.
TEST_F(Loop, WatchedThroughTheNotifySocketAndTheMetricsFile) {
    const int manager = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = dir_.file("notify");
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(bind(manager, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    TempDir run;
    open_notifier(receiver_.watch.notifier, path.c_str());
    receiver_.watch.metrics_dir = run.path().c_str();
    receiver_.watch.version = "1.1.0";
    receiver_.settings.meters[0].address = 12345678;
    receiver_.settings.meters[1].address = 12345678;
    receiver_.settings.meters[2].address = 87654321;  // configured, never heard
    auto messages = [manager] {
        std::vector<std::string> out;
        char buffer[256];
        for (ssize_t n; (n = recv(manager, buffer, sizeof buffer, 0)) > 0;) {
            out.emplace_back(buffer, static_cast<std::size_t>(n));
        }
        return out;
    };
    auto metrics = [&run] {  // taken away, so that a rewrite shows
        const std::string text = run.list().empty() ? "" : run.read("metrics.prom");
        std::remove(run.file("metrics.prom").c_str());
        return text;
    };
    announce_ready(receiver_);
    watch_pass(receiver_, kStart);
    EXPECT_EQ(messages(), (std::vector<std::string>{
                              "READY=1\nSTATUS=0 meters heard, 0 of 3 exported today, no telegram yet", "WATCHDOG=1"}));
    EXPECT_NE(metrics().find("norvalith_build_info{version=\"1.1.0\"} 1\n"), std::string::npos);

    receive_now(telegram("78563412", 0x51));
    receive_now(telegram("11111111", 0x50));  // not configured: no series of its own
    watch_pass(receiver_, kStart + 59);
    EXPECT_EQ(metrics(), "");
    watch_pass(receiver_, kStart + 60);
    const std::string text = metrics();
    for (const char* line : {"norvalith_telegrams_total 2\n", "norvalith_table_meters 2\n",
                             "norvalith_configured_meters 3\n", "norvalith_exported_meters 2\n",
                             "norvalith_radio_answering 1\n", "norvalith_last_telegram_timestamp_seconds 1709615228\n",
                             "norvalith_meter_last_heard_timestamp_seconds{meter=\"12345678\"} 1709615228\n"
                             "# HELP norvalith_meter_rssi_dbm Signal strength of a configured meter's last telegram.\n"
                             "# TYPE norvalith_meter_rssi_dbm gauge\n"
                             "norvalith_meter_rssi_dbm{meter=\"12345678\"} -40.5\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
    }
    EXPECT_EQ(text.find("11111111"), std::string::npos);
    EXPECT_EQ(text.find("12345678", text.find("12345678\"} -40.5") + 1), std::string::npos);  // one series a meter
    EXPECT_EQ(messages(),
              (std::vector<std::string>{"WATCHDOG=1", "WATCHDOG=1",
                                        "STATUS=2 meters heard, 2 of 3 exported today, last telegram 1 min ago"}));
    watch_pass(receiver_, kStart + 200);  // nothing changed
    EXPECT_EQ(metrics(), "");
    receive_at(telegram("11111111", 0x50), kMidnight);
    watch_pass(receiver_, kStart + 201);
    EXPECT_NE(metrics().find("norvalith_exported_meters 0\n"), std::string::npos);
    close(manager);
}

// A failing metrics write: logged once until one succeeds, retried at the next
// period without a new change.
TEST_F(Loop, AFailingMetricsWriteIsLoggedOnceAndRetried) {
    CapturedLog log;
    TempDir run;
    run.write("file", "");
    const std::string file = run.file("file");  // no directory: ENOTDIR
    receiver_.watch.version = "1.1.0";
    struct Pass {
        const std::string& dir;
        std::int32_t at;
        std::size_t change;  // garbage bytes noted before the pass
        std::size_t logged;
    } const passes[] = {
        {file, kStart, 0, 1}, {file, kStart + 60, 0, 1}, {run.path(), kStart + 120, 0, 1}, {file, kStart + 180, 1, 2},
    };
    for (const Pass& pass : passes) {
        receiver_.watch.metrics_dir = pass.dir.c_str();
        note_garbage(receiver_.watch, pass.change);
        watch_pass(receiver_, pass.at);
        EXPECT_EQ(log.lines().size(), pass.logged) << pass.at;
    }
    EXPECT_EQ(log.lines().back(), (test::LogLine{LOG_ERR, "metrics write error: Not a directory"}));
    EXPECT_NE(run.read("metrics.prom").find("norvalith_telegrams_total 0\n"), std::string::npos);
}

TEST(SilenceAlarm, OnceASilenceAndANoticeWhenTelegramsComeAgain) {
    CapturedLog log;
    SilenceAlarm alarm{};
    start_silence_alarm(alarm, 2, 100);
    check_silence(alarm, 0, 219);
    EXPECT_TRUE(log.lines().empty());
    check_silence(alarm, 0, 220);
    check_silence(alarm, 0, 400);
    EXPECT_EQ(log.lines(), (std::vector<test::LogLine>{{LOG_WARNING, "no telegram for 2 min"}}));
    check_silence(alarm, 3, 100 + 7 * 60 + 59);
    EXPECT_EQ(log.lines().back(), (test::LogLine{LOG_NOTICE, "telegrams again after 7 min"}));
    // A new silence counts from the last telegram.
    check_silence(alarm, 0, 100 + 9 * 60 + 58);
    EXPECT_EQ(log.lines().size(), 2U);
    check_silence(alarm, 0, 100 + 9 * 60 + 59);
    EXPECT_EQ(log.lines().size(), 3U);

    start_silence_alarm(alarm, 0, 100);  // off
    check_silence(alarm, 0, 100000);
    check_silence(alarm, 1, 100001);
    EXPECT_EQ(log.lines().size(), 3U);
}

}  // namespace
}  // namespace norvalith
