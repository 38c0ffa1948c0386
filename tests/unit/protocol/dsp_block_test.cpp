// One block of the DSP image as it goes out: index, key scrambling and the part of the image read.
#include <gtest/gtest.h>

#include "protocol/Lcmd.h"

namespace {

constexpr int kBlock = CM_MCS_DSP_BYTE_PROG::kBlockBytes;
constexpr std::size_t kIndexBytes = 2;
constexpr std::size_t kPayloadStart = 6;  // of the framed frame

uint32_t LittleEndianWord(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

class DspBlock : public testing::Test {
protected:
    // Large enough for an index beyond 16 bits, so the image read and the index sent differ.
    static constexpr int32_t kHighIndex = 0x1012C;

    void SetUp() override {
        image.resize(std::size_t(kHighIndex + 1) * kBlock);
        for (std::size_t i = 0; i < image.size(); ++i) image[i] = uint8_t((uint32_t(i) * 2654435761u) >> 24);  // no period a block index can hit
    }

    const uint8_t* blockStart(int32_t index) const { return image.data() + std::size_t(index) * kBlock; }

    ByteVector image;
};

TEST_F(DspBlock, FramedIsFortyThreeBytesWithLengthByte0x23) {
    ByteVector wire = BuildFrame(CM_MCS_DSP_BYTE_PROG(5, image.data(), 0xA1B2C3D4), MODE_FRAMED);
    ASSERT_EQ(wire.size(), 43u);
    EXPECT_EQ(wire[3], cmd::kGroup);
    EXPECT_EQ(wire[4], 0x23);
    EXPECT_EQ(wire[5], 0x53);
    EXPECT_EQ(wire[41], kEtx);
}

TEST_F(DspBlock, IndexTravelsBigEndianInSixteenBits) {
    CM_MCS_DSP_BYTE_PROG low(300, image.data(), 0);
    ASSERT_EQ(low.data.size(), kIndexBytes + kBlock);
    EXPECT_EQ(low.data[0], 0x01);
    EXPECT_EQ(low.data[1], 0x2C);

    CM_MCS_DSP_BYTE_PROG high(kHighIndex, image.data(), 0);
    EXPECT_EQ(high.data[0], 0x01);
    EXPECT_EQ(high.data[1], 0x2C);
    // Same index on the wire, but each reads its own part of the image.
    EXPECT_TRUE(std::equal(high.data.begin() + kIndexBytes, high.data.end(), blockStart(kHighIndex)));
    EXPECT_FALSE(std::equal(high.data.begin() + kIndexBytes, high.data.end(), low.data.begin() + kIndexBytes));
}

TEST_F(DspBlock, ZeroKeyCarriesImageBytesOfItsBlockInOrder) {
    for (int32_t index : {0, 1, 300}) {
        CM_MCS_DSP_BYTE_PROG block(index, image.data(), 0);
        EXPECT_TRUE(std::equal(block.data.begin() + kIndexBytes, block.data.end(), blockStart(index)))
            << "block " << index;
    }
}

TEST(DspBlockKey, KeyBytePicksByPositionInGroupOfFour) {
    const ByteVector zeros(kBlock, 0);
    CM_MCS_DSP_BYTE_PROG block(0, zeros.data(), 0x44332211);
    ByteVector expected = {0x00, 0x00};
    for (int group = 0; group < kBlock / 4; ++group) expected.insert(expected.end(), {0x11, 0x22, 0x33, 0x44});
    EXPECT_EQ(block.data, expected);
}

TEST_F(DspBlock, EachWordIsXoredWithTheKey) {
    const uint32_t key = 0x9E3779B9;
    const int32_t index = 300;
    ByteVector wire = BuildFrame(CM_MCS_DSP_BYTE_PROG(index, image.data(), key), MODE_FRAMED);
    const uint8_t* sent = wire.data() + kPayloadStart + kIndexBytes;
    for (int word = 0; word < kBlock / 4; ++word) {
        EXPECT_EQ(LittleEndianWord(sent + 4 * word) ^ key, LittleEndianWord(blockStart(index) + 4 * word))
            << "word " << word;
    }
}

}  // namespace
