// Whole updates against the emulated device: the chain from Start Program to the success box,
// what goes over the wire, and how failures and interruptions end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <numeric>

#include "app/Texts.h"
#include "tests/support/UpdaterHarness.h"

namespace {

using harness::FastDevice;
using harness::Harness;
using harness::SmallImages;

constexpr uint8_t kIspData = 0x00;
constexpr uint8_t kIspReset = 0x86;

std::vector<emu::Bytes> ispFrames(const emu::DeviceEmulator& device) {
    std::vector<emu::Bytes> frames;
    for (const emu::LogEvent& event : device.Log())
        if (event.kind == emu::EventKind::Output &&
            event.personality == emu::Personality::BootLoader && event.bytes.size() > 1)
            frames.emplace_back(event.bytes.begin() + 1, event.bytes.end());
    return frames;
}

std::vector<int> ispCommands(const emu::DeviceEmulator& device) {
    std::vector<int> commands;
    for (const emu::Bytes& frame : ispFrames(device)) commands.push_back(frame[0]);
    return commands;
}

void expectDeviceHoldsImages(const Harness& h, const emu::DeviceEmulator& device) {
    std::vector<uint8_t> flash = h.ExpectedFlash();
    std::vector<uint8_t> dsp = h.ExpectedDsp();
    emu::Verification f = device.VerifyFlash(flash.data(), flash.size());
    emu::Verification d = device.VerifyDsp(dsp.data(), dsp.size());
    EXPECT_TRUE(f.ok) << f.text;
    EXPECT_TRUE(d.ok) << d.text;
}

std::vector<int> expectedRunModeCodes(bool fromRunMode, int dspBlocks) {
    std::vector<int> codes;
    if (fromRunMode) codes = {cmd::kOpen, cmd::kIapReset};
    codes.push_back(cmd::kOpen);
    codes.push_back(cmd::kParamBlock);
    codes.push_back(cmd::kUnlock);
    for (int i = 1; i <= 10; ++i) codes.push_back(cmd::kParamBlock);
    codes.push_back(cmd::kOpen);
    for (int i = 0; i < dspBlocks; ++i) codes.push_back(cmd::kDspBlock);
    codes.push_back(cmd::kKeepAlive);
    codes.push_back(cmd::kClose);
    return codes;
}

TEST(WholeUpdate, FromRunModeProgramsBothImagesInProtocolOrder) {
    Harness h;
    SmallImages images(200, 40);
    h.UseImages(images);
    emu::DeviceEmulator& device = h.Attach(FastDevice());
    h.Start();
    ASSERT_TRUE(h.WaitForStartEnabled());
    ASSERT_TRUE(h.RunUpdate());
    ASSERT_TRUE(h.WaitFor([&] {
        return !h.runModeReplies.empty() && h.runModeReplies.back().code == cmd::kClose;
    }));
    expectDeviceHoldsImages(h, device);
    // 4 + 4 * 40 = 164 image bytes: blocks 0..5.
    EXPECT_EQ(harness::RunModeCodes(device), expectedRunModeCodes(true, 6));
    const std::vector<int> expectedIsp = {0x80, 0x81, 0x82, 0x83, 0x84, 0x81, 0x85,
                                          kIspData, kIspData, kIspData, kIspReset};
    EXPECT_EQ(ispCommands(device), expectedIsp);
    TfmIsp& isp = h.isp();
    EXPECT_EQ(isp.runStep, 0);
    EXPECT_EQ(isp.updateActive, 0);
    EXPECT_FALSE(isp.btnStartProgram.Enabled());
    ASSERT_TRUE(isp.usbProc);
    EXPECT_EQ(isp.sbStatus.GetColor(), ui::clBtnFace);
    EXPECT_EQ(h.boxes.size(), 1u);
    EXPECT_EQ(h.boxes[0].type, ui::MsgType::Information);
    // The device came back within 500 ms of MCU Reset; its parameter read kept its link.
    EXPECT_EQ(std::memcmp(isp.paramTable, emu::DefaultParameterTable().data(), kParamTableSize), 0);
    EXPECT_EQ(isp.dspKey, emu::DeriveKey(emu::DefaultParameterTable()));
}

TEST(WholeUpdate, FromTheBootLoaderStartsProgrammingAtOnce) {
    Harness h;
    SmallImages images(100, 8);
    h.UseImages(images);
    emu::DeviceEmulator& device = h.Attach(FastDevice(emu::Personality::BootLoader));
    h.Start();
    ASSERT_TRUE(h.WaitForStartEnabled());
    ASSERT_TRUE(h.RunUpdate());
    expectDeviceHoldsImages(h, device);
    std::vector<int> codes = harness::RunModeCodes(device);
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(codes.front(), cmd::kOpen);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), int(cmd::kIapReset)), 0);
}

