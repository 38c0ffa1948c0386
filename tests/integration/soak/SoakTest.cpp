// Many whole updates in one process, one device re-plugged between them: every update succeeds
// and leaves the device holding exactly the images, and the process does not grow in threads,
// open files or resident memory once it has warmed up.
#include <gtest/gtest.h>
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/Texts.h"
#include "tests/support/UpdaterHarness.h"

namespace {

using harness::FastDevice;
using harness::Harness;
using harness::SmallImages;

constexpr int kDefaultRounds = 50;
constexpr int kWarmUpRounds = 5;
// Growth allowed over the figures taken after the warm-up. Threads and files: what one update
// holds while it ends (a link worker, a device's read thread and the hub's two connection
// threads finishing), never a steady climb. Memory: a few allocator arenas settling.
constexpr int kThreadSlack = 4;
constexpr int kFdSlack = 4;
constexpr long kResidentSlackKb = 8 * 1024;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers keep freed memory in quarantine and grow shadow memory: the resident size says
// nothing about our allocations there (LeakSanitizer checks those at exit instead).
constexpr bool kCheckResident = false;
#else
constexpr bool kCheckResident = true;
#endif

struct Usage {
    int threads = 0;
    int fds = 0;
    long residentKb = 0;
};

int entriesIn(const char* directory) {
    DIR* dir = opendir(directory);
    if (dir == nullptr) return -1;
    int count = 0;
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    closedir(dir);
    return count;
}

long residentKb() {
    long size = 0, resident = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) return -1;
    if (std::fscanf(statm, "%ld %ld", &size, &resident) != 2) resident = -1;
    std::fclose(statm);
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

Usage measure() {
    // The directory stream's own descriptor is counted too, the same way every time.
    return {entriesIn("/proc/self/task"), entriesIn("/proc/self/fd"), residentKb()};
}

// DSP_SOAK_ROUNDS narrows the run (slower sanitizer builds, quick local checks).
int rounds() {
    const char* text = std::getenv("DSP_SOAK_ROUNDS");
    const int value = text != nullptr ? std::atoi(text) : 0;
    return value > kWarmUpRounds ? value : kDefaultRounds;
}

emu::Config quietDevice() {
    emu::Config config = FastDevice();
    config.logCapacity = 0;  // the soak checks contents, not traffic; a log would only grow
    return config;
}

// Unplugs the device and waits until the window has let it go, then plugs in a fresh one.
emu::DeviceEmulator* replug(Harness& h) {
    h.devices.back()->Stop();
    if (!h.WaitFor([&] { return h.isp().hidDevice == nullptr; })) return nullptr;
    h.devices.clear();
    emu::DeviceEmulator* device = &h.Attach(quietDevice());
    if (!h.WaitForStartEnabled()) return nullptr;
    return device;
}

bool updateEnded(Harness& h) {
    return h.WaitFor([&] {
        return !h.runModeReplies.empty() && h.runModeReplies.back().code == cmd::kClose;
    });
}

TEST(Soak, ConsecutiveUpdatesSucceedWithoutGrowth) {
    Harness h;
    // One data frame. An update still takes about 2.7 s: after the first one every ISP step waits
    // for the 200 ms reply gate, and Start Program for 1 s.
    SmallImages images(40, 8);
    h.UseImages(images);
    const std::vector<uint8_t> flash = h.ExpectedFlash();
    const std::vector<uint8_t> dsp = h.ExpectedDsp();
    emu::DeviceEmulator* device = &h.Attach(quietDevice());
    h.Start();
    ASSERT_TRUE(h.WaitForStartEnabled());

    const int total = rounds();
    Usage baseline, peak;
    int succeeded = 0;
    for (int round = 1; round <= total; ++round) {
        SCOPED_TRACE("update " + std::to_string(round));
        const std::size_t boxesBefore = h.boxes.size();
        h.runModeReplies.clear();
        ASSERT_TRUE(h.RunUpdate())
            << (h.boxes.size() > boxesBefore ? h.boxes.back().text : "no box");
        ASSERT_EQ(h.boxes.size(), boxesBefore + 1);
        EXPECT_EQ(h.boxes.back().text, text::kProgramOk);
        ASSERT_TRUE(updateEnded(h));
        const emu::Verification f = device->VerifyFlash(flash.data(), flash.size());
        const emu::Verification d = device->VerifyDsp(dsp.data(), dsp.size());
        EXPECT_TRUE(f.ok) << f.text;
        EXPECT_TRUE(d.ok) << d.text;
        ++succeeded;
        device = replug(h);
        ASSERT_NE(device, nullptr);

        const Usage now = measure();
        if (round == kWarmUpRounds) baseline = peak = now;
        if (round > kWarmUpRounds) {
            peak.threads = std::max(peak.threads, now.threads);
            peak.fds = std::max(peak.fds, now.fds);
            peak.residentKb = std::max(peak.residentKb, now.residentKb);
        }
    }
    EXPECT_EQ(succeeded, total);
    std::printf("soak: %d updates; threads %d -> peak %d, fds %d -> peak %d, resident %ld -> peak %ld KiB\n",
                succeeded, baseline.threads, peak.threads, baseline.fds, peak.fds,
                baseline.residentKb, peak.residentKb);
    EXPECT_LE(peak.threads, baseline.threads + kThreadSlack);
    EXPECT_LE(peak.fds, baseline.fds + kFdSlack);
    if (kCheckResident) {
        EXPECT_LE(peak.residentKb, baseline.residentKb + kResidentSlackKb);
    }
}

}  // namespace
