// The link processor: one frame in flight with the rest queued, reply reassembly in both
// modes, the response time, and what happens to replies without a time base.
#include <gtest/gtest.h>

#include <limits>
#include <memory>

#include "LinkTestSupport.h"

namespace linktest {
namespace {

const ByteVector kFence = {0xFE, 0xED};

class ProcTest : public testing::Test {
protected:
    ProcTest() : owner(ui::Application::Instance()->MainLoop()) {}
    ~ProcTest() override {
        if (link) link->Stop();
    }

    void start() {
        link = std::make_shared<TestProc>(&owner);
        ASSERT_TRUE(link->Start());
    }

    void submitAndWaitWritten(const ByteVector& frame) {
        const std::size_t before = owner.count(Kind::Write);
        link->Submit(frame, true);
        ASSERT_TRUE(waitFor([&] { return owner.count(Kind::Write) > before; }));
    }

    void waitReplies(std::size_t n) {
        ASSERT_TRUE(waitFor([&] { return owner.count(Kind::Frame) >= n; }));
    }

    // Everything handed over before this has been fed through when it returns.
    void fence() {
        link->writeDirect(kFence);
        ASSERT_TRUE(waitFor([&] {
            const std::vector<Record> w = owner.of(Kind::Write);
            return !w.empty() && w.back().bytes == kFence;
        }));
    }

    std::vector<ByteVector> replies() const {
        std::vector<ByteVector> out;
        for (const Record& r : owner.of(Kind::Frame)) out.push_back(r.bytes);
        return out;
    }

    std::vector<ByteVector> writes() const {
        std::vector<ByteVector> out;
        for (const Record& r : owner.of(Kind::Write)) out.push_back(r.bytes);
        return out;
    }

