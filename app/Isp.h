// The main window TfmIsp: the updater's controller. It owns every piece of controller state and
// is the only place where a procedure advances. Its implementation is split by concern:
// IspWindow.cpp (layout, messages, reply dispatch), IspDevice.cpp (device detection),
// IspReport.cpp (report I/O), IspMcu.cpp (MCU in-system programming), IspDsp.cpp (parameter
// read and DSP programming), IspUpdate.cpp (the update chain).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "images/Images.h"
#include "link/Lusb.h"
#include "platform/hid/Hid.h"
#include "platform/ui/Ui.h"
#include "protocol/Lcmd.h"

constexpr uint32_t WM_DEVICECHANGE = 0x219;

constexpr uint16_t kVendorId = 0x0168;
constexpr uint16_t kBootLoaderProductId = 0x0904;
constexpr uint16_t kRunModeProductId = 0x0821;

constexpr std::size_t kImageBufferSize = 0x11800;  // 71,680
constexpr uint32_t kMcuImageCapacity = 0x11000;    // 69,632
constexpr int kIspFrameSize = 70;
constexpr int kIspDataBytes = 56;
constexpr int kParamTableSize = 516;

// ispStep values with a meaning of their own.
constexpr int kIspIdle = 1;
constexpr int kIspConnect = 2;
constexpr int kIspData = 9;
constexpr int kIspReset = 10;
constexpr int kIspEraseAll = 38;

// Where an update started by Start Program stands. It decides which disconnections are part of
// the update and which interrupt it, and whether the update may report success.
enum class UpdatePhase {
    Idle,
    AwaitingBootLoader,  // reset request sent, waiting for the boot loader
    ProgrammingMcu,
    AwaitingRunMode,     // MCU Reset sent, waiting for the firmware to come back
    ReadingParameters,
    AwaitingDsp,         // parameter table complete, DSP programming about to start
    ProgrammingDsp,
    Closing,             // DSP programmed, closing commands pending
};

class TfmIsp : public ui::Form, public LinkOwner {
public:
    explicit TfmIsp(std::unique_ptr<hid::Backend> hidBackend);
    ~TfmIsp() override;

    // Controls, in creation order (a later control lies above an earlier one).
    ui::Label lbHidShow;
    ui::Button bnSecurity;
    ui::ProgressBar pbProgress;
    ui::StatusBar sbStatus;
    ui::Button bnMcuProgram;
    ui::Button bnDspPorgram;
    ui::Button btnStartProgram;
    ui::MenuItem Memory1;
    ui::MenuItem HidData1;
    std::unique_ptr<hid::Controller> HidCtl;
    ui::Timer tmUsbWait;
    ui::Timer tmWaitDisconnect;
    ui::Timer tmDspProgram;
    ui::Timer tmMcuProg;
    ui::Timer tmRunStep;

    // Controller state.
    std::shared_ptr<LUsbProc> usbProc;
    uint8_t imageBuffer[kImageBufferSize] = {};
    int32_t ispStep = 0;
    int32_t packetNo = 0;
    int32_t programIndex = 0;
    uint32_t deviceId = 0;
    uint32_t configWord0 = 0;
    uint32_t configWord1 = 0;
    int32_t imageSize = 0;
    int32_t imageOffset = 0;
    uint32_t frameSum = 0;
    // Read by the HID read threads too, so that reports the gate would drop are dropped there.
    std::atomic<bool> rxEnabled{false};
    int32_t dspBlockIndex = 0;
    int32_t dspBlockCount = 0;
    uint8_t paramTable[kParamTableSize] = {};
    uint32_t dspKey = 0;
    int32_t paramBlockIndex = 0;
    int32_t updateActive = 0;
    int32_t runStep = 0;
    hid::Device* hidDevice = nullptr;

    // Where the images come from (tests load small tables).
    HexTable mcuTable;
    WordTable dspTable;

    // Progress of the update started by Start Program.
    UpdatePhase updatePhase = UpdatePhase::Idle;
    bool mcuImageComplete = false;
    bool mcuChecksumError = false;
    bool mcuProgrammed = false;
    bool parametersRead = false;
    bool dspProgrammed = false;

    // Observers for the demo and tests; empty by default.
    std::function<void(const std::string&)> onStepText;
    std::function<void()> onStartEnabled;
    std::function<void(const LCmd&)> onRunModeReply;
    std::function<void(const std::string&)> onAccessProblem;

    // Handlers.
    void FormCreate();
    void FormClose();
    void windowHook(ui::Message& message);
    void Dispatch(ui::Message& message) override;
    void dispatchReply(const ByteVector& frame);
    void btnStartProgramClick();
    void bnMcuProgramClick();
    void bnSecurityClick();
    void bnDspPorgramClick();
    void Memory1Click();
    void HidData1Click();
    void HidCtlDeviceChange();
    bool HidCtlEnumerate(hid::Device& device, int index);
    void HidCtlDeviceUnplug(hid::Device& device);
    void HidCtlDeviceDataError(hid::Device& device, uint32_t error);
    void HidCtlDeviceData(hid::Device& device, uint8_t reportId, const uint8_t* data,
                          uint16_t size);
    void tmUsbWaitTimer();
    void tmWaitDisconnectTimer();
    void tmMcuProgTimer();
    void tmRunStepTimer();
    void tmDspProgramTimer();

    // Operations.
    void showNoDevice();
    void closeLink();
    void writeReport(const uint8_t* bytes, int32_t count) override;
    void SendCmd(const LCmd& cmd, bool append, int mode);
    void startIsp();
    void sendIspStep();
    void handleIspReply(const LCmd& reply);
    void loadMcuImage(uint32_t capacity);
    void loadDspImage();
    void listImage(const uint8_t* bytes, int count, uint32_t base);
    // False (key unchanged) when the table's selector points outside the table.
    bool deriveDspKey();

    // LinkOwner.
    intptr_t SendLinkMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam,
                             os::SyncCall& call) override;
    void PostLinkMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;
    os::MainLoop& LinkLoop() override;

    // The step text of the status bar, also shown over the progress bar.
    void setStepText(const std::string& text);
    std::string stepText() const;
    std::string devicePanel() const;
    bool updateSucceeded() const;

private:
    void createLayout();
    void connectHandlers();
    bool openLink(int waitTimeoutMs);
    void dropLink();
    void setBusy(bool busy);
    void enableStartProgram();
    void checkOutBootLoader(int index);
    void checkOutRunMode(int index);
    void handleRunModeReply(const LCmd& reply);
    void handleParameterReply(const ByteVector& payload);
    void handleDspReply();
    void completeDspProgramming();
    void fillIspFrame(uint8_t* frame);
    void armReplyGate();
    void failIspStep(const char* message, bool dropLinkFirst);
    void rejectParameters();
    void abandonUpdate();
    void interruptUpdate(const char* message);
    void stopUpdateTimers();
    void copyImageBytes(uint8_t* to, int32_t offset, int32_t count) const;
    void logLine(const std::string& line);

    bool isStaleIspRepeat(const uint8_t* report) const;

    std::mutex deviceMutex;  // hidDevice against the link worker's writes
    uint8_t lastIspReply[kRawReplyLength] = {};  // the boot loader's answer last taken
};

extern TfmIsp* fmIsp;
