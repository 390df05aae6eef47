// How a burst from the module divides into telegrams. With RSSI mode on, the
// module sends every telegram as a length byte L and L more bytes, the last of
// them the RSSI byte, back to back with nothing between them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace norvalith {

// A length byte below this leaves no room for the header: such a piece is no telegram.
inline constexpr std::uint8_t kMinLengthByte = 9;

struct BurstShape {
    std::size_t whole = 0;    // telegrams that follow each other exactly from the start
    std::size_t end = 0;      // bytes they take
    std::size_t missing = 0;  // bytes the telegram at `end` still lacks (0: none begins there)

    // The burst is exactly `whole` telegrams.
    bool exact(std::size_t size) const { return whole > 0 && end == size; }
};

// Walks the burst from length byte to length byte while each piece is a possible
// telegram (length byte at least kMinLengthByte) that fits.
BurstShape shape_of(std::span<const std::uint8_t> burst);

// Bytes of the telegram that starts here, by its length byte.
inline std::size_t telegram_size(std::span<const std::uint8_t> at) { return at.empty() ? 0 : at[0] + std::size_t{1}; }

}  // namespace norvalith
