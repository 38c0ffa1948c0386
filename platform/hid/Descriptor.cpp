// Report lengths from a HID report descriptor, counted the way the host's HID layer reports
// them: the largest report of a kind, in whole bytes, plus the report-ID byte (which counts
// even when the device does not number its reports).
#include <algorithm>
#include <map>
#include <vector>

#include "platform/hid/DeviceSource.h"

namespace hid {
namespace {

constexpr uint8_t kLongItem = 0xFE;
constexpr uint8_t kTagMask = 0xFC;
constexpr uint8_t kInput = 0x80;
constexpr uint8_t kOutput = 0x90;
constexpr uint8_t kReportSize = 0x74;
constexpr uint8_t kReportId = 0x84;
constexpr uint8_t kReportCount = 0x94;
constexpr uint8_t kPush = 0xA4;
constexpr uint8_t kPop = 0xB4;
// Deeper nesting than this only appears in garbage; further pushes are ignored.
constexpr std::size_t kMaxPushDepth = 32;
constexpr uint64_t kMaxReportBits = uint64_t{kMaxReportBytes} * 8;

struct Globals {
    uint64_t reportSize = 0;
    uint64_t reportCount = 0;
    uint32_t reportId = 0;
};

using BitsPerReport = std::map<uint32_t, uint64_t>;

uint32_t readUnsigned(const uint8_t* data, std::size_t size) {
    uint32_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value |= uint32_t{data[i]} << (8 * i);
    return value;
}

void addBits(BitsPerReport& reports, const Globals& globals) {
    uint64_t& bits = reports[globals.reportId];
    // Both factors fit in 32 bits, so the product fits in 64; the sum saturates.
    bits = std::min(bits + globals.reportSize * globals.reportCount, kMaxReportBits);
}

int lengthOf(const BitsPerReport& reports) {
    if (reports.empty()) return 0;
    uint64_t most = 0;
    for (const auto& [id, bits] : reports) most = std::max(most, bits);
    return static_cast<int>((most + 7) / 8 + 1);
}

}  // namespace

ReportLayout ParseReportLayout(const uint8_t* descriptor, std::size_t size) {
    static constexpr std::size_t kDataSize[] = {0, 1, 2, 4};
    Globals globals;
    std::vector<Globals> stack;
    BitsPerReport inputs, outputs;
    ReportLayout layout;
    std::size_t at = 0;
    while (at < size) {
        uint8_t prefix = descriptor[at];
        if (prefix == kLongItem) {
            if (size - at < 2) break;
            at += 3 + std::size_t{descriptor[at + 1]};
            continue;
        }
        std::size_t dataSize = kDataSize[prefix & 3];
        if (size - at - 1 < dataSize) break;  // truncated item
        uint32_t value = readUnsigned(descriptor + at + 1, dataSize);
        at += 1 + dataSize;
        switch (prefix & kTagMask) {
            case kInput: addBits(inputs, globals); break;
            case kOutput: addBits(outputs, globals); break;
            case kReportSize: globals.reportSize = value; break;
            case kReportCount: globals.reportCount = value; break;
            case kReportId:
                globals.reportId = value;
                layout.numbered = true;
                break;
            case kPush:
                if (stack.size() < kMaxPushDepth) stack.push_back(globals);
                break;
            case kPop:
                if (!stack.empty()) {
                    globals = stack.back();
                    stack.pop_back();
                }
                break;
            default: break;
        }
    }
    layout.inputLength = lengthOf(inputs);
    layout.outputLength = lengthOf(outputs);
    return layout;
}

int OutputReportLength(const uint8_t* descriptor, std::size_t size) {
    return ParseReportLayout(descriptor, size).outputLength;
}

int InputReportLength(const uint8_t* descriptor, std::size_t size) {
    return ParseReportLayout(descriptor, size).inputLength;
}

}  // namespace hid
