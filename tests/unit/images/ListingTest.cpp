#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "images/Images.h"

namespace {

std::vector<uint8_t> counting(int count) {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < count; ++i) bytes.push_back(static_cast<uint8_t>(i));
    return bytes;
}

const std::string kFirstLine =
    "00000000  00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F ; ................\r\n";

TEST(ImageListing, FullLine) {
    const std::vector<uint8_t> bytes = counting(16);
    const std::string listing = FormatImageListing(bytes.data(), 16, 0);
    EXPECT_EQ(listing, kFirstLine);
    EXPECT_EQ(listing.size(), 78u);
}

TEST(ImageListing, ShortLastLineKeepsTheColumn) {
    const std::vector<uint8_t> bytes = counting(17);
    EXPECT_EQ(FormatImageListing(bytes.data(), 17, 0),
              kFirstLine + "00000010  10 " + std::string(45, ' ') + "; .\r\n");
}

TEST(ImageListing, AddressesStartAtBase) {
    const std::vector<uint8_t> bytes = counting(20);
    const std::string listing = FormatImageListing(bytes.data(), 20, 0x100);
    EXPECT_EQ(listing.substr(0, 10), "00000100  ");
    EXPECT_EQ(listing.substr(78, 10), "00000110  ");
    EXPECT_EQ(FormatImageListing(bytes.data(), 1, 0xFFFFFFF0u).substr(0, 8), "FFFFFFF0");
}

TEST(ImageListing, OnlyPrintableAsciiShownAsItself) {
    const std::vector<uint8_t> bytes{0x1F, 0x20, 0x41, 0x7E, 0x7F, 0x80, 0xFF, 0x00};
    EXPECT_EQ(FormatImageListing(bytes.data(), static_cast<int>(bytes.size()), 0),
              "00000000  1F 20 41 7E 7F 80 FF 00 " + std::string(24, ' ') + "; . A~....\r\n");
}

TEST(ImageListing, NothingForNoBytes) {
    const uint8_t byte = 0x41;
    EXPECT_EQ(FormatImageListing(&byte, 0, 0), "");
    EXPECT_EQ(FormatImageListing(&byte, -5, 0), "");
}

}  // namespace
