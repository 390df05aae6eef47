// rc1180-sim's timing on the line: bytes handed over in UART chunks at the line rate,
// and --min-gap-ms keeping source bursts apart so the daemon's reader never joins them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "engine.hpp"
#include "options.hpp"
#include "telegrams.hpp"
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

// The engine run until "quit" after the given control lines; every read on the slave
// with its time (CLOCK_MONOTONIC ms) and how many bytes had arrived by then.
struct Arrivals {
    double start_ms;  // before the engine could have read the lines
    std::vector<std::pair<double, std::size_t>> reads;

    double of(std::size_t offset) const {
        for (const auto& [ms, total] : reads) {
            if (total > offset) {
                return ms - start_ms;
            }
        }
        ADD_FAILURE() << "byte " << offset << " never arrived";
        return 0.0;
    }
};

Arrivals arrivals(Options o, const TempDir& dir, const std::string& commands) {
    o.control_path = dir.file("control");
    o.sent_file = dir.file("sent");
    Pty pty;
    Engine engine(o, pty.master());
    std::string error;
    EXPECT_TRUE(engine.open(error)) << error;
    const int fd = open(o.control_path.c_str(), O_WRONLY | O_NONBLOCK);
    EXPECT_EQ(write(fd, commands.data(), commands.size()), static_cast<ssize_t>(commands.size()));
    close(fd);
    Arrivals out{};
    std::atomic<bool> done{false};
    std::thread reader([&] {
        std::size_t total = 0;
        pollfd p{pty.slave(), POLLIN, 0};
        while (poll(&p, 1, 50) > 0 || !done) {
            char buffer[1024];
            const ssize_t n = (p.revents & POLLIN) != 0 ? read(pty.slave(), buffer, sizeof buffer) : 0;
            if (n > 0) {
                total += static_cast<std::size_t>(n);
                out.reads.emplace_back(test::now_seconds() * 1000.0, total);
            }
        }
    });
    out.start_ms = test::now_seconds() * 1000.0;
    EXPECT_EQ(engine.run(-1), 0);
    done = true;
    reader.join();
    return out;
}

std::string raw_command(std::size_t bytes) {
    return "raw " + std::string(bytes * 2, 'A') + "\n";
}

TEST(SimUart, ChunksLeaveAtTheLineRate) {
    // 16 bytes take 8.33 ms at 19200 bit/s. The schedule is fixed: a wake-up 30 ms late
    // hands over the four chunks due by then at once.
    EXPECT_EQ(uart_bytes_due(100, 16, 30'000'000), 64U);

    TempDir dir;
    const Arrivals line = arrivals(Options{}, dir, raw_command(100) + "quit\n");
    ASSERT_FALSE(line.reads.empty());
    EXPECT_EQ(line.reads.back().second, 100U);
    for (const auto& [ms, total] : line.reads) {
        EXPECT_TRUE(total % 16 == 0 || total == 100) << "a read ended inside a chunk: " << total;
    }
    // Never early; late only by the scheduling noise of a shared machine.
    for (std::size_t k = 1; k * 16 < 100; ++k) {
        EXPECT_GE(line.of(k * 16), static_cast<double>(k) * 8.333) << "chunk " << k;
    }
    EXPECT_LT(line.of(96), 50.0 + 30.0) << "six chunk times, not stretched by late wake-ups";
}

TEST(SimUart, BurstsQueueBackToBackAndSentTimesAreFirstBytes) {
    TempDir dir;
    Options o;
    // One chunk a burst: the first one's 96 bytes are handed over at once, but keep the
    // line for 50 ms, and the second, asked for at the same moment, follows then.
    o.chunk = 100;
    const Arrivals line = arrivals(o, dir, raw_command(96) + raw_command(20) + "quit\n");
    ASSERT_FALSE(line.reads.empty());
    EXPECT_EQ(line.reads.back().second, 116U);
    EXPECT_GE(line.of(96), 50.0);
    const auto records = sent_records(dir.read("sent"));
    ASSERT_EQ(records.size(), 2U);
    EXPECT_LT(static_cast<double>(records[1].first) - line.start_ms, 50.0 + 20.0) << "no gap between the bursts";
    // The time is taken before the write, so the byte never arrives before it; our reader
    // may be late on a busy machine.
    for (const auto& [offset, record] :
         {std::pair<std::size_t, std::int64_t>{0, records[0].first}, {96, records[1].first}}) {
        const double late = line.of(offset) + line.start_ms - static_cast<double>(record);
        EXPECT_GE(late, -0.5) << "burst at byte " << offset;
        EXPECT_LT(late, 30.0) << "burst at byte " << offset;
    }
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
