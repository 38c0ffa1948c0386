// Helpers to build Intel HEX tables for the loader tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "images/Images.h"

// One record with a correct checksum, upper-case digits.
inline std::string hexRecord(uint16_t address, uint8_t type, const std::vector<uint8_t>& data) {
    static const char digits[] = "0123456789ABCDEF";
    std::vector<uint8_t> bytes{static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8),
                               static_cast<uint8_t>(address), type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
    bytes.push_back(static_cast<uint8_t>(-sum));
    std::string line = ":";
    for (uint8_t b : bytes) {
        line += digits[b >> 4];
        line += digits[b & 0xF];
    }
    return line;
}

inline std::string dataRecord(uint16_t address, const std::vector<uint8_t>& data) {
    return hexRecord(address, 0x00, data);
}
inline std::string segmentRecord(uint16_t base) {
    return hexRecord(0, 0x02, {static_cast<uint8_t>(base >> 8), static_cast<uint8_t>(base)});
}
inline std::string linearRecord(uint16_t base) {
    return hexRecord(0, 0x04, {static_cast<uint8_t>(base >> 8), static_cast<uint8_t>(base)});
}
inline std::string endOfFile() { return hexRecord(0, 0x01, {}); }

// The same record with its last checksum digit changed.
inline std::string withBadChecksum(std::string line) {
    line.back() = line.back() == '0' ? '1' : '0';
    return line;
}

// A table whose lines and line array are heap blocks of exactly their size, so that
// AddressSanitizer reports any read past a line's NUL or past the last line.
class ExactTable {
public:
    explicit ExactTable(const std::vector<std::string>& lines)
        : storage_(lines.size()), pointers_(new const char*[lines.size() == 0 ? 1 : lines.size()]),
          count_(lines.size()) {
        for (std::size_t i = 0; i < lines.size(); ++i) {
            storage_[i].reset(new char[lines[i].size() + 1]);
            std::memcpy(storage_[i].get(), lines[i].c_str(), lines[i].size() + 1);
            pointers_[i] = storage_[i].get();
        }
    }
    HexTable table() const { return {pointers_.get(), count_}; }

private:
    std::vector<std::unique_ptr<char[]>> storage_;
    std::unique_ptr<const char*[]> pointers_;
    std::size_t count_;
};
