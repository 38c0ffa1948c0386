// Links opened and closed over and over while replies flow: closed from inside their own reply
// (with and without a modal box after it), from a later main-thread task while the next reply
// may already wait for delivery, and with keep-alives and overdue reports going on. Meant to be
// run under ThreadSanitizer and AddressSanitizer as well.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "LinkTestSupport.h"

namespace linktest {
namespace {

constexpr int kCycles = 400;
constexpr int kKeepAliveMs = 15;
constexpr int kWaitTimeoutMs = 3;
constexpr int kBoxOpenMs = 5;
constexpr int kStressBoundMs = 120000;

enum class Close { InHandler, InHandlerThenBox, InHandlerKeptUntilLater, FromLaterTask };

// A device that answers every frame written: framed frames with a framed reply of their code,
// raw frames with 64 raw bytes; now and then it sends a reply twice.
class Rig {
public:
    Rig() : owner(ui::Application::Instance()->MainLoop()), random(20261211) {
        owner.onWrite = [this](const ByteVector& frame) { answer(frame); };
        owner.onFrame = [this](const ByteVector&, uint32_t) { handle(); };
    }

    void run() {
        open();
        ASSERT_TRUE(ui::Application::Instance()->RunUntil([&] { return cycles == kCycles && !link; },
                                                          kStressBoundMs));
    }

    FakeOwner owner;
    int cycles = 0;
    int created = 0;

private:
    void answer(const ByteVector& frame) {
        const bool framed = IsFramedEnvelope(frame.data(), frame.size());
        const ByteVector reply = framed ? framedReply(frame[5], 0) : ByteVector(64, frame[0]);
        const bool twice = frame.size() > 1 && frame[1] % 7 == 0;
        owner.LinkLoop().post([this, reply, twice] {
            if (!link) return;
            feed(*link, reply);
            if (twice) feed(*link, reply);
        });
    }

    void open() {
        link = std::make_shared<TestProc>(&owner, kKeepAliveMs);
        ++created;
        link->SetWaitTimeout(kWaitTimeoutMs);
        ASSERT_TRUE(link->Start());
        repliesLeft = std::uniform_int_distribution<int>(1, 6)(random);
        close = static_cast<Close>(std::uniform_int_distribution<int>(0, 3)(random));
        sendNext();
    }

    void sendNext() {
        ++sequence;
        if (sequence % 3 == 0) {
            ByteVector raw = rawFrame(static_cast<uint8_t>(sequence));
            raw[1] = static_cast<uint8_t>(sequence);
            link->Submit(raw, true);
        } else {
            link->Submit(framedCommand(static_cast<uint8_t>(sequence)), true);
        }
    }

    // Runs inside the delivery of a reply, on the main thread.
    void handle() {
        if (!link) return;
        sendNext();
        if (--repliesLeft > 0) return;
        switch (close) {
            case Close::InHandler:
                closeLink();
                break;
            case Close::InHandlerThenBox:
                closeLink();
                ui::SetMessageBoxObserver([](const ui::BoxRecord&) {}, kBoxOpenMs);
                ui::MessageDlg("link closed", ui::MsgType::Error);
                ui::SetMessageBoxObserver(nullptr, -1);
                break;
            case Close::InHandlerKeptUntilLater: {
                link->Stop();
                std::shared_ptr<TestProc> kept = std::move(link);
                owner.LinkLoop().post([this, kept] { reopen(); });
                return;
            }
            case Close::FromLaterTask:
                owner.LinkLoop().post([this] {
                    closeLink();
                    reopen();
                });
                return;
        }
        owner.LinkLoop().post([this] { reopen(); });
    }

    void closeLink() {
        if (!link) return;
        link->Stop();
        link.reset();
    }

    void reopen() {
        if (link) return;
        if (++cycles < kCycles) open();
    }

    std::shared_ptr<TestProc> link;
    std::mt19937 random;
    int repliesLeft = 0;
    Close close = Close::InHandler;
    int sequence = 0;
};

TEST(LinkStress, OpenAndCloseWhileRepliesFlow) {
    const int destroyedBefore = TestProc::destroyed.load();
    {
        Rig rig;
        rig.run();
        EXPECT_TRUE(LUsb::WaitForAllWorkers(kWaitMs));
        EXPECT_EQ(TestProc::destroyed.load() - destroyedBefore, rig.created);

        int ended = 0;
        for (const Record& r : rig.owner.of(Kind::Status)) {
            EXPECT_NE(r.wParam, static_cast<uintptr_t>(kLinkStatusStopTimeout));
            ended += r.wParam == static_cast<uintptr_t>(kLinkStatusEnded);
        }
        EXPECT_EQ(ended, rig.created);
        EXPECT_GT(rig.owner.count(Kind::Frame), static_cast<std::size_t>(kCycles));
    }
}

}  // namespace
}  // namespace linktest
