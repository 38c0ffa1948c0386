// The worker on its own: the order in which it serves its events, the overdue reports, the end
// report, and the hand-over of frames and received reports.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "LinkTestSupport.h"

namespace linktest {
namespace {

// Shows the worker's stop flag and records how many silent periods preceded each status.
class ProbeLink : public LUsb {
public:
    using LUsb::LUsb;
    using LUsb::stopRequested;

    struct Report {
        int param;
        int periods;
    };

    void OnLinkStatus(int code, int param) override {
        if (code == kLinkStatusOverdue) {
            std::lock_guard<std::mutex> guard(mutex_);
            overdue_.push_back({param, silentPeriods()});
        }
        LUsb::OnLinkStatus(code, param);
    }

    std::vector<Report> overdueReports() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return overdue_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Report> overdue_;
};

class WorkerTest : public testing::Test {
protected:
    WorkerTest() : owner(ui::Application::Instance()->MainLoop()) {}
    ~WorkerTest() override {
        if (link) link->Stop();
    }

    void start() {
        link = std::make_shared<ProbeLink>(&owner);
        ASSERT_TRUE(link->Start());
    }

    void send(const ByteVector& frame) { link->SendFrame(frame); }

    void sendAndWaitWritten(const ByteVector& frame) {
        const std::size_t before = owner.count(Kind::Write);
        send(frame);
        ASSERT_TRUE(waitFor([&] { return owner.count(Kind::Write) > before; }));
    }

    std::vector<Record> status(int code) const {
        std::vector<Record> out;
        for (const Record& r : owner.of(Kind::Status))
            if (static_cast<int>(r.wParam) == code) out.push_back(r);
        return out;
    }

