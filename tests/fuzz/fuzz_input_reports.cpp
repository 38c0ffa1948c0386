// Feeds arbitrary input reports of arbitrary sizes to the real main window, through the reply
// gate, the link's reassembly and the reply dispatcher, with the controller placed in any
// programming step first. The input's header sets the controller state; the rest is a list of
// reports, each fed as the HID controller would and waited for until the link has fed every
// byte of it through reassembly (and delivered whatever reply it completed).
//
// Input: header (kHeaderBytes), then per report: control byte (bit 0 opens the reply gate as
// the gate timer does, bits 1-7 the report ID), length byte, that many data bytes.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "app/Texts.h"
#include "app/Updater.h"
#include "platform/hid/Hid.h"
#include "platform/ui/Ui.h"

namespace {

// ispStep values worth visiting: idle, every programming step, the erase step and values
// just beyond and between them.
constexpr int32_t kSteps[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 37, 38, 39, -1};
constexpr std::size_t kHeaderBytes = 16;
constexpr int kUpdatePhases = 8;
constexpr uint32_t kImageFieldMask = 0x3FFFF;  // sizes and offsets up to beyond the buffer
// The last DSP block a real image can have: block kMaxDspBlock + 1 would pass the buffer.
constexpr int32_t kMaxDspBlock = int32_t(kImageBufferSize) / CM_MCS_DSP_BYTE_PROG::kBlockBytes - 1;
constexpr int kPatienceMs = 30000;  // far beyond one report's handling, even under ASan

// Flag bits of header byte 1.
constexpr uint8_t kRxEnabledFlag = 0x01;
constexpr uint8_t kLinkFlag = 0x02;
constexpr uint8_t kFramedFlag = 0x04;
constexpr uint8_t kUpdateActiveFlag = 0x08;
constexpr uint8_t kNothingSentFlag = 0x80;  // the link never handed a frame over: no time base
// Header byte 2.
constexpr uint8_t kDeviceFlag = 0x40;
constexpr uint8_t kKeepAliveFlag = 0x80;
// Header byte 13: the device panel.
const char* const kPanels[] = {text::kNoDevice, text::kDetectUpdateHid, text::kDetectRunHid};

// The device reports come from; writes to it go nowhere.
class QuietDevice : public hid::Device {
public:
    uint16_t VendorID() const override { return kVendorId; }
    uint16_t ProductID() const override { return kRunModeProductId; }
    int OutputReportLength() const override { return 65; }
    int InputReportLength() const override { return 65; }
    bool WriteReport(const uint8_t*, std::size_t) override { return true; }
    std::string Path() const override { return "fuzz"; }
    bool IsCheckedOut() const override { return true; }
};

// The link processor, counting the bytes handed to it and the bytes its worker has fed through
// reassembly, so the fuzzer can wait for each report to be dealt with.
class CountingLink : public LUsbProc {
public:
    using LUsbProc::LUsbProc;

    void ReceiveBytes(const uint8_t* bytes, int length) override {
        if (bytes != nullptr && length > 0) handed += std::min(length, kBufferSize);
        LUsbProc::ReceiveBytes(bytes, length);
    }
    void OnRxByte(uint8_t b) override {
        LUsbProc::OnRxByte(b);
        ++fed;
    }
    bool Settled() const { return fed.load() == handed.load() || WorkerEnded(); }

private:
    std::atomic<long> handed{0};
    std::atomic<long> fed{0};
};

struct World {
    hid::VirtualHub hub;  // no devices: reports come from the fuzzer only
    UpdaterWindows windows{hub.MakeBackend()};
    QuietDevice device;
};

World* world = nullptr;

uint32_t field(const uint8_t* bytes, int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) value |= uint32_t(bytes[i]) << (8 * i);
    return value;
}

[[noreturn]] void stuck() {
    std::fprintf(stderr, "input report not handled within %d ms\n", kPatienceMs);
    std::abort();
}

void stopTimers(TfmIsp& isp) {
    for (ui::Timer* timer :
         {&isp.tmUsbWait, &isp.tmWaitDisconnect, &isp.tmDspProgram, &isp.tmMcuProg, &isp.tmRunStep})
        timer->SetEnabled(false);
}

// Back to a window with no link and no device, every worker ended.
void reset(TfmIsp& isp) {
    stopTimers(isp);
    isp.closeLink();
    if (!LUsb::WaitForAllWorkers(LUsb::kStopWaitMs)) stuck();
    ui::Application::Instance()->ProcessEvents();
    isp.hidDevice = nullptr;
    std::memset(isp.paramTable, 0, sizeof isp.paramTable);
    std::memset(isp.imageBuffer, 0, sizeof isp.imageBuffer);
}

