// Parse of replies from the device: framed run-mode replies, raw boot-loader replies, and
// malformed input, which must never be read outside the frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>

#include "protocol/Lcmd.h"

namespace {

constexpr std::size_t kRawPayloadLength = kRawReplyLength - kEchoSumLength;

ByteVector RawReply(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
    ByteVector reply(kRawReplyLength);
    std::iota(reply.begin(), reply.end(), uint8_t(0x20));
    reply[0] = b0;
    reply[1] = b1;
    reply[2] = b2;
    reply[3] = b3;
    return reply;
}

TEST(FramedReply, GivesGroupCodeAndPayload) {
    for (uint8_t check : {0x00, 0xFF, 0x47}) {  // the check byte is not verified
        LCmd reply(ByteVector{0x10, 0x02, 0x01, 0x00, 0x02, 0x53, 0x07, 0x10, 0x03, check});
        EXPECT_EQ(reply.group, 1);
        EXPECT_EQ(reply.code, 0x53);
        EXPECT_EQ(reply.data, ByteVector{0x07});
        EXPECT_EQ(reply.echoSum, 0u);
    }
}

TEST(FramedReply, PayloadEndsWhereLengthByteSaysNotAtMarkers) {
    // 10 03 inside the payload does not end it; the frame's own trailer does.
    ByteVector frame = {0x10, 0x02, 0x01, 0x00, 0x05, 0xA8, 0x10, 0x03, 0x10, 0x03, 0x10, 0x03, 0x00};
    LCmd reply(frame);
    EXPECT_EQ(reply.code, 0xA8);
    EXPECT_EQ(reply.data, (ByteVector{0x10, 0x03, 0x10, 0x03}));
}

TEST(RawReply, GivesEchoSumAndSixtyPayloadBytes) {
    ByteVector frame = RawReply(0x34, 0x12, 0x00, 0x00);
    LCmd reply(frame);
    EXPECT_EQ(reply.echoSum, 0x1234u);
    EXPECT_EQ(reply.data, ByteVector(frame.begin() + 4, frame.end()));
    EXPECT_EQ(reply.group, 0);
    EXPECT_EQ(reply.code, 0);
}

TEST(RawReply, EchoSumUsesAllFourBytesLittleEndian) {
    EXPECT_EQ(LCmd(RawReply(0xEF, 0xBE, 0xAD, 0xDE)).echoSum, 0xDEADBEEFu);
    EXPECT_EQ(LCmd(RawReply(0x00, 0x00, 0x00, 0x80)).echoSum, 0x80000000u);
}

TEST(RawReply, LookingFramedIsParsedFramed) {
    ByteVector frame = RawReply(0x10, 0x02, 0x01, 0x00);
    frame[4] = 0x03;  // length byte: two payload bytes
    frame[5] = 0x53;
    frame[61] = 0x10;
    frame[62] = 0x03;
    LCmd reply(frame);
    EXPECT_EQ(reply.group, 0x01);
    EXPECT_EQ(reply.code, 0x53);
    EXPECT_EQ(reply.data, ByteVector(frame.begin() + 6, frame.begin() + 8));
    EXPECT_EQ(reply.echoSum, 0u);
}

TEST(RawReply, AlmostFramedIsRaw) {
    struct Marks {
        uint8_t start0, start1, end0, end1;
    };
    for (Marks m : {Marks{0x10, 0x02, 0x10, 0x04}, Marks{0x10, 0x02, 0x11, 0x03},
                    Marks{0x10, 0x12, 0x10, 0x03}, Marks{0x00, 0x02, 0x10, 0x03}}) {
        ByteVector frame = RawReply(m.start0, m.start1, 0x01, 0x00);
        frame[61] = m.end0;
        frame[62] = m.end1;
        LCmd reply(frame);
        EXPECT_EQ(reply.code, 0);
        EXPECT_EQ(reply.echoSum, uint32_t(m.start0) | uint32_t(m.start1) << 8 | 0x010000u);
        EXPECT_EQ(reply.data.size(), kRawPayloadLength);
    }
}

// Malformed input. The handling chosen: a framed payload is clipped to the bytes after the code;
// a length byte of 0 states no payload; a raw payload is what lies between the echo sum and
// byte 63; fewer than four bytes give no echo sum.
struct MalformedCase {
    std::string name;
    ByteVector frame;
    uint8_t code;
    uint32_t echoSum;
    ByteVector payload;
};

void PrintTo(const MalformedCase& c, std::ostream* os) { *os << c.name; }

class MalformedReply : public testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedReply, StaysInsideTheFrame) {
    const MalformedCase& c = GetParam();
    // An exactly sized copy, so a read past its end is caught by the address sanitizer.
    ByteVector frame(c.frame.begin(), c.frame.end());
    frame.shrink_to_fit();
    LCmd reply(frame);
    EXPECT_EQ(reply.code, c.code);
    EXPECT_EQ(reply.echoSum, c.echoSum);
    EXPECT_EQ(reply.data, c.payload);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, MalformedReply,
    testing::Values(
        MalformedCase{"LengthBeyondFrame", {0x10, 0x02, 0x01, 0x00, 0xFF, 0x53, 0x07, 0x10, 0x03, 0x99},
                      0x53, 0, {0x07, 0x10, 0x03, 0x99}},
        MalformedCase{"LengthZero", {0x10, 0x02, 0x01, 0x00, 0x00, 0x53, 0x10, 0x03, 0x42}, 0x53, 0, {}},
        MalformedCase{"ShortestEnvelope", {0x10, 0x02, 0x10, 0x03, 0x7F}, 0, 0, {}},
        MalformedCase{"EnvelopeEndsAtCode", {0x10, 0x02, 0x01, 0x10, 0x03, 0x53}, 0x53, 0, {}},
        MalformedCase{"Empty", {}, 0, 0, {}},
        MalformedCase{"OneByte", {0x10}, 0, 0, {}},
        MalformedCase{"ThreeBytes", {0x10, 0x02, 0x03}, 0, 0, {}},
        MalformedCase{"FourBytes", {0x10, 0x02, 0x10, 0x03}, 0, 0x03100210, {}},
        MalformedCase{"ShortRaw", {0x01, 0x02, 0x00, 0x00, 0xAA, 0xBB}, 0, 0x0201, {0xAA, 0xBB}},
        MalformedCase{"TruncatedDeviceFrame", {0x10, 0x02, 0x01, 0x00, 0x05, 0x53, 0x07, 0x08},
                      0, 0x00010210, {0x05, 0x53, 0x07, 0x08}}),
    [](const testing::TestParamInfo<MalformedCase>& info) { return info.param.name; });

