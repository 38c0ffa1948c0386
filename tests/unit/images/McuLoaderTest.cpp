#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "HexRecords.h"
#include "images/Images.h"

namespace {

constexpr uint32_t kUpdateCapacity = 0x11000;
constexpr uint8_t kUntouched = 0xEE;

struct LoaderCase {
    const char* name;
    std::vector<std::string> lines;
    uint32_t capacity;
    int32_t imageSize;
    bool checksumError;
    bool complete;
    std::map<uint32_t, std::vector<uint8_t>> stored;  // every non-zero byte expected, by start address
};

void PrintTo(const LoaderCase& c, std::ostream* os) { *os << c.name; }

std::vector<uint8_t> bytesOf(int first, int count) {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < count; ++i) bytes.push_back(static_cast<uint8_t>(first + i));
    return bytes;
}

std::vector<LoaderCase> loaderCases() {
    const std::vector<uint8_t> sixteen = bytesOf(0x41, 16);
    return {
        {"OverlapCountsBothLaterWins",
         {dataRecord(0x0000, {1, 2, 3, 4}), dataRecord(0x0002, {9, 8}), endOfFile()},
         kUpdateCapacity, 6, false, true, {{0x0000, {1, 2, 9, 8}}}},
        {"GapIsZeroAndNotCounted",
         {dataRecord(0x0000, {1, 2}), dataRecord(0x0010, {3, 4}), endOfFile()},
         kUpdateCapacity, 4, false, true, {{0x0000, {1, 2}}, {0x0010, {3, 4}}}},
        {"RecordEndingAtCapacityIsStored",
         {dataRecord(0x0030, sixteen), endOfFile()},
         0x40, 16, false, true, {{0x0030, sixteen}}},
        {"RecordAtCapacityEndsLoadUnreadAfter",
         {dataRecord(0x0000, {7}), dataRecord(0x0040, {1}), dataRecord(0x0001, {5}), endOfFile()},
         0x40, 1, false, false, {{0x0000, {7}}}},
        {"RecordStraddlingCapacityEndsLoadUnstored",
         {dataRecord(0x003C, {1, 2, 3, 4, 5}), endOfFile()},
         0x40, 0, false, false, {}},
        {"LinearExtensionReachingCapacityEndsLoad",
         {dataRecord(0x0000, {7}), linearRecord(0x0001), dataRecord(0x1000, {1}), endOfFile()},
         kUpdateCapacity, 1, false, false, {{0x0000, {7}}}},
        {"NoExtensionUsesRecordAddress",
         {dataRecord(0x0123, {5}), endOfFile()},
         kUpdateCapacity, 1, false, true, {{0x0123, {5}}}},
        {"SegmentBaseTimesSixteen",
         {segmentRecord(0x0001), dataRecord(0x0004, {5}), endOfFile()},
         kUpdateCapacity, 1, false, true, {{0x0014, {5}}}},
        {"LinearBaseTimes65536",
         {linearRecord(0x0001), dataRecord(0x0004, {5}), endOfFile()},
         kUpdateCapacity, 1, false, true, {{0x10004, {5}}}},
        {"LinearReplacesSegment",
         {segmentRecord(0x0100), dataRecord(0x0000, {1}), linearRecord(0x0000), dataRecord(0x0002, {2}), endOfFile()},
         kUpdateCapacity, 2, false, true, {{0x0002, {2}}, {0x1000, {1}}}},
        {"SegmentReplacesLinear",
         {linearRecord(0x0001), dataRecord(0x0000, {1}), segmentRecord(0x0010), dataRecord(0x0002, {2}), endOfFile()},
         kUpdateCapacity, 2, false, true, {{0x0102, {2}}, {0x10000, {1}}}},
        {"StartAddressRecordsSkipped",
         {dataRecord(0x0000, {1}), hexRecord(0, 0x03, {0x12, 0x34, 0x56, 0x78}),
          hexRecord(0, 0x05, {0x00, 0x00, 0x00, 0xC1}), dataRecord(0x0001, {2}), endOfFile()},
         kUpdateCapacity, 2, false, true, {{0x0000, {1, 2}}}},
        {"ChecksumOfNonDataRecordsUnchecked",
         {withBadChecksum(linearRecord(0x0001)), withBadChecksum(hexRecord(0, 0x05, {0, 0, 0, 1})),
          dataRecord(0x0000, {3}), withBadChecksum(endOfFile())},
         kUpdateCapacity, 1, false, true, {{0x10000, {3}}}},
        {"ChecksumErrorKeepsRecordAndEndsLoad",
         {dataRecord(0x0000, {1, 2}), withBadChecksum(dataRecord(0x0010, {3, 4})), dataRecord(0x0020, {5}), endOfFile()},
         kUpdateCapacity, 4, true, false, {{0x0000, {1, 2}}, {0x0010, {3, 4}}}},
        {"NonColonLineEndsSilently",
         {dataRecord(0x0000, {1}), "S1130000", dataRecord(0x0001, {2}), endOfFile()},
         kUpdateCapacity, 1, false, false, {{0x0000, {1}}}},
        {"EmptyLineEndsSilently",
         {dataRecord(0x0000, {1}), "", dataRecord(0x0001, {2}), endOfFile()},
         kUpdateCapacity, 1, false, false, {{0x0000, {1}}}},
        {"MissingEndOfFileStopsAtLastLine",
         {dataRecord(0x0000, {1}), dataRecord(0x0001, {2})},
         kUpdateCapacity, 2, false, false, {{0x0000, {1, 2}}}},
        {"EmptyTable", {}, kUpdateCapacity, 0, false, false, {}},
        {"LineWithoutChecksumEndsLoadUnstored",
         {dataRecord(0x0000, {1}), dataRecord(0x0010, {1, 2, 3, 4}).substr(0, 17), endOfFile()},
         kUpdateCapacity, 1, false, false, {{0x0000, {1}}}},
        {"LineCutInsideDataEndsLoadUnstored",
         {dataRecord(0x0010, {1, 2, 3, 4}).substr(0, 12), endOfFile()},
         kUpdateCapacity, 0, false, false, {}},
        {"LineCutInsideHeaderEndsLoad",
         {":1000", endOfFile()}, kUpdateCapacity, 0, false, false, {}},
        {"ExtensionRecordWithoutBaseEndsLoad",
         {":02000004", dataRecord(0x0000, {1}), endOfFile()}, kUpdateCapacity, 0, false, false, {}},
        {"CountBeyondLineEndsLoad",
         {":FF000000" + std::string(20, '0'), endOfFile()}, kUpdateCapacity, 0, false, false, {}},
        {"NegativeCountEndsLoad",
         {":-1000000" + std::string(20, '0'), endOfFile()}, kUpdateCapacity, 0, false, false, {}},
    };
}

