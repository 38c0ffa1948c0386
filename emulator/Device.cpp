#include "emulator/Device.h"

#include <algorithm>
#include <cstdio>

#include "protocol/Lcmd.h"

namespace emu {

namespace {

// Framed run-mode traffic: 10 02 <direction> <group> L code payload 10 03 check.
constexpr std::size_t kLengthAt = 4;
constexpr std::size_t kCodeAt = 5;
constexpr std::size_t kPayloadAt = 6;
constexpr uint8_t kHostMarker = 0x00;    // byte 2 of a frame from the host
constexpr uint8_t kDeviceMarker = 0x01;  // byte 2 of a frame from the device
constexpr std::size_t kMaxFramePayload = kReportSize - kFrameOverhead - 1;

// Parameter table rows.
constexpr std::size_t kRowBytes = 50;
constexpr std::size_t kFullRows = 10;
constexpr std::size_t kLastRowBytes = kParameterTableSize - kFullRows * kRowBytes;
constexpr std::size_t kSelectorSlot = 16;
constexpr std::size_t kKeyHalfAt = 5;
constexpr std::size_t kKeyOtherHalfAt = 9;
constexpr std::size_t kSelectorCount = 32;

// DSP block command payload: block number (big-endian 16 bits), then 32 XORed bytes.
constexpr std::size_t kBlockNumberBytes = 2;

// ISP frames (the first 64 bytes of each 70-byte frame reach the device).
constexpr uint8_t kIspData = 0x00;
constexpr uint8_t kIspConnect = 0x80;
constexpr uint8_t kIspFirmwareVersion = 0x82;
constexpr uint8_t kIspDeviceId = 0x83;
constexpr uint8_t kIspReadConfig = 0x84;
constexpr uint8_t kIspStartProgram = 0x85;
constexpr uint8_t kIspMcuReset = 0x86;
constexpr std::size_t kPacketAt = 4;
constexpr std::size_t kFieldAt = 8;         // version, device ID, first configuration word
constexpr std::size_t kSecondFieldAt = 12;  // second configuration word
constexpr std::size_t kImageSizeAt = 12;    // Start Program
constexpr std::size_t kStartBytesAt = 16;   // Start Program: first image bytes
constexpr std::size_t kStartBytes = kReportSize - kStartBytesAt;
constexpr std::size_t kDataBytesAt = 8;     // Data: image bytes
constexpr std::size_t kDataBytes = kReportSize - kDataBytesAt;

// Fault defaults.
constexpr int kDefaultSumError = 1;
constexpr int kDefaultGarbageReports = 1;
constexpr int kDefaultOversizedLength = 57;
constexpr int kDefaultShortReport = 32;
constexpr int kDefaultUnknownCode = 0x77;
constexpr int kDefaultBadRow = 11;
constexpr int kDefaultBadSelector = 64;

uint32_t ReadLe32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void WriteLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

int FaultValue(const Fault& fault) {
    if (fault.value) return *fault.value;
    switch (fault.kind) {
        case FaultKind::WrongSum: return kDefaultSumError;
        case FaultKind::Garbage: return kDefaultGarbageReports;
        case FaultKind::OversizedLength: return kDefaultOversizedLength;
        case FaultKind::ShortReport: return kDefaultShortReport;
        case FaultKind::UnknownCode: return kDefaultUnknownCode;
        case FaultKind::BadRowIndex: return kDefaultBadRow;
        case FaultKind::BadSelector: return kDefaultBadSelector;
        default: return 0;
    }
}

const Fault* FindFault(const std::vector<Fault>& faults, FaultKind kind) {
    for (const Fault& f : faults)
        if (f.kind == kind) return &f;
    return nullptr;
}

// A device frame padded to one report.
Bytes BuildDeviceFrame(uint8_t code, const Bytes& payload) {
    Bytes report(kReportSize, 0);
    std::size_t n = std::min(payload.size(), kMaxFramePayload);
    std::size_t at = 0;
    uint8_t check = 0;
    auto put = [&](uint8_t b) {
        report[at++] = b;
        check ^= b;
    };
    put(kDle);
    put(kStx);
    put(kDeviceMarker);
    put(kHostMarker);
    put(uint8_t(n + 1));
    put(code);
    for (std::size_t i = 0; i < n; ++i) put(payload[i]);
    put(kDle);
    put(kEtx);
    report[at] = check;
    return report;
}

std::string Hex(std::size_t offset, uint8_t got, uint8_t expected) {
    char text[64];
    std::snprintf(text, sizeof text, "0x%05zX: got 0x%02X, expected 0x%02X", offset, got,
                  expected);
    return text;
}

}  // namespace

const char* PersonalityName(Personality p) {
    return p == Personality::BootLoader ? "boot loader" : "run mode";
}

ParameterTable DefaultParameterTable() {
    ParameterTable table{};
    constexpr uint8_t kStep = 37;
    constexpr uint8_t kBase = 11;
    constexpr uint8_t kSelector = 2;
    for (std::size_t i = 0; i < table.size(); ++i) table[i] = uint8_t(i * kStep + kBase);
    table[0] = kSelector;
    return table;
}

uint32_t DeriveKey(const ParameterTable& table) {
    std::size_t slot = kSelectorSlot * (table[0] % kSelectorCount);
    uint32_t key = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        uint8_t k = table[kKeyHalfAt + slot + i] ^ table[kKeyOtherHalfAt + slot + i];
        key |= uint32_t(k) << (8 * i);
    }
    return key;
}