TEST(WholeUpdate, EmbeddedDspImageGoesOutIn764Blocks) {
    Harness h;
    SmallImages images(60, 0);
    h.UseMcuImage(images);
    emu::DeviceEmulator& device = h.Attach(FastDevice());
    h.Start();
    ASSERT_TRUE(h.WaitForStartEnabled());
    ASSERT_TRUE(h.RunUpdate());
    expectDeviceHoldsImages(h, device);
    const std::vector<int> codes = harness::RunModeCodes(device);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), int(cmd::kDspBlock)), 764);
    EXPECT_EQ(h.isp().dspBlockCount, 763);
    EXPECT_EQ(h.isp().pbProgress.Max(), 763);
    // The last block carries the final 12 image bytes and 20 zero bytes, XORed with the key.
    emu::Bytes last;
    for (const emu::Bytes& report : harness::ReceivedReports(device))
        if (report.size() > 8 && report[5] == cmd::kDspBlock) last = report;
    ASSERT_GE(last.size(), 43u);
    const uint32_t key = h.isp().dspKey;
    for (int i = 12; i < 32; ++i) EXPECT_EQ(last[8 + i], uint8_t(key >> (8 * (i % 4)))) << i;
    EXPECT_NE(std::find(h.steps.begin(), h.steps.end(), "Dsp Progrmming 763"), h.steps.end());
}

// Frames and gates of a 200-byte image, first run after start.
TEST(WholeUpdate, IspFramesOfASmallImage) {
    Harness h;
    SmallImages images(200, 8);
    h.UseImages(images);
    std::vector<int> gates;  // the reply gate armed after each frame, read as the next step begins
    int progressMax = 0;
    h.isp().onStepText = [&](const std::string& step) {
        h.steps.push_back(step);
        gates.push_back(h.isp().tmUsbWait.Interval());
        if (step == "Mcu Programing 0") progressMax = h.isp().pbProgress.Max();
    };
    emu::DeviceEmulator& device = h.Attach(FastDevice(emu::Personality::BootLoader));
    h.Start();
    ASSERT_TRUE(h.WaitForStartEnabled());
    ASSERT_TRUE(h.RunUpdate());
    const std::vector<emu::Bytes> frames = ispFrames(device);
    ASSERT_EQ(frames.size(), 11u);
    const std::vector<uint8_t> image = h.ExpectedFlash();
    auto sum = [](const emu::Bytes& b) { return std::accumulate(b.begin(), b.end(), 0u); };
    auto imageSum = [&](int from, int to) {
        return std::accumulate(image.begin() + from, image.begin() + to + 1, 0u);
    };
    const unsigned expectedSums[] = {129, 133, 133, 135, 137, 131, 336 + imageSum(0, 47),
                                     5 + imageSum(48, 103), 7 + imageSum(104, 159),
                                     9 + imageSum(160, 199), 145};
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].size(), 64u) << i;
        EXPECT_EQ(sum(frames[i]), expectedSums[i]) << i;
    }
    EXPECT_EQ(frames[7][4], 5);   // data packet numbers 5, 7, 9
    EXPECT_EQ(frames[9][4], 9);
    EXPECT_EQ(frames[10][4], 11);
    EXPECT_EQ(frames[6][12], 200);
    // Steps: Connect .. Start Program, then Mcu Programing 0, 1, 2, MCU Reset.
    std::vector<std::string> isp(h.steps.begin(), h.steps.begin() + 12);
    const std::vector<std::string> expectedSteps = {
        "Connect", "Sync Package", "Get Firmware Version", "Get Device ID",
        "Device ID : 4D3C2B1A, 00000000, 00000000", "Read Config", "Sync Program",
        "Start Program", "Mcu Programing 0", "Mcu Programing 1", "Mcu Programing 2", "MCU Reset"};
    EXPECT_EQ(isp, expectedSteps);
    // Gates seen as each following step begins: 20 ms through Sync Program, 1000 ms after Start
    // Program, 20 ms after the first data frame, 200 ms after the last two.
    const std::vector<int> expectedGates = {20, 20, 20, 20, 20, 20, 20, 1000, 20, 200, 200};
    EXPECT_EQ(std::vector<int>(gates.begin() + 1, gates.begin() + 12), expectedGates);
    EXPECT_EQ(progressMax, 4);
}

