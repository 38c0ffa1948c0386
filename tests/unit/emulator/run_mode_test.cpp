// Run mode: framed commands in, one framed group-1 reply out, and the reset into the boot loader.
#include <gtest/gtest.h>

#include "protocol/Lcmd.h"
#include "tests/unit/emulator/Host.h"

namespace emutest {
namespace {

Bytes Framed(const LCmd& cmd) { return BuildFrame(cmd, MODE_FRAMED); }

// A device frame as the updater expects it: 10 02 01 00 L code payload 10 03 check, padded.
Bytes DeviceFrame(uint8_t code, const Bytes& payload) {
    Bytes f{0x10, 0x02, 0x01, 0x00, uint8_t(payload.size() + 1), code};
    f.reserve(emu::kReportSize);
    f.insert(f.end(), payload.begin(), payload.end());
    f.push_back(0x10);
    f.push_back(0x03);
    uint8_t check = 0;
    for (uint8_t b : f) check ^= b;
    f.push_back(check);
    f.resize(emu::kReportSize, 0);
    return f;
}

TEST(Appearance, EachPersonalityAnnouncesItselfWithTheVendorDescriptor) {
    const uint8_t descriptor[] = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x02,
                                  0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40,
                                  0x81, 0x02, 0x09, 0x03, 0x91, 0x02, 0xC0};
    struct Case {
        emu::Personality start;
        const char* name;
        uint16_t product;
    } cases[] = {{emu::Personality::RunMode, "DSP Device", 0x0821},
                 {emu::Personality::BootLoader, "DSP Boot Loader", 0x0904}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Host host(FastConfig(c.start));
        uhid_event ev = host.ExpectCreate(c.product);
        EXPECT_STREQ(reinterpret_cast<const char*>(ev.u.create2.name), c.name);
        EXPECT_EQ(ev.u.create2.bus, 3);
        EXPECT_EQ(ev.u.create2.vendor, 0x0168u);
        ASSERT_EQ(ev.u.create2.rd_size, sizeof descriptor);
        EXPECT_EQ(0, std::memcmp(ev.u.create2.rd_data, descriptor, sizeof descriptor));
    }
}

TEST(RunMode, CommandsWithoutDataAreAcknowledgedWithTheirCodeAlone) {
    struct Case {
        Bytes request;
        Bytes reply;
    } cases[] = {
        {Framed(CM_MCS_CMD(1, 16)), Padded({0x10, 0x02, 0x01, 0x00, 0x01, 0x10, 0x10, 0x03, 0x11})},
        {Framed(CM_MCS_CMD(1, 26, 1, 0, 1, 0)),
         Padded({0x10, 0x02, 0x01, 0x00, 0x01, 0x1A, 0x10, 0x03, 0x1B})},
        {Framed(CM_MCS_CMD(1, 18)), Padded({0x10, 0x02, 0x01, 0x00, 0x01, 0x12, 0x10, 0x03, 0x13})},
        {Framed(CM_MCS_CMD(1, 4)), Padded({0x10, 0x02, 0x01, 0x00, 0x01, 0x04, 0x10, 0x03, 0x05})},
        {Framed(CM_MCS_CMD(1, 0x33, 9)),
         Padded({0x10, 0x02, 0x01, 0x00, 0x01, 0x33, 0x10, 0x03, 0x32})},
    };
    Host host(FastConfig());
    host.ExpectCreate(0x0821);
    for (const Case& c : cases) {
        host.SendReport(c.request);
        EXPECT_EQ(host.NextInput(), c.reply);
    }
}

TEST(RunMode, ParameterRequestsServeTheTableRowByRow) {
    emu::Config config = FastConfig();
    for (std::size_t i = 0; i < config.parameters.size(); ++i)
        config.parameters[i] = uint8_t(255 - i);
    config.parameters[0] = 7;
    Host host(config);
    host.ExpectCreate(0x0821);
    for (uint8_t row = 0; row <= 10; ++row) {
        SCOPED_TRACE(int(row));
        host.SendReport(Framed(CM_MCS_CMD(1, 0xA8, row)));
        Bytes reply = host.NextInput();
        std::size_t count = row < 10 ? 50 : 16;
        Bytes payload{row};
        payload.insert(payload.end(), config.parameters.begin() + 50 * row,
                       config.parameters.begin() + 50 * row + count);
        EXPECT_EQ(reply, DeviceFrame(0xA8, payload));
        EXPECT_EQ(reply[4], row < 10 ? 52 : 18);
    }
}

TEST(RunMode, DspBlocksAreUnXoredWithTheTableKeyAndStored) {
    emu::Config config = FastConfig();
    config.parameters.fill(0);
    config.parameters[0] = 1;  // selector: the slot at bytes 21..28
    const uint8_t first[] = {0x12, 0x34, 0x56, 0x78};
    const uint8_t second[] = {0x00, 0x00, 0xFF, 0x0F};
    std::copy_n(first, 4, config.parameters.begin() + 21);
    std::copy_n(second, 4, config.parameters.begin() + 25);
    const uint32_t key = 0x77A93412;
    ASSERT_EQ(emu::DeriveKey(config.parameters), key);

    Bytes image(32 * 301, 0);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 13 + 5);
    Host host(config);
    host.ExpectCreate(0x0821);
    for (int block : {3, 300}) {
        host.SendReport(Framed(CM_MCS_DSP_BYTE_PROG(block, image.data(), key)));
        EXPECT_EQ(host.NextInput(), DeviceFrame(0x53, {uint8_t(block >> 8), uint8_t(block)}));
    }
    Bytes memory = host.emulator.DspMemory();
    for (int block : {3, 300})
        EXPECT_TRUE(std::equal(image.begin() + 32 * block, image.begin() + 32 * block + 32,
                               memory.begin() + 32 * block));
    EXPECT_EQ(memory[32 * 4], 0);  // a block never sent stays empty
    EXPECT_EQ(host.emulator.GetCounters().dspBlocksStored, 2u);
}

