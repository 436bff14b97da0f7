#include "broadcast/crc.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>
#include <vector>

namespace {

std::uint16_t BitwiseCrc(const std::vector<std::uint8_t>& bytes) {
    std::uint16_t reg = 0xFFFF;
    for (const std::uint8_t byte : bytes) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool feedback = ((reg >> 15) ^ (byte >> bit)) & 1;
            reg = static_cast<std::uint16_t>(reg << 1);
            if (feedback) {
                reg ^= 0x1021;
            }
        }
    }
    return static_cast<std::uint16_t>(~reg);
}

TEST(Crc16, CheckValueOfTheStandardTestString) {
    constexpr std::string_view kText = "123456789";
    const std::vector<std::uint8_t> bytes(kText.begin(), kText.end());
    EXPECT_EQ(broadcast::Crc16(bytes), 0xD64E);
}

TEST(Crc16, TableDrivenMatchesBitSerialAtEveryLengthAndSplit) {
    std::vector<std::uint8_t> bytes;
    for (int length = 0; length < 70; ++length) {
        ASSERT_EQ(broadcast::Crc16(bytes), BitwiseCrc(bytes)) << "length " << length;
        for (std::size_t split = 0; split <= bytes.size(); split += 3) {
            const std::span<const std::uint8_t> all(bytes);
            const std::uint16_t reg =
                broadcast::Crc16Update(broadcast::kCrc16Preset, all.first(split));
            EXPECT_EQ(static_cast<std::uint16_t>(~broadcast::Crc16Update(reg, all.subspan(split))),
                      BitwiseCrc(bytes));
        }
        bytes.push_back(static_cast<std::uint8_t>(length * 37 + 11));
    }
}

}  // namespace
