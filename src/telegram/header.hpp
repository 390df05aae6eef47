// The link-layer header of a received telegram, as far as the daemon needs it.
#pragma once

#include <array>
#include <cstdint>

namespace norvalith {

// One decoded header; also the layout of one entry of the shared meter table.
struct MeterInfo {
    std::uint32_t id;
    std::uint32_t device_type;
    std::uint32_t manufacturer;
    std::uint32_t trailer;
};
static_assert(sizeof(MeterInfo) == 16, "a table entry is four 32-bit words");

// Bytes a burst needs to carry a whole header (length to device type).
inline constexpr std::int32_t kHeaderSize = 10;

// Fills meter from burst positions 2-7 and 9 and the last received byte
// (n >= 1); burst must hold at least kHeaderSize bytes.
void decode_header(const std::uint8_t* burst, MeterInfo& meter, std::int32_t n);

// Eight BCD digits, least significant pair first; nibbles above 9 are taken as they are.
std::uint32_t decode_bcd_id(const std::uint8_t* bytes);

// Three letters of the M-Bus manufacturer code ("---" for 0), zero-terminated.
std::array<char, 4> manufacturer_letters(std::uint32_t code);

}  // namespace norvalith
