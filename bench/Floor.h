// The floor of one update: the time the protocol's pacing and the device itself impose, taken
// from the device's own timestamps (steady_clock, the clock the updater side is measured on).
// Whatever an update takes beyond it is the updater's own cost. bench/README.md says what is
// counted and why.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "emulator/Emulator.h"

namespace bench {

using Clock = std::chrono::steady_clock;

// The nominal intervals of the update chain's timers and of the ISP reply gate.
constexpr std::chrono::milliseconds kMcuPollInterval{100};     // tmMcuProg
constexpr std::chrono::milliseconds kRunStepInterval{100};     // tmRunStep
constexpr std::chrono::milliseconds kDspProgramInterval{100};  // tmDspProgram
constexpr int kGateFastMs = 20;
constexpr int kGateSlowMs = 200;
constexpr int kGateStartProgramMs = 1000;

// One thing the device did, as far as the floor needs it.
struct DeviceEvent {
    enum class Kind { Received, Sent, Appeared, Left };
    Clock::time_point time;
    Kind kind = Kind::Received;
    emu::Personality personality = emu::Personality::RunMode;
    // Received: the ISP command byte (boot loader) or the framed command code (run mode).
    int code = -1;
};

// The emulator's log event as a DeviceEvent; false for events the floor does not look at.
bool ToDeviceEvent(const emu::LogEvent& event, DeviceEvent* out);

// The gate interval that follows an ISP frame. dataIndex counts data frames from 0 since Start
// Program; leftoverOffset is the image position the previous programming run left behind (0 in
// the first run of the program), which paces the steps before Start Program. 0 = no gate.
int IspGateMs(int command, int dataIndex, int32_t imageSize, int32_t leftoverOffset);
// The image position a completed programming run leaves behind.
int32_t IspOffsetAfterRun(int32_t imageSize);

struct FloorInput {
    std::vector<DeviceEvent> events;  // in time order
    Clock::time_point start;          // Start Program pressed
    Clock::time_point end;            // the success box
    int32_t mcuImageSize = 0;
    int32_t leftoverOffset = 0;
};

struct Floor {
    // Start Program → the boot loader can be taken: the first tick of the poll's nominal
    // schedule (every interval from the click) once the device has answered the reset request
    // and re-enumerated; at least one interval.
    Clock::duration resetWait{};
    // The device's own part of it: the reset request and the re-enumeration.
    Clock::duration resetDevice{};
    // Every ISP frame up to the last data frame: from its receipt to the first report the
    // device sent once the frame's gate interval had passed.
    Clock::duration isp{};
    // MCU Reset received → the run-mode device back on the bus.
    Clock::duration returnToRunMode{};
    // Run-mode commands after the return: receipt → reply, each.
    Clock::duration runExchanges{};
    // tmRunStep twice, and tmDspProgram or the command running under it, whichever is longer.
    Clock::duration timers{};
    Clock::duration total() const {
        return resetWait + isp + returnToRunMode + runExchanges + timers;
    }

    int ispFrames = 0;
    int runCommands = 0;
    struct Span {
        Clock::time_point from, to;
        Clock::duration length() const { return to - from; }
    };
    // DSP phase: the device's reply to a block sent → the next block received.
    std::vector<Span> dspExchanges;
    // ISP: the report that ends a frame's floor sent → the next frame received.
    std::vector<Span> ispExchanges;

    // Where the stretches begin, for the wall time of each (unset when not reached).
    Clock::time_point firstIspFrame{};
    Clock::time_point mcuResetReceived{};
    Clock::time_point runModeBack{};
};

Floor ComputeFloor(const FloorInput& input);

}  // namespace bench
