#include <QTimer>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "UiTestSupport.h"
#include "platform/ui/UiQt.h"

namespace ui::test {
namespace {

TEST(Timer, TicksWhileEnabledAndStopsWhenDisabled) {
    Timer timer(10);
    int ticks = 0;
    timer.OnTimer = [&] {
        if (++ticks == 3) timer.SetEnabled(false);
    };
    EXPECT_FALSE(timer.Enabled());
    timer.SetEnabled(true);
    EXPECT_TRUE(timer.Enabled());
    ASSERT_TRUE(waitFor([&] { return ticks == 3; }));
    EXPECT_FALSE(timer.Enabled());

    // A later tick would show within a few intervals; a marker timer bounds the wait.
    Timer marker(100);
    int markerTicks = 0;
    marker.OnTimer = [&] { ++markerTicks; };
    marker.SetEnabled(true);
    ASSERT_TRUE(waitFor([&] { return markerTicks == 2; }));
    EXPECT_EQ(ticks, 3);
}

TEST(Timer, ChangesFromAnotherThreadAreCarriedOutOnTheMainThread) {
    Timer timer(10);
    std::atomic<int> ticks{0};
    std::thread::id tickThread;
    timer.OnTimer = [&] {
        tickThread = std::this_thread::get_id();
        ++ticks;
    };

    std::thread([&] {
        timer.SetInterval(20);
        timer.SetEnabled(true);
    }).join();
    EXPECT_TRUE(timer.Enabled());
    EXPECT_EQ(timer.Interval(), 20);
    ASSERT_TRUE(waitFor([&] { return ticks >= 2; }));
    EXPECT_EQ(tickThread, std::this_thread::get_id());

    std::thread([&] { timer.SetEnabled(false); }).join();
    EXPECT_FALSE(timer.Enabled());
    bool drained = false;
    app().MainLoop().post([&] { drained = true; });
    ASSERT_TRUE(waitFor([&] { return drained; }));
    const int stoppedAt = ticks;
    app().RunUntil([] { return false; }, 100);
    EXPECT_EQ(ticks, stoppedAt);

    std::thread([&] { timer.Restart(); }).join();
    EXPECT_TRUE(timer.Enabled());
    ASSERT_TRUE(waitFor([&] { return ticks > stoppedAt; }));
}

// A timer never fires early, so a tick that comes a whole interval after the restart shows the
// count began again; without the restart it would come kIntervalMs - kBeforeRestartMs sooner.
TEST(Timer, RestartFromAnotherThreadStartsTheIntervalAgain) {
    using Clock = std::chrono::steady_clock;
    constexpr int kIntervalMs = 2000;
    constexpr int kBeforeRestartMs = 500;
    constexpr int kEarlySlackMs = 20;
    Timer timer(kIntervalMs);
    int ticks = 0;
    Clock::time_point tickedAt;
    timer.OnTimer = [&] {
        timer.SetEnabled(false);
        tickedAt = Clock::now();
        ++ticks;
    };
    timer.SetEnabled(true);
    app().RunUntil([] { return false; }, kBeforeRestartMs);
    ASSERT_EQ(ticks, 0);

    const Clock::time_point restartedAt = Clock::now();
    std::thread([&] { timer.Restart(); }).join();
    ASSERT_TRUE(waitFor([&] { return ticks == 1; }));
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(tickedAt - restartedAt).count(),
              kIntervalMs - kEarlySlackMs);
}

TEST(Timer, DisableThenEnableRestartsButEnablingAgainDoesNot) {
    Timer timer(10000);
    timer.SetEnabled(true);
    timer.SetInterval(10000);  // unchanged: nothing happens
    EXPECT_EQ(timer.Interval(), 10000);
    timer.SetInterval(0);      // no interval: idle, still enabled as set
    EXPECT_TRUE(timer.Enabled());
    int ticks = 0;
    timer.OnTimer = [&] { ++ticks; };
    app().RunUntil([] { return false; }, 50);
    EXPECT_EQ(ticks, 0);
}

TEST(Timer, ExceptionInATickIsReportedAndOtherTimersGoOn) {
    struct Case {
        std::function<void()> fail;
        std::string reported;
    };
    const std::vector<Case> cases = {
        {[] { throw std::runtime_error("tick failed"); }, "tick failed"},
        {[] { throw 42; }, ""},
    };
    for (const Case& c : cases) {
        BoxRecorder recorder;
        Timer failing(10);
        failing.OnTimer = [&] {
            failing.SetEnabled(false);
            c.fail();
        };
        failing.SetEnabled(true);
        ASSERT_TRUE(waitFor([&] { return recorder.boxes.size() == 1; }));
        EXPECT_EQ(recorder.boxes[0].text, c.reported);
        EXPECT_EQ(recorder.boxes[0].type, MsgType::Error);
        EXPECT_FALSE(recorder.boxes[0].plain);

        Timer later(10);
        int laterTicks = 0;
        later.OnTimer = [&] { ++laterTicks; };
        later.SetEnabled(true);
        EXPECT_TRUE(waitFor([&] { return laterTicks >= 2; }));
    }
}

TEST(Timer, MayBeDestroyedOnAnotherThread) {
    auto timer = std::make_unique<Timer>(10);
    std::atomic<int> ticks{0};
    timer->OnTimer = [&] { ++ticks; };
    timer->SetEnabled(true);
    ASSERT_TRUE(waitFor([&] { return ticks >= 1; }));
    std::thread([&] { timer.reset(); }).join();
    bool drained = false;
    app().MainLoop().post([&] { drained = true; });
    ASSERT_TRUE(waitFor([&] { return drained; }));
    const int atEnd = ticks;
    app().RunUntil([] { return false; }, 50);
    EXPECT_EQ(ticks, atEnd);
}

TEST(MessageBoxes, RecordTextTypeAndPlainness) {
    BoxRecorder recorder;
    MessageDlg("Connect Error !!", MsgType::Error);
    MessageDlg(" Program OK !! ", MsgType::Information);
    ShowMessage("Check Sum Error");
    app().ShowException("failed");
    ASSERT_EQ(recorder.boxes.size(), 4u);
    EXPECT_EQ(recorder.boxes[0].text, "Connect Error !!");
    EXPECT_EQ(recorder.boxes[0].type, MsgType::Error);
    EXPECT_EQ(recorder.boxes[1].text, " Program OK !! ");
    EXPECT_EQ(recorder.boxes[1].type, MsgType::Information);
    EXPECT_FALSE(recorder.boxes[1].plain);
    EXPECT_TRUE(recorder.boxes[2].plain);
    EXPECT_EQ(recorder.boxes[3].type, MsgType::Error);
}

// The box is modal in a nested loop: timers and posted work keep being handled until it closes.
TEST(MessageBoxes, CloseAfterTheChosenTimeWhileTheLoopRuns) {
    constexpr int kCloseAfterMs = 300;
    BoxRecorder recorder(kCloseAfterMs);
    Timer timer(10);
    int ticksDuringBox = 0;
    bool boxOpen = false;
    timer.OnTimer = [&] {
        if (boxOpen) ++ticksDuringBox;
    };
    timer.SetEnabled(true);
    bool postedRan = false;
    std::thread([&] { app().MainLoop().post([&] { postedRan = boxOpen; }); }).join();

    using Clock = std::chrono::steady_clock;
    const auto openedAt = Clock::now();
    boxOpen = true;
    MessageDlg("wait", MsgType::Warning);
    boxOpen = false;

    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - openedAt).count(),
              kCloseAfterMs - 20);
    EXPECT_GT(ticksDuringBox, 2);
    EXPECT_TRUE(postedRan);
    EXPECT_EQ(recorder.boxes.size(), 1u);
}

TEST(MessageBoxes, BoxOpenedInATimerTickDoesNotStopOtherTimers) {
    BoxRecorder recorder(200);
    bool inBox = false;
    bool boxDone = false;
    Timer boxer(10);
    boxer.OnTimer = [&] {
        boxer.SetEnabled(false);
        inBox = true;
        MessageDlg("from a tick", MsgType::Information);
        inBox = false;
        boxDone = true;
    };
    Timer other(10);
    int ticksInBox = 0;
    other.OnTimer = [&] {
        if (inBox) ++ticksInBox;
    };
    boxer.SetEnabled(true);
    other.SetEnabled(true);
    ASSERT_TRUE(waitFor([&] { return boxDone; }));
    EXPECT_GT(ticksInBox, 2);
}

}  // namespace
}  // namespace ui::test
