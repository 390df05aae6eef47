#include "base/text.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace norvalith {

void TextBuffer::put(char c) {
    if (length + 1 < capacity) {
        out[length++] = c;
        out[length] = '\0';
    } else {
        overflow = true;
    }
}

void TextBuffer::text(const char* s) {
    while (*s != '\0') {
        put(*s++);
    }
}

void TextBuffer::format(const char* fmt, ...) {
    char piece[128];
    va_list args;
    va_start(args, fmt);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started above
    const int len = std::vsnprintf(piece, sizeof piece, fmt, args);
    va_end(args);
    if (len < 0 || static_cast<std::size_t>(len) >= sizeof piece) {
        overflow = true;
        return;
    }
    text(piece);
}

bool write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace norvalith