Device::Device(const Config& config)
    : config_(config),
      random_(config.seed),
      key_(DeriveKey(config.parameters)),
      flash_(kFlashSize, kErasedFlash),
      dsp_(kDspMemorySize, 0) {
    for (const Fault& f : config.faults) faults_.push_back({f, 0});
}

void Device::BeginSession() {
    programming_ = false;
    dataFrames_ = 0;
}

Response Device::HandleReport(Personality personality, const uint8_t* report, std::size_t size,
                              bool* handled) {
    *handled = false;
    // Report ID 0 first; the device has no numbered reports.
    if (size < 2 || report[0] != 0) return {};
    const uint8_t* bytes = report + 1;
    std::size_t count = size - 1;
    if (personality == Personality::RunMode) {
        HostFrame frame;
        if (!ParseHostFrame(bytes, count, &frame)) return {};
        *handled = true;
        return HandleRunFrame(frame);
    }
    uint8_t frame[kReportSize] = {};
    std::copy_n(bytes, std::min(count, kReportSize), frame);
    *handled = true;
    return HandleIspFrame(frame);
}

bool Device::ParseHostFrame(const uint8_t* bytes, std::size_t size, HostFrame* frame) {
    if (size < std::size_t(kFrameOverhead) + 1) return false;
    if (bytes[0] != kDle || bytes[1] != kStx || bytes[2] != kHostMarker ||
        bytes[3] != cmd::kGroup)
        return false;
    std::size_t length = bytes[kLengthAt];
    if (length == 0 || length + kFrameOverhead > size) return false;
    if (bytes[kCodeAt + length] != kDle || bytes[kCodeAt + length + 1] != kEtx) return false;
    uint8_t check = 0;
    for (std::size_t i = 0; i < kCodeAt + length + 2; ++i) check ^= bytes[i];
    if (check != bytes[kCodeAt + length + 2]) return false;
    frame->code = bytes[kCodeAt];
    frame->payload = bytes + kPayloadAt;
    frame->length = length - 1;
    return true;
}

