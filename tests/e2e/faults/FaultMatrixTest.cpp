// Whole updates against an emulated device that misbehaves: unplugged at every stage, wrong echo
// sums, missing replies, reports it should never send, read errors, and the window closed in the
// middle of each phase. Every row checks that the window stays responsive, that the right box (if
// any) is shown, that " Program OK !! " is shown only while the device holds both images, and
// that a new update afterwards completes.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/Texts.h"
#include "tests/support/UpdaterHarness.h"

namespace {

using harness::FastDevice;
using harness::Harness;
using harness::kWaitMs;
using harness::SmallImages;
using Ms = std::chrono::milliseconds;

// 300 MCU bytes: Start Program and five data frames. 40 DSP words: blocks 0 to 5.
constexpr int kMcuBytes = 300;
constexpr int kDspWords = 40;
constexpr int kMiddleDspBlock = 3;
constexpr int kLastDspBlock = 5;

constexpr int kTickMs = 20;
constexpr int kTicksToShowLife = 3;
// How long a stalled update is watched to show that nothing happens by itself.
constexpr int kStallWatchMs = 1000;
// The device returns quickly after an unplug of its own.
constexpr Ms kReturnAfter{30};
// A Stop from within the window's handlers would wait this long; closing must not.
constexpr int kPromptCloseMs = LUsb::kStopWaitMs;
constexpr int kWorkersEndMs = 1000;

constexpr uint8_t kIspConnect = 0x80;
constexpr uint8_t kIspSync = 0x81;
constexpr uint8_t kIspFirmwareVersion = 0x82;
constexpr uint8_t kIspDeviceId = 0x83;
constexpr uint8_t kIspReadConfig = 0x84;
constexpr uint8_t kIspStartProgram = 0x85;
constexpr uint8_t kIspMcuReset = 0x86;

// Where a stage of the update is, as the emulator's fault plans name it.
emu::StagePoint ispCommand(int command, int occurrence = 1) {
    return {emu::Stage::IspCommand, command, emu::kAny, occurrence};
}
emu::StagePoint dataFrame(int index) { return {emu::Stage::DataFrame, emu::kAny, index}; }
emu::StagePoint paramRequest(int index) { return {emu::Stage::ParamRequest, emu::kAny, index}; }
emu::StagePoint dspBlock(int index) { return {emu::Stage::DspBlock, emu::kAny, index}; }
emu::StagePoint runCommand(int code, int occurrence = 1) {
    return {emu::Stage::RunCommand, code, emu::kAny, occurrence};
}

emu::Fault fault(emu::FaultKind kind, emu::StagePoint at, std::optional<int> value = {}) {
    emu::Fault f;
    f.kind = kind;
    f.at = at;
    f.value = value;
    f.returnAfter = kReturnAfter;
    return f;
}

emu::Config deviceWith(std::vector<emu::Fault> faults,
                       emu::Personality start = emu::Personality::RunMode) {
    emu::Config config = FastDevice(start);
    config.faults = std::move(faults);
    return config;
}

std::size_t threadCount() {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        (void)entry;
        ++count;
    }
    return count;
}

// One row: the updater on a hidden window with one emulated device attached, a timer that shows
// the window's loop is alive, every box recorded (and at each success box whether the device
// really holds both images), and the link's status messages.
class FaultRun {
public:
    explicit FaultRun(emu::Config config) : images_(kMcuBytes, kDspWords) {
        h.UseImages(images_);
        ui::SetMessageBoxObserver([this](const ui::BoxRecord& box) { recordBox(box); }, 0);
        h.isp().SetWindowProc([this](ui::Message& message) {
            if (message.Msg == WM_USB_STATUS) linkStatuses.push_back(int(message.WParam));
            h.isp().windowHook(message);
        });
        ticker_.OnTimer = [this] { ++ticks_; };
        ticker_.SetEnabled(true);
        device = &h.Attach(std::move(config));
        h.Start();
        ready = h.WaitForStartEnabled();
    }

    ~FaultRun() {
        ticker_.SetEnabled(false);
        ui::SetMessageBoxObserver([](const ui::BoxRecord&) {}, 0);
    }

