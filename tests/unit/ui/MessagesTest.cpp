#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "UiTestSupport.h"

namespace ui::test {
namespace {

constexpr uint32_t kFrame = 0x550;
constexpr uint32_t kStatus = 0x551;
constexpr uint32_t kDeviceChange = 0x219;

// Records what its standard procedure dispatches, and on which thread.
class RecordingForm : public Form {
public:
    RecordingForm()
        : Form("fmIsp", "Update", designedOuter(), kClientWidth, kClientHeight,
               Position::Designed) {}

    void Dispatch(Message& message) override {
        dispatched.push_back(message);
        threads.push_back(std::this_thread::get_id());
        message.Result = static_cast<intptr_t>(message.WParam) * 2;
        if (message.Msg == kStatus) throw std::runtime_error("status failed");
    }

    std::vector<Message> dispatched;
    std::vector<std::thread::id> threads;
};

class MessagesTest : public ::testing::Test {
protected:
    RecordingForm form;
};

TEST_F(MessagesTest, WindowProcSeesEveryMessageFirstAndMayPassItOn) {
    std::vector<uint32_t> hooked;
    form.SetWindowProc([&](Message& message) {
        hooked.push_back(message.Msg);
        if (message.Msg == kDeviceChange) return;  // consumed
        form.DefaultWindowProc(message);
    });

    EXPECT_EQ(form.SendMessage(kDeviceChange, 1, 0), 0);
    EXPECT_EQ(form.SendMessage(kFrame, 21, 7), 42);
    EXPECT_EQ(hooked, (std::vector<uint32_t>{kDeviceChange, kFrame}));
    ASSERT_EQ(form.dispatched.size(), 1u);
    EXPECT_EQ(form.dispatched[0].LParam, 7);
}

TEST_F(MessagesTest, WithoutWindowProcTheStandardProcedureDispatches) {
    EXPECT_EQ(form.SendMessage(kFrame, 5, 0), 10);
    EXPECT_EQ(form.dispatched.size(), 1u);
}

TEST_F(MessagesTest, SendFromAnotherThreadBlocksUntilTheMainThreadHandledIt) {
    std::atomic<bool> handledBeforeReturn{false};
    std::atomic<intptr_t> result{0};
    std::atomic<bool> done{false};
    form.SetWindowProc([&](Message& message) {
        form.DefaultWindowProc(message);
        message.Result += 1;
    });

    std::thread worker([&] {
        result = form.SendMessage(kFrame, 50, 0);
        handledBeforeReturn = !form.dispatched.empty();
        done = true;
    });
    ASSERT_TRUE(waitFor([&] { return done.load(); }));
    worker.join();

    EXPECT_EQ(result.load(), 101);
    EXPECT_TRUE(handledBeforeReturn);
    ASSERT_EQ(form.threads.size(), 1u);
    EXPECT_EQ(form.threads[0], std::this_thread::get_id());
}

// Forwards to the application's loop and tells when a call has been queued.
class WatchedLoop : public os::MainLoop {
public:
    void post(std::function<void()> fn) override {
        app().MainLoop().post(std::move(fn));
        {
            std::lock_guard<std::mutex> guard(mutex_);
            ++posted_;
        }
        changed_.notify_all();
    }
    bool isMainThread() const override { return app().MainLoop().isMainThread(); }
    void waitForPost() {
        std::unique_lock<std::mutex> guard(mutex_);
        changed_.wait(guard, [&] { return posted_ > 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int posted_ = 0;
};

TEST_F(MessagesTest, CancelledSendReturnsWithoutRunningTheHandler) {
    WatchedLoop loop;
    os::SyncCall call(loop);
    std::atomic<intptr_t> result{-1};
    std::thread worker([&] { result = form.SendMessage(kFrame, 50, 0, call); });

    loop.waitForPost();  // the worker waits; the main thread has not taken the call
    call.cancel();
    worker.join();
    EXPECT_EQ(result.load(), 0);

    bool drained = false;
    app().MainLoop().post([&] { drained = true; });
    ASSERT_TRUE(waitFor([&] { return drained; }));
    EXPECT_TRUE(form.dispatched.empty());
    EXPECT_EQ(form.SendMessage(kFrame, 1, 0, call), 0);  // a cancelled call stays cancelled
    EXPECT_TRUE(form.dispatched.empty());
}

TEST_F(MessagesTest, PostedMessagesArriveLaterInOrderFromAnyThread) {
    form.PostMessage(kFrame, 1, 0);
    std::thread worker([&] {
        form.PostMessage(kFrame, 2, 0);
        form.PostMessage(kFrame, 3, 0);
    });
    worker.join();
    EXPECT_TRUE(form.dispatched.empty());

    ASSERT_TRUE(waitFor([&] { return form.dispatched.size() == 3; }));
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(form.dispatched[i].WParam, i + 1);
    EXPECT_EQ(form.threads[2], std::this_thread::get_id());
}

TEST_F(MessagesTest, ExceptionInAHandlerIsReportedAndMessagesGoOn) {
    BoxRecorder recorder;
    form.PostMessage(kStatus, 1, 0);
    form.PostMessage(kFrame, 2, 0);
    EXPECT_EQ(form.SendMessage(kStatus, 3, 0), 6);  // the result set before the throw stays

    ASSERT_TRUE(waitFor([&] { return form.dispatched.size() == 3; }));
    ASSERT_EQ(recorder.boxes.size(), 2u);
    EXPECT_EQ(recorder.boxes[0].text, "status failed");
    EXPECT_EQ(recorder.boxes[0].type, MsgType::Error);
}

TEST(MessagesLifetime, MessagePostedToAFormThatIsGoneIsDropped) {
    int dispatched = 0;
    {
        RecordingForm form;
        form.SetWindowProc([&](Message&) { ++dispatched; });
        form.PostMessage(kFrame, 1, 0);
    }
    bool drained = false;
    app().MainLoop().post([&] { drained = true; });
    ASSERT_TRUE(waitFor([&] { return drained; }));
    EXPECT_EQ(dispatched, 0);
}

TEST(MainLoop, PostedWorkRunsOnTheMainThreadInPostingOrder) {
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    EXPECT_TRUE(app().MainLoop().isMainThread());
    std::thread worker([&] {
        EXPECT_FALSE(app().MainLoop().isMainThread());
        for (int i = 0; i < 100; ++i)
            app().MainLoop().post([&, i] {
                order.push_back(i);
                threads.push_back(std::this_thread::get_id());
            });
    });
    worker.join();
    ASSERT_TRUE(waitFor([&] { return order.size() == 100; }));
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
    EXPECT_EQ(threads.back(), std::this_thread::get_id());
}

TEST(SystemErrorMessage, GivesTheSystemText) {
    EXPECT_EQ(ui::SystemErrorMessage(2), "No such file or directory");
    EXPECT_FALSE(ui::SystemErrorMessage(0xFFFF).empty());
}

}  // namespace
}  // namespace ui::test
