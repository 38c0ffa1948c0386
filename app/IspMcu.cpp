// MCU in-system programming: one 70-byte frame per step, each answered by a raw report that
// echoes the frame's byte sum; the reply gate opens a step-dependent interval after each frame.
#include <algorithm>
#include <cstdio>
#include <numeric>

#include "app/Isp.h"
#include "app/Texts.h"

namespace {

// Command bytes of the boot loader.
constexpr uint8_t kIspConnectCmd = 0x80;
constexpr uint8_t kIspSyncCmd = 0x81;
constexpr uint8_t kIspFirmwareVersionCmd = 0x82;
constexpr uint8_t kIspDeviceIdCmd = 0x83;
constexpr uint8_t kIspReadConfigCmd = 0x84;
constexpr uint8_t kIspStartProgramCmd = 0x85;
constexpr uint8_t kIspDataCmd = 0x00;
constexpr uint8_t kIspResetCmd = 0x86;

// ispStep values of the sequence.
constexpr int kStepSyncPackage = 3;
constexpr int kStepFirmwareVersion = 4;
constexpr int kStepDeviceId = 5;
constexpr int kStepReadConfig = 6;
constexpr int kStepSyncProgram = 7;
constexpr int kStepStartProgram = 8;

// Frame layout.
constexpr int kPacketOffset = 4;
constexpr int kSecondPacketOffset = 8;
constexpr int kImageSizeOffset = 12;
constexpr int kStartImageOffset = 16;
constexpr int kStartImageBytes = 48;
constexpr int kDataOffset = 8;

// Reply gate intervals.
constexpr int kGateFastMs = 20;
constexpr int kGateSlowMs = 200;
constexpr int kGateStartProgramMs = 1000;

void putLittleEndian32(uint8_t* frame, int offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) frame[offset + i] = uint8_t(value >> (8 * i));
}

// Reply bytes are read through these: a reply shorter than a field reads zeros for it.
uint8_t replyByte(const ByteVector& data, std::size_t index) {
    return index < data.size() ? data[index] : 0;
}

uint32_t replyLittleEndian32(const ByteVector& data, std::size_t index) {
    uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value |= uint32_t(replyByte(data, index + i)) << (8 * i);
    return value;
}

std::string deviceIdText(uint32_t id, uint32_t word0, uint32_t word1) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, text::kStepDeviceIdFormat, id, word0, word1);
    return buffer;
}

}  // namespace

void TfmIsp::loadMcuImage(uint32_t capacity) {
    capacity = std::min<uint32_t>(capacity, kImageBufferSize);
    const McuLoadResult result = LoadMcuImage(mcuTable, imageBuffer, capacity);
    imageSize = result.imageSize;
    mcuImageComplete = result.complete;
    mcuChecksumError = result.checksumError;
    if (result.checksumError) ui::ShowMessage(text::kChecksumError);
}

void TfmIsp::startIsp() {
    if (hidDevice == nullptr) return;
    dropLink();  // a link left open by a failed run is replaced
    tmWaitDisconnect.SetEnabled(false);  // a tick left from an earlier run must not drop this link
    usbProc = std::make_shared<LUsbProc>(this);
    if (!usbProc->Start()) {
        closeLink();
        return;
    }
    usbProc->SetKeepAliveSuspended(true);
    sendIspStep();
}

void TfmIsp::copyImageBytes(uint8_t* to, int32_t offset, int32_t count) const {
    // imageSize counts overlapping records twice, so it can pass the buffer's end.
    const int32_t available = std::max<int32_t>(int32_t(kImageBufferSize) - offset, 0);
    count = std::clamp(count, 0, available);
    if (offset >= 0) std::copy(imageBuffer + offset, imageBuffer + offset + count, to);
}

