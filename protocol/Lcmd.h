// Command objects of the device protocol, their wire form, and the parse of replies.
// Depends on the standard library only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

using ByteVector = std::vector<uint8_t>;

enum FrameMode : int { MODE_RAW = 0, MODE_FRAMED = 1 };

// Fixed bytes of a framed frame.
constexpr uint8_t kDle = 0x10;
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
constexpr int kFrameOverhead = 8;       // everything of a frame but the code and the payload
constexpr int kMaxFramedPayload = 254;  // the length byte states payload + 1
constexpr int kRawReplyLength = 64;
constexpr int kEchoSumLength = 4;

// Command codes of the run-mode protocol.
namespace cmd {
constexpr uint8_t kGroup = 1;
constexpr uint8_t kIapReset = 8;
constexpr uint8_t kOpen = 16;
constexpr uint8_t kKeepAlive = 18;
constexpr uint8_t kClose = 4;
constexpr uint8_t kUnlock = 26;
constexpr uint8_t kDspBlock = 0x53;
constexpr uint8_t kParamBlock = 0xA8;
}  // namespace cmd

class LCmd {
public:
    LCmd() = default;
    LCmd(uint8_t group, uint8_t code);
    // Parse of a received frame: framed (group, code, payload) or raw (echo sum, payload).
    explicit LCmd(const ByteVector& frame);
    virtual ~LCmd() = default;

    uint8_t group = 0;
    uint8_t code = 0;
    uint32_t echoSum = 0;
    ByteVector data;
};

class CM_MCS_CMD : public LCmd {
public:
    CM_MCS_CMD(uint8_t group, uint8_t code);
    CM_MCS_CMD(uint8_t group, uint8_t code, uint8_t b);
    CM_MCS_CMD(uint8_t group, uint8_t code, uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3);
};

// One 32-byte block of the DSP image, each group of four bytes XORed with the key
// (least significant key byte first).
class CM_MCS_DSP_BYTE_PROG : public LCmd {
public:
    static constexpr int kBlockBytes = 32;
    CM_MCS_DSP_BYTE_PROG(int32_t blockIndex, const uint8_t* image, uint32_t key);
};

// One in-system-programming frame, sent raw.
class CM_MCS_PROGRAM_DATA : public LCmd {
public:
    CM_MCS_PROGRAM_DATA(const uint8_t* bytes, int count);
};

// Asks the running firmware to reset into its boot loader.
class CM_MCS_IAP_RESET : public LCmd {
public:
    explicit CM_MCS_IAP_RESET(uint8_t code);
};

ByteVector BuildFrame(const LCmd& cmd, int mode);

// True when the frame has the framed envelope: 10 02 at its start and 10 03 before its last byte.
bool IsFramedEnvelope(const uint8_t* bytes, std::size_t length);
