// The link-layer header of a received telegram, as far as the daemon needs it.
#pragma once

#include <array>
#include <cstdint>
#include <span>

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
inline constexpr std::size_t kHeaderSize = 10;

// Fills meter from positions 2-7 and 9 of the burst and from its last byte.
// False, meter untouched, when the burst is shorter than a header.
bool decode_header(std::span<const std::uint8_t> burst, MeterInfo& meter);

// Eight BCD digits, least significant pair first; nibbles above 9 are taken as they are.
std::uint32_t decode_bcd_id(std::span<const std::uint8_t, 4> bytes);

// Three letters of the M-Bus manufacturer code ("---" for 0), zero-terminated.
std::array<char, 4> manufacturer_letters(std::uint32_t code);

}  // namespace norvalith
