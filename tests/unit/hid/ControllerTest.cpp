// The controller against a scripted backend: read failures, vanishing devices and handlers that
// throw.
#include <gtest/gtest.h>

#include <deque>
#include <mutex>
#include <stdexcept>

#include "platform/hid/DeviceSource.h"
#include "platform/hid/Fd.h"
#include "tests/unit/hid/ControllerHarness.h"
#include "tests/unit/hid/UhidPeer.h"

namespace {

using namespace hidtest;

class ScriptedChannel final : public hid::Channel {
public:
    explicit ScriptedChannel(std::deque<hid::ReadResult> script) : script_(std::move(script)) {
        if (!script_.empty()) ready_.signal();
    }
    int WaitFd() const override { return ready_.get(); }
    hid::ReadResult Read(uint8_t* buffer, std::size_t) override {
        std::lock_guard<std::mutex> guard(mutex_);
        if (script_.empty()) {
            ready_.drain();
            return {};
        }
        hid::ReadResult next = script_.front();
        script_.pop_front();
        for (std::size_t i = 0; i < next.size; ++i) buffer[i] = static_cast<uint8_t>(i + 1);
        return next;
    }
    bool Write(const uint8_t*, std::size_t) override { return true; }
    void Close() override {}

private:
    std::mutex mutex_;
    std::deque<hid::ReadResult> script_;
    hid::WakeFd ready_;
};

class ScriptedSource final : public hid::DeviceSource {
public:
    void Start(hid::SourceSink sink) override {
        std::lock_guard<std::mutex> guard(mutex_);
        sink_ = std::move(sink);
    }
    void Stop() override {
        std::lock_guard<std::mutex> guard(mutex_);
        sink_ = {};
    }
    std::vector<hid::DeviceInfo> Scan() override {
        std::lock_guard<std::mutex> guard(mutex_);
        ++scans;
        return devices_;
    }
    std::shared_ptr<hid::Channel> Open(const hid::DeviceInfo&, int*) override {
        return std::make_shared<ScriptedChannel>(script);
    }

    void setDevices(std::vector<hid::DeviceInfo> devices) {
        std::lock_guard<std::mutex> guard(mutex_);
        devices_ = std::move(devices);
        if (sink_.changed) sink_.changed();
    }

    std::deque<hid::ReadResult> script;
    int scans = 0;  // main thread

private:
    std::mutex mutex_;
    hid::SourceSink sink_;
    std::vector<hid::DeviceInfo> devices_;
};

hid::DeviceInfo device(const std::string& key) {
    hid::DeviceInfo info;
    info.key = info.path = key;
    info.vendor = kVendor;
    info.product = kRunProduct;
    info.layout = {65, 65, false};
    return info;
}

struct ScriptedHarness {
    ScriptedHarness() : source(new ScriptedSource), h(std::unique_ptr<hid::Backend>(source)) {}
    ScriptedSource* source;
    Harness h;
};

TEST(Controller, ReadFailureIsReportedOnceAndReadingGoesOn) {
    ScriptedHarness s;
    s.source->setDevices({device("a")});
    s.source->script = {{hid::ReadStatus::Failed, 0, EIO}, {hid::ReadStatus::Report, 64, 0}};
    s.h.controller.Start();
    ASSERT_TRUE(s.h.runUntil([&] { return s.h.controller.Count() == 1; }));
    hid::Device* d = nullptr;
    ASSERT_TRUE(s.h.controller.CheckOutByIndex(d, 0));
    ASSERT_TRUE(s.h.runUntil([&] { return s.h.reports.size() == 1; }));
    EXPECT_EQ(s.h.errors, std::vector<uint32_t>{EIO});
    EXPECT_EQ(s.h.reports[0].data.size(), 64u);
}

TEST(Controller, VanishedDeviceEndsReadingAndRescans) {
    ScriptedHarness s;
    s.source->setDevices({device("a")});
    s.source->script = {{hid::ReadStatus::Gone, 0, ENODEV}, {hid::ReadStatus::Report, 64, 0}};
    s.h.controller.Start();
    ASSERT_TRUE(s.h.runUntil([&] { return s.h.controller.Count() == 1; }));
    int scansBefore = s.source->scans;
    hid::Device* d = nullptr;
    ASSERT_TRUE(s.h.controller.CheckOutByIndex(d, 0));
    ASSERT_TRUE(s.h.runUntil([&] { return s.source->scans > scansBefore; }));
    s.h.drain();
    EXPECT_TRUE(s.h.errors.empty());
    EXPECT_TRUE(s.h.reports.empty());
    s.h.controller.CheckIn(d);
}

TEST(Controller, ThrowingHandlerDoesNotBreakTheEventOrder) {
    ScriptedHarness s;
    s.source->setDevices({device("a"), device("b")});
    s.h.controller.Start();
    ASSERT_TRUE(s.h.runUntil([&] { return s.h.controller.Count() == 2; }));
    hid::Device* d = nullptr;
    ASSERT_TRUE(s.h.controller.CheckOutByIndex(d, 0));
    s.h.onUnplug = [](hid::Device&) { throw std::runtime_error("handler failed"); };
    s.h.log.clear();
    s.source->setDevices({});
    // The exception reaches the loop after the controller has finished its own work.
    EXPECT_THROW(s.h.runUntil([] { return false; }), std::runtime_error);
    EXPECT_EQ(s.h.log, (std::vector<std::string>{"unplug", "unplug", "system", "change"}));
    EXPECT_FALSE(d->IsCheckedOut());
    EXPECT_EQ(s.h.controller.Count(), 0);
}

}  // namespace
