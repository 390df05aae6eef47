#include "telegram/header.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace norvalith {
namespace {

std::string letters(std::uint32_t code) { return manufacturer_letters(code).data(); }

TEST(Header, DecodesManufacturerIdAndTypeFromTheirPositions) {
    const std::string burst = test::bytes({0x2E, 0x44, 0x43, 0x04, 0x78, 0x56, 0x34, 0x12, 0x01, 0x07, 0xAA, 0xBB});
    MeterInfo meter{};
    ASSERT_TRUE(decode_header(test::span_of(burst), meter));
    EXPECT_EQ(meter.manufacturer, 1091U);
    EXPECT_EQ(letters(meter.manufacturer), "ABC");
    EXPECT_EQ(meter.id, 12345678U);
    EXPECT_EQ(meter.device_type, 0x07U);
    EXPECT_EQ(meter.trailer, 0xBBU);
}

TEST(Header, BcdIdTakesNibblesAboveNineAsTheyAre) {
    const std::uint8_t one[] = {0x01, 0x00, 0x00, 0x00};
    const std::uint8_t all_f[] = {0xFF, 0xFF, 0xFF, 0xFF};
    const std::uint8_t label_7379078b[] = {0x8B, 0x07, 0x79, 0x73};
    EXPECT_EQ(decode_bcd_id(one), 1U);
    EXPECT_EQ(decode_bcd_id(all_f), 166666665U);
    EXPECT_EQ(decode_bcd_id(label_7379078b), 73790791U);
}

TEST(Header, ABurstShorterThanAHeaderIsNotDecoded) {
    const std::string header = test::bytes({0x0C, 0x44, 0x43, 0x04, 0x78, 0x56, 0x34, 0x12, 0x01, 0x07});
    MeterInfo meter{1, 2, 3, 4};
    EXPECT_FALSE(decode_header(test::span_of(header, 9), meter));
    EXPECT_EQ(meter.id, 1U);
    EXPECT_EQ(meter.trailer, 4U);
    ASSERT_TRUE(decode_header(test::span_of(header), meter));
    EXPECT_EQ(meter.trailer, 0x07U);  // ten bytes: the device type is also the last byte
}

TEST(Header, ManufacturerLettersFollowTheFiveBitPacking) {
    EXPECT_EQ(letters(0), "---");
    EXPECT_EQ(letters(0x8000), "@@@");  // bit 15 ignored, all letters 0
    EXPECT_EQ(letters(0x8000 | 1091), "ABC");
    EXPECT_EQ(letters((1U << 10) | (26U << 5) | 26U), "AZZ");
    EXPECT_EQ(letters((27U << 10) | (28U << 5) | 29U), "[\\]");
    EXPECT_EQ(letters((30U << 10) | (31U << 5) | 0U), "^_@");
    EXPECT_EQ(letters(0xFFFF), "___");
}

struct Row {
    std::string hex;
    std::uint32_t id;
    std::uint32_t mfct_code;
    std::string mfct_letters;
    std::uint32_t device_type;
};

std::vector<Row> read_telegrams() {
    std::ifstream in(TELEGRAMS_TSV);
    std::vector<Row> rows;
    std::string line;
    std::getline(in, line);  // column names
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string hex, length, control, code, mfct, digits, id, version, type;
        std::getline(fields, hex, '\t');
        std::getline(fields, length, '\t');
        std::getline(fields, control, '\t');
        std::getline(fields, code, '\t');
        std::getline(fields, mfct, '\t');
        std::getline(fields, digits, '\t');
        std::getline(fields, id, '\t');
        std::getline(fields, version, '\t');
        std::getline(fields, type, '\t');
        rows.push_back({hex, static_cast<std::uint32_t>(std::stoul(id)),
                        static_cast<std::uint32_t>(std::stoul(code, nullptr, 16)), mfct,
                        static_cast<std::uint32_t>(std::stoul(type, nullptr, 16))});
    }
    return rows;
}

TEST(Header, DecodesEveryCapturedTelegramAsListed) {
    const std::vector<Row> rows = read_telegrams();
    ASSERT_EQ(rows.size(), 74U);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.hex.substr(0, 20));
        const std::string telegram = test::from_hex(row.hex);
        MeterInfo meter{};
        ASSERT_TRUE(decode_header(test::span_of(telegram), meter));
        EXPECT_EQ(meter.id, row.id);
        EXPECT_EQ(meter.manufacturer, row.mfct_code);
        EXPECT_EQ(letters(meter.manufacturer), row.mfct_letters);
        EXPECT_EQ(meter.device_type, row.device_type);
        EXPECT_EQ(meter.trailer, static_cast<std::uint8_t>(telegram.back()));
    }
}

}  // namespace
}  // namespace norvalith
