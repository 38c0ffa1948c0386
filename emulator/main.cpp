// dsp-device-emulator: the emulated DSP device as a program, attached to a listening updater's
// device socket or created as a real HID device through /dev/uhid.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "emulator/Emulator.h"

namespace {

constexpr char kUsage[] =
    "Usage: dsp-device-emulator (--socket PATH | --uhid) [options]\n"
    "\n"
    "Emulates the DSP device (vendor 0x0168): its firmware (product 0x0821) and its boot\n"
    "loader (product 0x0904), with the switch between them on reset.\n"
    "\n"
    "  --socket PATH          connect to an updater listening on a Unix socket\n"
    "  --uhid                 create a kernel HID device through /dev/uhid\n"
    "  --boot-loader          start in the boot loader\n"
    "  --reply-model MODEL    boot loader answers: repeat (default) or single\n"
    "  --latency-ms MS        processing time before each answer (default 1)\n"
    "  --repeat-ms MS         repeat interval of the repeat model (default 5)\n"
    "  --reenumerate-ms MS    time off the bus when switching personality (default 1000)\n"
    "  --unplug-at STAGE      leave the bus at STAGE and come back\n"
    "  --return-after-ms MS   time off the bus after such an unplug (default 1000)\n"
    "  --return-as AS         come back as: natural (default), run or boot\n"
    "  --wrong-sum-at CMD     answer the ISP command CMD with a wrong echo sum\n"
    "  --no-reply-at STAGE    do not answer at STAGE\n"
    "  --help                 show this text\n"
    "  --version              show the version\n"
    "\n"
    "STAGE: run:CODE, param:I, dsp:N, isp:CMD, mcu-reset or data:first|middle|last|K,\n"
    "optionally followed by @K (the K-th occurrence) or @every. Numbers are decimal or 0x-hex.\n";

struct Options {
    std::string socketPath;
    bool uhid = false;
    emu::Config config;
    std::chrono::milliseconds returnAfter{1000};
    emu::ReturnAs returnAs = emu::ReturnAs::Natural;
};

bool ParseMs(const std::string& text, double* ms) {
    char* end = nullptr;
    *ms = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && *ms >= 0;
}

std::chrono::microseconds Micro(double ms) {
    return std::chrono::microseconds(static_cast<long long>(ms * 1000));
}

bool AddFault(emu::FaultKind kind, const std::string& stage, Options* o, std::string* error) {
    emu::Fault fault;
    fault.kind = kind;
    if (!emu::ParseStage(stage, &fault.at, error)) return false;
    o->config.faults.push_back(fault);
    return true;
}

bool AddWrongSum(const std::string& command, Options* o, std::string* error) {
    return AddFault(emu::FaultKind::WrongSum, "isp:" + command, o, error);
}

bool ParseReturnAs(const std::string& text, emu::ReturnAs* as) {
    if (text == "natural") *as = emu::ReturnAs::Natural;
    else if (text == "run") *as = emu::ReturnAs::RunMode;
    else if (text == "boot") *as = emu::ReturnAs::BootLoader;
    else return false;
    return true;
}

constexpr int kRun = -1;
constexpr int kUsageError = 2;

// kRun, or the exit status after --help, --version or a usage error.
int ParseArguments(int argc, char** argv, Options* o) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string* v) {
            if (i + 1 >= args.size()) return false;
            *v = args[++i];
            return true;
        };
        std::string v;
        double ms = 0;
        bool ok = true;
        if (a == "--help") {
            std::fputs(kUsage, stdout);
            return EXIT_SUCCESS;
        } else if (a == "--version") {
            std::puts("dsp-device-emulator " DSP_VERSION);
            return EXIT_SUCCESS;
        } else if (a == "--socket") {
            ok = value(&o->socketPath);
        } else if (a == "--uhid") {
            o->uhid = true;
        } else if (a == "--boot-loader") {
            o->config.start = emu::Personality::BootLoader;
        } else if (a == "--reply-model") {
            ok = value(&v) && (v == "repeat" || v == "single");
            o->config.timing.bootLoaderReplies =
                v == "single" ? emu::ReplyModel::Single : emu::ReplyModel::Repeat;
        } else if (a == "--latency-ms") {
            ok = value(&v) && ParseMs(v, &ms);
            o->config.timing.latency = Micro(ms);
        } else if (a == "--repeat-ms") {
            ok = value(&v) && ParseMs(v, &ms) && ms > 0;
            o->config.timing.repeatEvery = Micro(ms);
        } else if (a == "--reenumerate-ms") {
            ok = value(&v) && ParseMs(v, &ms);
            auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(Micro(ms));
            o->config.timing.toBootLoader = o->config.timing.toRunMode = delay;
        } else if (a == "--return-after-ms") {
            ok = value(&v) && ParseMs(v, &ms);
            o->returnAfter = std::chrono::duration_cast<std::chrono::milliseconds>(Micro(ms));
        } else if (a == "--return-as") {
            ok = value(&v) && ParseReturnAs(v, &o->returnAs);
        } else if (a == "--unplug-at") {
            ok = value(&v) && AddFault(emu::FaultKind::Unplug, v, o, &error);
        } else if (a == "--no-reply-at") {
            ok = value(&v) && AddFault(emu::FaultKind::NoReply, v, o, &error);
        } else if (a == "--wrong-sum-at") {
            ok = value(&v) && AddWrongSum(v, o, &error);
        } else {
            ok = false;
            error = "unknown option " + a;
        }
        if (!ok) {
            if (error.empty()) error = "bad or missing value for " + a;
            std::fprintf(stderr, "dsp-device-emulator: %s (see --help)\n", error.c_str());
            return kUsageError;
        }
    }
    if (o->socketPath.empty() == !o->uhid) {
        std::fprintf(stderr, "dsp-device-emulator: give exactly one of --socket PATH and --uhid\n");
        return kUsageError;
    }
    for (emu::Fault& f : o->config.faults) {
        f.returnAfter = o->returnAfter;
        f.returnAs = o->returnAs;
    }
    return kRun;
}

