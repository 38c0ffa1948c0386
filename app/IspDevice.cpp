// Device detection and connection state: which device is held, what panel 1 and the buttons
// show, and closing the link.
#include "app/Isp.h"
#include "app/Texts.h"

namespace {

bool isBootLoader(const hid::Device& device) {
    return device.VendorID() == kVendorId && device.ProductID() == kBootLoaderProductId;
}

bool isRunMode(const hid::Device& device) {
    return device.VendorID() == kVendorId && device.ProductID() == kRunModeProductId;
}

// The system's text for an error code, trimmed of trailing blanks, control characters and full
// stops, at most 255 characters.
std::string readErrorText(uint32_t error) {
    constexpr std::size_t kMaxMessage = 255;
    std::string message = ui::SystemErrorMessage(error).substr(0, kMaxMessage);
    while (!message.empty()) {
        unsigned char last = static_cast<unsigned char>(message.back());
        if (last > ' ' && last != '.') break;
        message.pop_back();
    }
    return text::kReadError + message;
}

}  // namespace

void TfmIsp::HidCtlDeviceChange() { HidCtl->Enumerate(); }

bool TfmIsp::HidCtlEnumerate(hid::Device& device, int index) {
    if (isBootLoader(device))
        checkOutBootLoader(index);
    else if (isRunMode(device))
        checkOutRunMode(index);
    return true;
}

void TfmIsp::checkOutBootLoader(int index) {
    hid::Device* checkedOut = nullptr;
    if (!HidCtl->CheckOutByIndex(checkedOut, index)) return;
    {
        std::lock_guard<std::mutex> guard(deviceMutex);
        hidDevice = checkedOut;
    }
    sbStatus.SetPanelText(1, text::kDetectUpdateHid);
    bnSecurity.SetEnabled(true);
    bnDspPorgram.SetEnabled(false);
    if (updateActive == 0) enableStartProgram();
}

void TfmIsp::checkOutRunMode(int index) {
    hid::Device* checkedOut = nullptr;
    if (!HidCtl->CheckOutByIndex(checkedOut, index)) return;
    {
        std::lock_guard<std::mutex> guard(deviceMutex);
        hidDevice = checkedOut;
    }
    sbStatus.SetPanelText(1, text::kDetectRunHid);
    bnSecurity.SetEnabled(true);
    bnDspPorgram.SetEnabled(true);
    bnMcuProgram.SetEnabled(true);
    if (runStep == 0)
        enableStartProgram();
    else if (runStep == 3)
        bnSecurity.Click();
}

void TfmIsp::enableStartProgram() {
    btnStartProgram.SetEnabled(true);
    if (onStartEnabled) onStartEnabled();
}

void TfmIsp::HidCtlDeviceUnplug(hid::Device& device) {
    if (!isBootLoader(device) && !isRunMode(device)) return;
    {
        // Taken while the link worker writes: once cleared, no write uses the device again.
        std::lock_guard<std::mutex> guard(deviceMutex);
        hidDevice = nullptr;
    }
    // The link the wait after MCU Reset was to drop goes now; a tick later would instead drop
    // the link of a device that came back quickly.
    if (isBootLoader(device)) tmWaitDisconnect.SetEnabled(false);
    hid::Device* released = &device;
    HidCtl->CheckIn(released);
    sbStatus.SetPanelText(1, text::kNoDevice);
    bnDspPorgram.SetEnabled(false);
    bnMcuProgram.SetEnabled(true);
    btnStartProgram.SetEnabled(false);
    closeLink();
    switch (updatePhase) {
        case UpdatePhase::ProgrammingMcu:
            interruptUpdate(text::kUnpluggedDuringMcu);
            break;
        case UpdatePhase::ReadingParameters:
        case UpdatePhase::AwaitingDsp:
            // The firmware is in place; when the device returns the read starts over. A DSP
            // start already armed would otherwise send its first block into the new read.
            tmRunStep.SetEnabled(false);
            tmDspProgram.SetEnabled(false);
            runStep = 3;
            updatePhase = UpdatePhase::AwaitingRunMode;
            break;
        case UpdatePhase::ProgrammingDsp:
        case UpdatePhase::Closing:
            interruptUpdate(text::kUnpluggedDuringDsp);
            break;
        default:  // the disconnections an update expects
            break;
    }
}

void TfmIsp::showNoDevice() {
    if (hidDevice != nullptr) return;
    sbStatus.SetPanelText(1, text::kNoDevice);
    bnDspPorgram.SetEnabled(false);
    bnMcuProgram.SetEnabled(false);
}

void TfmIsp::dropLink() {
    if (!usbProc) return;
    usbProc->Stop();
    usbProc.reset();
    rxEnabled = false;
}

void TfmIsp::closeLink() {
    dropLink();
    ispStep = kIspIdle;
    setBusy(false);
    sbStatus.SetPanelText(0, text::kDisconnect);
    pbProgress.SetPosition(0);
}

void TfmIsp::HidCtlDeviceDataError(hid::Device& device, uint32_t error) {
    (void)device;
    ui::MessageDlg(readErrorText(error), ui::MsgType::Information);
}
