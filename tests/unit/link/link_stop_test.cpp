// Stopping a link: from inside the handling of its own reply (while its worker waits for that
// very handling), while a reply waits to be handled, and in the ordinary way.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "LinkTestSupport.h"

namespace linktest {
namespace {

using Ms = std::chrono::milliseconds;

// Far below the five seconds a stalled stop would take.
constexpr Ms kPromptStop{1000};
constexpr int kBoxOpenMs = 100;

Ms timed(const std::function<void()>& fn) {
    const Clock::time_point t0 = Clock::now();
    fn();
    return std::chrono::duration_cast<Ms>(Clock::now() - t0);
}

// One link with its owner, a command in flight, and the checks on how it ended.
struct Scene {
    Scene() : owner(ui::Application::Instance()->MainLoop()) {}
    ~Scene() {
        if (link) link->Stop();
    }

    void startAndSend() {
        link = std::make_shared<TestProc>(&owner);
        ASSERT_TRUE(link->Start());
        link->Submit(command, true);
        ASSERT_TRUE(waitFor([&] { return owner.count(Kind::Write) == 1; }));
    }

    void reply() { feed(*link, framedReply(cmd::kParamBlock, 4)); }

    // The link is gone, exactly once, and its worker with it.
    void expectGone() const {
        EXPECT_TRUE(waitFor([&] { return TestProc::destroyed.load() > destroyedBefore; }));
        EXPECT_TRUE(LUsb::WaitForAllWorkers(kWaitMs));
        EXPECT_EQ(TestProc::destroyed.load(), destroyedBefore + 1);
    }

    void expectOneEndReport() const {
        ASSERT_TRUE(waitFor([&] { return owner.count(Kind::Status) >= 1; }));
        const std::vector<Record> statuses = owner.of(Kind::Status);
        ASSERT_EQ(statuses.size(), 1u);
        EXPECT_EQ(statuses[0].wParam, static_cast<uintptr_t>(kLinkStatusEnded));
        EXPECT_EQ(statuses[0].lParam, command[3]);
    }

    const ByteVector command = BuildFrame(LCmd(0x07, cmd::kParamBlock), MODE_FRAMED);
    const int destroyedBefore = TestProc::destroyed.load();
    FakeOwner owner;
    std::shared_ptr<TestProc> link;
};

TEST(LinkStop, InsideTheLinksOwnReplyReturnsAtOnceAndTheLinkEndsAfterTheHandler) {
    struct Case {
        const char* name;
        bool dropInHandler;  // the owner lets go of the link inside the handler
        bool errorBox;       // a modal box with its nested event loop follows the stop
    };
    const std::vector<Case> cases = {
        {"dropped in the handler", true, false},
        {"dropped in the handler, then an error box", true, true},
        {"dropped after the handler", false, false},
        {"kept during an error box, dropped after", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Scene s;
        s.startAndSend();
        Ms stopTook{0};
        bool handled = false;
        std::vector<ui::BoxRecord> boxes;
        s.owner.onFrame = [&](const ByteVector&, uint32_t) {
            s.link->Submit(framedCommand(cmd::kOpen), true);  // queued, must never leave
            stopTook = timed([&] { s.link->Stop(); });
            if (c.dropInHandler) s.link.reset();
            if (c.errorBox) {
                ui::SetMessageBoxObserver([&](const ui::BoxRecord& b) { boxes.push_back(b); },
                                          kBoxOpenMs);
                ui::MessageDlg("link closed", ui::MsgType::Error);
                ui::SetMessageBoxObserver(nullptr, -1);
            }
            handled = true;
        };
        s.reply();
        ASSERT_TRUE(waitFor([&] { return handled; }));
        if (s.link) {
            // Destroyed on the main thread once its worker has ended by itself.
            ASSERT_TRUE(waitFor([&] { return s.link->WorkerEnded(); }));
            s.link.reset();
        }
        s.expectGone();
        s.expectOneEndReport();
        EXPECT_LT(stopTook, kPromptStop);
        EXPECT_EQ(s.owner.count(Kind::Write), 1u);
        EXPECT_EQ(s.owner.count(Kind::Frame), 1u);
        EXPECT_EQ(boxes.size(), c.errorBox ? 1u : 0u);
    }
}

TEST(LinkStop, WhileAReplyWaitsForTheMainThreadItsDeliveryIsCancelled) {
    Scene s;
    s.startAndSend();
    const int readsBefore = s.link->counterReads.load();
    s.reply();
    // The main loop is not turned here, so the completed reply cannot be handled yet.
    const Clock::time_point deadline = Clock::now() + Ms(kWaitMs);
    while (s.link->counterReads.load() == readsBefore && Clock::now() < deadline)
        std::this_thread::yield();
    ASSERT_GT(s.link->counterReads.load(), readsBefore);
    EXPECT_LT(timed([&] { s.link->Stop(); }), kPromptStop);
    EXPECT_EQ(s.owner.count(Kind::Status), 1u);  // the worker had ended when Stop returned
    s.link.reset();
    s.expectGone();
    s.expectOneEndReport();
    EXPECT_EQ(s.owner.count(Kind::Frame), 0u);
}

TEST(LinkStop, AnOrdinaryStopWaitsForTheWorkerSoTheLinkGoesWithItsOwner) {
    Scene s;
    s.startAndSend();
    s.reply();
    ASSERT_TRUE(waitFor([&] { return s.owner.count(Kind::Frame) == 1; }));
    s.link->Submit(s.command, true);
    s.link->Stop();
    EXPECT_TRUE(s.link->WorkerEnded());
    EXPECT_FALSE(s.link->Running());
    EXPECT_EQ(s.owner.count(Kind::Status), 1u);  // posted before Stop returned
    s.link.reset();
    EXPECT_EQ(TestProc::destroyed.load(), s.destroyedBefore + 1);
    s.expectOneEndReport();
}

TEST(LinkStop, ALinkThatNeverRanIsDestroyedQuietly) {
    Scene s;
    s.link = std::make_shared<TestProc>(&s.owner);
    s.link->Submit(s.command, true);
    s.link->Stop();
    s.link.reset();
    EXPECT_EQ(TestProc::destroyed.load(), s.destroyedBefore + 1);
    EXPECT_TRUE(s.owner.records().empty());
}

}  // namespace
}  // namespace linktest
