// RFC 4648 Base64, checked against an independent decoder.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

#include "telegram/base64.hpp"
#include "test_support.hpp"

namespace norvalith {
namespace {

TEST(Base64, Rfc4648VectorsAndEveryLengthRoundTrips) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        char out[32];
        const std::size_t len = base64_encode(test::span_of(plain), out);
        EXPECT_STREQ(out, encoded);
        EXPECT_EQ(len, std::strlen(encoded));
    }
    std::uint8_t data[255];
    for (int i = 0; i < 255; ++i) {
        data[i] = static_cast<std::uint8_t>(i * 37 + 11);
    }
    for (std::size_t n = 0; n <= 255; ++n) {
        char out[kBase64Capacity];
        std::memset(out, 'Z', sizeof out);
        const std::size_t len = base64_encode(std::span(data, n), out);
        ASSERT_EQ(len + 1, base64_size(n)) << n;
        ASSERT_EQ(out[len], '\0');
        ASSERT_EQ(test::base64_decode(out), std::string(reinterpret_cast<const char*>(data), n)) << n;
    }
    EXPECT_EQ(kBase64Capacity, 341U);

    // Too little room: nothing is written past it, and the text is empty.
    char small[8];
    std::memset(small, 'Z', sizeof small);
    EXPECT_EQ(base64_encode(std::span(data, 6), std::span(small, 8)), 0U);
    EXPECT_EQ(small[0], '\0');
    EXPECT_EQ(small[1], 'Z');
}
}  // namespace
}  // namespace norvalith
