#include "images/Images.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>

HexTable EmbeddedMcuHex() { return {mcuHexLines, mcuHexLineCount}; }

WordTable EmbeddedDspWords() { return {dspImageWords, dspImageWordCount}; }

namespace {

constexpr int kScratchChars = 16;

// Character positions of an Intel HEX record.
constexpr std::size_t kCountAt = 1;
constexpr std::size_t kAddressAt = 3;
constexpr std::size_t kTypeAt = 7;
constexpr std::size_t kDataAt = 9;
constexpr std::size_t kHeaderChars = kDataAt;
constexpr int kByteChars = 2;
constexpr int kWordChars = 4;

enum RecordType : int {
    kDataRecord = 0x00,
    kEndOfFileRecord = 0x01,
    kExtendedSegmentRecord = 0x02,
    kExtendedLinearRecord = 0x04,
};

constexpr uint32_t kSegmentShift = 4;   // segment base × 16
constexpr uint32_t kLinearShift = 16;   // linear base × 65,536

constexpr std::array<int8_t, 256> makeHexDigitTable() {
    std::array<int8_t, 256> table{};
    for (auto& value : table) value = -1;
    for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<int8_t>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<int8_t>(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<int8_t>(c - 'a' + 10);
    return table;
}
constexpr std::array<int8_t, 256> kHexDigit = makeHexDigitTable();

// Same result as parseHexField(text, 2), without the string conversion for the
// common case of two hexadecimal digits; the loader reads tens of thousands of these.
int readHexByte(const char* text) {
    const int high = kHexDigit[static_cast<unsigned char>(text[0])];
    const int low = high < 0 ? -1 : kHexDigit[static_cast<unsigned char>(text[1])];
    if (low < 0) return parseHexField(text, kByteChars);
    return high << 4 | low;
}

std::size_t dataRecordChars(int count) {
    return kHeaderChars + static_cast<std::size_t>(count) * kByteChars + kByteChars;
}

class McuLoader {
public:
    McuLoader(uint8_t* buffer, uint32_t capacity) : buffer_(buffer), capacity_(capacity) {}

    // Takes one line; false when the load ends with it.
    bool loadLine(const char* line) {
        if (line == nullptr || line[0] != ':') return false;
        const std::size_t length = std::strlen(line);
        if (length < kHeaderChars) return false;
        const int count = parseHexField(line + kCountAt, kByteChars);
        const int address = parseHexField(line + kAddressAt, kWordChars);
        const int type = parseHexField(line + kTypeAt, kByteChars);
        switch (type) {
        case kDataRecord:
            return loadData(line, length, count, address, type);
        case kEndOfFileRecord:
            result_.complete = true;
            return false;
        case kExtendedSegmentRecord:
        case kExtendedLinearRecord:
            if (length < kDataAt + kWordChars) return false;
            extension_ = type == kExtendedSegmentRecord ? Extension::kSegment : Extension::kLinear;
            base_ = static_cast<uint32_t>(parseHexField(line + kDataAt, kWordChars));
            return true;
        default:
            return true;
        }
    }

    McuLoadResult result() const { return result_; }

private:
    enum class Extension { kNone, kSegment, kLinear };

    uint32_t extendedAddress(int address) const {
        const auto recordAddress = static_cast<uint32_t>(address);
        switch (extension_) {
        case Extension::kSegment:
            return recordAddress + (base_ << kSegmentShift);
        case Extension::kLinear:
            return recordAddress + (base_ << kLinearShift);
        case Extension::kNone:
            break;
        }
        return recordAddress;
    }

    bool fits(uint32_t start, int count) const {
        // A count read as a negative number stands for an unsigned one beyond any capacity.
        if (count < 0 || result_.imageSize > INT32_MAX - count) return false;
        return start < capacity_ && uint64_t{start} + static_cast<uint64_t>(count) <= capacity_;
    }

    bool loadData(const char* line, std::size_t length, int count, int address, int type) {
        const auto recordAddress = static_cast<uint32_t>(address);
        uint8_t sum = static_cast<uint8_t>((recordAddress >> 8) + recordAddress + static_cast<uint32_t>(count) +
                                           static_cast<uint32_t>(type));
        const uint32_t start = extendedAddress(address);
        if (!fits(start, count) || length < dataRecordChars(count)) return false;
        result_.imageSize += count;
        const char* digits = line + kDataAt;
        for (int i = 0; i < count; ++i, digits += kByteChars) {
            const auto value = static_cast<uint8_t>(readHexByte(digits));
            buffer_[start + static_cast<uint32_t>(i)] = value;
            sum = static_cast<uint8_t>(sum + value);
        }
        const int expected = static_cast<uint8_t>(-sum);
        if (readHexByte(digits) != expected) {
            result_.checksumError = true;
            return false;
        }
        return true;
    }

    uint8_t* buffer_;
    uint32_t capacity_;
    Extension extension_ = Extension::kNone;
    uint32_t base_ = 0;
    McuLoadResult result_;
};

constexpr int kListingBytesPerLine = 16;
constexpr int kListingLineChars = 78;
constexpr int kAddressDigits = 8;
constexpr int kByteGroupChars = 3;   // "%02X "
constexpr char kUpperHex[] = "0123456789ABCDEF";

void appendHex(std::string& out, uint32_t value, int digits) {
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += kUpperHex[(value >> shift) & 0xF];
}

char listingChar(uint8_t byte) { return byte >= 0x20 && byte <= 0x7E ? static_cast<char>(byte) : '.'; }

void appendListingLine(std::string& out, const uint8_t* bytes, int count, uint32_t address) {
    appendHex(out, address, kAddressDigits);
    out += "  ";
    for (int i = 0; i < count; ++i) {
        appendHex(out, bytes[i], kByteChars);
        out += ' ';
    }
    out.append(static_cast<std::size_t>((kListingBytesPerLine - count) * kByteGroupChars), ' ');
    out += "; ";
    for (int i = 0; i < count; ++i) out += listingChar(bytes[i]);
    out += "\r\n";
}

}  // namespace

int parseHexField(const char* text, int n) {
    char scratch[kScratchChars] = {};
    const int chars = std::clamp(n, 0, kScratchChars - 1);
    for (int i = 0; i < chars && text[i] != '\0'; ++i) scratch[i] = text[i];
    return static_cast<int>(std::strtol(scratch, nullptr, 16));
}

McuLoadResult LoadMcuImage(const HexTable& table, uint8_t* buffer, uint32_t capacity) {
    std::memset(buffer, 0, capacity);
    McuLoader loader(buffer, capacity);
    std::size_t i = 0;
    while (i < table.count && loader.loadLine(table.lines[i])) ++i;
    return loader.result();
}

int32_t LoadDspImage(const WordTable& table, uint8_t* buffer) {
    std::memset(buffer, 0, kDspClearBytes);
    int32_t position = kDspHeaderBytes;
    uint16_t sum = 0;
    for (std::size_t i = 0; i < table.count && position + 4 <= kDspMaxImageBytes; ++i) {
        sum = 0;
        for (int shift = 24; shift >= 0; shift -= 8) {
            const auto byte = static_cast<uint8_t>(table.words[i] >> shift);
            buffer[position++] = byte;
            sum = static_cast<uint16_t>(sum + byte);
        }
    }
    buffer[0] = static_cast<uint8_t>(position >> 8);
    buffer[1] = static_cast<uint8_t>(position);
    buffer[2] = static_cast<uint8_t>(sum >> 8);
    buffer[3] = static_cast<uint8_t>(sum);
    return position;
}

std::string FormatImageListing(const uint8_t* bytes, int count, uint32_t base) {
    std::string out;
    if (count <= 0) return out;
    const int lines = (count + kListingBytesPerLine - 1) / kListingBytesPerLine;
    out.reserve(static_cast<std::size_t>(lines) * kListingLineChars);
    for (int offset = 0; offset < count; offset += kListingBytesPerLine) {
        const int lineBytes = std::min(kListingBytesPerLine, count - offset);
        appendListingLine(out, bytes + offset, lineBytes, base + static_cast<uint32_t>(offset));
    }
    return out;
}
