// Opening the serial line raw, non-blocking, at a given speed and frame format.
#pragma once

#include <termios.h>

#include <cstdint>

namespace norvalith {

// Terminal speed code for a rate; every rate not in the table gives B9600.
speed_t speed_code(std::uint32_t bits_per_second);

// Raw-mode attributes for the given frame format, over the attributes read from
// the line (control characters are kept).
void line_attributes(termios& attrs, std::uint32_t bits_per_second, std::int32_t data_bits,
                     const char* parity_text, std::int32_t stop_bits);

// open_serial's result when another process holds the line (not logged).
inline constexpr int kLineBusy = -2;

// Returns the open descriptor, holding an exclusive flock on it before anything
// is changed; kLineBusy when another process holds that lock; -1 when the open
// fails (logged as "open(%s) error: %s"). A failure to apply the attributes is
// logged and the descriptor is still returned.
int open_serial(const char* device_path, std::uint32_t bits_per_second, std::int32_t data_bits,
                const char* parity_text, std::int32_t stop_bits);

}  // namespace norvalith
