// Build-time tool: checks the two image data files and writes a C++ source that
// defines the tables the updater carries.
//
//   embed_images <mcu.hex> <dsp_words.txt> <output.cpp>
//
// mcu.hex: Intel HEX text, one record a line (LF or CRLF). Every line must begin
// with ':', hold an even number of hexadecimal digits whose byte count matches the
// line length and whose checksum is right; the last record must be the end-of-file
// record and the only one. Blank lines at the end of the file are ignored.
// dsp_words.txt: one 32-bit word a line, written 0xXXXXXXXX (1 to 8 digits, an
// optional trailing comma, surrounding blanks allowed).
//
// A malformed file stops the build with "file:line: reason" and exit status 1, so
// an updater is never built around a damaged image. The output is written to a
// temporary file and renamed, so a failed run leaves no stale source behind.

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kMinRecordDigits = 10;  // count, address (2 bytes), type, checksum
constexpr int kEndOfFileType = 0x01;
constexpr int kExtendedSegmentType = 0x02;
constexpr int kExtendedLinearType = 0x04;
constexpr int kHighestRecordType = 0x05;
constexpr int kExtendedAddressBytes = 2;
constexpr std::size_t kMaxWordDigits = 8;

struct InputError {
    std::string where;
    std::string reason;
};

struct Line {
    std::size_t number;
    std::string text;
};

std::vector<Line> readLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw InputError{path, "cannot open the file"};
    std::vector<Line> lines;
    std::string text;
    for (std::size_t number = 1; std::getline(in, text); ++number) {
        if (!text.empty() && text.back() == '\r') text.pop_back();
        lines.push_back({number, text});
    }
    while (!lines.empty() && lines.back().text.find_first_not_of(" \t") == std::string::npos) lines.pop_back();
    return lines;
}

std::string location(const std::string& path, const Line& line) { return path + ":" + std::to_string(line.number); }

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string hexByte(int value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", value & 0xFF);
    return text;
}

// Checks one record and returns it with upper-case digits, the form the table holds.
std::string checkRecord(const std::string& where, const std::string& text, int& type) {
    if (text.empty() || text[0] != ':') throw InputError{where, "record does not begin with ':'"};
    std::string record = ":";
    std::vector<int> bytes;
    for (std::size_t i = 1; i < text.size(); ++i) {
        if (hexValue(text[i]) < 0)
            throw InputError{where, "character " + std::to_string(i + 1) + " is not a hexadecimal digit"};
        record += static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
        if (i % 2 == 0) bytes.push_back(hexValue(text[i - 1]) << 4 | hexValue(text[i]));
    }
    const std::size_t digits = text.size() - 1;
    if (digits % 2 != 0) throw InputError{where, "odd number of hexadecimal digits"};
    if (digits < kMinRecordDigits) throw InputError{where, "record too short"};
    const std::size_t count = static_cast<std::size_t>(bytes[0]);
    if (digits != kMinRecordDigits + 2 * count)
        throw InputError{where, "byte count " + std::to_string(count) + " does not match the record length"};
    int sum = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i) sum += bytes[i];
    const int expected = -sum & 0xFF;
    if (bytes.back() != expected)
        throw InputError{where, "checksum " + hexByte(bytes.back()) + ", expected " + hexByte(expected)};
    type = bytes[3];
    if (type > kHighestRecordType) throw InputError{where, "unknown record type " + hexByte(type)};
    const bool extended = type == kExtendedSegmentType || type == kExtendedLinearType;
    if (extended && count != kExtendedAddressBytes)
        throw InputError{where, "extended address record must hold 2 bytes"};
    return record;
}

std::vector<std::string> readHexRecords(const std::string& path) {
    const std::vector<Line> lines = readLines(path);
    if (lines.empty()) throw InputError{path, "no records"};
    std::vector<std::string> records;
    for (const Line& line : lines) {
        int type = 0;
        records.push_back(checkRecord(location(path, line), line.text, type));
        const bool last = &line == &lines.back();
        if (type == kEndOfFileType && !last)
            throw InputError{location(path, line), "end-of-file record before the last line"};
        if (type != kEndOfFileType && last)
            throw InputError{location(path, line), "the last record is not an end-of-file record"};
    }
    return records;
}

uint32_t parseWord(const std::string& where, const std::string& text) {
    std::size_t begin = text.find_first_not_of(" \t");
    std::size_t end = text.find_last_not_of(" \t");
    if (begin == std::string::npos) throw InputError{where, "empty line"};
    if (text[end] == ',') end = text.find_last_not_of(" \t", end - 1);
    const std::string word = text.substr(begin, end - begin + 1);
    if (word.size() < 3 || word[0] != '0' || (word[1] != 'x' && word[1] != 'X') ||
        word.size() > 2 + kMaxWordDigits)
        throw InputError{where, "expected a 32-bit word written 0xXXXXXXXX"};
    uint32_t value = 0;
    for (std::size_t i = 2; i < word.size(); ++i) {
        const int digit = hexValue(word[i]);
        if (digit < 0) throw InputError{where, "expected a 32-bit word written 0xXXXXXXXX"};
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    return value;
}

std::vector<uint32_t> readWords(const std::string& path) {
    std::vector<uint32_t> words;
    for (const Line& line : readLines(path)) words.push_back(parseWord(location(path, line), line.text));
    if (words.empty()) throw InputError{path, "no words"};
    return words;
}

std::string generatedSource(const std::string& hexPath, const std::vector<std::string>& records,
                            const std::string& wordsPath, const std::vector<uint32_t>& words) {
    std::ostringstream out;
    out << "// Generated by embed_images from " << hexPath << " and " << wordsPath << ". Do not edit.\n"
        << "#include \"images/Images.h\"\n\n"
        << "const char* const mcuHexLines[] = {\n";
    for (const std::string& record : records) out << "    \"" << record << "\",\n";
    out << "};\n"
        << "const std::size_t mcuHexLineCount = " << records.size() << ";\n\n"
        << "const uint32_t dspImageWords[] = {\n";
    char word[16];
    for (uint32_t value : words) {
        std::snprintf(word, sizeof word, "0x%08Xu", static_cast<unsigned>(value));
        out << "    " << word << ",\n";
    }
    out << "};\n"
        << "const std::size_t dspImageWordCount = " << words.size() << ";\n";
    return out.str();
}

void writeAtomically(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush()) throw InputError{temporary, "cannot write the file"};
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) throw InputError{path, "cannot replace the file"};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: embed_images <mcu.hex> <dsp_words.txt> <output.cpp>\n";
        return 2;
    }
    try {
        const std::vector<std::string> records = readHexRecords(argv[1]);
        const std::vector<uint32_t> words = readWords(argv[2]);
        writeAtomically(argv[3], generatedSource(argv[1], records, argv[2], words));
    } catch (const InputError& error) {
        std::cerr << error.where << ": error: " << error.reason << "\n";
        return 1;
    }
    return 0;
}