    TfmIsp& isp() { return h.isp(); }

    // Where the updater stands, for failure messages.
    std::string where() {
        const emu::Counters c = device->GetCounters();
        return "step '" + isp().stepText() + "', ispStep " + std::to_string(isp().ispStep) +
               ", phase " + std::to_string(int(isp().updatePhase)) + ", runStep " +
               std::to_string(isp().runStep) + ", device in/out " + std::to_string(c.inputsSent) +
               "/" + std::to_string(c.outputsReceived) + ", boxes " + std::to_string(h.boxes.size());
    }

    bool responsive() {
        const int before = ticks_;
        return h.WaitFor([&] { return ticks_ >= before + kTicksToShowLife; });
    }

    int boxesWith(const std::string& text) const {
        int count = 0;
        for (const ui::BoxRecord& box : h.boxes) count += box.text == text;
        return count;
    }

    void unplug() {
        device->Stop();
        h.WaitFor([&] { return isp().hidDevice == nullptr; });
    }

    void plugIn(emu::Personality personality) { device = &h.Attach(FastDevice(personality)); }

    // Waits until nothing has happened for a while: no box, no phase change.
    void expectStalledIn(UpdatePhase phase) {
        const std::size_t boxes = h.boxes.size();
        h.Pump(kStallWatchMs);
        EXPECT_EQ(h.boxes.size(), boxes);
        EXPECT_EQ(isp().updatePhase, phase);
        EXPECT_EQ(boxesWith(text::kProgramOk), 0);
        EXPECT_TRUE(responsive());
    }

    // The flash lives on the emulator last programmed (a replacement stands for the same device
    // plugged in again); the DSP memory on the one attached now.
    emu::Verification deviceHoldsImages() {
        const emu::DeviceEmulator* flashDevice = nullptr;
        for (const auto& d : h.devices)
            if (d->GetCounters().flashImageSize != 0) flashDevice = d.get();
        if (flashDevice == nullptr) return {false, "no device was ever programmed"};
        const std::vector<uint8_t> flash = h.ExpectedFlash();
        const std::vector<uint8_t> dsp = h.ExpectedDsp();
        emu::Verification f = flashDevice->VerifyFlash(flash.data(), flash.size());
        if (!f.ok) return f;
        return h.devices.back()->VerifyDsp(dsp.data(), dsp.size());
    }

    // From whatever state the row left: Start Program is offered (after a success only a new
    // attachment offers it), and the update completes with both images in place.
    void expectNewUpdateCompletes() {
        if (boxesWith(text::kProgramOk) > 0) {
            unplug();
            plugIn(emu::Personality::RunMode);
        }
        ASSERT_TRUE(h.WaitForStartEnabled()) << "dead end: " << where();
        const std::size_t before = h.boxes.size();
        EXPECT_TRUE(h.RunUpdate()) << (h.boxes.size() > before ? h.boxes[before].text : "no box");
        emu::Verification held = deviceHoldsImages();
        EXPECT_TRUE(held.ok) << held.text;
        EXPECT_TRUE(responsive());
        expectNoFalseSuccess();
    }

    void expectNoFalseSuccess() {
        for (const std::string& why : falseSuccess) ADD_FAILURE() << "success box while " << why;
        falseSuccess.clear();
    }

    Harness h;
    emu::DeviceEmulator* device = nullptr;
    bool ready = false;
    std::vector<int> linkStatuses;
    std::vector<std::string> falseSuccess;

private:
    void recordBox(const ui::BoxRecord& box) {
        h.boxes.push_back(box);
        if (box.text != text::kProgramOk) return;
        emu::Verification held = deviceHoldsImages();
        if (!held.ok) falseSuccess.push_back(held.text);
    }

    SmallImages images_;
    ui::Timer ticker_{kTickMs};
    int ticks_ = 0;
};

// ---------------------------------------------------------------------------------------------

// What a row expects of the first update.
enum class Then {
    Completes,    // " Program OK !! " with both images in place
    ShowsBox,     // the row's box, and Start Program offered again
    OffersStart,  // no box; Start Program offered again (the device ignored the reset)
};

