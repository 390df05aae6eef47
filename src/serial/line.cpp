#include "serial/line.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/log.hpp"

namespace norvalith {

speed_t speed_code(std::uint32_t bits_per_second) {
    switch (bits_per_second) {
        case 300: return B300;
        case 600: return B600;
        case 1200: return B1200;
        case 2400: return B2400;
        case 4800: return B4800;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        case 230400: return B230400;
        case 460800: return B460800;
        case 500000: return B500000;
        case 576000: return B576000;
        case 921600: return B921600;
        case 1000000: return B1000000;
        case 1152000: return B1152000;
        case 1500000: return B1500000;
        case 2000000: return B2000000;
        case 2500000: return B2500000;
        case 3000000: return B3000000;
        case 3500000: return B3500000;
        case 4000000: return B4000000;
        default: return B9600;
    }
}

void line_attributes(termios& attrs, std::uint32_t bits_per_second, std::int32_t data_bits,
                     const char* parity_text, std::int32_t stop_bits) {
    const speed_t speed = speed_code(bits_per_second);
    tcflag_t control = speed | CREAD | HUPCL | CLOCAL;
    control |= data_bits == 7 ? CS7 : CS8;
    if (stop_bits == 2) {
        control |= CSTOPB;
    }
    const char parity = parity_text != nullptr ? parity_text[0] : '\0';
    if (parity == 'O') {
        control |= PARENB | PARODD;
    } else if (parity == 'E') {
        control |= PARENB;
    }
    attrs.c_cflag = control;
    attrs.c_iflag = IGNBRK | IGNPAR;
    attrs.c_oflag = 0;
    attrs.c_lflag = 0;
    // glibc keeps the speed in c_ispeed/c_ospeed as well; keep them in step.
    cfsetispeed(&attrs, speed);
    cfsetospeed(&attrs, speed);
}

int open_serial(const char* device_path, std::uint32_t bits_per_second, std::int32_t data_bits,
                const char* parity_text, std::int32_t stop_bits) {
    const int fd = open(device_path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_SYNC);
    if (fd < 0) {
        log_msg(LOG_ERR, "open(%s) error: %s", device_path, std::strerror(errno));
        return -1;
    }
    // A second guard beside the lock file, which other programs honour but anyone
    // may remove: the kernel's lock on the open line ends with its holder, so it
    // never goes stale, and two daemons can never both read the line. (TIOCEXCL
    // would not do: it does not stop root, and it refuses every later open, even
    // one that only reads the line's settings.)
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return kLineBusy;
    }
    termios attrs{};
    tcgetattr(fd, &attrs);
    line_attributes(attrs, bits_per_second, data_bits, parity_text, stop_bits);
    if (tcsetattr(fd, TCSANOW, &attrs) != 0) {
        log_msg(LOG_ERR, "tcsetattr(%s) error: %s", device_path, std::strerror(errno));
    }
    return fd;
}

}  // namespace norvalith
