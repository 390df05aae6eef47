#include "telegram/header.hpp"

namespace norvalith {

std::uint32_t decode_bcd_id(std::span<const std::uint8_t, 4> bytes) {
    std::uint32_t id = 0;
    std::uint32_t weight = 1;
    for (const std::uint8_t byte : bytes) {
        const std::uint32_t high = byte >> 4U;
        const std::uint32_t low = byte & 0x0FU;
        id += low * weight + high * weight * 10;
        weight *= 100;
    }
    return id;
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
