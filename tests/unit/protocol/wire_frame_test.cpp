// Wire form of outgoing commands: the framed envelope, the raw form and the mode switch.
#include <gtest/gtest.h>

#include <numeric>
#include <string>

#include "protocol/Lcmd.h"

namespace {

struct WireCase {
    std::string name;
    LCmd cmd;
    ByteVector wire;
};

void PrintTo(const WireCase& c, std::ostream* os) { *os << c.name; }

class FramedWire : public testing::TestWithParam<WireCase> {};

TEST_P(FramedWire, IsExactBytes) {
    const WireCase& c = GetParam();
    EXPECT_EQ(BuildFrame(c.cmd, MODE_FRAMED), c.wire);
}

// Every command the updater sends, plus payloads holding the envelope's own marker bytes,
// which travel once and unchanged.
INSTANTIATE_TEST_SUITE_P(
    Commands, FramedWire,
    testing::Values(
        WireCase{"Open", CM_MCS_CMD(1, 0x10),
                 {0x10, 0x02, 0x00, 0x01, 0x01, 0x10, 0x10, 0x03, 0x11}},
        WireCase{"KeepAliveBase", LCmd(1, 0x12),
                 {0x10, 0x02, 0x00, 0x01, 0x01, 0x12, 0x10, 0x03, 0x13}},
        WireCase{"KeepAlive", CM_MCS_CMD(1, 18),
                 {0x10, 0x02, 0x00, 0x01, 0x01, 0x12, 0x10, 0x03, 0x13}},
        WireCase{"Close", CM_MCS_CMD(1, 4),
                 {0x10, 0x02, 0x00, 0x01, 0x01, 0x04, 0x10, 0x03, 0x05}},
        WireCase{"IapReset", CM_MCS_IAP_RESET(8),
                 {0x10, 0x02, 0x00, 0x01, 0x01, 0x08, 0x10, 0x03, 0x09}},
        WireCase{"ParamBlock0", CM_MCS_CMD(1, 0xA8, 0),
                 {0x10, 0x02, 0x00, 0x01, 0x02, 0xA8, 0x00, 0x10, 0x03, 0xAA}},
        WireCase{"ParamBlock5", CM_MCS_CMD(1, 0xA8, 5),
                 {0x10, 0x02, 0x00, 0x01, 0x02, 0xA8, 0x05, 0x10, 0x03, 0xAF}},
        WireCase{"ParamBlock10", CM_MCS_CMD(1, 0xA8, 10),
                 {0x10, 0x02, 0x00, 0x01, 0x02, 0xA8, 0x0A, 0x10, 0x03, 0xA0}},
        WireCase{"Unlock", CM_MCS_CMD(1, 26, 1, 0, 1, 0),
                 {0x10, 0x02, 0x00, 0x01, 0x05, 0x1A, 0x01, 0x00, 0x01, 0x00, 0x10, 0x03, 0x1F}},
        WireCase{"MarkerBytesInPayload", CM_MCS_CMD(1, 0x20, 0x10, 0x10, 0x03, 0x10),
                 {0x10, 0x02, 0x00, 0x01, 0x05, 0x20, 0x10, 0x10, 0x03, 0x10, 0x10, 0x03, 0x36}},
        WireCase{"OtherGroup", CM_MCS_CMD(0x7E, 0x33, 0xC4),
                 {0x10, 0x02, 0x00, 0x7E, 0x02, 0x33, 0xC4, 0x10, 0x03, 0x8A}}),
    [](const testing::TestParamInfo<WireCase>& info) { return info.param.name; });

ByteVector Sequence(std::size_t count) {
    ByteVector bytes(count);
    std::iota(bytes.begin(), bytes.end(), uint8_t(0x40));
    return bytes;
}

uint8_t XorOf(ByteVector::const_iterator first, ByteVector::const_iterator last) {
    return std::accumulate(first, last, uint8_t(0), [](uint8_t a, uint8_t b) { return uint8_t(a ^ b); });
}

TEST(FramedWire, EmptyPayloadStatesLengthOne) {
    ByteVector wire = BuildFrame(LCmd(1, 0x42), MODE_FRAMED);
    ASSERT_EQ(wire.size(), 9u);
    EXPECT_EQ(wire[4], 0x01);
}

TEST(FramedWire, LargestStatablePayload) {
    LCmd cmd(1, 0x55);
    cmd.data = Sequence(kMaxFramedPayload);
    ByteVector wire = BuildFrame(cmd, MODE_FRAMED);

    ASSERT_EQ(wire.size(), 263u);
    EXPECT_EQ(wire[4], 0xFF);
    EXPECT_EQ(wire[5], 0x55);
    EXPECT_TRUE(std::equal(cmd.data.begin(), cmd.data.end(), wire.begin() + 6));
    EXPECT_EQ(wire[260], kDle);
    EXPECT_EQ(wire[261], kEtx);
    EXPECT_EQ(wire[262], XorOf(wire.begin(), wire.begin() + 262));
}

TEST(RawWire, IspFrameTravelsExactlyAsGiven) {
    ByteVector ispFrame = Sequence(70);
    ispFrame[0] = kDle;  // envelope-like leading bytes must not turn it into a framed frame
    ispFrame[1] = kStx;
    CM_MCS_PROGRAM_DATA cmd(ispFrame.data(), int(ispFrame.size()));
    EXPECT_EQ(cmd.group, 0);
    EXPECT_EQ(cmd.code, 0);
    EXPECT_EQ(BuildFrame(cmd, MODE_RAW), ispFrame);
}

TEST(RawWire, EmptyPayloadGivesNothing) {
    EXPECT_TRUE(BuildFrame(CM_MCS_PROGRAM_DATA(nullptr, 0), MODE_RAW).empty());
    EXPECT_TRUE(BuildFrame(CM_MCS_CMD(1, 0x10), MODE_RAW).empty());
}

TEST(RawWire, GroupAndCodeNeverReachTheWire) {
    EXPECT_EQ(BuildFrame(CM_MCS_CMD(1, 0x53, 9, 8, 7, 6), MODE_RAW), (ByteVector{9, 8, 7, 6}));
}

TEST(UnknownMode, GivesEmptyFrame) {
    CM_MCS_CMD cmd(1, 26, 1, 0, 1, 0);
    for (int mode : {2, 3, -1, 255}) {
        EXPECT_TRUE(BuildFrame(cmd, mode).empty()) << "mode " << mode;
    }
}

}  // namespace
