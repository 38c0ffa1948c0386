#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "images/Images.h"

namespace {

constexpr uint32_t kUpdateCapacity = 0x11000;
constexpr std::size_t kImageBufferBytes = 71680;
constexpr int kIspPacketBytes = 56;
constexpr std::size_t kMcuLines = 3608;
constexpr uint32_t kProgramEnd = 0x0E130;      // end of the 16-byte records
constexpr uint32_t kTrailerAddress = 0x10DF8;  // the 8-byte record
constexpr int kTrailerBytes = 8;
constexpr std::size_t kTrailerLine = 3605;     // index of that record in the table
constexpr std::size_t kDspWords = 6106;
constexpr int kDspBlockBytes = 32;

uint8_t hexPair(const char* text) { return static_cast<uint8_t>(std::stoi(std::string(text, 2), nullptr, 16)); }

std::vector<uint8_t> recordData(const char* line) {
    const int count = hexPair(line + 1);
    std::vector<uint8_t> data;
    for (int i = 0; i < count; ++i) data.push_back(hexPair(line + 9 + 2 * i));
    return data;
}

uint16_t byteSum(uint32_t word) {
    return static_cast<uint16_t>((word >> 24) + ((word >> 16) & 0xFF) + ((word >> 8) & 0xFF) + (word & 0xFF));
}

uint16_t bigEndian16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]); }

bool allZero(const std::vector<uint8_t>& buffer, std::size_t from, std::size_t to) {
    return std::all_of(buffer.begin() + static_cast<long>(from), buffer.begin() + static_cast<long>(to),
                       [](uint8_t b) { return b == 0; });
}

TEST(EmbeddedMcuImage, HasTheFixedRecordStructure) {
    const HexTable table = EmbeddedMcuHex();
    ASSERT_EQ(table.count, kMcuLines);
    EXPECT_STREQ(table.lines[0], ":020000040000FA");
    EXPECT_STREQ(table.lines[kTrailerLine - 1], ":020000040001F9");
    EXPECT_EQ(std::string(table.lines[kTrailerLine]).substr(0, 9), ":080DF800");
    EXPECT_EQ(std::string(table.lines[kMcuLines - 2]).substr(0, 9), ":04000005");
    EXPECT_STREQ(table.lines[kMcuLines - 1], ":00000001FF");
    for (std::size_t i = 1; i < kTrailerLine - 1; ++i) ASSERT_EQ(std::string(table.lines[i]).size(), 43u) << i;
}

TEST(EmbeddedMcuImage, LoadsIntoTheUpdateBuffer) {
    std::vector<uint8_t> buffer(kImageBufferBytes, 0xEE);
    const HexTable table = EmbeddedMcuHex();
    const McuLoadResult result = LoadMcuImage(table, buffer.data(), kUpdateCapacity);

    EXPECT_EQ(result.imageSize, 57656);
    EXPECT_TRUE(result.complete);
    EXPECT_FALSE(result.checksumError);
    EXPECT_EQ(result.imageSize / kIspPacketBytes + 1, 1030);

    std::vector<uint8_t> program;
    for (std::size_t i = 1; i < kTrailerLine - 1; ++i) {
        const std::vector<uint8_t> data = recordData(table.lines[i]);
        program.insert(program.end(), data.begin(), data.end());
    }
    ASSERT_EQ(program.size(), kProgramEnd);
    EXPECT_TRUE(std::equal(program.begin(), program.end(), buffer.begin()));
    EXPECT_TRUE(allZero(buffer, kProgramEnd, kTrailerAddress));  // includes the 8 fill bytes that are sent
    const std::vector<uint8_t> trailer = recordData(table.lines[kTrailerLine]);
    EXPECT_TRUE(std::equal(trailer.begin(), trailer.end(), buffer.begin() + kTrailerAddress));
    EXPECT_TRUE(allZero(buffer, kTrailerAddress + kTrailerBytes, kUpdateCapacity));
    EXPECT_TRUE(std::all_of(buffer.begin() + kUpdateCapacity, buffer.end(), [](uint8_t b) { return b == 0xEE; }));
}