Response Device::HandleRunFrame(const HostFrame& frame) {
    auto faults = Strike([&](const StagePoint& at) { return RunFrameMatches(at, frame); });
    if (const Fault* unplug = FindFault(faults, FaultKind::Unplug))
        return Unplug(*unplug, Personality::RunMode);

    RunReply reply = AnswerRunCommand(frame);
    bool isRow = reply.code == cmd::kParamBlock && !reply.payload.empty();
    if (const Fault* f = FindFault(faults, FaultKind::BadSelector);
        f && isRow && reply.payload.size() > 1 && reply.payload[0] == 0)
        reply.payload[1] = uint8_t(FaultValue(*f));
    if (const Fault* f = FindFault(faults, FaultKind::BadRowIndex); f && isRow)
        reply.payload[0] = uint8_t(FaultValue(*f));
    if (const Fault* f = FindFault(faults, FaultKind::UnknownCode))
        reply.code = uint8_t(FaultValue(*f));

    Bytes report = BuildDeviceFrame(reply.code, reply.payload);
    if (const Fault* f = FindFault(faults, FaultKind::OversizedLength))
        report[kLengthAt] = uint8_t(FaultValue(*f));

    Response response;
    response.reports.push_back(std::move(report));
    if (frame.code == cmd::kIapReset) {
        response.bus = Response::Bus::LeaveAfterReply;
        response.next = Personality::BootLoader;
    }
    AddReportFaults(faults, &response);
    return response;
}

Device::RunReply Device::AnswerRunCommand(const HostFrame& frame) {
    switch (frame.code) {
        case cmd::kParamBlock: return {frame.code, ParameterRow(frame)};
        case cmd::kDspBlock: return {frame.code, StoreDspBlock(frame)};
        default: return {frame.code, {}};  // acknowledged with the code alone
    }
}

Bytes Device::ParameterRow(const HostFrame& frame) const {
    if (frame.length < 1) return {};
    uint8_t row = frame.payload[0];
    Bytes payload{row};
    if (row > kFullRows) return payload;  // no such row: the index alone
    std::size_t count = row < kFullRows ? kRowBytes : kLastRowBytes;
    auto begin = config_.parameters.begin() + row * kRowBytes;
    payload.insert(payload.end(), begin, begin + count);
    return payload;
}

Bytes Device::StoreDspBlock(const HostFrame& frame) {
    std::size_t echoed = std::min(frame.length, kBlockNumberBytes);
    Bytes payload(frame.payload, frame.payload + echoed);
    if (frame.length < kBlockNumberBytes + kDspBlockSize) return payload;
    std::size_t block = std::size_t(frame.payload[0]) << 8 | frame.payload[1];
    if (block >= dspStored_.size()) return payload;  // beyond the DSP memory
    const uint8_t* data = frame.payload + kBlockNumberBytes;
    for (std::size_t i = 0; i < kDspBlockSize; ++i)
        dsp_[block * kDspBlockSize + i] = data[i] ^ uint8_t(key_ >> (8 * (i % 4)));
    dspStored_.set(block);
    return payload;
}

Response Device::HandleIspFrame(const uint8_t* frame) {
    auto faults = Strike([&](const StagePoint& at) { return IspFrameMatches(at, frame); });
    if (const Fault* unplug = FindFault(faults, FaultKind::Unplug))
        return Unplug(*unplug,
                      frame[0] == kIspMcuReset ? Personality::RunMode : Personality::BootLoader);

    Bytes report = AnswerIspFrame(frame);
    if (const Fault* f = FindFault(faults, FaultKind::WrongSum))
        WriteLe32(report.data(), ReadLe32(report.data()) + uint32_t(FaultValue(*f)));

    Response response;
    response.reports.push_back(std::move(report));
    if (frame[0] == kIspMcuReset) {
        response.bus = Response::Bus::LeaveAfterReply;
        response.next = Personality::RunMode;
    }
    AddReportFaults(faults, &response);
    response.lastRepeats = !response.reports.empty();
    return response;
}

