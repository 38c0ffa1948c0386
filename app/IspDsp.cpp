// Parameter read and DSP programming: the device's parameter table gives the key that every
// DSP block is XORed with; the blocks go out one per acknowledgement.
#include <cstring>

#include "app/Isp.h"
#include "app/Texts.h"

namespace {

constexpr int kParamReadTimeoutMs = 5000;
constexpr int kDspTimeoutMs = 10000;
constexpr int kParamBlocks = 11;
constexpr std::size_t kRowStride = 50;
constexpr std::size_t kRowBytes = 50;
constexpr std::size_t kLastRowBytes = 16;
constexpr uint8_t kUnlockPayload[] = {1, 0, 1, 0};
constexpr int kMaxSelector = 31;
constexpr std::size_t kKeySlotBase = 5;
constexpr std::size_t kKeySlotStride = 16;
constexpr std::size_t kKeyHalf = 4;

}  // namespace

bool TfmIsp::openLink(int waitTimeoutMs) {
    usbProc = std::make_shared<LUsbProc>(this);
    if (!usbProc->Start()) return false;
    rxEnabled = true;
    usbProc->SetWaitTimeout(waitTimeoutMs);
    return true;
}

void TfmIsp::bnSecurityClick() {
    if (devicePanel() != text::kDetectRunHid) return;
    if (!usbProc) openLink(kParamReadTimeoutMs);
    usbProc->SetKeepAliveSuspended(true);
    SendCmd(CM_MCS_CMD(cmd::kGroup, cmd::kOpen), true, MODE_FRAMED);
    paramBlockIndex = 0;
    SendCmd(CM_MCS_CMD(cmd::kGroup, cmd::kParamBlock, 0), true, MODE_FRAMED);
    ispStep = kIspIdle;
    setBusy(true);
    setStepText(text::kStepParameterData);
    if (updateActive) updatePhase = UpdatePhase::ReadingParameters;
}

void TfmIsp::handleRunModeReply(const LCmd& reply) {
    if (onRunModeReply) onRunModeReply(reply);
    const ByteVector payload = reply.data;
    if (reply.code == cmd::kDspBlock) {
        handleDspReply();
    } else if (reply.code == cmd::kParamBlock) {
        // During an update, a parameter block outside the read is a stray and changes nothing.
        if (updateActive && updatePhase != UpdatePhase::ReadingParameters) return;
        handleParameterReply(payload);
    }
}

void TfmIsp::handleParameterReply(const ByteVector& payload) {
    if (paramBlockIndex == 0)
        SendCmd(CM_MCS_CMD(cmd::kGroup, cmd::kUnlock, kUnlockPayload[0], kUnlockPayload[1],
                           kUnlockPayload[2], kUnlockPayload[3]),
                true, MODE_FRAMED);
    ++paramBlockIndex;
    const bool lastBlock = paramBlockIndex >= kParamBlocks;
    const std::size_t rowBytes = lastBlock ? kLastRowBytes : kRowBytes;
    if (payload.size() < 1 + rowBytes) return rejectParameters();
    const std::size_t offset = kRowStride * payload[0];
    if (offset + rowBytes > kParamTableSize) return rejectParameters();
    std::memcpy(paramTable + offset, payload.data() + 1, rowBytes);
    if (!lastBlock) {
        SendCmd(CM_MCS_CMD(cmd::kGroup, cmd::kParamBlock, uint8_t(paramBlockIndex)), true,
                MODE_FRAMED);
        return;
    }
    if (!deriveDspKey()) return rejectParameters();
    runStep = 2;
    tmRunStep.SetEnabled(true);
    if (updateActive) {
        parametersRead = true;
        updatePhase = UpdatePhase::AwaitingDsp;
    }
}

// A reply too short for its row, a row outside the table or a selector outside the table ends
// the read: a key made from it would scramble the DSP program.
void TfmIsp::rejectParameters() {
    if (updateActive) interruptUpdate(text::kBadParameters);
}

bool TfmIsp::deriveDspKey() {
    const int selector = paramTable[0];
    if (selector > kMaxSelector) return false;
    const std::size_t slot = kKeySlotBase + kKeySlotStride * std::size_t(selector);
    uint32_t key = 0;
    for (std::size_t i = 0; i < kKeyHalf; ++i)
        key |= uint32_t(paramTable[slot + i] ^ paramTable[slot + kKeyHalf + i]) << (8 * i);
    dspKey = key;
    return true;
}

void TfmIsp::bnDspPorgramClick() {
    if (hidDevice == nullptr) return;
    dropLink();
    usbProc = std::make_shared<LUsbProc>(this);
    if (!usbProc->Start()) return;
    rxEnabled = true;
    usbProc->SetWaitTimeout(kDspTimeoutMs);
    usbProc->SetKeepAliveSuspended(true);
    SendCmd(CM_MCS_CMD(cmd::kGroup, cmd::kOpen), true, MODE_FRAMED);
    ispStep = kIspIdle;
    setStepText(text::kStepDspProgram);
    tmDspProgram.SetEnabled(true);
    setBusy(true);
    bnMcuProgram.SetEnabled(false);
    bnDspPorgram.SetEnabled(false);
}

void TfmIsp::loadDspImage() { imageSize = LoadDspImage(dspTable, imageBuffer); }

void TfmIsp::tmDspProgramTimer() {
    tmDspProgram.SetEnabled(false);
    setBusy(true);
    loadDspImage();
    listImage(imageBuffer, imageSize, 0);
    dspBlockIndex = 0;
    SendCmd(CM_MCS_DSP_BYTE_PROG(0, imageBuffer, dspKey), true, MODE_FRAMED);
    dspBlockCount = imageSize / CM_MCS_DSP_BYTE_PROG::kBlockBytes;
    pbProgress.SetRange(0, dspBlockCount);
    pbProgress.SetPosition(0);
    dspBlockIndex = 0;
    if (updateActive) updatePhase = UpdatePhase::ProgrammingDsp;
}

void TfmIsp::handleDspReply() {
    // During an update only the blocks being sent are acknowledged.
    if (updateActive && updatePhase != UpdatePhase::ProgrammingDsp) return;
    setStepText(text::kStepDspProgramming + std::to_string(dspBlockIndex));
    pbProgress.SetPosition(dspBlockIndex);
    if (dspBlockIndex < dspBlockCount) {
        ++dspBlockIndex;
        SendCmd(CM_MCS_DSP_BYTE_PROG(dspBlockIndex, imageBuffer, dspKey), true, MODE_FRAMED);
        return;
    }
    completeDspProgramming();
}

void TfmIsp::completeDspProgramming() {
    ispStep = kIspIdle;
    pbProgress.SetPosition(0);
    setBusy(false);
    sbStatus.SetPanelText(0, text::kDisconnect);
    bnMcuProgram.SetEnabled(true);
    bnDspPorgram.SetEnabled(true);
    tmRunStep.SetEnabled(true);
    if (updateActive) {
        dspProgrammed = true;
        updatePhase = UpdatePhase::Closing;
    }
}
