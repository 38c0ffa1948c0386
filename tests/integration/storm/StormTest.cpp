// Plug and unplug storms of devices in both modes through the real main window, begun while a
// link to a run-mode device is open and its parameter read is under way, with further reads
// started on whichever run-mode device the window holds during the storm. Afterwards the window
// holds the one device still attached, shows its mode, and can talk to it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <random>

#include "app/Texts.h"
#include "tests/support/UpdaterHarness.h"

namespace {

using harness::FastDevice;
using harness::Harness;
using harness::SmallImages;

constexpr int kStormArrivals = 300;
constexpr std::size_t kMostAttached = 4;  // storm devices on the bus at once
constexpr int kParamBlocks = 11;
constexpr int kQuietMs = 300;  // the window must stay as it is once the storm is over

class Storm {
public:
    Storm(Harness& h, uint32_t seed) : h_(h), random_(seed) {}

    // Arrivals and removals in random order, the window seeing them sometimes one by one and
    // sometimes several at once; every storm device is gone at the end, and so is first.
    void Run(emu::DeviceEmulator* first) {
        std::bernoulli_distribution coin(0.5);
        std::bernoulli_distribution pump(0.3);
        const int firstLeavesAt = std::uniform_int_distribution<int>(0, kStormArrivals - 1)(random_);
        for (int arrival = 0; arrival < kStormArrivals; ++arrival) {
            if (arrival == firstLeavesAt) unplug(first);
            attached_.push_back(&h_.Attach(device(coin(random_))));
            if (attached_.size() > kMostAttached || coin(random_)) {
                unplug(attached_.front());
                attached_.pop_front();
            }
            if (pump(random_)) h_.Pump(1);
            // A run-mode device held: sometimes a new parameter read opens a link to it.
            if (h_.isp().devicePanel() == text::kDetectRunHid && coin(random_)) {
                h_.isp().bnSecurity.Click();
                ++reads_;
            }
        }
        for (emu::DeviceEmulator* device : attached_) unplug(device);
        attached_.clear();
    }

    static emu::Config device(bool bootLoader) {
        emu::Config config =
            FastDevice(bootLoader ? emu::Personality::BootLoader : emu::Personality::RunMode);
        config.logCapacity = 0;
        return config;
    }

    void unplug(emu::DeviceEmulator* device) {
        if (device->GetCounters().open) ++opened_;
        device->Stop();
        auto& all = h_.devices;
        all.erase(std::remove_if(all.begin(), all.end(), [&](const auto& d) { return d.get() == device; }),
                  all.end());
    }

    // Devices the window had checked out before they left.
    int opened() const { return opened_; }
    int reads() const { return reads_; }

private:
    Harness& h_;
    std::mt19937 random_;
    int opened_ = 0;
    int reads_ = 0;
    std::deque<emu::DeviceEmulator*> attached_;
};

// The window holds exactly the one attached device, checked out, with its mode in panel 1.
bool holds(Harness& h, const emu::DeviceEmulator& device, uint16_t product, const char* panel) {
    TfmIsp& isp = h.isp();
    return isp.HidCtl->Count() == 1 && isp.hidDevice != nullptr &&
           isp.hidDevice->ProductID() == product && isp.hidDevice->IsCheckedOut() &&
           isp.devicePanel() == panel && device.GetCounters().open;
}

// No timer of the chain pending and no frame waiting for a reply.
bool quiet(Harness& h) {
    TfmIsp& isp = h.isp();
    return !isp.tmRunStep.Enabled() && !isp.tmDspProgram.Enabled() && !isp.tmMcuProg.Enabled() &&
           !isp.tmWaitDisconnect.Enabled() && (!isp.usbProc || !isp.usbProc->InFlight());
}

class StormTest : public testing::TestWithParam<uint32_t> {
protected:
    void SetUp() override {
        h.UseImages(images);
        emu::Config config = FastDevice();
        config.logCapacity = 0;
        first = &h.Attach(config);
        h.Start();
        ASSERT_TRUE(h.WaitForStartEnabled());
        // A link to the run-mode device with its parameter read in flight.
        h.isp().bnSecurity.Click();
        ASSERT_TRUE(h.isp().usbProc);
        ASSERT_TRUE(h.isp().usbProc->InFlight());
    }