struct SizeCase {
    int imageBytes;
    int dataFrames;
    std::vector<int> bytesPerFrame;
};

TEST(WholeUpdate, DataFramesByImageSize) {
    const SizeCase cases[] = {
        {40, 1, {0}}, {48, 1, {0}}, {49, 1, {1}}, {104, 1, {56}}, {105, 2, {56, 1}}, {160, 2, {56, 56}},
    };
    for (const SizeCase& c : cases) {
        SCOPED_TRACE(c.imageBytes);
        Harness h;
        SmallImages images(c.imageBytes, 8);
        h.UseImages(images);
        emu::DeviceEmulator& device = h.Attach(FastDevice(emu::Personality::BootLoader));
        h.Start();
        ASSERT_TRUE(h.WaitForStartEnabled());
        ASSERT_TRUE(h.RunUpdate());
        std::vector<int> carried;
        int offset = 48;
        for (const emu::Bytes& frame : ispFrames(device)) {
            if (frame[0] != kIspData) continue;
            int n = std::clamp(c.imageBytes - offset, 0, 56);
            carried.push_back(n);
            offset += n;
            for (int i = 8 + n; i < 64; ++i) ASSERT_EQ(frame[i], 0) << "frame byte " << i;
        }
        EXPECT_EQ(carried, c.bytesPerFrame);
        expectDeviceHoldsImages(h, device);
    }
}

TEST(WholeUpdate, SecondRunIsPacedSlowerAndShowsTheOldConfiguration) {
    Harness h;
    SmallImages images(120, 8);
    h.UseImages(images);
    std::vector<int> gates;
    h.isp().onStepText = [&](const std::string& step) {
        h.steps.push_back(step);
        gates.push_back(h.isp().tmUsbWait.Interval());
    };
    emu::DeviceEmulator& first = h.Attach(FastDevice());
    h.Start();
    ASSERT_TRUE(h.WaitForStartEnabled());
    ASSERT_TRUE(h.RunUpdate());
    // Unplug and plug in again: Start Program comes back.
    first.Stop();
    ASSERT_TRUE(h.WaitFor([&] { return h.isp().hidDevice == nullptr; }));
    h.steps.clear();
    gates.clear();
    h.Attach(FastDevice());
    ASSERT_TRUE(h.WaitForStartEnabled());
    ASSERT_TRUE(h.RunUpdate()) << (h.boxes.empty() ? "" : h.boxes.back().text) << " "
                               << (h.steps.empty() ? "" : h.steps.back()) << " inputs "
                               << h.devices.back()->GetCounters().inputsSent << " outputs "
                               << h.devices.back()->GetCounters().outputsReceived << " rx "
                               << h.isp().rxEnabled << " gate " << h.isp().tmUsbWait.Enabled();
    auto at = std::find(h.steps.begin(), h.steps.end(), "Sync Package");
    ASSERT_NE(at, h.steps.end());
    EXPECT_EQ(gates[std::size_t(at - h.steps.begin())], 200);
    EXPECT_NE(std::find(h.steps.begin(), h.steps.end(), "Device ID : 4D3C2B1A, 11223344, 55667788"),
              h.steps.end());
}