TEST(MalformedReply, LongRawReplyKeepsSixtyPayloadBytes) {
    ByteVector frame(kRawReplyLength + 6, 0x5A);
    LCmd reply(frame);
    EXPECT_EQ(reply.data, ByteVector(kRawPayloadLength, 0x5A));
}

// Every short frame made of the envelope's bytes, each in an exactly sized buffer.
TEST(MalformedReply, EveryShortEnvelopeLikeFrame) {
    const uint8_t alphabet[] = {0x10, 0x02, 0x03, 0x00, 0xFF};
    constexpr std::size_t kLongest = 8;
    for (std::size_t length = 0; length <= kLongest; ++length) {
        std::size_t combinations = 1;
        for (std::size_t i = 0; i < length; ++i) combinations *= std::size(alphabet);
        for (std::size_t n = 0; n < combinations; n += length > 6 ? 7 : 1) {
            ByteVector frame(length);
            for (std::size_t i = 0, rest = n; i < length; ++i, rest /= std::size(alphabet))
                frame[i] = alphabet[rest % std::size(alphabet)];
            frame.shrink_to_fit();
            LCmd reply(frame);
            ASSERT_LE(reply.data.size() + kEchoSumLength, std::max<std::size_t>(length, kEchoSumLength)) << "length " << length << " combination " << n;
        }
    }
}

TEST(RoundTrip, OwnFrameParsesBackToCodeAndPayload) {
    ByteVector payload(kMaxFramedPayload);
    std::iota(payload.begin(), payload.end(), uint8_t(0));  // holds 10 03 and 10 02 inside
    LCmd sent(1, 0x53);
    sent.data = payload;
    LCmd back(BuildFrame(sent, MODE_FRAMED));
    EXPECT_EQ(back.code, 0x53);
    EXPECT_EQ(back.data, payload);
    EXPECT_EQ(back.group, 0);  // our frames carry the group at byte 3; the parse reads byte 2
}

}  // namespace