    // The storm is over once the window has seen every device go; only then does the last
    // device arrive (a removal seen after an arrival would clear the held device, as it must).
    void endStorm(uint32_t seed) {
        Storm storm(h, seed);
        storm.Run(first);
        EXPECT_GT(storm.opened(), kStormArrivals / 10) << "the storm passed the window by";
        EXPECT_GT(storm.reads(), 0);
        std::printf("storm %u: %d of %d devices checked out before they left, %d reads started\n",
                    seed, storm.opened(), kStormArrivals + 1, storm.reads());
        ASSERT_TRUE(h.WaitFor([&] { return h.isp().HidCtl->Count() == 0; }));
        EXPECT_EQ(h.isp().hidDevice, nullptr);
        EXPECT_EQ(h.isp().devicePanel(), text::kNoDevice);
        EXPECT_FALSE(h.isp().usbProc);
    }

    void settleOn(const emu::DeviceEmulator& device, uint16_t product, const char* panel) {
        ASSERT_TRUE(h.WaitFor([&] { return holds(h, device, product, panel); }))
            << "count " << h.isp().HidCtl->Count() << " panel " << h.isp().devicePanel();
        h.Pump(kQuietMs);
        ASSERT_TRUE(holds(h, device, product, panel));
        ASSERT_TRUE(h.WaitFor([&] { return quiet(h); }));
    }

    SmallImages images{60, 8};
    Harness h;
    emu::DeviceEmulator* first = nullptr;
};

TEST_P(StormTest, EndingInRunModeHoldsTheDeviceAndReadsItsParameters) {
    ASSERT_NO_FATAL_FAILURE(endStorm(GetParam()));
    emu::DeviceEmulator& last = h.Attach(Storm::device(false));
    settleOn(last, kRunModeProductId, text::kDetectRunHid);
    TfmIsp& isp = h.isp();
    EXPECT_TRUE(isp.bnSecurity.Enabled());
    EXPECT_TRUE(isp.bnDspPorgram.Enabled());
    EXPECT_TRUE(isp.bnMcuProgram.Enabled());
    // The link to the held device works: a fresh parameter read completes.
    h.runModeReplies.clear();
    isp.bnSecurity.Click();
    ASSERT_TRUE(h.WaitFor([&] {
        return std::count_if(h.runModeReplies.begin(), h.runModeReplies.end(), [](const LCmd& r) {
                   return r.code == cmd::kParamBlock;
               }) >= kParamBlocks;
    }));
    EXPECT_EQ(std::memcmp(isp.paramTable, emu::DefaultParameterTable().data(), kParamTableSize), 0);
}

TEST_P(StormTest, EndingInTheBootLoaderHoldsTheDeviceAndUpdatesIt) {
    ASSERT_NO_FATAL_FAILURE(endStorm(GetParam()));
    emu::DeviceEmulator& last = h.Attach(Storm::device(true));
    settleOn(last, kBootLoaderProductId, text::kDetectUpdateHid);
    TfmIsp& isp = h.isp();
    EXPECT_TRUE(isp.bnSecurity.Enabled());
    EXPECT_FALSE(isp.bnDspPorgram.Enabled());
    ASSERT_TRUE(isp.btnStartProgram.Enabled());
    // Nothing of the storm is left in the way of a whole update.
    ASSERT_TRUE(h.RunUpdate()) << (h.boxes.empty() ? "no box" : h.boxes.back().text);
    const std::vector<uint8_t> flash = h.ExpectedFlash();
    const std::vector<uint8_t> dsp = h.ExpectedDsp();
    EXPECT_TRUE(last.VerifyFlash(flash.data(), flash.size()).ok);
    EXPECT_TRUE(last.VerifyDsp(dsp.data(), dsp.size()).ok);
}

INSTANTIATE_TEST_SUITE_P(Seeds, StormTest, testing::Values(1u, 2u, 3u));

}  // namespace
