#include "telegram/base64.hpp"

namespace norvalith {

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

std::size_t base64_encode(std::span<const std::uint8_t> data, std::span<char> out) {
    const std::size_t n = data.size();
    const std::size_t whole = n / 3;
    const std::size_t rest = n - 3 * whole;
    if (out.size() < 4 * (whole + (rest != 0 ? 1 : 0)) + 1) {
        if (!out.empty()) {
            out[0] = '\0';
        }
        return 0;
    }
    const std::uint8_t* in = data.data();
    const std::uint8_t* const whole_end = in + 3 * whole;
    char* text = out.data();
    // Tested at the bottom: at -Os a for loop costs a jump more per group.
    if (in != whole_end) {
        do {
            const std::uint32_t v = (std::uint32_t{in[0]} << 16U) | (std::uint32_t{in[1]} << 8U) | in[2];
            text[0] = kAlphabet[(v >> 18U) & 63U];
            text[1] = kAlphabet[(v >> 12U) & 63U];
            text[2] = kAlphabet[(v >> 6U) & 63U];
            text[3] = kAlphabet[v & 63U];
            in += 3;
            text += 4;
        } while (in != whole_end);
    }
    if (rest != 0) {
        const bool two = rest == 2;
        const std::uint32_t v = (std::uint32_t{in[0]} << 16U) | (two ? std::uint32_t{in[1]} << 8U : 0U);
        text[0] = kAlphabet[(v >> 18U) & 63U];
        text[1] = kAlphabet[(v >> 12U) & 63U];
        text[2] = two ? kAlphabet[(v >> 6U) & 63U] : '=';
        text[3] = '=';
        text += 4;
    }
    *text = '\0';
    return static_cast<std::size_t>(text - out.data());
}

}  // namespace norvalith
