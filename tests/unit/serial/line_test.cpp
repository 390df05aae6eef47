// Line set-up on a pty.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

#include "serial/line.hpp"
#include "test_support.hpp"

namespace norvalith {
namespace {

using test::CapturedLog;
using test::Pty;

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

// The lock file can be removed from under a running daemon; the lock on the open
// line cannot, and it ends with its holder.
TEST(Line, ASecondOpenerFindsTheLineBusyAndChangesNothing) {
    Pty pty;
    CapturedLog log;
    const int first = open_serial(pty.slave_path().c_str(), 19200, 8, "N", 1);
    ASSERT_GE(first, 0);
    EXPECT_EQ(open_serial(pty.slave_path().c_str(), 2400, 7, "E", 2), kLineBusy);
    termios attrs{};
    ASSERT_EQ(tcgetattr(first, &attrs), 0);
    EXPECT_EQ(cfgetospeed(&attrs), static_cast<speed_t>(B19200));
    EXPECT_EQ(attrs.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(log.lines().empty());

    close(first);
    const int next = open_serial(pty.slave_path().c_str(), 19200, 8, "N", 1);
    EXPECT_GE(next, 0);
    close(next);
}

}  // namespace
}  // namespace norvalith