void TfmIsp::fillIspFrame(uint8_t* frame) {
    switch (ispStep) {
        case kIspConnect:
            setStepText(text::kStepConnect);
            packetNo = 1;
            frame[0] = kIspConnectCmd;
            frame[kPacketOffset] = uint8_t(packetNo);
            break;
        case kStepSyncPackage:
            setStepText(text::kStepSyncPackage);
            frame[0] = kIspSyncCmd;
            frame[kPacketOffset] = frame[kSecondPacketOffset] = uint8_t(packetNo);
            break;
        case kStepFirmwareVersion:
            setStepText(text::kStepFirmwareVersion);
            frame[0] = kIspFirmwareVersionCmd;
            frame[kPacketOffset] = uint8_t(packetNo);
            break;
        case kStepDeviceId:
            setStepText(text::kStepDeviceId);
            frame[0] = kIspDeviceIdCmd;
            frame[kPacketOffset] = uint8_t(packetNo);
            break;
        case kStepReadConfig:
            setStepText(text::kStepReadConfig);
            frame[0] = kIspReadConfigCmd;
            frame[kPacketOffset] = uint8_t(packetNo);
            break;
        case kStepSyncProgram:
            setStepText(text::kStepSyncProgram);
            frame[0] = kIspSyncCmd;
            packetNo = 1;
            frame[kPacketOffset] = frame[kSecondPacketOffset] = uint8_t(packetNo);
            break;
        case kStepStartProgram:
            setStepText(text::kStepStartProgram);
            frame[0] = kIspStartProgramCmd;
            ++packetNo;
            putLittleEndian32(frame, kPacketOffset, uint32_t(packetNo));
            putLittleEndian32(frame, kSecondPacketOffset, 0);
            putLittleEndian32(frame, kImageSizeOffset, uint32_t(imageSize));
            copyImageBytes(frame + kStartImageOffset, 0, kStartImageBytes);
            imageOffset = kStartImageBytes;
            break;
        case kIspData: {
            programIndex = (packetNo - 3) / 2;
            setStepText(text::kStepMcuProgramming + std::to_string(programIndex));
            pbProgress.SetPosition(programIndex);
            frame[0] = kIspDataCmd;
            ++packetNo;
            putLittleEndian32(frame, kPacketOffset, uint32_t(packetNo));
            const int32_t remaining = imageSize - imageOffset;
            const int32_t taken = remaining > kIspDataBytes ? kIspDataBytes : std::max(remaining, 0);
            copyImageBytes(frame + kDataOffset, imageOffset, taken);
            imageOffset += taken;
            break;
        }
        case kIspReset:
            frame[0] = kIspResetCmd;
            ++packetNo;
            putLittleEndian32(frame, kPacketOffset, uint32_t(packetNo));
            setStepText(text::kStepMcuReset);
            ispStep = kIspIdle;
            pbProgress.SetPosition(0);
            sbStatus.SetPanelText(1, text::kNoDevice);
            tmWaitDisconnect.SetEnabled(true);
            break;
        default:
            ispStep = kIspIdle;
            break;
    }
}

void TfmIsp::sendIspStep() {
    uint8_t frame[kIspFrameSize] = {};
    const bool resetStep = ispStep == kIspReset;
    fillIspFrame(frame);
    frameSum = 0;
    SendCmd(CM_MCS_PROGRAM_DATA(frame, kIspFrameSize), true, MODE_RAW);
    frameSum = std::accumulate(frame, frame + kIspFrameSize, 0u);
    if (!usbProc) return;
    if (resetStep) {
        mcuProgrammed = true;
        if (updateActive) updatePhase = UpdatePhase::AwaitingRunMode;
    }
    if (stepText() == text::kStepMcuReset) {
        tmWaitDisconnect.SetEnabled(true);
        return;
    }
    armReplyGate();
}

void TfmIsp::armReplyGate() {
    int interval = kGateSlowMs;
    if (ispStep == kStepStartProgram)
        interval = kGateStartProgramMs;
    else if (imageOffset + kIspDataBytes < imageSize)
        interval = kGateFastMs;
    tmUsbWait.SetInterval(interval);
    tmUsbWait.SetEnabled(true);
}

void TfmIsp::handleIspReply(const LCmd& reply) {
    const ByteVector data = reply.data;
    if (reply.echoSum != frameSum) {
        switch (ispStep) {
            case kIspConnect: failIspStep(text::kIspStartError, true); break;
            case kStepSyncPackage: failIspStep(text::kIspSyncError, true); break;
            case kStepDeviceId: failIspStep(text::kGetIdError, true); break;
            case kStepFirmwareVersion:
            case kStepReadConfig:
            case kStepSyncProgram: failIspStep(text::kEraseAllError, false); break;
            case kStepStartProgram: failIspStep(text::kProgramStartError, false); break;
            case kIspData: failIspStep(text::kProgramDataError, false); break;
            default: break;
        }
        return;
    }
    switch (ispStep) {
        case kIspConnect:
        case kStepSyncPackage:
        case kStepFirmwareVersion:
        case kStepSyncProgram:
        case kStepStartProgram:
            packetNo = replyByte(data, 0);
            ++ispStep;
            break;
        case kStepDeviceId:
            packetNo = replyByte(data, 0);
            deviceId = replyLittleEndian32(data, 4);
            setStepText(deviceIdText(deviceId, configWord0, configWord1));
            ++ispStep;
            break;
        case kStepReadConfig:
            packetNo = replyByte(data, 0);
            configWord0 = replyLittleEndian32(data, 4);
            configWord1 = replyLittleEndian32(data, 8);
            ++ispStep;
            break;
        case kIspData:
            ispStep = imageSize > imageOffset ? kIspData : kIspReset;
            packetNo = int32_t(replyLittleEndian32(data, 0));
            break;
        default:
            return;
    }
    sendIspStep();
}

void TfmIsp::failIspStep(const char* message, bool dropLinkFirst) {
    if (dropLinkFirst)
        closeLink();
    else
        setBusy(false);
    abandonUpdate();
    ui::MessageDlg(message, ui::MsgType::Error);
}