Bytes Device::AnswerIspFrame(const uint8_t* frame) {
    Bytes reply(kReportSize, 0);
    uint32_t sum = 0;
    for (std::size_t i = 0; i < kReportSize; ++i) sum += frame[i];
    WriteLe32(reply.data(), sum);
    uint8_t command = frame[0];
    if (command >= kIspConnect && command <= kIspStartProgram)
        reply[kPacketAt] = uint8_t(frame[kPacketAt] + 1);
    switch (command) {
        case kIspFirmwareVersion: reply[kFieldAt] = config_.firmwareVersion; break;
        case kIspDeviceId: WriteLe32(&reply[kFieldAt], config_.deviceId); break;
        case kIspReadConfig:
            WriteLe32(&reply[kFieldAt], config_.configWord0);
            WriteLe32(&reply[kSecondFieldAt], config_.configWord1);
            break;
        case kIspStartProgram: StartProgram(frame); break;
        case kIspData:
            WriteLe32(&reply[kPacketAt], ReadLe32(frame + kPacketAt) + 1);
            if (programming_) {
                StoreFlash(frame + kDataBytesAt, kDataBytes);
                ++dataFrames_;
            }
            break;
        default: break;  // MCU Reset and unknown commands: the sum alone
    }
    return reply;
}

// Erases the flash (to the erased value of real flash) and takes the first image bytes.
void Device::StartProgram(const uint8_t* frame) {
    imageSize_ = uint32_t(std::min<std::size_t>(ReadLe32(frame + kImageSizeAt), kFlashSize));
    std::fill(flash_.begin(), flash_.end(), kErasedFlash);
    flashWritten_ = 0;
    flashOffset_ = 0;
    programming_ = true;
    dataFrames_ = 0;
    StoreFlash(frame + kStartBytesAt, kStartBytes);
}

// Only bytes inside the announced image reach the flash; the position advances regardless.
void Device::StoreFlash(const uint8_t* bytes, std::size_t count) {
    if (flashOffset_ < imageSize_) {
        std::size_t n = std::min<std::size_t>(count, imageSize_ - flashOffset_);
        std::copy_n(bytes, n, flash_.begin() + flashOffset_);
        flashWritten_ += uint32_t(n);
    }
    flashOffset_ += count;
}

int Device::DataFrameCount() const {
    if (imageSize_ <= kStartBytes) return 1;  // one data frame follows, even an empty one
    return int((imageSize_ - kStartBytes + kDataBytes - 1) / kDataBytes);
}

bool Device::RunFrameMatches(const StagePoint& at, const HostFrame& frame) const {
    switch (at.stage) {
        case Stage::RunCommand: return at.code == kAny || at.code == frame.code;
        case Stage::ParamRequest:
            return frame.code == cmd::kParamBlock &&
                   (at.index == kAny || (frame.length >= 1 && frame.payload[0] == at.index));
        case Stage::DspBlock:
            return frame.code == cmd::kDspBlock &&
                   (at.index == kAny ||
                    (frame.length >= kBlockNumberBytes &&
                     (frame.payload[0] << 8 | frame.payload[1]) == at.index));
        default: return false;
    }
}

bool Device::IspFrameMatches(const StagePoint& at, const uint8_t* frame) const {
    switch (at.stage) {
        case Stage::IspCommand: return at.code == kAny || at.code == frame[0];
        case Stage::DataFrame: {
            if (frame[0] != kIspData || !programming_) return false;
            int wanted = at.index;
            if (wanted == kLastDataFrame) wanted = DataFrameCount() - 1;
            if (wanted == kMiddleDataFrame) wanted = DataFrameCount() / 2;
            return wanted == kAny || wanted == dataFrames_;
        }
        default: return false;
    }
}

std::vector<Fault> Device::Strike(const std::function<bool(const StagePoint&)>& matches) {
    std::vector<Fault> struck;
    for (FaultState& state : faults_) {
        if (!matches(state.fault.at)) continue;
        ++state.seen;
        int occurrence = state.fault.at.occurrence;
        if (occurrence == 0 || state.seen == uint64_t(occurrence)) struck.push_back(state.fault);
    }
    return struck;
}

