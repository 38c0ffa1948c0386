// Fault plans: the device misbehaving at a chosen stage, and the stage texts that name them.
#include <gtest/gtest.h>

#include <functional>

#include "protocol/Lcmd.h"
#include "tests/unit/emulator/Isp.h"

namespace emutest {
namespace {

Bytes Framed(const LCmd& cmd) { return BuildFrame(cmd, MODE_FRAMED); }

emu::Fault At(emu::FaultKind kind, const std::string& stage, std::optional<int> value = {}) {
    emu::Fault f;
    f.kind = kind;
    f.value = value;
    std::string error;
    EXPECT_TRUE(emu::ParseStage(stage, &f.at, &error)) << error;
    f.returnAfter = 5ms;
    return f;
}

const Bytes kOpenReply = Padded({0x10, 0x02, 0x01, 0x00, 0x01, 0x10, 0x10, 0x03, 0x11});

// Each case: one fault, one run-mode request, and what the host must see in place of the reply.
TEST(Faults, RunModeRepliesAreAlteredAsPlanned) {
    struct Case {
        const char* name;
        emu::Fault fault;
        Bytes request;
        std::function<void(Host&)> check;
    } cases[] = {
        {"oversized length", At(emu::FaultKind::OversizedLength, "run:16"), Framed(CM_MCS_CMD(1, 16)),
         [](Host& h) {
             Bytes expected = kOpenReply;
             expected[4] = 57;
             EXPECT_EQ(h.NextInput(), expected);
         }},
        {"short report", At(emu::FaultKind::ShortReport, "run:16", 7), Framed(CM_MCS_CMD(1, 16)),
         [](Host& h) { EXPECT_EQ(h.NextInput(), Bytes(kOpenReply.begin(), kOpenReply.begin() + 7)); }},
        {"double reply", At(emu::FaultKind::DoubleReply, "run:16"), Framed(CM_MCS_CMD(1, 16)),
         [](Host& h) {
             EXPECT_EQ(h.NextInput(), kOpenReply);
             EXPECT_EQ(h.NextInput(), kOpenReply);
         }},
        {"unknown code", At(emu::FaultKind::UnknownCode, "run:18", 0x77), Framed(CM_MCS_CMD(1, 18)),
         [](Host& h) {
             EXPECT_EQ(h.NextInput(), Padded({0x10, 0x02, 0x01, 0x00, 0x01, 0x77, 0x10, 0x03, 0x76}));
         }},
        {"garbage first", At(emu::FaultKind::Garbage, "run:16", 2), Framed(CM_MCS_CMD(1, 16)),
         [](Host& h) {
             Bytes first = h.NextInput(), second = h.NextInput();
             EXPECT_EQ(first.size(), emu::kReportSize);
             EXPECT_NE(first, second);
             EXPECT_NE(first, kOpenReply);
             EXPECT_EQ(h.NextInput(), kOpenReply);
         }},
        {"bad row index", At(emu::FaultKind::BadRowIndex, "param:3"),
         Framed(CM_MCS_CMD(1, 0xA8, 3)),
         [](Host& h) {
             Bytes r = h.NextInput();
             EXPECT_EQ(r[5], 0xA8);
             EXPECT_EQ(r[6], 11);
             EXPECT_EQ(r[7], emu::DefaultParameterTable()[150]);
         }},
        {"bad selector", At(emu::FaultKind::BadSelector, "param:0", 40),
         Framed(CM_MCS_CMD(1, 0xA8, 0)),
         [](Host& h) {
             Bytes r = h.NextInput();
             EXPECT_EQ(r[6], 0);
             EXPECT_EQ(r[7], 40);
             EXPECT_EQ(r[8], emu::DefaultParameterTable()[1]);
         }},
        {"no reply", At(emu::FaultKind::NoReply, "param:3"), Framed(CM_MCS_CMD(1, 0xA8, 3)),
         [](Host& h) {
             h.SendReport(Framed(CM_MCS_CMD(1, 0xA8, 4)));
             EXPECT_EQ(h.NextInput()[6], 4);  // the reply to the next request comes first
         }},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        emu::Config config = FastConfig();
        config.faults = {c.fault};
        Host host(config);
        host.ExpectCreate(0x0821);
        host.SendReport(c.request);
        c.check(host);
        // Only the planned occurrence is struck.
        host.SendReport(Framed(CM_MCS_CMD(1, 16)));
        EXPECT_EQ(host.NextInput(), kOpenReply);
    }
}

TEST(Faults, WrongSumStrikesTheChosenOccurrence) {
    emu::Config config = FastConfig(emu::Personality::BootLoader);
    config.timing.bootLoaderReplies = emu::ReplyModel::Single;
    config.faults = {At(emu::FaultKind::WrongSum, "isp:0x83@2")};
    Host host(config);
    host.ExpectCreate(0x0904);
    Bytes getId = Padded({0x83, 0, 0, 0, 0x04});
    host.SendReport(getId);
    EXPECT_EQ(host.NextInput()[0], 0x87);
    host.SendReport(getId);
    EXPECT_EQ(host.NextInput()[0], 0x88);
    host.SendReport(getId);
    EXPECT_EQ(host.NextInput()[0], 0x87);
}

// Unplugs: the device leaves instead of answering, and comes back where the case says.
TEST(Faults, UnplugLeavesAndReturnsInTheExpectedPersonality) {
    const Bytes image = TestImage(200);
    struct Case {
        const char* name;
        emu::Personality start;
        emu::Fault fault;
        std::vector<Bytes> frames;  // the last one meets the fault
        uint16_t returnsAs;
    } cases[] = {
        {"reset request", emu::Personality::RunMode, At(emu::FaultKind::Unplug, "run:8"),
         {Framed(CM_MCS_IAP_RESET(8))}, 0x0821},
        {"parameter request, forced boot loader", emu::Personality::RunMode,
         At(emu::FaultKind::Unplug, "param:2"), {Framed(CM_MCS_CMD(1, 0xA8, 2))}, 0x0904},
        {"last data frame", emu::Personality::BootLoader, At(emu::FaultKind::Unplug, "data:last"),
         {StartProgramFrame(3, image), DataFrame(5, image, 48), DataFrame(7, image, 104),
          DataFrame(9, image, 160)},
         0x0904},
        {"MCU reset", emu::Personality::BootLoader, At(emu::FaultKind::Unplug, "mcu-reset"),
         {Padded({0x86, 0, 0, 0, 0x0B})}, 0x0821},
    };
    cases[1].fault.returnAs = emu::ReturnAs::BootLoader;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        emu::Config config = FastConfig(c.start);
        config.timing.bootLoaderReplies = emu::ReplyModel::Single;
        config.faults = {c.fault};
        Host host(config);
        host.ExpectCreate(c.start == emu::Personality::RunMode ? 0x0821 : 0x0904);
        for (std::size_t i = 0; i + 1 < c.frames.size(); ++i) {
            host.SendReport(c.frames[i]);
            EXPECT_FALSE(host.NextInput().empty());
        }
        host.SendReport(c.frames.back());
        EXPECT_EQ(host.NextType(), uint32_t(UHID_DESTROY));
        host.ExpectCreate(c.returnsAs);
    }
}

TEST(Faults, UnplugMidImageLeavesTheFlashHalfWritten) {
    const Bytes image = TestImage(200);
    emu::Config config = FastConfig(emu::Personality::BootLoader);
    config.faults = {At(emu::FaultKind::Unplug, "data:middle")};  // frame 1 of 0..2
    Host host(config);
    host.ExpectCreate(0x0904);
    host.SendReport(StartProgramFrame(3, image));
    host.SendReport(DataFrame(5, image, 48));
    host.SendReport(DataFrame(7, image, 104));
    ASSERT_TRUE(host.emulator.WaitForAppearance(emu::Personality::BootLoader, 2, kTimeout));
    EXPECT_EQ(host.emulator.VerifyFlash(image.data(), image.size()).text,
              "flash holds 104 bytes, expected 200");
}

TEST(Stages, TextsNameTheirStage) {
    struct Case {
        const char* text;
        emu::Stage stage;
        int code, index, occurrence;
    } good[] = {
        {"run:8", emu::Stage::RunCommand, 8, emu::kAny, 1},
        {"run:0x12@every", emu::Stage::RunCommand, 18, emu::kAny, 0},
        {"param:10", emu::Stage::ParamRequest, emu::kAny, 10, 1},
        {"dsp:763@2", emu::Stage::DspBlock, emu::kAny, 763, 2},
        {"isp:0x85", emu::Stage::IspCommand, 0x85, emu::kAny, 1},
        {"mcu-reset", emu::Stage::IspCommand, 0x86, emu::kAny, 1},
        {"data:first", emu::Stage::DataFrame, emu::kAny, 0, 1},
        {"data:middle", emu::Stage::DataFrame, emu::kAny, emu::kMiddleDataFrame, 1},
        {"data:last", emu::Stage::DataFrame, emu::kAny, emu::kLastDataFrame, 1},
        {"data:17@3", emu::Stage::DataFrame, emu::kAny, 17, 3},
    };
    for (const Case& c : good) {
        SCOPED_TRACE(c.text);
        emu::StagePoint p;
        std::string error;
        ASSERT_TRUE(emu::ParseStage(c.text, &p, &error)) << error;
        EXPECT_EQ(p.stage, c.stage);
        EXPECT_EQ(p.code, c.code);
        EXPECT_EQ(p.index, c.index);
        EXPECT_EQ(p.occurrence, c.occurrence);
    }
    for (const char* bad : {"", "run", "run:", "run:256", "param:-1", "dsp:65536", "isp:x",
                            "data:late", "run:8@0", "run:8@", "reset", "run:8 "}) {
        emu::StagePoint p;
        std::string error;
        EXPECT_FALSE(emu::ParseStage(bad, &p, &error)) << bad;
        EXPECT_NE(error.find(bad), std::string::npos);
    }
}

TEST(Lifecycle, StopLeavesTheBusAndClosesTheConnection) {
    Host host(FastConfig());
    host.ExpectCreate(0x0821);
    host.emulator.Stop();
    EXPECT_EQ(host.NextType(), uint32_t(UHID_DESTROY));
    uhid_event ev;
    EXPECT_FALSE(host.Next(&ev));  // end of stream
    EXPECT_FALSE(host.emulator.GetCounters().present);
}

TEST(Lifecycle, ClosedConnectionIsNoticed) {
    Host host(FastConfig());
    host.ExpectCreate(0x0821);
    ::close(host.fd);
    host.fd = -1;
    EXPECT_TRUE(host.emulator.WaitFor([](const emu::Counters& c) { return c.peerClosed; },
                                      kTimeout));
}

}  // namespace
}  // namespace emutest
