#include "tests/support/UpdaterHarness.h"

#include <cstdio>

#include "app/Texts.h"

namespace harness {

namespace {
constexpr int kHexRecordBytes = 16;

std::string hexRecord(int address, const uint8_t* bytes, int count, int type) {
    std::string line = ":";
    char field[24];
    unsigned sum = unsigned(count) + unsigned(address >> 8) + unsigned(address & 0xFF) + unsigned(type);
    std::snprintf(field, sizeof field, "%02X%04X%02X", count, address & 0xFFFF, type);
    line += field;
    for (int i = 0; i < count; ++i) {
        std::snprintf(field, sizeof field, "%02X", bytes[i]);
        line += field;
        sum += bytes[i];
    }
    std::snprintf(field, sizeof field, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + field;
}
}  // namespace

emu::Config FastDevice(emu::Personality start) {
    emu::Config config;
    config.start = start;
    config.timing.toBootLoader = std::chrono::milliseconds(20);
    config.timing.toRunMode = std::chrono::milliseconds(20);
    config.timing.leaveAfterReply = std::chrono::milliseconds(2);
    return config;
}

SmallImages::SmallImages(int mcuBytes, int dspWords) {
    std::vector<uint8_t> image(static_cast<std::size_t>(mcuBytes));
    for (int i = 0; i < mcuBytes; ++i) image[std::size_t(i)] = uint8_t(i * 7 + 3);
    for (int address = 0; address < mcuBytes; address += kHexRecordBytes) {
        int count = std::min(kHexRecordBytes, mcuBytes - address);
        hexLines.push_back(hexRecord(address, image.data() + address, count, 0));
    }
    hexLines.push_back(":00000001FF");
    SetHexLines(hexLines);
    for (int i = 0; i < dspWords; ++i) words.push_back(0x9E000000u + uint32_t(i) * 0x01010101u);
}

void SmallImages::SetHexLines(std::vector<std::string> lines) {
    hexLines = std::move(lines);
    hexPointers.clear();
    for (const std::string& line : hexLines) hexPointers.push_back(line.c_str());
}

Harness::Harness()
    : windows_(std::make_unique<UpdaterWindows>(hub_.MakeBackend())),
      mcu_(EmbeddedMcuHex()),
      dsp_(EmbeddedDspWords()) {
    ui::SetMessageBoxObserver([this](const ui::BoxRecord& box) { boxes.push_back(box); }, 0);
    isp().onStepText = [this](const std::string& step) { steps.push_back(step); };
    isp().onRunModeReply = [this](const LCmd& reply) { runModeReplies.push_back(reply); };
}

Harness::~Harness() {
    windows_.reset();
    for (auto& device : devices) device->Stop();
    ui::SetMessageBoxObserver({}, -1);
}

emu::DeviceEmulator& Harness::Attach(emu::Config config) {
    devices.push_back(std::make_unique<emu::DeviceEmulator>(std::move(config)));
    hub_.AddConnection(devices.back()->AttachSocketPair());
    return *devices.back();
}

void Harness::Start() { windows_->Start(false); }

void Harness::UseImages(const SmallImages& images) {
    mcu_ = images.mcu();
    dsp_ = images.dsp();
    isp().mcuTable = mcu_;
    isp().dspTable = dsp_;
}

void Harness::UseMcuImage(const SmallImages& images) {
    mcu_ = images.mcu();
    isp().mcuTable = mcu_;
}

bool Harness::WaitFor(const std::function<bool()>& pred, int timeoutMs) {
    return ui::Application::Instance()->RunUntil(pred, timeoutMs);
}

bool Harness::WaitForBox(const std::string& text, int timeoutMs) {
    return WaitFor(
        [&] {
            for (const ui::BoxRecord& box : boxes)
                if (box.text == text) return true;
            return false;
        },
        timeoutMs);
}

bool Harness::WaitForStartEnabled(int timeoutMs) {
    return WaitFor([&] { return isp().btnStartProgram.Enabled(); }, timeoutMs);
}

void Harness::Pump(int ms) {
    ui::Application::Instance()->RunUntil([] { return false; }, ms);
}

bool Harness::RunUpdate(int timeoutMs) {
    const std::size_t before = boxes.size();
    isp().btnStartProgram.Click();
    WaitFor([&] { return boxes.size() > before; }, timeoutMs);
    return boxes.size() > before && boxes[before].text == text::kProgramOk;
}

std::vector<uint8_t> Harness::ExpectedFlash() const {
    std::vector<uint8_t> buffer(kImageBufferSize);
    McuLoadResult load = LoadMcuImage(mcu_, buffer.data(), kMcuImageCapacity);
    buffer.resize(std::size_t(load.imageSize));
    return buffer;
}

std::vector<uint8_t> Harness::ExpectedDsp() const {
    std::vector<uint8_t> buffer(kImageBufferSize);
    buffer.resize(std::size_t(LoadDspImage(dsp_, buffer.data())));
    return buffer;
}

std::vector<emu::Bytes> ReceivedReports(const emu::DeviceEmulator& device) {
    std::vector<emu::Bytes> reports;
    for (const emu::LogEvent& event : device.Log())
        if (event.kind == emu::EventKind::Output && !event.bytes.empty())
            reports.emplace_back(event.bytes.begin() + 1, event.bytes.end());
    return reports;
}

std::vector<int> RunModeCodes(const emu::DeviceEmulator& device) {
    std::vector<int> codes;
    for (const emu::LogEvent& event : device.Log()) {
        if (event.kind != emu::EventKind::Output || event.personality != emu::Personality::RunMode)
            continue;
        if (event.bytes.size() > 6 && event.bytes[1] == kDle && event.bytes[2] == kStx)
            codes.push_back(event.bytes[6]);
    }
    return codes;
}

}  // namespace harness
