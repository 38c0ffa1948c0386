// dsp-updater-demo: the updater on virtual HID devices, by default with one emulated device
// attached in run mode, so the whole update can be watched (or run headless) without hardware.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

#include "app/Texts.h"
#include "app/Updater.h"
#include "emulator/Emulator.h"

namespace {

constexpr const char* kDemoAppId = "dsp-updater-demo";
constexpr const char* kVersion = "1.0.2";
constexpr int kDefaultTimeoutSeconds = 300;
constexpr int kAfterSuccessMs = 1000;  // how long the closing command may take to be answered

enum ExitCode { kExitOk = 0, kExitBox = 1, kExitTimeout = 2, kExitUsage = 64, kExitVerdict = 3 };

struct Options {
    bool headless = false;
    bool showLog = false;
    int timeoutSeconds = kDefaultTimeoutSeconds;
    std::string deviceSocket;
};

void printHelp() {
    std::cout <<
        "Usage: dsp-updater-demo [OPTIONS]\n"
        "The DSP device updater on virtual HID devices. Without options the window opens with\n"
        "one emulated device attached in run mode; press \"Start Program\" to watch the update.\n"
        "\n"
        "  --headless             no window; Start Program is pressed as soon as it is enabled,\n"
        "                         every box is printed as 'box: TEXT' and closed, every step as\n"
        "                         'step: TEXT'. Exit 0 after a successful update, 1 after any\n"
        "                         other box, 2 when the time-out runs out\n"
        "  --timeout SECONDS      time-out of --headless (default 300)\n"
        "  --device-socket PATH   no built-in device: listen on a Unix stream socket; each\n"
        "                         connection is one virtual device (struct uhid_event records),\n"
        "                         e.g. from dsp-device-emulator --socket PATH\n"
        "  --show-log             also show the HID log window beside the main window\n"
        "  --help, --version\n"
        "With the built-in device the emulator's verdict on its flash and DSP memory is printed on\n"
        "exit; the exit status is 3 when they differ from the updater's images.\n";
}

std::optional<Options> parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (arg == "--headless") {
            options.headless = true;
        } else if (arg == "--show-log") {
            options.showLog = true;
        } else if (arg == "--timeout") {
            const char* v = value();
            if (!v || std::atoi(v) <= 0) return std::nullopt;
            options.timeoutSeconds = std::atoi(v);
        } else if (arg == "--device-socket") {
            const char* v = value();
            if (!v) return std::nullopt;
            options.deviceSocket = v;
        } else {
            return std::nullopt;
        }
    }
    return options;
}

bool haveDisplay() {
    return std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr ||
           std::getenv("QT_QPA_PLATFORM") != nullptr;
}

// What the built-in device should hold after a complete update: the updater's own images.
int printVerdict(const emu::DeviceEmulator& device) {
    static uint8_t mcu[kImageBufferSize];
    static uint8_t dsp[kImageBufferSize];
    const McuLoadResult load = LoadMcuImage(EmbeddedMcuHex(), mcu, kMcuImageCapacity);
    const int32_t dspSize = LoadDspImage(EmbeddedDspWords(), dsp);
    const emu::Verification flash = device.VerifyFlash(mcu, std::size_t(load.imageSize));
    const emu::Verification memory = device.VerifyDsp(dsp, std::size_t(dspSize));
    std::cout << "emulator: " << flash.text << "\n" << "emulator: " << memory.text << std::endl;
    return flash.ok && memory.ok ? kExitOk : kExitVerdict;
}

// Drives the window the way a user at the headless console would, and reports.
class HeadlessRun {
public:
    HeadlessRun(ui::Application& application, TfmIsp& isp, int timeoutSeconds)
        : application_(application), isp_(isp), timeout_(timeoutSeconds * 1000),
          afterSuccess_(kAfterSuccessMs) {
        timeout_.OnTimer = [this] { finish(kExitTimeout); };
        timeout_.SetEnabled(true);
        afterSuccess_.OnTimer = [this] { finish(kExitOk); };
        ui::SetMessageBoxObserver([this](const ui::BoxRecord& box) { onBox(box); }, 0);
        isp_.onStepText = [this](const std::string& step) { onStep(step); };
        isp_.onStartEnabled = [this] { pressStartOnce(); };
        isp_.onRunModeReply = [this](const LCmd& reply) {
            if (succeeded_ && reply.code == cmd::kClose) finish(kExitOk);
        };
    }
    ~HeadlessRun() { ui::SetMessageBoxObserver({}, -1); }

    int exitCode() const { return exitCode_.value_or(kExitTimeout); }

private:
    void onBox(const ui::BoxRecord& box) {
        std::cout << "box: " << box.text << std::endl;
        if (box.text == text::kProgramOk) {
            succeeded_ = true;
            afterSuccess_.SetEnabled(true);
        } else {
            application_.MainLoop().post([this] { finish(kExitBox); });
        }
    }

    void onStep(const std::string& step) {
        if (step == lastStep_) return;
        lastStep_ = step;
        std::cout << "step: " << step << std::endl;
    }

    void pressStartOnce() {
        if (pressed_) return;
        pressed_ = true;
        application_.MainLoop().post([this] { isp_.btnStartProgram.Click(); });
    }

    void finish(int code) {
        if (exitCode_) return;
        exitCode_ = code;
        application_.Terminate();
    }

    ui::Application& application_;
    TfmIsp& isp_;
    ui::Timer timeout_;
    ui::Timer afterSuccess_;
    std::string lastStep_;
    bool pressed_ = false;
    bool succeeded_ = false;
    std::optional<int> exitCode_;
};

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) return printHelp(), kExitOk;
        if (std::strcmp(argv[i], "--version") == 0)
            return std::cout << "dsp-updater-demo " << kVersion << std::endl, kExitOk;
    }
    std::optional<Options> options = parseOptions(argc, argv);
    if (!options) {
        printHelp();
        return kExitUsage;
    }
    if (!haveDisplay()) {
        if (!options->headless) std::cout << "No display: running headless." << std::endl;
        options->headless = true;
    }
    if (options->headless) setenv("QT_QPA_PLATFORM", "offscreen", 0);

    ui::Application application(argc, argv, kDemoAppId);
    hid::VirtualHub hub;
    UpdaterWindows windows(hub.MakeBackend());
    std::unique_ptr<emu::DeviceEmulator> device;
    if (options->deviceSocket.empty()) {
        device = std::make_unique<emu::DeviceEmulator>();
        hub.AddConnection(device->AttachSocketPair());
    } else {
        std::string error;
        if (!hub.Listen(options->deviceSocket, &error)) {
            std::cerr << "dsp-updater-demo: " << error << std::endl;
            return kExitUsage;
        }
    }

    int code = kExitOk;
    if (options->headless) {
        HeadlessRun run(application, windows.isp(), options->timeoutSeconds);
        windows.Start(false);
        application.Run();
        code = run.exitCode();
    } else {
        windows.Start(true);
        if (options->showLog) windows.isp().HidData1Click();
        application.Run();
    }
    if (device) {
        device->Stop();
        int verdict = printVerdict(*device);
        if (code == kExitOk) code = verdict;
    }
    return code;
}
