#include "protocol/Lcmd.h"

#include <algorithm>

namespace {

constexpr std::size_t kCodeOffset = 5;
constexpr std::size_t kLengthOffset = 4;
constexpr std::size_t kGroupOffset = 2;
constexpr std::size_t kPayloadOffset = 6;
constexpr std::size_t kMinEnvelope = 4;  // 10 02 ... 10 03 needs at least the two pairs

uint32_t readLittleEndian32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

bool IsFramedEnvelope(const uint8_t* bytes, std::size_t length) {
    return length >= kMinEnvelope && bytes[0] == kDle && bytes[1] == kStx &&
           bytes[length - 3] == kDle && bytes[length - 2] == kEtx;
}

LCmd::LCmd(uint8_t group_, uint8_t code_) : group(group_), code(code_) {}

// A framed reply yields group, code and the payload its length byte states, clipped to the
// bytes the frame holds (a length byte of 0 states no payload). Anything else is a raw reply:
// the echo sum from its first four bytes and up to 60 payload bytes; a frame shorter than four
// bytes gives echo sum 0 and no payload.
LCmd::LCmd(const ByteVector& frame) {
    const std::size_t n = frame.size();
    if (IsFramedEnvelope(frame.data(), n)) {
        if (n > kCodeOffset) code = frame[kCodeOffset];
        group = frame[kGroupOffset];
        if (n > kLengthOffset && frame[kLengthOffset] > 0) {
            std::size_t stated = frame[kLengthOffset] - 1u;
            std::size_t available = n > kPayloadOffset ? n - kPayloadOffset : 0;
            std::size_t count = std::min(stated, available);
            data.assign(frame.begin() + kPayloadOffset, frame.begin() + kPayloadOffset + count);
        }
        return;
    }
    if (n < kEchoSumLength) return;
    echoSum = readLittleEndian32(frame.data());
    std::size_t end = std::min<std::size_t>(n, kRawReplyLength);
    data.assign(frame.begin() + kEchoSumLength, frame.begin() + end);
}

CM_MCS_CMD::CM_MCS_CMD(uint8_t group_, uint8_t code_) : LCmd(group_, code_) {}

CM_MCS_CMD::CM_MCS_CMD(uint8_t group_, uint8_t code_, uint8_t b) : LCmd(group_, code_) {
    data = {b};
}

CM_MCS_CMD::CM_MCS_CMD(uint8_t group_, uint8_t code_, uint8_t b0, uint8_t b1, uint8_t b2,
                       uint8_t b3)
    : LCmd(group_, code_) {
    data = {b0, b1, b2, b3};
}

CM_MCS_DSP_BYTE_PROG::CM_MCS_DSP_BYTE_PROG(int32_t blockIndex, const uint8_t* image, uint32_t key)
    : LCmd(cmd::kGroup, cmd::kDspBlock) {
    data.reserve(2 + kBlockBytes);
    data.push_back(uint8_t(blockIndex >> 8));
    data.push_back(uint8_t(blockIndex));
    const uint8_t* block = image + std::size_t(blockIndex) * kBlockBytes;
    for (int i = 0; i < kBlockBytes; ++i) data.push_back(block[i] ^ uint8_t(key >> (8 * (i % 4))));
}

CM_MCS_PROGRAM_DATA::CM_MCS_PROGRAM_DATA(const uint8_t* bytes, int count) {
    if (count > 0) data.assign(bytes, bytes + count);
}

CM_MCS_IAP_RESET::CM_MCS_IAP_RESET(uint8_t code_) : LCmd(cmd::kGroup, code_) {}

ByteVector BuildFrame(const LCmd& cmd, int mode) {
    ByteVector out;
    if (mode == MODE_RAW) return cmd.data;
    if (mode != MODE_FRAMED) return out;
    out.reserve(cmd.data.size() + kFrameOverhead + 1);
    uint8_t check = 0;
    auto put = [&](uint8_t b) {
        out.push_back(b);
        check ^= b;
    };
    put(kDle);
    put(kStx);
    put(0x00);
    put(cmd.group);
    put(uint8_t(cmd.data.size() + 1));
    put(cmd.code);
    for (uint8_t b : cmd.data) put(b);
    put(kDle);
    put(kEtx);
    out.push_back(check);
    return out;
}