    FakeOwner owner;
    std::shared_ptr<ProbeLink> link;
};

ByteVector frameWithGroup(uint8_t group) { return BuildFrame(LCmd(group, cmd::kOpen), MODE_FRAMED); }

// ---- wait order ----

struct OrderCase {
    const char* name;
    // Runs while the worker is held inside its first write; may start a thread that stops.
    std::function<void(ProbeLink&, std::thread&)> signal;
    std::vector<Kind> expectedAfterFirstWrite;
};

void stopFromHelper(ProbeLink& link, std::thread& helper) {
    helper = std::thread([&link] { link.Stop(); });
    ASSERT_TRUE(waitFor([&] { return link.stopRequested(); }));
}

const ByteVector kBytes = {0xA1, 0xA2, 0xA3};

TEST_F(WorkerTest, ServesReceivedBytesBeforeFramesAndFramesBeforeStop) {
    const std::vector<OrderCase> cases = {
        {"bytes, then stop",
         [](ProbeLink& l, std::thread& h) {
             feed(l, kBytes);
             stopFromHelper(l, h);
         },
         {Kind::RxByte, Kind::RxByte, Kind::RxByte, Kind::Status}},
        {"stop, then bytes",
         [](ProbeLink& l, std::thread& h) {
             stopFromHelper(l, h);
             feed(l, kBytes);
         },
         {Kind::RxByte, Kind::RxByte, Kind::RxByte, Kind::Status}},
        {"frame, then bytes",
         [](ProbeLink& l, std::thread&) {
             l.SendFrame(frameWithGroup(2));
             feed(l, kBytes);
         },
         {Kind::RxByte, Kind::RxByte, Kind::RxByte, Kind::Write}},
        {"frame, then stop",
         [](ProbeLink& l, std::thread& h) {
             l.SendFrame(frameWithGroup(2));
             stopFromHelper(l, h);
         },
         {Kind::Write, Kind::Status}},
    };
    for (const OrderCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeOwner local(ui::Application::Instance()->MainLoop());
        auto probe = std::make_shared<ProbeLink>(&local);
        Gate gate;
        local.onWrite = [&](const ByteVector&) {
            local.onWrite = nullptr;  // hold the first write only
            gate.pass();
        };
        ASSERT_TRUE(probe->Start());
        probe->SendFrame(frameWithGroup(1));
        ASSERT_TRUE(gate.waitArrived());
        std::thread helper;
        c.signal(*probe, helper);
        gate.open();
        const std::size_t expected = 1 + c.expectedAfterFirstWrite.size();
        ASSERT_TRUE(waitFor([&] { return local.records().size() >= expected; }));
        if (helper.joinable()) helper.join();
        probe->Stop();

        std::vector<Kind> after;
        const std::vector<Record> records = local.records();
        for (std::size_t i = 1; i < expected; ++i) after.push_back(records[i].kind);
        EXPECT_EQ(after, c.expectedAfterFirstWrite);
    }
}

// ---- the end report ----

TEST_F(WorkerTest, StopReportsTheEndWithTheGroupOfTheLastFrameWritten) {
    struct Case {
        const char* name;
        std::vector<ByteVector> frames;
        intptr_t param;
    };
    const std::vector<Case> cases = {
        {"nothing written", {}, 0},
        {"one frame", {frameWithGroup(0x42)}, 0x42},
        {"last of two", {frameWithGroup(0x11), frameWithGroup(0x07)}, 0x07},
        {"a frame of three bytes keeps the older byte 3",
         {frameWithGroup(0x33), ByteVector{1, 2, 3}},
         0x33},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeOwner local(ui::Application::Instance()->MainLoop());
        auto probe = std::make_shared<ProbeLink>(&local);
        ASSERT_TRUE(probe->Start());
        for (const ByteVector& f : c.frames) {
            const std::size_t before = local.count(Kind::Write);
            probe->SendFrame(f);
            ASSERT_TRUE(waitFor([&] { return local.count(Kind::Write) > before; }));
        }
        probe->Stop();
        EXPECT_FALSE(probe->Running());
        EXPECT_TRUE(probe->WorkerEnded());
        const std::vector<Record> statuses = local.of(Kind::Status);
        ASSERT_EQ(statuses.size(), 1u);
        EXPECT_EQ(statuses[0].wParam, static_cast<uintptr_t>(kLinkStatusEnded));
        EXPECT_EQ(statuses[0].lParam, c.param);
    }
}

TEST_F(WorkerTest, StopWithoutStartPostsNothingAndAStoppedLinkStaysStopped) {
    auto never = std::make_shared<ProbeLink>(&owner);
    never->Stop();
    never->Stop();
    EXPECT_FALSE(never->Start());
    never->SendFrame(frameWithGroup(1));
    EXPECT_TRUE(never->WorkerEnded());
    EXPECT_TRUE(owner.records().empty());
}

TEST_F(WorkerTest, StartTwiceIsRefusedAndNeedsSharedOwnership) {
    start();
    EXPECT_FALSE(link->Start());
    ProbeLink unshared(&owner);
    EXPECT_FALSE(unshared.Start());
    EXPECT_FALSE(unshared.Running());
}

TEST_F(WorkerTest, FramesBeforeStartAndAfterStopAreDropped) {
    link = std::make_shared<ProbeLink>(&owner);
    link->SendFrame(frameWithGroup(0x21));
    ASSERT_TRUE(link->Start());
    link->Stop();
    link->SendFrame(frameWithGroup(0x22));
    link->SendBytes(frameWithGroup(0x23).data(), 9);
    EXPECT_EQ(owner.count(Kind::Write), 0u);
    ASSERT_EQ(owner.count(Kind::Status), 1u);
    EXPECT_EQ(owner.of(Kind::Status)[0].lParam, 0);
}

// ---- overdue reports ----

TEST_F(WorkerTest, OverdueReportsComeAtTheirCadenceOfSilentPeriods) {
    ByteVector early = frameWithGroup(0x2C);
    early[5] = 5;
    struct Case {
        const char* name;
        std::optional<ByteVector> frame;
        std::vector<int> periods;  // of the first two reports
        intptr_t param;
    };
    const std::vector<Case> cases = {
        {"nothing written", std::nullopt, {7, 7}, 0},
        {"ordinary frame", frameWithGroup(0x2B), {7, 7}, 0x2B},
        {"frame with byte 5 = 5", early, {3, 3}, 0x2C},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeOwner local(ui::Application::Instance()->MainLoop());
        auto probe = std::make_shared<ProbeLink>(&local);
        probe->SetWaitTimeout(10);
        ASSERT_TRUE(probe->Start());
        if (c.frame) {
            probe->SendFrame(*c.frame);
            ASSERT_TRUE(waitFor([&] { return local.count(Kind::Write) == 1; }));
        }
        ASSERT_TRUE(waitFor([&] { return probe->overdueReports().size() >= 2; }));
        probe->Stop();
        const std::vector<ProbeLink::Report> reports = probe->overdueReports();
        // Periods since the write: the second report follows the first at the same distance.
        EXPECT_EQ(reports[0].periods, c.periods[0]);
        EXPECT_EQ(reports[1].periods - reports[0].periods, c.periods[1]);
        EXPECT_EQ(reports[0].param, c.param);
        EXPECT_EQ(reports[1].param, c.param);
    }
}

TEST_F(WorkerTest, ANewWaitTimeoutAppliesFromTheFollowingWait) {
    link = std::make_shared<ProbeLink>(&owner);
    link->SetWaitTimeout(60000);
    ASSERT_TRUE(link->Start());
    link->SetWaitTimeout(10);
    // The worker sits in a one-minute wait until the frame wakes it; from then on it waits 10 ms.
    sendAndWaitWritten(frameWithGroup(3));
    EXPECT_TRUE(waitFor([&] { return !status(kLinkStatusOverdue).empty(); }));
}

TEST_F(WorkerTest, AWriteStartsTheCountAgain) {
    link = std::make_shared<ProbeLink>(&owner);
    link->SetWaitTimeout(10);
    ASSERT_TRUE(link->Start());
    sendAndWaitWritten(frameWithGroup(4));
    ASSERT_TRUE(waitFor([&] { return !link->overdueReports().empty(); }));
    sendAndWaitWritten(frameWithGroup(5));
    auto firstForSecondFrame = [&]() -> std::optional<ProbeLink::Report> {
        for (const ProbeLink::Report& r : link->overdueReports())
            if (r.param == 5) return r;
        return std::nullopt;
    };
    ASSERT_TRUE(waitFor([&] { return firstForSecondFrame().has_value(); }));
    EXPECT_EQ(firstForSecondFrame()->periods, 7);
}

// ---- hand-over ----

TEST_F(WorkerTest, ReportsHandedOverWhileTheWorkerIsBusyAreFedInOrder) {
    Gate gate;
    owner.onWrite = [&](const ByteVector&) { gate.pass(); };
    start();
    send(frameWithGroup(1));
    ASSERT_TRUE(gate.waitArrived());
    ByteVector all;
    for (uint8_t report = 0; report < 3; ++report) {
        ByteVector bytes;
        for (uint8_t i = 0; i < 5; ++i) bytes.push_back(static_cast<uint8_t>(report * 5 + i));
        feed(*link, bytes);
        all.insert(all.end(), bytes.begin(), bytes.end());
    }
    gate.open();
    ASSERT_TRUE(waitFor([&] { return owner.count(Kind::RxByte) == all.size(); }));
    ByteVector fed;
    for (const Record& r : owner.of(Kind::RxByte)) fed.push_back(static_cast<uint8_t>(r.wParam));
    EXPECT_EQ(fed, all);
}

TEST_F(WorkerTest, FramesHandedOverWhileTheWorkerWritesAreWrittenInOrder) {
    Gate gate;
    owner.onWrite = [&](const ByteVector&) {
        owner.onWrite = nullptr;
        gate.pass();
    };
    start();
    send(frameWithGroup(1));
    ASSERT_TRUE(gate.waitArrived());
    send(frameWithGroup(2));
    send(frameWithGroup(3));
    gate.open();
    ASSERT_TRUE(waitFor([&] { return owner.count(Kind::Write) == 3; }));
    std::vector<ByteVector> written;
    for (const Record& r : owner.of(Kind::Write)) written.push_back(r.bytes);
    EXPECT_EQ(written,
              (std::vector<ByteVector>{frameWithGroup(1), frameWithGroup(2), frameWithGroup(3)}));
}

TEST_F(WorkerTest, ReportsBeyondThePendingSlotsAreDropped) {
    Gate gate;
    owner.onWrite = [&](const ByteVector&) { gate.pass(); };
    start();
    send(frameWithGroup(1));
    ASSERT_TRUE(gate.waitArrived());
    for (int i = 0; i < LUsb::kPendingHandOvers + 2; ++i) feed(*link, {static_cast<uint8_t>(i)});
    gate.open();
    ASSERT_TRUE(waitFor([&] { return owner.count(Kind::RxByte) == LUsb::kPendingHandOvers; }));
    link->Stop();  // everything pending is fed before the stop
    const std::vector<Record> fed = owner.of(Kind::RxByte);
    ASSERT_EQ(fed.size(), static_cast<std::size_t>(LUsb::kPendingHandOvers));
    for (int i = 0; i < LUsb::kPendingHandOvers; ++i) EXPECT_EQ(fed[i].wParam, static_cast<uintptr_t>(i));
}

TEST_F(WorkerTest, OversizedFramesAndReportsAreCutToTheBuffer) {
    start();
    ByteVector big(LUsb::kBufferSize + 500);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
    sendAndWaitWritten(big);
    EXPECT_EQ(owner.of(Kind::Write)[0].bytes, ByteVector(big.begin(), big.begin() + LUsb::kBufferSize));

    feed(*link, big);
    link->ReceiveBytes(big.data(), -5);
    link->ReceiveBytes(nullptr, 10);
    ASSERT_TRUE(waitFor([&] { return owner.count(Kind::RxByte) >= LUsb::kBufferSize; }));
    link->Stop();
    EXPECT_EQ(owner.count(Kind::RxByte), static_cast<std::size_t>(LUsb::kBufferSize));
    EXPECT_EQ(owner.of(Kind::RxByte).back().wParam, big[LUsb::kBufferSize - 1]);
}

}  // namespace
}  // namespace linktest