TEST(RunMode, MalformedFramesAreIgnoredAndTheNextGoodOneAnswered) {
    Bytes good = Framed(CM_MCS_CMD(1, 16));
    Bytes badCheck = good;
    badCheck[8] ^= 1;
    Bytes deviceDirection = good;
    deviceDirection[2] = 0x01;
    Bytes lengthBeyondReport = good;
    lengthBeyondReport[4] = 0x60;
    Bytes noTrailer = good;
    noTrailer[7] = 0x04;
    Bytes isp = Padded({0x80, 0, 0, 0, 1});
    Host host(FastConfig());
    host.ExpectCreate(0x0821);
    for (const Bytes& bad : {badCheck, deviceDirection, lengthBeyondReport, noTrailer, isp})
        host.SendReport(bad);
    // A report with ID 1: the device has numbered reports nowhere.
    uhid_event numbered;
    std::memset(&numbered, 0, sizeof numbered);
    numbered.type = UHID_OUTPUT;
    numbered.u.output.size = 65;
    numbered.u.output.data[0] = 1;
    std::copy(good.begin(), good.end(), numbered.u.output.data + 1);
    host.Write(&numbered, sizeof numbered);

    host.SendReport(good);
    EXPECT_EQ(host.NextInput(), DeviceFrame(16, {}));
    emu::Counters c = host.emulator.GetCounters();
    EXPECT_EQ(c.framesIgnored, 6u);
    EXPECT_EQ(c.framesHandled, 1u);
    EXPECT_EQ(c.inputsSent, 1u);
}

TEST(RunMode, RecordsArrivingInPiecesAreReassembled) {
    Host host(FastConfig());
    host.ExpectCreate(0x0821);
    uhid_event ev;
    std::memset(&ev, 0, sizeof ev);
    ev.type = UHID_OUTPUT;
    ev.u.output.size = 65;
    Bytes frame = Framed(CM_MCS_CMD(1, 18));
    std::copy(frame.begin(), frame.end(), ev.u.output.data + 1);
    const auto* p = reinterpret_cast<const uint8_t*>(&ev);
    const std::size_t pieces[] = {3, 1000, 2000, sizeof ev - 3003};
    for (std::size_t n : pieces) {
        host.Write(p, n);
        p += n;
        EXPECT_TRUE(host.WaitUntilConsumed());
    }
    EXPECT_EQ(host.NextInput(), DeviceFrame(18, {}));
}

TEST(RunMode, ResetRequestIsAnsweredThenTheBootLoaderAppears) {
    Host host(FastConfig());
    host.ExpectCreate(0x0821);
    host.SendReport(Framed(CM_MCS_IAP_RESET(8)));
    EXPECT_EQ(host.NextInput(), DeviceFrame(8, {}));
    EXPECT_EQ(host.NextType(), uint32_t(UHID_DESTROY));
    host.ExpectCreate(0x0904);
    emu::Counters c = host.emulator.GetCounters();
    EXPECT_EQ(c.personality, emu::Personality::BootLoader);
    EXPECT_EQ(c.departures, 1u);
}

}  // namespace
}  // namespace emutest
