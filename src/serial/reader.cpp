#include "serial/reader.hpp"

#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "base/clock.hpp"
#include "base/log.hpp"

namespace norvalith {

namespace {

void pause_one_second() {
    const timespec second{1, 0};
    nanosleep(&second, nullptr);
}

// A first read that fails although the line was reported readable means the line
// is broken (I/O error, hang-up); without the pause the caller would spin.
void line_failed(SerialLine& line, ssize_t result, int error) {
    if (!line.failing) {
        line.failing = true;
        if (result == 0) {
            log_msg(LOG_ERR, "read: end of file");
        } else {
            log_msg(LOG_ERR, "read: %s", std::strerror(error));
        }
    }
    pause_one_second();
}

}  // namespace

std::int32_t read_frame(SerialLine& line, std::span<std::uint8_t> buffer, std::int32_t first_byte_timeout_seconds,
                        std::int32_t allowance_ms, int wake_fd) {
    const int fd = line.fd;
    const auto capacity = static_cast<std::int32_t>(std::min<std::size_t>(buffer.size(), INT32_MAX));
    if (fd < 0 || fd >= FD_SETSIZE) {
        // Not a descriptor select() can watch; behave like a failed wait.
        log_msg(LOG_ERR, "select: %s", std::strerror(EBADF));
        pause_one_second();
        return 0;
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    if (wake_fd >= 0 && wake_fd < FD_SETSIZE) {
        FD_SET(wake_fd, &readable);
    }
    timeval wait{first_byte_timeout_seconds, 0};
    if (select(FD_SETSIZE, &readable, nullptr, nullptr, &wait) < 0) {
        log_msg(LOG_ERR, "select: %s", std::strerror(errno));
        pause_one_second();
    }
    if (!FD_ISSET(fd, &readable)) {
        return 0;
    }
    FD_ZERO(&readable);  // the burst's waits watch the line alone
    FD_SET(fd, &readable);

    timeval allowance{allowance_ms / 1000, allowance_ms % 1000 * 1000};
    std::int32_t count = 0;
    for (;;) {
        const ssize_t got = count < capacity
                                ? read(fd, buffer.data() + count, static_cast<std::size_t>(capacity - count))
                                : 0;
        if (got <= 0) {
            const int error = errno;
            const bool nothing_pending = got < 0 && (error == EAGAIN || error == EWOULDBLOCK || error == EINTR);
            if (count == 0 && capacity > 0 && !nothing_pending) {
                line_failed(line, got, error);
            }
            return count;
        }
        line.failing = false;
        line.last_bytes_ms = monotonic_ms();
        // Linux writes the time left back into allowance, so it is used up across waits.
        const int ready = select(fd + 1, &readable, nullptr, nullptr, &allowance);
        count += static_cast<std::int32_t>(got);
        if (ready <= 0 || !FD_ISSET(fd, &readable)) {
            return count;
        }
    }
}

}  // namespace norvalith
