// RFC 4648 Base64 with padding and no line breaks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace norvalith {

// Characters plus terminator needed for n bytes.
constexpr std::size_t base64_size(std::size_t n) { return (n + 2) / 3 * 4 + 1; }

// Room for the longest raw copy a length byte can ask for (255 bytes).
inline constexpr std::size_t kBase64Capacity = base64_size(255);

// Encodes data into out and terminates it; returns the number of characters.
// An out smaller than base64_size(data.size()) gets nothing (0, and an empty text
// when it has room for the terminator).
std::size_t base64_encode(std::span<const std::uint8_t> data, std::span<char> out);

}  // namespace norvalith