struct UnplugRow {
    const char* name;
    emu::StagePoint at;  // the device leaves instead of handling this frame
    emu::ReturnAs returnAs;
    UpdatePhase unplugAt;  // Idle: by the fault above; else the test unplugs in this phase
    Then then;
    const char* box;
    Ms latency{1};  // from each frame to its reply
};

TEST(FaultMatrix, UnplugAtEveryStage) {
    using emu::ReturnAs;
    using P = UpdatePhase;
    const char* mcu = text::kUnpluggedDuringMcu;
    const char* dsp = text::kUnpluggedDuringDsp;
    const UnplugRow rows[] = {
        {"reset request, back in run mode", runCommand(cmd::kIapReset), ReturnAs::Natural, P::Idle,
         Then::OffersStart, nullptr},
        {"reset request, back as boot loader", runCommand(cmd::kIapReset), ReturnAs::BootLoader,
         P::Idle, Then::Completes, nullptr},
        {"connect", ispCommand(kIspConnect), ReturnAs::Natural, P::Idle, Then::ShowsBox, mcu},
        {"sync package", ispCommand(kIspSync), ReturnAs::Natural, P::Idle, Then::ShowsBox, mcu},
        {"firmware version", ispCommand(kIspFirmwareVersion), ReturnAs::Natural, P::Idle,
         Then::ShowsBox, mcu},
        {"device id", ispCommand(kIspDeviceId), ReturnAs::Natural, P::Idle, Then::ShowsBox, mcu},
        {"read config", ispCommand(kIspReadConfig), ReturnAs::Natural, P::Idle, Then::ShowsBox, mcu},
        {"sync program", ispCommand(kIspSync, 2), ReturnAs::Natural, P::Idle, Then::ShowsBox, mcu},
        {"start program", ispCommand(kIspStartProgram), ReturnAs::Natural, P::Idle, Then::ShowsBox,
         mcu},
        {"first data frame", dataFrame(0), ReturnAs::Natural, P::Idle, Then::ShowsBox, mcu},
        {"middle data frame", dataFrame(emu::kMiddleDataFrame), ReturnAs::Natural, P::Idle,
         Then::ShowsBox, mcu},
        {"last data frame", dataFrame(emu::kLastDataFrame), ReturnAs::Natural, P::Idle,
         Then::ShowsBox, mcu},
        {"right after mcu reset", ispCommand(kIspMcuReset), ReturnAs::Natural, P::Idle,
         Then::Completes, nullptr},
        {"first parameter request", paramRequest(0), ReturnAs::Natural, P::Idle, Then::Completes,
         nullptr},
        {"last parameter request", paramRequest(10), ReturnAs::Natural, P::Idle, Then::Completes,
         nullptr},
        // The third command 16 opens DSP programming: the device leaves and is back before the
        // first block is due.
        {"dsp link opened, quick return", runCommand(cmd::kOpen, 3), ReturnAs::Natural, P::Idle,
         Then::Completes, nullptr},
        // The same with a read slow enough to be under way when the first block would be due.
        {"dsp link opened, back during the read", runCommand(cmd::kOpen, 3), ReturnAs::Natural,
         P::Idle, Then::Completes, nullptr, Ms(12)},
        {"between read and dsp", {}, ReturnAs::Natural, P::AwaitingDsp, Then::Completes, nullptr},
        {"first dsp block", dspBlock(0), ReturnAs::Natural, P::Idle, Then::ShowsBox, dsp},
        {"middle dsp block", dspBlock(kMiddleDspBlock), ReturnAs::Natural, P::Idle, Then::ShowsBox,
         dsp},
        {"last dsp block", dspBlock(kLastDspBlock), ReturnAs::Natural, P::Idle, Then::ShowsBox, dsp},
        {"closing", {}, ReturnAs::Natural, P::Closing, Then::ShowsBox, dsp},
    };
    for (const UnplugRow& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<emu::Fault> faults;
        if (row.unplugAt == P::Idle) {
            faults.push_back(fault(emu::FaultKind::Unplug, row.at));
            faults.back().returnAs = row.returnAs;
        }
        emu::Config config = deviceWith(faults);
        config.timing.latency = row.latency;
        FaultRun run(config);
        ASSERT_TRUE(run.ready);
        run.isp().btnStartProgram.Click();
        if (row.unplugAt != P::Idle) {
            ASSERT_TRUE(run.h.WaitFor([&] { return run.isp().updatePhase == row.unplugAt; }));
            run.unplug();
            run.plugIn(emu::Personality::RunMode);
        }
        switch (row.then) {
            case Then::Completes:
                ASSERT_TRUE(run.h.WaitForBox(text::kProgramOk)) << run.where();
                EXPECT_EQ(run.h.boxes.size(), 1u);
                break;
            case Then::ShowsBox:
                ASSERT_TRUE(run.h.WaitForBox(row.box));
                EXPECT_EQ(run.h.boxes.size(), 1u);
                break;
            case Then::OffersStart:
                ASSERT_TRUE(run.h.WaitForStartEnabled());
                EXPECT_TRUE(run.h.boxes.empty());
                break;
        }
        if (row.then != Then::Completes) {
            EXPECT_EQ(run.boxesWith(text::kProgramOk), 0);
        }
        EXPECT_TRUE(run.responsive());
        run.expectNoFalseSuccess();
        run.expectNewUpdateCompletes();
    }
}

