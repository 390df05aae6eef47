#include "telegram/header.hpp"

namespace norvalith {

std::uint32_t decode_bcd_id(const std::uint8_t* bytes) {
    std::uint32_t id = 0;
    std::uint32_t weight = 1;
    for (int i = 0; i < 4; ++i) {
        const std::uint32_t high = bytes[i] >> 4U;
        const std::uint32_t low = bytes[i] & 0x0FU;
        id += low * weight + high * weight * 10;
        weight *= 100;
    }
    return id;
}

void decode_header(const std::uint8_t* burst, MeterInfo& meter, std::int32_t n) {
    meter.id = decode_bcd_id(burst + 4);
    meter.device_type = burst[9];
    meter.manufacturer = burst[2] + 256U * burst[3];
    meter.trailer = burst[n - 1];
}

std::array<char, 4> manufacturer_letters(std::uint32_t code) {
    if (code == 0) {
        return {'-', '-', '-', '\0'};
    }
    return {static_cast<char>(64 + ((code >> 10U) & 0x1FU)), static_cast<char>(64 + ((code >> 5U) & 0x1FU)),
            static_cast<char>(64 + (code & 0x1FU)), '\0'};
}

}  // namespace norvalith