TEST(EmbeddedDspImage, BuildsHeaderAndBigEndianWords) {
    const WordTable table = EmbeddedDspWords();
    ASSERT_EQ(table.count, kDspWords);
    std::vector<uint8_t> buffer(kImageBufferBytes, 0xEE);
    const int32_t size = LoadDspImage(table, buffer.data());

    EXPECT_EQ(size, 24428);
    EXPECT_EQ(buffer[0], 0x5F);
    EXPECT_EQ(buffer[1], 0x6C);
    EXPECT_EQ(bigEndian16(&buffer[2]), byteSum(table.words[kDspWords - 1]));
    for (std::size_t i = 0; i < kDspWords; ++i) {
        const uint8_t* at = &buffer[4 + 4 * i];
        ASSERT_EQ(static_cast<uint32_t>(at[0] << 24 | at[1] << 16 | at[2] << 8 | at[3]), table.words[i]) << i;
    }
}

TEST(EmbeddedDspImage, CheckValueDependsOnlyOnTheLastWord) {
    const WordTable embedded = EmbeddedDspWords();
    std::vector<uint32_t> words(embedded.words, embedded.words + embedded.count);
    std::vector<uint8_t> original(kDspClearBytes), changed(kDspClearBytes);
    LoadDspImage(embedded, original.data());
    words[0] ^= 0xFFFFFFFF;
    words[kDspWords - 2] += 0x01010101;
    LoadDspImage({words.data(), words.size()}, changed.data());
    EXPECT_EQ(bigEndian16(&changed[2]), bigEndian16(&original[2]));
    EXPECT_NE(changed[4], original[4]);

    words.back() = 0xFFFFFFFF;
    LoadDspImage({words.data(), words.size()}, changed.data());
    EXPECT_EQ(bigEndian16(&changed[2]), 1020);
}

TEST(EmbeddedDspImage, ClearsWhatTheMcuImageLeft) {
    std::vector<uint8_t> buffer(kImageBufferBytes, 0xEE);
    LoadMcuImage(EmbeddedMcuHex(), buffer.data(), kUpdateCapacity);
    const std::vector<uint8_t> afterMcu = buffer;
    const int32_t size = LoadDspImage(EmbeddedDspWords(), buffer.data());

    EXPECT_TRUE(allZero(buffer, static_cast<std::size_t>(size), kDspClearBytes));
    const std::size_t lastBlock = static_cast<std::size_t>(size) / kDspBlockBytes * kDspBlockBytes;
    EXPECT_EQ(lastBlock, 24416u);
    EXPECT_TRUE(allZero(buffer, lastBlock + 12, lastBlock + kDspBlockBytes));
    EXPECT_TRUE(std::equal(buffer.begin() + kDspClearBytes, buffer.end(), afterMcu.begin() + kDspClearBytes));
}

TEST(DspImage, StopsWhereTheLengthFieldEnds) {
    constexpr std::size_t kTooMany = 16383;  // 4 + 4 * 16383 = 65,536 would not fit 16 bits
    std::vector<uint32_t> words(kTooMany);
    for (std::size_t i = 0; i < kTooMany; ++i) words[i] = static_cast<uint32_t>(i);
    std::vector<uint8_t> buffer(kImageBufferBytes, 0xEE);
    const int32_t size = LoadDspImage({words.data(), words.size()}, buffer.data());

    EXPECT_EQ(size, kDspMaxImageBytes);
    EXPECT_EQ(bigEndian16(&buffer[0]), kDspMaxImageBytes);
    EXPECT_EQ(bigEndian16(&buffer[2]), byteSum(words[kTooMany - 2]));
    EXPECT_EQ(buffer[kDspMaxImageBytes - 1], static_cast<uint8_t>(kTooMany - 2));
    EXPECT_TRUE(allZero(buffer, kDspMaxImageBytes, kDspClearBytes));
    EXPECT_EQ(buffer[kDspClearBytes], 0xEE);
}

TEST(DspImage, EmptyTableGivesHeaderOnly) {
    std::vector<uint8_t> buffer(kDspClearBytes, 0xEE);
    EXPECT_EQ(LoadDspImage({nullptr, 0}, buffer.data()), 4);
    EXPECT_EQ(buffer[0], 0x00);
    EXPECT_EQ(buffer[1], 0x04);
    EXPECT_TRUE(allZero(buffer, 2, kDspClearBytes));
}

}  // namespace
