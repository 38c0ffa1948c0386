// The keep-alive: a keep-alive command after an idle interval, counted from the last submit
// or delivered reply, and none while a reply is awaited or the keep-alive is suspended.
#include <gtest/gtest.h>

#include <memory>

#include "LinkTestSupport.h"

namespace linktest {
namespace {

const ByteVector kKeepAliveFrame = {0x10, 0x02, 0x00, 0x01, 0x01, 0x12, 0x10, 0x03, 0x13};

// Timers may fire a little early on a loaded machine; keep-alive gaps are checked with this slack.
constexpr int kTimerSlackMs = 15;

using Ms = std::chrono::milliseconds;

Ms since(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<Ms>(to - from);
}

class KeepAliveTest : public testing::Test {
protected:
    KeepAliveTest() : owner(ui::Application::Instance()->MainLoop()) {}
    ~KeepAliveTest() override {
        if (link) link->Stop();
    }

    void start(int intervalMs) {
        link = std::make_shared<TestProc>(&owner, intervalMs);
        ASSERT_TRUE(link->Start());
    }

    std::vector<Record> keepAlives() const {
        std::vector<Record> out;
        for (const Record& r : owner.of(Kind::Write))
            if (r.bytes == kKeepAliveFrame) out.push_back(r);
        return out;
    }

    // Answers every frame written with a framed reply of the same code, from the main thread.
    void answerEveryWrite() {
        owner.onWrite = [this](const ByteVector& frame) {
            const uint8_t code = frame.size() > 5 ? frame[5] : 0;
            std::weak_ptr<TestProc> weak = link;
            owner.LinkLoop().post([weak, code] {
                if (auto l = weak.lock()) feed(*l, framedReply(code, 0));
            });
        };
    }

    FakeOwner owner;
    std::shared_ptr<TestProc> link;
};

TEST_F(KeepAliveTest, AnIdleLinkSendsKeepAlivesOneIntervalAfterTheLastReply) {
    constexpr int kInterval = 150;
    const Clock::time_point started = Clock::now();
    start(kInterval);
    ASSERT_TRUE(waitFor([&] { return owner.count(Kind::Write) == 1; }));
    const Record first = owner.of(Kind::Write)[0];
    EXPECT_EQ(first.bytes, kKeepAliveFrame);
    EXPECT_GE(since(started, first.time), Ms(kInterval - kTimerSlackMs));

    // Its reply is delivered like any other and starts the next interval.
    feed(*link, framedReply(cmd::kKeepAlive, 0));
    ASSERT_TRUE(waitFor([&] { return owner.count(Kind::Write) == 2; }));
    const Record reply = owner.of(Kind::Frame).at(0);
    EXPECT_EQ(reply.bytes, framedReply(cmd::kKeepAlive, 0));
    EXPECT_EQ(owner.of(Kind::Write)[1].bytes, kKeepAliveFrame);
    EXPECT_GE(since(reply.time, owner.of(Kind::Write)[1].time), Ms(kInterval - kTimerSlackMs));
}

TEST_F(KeepAliveTest, TrafficPostponesTheKeepAlive) {
    constexpr int kInterval = 300;
    constexpr int kTrafficPeriod = 40;
    start(kInterval);
    answerEveryWrite();
    std::vector<Clock::time_point> submits;
    ui::Timer traffic(kTrafficPeriod);
    traffic.OnTimer = [&] {
        if (link->InFlight()) return;
        submits.push_back(Clock::now());
        link->Submit(framedCommand(cmd::kOpen), true);
    };
    traffic.SetEnabled(true);
    runFor(3 * kInterval);
    traffic.SetEnabled(false);
    ASSERT_TRUE(waitFor([&] { return !keepAlives().empty(); }));

    // Every keep-alive comes a full interval after the latest submit or delivered reply.
    std::vector<Clock::time_point> activity = submits;
    for (const Record& r : owner.of(Kind::Frame)) activity.push_back(r.time);
    for (const Record& k : keepAlives()) {
        Clock::time_point latest = Clock::time_point::min();
        for (Clock::time_point t : activity)
            if (t <= k.time) latest = std::max(latest, t);
        if (latest == Clock::time_point::min()) continue;  // the very first one, after Start
        EXPECT_GE(since(latest, k.time), Ms(kInterval - kTimerSlackMs));
    }
    EXPECT_GT(submits.size(), 3u);
}

TEST_F(KeepAliveTest, NothingWhileAReplyIsAwaitedOrWhileSuspended) {
    constexpr int kInterval = 100;
    struct Case {
        const char* name;
        std::function<void(TestProc&)> hold;
        std::function<void(TestProc&)> release;
    };
    const std::vector<Case> cases = {
        {"reply awaited",
         [](TestProc& l) { l.Submit(framedCommand(cmd::kOpen), true); },
         [](TestProc& l) { feed(l, framedReply(cmd::kOpen, 0)); }},
        {"suspended", [](TestProc& l) { l.SetKeepAliveSuspended(true); },
         [](TestProc& l) { l.SetKeepAliveSuspended(false); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeOwner local(ui::Application::Instance()->MainLoop());
        auto proc = std::make_shared<TestProc>(&local, kInterval);
        ASSERT_TRUE(proc->Start());
        c.hold(*proc);
        runFor(5 * kInterval);
        auto keepAliveCount = [&] {
            std::size_t n = 0;
            for (const Record& r : local.of(Kind::Write)) n += r.bytes == kKeepAliveFrame;
            return n;
        };
        EXPECT_EQ(keepAliveCount(), 0u);
        c.release(*proc);
        EXPECT_TRUE(waitFor([&] { return keepAliveCount() > 0; }));
        proc->Stop();
    }
}

TEST_F(KeepAliveTest, TheDefaultIntervalIsThreeSeconds) {
    const Clock::time_point started = Clock::now();
    auto plain = std::make_shared<LUsbProc>(&owner);
    ASSERT_TRUE(plain->Start());
    ASSERT_TRUE(waitFor([&] { return owner.count(Kind::Write) == 1; }));
    const Record first = owner.of(Kind::Write)[0];
    plain->Stop();
    EXPECT_EQ(first.bytes, kKeepAliveFrame);
    EXPECT_GE(since(started, first.time), Ms(LUsbProc::kKeepAliveIntervalMs - kTimerSlackMs));
}

}  // namespace
}  // namespace linktest
