// Boot loader: raw replies that echo the byte sum, the image stored in flash, the two reply
// models, and the return to run mode after MCU Reset.
#include <gtest/gtest.h>

#include "tests/unit/emulator/Isp.h"

namespace emutest {
namespace {

emu::Config SingleReplyConfig() {
    emu::Config c = FastConfig(emu::Personality::BootLoader);
    c.timing.bootLoaderReplies = emu::ReplyModel::Single;
    c.firmwareVersion = 0x42;
    c.deviceId = 0x4D3C2B1A;
    c.configWord0 = 0x11223344;
    c.configWord1 = 0x55667788;
    return c;
}

// The 200-byte programming run, frame by frame, with the answers of a device that returns the
// packet number it received plus one.
TEST(BootLoader, AnswersAWholeProgrammingRunAndStoresTheImage) {
    Host host(SingleReplyConfig());
    host.ExpectCreate(0x0904);
    const Bytes image = TestImage(200);
    struct Step {
        Bytes frame;
        Bytes reply;
    } steps[] = {
        {Padded({0x80, 0, 0, 0, 0x01}), Padded({0x81, 0, 0, 0, 0x02})},
        {Padded({0x81, 0, 0, 0, 0x02, 0, 0, 0, 0x02}), Padded({0x85, 0, 0, 0, 0x03})},
        {Padded({0x82, 0, 0, 0, 0x03}), Padded({0x85, 0, 0, 0, 0x04, 0, 0, 0, 0x42})},
        {Padded({0x83, 0, 0, 0, 0x04}),
         Padded({0x87, 0, 0, 0, 0x05, 0, 0, 0, 0x1A, 0x2B, 0x3C, 0x4D})},
        {Padded({0x84, 0, 0, 0, 0x05}),
         Padded({0x89, 0, 0, 0, 0x06, 0, 0, 0, 0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55})},
        {Padded({0x81, 0, 0, 0, 0x01, 0, 0, 0, 0x01}), Padded({0x83, 0, 0, 0, 0x02})},
    };
    for (const Step& s : steps) {
        host.SendReport(s.frame);
        EXPECT_EQ(host.NextInput(), s.reply);
    }

    Bytes start = StartProgramFrame(3, image);
    host.SendReport(start);
    Bytes reply = host.NextInput();
    Bytes expected(emu::kReportSize, 0);
    PutLe32(&expected, 0, Sum(start));
    expected[4] = 0x04;
    EXPECT_EQ(reply, expected);

    uint32_t packet = 5;
    for (std::size_t offset = 48; offset < image.size(); offset += 56, packet += 2) {
        Bytes data = DataFrame(packet, image, offset);
        host.SendReport(data);
        expected.assign(emu::kReportSize, 0);
        PutLe32(&expected, 0, Sum(data));
        PutLe32(&expected, 4, packet + 1);
        EXPECT_EQ(host.NextInput(), expected) << "packet " << packet;
    }
    EXPECT_EQ(packet, 11u);

    emu::Verification v = host.emulator.VerifyFlash(image.data(), image.size());
    EXPECT_TRUE(v.ok) << v.text;
    EXPECT_EQ(v.text, "flash holds the expected 200 bytes");
    EXPECT_EQ(host.emulator.Flash()[200], emu::kErasedFlash);

    host.SendReport(Padded({0x86, 0, 0, 0, 0x0B}));
    EXPECT_EQ(host.NextInput(), Padded({0x91}));  // 145: the sum alone
    EXPECT_EQ(host.NextType(), uint32_t(UHID_DESTROY));
    host.ExpectCreate(0x0821);
}

TEST(BootLoader, UnknownCommandGetsTheSumAlone) {
    Host host(SingleReplyConfig());
    host.ExpectCreate(0x0904);
    host.SendReport(Padded({0x88, 0, 0, 0, 0x01, 0, 0, 0, 0xFF}));
    EXPECT_EQ(host.NextInput(), Padded({0x88, 0x01}));  // 0x188
}

TEST(BootLoader, ImageBytesBeyondTheAnnouncedSizeAreNotStored) {
    Host host(SingleReplyConfig());
    host.ExpectCreate(0x0904);
    Bytes image = TestImage(60);  // Start Program plus one data frame carrying 12 bytes
    Bytes oversized = TestImage(200);
    host.SendReport(StartProgramFrame(3, image));
    host.SendReport(DataFrame(5, oversized, 48));  // 56 bytes, of which 12 lie in the image
    host.SendReport(DataFrame(7, oversized, 104));  // wholly beyond the image
    ASSERT_TRUE(host.emulator.WaitForInputs(3, kTimeout));
    emu::Counters c = host.emulator.GetCounters();
    EXPECT_EQ(c.flashImageSize, 60u);
    EXPECT_EQ(c.flashBytesWritten, 60u);
    EXPECT_TRUE(host.emulator.VerifyFlash(image.data(), image.size()).ok);
    EXPECT_EQ(host.emulator.Flash()[60], emu::kErasedFlash);
}

std::vector<std::size_t> OutputPositions(const std::vector<emu::LogEvent>& log) {
    std::vector<std::size_t> at;
    for (std::size_t i = 0; i < log.size(); ++i)
        if (log[i].kind == emu::EventKind::Output) at.push_back(i);
    return at;
}

// Every input report in log[begin, end) equals reply; returns how many there were.
std::size_t CountReplies(const std::vector<emu::LogEvent>& log, std::size_t begin,
                         std::size_t end, const Bytes& reply) {
    std::size_t n = 0;
    for (std::size_t i = begin; i < end; ++i) {
        if (log[i].kind != emu::EventKind::Input) continue;
        EXPECT_EQ(log[i].bytes, reply) << "event " << i;
        ++n;
    }
    return n;
}

TEST(BootLoader, RepeatingModelRepeatsTheAnswerUntilTheNextFrame) {
    Host host(FastConfig(emu::Personality::BootLoader));  // repeats every 5 ms by default
    host.ExpectCreate(0x0904);
    host.SendReport(Padded({0x80, 0, 0, 0, 0x01}));
    ASSERT_TRUE(host.emulator.WaitForInputs(3, kTimeout));
    host.SendReport(Padded({0x81, 0, 0, 0, 0x02, 0, 0, 0, 0x02}));
    ASSERT_TRUE(host.emulator.WaitFor(
        [](const emu::Counters& c) { return c.outputsReceived == 2; }, kTimeout));
    uint64_t before = host.emulator.GetCounters().inputsSent;
    ASSERT_TRUE(host.emulator.WaitForInputs(before + 3, kTimeout));
    host.emulator.Stop();

    auto log = host.emulator.Log();
    auto outputs = OutputPositions(log);
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_GE(CountReplies(log, outputs[0], outputs[1], Padded({0x81, 0, 0, 0, 0x02})), 3u);
    EXPECT_GE(CountReplies(log, outputs[1], log.size(), Padded({0x85, 0, 0, 0, 0x03})), 3u);
}

TEST(BootLoader, SingleModelAnswersOnce) {
    emu::Config config = FastConfig(emu::Personality::BootLoader);
    config.timing.bootLoaderReplies = emu::ReplyModel::Single;
    Host host(config);
    host.ExpectCreate(0x0904);
    host.SendReport(Padded({0x80, 0, 0, 0, 0x01}));
    EXPECT_EQ(host.NextInput(), Padded({0x81, 0, 0, 0, 0x02}));
    // Forty repeat intervals of the other model pass without a second report.
    EXPECT_FALSE(host.emulator.WaitForInputs(2, 200ms));
    host.SendReport(Padded({0x81, 0, 0, 0, 0x02, 0, 0, 0, 0x02}));
    EXPECT_EQ(host.NextInput(), Padded({0x85, 0, 0, 0, 0x03}));
    EXPECT_EQ(host.emulator.GetCounters().inputsSent, 2u);
}

}  // namespace
}  // namespace emutest
