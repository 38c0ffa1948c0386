// Report I/O: one frame out as one output report, one input report in as the bytes of a reply.
#include <algorithm>
#include <array>
#include <cstring>

#include "app/Fhiddata.h"
#include "app/Isp.h"

namespace {

constexpr uint8_t kReportId = 0;
constexpr int kReportDataBytes = 64;
constexpr int kMaxFrameBytes = 99;        // the working buffer holds the ID byte and 99 more
constexpr int kMaxReportLength = 4096;    // longest output report we are prepared to write
constexpr uint8_t kFramedReplyStart[] = {kDle, kStx, cmd::kGroup, 0x00};
constexpr std::size_t kLengthByte = 4;

void appendHex(std::string& line, uint8_t value, const char* separator) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    line += kDigits[value >> 4];
    line += kDigits[value & 0x0F];
    line += separator;
}

std::string logLineFor(char direction, uint8_t reportId, const uint8_t* bytes, int count) {
    std::string line;
    line.reserve(5 + 3 * std::size_t(std::max(count, 0)));
    line += direction;
    line += ' ';
    appendHex(line, reportId, "  ");
    for (int i = 0; i < count; ++i) appendHex(line, bytes[i], " ");
    return line;
}

bool isFramedReply(const uint8_t* report) {
    return std::equal(std::begin(kFramedReplyStart), std::end(kFramedReplyStart), report);
}

}  // namespace

void TfmIsp::writeReport(const uint8_t* bytes, int32_t count) {
    count = std::clamp(count, 0, kMaxFrameBytes);
    // Bytes after a short frame carry no meaning for the device: they are sent as zeros.
    std::array<uint8_t, kMaxReportLength> report{};
    report[0] = kReportId;
    std::copy(bytes, bytes + count, report.begin() + 1);
    {
        std::lock_guard<std::mutex> guard(deviceMutex);
        if (hidDevice != nullptr) {
            int length = std::clamp(hidDevice->OutputReportLength(), 1, kMaxReportLength);
            hidDevice->WriteReport(report.data(), std::size_t(length));
        }
    }
    if (fmHidData != nullptr && fmHidData->Logging()) {
        std::string line = logLineFor('W', kReportId, bytes, count);
        LinkLoop().post([this, line] { logLine(line); });
    }
}

// The boot loader repeats its latest answer until the next frame reaches it; a repeat of the
// previous answer still on its way when the gate reopens does not answer the frame just sent.
bool TfmIsp::isStaleIspRepeat(const uint8_t* report) const {
    uint32_t echo = 0;
    for (int i = 0; i < kEchoSumLength; ++i) echo |= uint32_t(report[i]) << (8 * i);
    return echo != frameSum && std::memcmp(report, lastIspReply, kReportDataBytes) == 0;
}

void TfmIsp::HidCtlDeviceData(hid::Device& device, uint8_t reportId, const uint8_t* data,
                              uint16_t size) {
    (void)device;
    if (!rxEnabled) return;
    // A report shorter than 64 data bytes is zero-padded, as the HID core pads short reports.
    uint8_t report[kReportDataBytes] = {};
    std::memcpy(report, data, std::min<std::size_t>(size, kReportDataBytes));
    if (ispStep >= kIspConnect) {
        if (isStaleIspRepeat(report)) return;
        // While programming the MCU exactly one report is taken each time the gate opens.
        rxEnabled = false;
        std::memcpy(lastIspReply, report, kReportDataBytes);
    }
    // A framed length that would not fit in the report is cut to the report.
    int count = isFramedReply(report)
                    ? std::min(report[kLengthByte] + kFrameOverhead, kReportDataBytes)
                    : kReportDataBytes;
    if (usbProc) usbProc->ReceiveBytes(report, count);
    if (fmHidData != nullptr && fmHidData->Logging())
        logLine(logLineFor('R', reportId, report, count));
}
