// RFC 4648 Base64 with padding and no line breaks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace norvalith {

// Characters plus terminator needed for n bytes.
constexpr std::size_t base64_size(std::size_t n) { return (n + 2) / 3 * 4 + 1; }

// Room for the longest raw copy a length byte can ask for (255 bytes).
inline constexpr std::size_t kBase64Capacity = base64_size(255);

// Encodes n bytes of data into out (base64_size(n) bytes) and terminates it;
// returns the number of characters written.
std::size_t base64_encode(const std::uint8_t* data, char* out, std::size_t n);

}  // namespace norvalith
