#include "bench/Floor.h"

#include <gtest/gtest.h>

namespace bench {
namespace {

using Kind = DeviceEvent::Kind;
using emu::Personality;
using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr int32_t kEmbeddedImageSize = 57656;
constexpr int kLastDataIndex = 1028;  // 1,028 full data frames and one of 40 bytes

struct GateCase {
    const char* name;
    int command;
    int dataIndex;
    int32_t imageSize;
    int32_t leftover;
    int expectedMs;
};

TEST(IspGate, FollowsTheImagePosition) {
    const GateCase cases[] = {
        {"connect, first run", 0x80, 0, kEmbeddedImageSize, 0, 20},
        {"sync program, later run", 0x81, 0, kEmbeddedImageSize, kEmbeddedImageSize, 200},
        {"read config, later run of a tiny image", 0x84, 0, 40, 48, 200},
        {"start program", 0x85, 0, kEmbeddedImageSize, 0, 1000},
        {"first data frame", 0x00, 0, kEmbeddedImageSize, 0, 20},
        {"third-last data frame", 0x00, kLastDataIndex - 2, kEmbeddedImageSize, 0, 20},
        {"second-last data frame", 0x00, kLastDataIndex - 1, kEmbeddedImageSize, 0, 200},
        {"last data frame", 0x00, kLastDataIndex, kEmbeddedImageSize, 0, 200},
        {"only data frame of a 48-byte image", 0x00, 0, 48, 0, 200},
        {"only data frame of a 104-byte image", 0x00, 0, 104, 0, 200},
        {"first of two data frames (160 bytes)", 0x00, 0, 160, 0, 200},
        {"first of three data frames (161 bytes)", 0x00, 0, 161, 0, 20},
        {"mcu reset", 0x86, 0, kEmbeddedImageSize, 0, 0},
    };
    for (const GateCase& c : cases)
        EXPECT_EQ(IspGateMs(c.command, c.dataIndex, c.imageSize, c.leftover), c.expectedMs) << c.name;
    EXPECT_EQ(IspOffsetAfterRun(kEmbeddedImageSize), kEmbeddedImageSize);
    EXPECT_EQ(IspOffsetAfterRun(30), 48);
}

// A device timeline written in milliseconds from the press of Start Program.
class Timeline {
public:
    Timeline() : start_(Clock::now()) {}

    Timeline& at(double ms, Kind kind, Personality personality, int code = -1) {
        DeviceEvent e;
        e.time = time(ms);
        e.kind = kind;
        e.personality = personality;
        e.code = code;
        events_.push_back(e);
        return *this;
    }
    Timeline& received(double ms, Personality p, int code) { return at(ms, Kind::Received, p, code); }
    Timeline& sent(double ms, Personality p) { return at(ms, Kind::Sent, p); }

    Clock::time_point time(double ms) const {
        return start_ + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double, std::milli>(ms));
    }

