#include "bench/SmallImages.h"

#include <algorithm>
#include <cstdio>

#include "app/Isp.h"

namespace bench {

namespace {

constexpr int kRecordBytes = 16;
constexpr int kDataRecord = 0;

// One Intel HEX record: ":" count, address, type, data, two's-complement checksum.
std::string hexRecord(int address, const std::vector<uint8_t>& image, int count) {
    char field[16];
    std::snprintf(field, sizeof field, ":%02X%04X%02X", count, address & 0xFFFF, kDataRecord);
    std::string line = field;
    unsigned sum = unsigned(count) + unsigned(address >> 8) + unsigned(address & 0xFF);
    for (int i = 0; i < count; ++i) {
        const uint8_t b = image[std::size_t(address + i)];
        std::snprintf(field, sizeof field, "%02X", b);
        line += field;
        sum += b;
    }
    std::snprintf(field, sizeof field, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + field;
}

}  // namespace

SmallImages::SmallImages() {
    std::vector<uint8_t> image(kMcuBytes);
    for (int i = 0; i < kMcuBytes; ++i) image[std::size_t(i)] = uint8_t(i * 13 + 7);
    for (int address = 0; address < kMcuBytes; address += kRecordBytes)
        lines_.push_back(hexRecord(address, image, std::min(kRecordBytes, kMcuBytes - address)));
    lines_.push_back(":00000001FF");
    for (const std::string& line : lines_) pointers_.push_back(line.c_str());
    for (int i = 0; i < kDspWords; ++i) words_.push_back(0x9E000000u + uint32_t(i) * 0x01010101u);
}

int32_t McuImageSize(const HexTable& table) {
    static uint8_t buffer[kImageBufferSize];
    return LoadMcuImage(table, buffer, kMcuImageCapacity).imageSize;
}

}  // namespace bench
