// Texts built in fixed buffers and written whole: nothing allocates, nothing is cut
// without saying so.
#pragma once

#include <cstddef>

namespace norvalith {

// Appends to a fixed buffer, always terminated; remembers when something did not fit.
struct TextBuffer {
    char* out;
    std::size_t capacity;
    std::size_t length = 0;
    bool overflow = false;

    void put(char c);
    void text(const char* s);
    // One formatted piece of up to 127 characters.
    void format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
};

// Every byte to fd, through interrupted and partial writes; false on an error.
bool write_all(int fd, const char* data, std::size_t size);

}  // namespace norvalith