// ---------------------------------------------------------------------------------------------

struct WrongSumRow {
    const char* name;
    emu::StagePoint at;
    const char* box;
    bool linkKept;
};

TEST(FaultMatrix, WrongEchoSumAtEveryIspStep) {
    const WrongSumRow rows[] = {
        {"connect", ispCommand(kIspConnect), text::kIspStartError, false},
        {"sync package", ispCommand(kIspSync), text::kIspSyncError, false},
        {"firmware version", ispCommand(kIspFirmwareVersion), text::kEraseAllError, true},
        {"device id", ispCommand(kIspDeviceId), text::kGetIdError, false},
        {"read config", ispCommand(kIspReadConfig), text::kEraseAllError, true},
        {"sync program", ispCommand(kIspSync, 2), text::kEraseAllError, true},
        {"start program", ispCommand(kIspStartProgram), text::kProgramStartError, true},
        {"first data frame", dataFrame(0), text::kProgramDataError, true},
        {"middle data frame", dataFrame(emu::kMiddleDataFrame), text::kProgramDataError, true},
        {"last data frame", dataFrame(emu::kLastDataFrame), text::kProgramDataError, true},
    };
    for (const WrongSumRow& row : rows) {
        SCOPED_TRACE(row.name);
        FaultRun run(deviceWith({fault(emu::FaultKind::WrongSum, row.at)},
                                emu::Personality::BootLoader));
        ASSERT_TRUE(run.ready);
        run.isp().btnStartProgram.Click();
        ASSERT_TRUE(run.h.WaitForBox(row.box));
        EXPECT_EQ(run.h.boxes.size(), 1u);
        EXPECT_EQ(run.h.boxes.front().type, ui::MsgType::Error);
        EXPECT_EQ(bool(run.isp().usbProc), row.linkKept);
        // Where the link stays, nothing reopens the reply gate: the sequence takes no more.
        EXPECT_FALSE(run.isp().tmUsbWait.Enabled());
        EXPECT_EQ(run.isp().updatePhase, UpdatePhase::Idle);
        EXPECT_TRUE(run.isp().btnStartProgram.Enabled());
        EXPECT_EQ(run.isp().sbStatus.GetColor(), ui::clBtnFace);
        EXPECT_TRUE(run.responsive());
        EXPECT_EQ(run.boxesWith(text::kProgramOk), 0);
        run.expectNewUpdateCompletes();
    }
}

// ---------------------------------------------------------------------------------------------

struct NoReplyRow {
    const char* name;
    emu::StagePoint at;
    UpdatePhase waitingIn;
    const char* unplugBox;  // nullptr: the read starts over when the device is back
    emu::Personality backAs;
};

