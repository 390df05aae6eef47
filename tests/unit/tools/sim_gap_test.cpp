// rc1180-sim's --min-gap-ms: source bursts kept apart so the daemon's reader never
// joins them into one frame.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "engine.hpp"
#include "options.hpp"
#include "test_support.hpp"

namespace norvalith::sim {
namespace {

using test::Pty;
using test::TempDir;

bool parse(std::vector<const char*> args, Options& o, std::string& error) { return parse_options(args, o, error); }

// Send times (ms) and kinds from a --sent file.
std::vector<std::pair<std::int64_t, std::string>> sent_records(const std::string& text) {
    std::vector<std::pair<std::int64_t, std::string>> out;
    std::istringstream in(text);
    std::int64_t ms = 0;
    std::string kind;
    std::string hex;
    while (in >> ms >> kind >> hex) {
        out.emplace_back(ms, kind);
    }
    return out;
}

// Runs the engine until its sources are done while a thread drains the slave.
void run_to_end(const Options& o, Pty& pty) {
    Engine engine(o, pty.master());
    std::string error;
    ASSERT_TRUE(engine.open(error)) << error;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done) {
            pollfd p{pty.slave(), POLLIN, 0};
            if (poll(&p, 1, 20) > 0) {
                char buffer[1024];
                [[maybe_unused]] const ssize_t n = read(pty.slave(), buffer, sizeof buffer);
            }
        }
    });
    EXPECT_EQ(engine.run(-1), 0);
    done = true;
    reader.join();
}

TEST(SimMinGap, DefaultsTo250OnlyWhenBothSourcesRun) {
    std::string error;
    Options both;
    ASSERT_TRUE(parse({"--replay", "r", "--generate", "3"}, both, error)) << error;
    EXPECT_EQ(both.min_gap_ms, 250);
    Options replay_only;
    ASSERT_TRUE(parse({"--replay", "r"}, replay_only, error)) << error;
    EXPECT_EQ(replay_only.min_gap_ms, 0) << "one source alone keeps its own timing";
    Options generate_only;
    ASSERT_TRUE(parse({"--generate", "3", "--rate", "5"}, generate_only, error)) << error;
    EXPECT_EQ(generate_only.min_gap_ms, 0) << "Poisson traffic may merge, as on the air";
    Options asked;
    ASSERT_TRUE(parse({"--min-gap-ms=0", "--replay", "r", "--generate", "3"}, asked, error)) << error;
    EXPECT_EQ(asked.min_gap_ms, 0) << "an explicit value wins over the default";
    ASSERT_TRUE(parse({"--min-gap-ms", "400"}, asked, error)) << error;
    EXPECT_EQ(asked.min_gap_ms, 400);
    for (const char* bad : {"x", "-1", ""}) {
        Options o;
        EXPECT_FALSE(parse({"--min-gap-ms", bad}, o, error)) << bad;
    }
}

TEST(SimMinGap, MixedSourcesNeverSendCloserThanTheGap) {
    TempDir dir;
    // Replayed telegrams due back to back, generated ones at 50 a second, garbage after
    // every telegram: everything wants to go at once.
    dir.write("replay", "0 0A4493157856341233037A\n0 0A4493157856341233037B\n");
    std::string error;
    Options o;
    const std::string replay = dir.file("replay");
    const std::string sent = dir.file("sent");
    ASSERT_TRUE(parse({"--replay", replay.c_str(), "--repeat", "--generate", "5", "--rate", "50", "--seed", "3",
                       "--garbage", "1", "--count", "8", "--gap-ms", "0", "--no-handshake", "--exit-when-done",
                       "--sent", sent.c_str()},
                      o, error))
        << error;
    Pty pty;
    run_to_end(o, pty);

    const auto records = sent_records(dir.read("sent"));
    ASSERT_GE(records.size(), 8U);
    int telegrams = 0;
    for (std::size_t i = 1; i < records.size(); ++i) {
        EXPECT_GE(records[i].first - records[i - 1].first, 250)
            << records[i - 1].second << " then " << records[i].second << " (burst " << i << ")";
    }
    for (const auto& [ms, kind] : records) {
        telegrams += kind == "telegram" ? 1 : 0;
    }
    EXPECT_EQ(telegrams, 8);
}

TEST(SimMinGap, FullRateCountsTheGapFromTheEndOfTheTransmission) {
    TempDir dir;
    // 47 bytes on the line take 25 ms at 19200 bit/s.
    const std::string telegram(94, 'A');
    dir.write("replay", "2F" + telegram.substr(0, 92) + "\n2F" + telegram.substr(0, 92) + "\n");
    std::string error;
    Options o;
    const std::string replay = dir.file("replay");
    const std::string sent = dir.file("sent");
    ASSERT_TRUE(parse({"--replay", replay.c_str(), "--full-rate", "--min-gap-ms", "100", "--no-handshake",
                       "--exit-when-done", "--sent", sent.c_str()},
                      o, error))
        << error;
    Pty pty;
    run_to_end(o, pty);
    const auto records = sent_records(dir.read("sent"));
    ASSERT_EQ(records.size(), 2U);
    EXPECT_GE(records[1].first - records[0].first, 125);
    EXPECT_LT(records[1].first - records[0].first, 200);
}

}  // namespace
}  // namespace norvalith::sim
