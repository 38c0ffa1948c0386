// The update chain: Start Program resets the device into its boot loader, MCU programming
// follows when the boot loader appears, the parameter read when the firmware returns, then DSP
// programming and the closing commands.
#include "app/Isp.h"
#include "app/Texts.h"

namespace {
constexpr int kResetRequestTimeoutMs = 5000;
constexpr int kClosingTimeoutMs = 500;
}  // namespace

void TfmIsp::btnStartProgramClick() {
    btnStartProgram.SetEnabled(false);
    bnMcuProgram.Click();
}

void TfmIsp::bnMcuProgramClick() {
    mcuImageComplete = mcuProgrammed = parametersRead = dspProgrammed = false;
    // The image is checked before the device is asked to reset: an image that did not load
    // completely is never programmed, and the device is left running its firmware.
    loadMcuImage(kMcuImageCapacity);
    if (!mcuImageComplete) {
        abandonUpdate();
        // A checksum error has had its own box already.
        if (!mcuChecksumError) ui::MessageDlg(text::kImageIncomplete, ui::MsgType::Error);
        return;
    }
    if (devicePanel() == text::kDetectRunHid) {
        if (!usbProc) openLink(kResetRequestTimeoutMs);
        usbProc->SetKeepAliveSuspended(true);
        SendCmd(CM_MCS_CMD(cmd::kGroup, cmd::kOpen), true, MODE_FRAMED);
        SendCmd(CM_MCS_IAP_RESET(cmd::kIapReset), true, MODE_FRAMED);
    }
    setBusy(true);
    listImage(imageBuffer, imageSize, 0);
    pbProgress.SetRange(0, imageSize / kIspDataBytes + 1);
    bnMcuProgram.SetEnabled(false);
    updateActive = 1;
    updatePhase = UpdatePhase::AwaitingBootLoader;
    tmMcuProg.SetEnabled(true);
}

void TfmIsp::tmMcuProgTimer() {
    if (devicePanel() != text::kDetectUpdateHid) return;
    tmMcuProg.SetEnabled(false);
    runStep = 3;
    ispStep = kIspConnect;
    updatePhase = UpdatePhase::ProgrammingMcu;
    startIsp();
    setBusy(true);
}

void TfmIsp::tmUsbWaitTimer() {
    tmUsbWait.SetEnabled(false);
    rxEnabled = true;
}

void TfmIsp::tmWaitDisconnectTimer() {
    tmWaitDisconnect.SetEnabled(false);
    closeLink();
}

void TfmIsp::tmRunStepTimer() {
    tmRunStep.SetEnabled(false);
    switch (runStep) {
        case 3:
            runStep = 2;
            break;
        case 2:
            bnDspPorgram.Click();
            runStep = 1;
            break;
        case 1:
            if (!updateSucceeded()) return interruptUpdate(text::kUpdateIncomplete);
            SendCmd(CM_MCS_CMD(cmd::kGroup, cmd::kKeepAlive), true, MODE_FRAMED);
            if (usbProc) {
                usbProc->SetWaitTimeout(kClosingTimeoutMs);
                usbProc->SetKeepAliveSuspended(false);
            }
            runStep = 0;
            updateActive = 0;
            updatePhase = UpdatePhase::Idle;
            ui::MessageDlg(text::kProgramOk, ui::MsgType::Information);
            SendCmd(CM_MCS_CMD(cmd::kGroup, cmd::kClose), true, MODE_FRAMED);
            break;
        default:
            break;
    }
}

bool TfmIsp::updateSucceeded() const {
    return mcuImageComplete && mcuProgrammed && parametersRead && dspProgrammed;
}

void TfmIsp::stopUpdateTimers() {
    for (ui::Timer* timer : {&tmMcuProg, &tmUsbWait, &tmWaitDisconnect, &tmDspProgram, &tmRunStep})
        timer->SetEnabled(false);
}

// Ends the update without success and lets the user start again from whatever mode the device
// is in.
void TfmIsp::abandonUpdate() {
    stopUpdateTimers();
    updateActive = 0;
    runStep = 0;
    updatePhase = UpdatePhase::Idle;
    if (hidDevice != nullptr) enableStartProgram();
}

void TfmIsp::interruptUpdate(const char* message) {
    closeLink();
    abandonUpdate();
    ui::MessageDlg(message, ui::MsgType::Error);
}