TEST(FaultMatrix, NoReplyWaitsUntilUnplugged) {
    const NoReplyRow rows[] = {
        {"isp device id", ispCommand(kIspDeviceId), UpdatePhase::ProgrammingMcu,
         text::kUnpluggedDuringMcu, emu::Personality::BootLoader},
        {"parameter request", paramRequest(3), UpdatePhase::ReadingParameters, nullptr,
         emu::Personality::RunMode},
        {"dsp block", dspBlock(2), UpdatePhase::ProgrammingDsp, text::kUnpluggedDuringDsp,
         emu::Personality::RunMode},
    };
    for (const NoReplyRow& row : rows) {
        SCOPED_TRACE(row.name);
        FaultRun run(deviceWith({fault(emu::FaultKind::NoReply, row.at)}));
        ASSERT_TRUE(run.ready);
        run.isp().btnStartProgram.Click();
        ASSERT_TRUE(run.h.WaitFor([&] { return run.isp().updatePhase == row.waitingIn; }));
        if (row.waitingIn == UpdatePhase::ProgrammingMcu) {
            // 800 ms wait periods: the link reports the overdue reply after a few seconds.
            ASSERT_TRUE(run.h.WaitFor([&] {
                for (int status : run.linkStatuses)
                    if (status == kLinkStatusOverdue) return true;
                return false;
            }));
            EXPECT_EQ(run.isp().ispStep, 5);
        }
        run.expectStalledIn(row.waitingIn);
        run.unplug();
        if (row.unplugBox != nullptr) {
            ASSERT_TRUE(run.h.WaitForBox(row.unplugBox));
            EXPECT_EQ(run.h.boxes.size(), 1u);
        }
        run.plugIn(row.backAs);
        if (row.unplugBox == nullptr) {
            ASSERT_TRUE(run.h.WaitForBox(text::kProgramOk));
        }
        EXPECT_TRUE(run.responsive());
        run.expectNewUpdateCompletes();
    }
}

// ---------------------------------------------------------------------------------------------

struct StrayRow {
    const char* name;
    emu::Config device;
    // Idle: the update does not stall. Otherwise it waits here, as for a missing reply, until
    // the device is unplugged (and plugged in again).
    UpdatePhase stalledIn;
    const char* box;  // the first box; nullptr: " Program OK !! "
};

emu::Config deviceWithSelector(uint8_t selector) {
    emu::Config config = FastDevice();
    config.parameters[0] = selector;
    return config;
}

emu::Config singleReplyDevice() {
    emu::Config config = FastDevice(emu::Personality::BootLoader);
    config.timing.bootLoaderReplies = emu::ReplyModel::Single;
    return config;
}

