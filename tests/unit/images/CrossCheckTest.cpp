// The loader against independent Intel HEX readers (the intelhex Python package and
// srecord's srec_cat), on the embedded image, on firmware files that Debian packages
// ship, and on files that srec_cat writes from known data.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "ScratchDir.h"
#include "images/Images.h"

namespace {

constexpr uint32_t kUpdateCapacity = 0x11000;
constexpr uint32_t kWideCapacity = 0x40000;  // room for the packaged boot loaders

const std::string kIntelHexPython = IMAGES_INTELHEX_PYTHON;
const std::string kIntelHexHelper = IMAGES_INTELHEX_HELPER;
const std::string kSrecCat = IMAGES_SREC_CAT;

struct HexFile {
    explicit HexFile(const std::string& path) {
        std::istringstream in(readFile(path));
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
        }
        for (const std::string& l : lines) pointers.push_back(l.c_str());
    }
    HexTable table() const { return {pointers.data(), pointers.size()}; }

    std::vector<std::string> lines;
    std::vector<const char*> pointers;
};

// Runs a shell command and returns its standard output; fails the test on a non-zero exit.
std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run " << command;
        return output;
    }
    char chunk[256];
    while (std::fgets(chunk, sizeof chunk, pipe) != nullptr) output += chunk;
    const int status = pclose(pipe);
    EXPECT_EQ(status, 0) << command;
    return output;
}

std::vector<uint8_t> bytesOfFile(const std::string& path) {
    const std::string text = readFile(path);
    return {text.begin(), text.end()};
}

void expectSameImage(const std::vector<uint8_t>& loaded, const std::vector<uint8_t>& reference) {
    ASSERT_EQ(loaded.size(), reference.size());
    for (std::size_t i = 0; i < loaded.size(); ++i)
        ASSERT_EQ(loaded[i], reference[i]) << "first difference at 0x" << std::hex << i;
}

bool haveReferenceReader() { return !kIntelHexPython.empty() || !kSrecCat.empty(); }

// Loads hexPath with LoadMcuImage and compares every byte below capacity, and the
// number of data bytes, with what each available reference reader makes of the file.
std::vector<uint8_t> expectReadersAgree(const ScratchDir& scratch, const std::string& hexPath, uint32_t capacity) {
    SCOPED_TRACE(hexPath);
    const HexFile file(hexPath);
    std::vector<uint8_t> loaded(capacity);
    const McuLoadResult result = LoadMcuImage(file.table(), loaded.data(), capacity);
    EXPECT_TRUE(result.complete);
    EXPECT_FALSE(result.checksumError);

    const std::string binary = scratch.file("reference.bin");
    if (!kIntelHexPython.empty()) {
        SCOPED_TRACE("intelhex");
        const std::string count = run(shellQuote(kIntelHexPython) + " " + shellQuote(kIntelHexHelper) + " " +
                                      shellQuote(hexPath) + " " + shellQuote(binary) + " " + std::to_string(capacity));
        EXPECT_EQ(std::to_string(result.imageSize) + "\n", count);
        expectSameImage(loaded, bytesOfFile(binary));
    }
    if (!kSrecCat.empty()) {
        SCOPED_TRACE("srec_cat");
        run(shellQuote(kSrecCat) + " -multiple " + shellQuote(hexPath) + " -intel -fill 0x00 0 " + std::to_string(capacity) +
            " -o " + shellQuote(binary) + " -binary");
        expectSameImage(loaded, bytesOfFile(binary));
    }
    return loaded;
}

TEST(CrossCheck, EmbeddedImageFile) {
    if (!haveReferenceReader()) GTEST_SKIP() << "neither python3-intelhex nor srec_cat is installed";
    ScratchDir scratch;
    expectReadersAgree(scratch, IMAGES_MCU_HEX_FILE, kUpdateCapacity);
}

TEST(CrossCheck, PackagedFirmwareFiles) {
    if (!haveReferenceReader()) GTEST_SKIP() << "neither python3-intelhex nor srec_cat is installed";
    std::vector<std::string> files;
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(IMAGES_HEX_SAMPLE_DIR, error), end; !error && it != end;
         it.increment(error)) {
        if (it->path().extension() == ".hex") files.push_back(it->path().string());
    }
    if (files.empty()) GTEST_SKIP() << "no .hex files under " << IMAGES_HEX_SAMPLE_DIR;
    ScratchDir scratch;
    for (const std::string& path : files) expectReadersAgree(scratch, path, kWideCapacity);
}

struct Placement {
    uint32_t address;
    std::size_t length;
};

struct SrecordCase {
    const char* name;
    int addressLength;  // 2: no extension records, 3: segment (type 02), 4: linear (type 04)
    int blockSize;
    std::vector<Placement> placements;
};

// Deterministic filler, so a failure can be reproduced.
std::string pseudoRandomBytes(std::size_t length, uint32_t seed) {
    std::string bytes;
    uint32_t x = seed;
    for (std::size_t i = 0; i < length; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes += static_cast<char>(x >> 24);
    }
    return bytes;
}

TEST(CrossCheck, FilesWrittenBySrecord) {
    if (kSrecCat.empty()) GTEST_SKIP() << "srec_cat is not installed";
    const SrecordCase cases[] = {
        {"16-bit", 2, 16, {{0x0000, 0x200}, {0x8000, 0x123}}},
        {"segmented across 64K", 3, 24, {{0xFF80, 0x300}, {0x10F00, 0x200}}},
        {"segmented, long records", 3, 255, {{0x1FF00, 0x400}, {0x3000, 0x81}}},
        {"linear across 64K", 4, 32, {{0xFF80, 0x300}, {0x10F00, 0x200}}},
        {"linear, short records, gaps", 4, 7, {{0x0005, 0x50}, {0x20000, 0x40}, {0x3FFC0, 0x40}}},
    };
    ScratchDir scratch;
    uint32_t seed = 1;
    for (const SrecordCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string inputs;
        std::vector<uint8_t> expected(kWideCapacity, 0);
        for (const Placement& p : c.placements) {
            const std::string blob = pseudoRandomBytes(p.length, seed++);
            const std::string blobPath = scratch.file("blob" + std::to_string(seed) + ".bin");
            writeFile(blobPath, blob);
            std::copy(blob.begin(), blob.end(), expected.begin() + p.address);
            inputs += shellQuote(blobPath) + " -binary -offset " + std::to_string(p.address) + " ";
        }
        const std::string hexPath = scratch.file("generated.hex");
        run(shellQuote(kSrecCat) + " " + inputs + "-o " + shellQuote(hexPath) + " -intel -address-length=" +
            std::to_string(c.addressLength) + " -output-block-size=" + std::to_string(c.blockSize));
        expectSameImage(expectReadersAgree(scratch, hexPath, kWideCapacity), expected);
    }
}

}  // namespace
