#include "images/Images.h"

#include <algorithm>
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

// Digit values for the fast path below, -1 for characters that are not hexadecimal digits.
// A plain array: the lookup must stay cheap in unoptimised builds too.
struct HexDigitTable {
    int8_t value[256];
    constexpr HexDigitTable() : value() {
        for (int c = 0; c < 256; ++c) value[c] = -1;
        for (int c = '0'; c <= '9'; ++c) value[c] = static_cast<int8_t>(c - '0');
        for (int c = 'A'; c <= 'F'; ++c) value[c] = static_cast<int8_t>(c - 'A' + 10);
        for (int c = 'a'; c <= 'f'; ++c) value[c] = static_cast<int8_t>(c - 'a' + 10);
    }
};
constexpr HexDigitTable kHexDigit;

// The value of the two hexadecimal digits at text, or -1 when either is not one.
int hexPair(const char* text) {
    const int high = kHexDigit.value[static_cast<unsigned char>(text[0])];
    const int low = kHexDigit.value[static_cast<unsigned char>(text[1])];
    return (high | low) < 0 ? -1 : high << 4 | low;
}

// Same results as parseHexField(text, 2) and (text, 4) for a text at least that long,
// without the string conversion when all are hexadecimal digits: the loader reads
// tens of thousands of fields.
int readHexByte(const char* text) {
    const int value = hexPair(text);
    return value < 0 ? parseHexField(text, kByteChars) : value;
}

int readHexWord(const char* text) {
    const int high = hexPair(text);
    const int low = hexPair(text + kByteChars);
    return (high | low) < 0 ? parseHexField(text, kWordChars) : high << 8 | low;
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
        const int count = readHexByte(line + kCountAt);
        const int address = readHexWord(line + kAddressAt);
        const int type = readHexByte(line + kTypeAt);
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
            base_ = static_cast<uint32_t>(readHexWord(line + kDataAt));
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
constexpr int kAddressDigits = 8;
constexpr int kByteGroupChars = 3;  // "%02X "
// Address and two spaces, sixteen byte groups, "; ": the same on every line.
constexpr int kListingFixedChars = kAddressDigits + 2 + kListingBytesPerLine * kByteGroupChars + 2;
constexpr int kLineEndChars = 2;
constexpr char kUpperHex[] = "0123456789ABCDEF";

// Writes one listing line at out and returns the position after it. Plain pointer
// writes: a full image listing is some 4,500 lines and must not crawl in debug builds.
char* putListingLine(char* out, const uint8_t* bytes, int count, uint32_t address) {
    for (int shift = (kAddressDigits - 1) * 4; shift >= 0; shift -= 4) *out++ = kUpperHex[(address >> shift) & 0xF];
    *out++ = ' ';
    *out++ = ' ';
    for (int i = 0; i < count; ++i) {
        *out++ = kUpperHex[bytes[i] >> 4];
        *out++ = kUpperHex[bytes[i] & 0xF];
        *out++ = ' ';
    }
    const int padding = (kListingBytesPerLine - count) * kByteGroupChars;
    std::memset(out, ' ', static_cast<std::size_t>(padding));
    out += padding;
    *out++ = ';';
    *out++ = ' ';
    for (int i = 0; i < count; ++i) *out++ = bytes[i] >= 0x20 && bytes[i] <= 0x7E ? static_cast<char>(bytes[i]) : '.';
    *out++ = '\r';
    *out++ = '\n';
    return out;
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
    if (count <= 0) return {};
    const int lines = (count + kListingBytesPerLine - 1) / kListingBytesPerLine;
    std::string out(static_cast<std::size_t>(lines) * (kListingFixedChars + kLineEndChars) +
                        static_cast<std::size_t>(count),
                    ' ');
    char* at = out.data();
    for (int offset = 0; offset < count; offset += kListingBytesPerLine) {
        const int lineBytes = std::min(kListingBytesPerLine, count - offset);
        at = putListingLine(at, bytes + offset, lineBytes, base + static_cast<uint32_t>(offset));
    }
    return out;
}
