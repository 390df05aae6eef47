#include "telegram/framing.hpp"

namespace norvalith {

BurstShape shape_of(std::span<const std::uint8_t> burst) {
    BurstShape shape;
    while (shape.end < burst.size()) {
        const std::uint8_t length = burst[shape.end];
        if (length < kMinLengthByte) {
            return shape;
        }
        const std::size_t next = shape.end + length + 1;
        if (next > burst.size()) {
            shape.missing = next - burst.size();
            return shape;
        }
        ++shape.whole;
        shape.end = next;
    }
    return shape;
}

}  // namespace norvalith