TEST(FaultMatrix, ReportsTheDeviceShouldNotSend) {
    using K = emu::FaultKind;
    using P = UpdatePhase;
    const emu::Personality boot = emu::Personality::BootLoader;
    const char* bad = text::kBadParameters;
    const StrayRow rows[] = {
        {"garbage before an isp reply", deviceWith({fault(K::Garbage, dataFrame(1), 3)}, boot),
         P::Idle, nullptr},
        {"garbage before a parameter reply", deviceWith({fault(K::Garbage, paramRequest(2), 3)}),
         P::Idle, nullptr},
        {"garbage before a dsp acknowledgement", deviceWith({fault(K::Garbage, dspBlock(1), 3)}),
         P::Idle, nullptr},
        {"length byte 57 in a parameter reply",
         deviceWith({fault(K::OversizedLength, paramRequest(2))}), P::ReadingParameters, nullptr},
        {"length byte 255 in a dsp acknowledgement",
         deviceWith({fault(K::OversizedLength, dspBlock(1), 255)}), P::ProgrammingDsp,
         text::kUnpluggedDuringDsp},
        {"short isp reply (8 bytes)",
         deviceWith({fault(K::ShortReport, ispCommand(kIspDeviceId), 8)}, boot), P::Idle, nullptr},
        // One byte holds the sum of a Get Device ID frame but not that of Start Program.
        {"short isp reply (1 byte) to get device id",
         deviceWith({fault(K::ShortReport, ispCommand(kIspDeviceId), 1)}, boot), P::Idle, nullptr},
        {"short isp reply (1 byte) to start program",
         deviceWith({fault(K::ShortReport, ispCommand(kIspStartProgram), 1)}, boot), P::Idle,
         text::kProgramStartError},
        {"short parameter reply (32 bytes)",
         deviceWith({fault(K::ShortReport, paramRequest(0), 32)}), P::ReadingParameters, nullptr},
        {"short dsp acknowledgement (4 bytes)", deviceWith({fault(K::ShortReport, dspBlock(2), 4)}),
         P::ProgrammingDsp, text::kUnpluggedDuringDsp},
        {"isp reply before the gate opens", singleReplyDevice(), P::ProgrammingMcu,
         text::kUnpluggedDuringMcu},
        {"two isp replies back to back",
         deviceWith({fault(K::DoubleReply, dataFrame(emu::kMiddleDataFrame))}, boot), P::Idle,
         nullptr},
        {"two parameter replies back to back", deviceWith({fault(K::DoubleReply, paramRequest(4))}),
         P::Idle, nullptr},
        {"two dsp acknowledgements back to back", deviceWith({fault(K::DoubleReply, dspBlock(2))}),
         P::Idle, nullptr},
        {"unknown code for command 16", deviceWith({fault(K::UnknownCode, runCommand(cmd::kOpen))}),
         P::Idle, nullptr},
        {"unknown code for a parameter request",
         deviceWith({fault(K::UnknownCode, paramRequest(4))}), P::ReadingParameters, nullptr},
        {"unknown code for a dsp block", deviceWith({fault(K::UnknownCode, dspBlock(1))}),
         P::ProgrammingDsp, text::kUnpluggedDuringDsp},
        {"row 10 among the first ten", deviceWith({fault(K::BadRowIndex, paramRequest(9), 10)}),
         P::Idle, bad},
        {"row 11 as the eleventh", deviceWith({fault(K::BadRowIndex, paramRequest(10), 11)}),
         P::Idle, bad},
        {"row 255", deviceWith({fault(K::BadRowIndex, paramRequest(0), 255)}), P::Idle, bad},
        // The highest selector whose key bytes lie inside the table, in the device's own table.
        {"selector 31", deviceWithSelector(31), P::Idle, nullptr},
        {"selector 32", deviceWith({fault(K::BadSelector, paramRequest(0), 32)}), P::Idle, bad},
        {"selector 255", deviceWith({fault(K::BadSelector, paramRequest(0), 255)}), P::Idle, bad},
    };
    for (const StrayRow& row : rows) {
        SCOPED_TRACE(row.name);
        FaultRun run(row.device);
        ASSERT_TRUE(run.ready);
        run.isp().btnStartProgram.Click();
        if (row.stalledIn != P::Idle) {
            ASSERT_TRUE(run.h.WaitFor([&] { return run.isp().updatePhase == row.stalledIn; }));
            run.expectStalledIn(row.stalledIn);
            run.unplug();
            run.plugIn(row.stalledIn == P::ProgrammingMcu ? boot : emu::Personality::RunMode);
        }
        ASSERT_TRUE(run.h.WaitForBox(row.box != nullptr ? row.box : text::kProgramOk))
            << run.where();
        EXPECT_EQ(run.h.boxes.size(), 1u);
        EXPECT_TRUE(run.responsive());
        run.expectNoFalseSuccess();
        run.expectNewUpdateCompletes();
    }
}

// ---------------------------------------------------------------------------------------------

struct ReadErrorRow {
    const char* name;
    std::function<bool(const TfmIsp&)> when;
};