std::shared_ptr<CountingLink> placeController(TfmIsp& isp, const uint8_t* header) {
    const uint8_t flags = header[1];
    isp.ispStep = kSteps[header[0] & 0x0F];
    isp.rxEnabled = (flags & kRxEnabledFlag) != 0;
    isp.updateActive = (flags & kUpdateActiveFlag) ? 1 : 0;
    isp.updatePhase = UpdatePhase((flags >> 4) % kUpdatePhases);
    isp.runStep = header[2] & 0x03;
    isp.paramBlockIndex = (header[2] >> 2) & 0x0F;
    if (header[2] & kDeviceFlag) isp.hidDevice = &world->device;
    isp.frameSum = field(header + 3, 4);
    isp.imageSize = int32_t(field(header + 7, 3) & kImageFieldMask);
    isp.imageOffset = int32_t(field(header + 10, 3) & kImageFieldMask);
    isp.dspBlockCount = int32_t(header[13] | (header[14] & 0x0F) << 8) % (kMaxDspBlock + 1);
    isp.dspBlockIndex = int32_t(header[15]) % (isp.dspBlockCount + 1);
    isp.sbStatus.SetPanelText(1, kPanels[(header[14] >> 4) % std::size(kPanels)]);
    if (!(flags & kLinkFlag)) return nullptr;
    auto link = std::make_shared<CountingLink>(&isp);
    if (!link->Start()) return nullptr;
    link->SetKeepAliveSuspended((header[2] & kKeepAliveFlag) == 0);
    isp.usbProc = link;
    if (!(flags & kNothingSentFlag)) {
        // The frame in flight decides how replies are reassembled.
        const LCmd open(cmd::kGroup, cmd::kOpen);
        uint8_t ispFrame[kIspFrameSize] = {};
        if (flags & kFramedFlag)
            isp.SendCmd(open, true, MODE_FRAMED);
        else
            isp.SendCmd(CM_MCS_PROGRAM_DATA(ispFrame, kIspFrameSize), true, MODE_RAW);
    }
    return link;
}

// Spins the event loop rather than waiting in it: the worker finishing a report posts nothing
// the loop would wake for.
void waitUntilSettled(const CountingLink& link) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
    while (!link.Settled()) {
        if (std::chrono::steady_clock::now() > deadline) stuck();
        ui::Application::Instance()->ProcessEvents();
        std::this_thread::yield();
    }
}

void feedReport(TfmIsp& isp, const CountingLink* link, uint8_t control, const uint8_t* data,
                std::size_t size) {
    if (control & 0x01) isp.rxEnabled = true;
    // A block of exactly the report's size, so a read past its end is caught.
    std::unique_ptr<uint8_t[]> report(new uint8_t[size]);
    std::memcpy(report.get(), data, size);
    isp.HidCtlDeviceData(world->device, uint8_t(control >> 1), report.get(), uint16_t(size));
    if (link != nullptr) waitUntilSettled(*link);
    // The window's own timers would make the outcome depend on the clock.
    stopTimers(isp);
}

}  // namespace

// Fontconfig keeps a few blocks it never frees from the first font it loads (the first box
// shown); they are its own, not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // The offscreen platform warns about every box it shows; thousands of boxes a second would
    // bury the fuzzer's own output.
    setenv("QT_LOGGING_RULES", "default.warning=false", 0);
    static int qtArgc = 1;
    static char* qtArgv[] = {(*argv)[0], nullptr};
    (void)argc;
    new ui::Application(qtArgc, qtArgv, kAppId);
    // Every box is recorded nowhere and closed as soon as its loop runs.
    ui::SetMessageBoxObserver([](const ui::BoxRecord&) {}, 0);
    world = new World;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, std::size_t size) {
    if (size < kHeaderBytes) return 0;
    TfmIsp& isp = world->windows.isp();
    std::shared_ptr<CountingLink> link = placeController(isp, bytes);
    std::size_t at = kHeaderBytes;
    while (size - at >= 2) {
        const uint8_t control = bytes[at];
        const std::size_t length = std::min<std::size_t>(bytes[at + 1], size - at - 2);
        feedReport(isp, link.get(), control, bytes + at + 2, length);
        at += 2 + length;
    }
    reset(isp);
    return 0;
}