class McuLoaderRules : public testing::TestWithParam<LoaderCase> {};

TEST_P(McuLoaderRules, StoresCountsAndEndsAsExpected) {
    const LoaderCase& c = GetParam();
    const ExactTable table(c.lines);
    std::vector<uint8_t> buffer(c.capacity, kUntouched);  // exactly capacity: a write beyond trips ASan
    const McuLoadResult result = LoadMcuImage(table.table(), buffer.data(), c.capacity);

    EXPECT_EQ(result.imageSize, c.imageSize);
    EXPECT_EQ(result.checksumError, c.checksumError);
    EXPECT_EQ(result.complete, c.complete);
    std::vector<uint8_t> expected(c.capacity, 0);
    for (const auto& [address, bytes] : c.stored)
        std::copy(bytes.begin(), bytes.end(), expected.begin() + address);
    EXPECT_EQ(buffer, expected);
}

INSTANTIATE_TEST_SUITE_P(Records, McuLoaderRules, testing::ValuesIn(loaderCases()),
                         [](const testing::TestParamInfo<LoaderCase>& info) { return info.param.name; });

TEST(McuLoader, LeavesBytesFromCapacityOnUntouched) {
    constexpr uint32_t kCapacity = 0x20;
    const ExactTable table({dataRecord(0x0000, {1}), endOfFile()});
    std::vector<uint8_t> buffer(kCapacity + 16, kUntouched);
    LoadMcuImage(table.table(), buffer.data(), kCapacity);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(buffer[kCapacity - 1], 0);
    for (uint32_t i = kCapacity; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], kUntouched) << i;
}

TEST(McuLoader, ReloadStartsAfresh) {
    const ExactTable first({dataRecord(0x0000, {1, 2, 3}), endOfFile()});
    const ExactTable second({dataRecord(0x0001, {9}), endOfFile()});
    std::vector<uint8_t> buffer(0x10);
    LoadMcuImage(first.table(), buffer.data(), 0x10);
    const McuLoadResult result = LoadMcuImage(second.table(), buffer.data(), 0x10);
    EXPECT_EQ(result.imageSize, 1);
    EXPECT_EQ(buffer, (std::vector<uint8_t>{0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

struct FieldCase {
    const char* text;
    int n;
    int value;
};

TEST(ParseHexField, ReadsExactlyNCharactersAsStrtolDoes) {
    const FieldCase cases[] = {
        {"1F", 2, 0x1F},   {"1F2A", 4, 0x1F2A}, {"12345", 2, 0x12}, {"12345", 4, 0x1234},
        {"ab", 2, 0xAB},   {"1G", 2, 0x1},      {"G1", 2, 0},       {"", 2, 0},
        {"7", 4, 0x7},     {"FFFF", 4, 0xFFFF}, {"-1", 2, -1},      {"0x", 2, 0},
    };
    for (const FieldCase& c : cases) {
        const std::string exact(c.text);  // std::string keeps the NUL right after the text
        EXPECT_EQ(parseHexField(exact.c_str(), c.n), c.value) << '"' << c.text << "\" n=" << c.n;
    }
}

TEST(ParseHexField, LongFieldKeepsScratchTerminated) {
    const std::string digits(40, '1');
    EXPECT_EQ(parseHexField(digits.c_str(), 40), static_cast<int>(std::strtol(std::string(15, '1').c_str(), nullptr, 16)));
}

}  // namespace