// The controller reports each failed read through its OnDeviceDataError event, on the main
// thread; the test raises that event itself, as the controller would.
TEST(FaultMatrix, ReadErrorsShowOneBoxEachAndTheUpdateGoesOn) {
    const ReadErrorRow rows[] = {
        {"while programming the mcu", [](const TfmIsp& isp) { return isp.ispStep == 9; }},
        {"while reading parameters",
         [](const TfmIsp& isp) { return isp.updatePhase == UpdatePhase::ReadingParameters; }},
        {"while programming the dsp",
         [](const TfmIsp& isp) { return isp.updatePhase == UpdatePhase::ProgrammingDsp; }},
    };
    const std::string readError = text::kReadError + ui::SystemErrorMessage(EIO);
    constexpr int kErrors = 2;
    for (const ReadErrorRow& row : rows) {
        SCOPED_TRACE(row.name);
        FaultRun run(deviceWith({}));
        ASSERT_TRUE(run.ready);
        run.isp().btnStartProgram.Click();
        ASSERT_TRUE(run.h.WaitFor([&] { return row.when(run.isp()); }));
        ASSERT_NE(run.isp().hidDevice, nullptr);
        for (int i = 0; i < kErrors; ++i)
            run.isp().HidCtl->events.OnDeviceDataError(*run.isp().hidDevice, EIO);
        ASSERT_TRUE(run.h.WaitForBox(text::kProgramOk));
        EXPECT_EQ(run.boxesWith(readError), kErrors);
        EXPECT_EQ(run.h.boxes.size(), std::size_t(kErrors) + 1);
        EXPECT_EQ(run.h.boxes.back().text, text::kProgramOk);
        EXPECT_TRUE(run.responsive());
        run.expectNoFalseSuccess();
        run.expectNewUpdateCompletes();
    }
}

// ---------------------------------------------------------------------------------------------

struct CloseRow {
    const char* name;
    std::vector<emu::Fault> faults;
    std::function<bool(const TfmIsp&)> when;
};

TEST(FaultMatrix, WindowClosedInTheMiddleOfEachPhase) {
    const CloseRow rows[] = {
        {"reset request", {}, [](const TfmIsp&) { return true; }},
        {"mcu programming", {}, [](const TfmIsp& isp) { return isp.ispStep == 9; }},
        {"mcu programming, reply missing", {fault(emu::FaultKind::NoReply, dataFrame(1))},
         [](const TfmIsp& isp) { return isp.ispStep == 9; }},
        {"parameter read", {},
         [](const TfmIsp& isp) { return isp.updatePhase == UpdatePhase::ReadingParameters; }},
        {"dsp programming", {},
         [](const TfmIsp& isp) {
             return isp.updatePhase == UpdatePhase::ProgrammingDsp && isp.dspBlockIndex >= 1;
         }},
        {"dsp programming, reply missing", {fault(emu::FaultKind::NoReply, dspBlock(1))},
         [](const TfmIsp& isp) {
             return isp.updatePhase == UpdatePhase::ProgrammingDsp && isp.dspBlockIndex >= 1;
         }},
    };
    // Threads the toolkit starts once for the process are not the updater's.
    { FaultRun warmUp(deviceWith({})); }
    for (const CloseRow& row : rows) {
        SCOPED_TRACE(row.name);
        const std::size_t threadsBefore = threadCount();
        auto run = std::make_unique<FaultRun>(deviceWith(row.faults));
        ASSERT_TRUE(run->ready);
        run->isp().btnStartProgram.Click();
        ASSERT_TRUE(run->h.WaitFor([&] { return row.when(run->isp()); }));
        const auto closing = std::chrono::steady_clock::now();
        run->isp().Close();
        EXPECT_FALSE(run->isp().usbProc);
        EXPECT_TRUE(LUsb::WaitForAllWorkers(kWorkersEndMs));
        EXPECT_EQ(run->boxesWith(text::kProgramOk), 0);
        run.reset();
        const auto closed = std::chrono::steady_clock::now();
        EXPECT_LT(std::chrono::duration_cast<Ms>(closed - closing).count(), kPromptCloseMs);
        EXPECT_TRUE(LUsb::WaitForAllWorkers(kWorkersEndMs));
        EXPECT_TRUE(ui::Application::Instance()->RunUntil(
            [&] { return threadCount() <= threadsBefore; }, kWaitMs))
            << threadCount() << " threads, " << threadsBefore << " before";
    }
}

}  // namespace