    Floor floor(double endMs, int32_t imageSize) const {
        FloorInput input;
        input.events = events_;
        input.start = start_;
        input.end = time(endMs);
        input.mcuImageSize = imageSize;
        return ComputeFloor(input);
    }

private:
    Clock::time_point start_;
    std::vector<DeviceEvent> events_;
};

constexpr double kTolerance = 1e-3;  // ms

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

constexpr auto kRun = Personality::RunMode;
constexpr auto kBoot = Personality::BootLoader;

// One update of a 200-byte image: Connect (repeating replies), Start Program, three data
// frames (the last answered once, late), MCU Reset; then the run-mode phase.
Timeline wholeUpdate() {
    Timeline t;
    t.received(1, kRun, 16).sent(2, kRun);
    t.received(3, kRun, 8).sent(4, kRun).at(9, Kind::Left, kRun).at(1009, Kind::Appeared, kBoot);
    // Connect: gate 20; repetitions every millisecond from 1110.5.
    t.received(1110, kBoot, 0x80);
    for (int k = 0; k < 25; ++k) t.sent(1110.5 + k, kBoot);
    // Start Program: gate 1000, one reply after 1 ms (dropped by the gate) and a repetition.
    t.received(1140, kBoot, 0x85).sent(1141, kBoot).sent(2140.2, kBoot);
    // Data frames: gates 20, 200, 200 (104 + 56 < 200, then the last two).
    t.received(2141, kBoot, 0x00).sent(2161.3, kBoot);
    t.received(2162, kBoot, 0x00).sent(2362, kBoot);
    t.received(2363, kBoot, 0x00).sent(2663, kBoot);  // a slow device: 300 ms
    t.received(2664, kBoot, 0x86).sent(2665, kBoot).at(2670, Kind::Left, kBoot);
    t.at(3670, Kind::Appeared, kRun);
    // Parameter read (three commands shown), DSP open under tmDspProgram, three blocks.
    t.received(3680, kRun, 16).sent(3681, kRun);
    t.received(3682, kRun, 0xA8).sent(3683, kRun);
    t.received(3684, kRun, 26).sent(3685, kRun);
    t.received(3790, kRun, 16).sent(3791, kRun);
    t.received(3900, kRun, 0x53).sent(3901, kRun);
    t.received(3901.1, kRun, 0x53).sent(3902.1, kRun);
    t.received(3902.3, kRun, 0x53).sent(3903.3, kRun);
    t.received(4010, kRun, 18).sent(4011, kRun);  // the closing command: not waited for
    t.received(4030, kRun, 4).sent(4031, kRun);   // after the box
    return t;
}

TEST(Floor, WholeUpdateCountsDeviceTimeGatesAndTimers) {
    const Timeline t = wholeUpdate();
    const Floor f = t.floor(4020, 200);
    // The device needs 1 + 1 + 1005 ms; the poll finds the boot loader at its next tick.
    EXPECT_NEAR(ms(f.resetDevice), 1 + 1 + 1005, kTolerance);
    EXPECT_NEAR(ms(f.resetWait), 1100, kTolerance);
    EXPECT_NEAR(ms(f.isp), 20.5 + 1000.2 + 20.3 + 200 + 300, kTolerance);
    EXPECT_EQ(f.ispFrames, 5);
    EXPECT_NEAR(ms(f.returnToRunMode), 1006, kTolerance);
    EXPECT_NEAR(ms(f.runExchanges), 3 + 3, kTolerance);
    EXPECT_EQ(f.runCommands, 6);
    EXPECT_NEAR(ms(f.timers), 100 + 100 + 100, kTolerance);
    EXPECT_NEAR(ms(f.total()), ms(f.resetWait) + ms(f.isp) + 1006 + 6 + 300, kTolerance);
    ASSERT_EQ(f.dspExchanges.size(), 2u);
    EXPECT_EQ(f.dspExchanges[0].from, t.time(3901));
    EXPECT_NEAR(ms(f.dspExchanges[0].length()), 0.1, kTolerance);
    EXPECT_NEAR(ms(f.dspExchanges[1].length()), 0.2, kTolerance);
    ASSERT_EQ(f.ispExchanges.size(), 5u);  // the last one ends at MCU Reset
    EXPECT_EQ(f.ispExchanges[0].from, t.time(1130.5));
    EXPECT_EQ(f.ispExchanges[0].to, t.time(1140));
    EXPECT_EQ(f.ispExchanges[4].to, t.time(2664));
    EXPECT_EQ(f.firstIspFrame, t.time(1110));
    EXPECT_EQ(f.mcuResetReceived, t.time(2664));
    EXPECT_EQ(f.runModeBack, t.time(3670));
}

TEST(Floor, EventsOutsideTheUpdateAreIgnored) {
    Timeline t;
    t.received(-50, kRun, 16).sent(-49, kRun);  // before Start Program
    t.at(0.5, Kind::Appeared, kBoot);
    t.received(100, kBoot, 0x80).sent(121, kBoot);
    t.received(500, kBoot, 0x81).sent(600, kBoot);  // after the end
    const Floor f = t.floor(300, 1000);
    EXPECT_EQ(f.ispFrames, 1);
    EXPECT_NEAR(ms(f.isp), 21, kTolerance);
}

TEST(Floor, BootLoaderAlreadyAttachedWaitsOnePollInterval) {
    Timeline t;
    t.received(105, kBoot, 0x80).sent(125, kBoot);
    const Floor f = t.floor(200, 1000);
    EXPECT_EQ(f.resetWait, kMcuPollInterval);
    EXPECT_EQ(f.ispFrames, 1);
}

// The poll ticks every 100 ms from the click: the boot loader is found at the first tick at or
// after the moment the device is back, and never before the first one.
TEST(Floor, ResetWaitEndsAtThePollTickAfterTheDeviceIsBack) {
    struct Case {
        double backMs, expectedMs;
    };
    for (const Case c : {Case{40, 100}, Case{100, 100}, Case{100.5, 200}, Case{1007, 1100}}) {
        Timeline t;
        t.received(0, kRun, 8).sent(0, kRun).at(c.backMs, Kind::Appeared, kBoot);
        t.received(c.expectedMs + 5, kBoot, 0x80).sent(c.expectedMs + 26, kBoot);
        const Floor f = t.floor(c.expectedMs + 100, 1000);
        EXPECT_NEAR(ms(f.resetDevice), c.backMs, kTolerance) << c.backMs;
        EXPECT_NEAR(ms(f.resetWait), c.expectedMs, kTolerance) << c.backMs;
    }
}

TEST(Floor, SlowDeviceOutlastsTheDspTimer) {
    Timeline t;
    t.at(0.5, Kind::Appeared, kBoot).received(100, kBoot, 0x86).at(150, Kind::Appeared, kRun);
    t.received(160, kRun, 0xA8).sent(170, kRun);
    t.received(280, kRun, 16).sent(430, kRun);  // 150 ms under the 100 ms tmDspProgram
    t.received(431, kRun, 0x53).sent(441, kRun);
    const Floor f = t.floor(600, 1000);
    EXPECT_NEAR(ms(f.timers), 100 + 150 + 100, kTolerance);
    EXPECT_NEAR(ms(f.runExchanges), 10 + 10, kTolerance);
    EXPECT_TRUE(f.dspExchanges.empty());
}

}  // namespace
}  // namespace bench