    FakeOwner owner;
    std::shared_ptr<TestProc> link;
};

ByteVector concat(std::initializer_list<ByteVector> parts) {
    ByteVector out;
    for (const ByteVector& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

ByteVector counting(std::size_t from, std::size_t to) {
    ByteVector out;
    for (std::size_t i = from; i < to; ++i) out.push_back(static_cast<uint8_t>(i));
    return out;
}

TEST_F(ProcTest, ReassemblesRepliesInTheModeOfTheFrameSent) {
    const ByteVector keepAliveReply = {0x10, 0x02, 0x01, 0x00, 0x01, 0x12, 0x10, 0x03, 0x13};
    const ByteVector empty = {0x10, 0x02, 0x01, 0x00, 0x00, 0x12, 0x10, 0x03};
    const ByteVector split = framedReply(0x18, 10);
    struct Case {
        const char* name;
        ByteVector sent;
        std::vector<ByteVector> reports;
        std::vector<ByteVector> replies;
    };
    const std::vector<Case> cases = {
        {"bytes before 10 02 are skipped",
         framedCommand(cmd::kOpen),
         {concat({{0x55, 0x10}, keepAliveReply})},
         {keepAliveReply}},
        {"a reply split over two reports is joined",
         framedCommand(cmd::kOpen),
         {ByteVector(split.begin(), split.begin() + 7), ByteVector(split.begin() + 7, split.end())},
         {split}},
        {"length byte 0 ends at 8 bytes",
         framedCommand(cmd::kOpen),
         {concat({empty, framedReply(0x12, 0)})},
         {empty, framedReply(0x12, 0)}},
        {"length byte 1 ends at 9 bytes", framedCommand(cmd::kOpen), {framedReply(0x12, 0)},
         {framedReply(0x12, 0)}},
        {"length byte 255 ends at 263 bytes", framedCommand(cmd::kOpen), {framedReply(0x40, 254)},
         {framedReply(0x40, 254)}},
        {"two replies with noise between in one report",
         framedCommand(cmd::kOpen),
         {concat({framedReply(1, 2), {0xAA, 0xBB}, framedReply(2, 3)})},
         {framedReply(1, 2), framedReply(2, 3)}},
        {"raw: 128 bytes are two replies", rawFrame(1), {counting(0, 128)},
         {counting(0, 64), counting(64, 128)}},
        {"raw: 64 bytes over two reports", rawFrame(1), {counting(0, 40), counting(40, 64)},
         {counting(0, 64)}},
        {"raw: framed bytes are just bytes", rawFrame(1),
         {concat({framedReply(0x12, 0), counting(0, 55)})},
         {concat({framedReply(0x12, 0), counting(0, 55)})}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeOwner local(ui::Application::Instance()->MainLoop());
        auto proc = std::make_shared<TestProc>(&local);
        ASSERT_TRUE(proc->Start());
        proc->Submit(c.sent, true);
        ASSERT_TRUE(waitFor([&] { return local.count(Kind::Write) == 1; }));
        for (const ByteVector& r : c.reports) feed(*proc, r);
        ASSERT_TRUE(waitFor([&] { return local.count(Kind::Frame) >= c.replies.size(); }));
        proc->writeDirect(kFence);
        ASSERT_TRUE(waitFor([&] { return local.count(Kind::Write) == 2; }));
        std::vector<ByteVector> got;
        for (const Record& r : local.of(Kind::Frame)) got.push_back(r.bytes);
        EXPECT_EQ(got, c.replies);
        proc->Stop();
    }
}

TEST_F(ProcTest, BytesWhileIdleAreDeliveredTimedFromTheLastHandOver) {
    start();
    link->fixCounter(1000);
    link->now = 0;
    submitAndWaitWritten(framedCommand(cmd::kOpen));
    link->now = 100;
    feed(*link, framedReply(cmd::kOpen, 0));
    waitReplies(1);
    ASSERT_TRUE(waitFor([&] { return !link->InFlight(); }));

    link->now = 250;
    feed(*link, framedReply(cmd::kKeepAlive, 0));
    waitReplies(2);
    fence();
    EXPECT_FALSE(link->InFlight());
    EXPECT_EQ(owner.of(Kind::Frame)[0].lParam, 100);
    EXPECT_EQ(owner.of(Kind::Frame)[1].lParam, 250);
    EXPECT_EQ(writes(), (std::vector<ByteVector>{framedCommand(cmd::kOpen), kFence}));
}

TEST_F(ProcTest, QueuedFramesGoOutOnePerReplyInOrder) {
    start();
    const ByteVector c1 = framedCommand(1), c2 = framedCommand(2), c3 = framedCommand(3),
                     c4 = framedCommand(4);
    std::size_t queuedInHandler = 0;
    std::size_t writtenInHandler = 0;
    owner.onFrame = [&](const ByteVector&, uint32_t) {
        if (owner.count(Kind::Frame) != 1) return;
        link->Submit(c4, true);
        queuedInHandler = link->QueueLength();
        writtenInHandler = owner.count(Kind::Write);
    };
    link->Submit(c1, true);
    link->Submit(c2, true);
    link->Submit(c3, true);
    EXPECT_TRUE(link->InFlight());
    EXPECT_EQ(link->QueueLength(), 2u);
    for (std::size_t reply = 1; reply <= 4; ++reply) {
        ASSERT_TRUE(waitFor([&] { return owner.count(Kind::Write) == reply; }));
        feed(*link, framedReply(static_cast<uint8_t>(reply), 0));
        waitReplies(reply);
    }
    ASSERT_TRUE(waitFor([&] { return !link->InFlight(); }));
    EXPECT_EQ(queuedInHandler, 3u);  // the handler's command waits behind c2 and c3
    EXPECT_EQ(writtenInHandler, 1u);
    EXPECT_EQ(writes(), (std::vector<ByteVector>{c1, c2, c3, c4}));
    std::vector<Kind> order;
    for (const Record& r : owner.records())
        if (r.kind == Kind::Write || r.kind == Kind::Frame) order.push_back(r.kind);
    const std::vector<Kind> alternating = {Kind::Write, Kind::Frame, Kind::Write, Kind::Frame,
                                           Kind::Write, Kind::Frame, Kind::Write, Kind::Frame};
    EXPECT_EQ(order, alternating);
}

TEST_F(ProcTest, AStrayReplyDoesNotCostTheFrameItOvertakes) {
    start();
    const ByteVector c1 = framedCommand(1), c2 = framedCommand(2), c3 = framedCommand(3);
    // The device answers c1 twice; the second copy arrives before c2 has been written and is
    // taken as c2's reply, which sends c3 on its heels.
    owner.onFrame = [&](const ByteVector&, uint32_t) {
        if (owner.count(Kind::Frame) == 1) feed(*link, framedReply(1, 0));
    };
    submitAndWaitWritten(c1);
    link->Submit(c2, true);
    link->Submit(c3, true);
    feed(*link, framedReply(1, 0));
    waitReplies(2);
    ASSERT_TRUE(waitFor([&] { return owner.count(Kind::Write) == 3; }));
    EXPECT_EQ(writes(), (std::vector<ByteVector>{c1, c2, c3}));
}

TEST_F(ProcTest, AFrameSubmittedWithoutAppendTakesTheReplaceableSlot) {
    start();
    const ByteVector first = framedCommand(1), a = framedCommand(2), b = framedCommand(3);
    const ByteVector k1 = framedCommand(0x21), k2 = framedCommand(0x22), k3 = framedCommand(0x23),
                     k4 = framedCommand(0x24);
    link->Submit(first, true);
    link->Submit(a, true);
    link->Submit(k1, false);
    link->Submit(k2, false);  // overwrites k1
    link->Submit(b, true);
    link->Submit(k3, false);  // overwrites k2, still between a and b
    EXPECT_EQ(link->QueueLength(), 3u);
    for (std::size_t reply = 1; reply <= 4; ++reply) {
        ASSERT_TRUE(waitFor([&] { return owner.count(Kind::Write) == reply; }));
        // Once k3 has gone out there is no slot to overwrite: k4 joins the tail.
        if (reply == 3) link->Submit(k4, false);
        feed(*link, framedReply(static_cast<uint8_t>(reply), 0));
        waitReplies(reply);
    }
    ASSERT_TRUE(waitFor([&] { return owner.count(Kind::Write) == 5; }));
    EXPECT_EQ(writes(), (std::vector<ByteVector>{first, a, k3, b, k4}));
}

TEST_F(ProcTest, EveryFrameSetsTheModeAtOnceButSendFrameLeavesIt) {
    start();
    submitAndWaitWritten(rawFrame(9));
    EXPECT_FALSE(link->FramedMode());
    link->Submit(framedCommand(cmd::kOpen), true);  // queued behind the raw frame
    EXPECT_TRUE(link->FramedMode());
    EXPECT_EQ(link->QueueLength(), 1u);
    link->SendFrame(rawFrame(0x31));
    EXPECT_TRUE(link->FramedMode());

    // The raw frame's reply now arrives framed and ends at its length, not at 64 bytes.
    feed(*link, framedReply(cmd::kOpen, 0));
    waitReplies(1);
    EXPECT_EQ(replies()[0], framedReply(cmd::kOpen, 0));
    ASSERT_TRUE(waitFor([&] { return owner.count(Kind::Write) == 2; }));
    EXPECT_EQ(writes()[1], framedCommand(cmd::kOpen));
}

TEST_F(ProcTest, FramesTooShortForTheEnvelopeAreRaw) {
    start();
    for (const ByteVector& shortFrame : {ByteVector{0x10, 0x02}, ByteVector{0x10}, ByteVector{}}) {
        SCOPED_TRACE(shortFrame.size());
        const std::size_t frames = owner.count(Kind::Frame);
        submitAndWaitWritten(framedCommand(cmd::kOpen));
        EXPECT_TRUE(link->FramedMode());
        feed(*link, framedReply(cmd::kOpen, 0));
        waitReplies(frames + 1);
        ASSERT_TRUE(waitFor([&] { return !link->InFlight(); }));

        submitAndWaitWritten(shortFrame);
        EXPECT_FALSE(link->FramedMode());
        EXPECT_EQ(writes().back(), shortFrame);
        feed(*link, counting(0, 64));
        waitReplies(frames + 2);
        ASSERT_TRUE(waitFor([&] { return !link->InFlight(); }));
    }
}

TEST_F(ProcTest, RepliesWithoutATimeBaseAreDroppedAndHoldTheQueue) {
    // Nothing was ever handed over: the counter readings are still zero.
    start();
    feed(*link, counting(0, 64));
    fence();
    EXPECT_TRUE(owner.of(Kind::Frame).empty());
    EXPECT_FALSE(link->InFlight());
    link->Stop();

    // A counter without frequency: the reply is dropped and the next frame never leaves.
    FakeOwner other(ui::Application::Instance()->MainLoop());
    auto proc = std::make_shared<TestProc>(&other);
    proc->fixCounter(0);
    ASSERT_TRUE(proc->Start());
    proc->Submit(framedCommand(1), true);
    proc->Submit(framedCommand(2), true);
    ASSERT_TRUE(waitFor([&] { return other.count(Kind::Write) == 1; }));
    feed(*proc, framedReply(1, 0));
    proc->writeDirect(kFence);
    ASSERT_TRUE(waitFor([&] { return other.count(Kind::Write) == 2; }));
    EXPECT_TRUE(other.of(Kind::Frame).empty());
    EXPECT_TRUE(proc->InFlight());
    EXPECT_EQ(proc->QueueLength(), 1u);
    proc->Stop();
}

TEST_F(ProcTest, ResponseTimeIsInMillisecondsAndCapped) {
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    struct Case {
        int64_t frequency;
        int64_t start;
        int64_t end;
        uint32_t ms;
    };
    const std::vector<Case> cases = {
        {1000, 5, 1505, 1500},
        {3, 0, 1, 333},
        {1000, 0, 0xFFFFFFFE, 0xFFFFFFFE},
        {1000, 0, 0xFFFFFFFF, LUsbProc::kResponseTimeCap},
        {1000, 0, int64_t(5) << 32, LUsbProc::kResponseTimeCap},
        {1, 0, int64_t(1) << 62, LUsbProc::kResponseTimeCap},
        {1'000'000'000, -kMax, kMax, LUsbProc::kResponseTimeCap},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.frequency << " " << c.start << " " << c.end);
        FakeOwner local(ui::Application::Instance()->MainLoop());
        auto proc = std::make_shared<TestProc>(&local);
        proc->fixCounter(c.frequency);
        proc->now = c.start;
        ASSERT_TRUE(proc->Start());
        proc->Submit(framedCommand(1), true);
        ASSERT_TRUE(waitFor([&] { return local.count(Kind::Write) == 1; }));
        proc->now = c.end;
        feed(*proc, framedReply(1, 0));
        ASSERT_TRUE(waitFor([&] { return local.count(Kind::Frame) == 1; }));
        EXPECT_EQ(static_cast<uint32_t>(local.of(Kind::Frame)[0].lParam), c.ms);
        proc->Stop();
    }
}

TEST_F(ProcTest, SubmitBeforeStartAndAfterStopIsDropped) {
    link = std::make_shared<TestProc>(&owner);
    link->Submit(framedCommand(1), true);
    EXPECT_FALSE(link->InFlight());
    ASSERT_TRUE(link->Start());
    link->Submit(framedCommand(2), true);
    link->Submit(framedCommand(3), true);
    ASSERT_TRUE(waitFor([&] { return owner.count(Kind::Write) == 1; }));
    link->Stop();
    EXPECT_EQ(link->QueueLength(), 0u);  // Stop empties the queue
    link->Submit(framedCommand(4), true);
    EXPECT_EQ(link->QueueLength(), 0u);
    EXPECT_EQ(writes(), std::vector<ByteVector>{framedCommand(2)});
    EXPECT_FALSE(link->Start());
}

}  // namespace
}  // namespace linktest
