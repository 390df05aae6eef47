#include "telegram/base64.hpp"

namespace norvalith {

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

std::size_t base64_encode(std::span<const std::uint8_t> data, std::span<char> out) {
    const std::size_t n = data.size();
    if (out.size() < base64_size(n)) {
        if (!out.empty()) {
            out[0] = '\0';
        }
        return 0;
    }
    const std::uint8_t* const in = data.data();
    char* const text = out.data();
    std::size_t o = 0;
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const std::uint32_t v = (std::uint32_t{in[i]} << 16U) | (std::uint32_t{in[i + 1]} << 8U) | in[i + 2];
        text[o++] = kAlphabet[(v >> 18U) & 63U];
        text[o++] = kAlphabet[(v >> 12U) & 63U];
        text[o++] = kAlphabet[(v >> 6U) & 63U];
        text[o++] = kAlphabet[v & 63U];
    }
    if (i < n) {
        const bool two = i + 1 < n;
        const std::uint32_t v = (std::uint32_t{in[i]} << 16U) | (two ? std::uint32_t{in[i + 1]} << 8U : 0U);
        text[o++] = kAlphabet[(v >> 18U) & 63U];
        text[o++] = kAlphabet[(v >> 12U) & 63U];
        text[o++] = two ? kAlphabet[(v >> 6U) & 63U] : '=';
        text[o++] = '=';
    }
    text[o] = '\0';
    return o;
}

}  // namespace norvalith
