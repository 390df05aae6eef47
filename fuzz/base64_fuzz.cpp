// Base64 encoder: any bytes round-trip through an independent decoder, the text
// has the padded length and the encoder never writes past base64_size(n).
#include <cstring>
#include <memory>

#include "fuzz_support.hpp"
#include "telegram/base64.hpp"

using norvalith::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Exactly the documented room, on the heap, so one byte too many is an ASan report.
    const std::size_t room = norvalith::base64_size(size);
    check(room == (size + 2) / 3 * 4 + 1, "base64_size");
    auto out = std::make_unique<char[]>(room);
    std::memset(out.get(), '#', room);

    const std::size_t written = norvalith::base64_encode({data, size}, {out.get(), room});
    check(written == room - 1, "returned length is not the padded length");
    check(out[written] == '\0', "text is not terminated");
    check(std::strlen(out.get()) == written, "terminator inside the text");

    const auto decoded = norvalith::fuzz::base64_decode({out.get(), written});
    check(decoded.has_value(), "text is not canonical Base64");
    check(decoded->size() == size, "decoded length differs");
    check(size == 0 || std::memcmp(decoded->data(), data, size) == 0, "decoded bytes differ");
    return 0;
}
