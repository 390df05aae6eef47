// The timed frame reader on a pty, with real timing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "serial/reader.hpp"
#include "test_support.hpp"

namespace norvalith {
namespace {

using test::CapturedLog;
using test::Pty;

// The daemon's allowance, which these timings are made for.
constexpr std::int32_t kAllowanceMs = 200;

class Reader : public ::testing::Test {
protected:
    Reader() {
        fcntl(pty_.slave(), F_SETFL, fcntl(pty_.slave(), F_GETFL) | O_NONBLOCK);
        line_.fd = pty_.slave();
    }
    std::int32_t read(int timeout = 1) { return read_frame(line_, buffer_, timeout, kAllowanceMs); }
    std::string got(std::int32_t n) const { return std::string(reinterpret_cast<const char*>(buffer_), n); }

    Pty pty_;
    SerialLine line_;
    std::uint8_t buffer_[512] = {};
};

TEST_F(Reader, QuietLineTimesOutWithNothing) {
    const double start = test::now_seconds();
    EXPECT_EQ(read(1), 0);
    const double waited = test::seconds_since(start);
    EXPECT_GE(waited, 0.95);
    EXPECT_LT(waited, 1.5);
}

TEST_F(Reader, BurstsAreCutAtCapacityAndTheBufferIsNotCleared) {
    std::memset(buffer_, 0xEE, sizeof buffer_);
    std::string burst;
    for (int i = 0; i < 600; ++i) {
        burst.push_back(static_cast<char>(i % 251));
    }
    pty_.send(burst);
    EXPECT_EQ(read(), 512);
    EXPECT_EQ(got(512), burst.substr(0, 512));
    EXPECT_EQ(read(), 88);
    EXPECT_EQ(got(88), burst.substr(512));
    EXPECT_EQ(buffer_[88], static_cast<std::uint8_t>(burst[88]));  // left from the first call

    pty_.send("abc");
    EXPECT_EQ(read(), 3);
    EXPECT_EQ(buffer_[3], static_cast<std::uint8_t>(burst[515]));
}

TEST_F(Reader, TheAllowanceIsSharedByAllWaitsOfOneCall) {
    // Two bursts 60 ms apart are one.
    std::thread two([this] {
        pty_.send("first");
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        pty_.send("second");
    });
    EXPECT_EQ(read(), 11);
    EXPECT_EQ(got(11), "firstsecond");
    two.join();

    // Gaps of 90 ms each are short, but together they pass 200 ms.
    std::thread trickle([this] {
        for (char c : std::string("wxyz")) {
            pty_.send(std::string(1, c));
            std::this_thread::sleep_for(std::chrono::milliseconds(90));
        }
    });
    const std::int32_t first = read();
    const std::string head = got(first);
    EXPECT_GE(first, 2);
    EXPECT_LE(first, 3);
    std::string all = head;
    while (all.size() < 4) {
        const std::int32_t n = read();
        ASSERT_GT(n, 0);
        all += got(n);
    }
    trickle.join();
    EXPECT_EQ(all, "wxyz");
}

TEST_F(Reader, AHungUpLineIsPacedAndLoggedOnce) {
    CapturedLog log;
    pty_.close_master();
    const double start = test::now_seconds();
    EXPECT_EQ(read(5), 0);
    EXPECT_EQ(read(5), 0);
    const double waited = test::seconds_since(start);
    EXPECT_GE(waited, 1.9);  // a pause each, not a spin
    EXPECT_LT(waited, 3.0);
    ASSERT_EQ(log.lines().size(), 1U);
    EXPECT_EQ(log.lines()[0].priority, LOG_ERR);
    EXPECT_EQ(log.lines()[0].text, "read: end of file");
}

TEST_F(Reader, AFailedWaitIsLoggedAndPaced) {
    CapturedLog log;
    const double start = test::now_seconds();
    std::uint8_t buffer[16];
    SerialLine out_of_range{4000};
    EXPECT_EQ(read_frame(out_of_range, buffer, 1, kAllowanceMs), 0);
    EXPECT_GE(test::seconds_since(start), 0.95);
    ASSERT_EQ(log.lines().size(), 1U);
    EXPECT_EQ(log.lines()[0].text, "select: Bad file descriptor");
}

}  // namespace
}  // namespace norvalith