void PrintEvent(const emu::LogEvent& ev) {
    switch (ev.kind) {
        case emu::EventKind::Create: {
            bool boot = ev.personality == emu::Personality::BootLoader;
            std::printf("appeared in %s (%04x:%04x)\n", emu::PersonalityName(ev.personality),
                        emu::kVendorId, boot ? emu::kBootLoaderProductId : emu::kRunModeProductId);
            break;
        }
        case emu::EventKind::Destroy:
            std::printf("left the bus (%s)\n", emu::PersonalityName(ev.personality));
            break;
        case emu::EventKind::PeerClosed:
            std::printf("connection closed by the host\n");
            kill(getpid(), SIGTERM);  // ends the wait in main
            break;
        default: return;
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (int status = ParseArguments(argc, argv, &options); status != kRun) return status;
    options.config.logCapacity = 0;
    options.config.onEvent = PrintEvent;

    // Every thread blocks the stop signals; main takes them with sigwait.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    emu::DeviceEmulator emulator(options.config);
    std::string error;
    bool attached = options.uhid ? emulator.OpenUhid(&error)
                                 : emulator.ConnectUnix(options.socketPath, &error);
    if (!attached) {
        std::fprintf(stderr, "dsp-device-emulator: %s\n", error.c_str());
        return EXIT_FAILURE;
    }
    int signal = 0;
    sigwait(&stopSignals, &signal);
    emulator.Stop();

    emu::Counters c = emulator.GetCounters();
    std::printf("flash: %u of %u image bytes written; DSP: %u blocks stored; "
                "%llu frames handled, %llu ignored\n",
                c.flashBytesWritten, c.flashImageSize, c.dspBlocksStored,
                static_cast<unsigned long long>(c.framesHandled),
                static_cast<unsigned long long>(c.framesIgnored));
    return 0;
}
