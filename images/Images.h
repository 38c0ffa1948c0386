// The two firmware images carried inside the updater, their conversion into the
// byte buffer that is programmed, and the hexadecimal listing of that buffer.
// The tables are generated at build time from images/data/ (see images/CMakeLists.txt).
// Depends on the standard library only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// An ordered table of Intel HEX records, one NUL-terminated line each, no line ends.
struct HexTable {
    const char* const* lines;
    std::size_t count;
};

// An ordered table of 32-bit DSP program words.
struct WordTable {
    const uint32_t* words;
    std::size_t count;
};

extern const char* const mcuHexLines[];
extern const std::size_t mcuHexLineCount;
extern const uint32_t dspImageWords[];
extern const std::size_t dspImageWordCount;

HexTable EmbeddedMcuHex();
WordTable EmbeddedDspWords();

// Reads the n characters at text (at most 15, fewer when a NUL comes first) as a
// hexadecimal number, with strtol's rules: the characters are copied into a zeroed
// scratch area first, so the number ends after them.
int parseHexField(const char* text, int n);

struct McuLoadResult {
    int32_t imageSize = 0;       // sum of the byte counts of the accepted data records
    bool checksumError = false;  // a data record's checksum was wrong; the load stopped there
    bool complete = false;       // the load reached its end-of-file record
};

// Clears buffer[0..capacity) and stores the data records of table at their extended
// addresses. The load stops silently at a line that does not begin with ':', at a
// line too short for its own fields, at a data record reaching capacity, or after the
// last line; it stops with checksumError at a data record whose checksum is wrong (that
// record stays stored and counted). complete is true only when it stopped at the
// end-of-file record. Never writes at or beyond buffer[capacity].
McuLoadResult LoadMcuImage(const HexTable& table, uint8_t* buffer, uint32_t capacity);

constexpr int kDspClearBytes = 65536;
constexpr int kDspHeaderBytes = 4;
// The largest image whose length still fits the header's 16-bit length field.
constexpr int kDspMaxImageBytes = kDspClearBytes - kDspHeaderBytes;

// Clears buffer[0..kDspClearBytes) and writes the DSP byte image: a 4-byte header
// (image length, then the byte sum of the last word, both big-endian) followed by the
// words most significant byte first. Words that would carry the image past
// kDspMaxImageBytes are left out. Returns the image length, header included.
// buffer must hold at least kDspClearBytes bytes.
int32_t LoadDspImage(const WordTable& table, uint8_t* buffer);

// Hexadecimal listing, sixteen bytes a line: "%08X  " address, "%02X " per byte (a
// short last line padded with three spaces per missing byte), "; ", the bytes as
// characters (0x20..0x7E as they are, others as '.'), "\r\n". Empty for count <= 0.
std::string FormatImageListing(const uint8_t* bytes, int count, uint32_t base);
