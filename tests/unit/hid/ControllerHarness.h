// A controller on a QueueLoop with its events recorded, for tests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/hid/Hid.h"
#include "platform/os/Os.h"

namespace hidtest {

constexpr auto kPatience = std::chrono::seconds(20);

// A QueueLoop that counts what is posted to it, so a test can tell that a read thread has
// queued its hand-over and is waiting.
class CountingLoop : public os::MainLoop {
public:
    void post(std::function<void()> fn) override {
        inner_.post(std::move(fn));
        {
            std::lock_guard<std::mutex> guard(mutex_);
            ++posts_;
        }
        posted_.notify_all();
    }
    bool isMainThread() const override { return inner_.isMainThread(); }
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        return inner_.runUntil(done, timeout);
    }
    int posts() {
        std::lock_guard<std::mutex> guard(mutex_);
        return posts_;
    }
    bool waitPostsAbove(int count) {
        std::unique_lock<std::mutex> guard(mutex_);
        return posted_.wait_for(guard, kPatience, [&] { return posts_ > count; });
    }

private:
    os::QueueLoop inner_;
    std::mutex mutex_;
    std::condition_variable posted_;
    int posts_ = 0;
};

struct Report {
    hid::Device* device;
    uint8_t id;
    std::vector<uint8_t> data;
};

class Harness {
public:
    explicit Harness(std::unique_ptr<hid::Backend> backend)
        : controller(loop, std::move(backend)) {
        auto& e = controller.events;
        e.OnDeviceChange = [this] { log.push_back("change"); ++changes; };
        e.OnSystemDeviceChange = [this] { log.push_back("system"); };
        e.OnDeviceUnplug = [this](hid::Device& device) {
            log.push_back("unplug");
            unplugged.push_back(device.ProductID());
            if (onUnplug) onUnplug(device);
        };
        e.OnDeviceData = [this](hid::Device& device, uint8_t id, const uint8_t* data, uint16_t size) {
            reports.push_back({&device, id, std::vector<uint8_t>(data, data + size)});
            if (onData) onData(device);
        };
        e.OnDeviceDataError = [this](hid::Device&, uint32_t error) { errors.push_back(error); };
        e.OnAccessProblem = [this](const std::string& text) { problems.push_back(text); };
    }

    bool runUntil(const std::function<bool()>& done) { return loop.runUntil(done, kPatience); }

    // Runs the loop until everything queued so far has run.
    void drain() {
        bool reached = false;
        loop.post([&] { reached = true; });
        loop.runUntil([&] { return reached; }, kPatience);
    }

    struct Seen {
        hid::Device* device;
        uint16_t vendor, product;
        int output, input;
        std::string path;
    };
    std::vector<Seen> enumerate() {
        std::vector<Seen> seen;
        controller.events.OnEnumerate = [&](hid::Device& d, int index) {
            EXPECT_EQ(index, static_cast<int>(seen.size()));
            seen.push_back({&d, d.VendorID(), d.ProductID(), d.OutputReportLength(),
                            d.InputReportLength(), d.Path()});
            return true;
        };
        controller.Enumerate();
        controller.events.OnEnumerate = nullptr;
        return seen;
    }

    CountingLoop loop;
    std::vector<std::string> log;
    int changes = 0;
    std::vector<uint16_t> unplugged;
    std::vector<Report> reports;
    std::vector<uint32_t> errors;
    std::vector<std::string> problems;
    std::function<void(hid::Device&)> onUnplug;
    std::function<void(hid::Device&)> onData;
    hid::Controller controller;  // last: stopped before the records above go
};

}  // namespace hidtest