TEST(IspSequence, ProgramIndexOfLowPacketNumbers) {
    Harness h;
    struct Case { int packetNo; int programIndex; };
    for (Case c : {Case{2, 0}, Case{1, -1}, Case{0, -1}, Case{5, 1}}) {
        h.isp().ispStep = 9;
        h.isp().packetNo = c.packetNo;
        h.isp().imageSize = 200;
        h.isp().imageOffset = 48;
        h.isp().sendIspStep();  // no link: built, not sent
        EXPECT_EQ(h.isp().programIndex, c.programIndex) << c.packetNo;
    }
    EXPECT_FALSE(h.isp().tmUsbWait.Enabled());
}

class NoDevice : public hid::Device {
public:
    uint16_t VendorID() const override { return kVendorId; }
    uint16_t ProductID() const override { return kBootLoaderProductId; }
    int OutputReportLength() const override { return 65; }
    int InputReportLength() const override { return 65; }
    bool WriteReport(const uint8_t*, std::size_t) override { return false; }
    std::string Path() const override { return "none"; }
    bool IsCheckedOut() const override { return true; }
};

TEST(IspSequence, StaleRepeatOfThePreviousAnswerDoesNotCloseTheGate) {
    Harness h;
    NoDevice device;
    TfmIsp& isp = h.isp();
    auto answer = [](uint32_t sum, uint8_t packet) {
        std::vector<uint8_t> report(64, 0);
        for (int i = 0; i < 4; ++i) report[std::size_t(i)] = uint8_t(sum >> (8 * i));
        report[4] = packet;
        return report;
    };
    const std::vector<uint8_t> previous = answer(129, 2), current = answer(133, 3);
    isp.ispStep = 3;
    isp.frameSum = 129;
    isp.rxEnabled = true;
    isp.HidCtlDeviceData(device, 0, previous.data(), 64);
    EXPECT_FALSE(isp.rxEnabled);  // taken: it answers the frame it echoes
    // The next frame is out and its gate open; a late repeat of the previous answer arrives.
    isp.frameSum = 133;
    isp.rxEnabled = true;
    isp.HidCtlDeviceData(device, 0, previous.data(), 64);
    EXPECT_TRUE(isp.rxEnabled);
    isp.HidCtlDeviceData(device, 0, current.data(), 64);
    EXPECT_FALSE(isp.rxEnabled);
    // Two frames with the same sum: the same answer again is taken as the reply.
    isp.rxEnabled = true;
    isp.HidCtlDeviceData(device, 0, current.data(), 64);
    EXPECT_FALSE(isp.rxEnabled);
}

struct WrongSumCase {
    int command;
    const char* box;
    bool linkKept;
};

TEST(Failures, WrongEchoSumAtEachIspStep) {
    const WrongSumCase cases[] = {
        {0x80, "ISP Start Error !!", false},     {0x81, "ISP Sync Error !!", false},
        {0x82, "Erase All Error !!", true},      {0x83, "Get ID Error !!", false},
        {0x84, "Erase All Error !!", true},      {0x85, "Program Start Error !!", true},
        {0x00, "Program Data Error !!", true},
    };
    for (const WrongSumCase& c : cases) {
        SCOPED_TRACE(c.box);
        Harness h;
        SmallImages images(200, 8);
        h.UseImages(images);
        emu::Config config = FastDevice(emu::Personality::BootLoader);
        emu::Fault fault;
        fault.kind = emu::FaultKind::WrongSum;
        fault.at.stage = emu::Stage::IspCommand;
        fault.at.code = c.command;
        config.faults.push_back(fault);
        emu::DeviceEmulator& device = h.Attach(config);
        h.Start();
        ASSERT_TRUE(h.WaitForStartEnabled());
        h.isp().btnStartProgram.Click();
        ASSERT_TRUE(h.WaitForBox(c.box));
        EXPECT_EQ(h.boxes.front().type, ui::MsgType::Error);
        EXPECT_EQ(bool(h.isp().usbProc), c.linkKept);
        // Nothing is left hanging: Start Program is back and a new update completes.
        EXPECT_TRUE(h.isp().btnStartProgram.Enabled());
        EXPECT_EQ(h.isp().updateActive, 0);
        ASSERT_TRUE(h.RunUpdate());
        expectDeviceHoldsImages(h, device);
    }
}

