// What the emulator says about its flash and DSP memory against the images the host meant.
#include <gtest/gtest.h>

#include "protocol/Lcmd.h"
#include "tests/unit/emulator/Isp.h"

namespace emutest {
namespace {

class FlashVerification : public ::testing::Test {
protected:
    FlashVerification() : host(FastConfig(emu::Personality::BootLoader)) {
        host.ExpectCreate(0x0904);
    }
    // Start Program and the first `frames` data frames of image.
    void Program(const Bytes& image, int frames) {
        host.SendReport(StartProgramFrame(3, image));
        for (int k = 0; k < frames; ++k) host.SendReport(DataFrame(5 + 2 * k, image, 48 + 56 * k));
        sent += uint64_t(frames) + 1;
        ASSERT_TRUE(host.emulator.WaitFor(
            [&](const emu::Counters& c) { return c.framesHandled == sent; }, kTimeout));
    }
    Host host;
    uint64_t sent = 0;
    Bytes image = TestImage(200);
};

TEST_F(FlashVerification, HalfWrittenImageIsReportedByItsSize) {
    Program(image, 1);
    emu::Verification v = host.emulator.VerifyFlash(image.data(), image.size());
    EXPECT_FALSE(v.ok);
    EXPECT_EQ(v.text, "flash holds 104 bytes, expected 200");
}

TEST_F(FlashVerification, OtherImageIsReportedByItsSizeOrFirstDifferentByte) {
    Program(image, 3);
    Bytes larger = TestImage(57656);
    EXPECT_EQ(host.emulator.VerifyFlash(larger.data(), larger.size()).text,
              "flash holds 200 bytes, expected 57656");
    Bytes changed = image;
    changed[0x31] = 0x00;
    changed[0x40] = 0x00;
    emu::Verification v = host.emulator.VerifyFlash(changed.data(), changed.size());
    EXPECT_FALSE(v.ok);
    EXPECT_EQ(v.text, "flash differs at 0x00031: got 0x5A, expected 0x00");
}

TEST_F(FlashVerification, NewStartProgramErasesTheFormerImage) {
    Program(image, 3);
    Bytes smaller = TestImage(40);
    Program(smaller, 1);
    EXPECT_TRUE(host.emulator.VerifyFlash(smaller.data(), smaller.size()).ok);
    EXPECT_EQ(host.emulator.Flash()[40], emu::kErasedFlash);
}

class DspVerification : public ::testing::Test {
protected:
    DspVerification() : host(FastConfig()) {
        host.ExpectCreate(0x0821);
        for (std::size_t i = 0; i < 100; ++i) buffer[i] = uint8_t(i + 1);
    }
    void SendBlocks(int first, int last) {
        for (int n = first; n <= last; ++n)
            host.SendReport(BuildFrame(CM_MCS_DSP_BYTE_PROG(n, buffer.data(), key), MODE_FRAMED));
        uint64_t blocks = uint64_t(last - first + 1);
        ASSERT_TRUE(host.emulator.WaitFor(
            [&](const emu::Counters& c) { return c.framesHandled >= blocks; }, kTimeout));
    }
    Host host;
    uint32_t key = emu::DeriveKey(emu::DefaultParameterTable());
    Bytes buffer = Bytes(128, 0);  // a 100-byte image in blocks 0 to 3, zero beyond it
};

TEST_F(DspVerification, CompleteImagePasses) {
    SendBlocks(0, 3);
    emu::Verification v = host.emulator.VerifyDsp(buffer.data(), 100);
    EXPECT_TRUE(v.ok) << v.text;
    EXPECT_EQ(v.text, "DSP memory holds the expected 100 bytes in 4 blocks");
}

TEST_F(DspVerification, MissingBlockIsNamed) {
    SendBlocks(0, 2);
    EXPECT_EQ(host.emulator.VerifyDsp(buffer.data(), 100).text,
              "DSP block 3 not stored (3 of 4 blocks stored)");
}

TEST_F(DspVerification, WrongBytesInsideAndBeyondTheImageAreNamed) {
    buffer[101] = 0xEE;  // sent, though past the image's end
    SendBlocks(0, 3);
    Bytes expected(buffer.begin(), buffer.begin() + 100);
    EXPECT_EQ(host.emulator.VerifyDsp(expected.data(), expected.size()).text,
              "DSP memory differs at 0x00065: got 0xEE, expected 0x00 (beyond the image)");
    expected[0x10] = 0;
    EXPECT_EQ(host.emulator.VerifyDsp(expected.data(), expected.size()).text,
              "DSP memory differs at 0x00010: got 0x11, expected 0x00");
}

}  // namespace
}  // namespace emutest
