#include "telegram/header.hpp"

namespace norvalith {

std::uint32_t decode_bcd_id(std::span<const std::uint8_t, 4> bytes) {
    // Each byte is two decimal digits (taken as they are above 9), least significant pair first.
    auto pair = [](std::uint8_t byte) { return (byte >> 4U) * 10U + (byte & 0x0FU); };
    return pair(bytes[0]) + pair(bytes[1]) * 100U + pair(bytes[2]) * 10000U + pair(bytes[3]) * 1000000U;
}

bool decode_header(std::span<const std::uint8_t> burst, MeterInfo& meter) {
    if (burst.size() < kHeaderSize) {
        return false;
    }
    meter.id = decode_bcd_id(burst.subspan<4, 4>());
    meter.device_type = burst[9];
    meter.manufacturer = burst[2] + 256U * burst[3];
    meter.trailer = burst.back();
    return true;
}

std::array<char, 4> manufacturer_letters(std::uint32_t code) {
    if (code == 0) {
        return {'-', '-', '-', '\0'};
    }
    return {static_cast<char>(64 + ((code >> 10U) & 0x1FU)), static_cast<char>(64 + ((code >> 5U) & 0x1FU)),
            static_cast<char>(64 + (code & 0x1FU)), '\0'};
}

}  // namespace norvalith