TEST(Failures, WrongSyncProgramSumShowsEraseAllError) {
    Harness h;
    SmallImages images(100, 8);
    h.UseImages(images);
    emu::Config config = FastDevice(emu::Personality::BootLoader);
    emu::Fault fault;
    fault.kind = emu::FaultKind::WrongSum;
    fault.at = {emu::Stage::IspCommand, 0x81, emu::kAny, 2};  // the second 0x81 is Sync Program
    config.faults.push_back(fault);
    h.Attach(config);
    h.Start();
    ASSERT_TRUE(h.WaitForStartEnabled());
    h.isp().btnStartProgram.Click();
    ASSERT_TRUE(h.WaitForBox("Erase All Error !!"));
    EXPECT_TRUE(h.isp().usbProc);
}

struct UnplugCase {
    const char* name;
    emu::StagePoint at;
    const char* box;  // nullptr: the update goes on by itself
};

TEST(Failures, UnplugAtEachStage) {
    const UnplugCase cases[] = {
        {"reset request", {emu::Stage::RunCommand, cmd::kIapReset}, nullptr},
        {"get device id", {emu::Stage::IspCommand, 0x83}, text::kUnpluggedDuringMcu},
        {"first data frame", {emu::Stage::DataFrame, emu::kAny, 0}, text::kUnpluggedDuringMcu},
        {"middle data frame", {emu::Stage::DataFrame, emu::kAny, emu::kMiddleDataFrame},
         text::kUnpluggedDuringMcu},
        {"last data frame", {emu::Stage::DataFrame, emu::kAny, emu::kLastDataFrame},
         text::kUnpluggedDuringMcu},
        {"mcu reset", {emu::Stage::IspCommand, kIspReset}, nullptr},
        {"parameter read", {emu::Stage::ParamRequest, emu::kAny, 4}, nullptr},
        {"first dsp block", {emu::Stage::DspBlock, emu::kAny, 0}, text::kUnpluggedDuringDsp},
        {"last dsp block", {emu::Stage::DspBlock, emu::kAny, 5}, text::kUnpluggedDuringDsp},
    };
    for (const UnplugCase& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        SmallImages images(300, 40);
        h.UseImages(images);
        emu::Config config = FastDevice();
        emu::Fault fault;
        fault.kind = emu::FaultKind::Unplug;
        fault.at = c.at;
        fault.returnAfter = std::chrono::milliseconds(30);
        config.faults.push_back(fault);
        emu::DeviceEmulator& device = h.Attach(config);
        h.Start();
        ASSERT_TRUE(h.WaitForStartEnabled());
        h.isp().btnStartProgram.Click();
        if (c.box == nullptr) {
            if (c.at.stage == emu::Stage::RunCommand) {
                // The device ignored the reset and came back running its firmware: Start again.
                ASSERT_TRUE(h.WaitForStartEnabled());
                ASSERT_TRUE(h.RunUpdate());
            } else {
                ASSERT_TRUE(h.WaitForBox(text::kProgramOk));
                EXPECT_EQ(h.boxes.size(), 1u);
            }
        } else {
            ASSERT_TRUE(h.WaitForBox(c.box));
            EXPECT_EQ(h.boxes.size(), 1u);
            ASSERT_TRUE(h.WaitForStartEnabled());
            ASSERT_TRUE(h.RunUpdate());
        }
        expectDeviceHoldsImages(h, device);
        for (std::size_t i = 0; i + 1 < h.boxes.size(); ++i)
            EXPECT_NE(h.boxes[i].text, text::kProgramOk);
    }
}

