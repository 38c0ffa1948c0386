// The updater's windows on the virtual HID hub, with emulated devices attached over socket
// pairs, every box recorded and closed at once, and waits that keep the event loop turning.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/Updater.h"
#include "emulator/Emulator.h"

namespace harness {

constexpr int kWaitMs = 60000;  // generous: the machines are shared

// An emulator that re-enumerates quickly, so a whole update takes a fraction of a second
// beyond the protocol's own pacing.
emu::Config FastDevice(emu::Personality start = emu::Personality::RunMode);

// A small MCU image as Intel HEX lines (16-byte records from address 0, end of file), and a
// small DSP word table.
struct SmallImages {
    explicit SmallImages(int mcuBytes, int dspWords);
    void SetHexLines(std::vector<std::string> lines);
    std::vector<std::string> hexLines;
    std::vector<const char*> hexPointers;
    std::vector<uint32_t> words;
    HexTable mcu() const { return {hexPointers.data(), hexPointers.size()}; }
    WordTable dsp() const { return {words.data(), words.size()}; }
};

class Harness {
public:
    Harness();
    ~Harness();

    TfmIsp& isp() { return windows_->isp(); }
    // Attaches a new emulated device; the first scan is made on Start().
    emu::DeviceEmulator& Attach(emu::Config config);
    void Start();
    void UseImages(const SmallImages& images);
    // A small MCU image with the embedded DSP image.
    void UseMcuImage(const SmallImages& images);

    bool WaitFor(const std::function<bool()>& pred, int timeoutMs = kWaitMs);
    bool WaitForBox(const std::string& text, int timeoutMs = kWaitMs);
    bool WaitForStartEnabled(int timeoutMs = kWaitMs);
    // Runs the loop for a while (to show that nothing more happens).
    void Pump(int ms);

    // Presses Start and waits for the success box; false if another box came first.
    bool RunUpdate(int timeoutMs = kWaitMs);

    std::vector<ui::BoxRecord> boxes;
    std::vector<std::string> steps;
    std::vector<LCmd> runModeReplies;
    std::vector<std::unique_ptr<emu::DeviceEmulator>> devices;

    // Expected device contents after a complete update with the images in use.
    std::vector<uint8_t> ExpectedFlash() const;
    std::vector<uint8_t> ExpectedDsp() const;

private:
    hid::VirtualHub hub_;
    std::unique_ptr<UpdaterWindows> windows_;
    HexTable mcu_;
    WordTable dsp_;
};

// The output reports a device received, in order, as the bytes after the report ID.
std::vector<emu::Bytes> ReceivedReports(const emu::DeviceEmulator& device);
// The run-mode command codes (byte 5 of each framed report) a device received, in order.
std::vector<int> RunModeCodes(const emu::DeviceEmulator& device);

}  // namespace harness
