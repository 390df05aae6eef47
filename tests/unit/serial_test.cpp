// Device lock with real processes, line set-up and the timed reader on ptys.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <syslog.h>

#include <chrono>
#include <cstring>
#include <cstdio>
#include <string>
#include <thread>

#include "serial/line.hpp"
#include "serial/lock.hpp"
#include "serial/reader.hpp"
#include "test_support.hpp"

namespace norvalith {
namespace {

using test::CapturedLog;
using test::Pty;
using test::TempDir;

std::string lock_content(int pid) {
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", pid);
    return text;
}

pid_t dead_pid() {
    const pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    waitpid(child, nullptr, 0);
    return child;
}

// A live process for the length of the test.
struct Sleeper {
    pid_t pid = fork();
    Sleeper() {
        if (pid == 0) {
            pause();
            _exit(0);
        }
    }
    ~Sleeper() {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    Sleeper(const Sleeper&) = delete;
    Sleeper& operator=(const Sleeper&) = delete;
};

TEST(Lock, StaleLocksAreReplacedAtOnceWithOurPid) {
    TempDir dir;
    const std::string pattern = dir.path() + "/LCK..%s";
    const std::string expected = lock_content(getpid());
    const std::string stale[] = {lock_content(dead_pid()), "garbage\n", "", lock_content(getpid())};
    for (const std::string& content : stale) {
        dir.write("LCK..ttyS1", content);
        const double start = test::now_seconds();
        ASSERT_TRUE(lock_device(pattern.c_str(), "/dev/ttyS1", 1)) << content;
        EXPECT_LT(test::seconds_since(start), 0.5) << content;
        EXPECT_EQ(dir.read("LCK..ttyS1"), expected);
        EXPECT_EQ(expected.size(), 11U);
    }
}

TEST(Lock, HeldLockOrMissingDirectoryTimesOutAfterOneToTwoSeconds) {
    TempDir dir;
    const std::string pattern = dir.path() + "/LCK..%s";
    Sleeper holder;
    dir.write("LCK..ttyS1", lock_content(holder.pid));
    double start = test::now_seconds();
    EXPECT_FALSE(lock_device(pattern.c_str(), "/dev/ttyS1", 1));
    double waited = test::seconds_since(start);
    EXPECT_GE(waited, 0.95);
    EXPECT_LE(waited, 2.3);
    EXPECT_EQ(dir.read("LCK..ttyS1"), lock_content(holder.pid));

    const std::string missing = dir.path() + "/missing/LCK..%s";
    start = test::now_seconds();
    EXPECT_FALSE(lock_device(missing.c_str(), "/dev/ttyS1", 1));
    waited = test::seconds_since(start);
    EXPECT_GE(waited, 0.95);
    EXPECT_LE(waited, 2.3);
}

TEST(Lock, AnotherUsersLiveProcessHoldsTheLock) {
    // Signal 0 to someone else's process fails with EPERM: it is alive.
    TempDir dir;
    chmod(dir.path().c_str(), 0777);
    const std::string pattern = dir.path() + "/LCK..%s";
    const pid_t owner = getpid();
    dir.write("LCK..ttyS1", lock_content(geteuid() == 0 ? owner : 1));
    const pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0) {
            const passwd* nobody = getpwnam("nobody");
            if (nobody == nullptr || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) {
                _exit(3);
            }
        }
        const bool alive = pid_alive(geteuid() == 0 ? owner : 1);
        const bool locked = lock_device(pattern.c_str(), "/dev/ttyS1", 1);
        _exit(alive && !locked ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(pid_alive(0));
    EXPECT_FALSE(pid_alive(-1));
    EXPECT_FALSE(pid_alive(dead_pid()));
}

TEST(Line, AttributesForEveryFrameFormat) {
    termios attrs{};
    attrs.c_cc[VMIN] = 7;
    line_attributes(attrs, 19200, 8, "N", 1);
    EXPECT_EQ(attrs.c_cflag, static_cast<tcflag_t>(B19200 | CS8 | CREAD | HUPCL | CLOCAL));
    EXPECT_EQ(attrs.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
    EXPECT_EQ(attrs.c_oflag, 0U);
    EXPECT_EQ(attrs.c_lflag, 0U);
    EXPECT_EQ(attrs.c_cc[VMIN], 7);

    line_attributes(attrs, 2400, 7, "O", 2);
    EXPECT_EQ(attrs.c_cflag, static_cast<tcflag_t>(B2400 | CS7 | CSTOPB | PARENB | PARODD | CREAD | HUPCL | CLOCAL));
    line_attributes(attrs, 2400, 5, "Even", 1);
    EXPECT_EQ(attrs.c_cflag, static_cast<tcflag_t>(B2400 | CS8 | PARENB | CREAD | HUPCL | CLOCAL));
    for (const char* lower : {"e", "o", "", "X"}) {
        line_attributes(attrs, 2400, 8, lower, 1);
        EXPECT_EQ(attrs.c_cflag & (PARENB | PARODD), 0U) << lower;
    }

    EXPECT_EQ(speed_code(1800), static_cast<speed_t>(B9600));
    EXPECT_EQ(speed_code(9600), static_cast<speed_t>(B9600));
    EXPECT_EQ(speed_code(150), static_cast<speed_t>(B9600));
    EXPECT_EQ(speed_code(300), static_cast<speed_t>(B300));
    EXPECT_EQ(speed_code(576000), static_cast<speed_t>(B576000));
    EXPECT_EQ(speed_code(4000000), static_cast<speed_t>(B4000000));
}

TEST(Line, OpensAPtyRawAndNonBlockingOrLogsTheFailure) {
    Pty pty;
    CapturedLog log;
    const int fd = open_serial(pty.slave_path().c_str(), 1800, 8, "N", 1);
    ASSERT_GE(fd, 0);
    termios attrs{};
    ASSERT_EQ(tcgetattr(fd, &attrs), 0);
    EXPECT_EQ(cfgetospeed(&attrs), static_cast<speed_t>(B9600));
    EXPECT_EQ(attrs.c_lflag, 0U);
    EXPECT_EQ(attrs.c_oflag, 0U);
    EXPECT_EQ(attrs.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
    EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    close(fd);
    EXPECT_TRUE(log.lines().empty());

    EXPECT_EQ(open_serial("/nonexistent/ttyS9", 19200, 8, "N", 1), -1);
    ASSERT_EQ(log.lines().size(), 1U);
    EXPECT_EQ(log.lines()[0].priority, LOG_ERR);
    EXPECT_EQ(log.lines()[0].text, "open(/nonexistent/ttyS9) error: No such file or directory");

    // Not a terminal: the attributes fail, the descriptor is still handed out.
    const int null_fd = open_serial("/dev/null", 19200, 8, "N", 1);
    EXPECT_GE(null_fd, 0);
    ASSERT_EQ(log.lines().size(), 2U);
    EXPECT_EQ(log.lines()[1].text, "tcsetattr(/dev/null) error: Inappropriate ioctl for device");
    close(null_fd);
}

class Reader : public ::testing::Test {
protected:
    Reader() { fcntl(pty_.slave(), F_SETFL, fcntl(pty_.slave(), F_GETFL) | O_NONBLOCK); }
    std::int32_t read(int timeout = 1) { return read_frame(pty_.slave(), buffer_, 512, timeout); }
    std::string got(std::int32_t n) const { return std::string(reinterpret_cast<const char*>(buffer_), n); }

    Pty pty_;
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
    EXPECT_EQ(read_frame(4000, buffer, sizeof buffer, 1), 0);
    EXPECT_GE(test::seconds_since(start), 0.95);
    ASSERT_EQ(log.lines().size(), 1U);
    EXPECT_EQ(log.lines()[0].text, "select: Bad file descriptor");
}

}  // namespace
}  // namespace norvalith