TEST(Failures, BadParameterTableStopsBeforeDspProgramming) {
    for (emu::FaultKind kind : {emu::FaultKind::BadRowIndex, emu::FaultKind::BadSelector}) {
        SCOPED_TRACE(int(kind));
        Harness h;
        SmallImages images(100, 8);
        h.UseImages(images);
        emu::Config config = FastDevice(emu::Personality::BootLoader);
        emu::Fault fault;
        fault.kind = kind;
        fault.at = {emu::Stage::ParamRequest, emu::kAny, kind == emu::FaultKind::BadSelector ? 0 : 3};
        config.faults.push_back(fault);
        emu::DeviceEmulator& device = h.Attach(config);
        h.Start();
        ASSERT_TRUE(h.WaitForStartEnabled());
        h.isp().btnStartProgram.Click();
        ASSERT_TRUE(h.WaitForBox(text::kBadParameters));
        const std::vector<int> codes = harness::RunModeCodes(device);
        EXPECT_EQ(std::count(codes.begin(), codes.end(), int(cmd::kDspBlock)), 0);
        ASSERT_TRUE(h.WaitForStartEnabled());
        ASSERT_TRUE(h.RunUpdate());
    }
}

TEST(Failures, EarlyReplyIsDroppedByTheGateAndTheSequenceWaits) {
    Harness h;
    SmallImages images(100, 8);
    h.UseImages(images);
    emu::Config config = FastDevice(emu::Personality::BootLoader);
    config.timing.bootLoaderReplies = emu::ReplyModel::Single;
    emu::DeviceEmulator& device = h.Attach(config);
    h.Start();
    ASSERT_TRUE(h.WaitForStartEnabled());
    h.isp().btnStartProgram.Click();
    ASSERT_TRUE(h.WaitFor([&] { return device.GetCounters().inputsSent >= 1; }));
    h.Pump(300);
    EXPECT_EQ(h.isp().ispStep, 2);
    EXPECT_EQ(ispCommands(device).size(), 1u);
    EXPECT_TRUE(h.boxes.empty());
    // Unplugging ends the wait with a word to the user.
    device.Stop();
    ASSERT_TRUE(h.WaitForBox(text::kUnpluggedDuringMcu));
}

struct BrokenImageCase {
    const char* name;
    std::function<void(std::vector<std::string>&)> spoil;
    const char* box;
    bool plain;
};

TEST(Failures, ImageThatDoesNotLoadCompletelyIsNeverProgrammed) {
    const BrokenImageCase cases[] = {
        {"no end-of-file record", [](auto& lines) { lines.pop_back(); }, text::kImageIncomplete,
         false},
        {"a line that is not a record",
         [](auto& lines) { lines.insert(lines.end() - 1, "garbage"); }, text::kImageIncomplete,
         false},
        {"a record with a wrong checksum", [](auto& lines) { lines[1].back() ^= 1; },
         text::kChecksumError, true},
    };
    for (const BrokenImageCase& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        SmallImages images(64, 8);
        std::vector<std::string> lines = images.hexLines;
        c.spoil(lines);
        images.SetHexLines(lines);
        h.UseImages(images);
        emu::DeviceEmulator& device = h.Attach(FastDevice());
        h.Start();
        ASSERT_TRUE(h.WaitForStartEnabled());
        h.isp().btnStartProgram.Click();
        ASSERT_TRUE(h.WaitForBox(c.box));
        h.Pump(200);
        ASSERT_EQ(h.boxes.size(), 1u);
        EXPECT_EQ(h.boxes[0].plain, c.plain);
        EXPECT_TRUE(harness::ReceivedReports(device).empty());
        EXPECT_TRUE(h.isp().btnStartProgram.Enabled());
        EXPECT_EQ(h.isp().updateActive, 0);
    }
}

}  // namespace