Response Device::Unplug(const Fault& fault, Personality natural) const {
    Response response;
    response.bus = Response::Bus::UnplugNow;
    response.returnAfter = fault.returnAfter;
    switch (fault.returnAs) {
        case ReturnAs::Natural: response.next = natural; break;
        case ReturnAs::RunMode: response.next = Personality::RunMode; break;
        case ReturnAs::BootLoader: response.next = Personality::BootLoader; break;
    }
    return response;
}

Bytes Device::Garbage() {
    std::uniform_int_distribution<int> byte(0, 255);
    Bytes report(kReportSize);
    for (uint8_t& b : report) b = uint8_t(byte(random_));
    return report;
}

void Device::AddReportFaults(const std::vector<Fault>& faults, Response* response) {
    if (response->reports.empty()) return;
    if (const Fault* f = FindFault(faults, FaultKind::ShortReport)) {
        int size = std::clamp(FaultValue(*f), 0, int(kReportSize) - 1);
        response->reports.back().resize(std::size_t(size));
    }
    if (FindFault(faults, FaultKind::DoubleReply))
        response->reports.push_back(response->reports.back());
    if (const Fault* f = FindFault(faults, FaultKind::Garbage)) {
        int count = std::max(FaultValue(*f), 0);
        for (int i = 0; i < count; ++i)
            response->reports.insert(response->reports.begin(), Garbage());
    }
    if (FindFault(faults, FaultKind::NoReply)) response->reports.clear();
}

Verification Device::VerifyFlash(const uint8_t* expected, std::size_t size) const {
    char text[128];
    if (size > kFlashSize) {
        std::snprintf(text, sizeof text, "expected image of %zu bytes exceeds the flash (%zu bytes)",
                      size, kFlashSize);
        return {false, text};
    }
    if (flashWritten_ != size) {
        std::snprintf(text, sizeof text, "flash holds %u bytes, expected %zu", flashWritten_, size);
        return {false, text};
    }
    if (imageSize_ != size) {
        std::snprintf(text, sizeof text, "flash image size announced as %u, expected %zu",
                      imageSize_, size);
        return {false, text};
    }
    for (std::size_t i = 0; i < size; ++i)
        if (flash_[i] != expected[i]) return {false, "flash differs at " + Hex(i, flash_[i], expected[i])};
    std::snprintf(text, sizeof text, "flash holds the expected %zu bytes", size);
    return {true, text};
}

Verification Device::VerifyDsp(const uint8_t* expected, std::size_t size) const {
    char text[128];
    // The host sends blocks 0 to size / 32, the last one partly or wholly beyond the image.
    std::size_t blocks = size / kDspBlockSize + 1;
    if (blocks > dspStored_.size()) {
        std::snprintf(text, sizeof text,
                      "expected DSP image of %zu bytes exceeds the DSP memory (%zu bytes)", size,
                      kDspMemorySize);
        return {false, text};
    }
    for (std::size_t b = 0; b < blocks; ++b) {
        if (dspStored_.test(b)) continue;
        std::snprintf(text, sizeof text, "DSP block %zu not stored (%zu of %zu blocks stored)", b,
                      dspStored_.count(), blocks);
        return {false, text};
    }
    for (std::size_t i = 0; i < size; ++i)
        if (dsp_[i] != expected[i])
            return {false, "DSP memory differs at " + Hex(i, dsp_[i], expected[i])};
    for (std::size_t i = size; i < dsp_.size(); ++i)
        if (dsp_[i] != 0)
            return {false, "DSP memory differs at " + Hex(i, dsp_[i], 0) + " (beyond the image)"};
    std::snprintf(text, sizeof text, "DSP memory holds the expected %zu bytes in %zu blocks", size,
                  blocks);
    return {true, text};
}

}  // namespace emu
