// The build-time embedding tool accepts well-formed image files and refuses damaged
// ones with the file and line, so that a broken image stops the build.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>

#include "HexRecords.h"
#include "ScratchDir.h"

namespace {

const std::string kGoodHex = dataRecord(0x0000, {1, 2}) + "\n" + endOfFile() + "\n";
const std::string kGoodWords = "0x00000001\n0xFFFFFFFF\n";

struct ToolRun {
    int exitCode;
    std::string errors;
    std::string generated;
};

ToolRun runTool(const ScratchDir& scratch, const std::string& hex, const std::string& words) {
    const std::string hexPath = scratch.file("mcu.hex");
    const std::string wordsPath = scratch.file("dsp_words.txt");
    const std::string outPath = scratch.file("Embedded.cpp");
    const std::string errPath = scratch.file("stderr.txt");
    writeFile(hexPath, hex);
    writeFile(wordsPath, words);
    std::filesystem::remove(outPath);
    const int status = std::system((shellQuote(IMAGES_EMBED_TOOL) + " " + shellQuote(hexPath) + " " +
                                    shellQuote(wordsPath) + " " + shellQuote(outPath) + " 2>" + shellQuote(errPath))
                                       .c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(errPath), readFile(outPath)};
}

TEST(EmbedTool, WritesTablesFromWellFormedFiles) {
    ScratchDir scratch;
    // Lower-case digits, CRLF line ends, blank lines at the end and word lines in
    // the "0x%08X," form are all accepted; the table holds upper-case records.
    const std::string hex = ":0200000401ab4e\r\n" + dataRecord(0x0010, {0xAB}) + "\r\n" + endOfFile() + "\r\n\r\n";
    const ToolRun run = runTool(scratch, hex, "0x00000001,\n  0xabcdef  \n0x12\n\n");
    ASSERT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_NE(run.generated.find("\":0200000401AB4E\","), std::string::npos);
    EXPECT_NE(run.generated.find("\"" + dataRecord(0x0010, {0xAB}) + "\","), std::string::npos);
    EXPECT_NE(run.generated.find("mcuHexLineCount = 3;"), std::string::npos);
    EXPECT_NE(run.generated.find("0x00ABCDEFu"), std::string::npos);
    EXPECT_NE(run.generated.find("0x00000012u"), std::string::npos);
    EXPECT_NE(run.generated.find("dspImageWordCount = 3;"), std::string::npos);
}

struct Refusal {
    const char* name;
    std::string hex;
    std::string words;
    std::string file;   // "mcu.hex" or "dsp_words.txt"
    std::string where;  // ":line: error: reason" as printed after the path
};

TEST(EmbedTool, RefusesMalformedFiles) {
    const std::string record = dataRecord(0x0000, {1, 2});
    const std::string eof = endOfFile() + "\n";
    const Refusal cases[] = {
        {"no colon", record + "\n" + record.substr(1) + "\n" + eof, kGoodWords, "mcu.hex",
         ":2: error: record does not begin with ':'"},
        {"empty line", record + "\n\n" + eof, kGoodWords, "mcu.hex", ":2: error: record does not begin with ':'"},
        {"not hex", ":02000000G1020000\n" + eof, kGoodWords, "mcu.hex",
         ":1: error: character 10 is not a hexadecimal digit"},
        {"odd digits", record + "0\n" + eof, kGoodWords, "mcu.hex", ":1: error: odd number of hexadecimal digits"},
        {"too short", ":000000\n" + eof, kGoodWords, "mcu.hex", ":1: error: record too short"},
        {"count mismatch", ":030000000102FA\n" + eof, kGoodWords, "mcu.hex",
         ":1: error: byte count 3 does not match the record length"},
        {"checksum", withBadChecksum(record) + "\n" + eof, kGoodWords, "mcu.hex", ":1: error: checksum F0, expected FB"},
        {"unknown type", hexRecord(0, 0x06, {}) + "\n" + eof, kGoodWords, "mcu.hex",
         ":1: error: unknown record type 06"},
        {"short extension", hexRecord(0, 0x04, {1}) + "\n" + eof, kGoodWords, "mcu.hex",
         ":1: error: extended address record must hold 2 bytes"},
        {"early end of file", eof + record + "\n" + eof, kGoodWords, "mcu.hex",
         ":1: error: end-of-file record before the last line"},
        {"no end of file", record + "\n" + record + "\n", kGoodWords, "mcu.hex",
         ":2: error: the last record is not an end-of-file record"},
        {"no records", "\n\n", kGoodWords, "mcu.hex", ": error: no records"},
        {"word without prefix", kGoodHex, "0x00000001\n12345678\n", "dsp_words.txt",
         ":2: error: expected a 32-bit word written 0xXXXXXXXX"},
        {"word too long", kGoodHex, "0x123456789\n", "dsp_words.txt",
         ":1: error: expected a 32-bit word written 0xXXXXXXXX"},
        {"word not hex", kGoodHex, "0x1234G678\n", "dsp_words.txt",
         ":1: error: expected a 32-bit word written 0xXXXXXXXX"},
        {"bare prefix", kGoodHex, "0x\n", "dsp_words.txt", ":1: error: expected a 32-bit word written 0xXXXXXXXX"},
        {"blank word line", kGoodHex, "0x1\n\n0x2\n", "dsp_words.txt", ":2: error: empty line"},
        {"no words", kGoodHex, "\n", "dsp_words.txt", ": error: no words"},
    };
    ScratchDir scratch;
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.name);
        const ToolRun run = runTool(scratch, c.hex, c.words);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_NE(run.errors.find(scratch.file(c.file) + c.where), std::string::npos) << run.errors;
        EXPECT_TRUE(run.generated.empty());
    }
}

}  // namespace
