// Hundreds of arrivals and removals of both device kinds while reports flow and a worker thread
// writes to the device the window holds, handled the way the main window handles them.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "tests/unit/hid/ControllerHarness.h"
#include "tests/unit/hid/UhidPeer.h"

namespace {

using namespace hidtest;
using namespace std::chrono_literals;

constexpr int kCycles = 300;
constexpr int kReportsPerCycle = 3;
constexpr int kStableReports = 1000;
constexpr int kFinalReports = 3;
constexpr auto kStressPatience = std::chrono::seconds(240);

// 32-byte reports: tells the last device apart from the earlier ones of the same kind.
const Bytes kFinalDescriptor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x02,
                                0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x20,
                                0x81, 0x02, 0x09, 0x03, 0x91, 0x02, 0xC0};
constexpr int kFinalOutputLength = 33;

// A device side that answers every open and every output report with an input report.
class EchoPeer {
public:
    explicit EchoPeer(hid::VirtualHub& hub) {
        hub.AddConnection(peer_.connect());
        reader_ = std::thread([this] { answer(); });
    }
    ~EchoPeer() { finish(); }

    template <typename Fn>
    bool send(Fn&& fn) {
        std::lock_guard<std::mutex> guard(sendMutex_);
        return fn(peer_);
    }

    // Waits until the host has opened the device more than `count` times in all.
    bool waitOpensAbove(int count) {
        std::unique_lock<std::mutex> guard(openMutex_);
        return opened_.wait_for(guard, kPatience, [&] { return opens_ > count; });
    }
    int opens() {
        std::lock_guard<std::mutex> guard(openMutex_);
        return opens_;
    }

    void finish() {
        stop_ = true;
        ::shutdown(peer_.fd(), SHUT_RDWR);
        if (reader_.joinable()) reader_.join();
    }

private:
    void answer() {
        uint8_t counter = 0;
        while (!stop_) {
            auto record = peer_.read(100ms);
            if (!record || (record->type != UHID_OPEN && record->type != UHID_OUTPUT)) continue;
            if (record->type == UHID_OPEN) {
                {
                    std::lock_guard<std::mutex> guard(openMutex_);
                    ++opens_;
                }
                opened_.notify_all();
            }
            send([&](UhidPeer& p) { return p.input(Bytes(64, ++counter)); });
        }
    }

    UhidPeer peer_;
    std::mutex sendMutex_;
    std::atomic<bool> stop_{false};
    std::mutex openMutex_;
    std::condition_variable opened_;
    int opens_ = 0;
    std::thread reader_;
};

bool accepted(const hid::Device& device) {
    return device.VendorID() == kVendor &&
           (device.ProductID() == kRunProduct || device.ProductID() == kBootProduct);
}

TEST(HidStress, ArrivalsAndRemovalsWhileReportsFlow) {
    hid::VirtualHub hub;
    Harness h(hub.MakeBackend());
    hid::Controller& controller = h.controller;

    // The held device, as the window's member: cleared and checked in on the main thread,
    // read by the worker.
    std::mutex heldMutex;
    hid::Device* held = nullptr;
    std::condition_variable kicked;
    int kicks = 0;
    bool workerStop = false;
    auto kick = [&] {
        {
            std::lock_guard<std::mutex> guard(heldMutex);
            ++kicks;
        }
        kicked.notify_one();
    };

    int checkouts = 0, unplugs = 0;
    hid::Device* lastCheckedOut = nullptr;
    std::map<hid::Device*, int> delivered;
    auto& e = controller.events;
    e.OnDeviceChange = [&] { controller.Enumerate(); };
    e.OnEnumerate = [&](hid::Device& device, int index) {
        hid::Device* got = nullptr;
        if (accepted(device) && controller.CheckOutByIndex(got, index)) {
            ++checkouts;
            lastCheckedOut = got;
            {
                std::lock_guard<std::mutex> guard(heldMutex);
                held = got;
            }
            kick();
        }
        return true;
    };
    e.OnDeviceUnplug = [&](hid::Device& device) {
        if (!accepted(device)) return;
        ++unplugs;
        {
            std::lock_guard<std::mutex> guard(heldMutex);
            held = nullptr;
        }
        hid::Device* gone = &device;
        controller.CheckIn(gone);
    };
    e.OnDeviceData = [&](hid::Device& device, uint8_t, const uint8_t*, uint16_t) {
        ++delivered[&device];
        kick();
    };

    std::atomic<int> writesOk{0}, writesFailed{0};
    std::thread worker([&] {
        Bytes report(65, 0);
        int seen = 0;
        while (true) {
            hid::Device* target;
            {
                std::unique_lock<std::mutex> guard(heldMutex);
                kicked.wait(guard, [&] { return workerStop || kicks != seen; });
                if (workerStop) return;
                seen = kicks;
                target = held;
            }
            // Written outside the lock on purpose: the device may be checked in meanwhile.
            if (target) (target->WriteReport(report.data(), report.size()) ? writesOk : writesFailed)++;
        }
    });

    controller.Start();
    EchoPeer stable(hub), churn(hub);
    ASSERT_TRUE(stable.send([](UhidPeer& p) { return p.create(kVendor, kBootProduct); }));
    std::thread pump([&] {
        for (int i = 0; i < kStableReports; ++i)
            if (!stable.send([&](UhidPeer& p) { return p.input(Bytes(64, static_cast<uint8_t>(i))); })) return;
    });
    std::atomic<bool> churnDone{false};
    std::thread churner([&] {
        for (int i = 0; i < kCycles; ++i) {
            // Even cycles stay until the host holds the device; odd ones come and go at once.
            bool stay = i % 2 == 0;
            int opens = churn.opens();
            churn.send([&](UhidPeer& p) { return p.create(kVendor, stay ? kRunProduct : kBootProduct); });
            if (stay) churn.waitOpensAbove(opens);
            for (int r = 0; r < kReportsPerCycle; ++r)
                churn.send([&](UhidPeer& p) { return p.input(Bytes(64, static_cast<uint8_t>(r))); });
            churn.send([](UhidPeer& p) { return p.destroy(); });
        }
        churn.send([](UhidPeer& p) { return p.create(kVendor, kRunProduct, kFinalDescriptor); });
        churnDone = true;
    });

    bool settled = h.loop.runUntil(
        [&] {
            return churnDone && controller.Count() == 2 && lastCheckedOut &&
                   lastCheckedOut->OutputReportLength() == kFinalOutputLength &&
                   lastCheckedOut->IsCheckedOut() && delivered[lastCheckedOut] >= kFinalReports;
        },
        kStressPatience);

    churner.join();
    pump.join();
    {
        std::lock_guard<std::mutex> guard(heldMutex);
        workerStop = true;
    }
    kicked.notify_one();
    worker.join();
    stable.finish();
    churn.finish();
    controller.Stop();

    ASSERT_TRUE(settled);
    EXPECT_GE(unplugs, kCycles / 2);
    EXPECT_GE(checkouts, kCycles / 2 + 2);
    EXPECT_GT(writesOk.load(), 0);
}

}  // namespace
