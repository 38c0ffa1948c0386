// dsp-updater-bench: whole updates against the in-process emulated device, timed against the
// floor the protocol and the device impose; CPU and memory of the process during them; the
// cost of the idle link with its keep-alive; the start-up time of the main window.
#include <dirent.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QEvent>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <mutex>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "app/Texts.h"
#include "app/Updater.h"
#include "bench/Floor.h"
#include "bench/SmallImages.h"
#include "emulator/Emulator.h"

extern char** environ;

namespace {

using bench::Clock;
using bench::DeviceEvent;

constexpr const char* kBenchAppId = "dsp-updater-bench";
constexpr const char* kStartupChildFlag = "--startup-child";
constexpr const char* kShownPrefix = "shown_ns ";
constexpr int kSettleMs = 500;             // after a success box, before the next step
constexpr int kUpdateTimeoutMs = 300000;   // one update, generous
constexpr int kStartupTimeoutMs = 10000;   // the child gives up waiting for its first paint
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 64;
constexpr int kCmdKeepAlive = 18;

struct Options {
    int updates = 1;
    bool small = false;
    int latencyUs = 1000;
    int repeatUs = 1000;
    int reenumerateMs = int(emu::Timing{}.toBootLoader.count());
    int idleSeconds = 10;
    int startupRuns = 5;
};

void printHelp() {
    std::cout <<
        "Usage: dsp-updater-bench [OPTIONS]\n"
        "Runs whole updates against the in-process emulated device and prints one figure a line\n"
        "(name: value unit): wall time against the floor the protocol and the device impose,\n"
        "DSP exchange and ISP gate timings, CPU, memory, idle cost and start-up time.\n"
        "\n"
        "  --updates N           updates in a row (default 1)\n"
        "  --small               a 4 KiB MCU image and a 512-word DSP image instead of the\n"
        "                        embedded ones\n"
        "  --latency-us N        device processing time of every frame (default 1000)\n"
        "  --repeat-us N         repeat period of the boot loader's reply (default 1000)\n"
        "  --reenumerate-ms N    time the device stays off the bus when it changes personality\n"
        "                        (default 1000)\n"
        "  --idle-s N            idle measurement after the last update (default 10; 0 = none)\n"
        "  --startup-runs N      start-up measurements (default 5; 0 = none)\n";
}

bool parseInt(const char* text, int minimum, int* value) {
    if (text == nullptr) return false;
    char* end = nullptr;
    errno = 0;
    long parsed = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < minimum || parsed > 1000000000L)
        return false;
    *value = int(parsed);
    return true;
}

std::optional<Options> parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = true;
        if (arg == "--small") {
            o.small = true;
            continue;
        }
        if (arg == "--updates") ok = parseInt(next, 1, &o.updates);
        else if (arg == "--latency-us") ok = parseInt(next, 0, &o.latencyUs);
        else if (arg == "--repeat-us") ok = parseInt(next, 1, &o.repeatUs);
        else if (arg == "--reenumerate-ms") ok = parseInt(next, 0, &o.reenumerateMs);
        else if (arg == "--idle-s") ok = parseInt(next, 0, &o.idleSeconds);
        else if (arg == "--startup-runs") ok = parseInt(next, 0, &o.startupRuns);
        else return std::nullopt;
        if (!ok) return std::nullopt;
        ++i;
    }
    return o;
}

// ---- figures ----

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
double millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// Nearest-rank percentile; 0 for no samples.
double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    std::size_t rank = std::size_t(fraction * double(values.size()) + 0.999999);
    rank = std::clamp<std::size_t>(rank, 1, values.size());
    return values[rank - 1];
}

double median(const std::vector<double>& values) { return percentile(values, 0.5); }

double mean(const std::vector<double>& values) {
    if (values.empty()) return 0;
    return std::accumulate(values.begin(), values.end(), 0.0) / double(values.size());
}

void figure(const std::string& name, double value, const char* unit = "") {
    std::printf("%s: %.6g%s%s\n", name.c_str(), value, *unit ? " " : "", unit);
}

Clock::duration timevalDuration(const timeval& tv) {
    return std::chrono::seconds(tv.tv_sec) + std::chrono::microseconds(tv.tv_usec);
}

// User and system time of the whole process.
Clock::duration processCpu() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return timevalDuration(usage.ru_utime) + timevalDuration(usage.ru_stime);
}

double peakRssMb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

// The threads of this process, by id.
std::vector<pid_t> threadIds() {
    std::vector<pid_t> ids;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') ids.push_back(pid_t(std::atol(entry->d_name)));
        closedir(dir);
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

// Some threads of this process (those started by one call) and the CPU time they have used.
class ThreadGroup {
public:
    // The threads that start inside start().
    template <typename F>
    static ThreadGroup StartedBy(F start) {
        const std::vector<pid_t> before = threadIds();
        start();
        ThreadGroup group;
        for (pid_t id : threadIds())
            if (!std::binary_search(before.begin(), before.end(), id)) group.ids_.push_back(id);
        return group;
    }

    // Time spent running, from the scheduler's own count (nanoseconds).
    Clock::duration runtime() const {
        Clock::duration total{};
        for (pid_t id : ids_) {
            std::ifstream stat("/proc/self/task/" + std::to_string(id) + "/schedstat");
            long long ns = 0;
            if (stat >> ns) total += std::chrono::nanoseconds(ns);
        }
        return total;
    }

    std::size_t size() const { return ids_.size(); }

private:
    std::vector<pid_t> ids_;
};

double residentMb() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

double loadAverage() {
    double load = 0;
    std::ifstream("/proc/loadavg") >> load;
    return load;
}

// ---- the device's side ----

// Collects the device's events, on its thread.
class DeviceRecorder {
public:
    void onEvent(const emu::LogEvent& event) {
        DeviceEvent e;
        const bool wanted = bench::ToDeviceEvent(event, &e);
        if (!wanted) return;
        std::lock_guard<std::mutex> guard(mutex_);
        events_.push_back(e);
    }

    std::vector<DeviceEvent> take() {
        std::lock_guard<std::mutex> guard(mutex_);
        std::vector<DeviceEvent> taken;
        taken.swap(events_);
        return taken;
    }

private:
    std::mutex mutex_;
    std::vector<DeviceEvent> events_;
};

// Where the process's CPU time goes: the emulated device's thread, the virtual hub's threads
// (which stand in for the kernel's HID core and hidraw), and the updater (all the others).
struct CpuGroups {
    ThreadGroup device;
    ThreadGroup hub;
};

struct CpuSample {
    Clock::duration process{}, device{}, hub{};

    static CpuSample Take(const CpuGroups& groups) {
        return {processCpu(), groups.device.runtime(), groups.hub.runtime()};
    }
    CpuSample operator-(const CpuSample& earlier) const {
        return {process - earlier.process, device - earlier.device, hub - earlier.hub};
    }
    Clock::duration updater() const { return process - device - hub; }
};

// ---- the updates ----

// One DSP exchange seen from the updater's side: the device's reply reaching the main window
// as an input report, the reply delivered to the dispatcher, the next block at the device.
struct ExchangeLegs {
    std::vector<double> toReportUs, toDispatchUs, toNextBlockUs;
};

struct UpdateResult {
    Clock::duration wall{};
    bench::Floor floor;
    Clock::time_point start{};
    Clock::time_point end{};
    CpuSample cpu;
    double residentMb = 0;
};

struct IdleResult {
    Clock::duration span{};
    CpuSample cpu;
    int keepAlives = 0;
};

// Drives the window as a user would: Start Program, wait for the success box, the next update,
// then the idle link. Everything is driven by the event loop, so nothing here polls.
class Driver {
public:
    Driver(ui::Application& application, TfmIsp& isp, DeviceRecorder& recorder,
           const CpuGroups& cpu, const Options& options, int32_t mcuImageSize)
        : application_(application), isp_(isp), recorder_(recorder), cpu_(cpu), options_(options),
          mcuImageSize_(mcuImageSize), settle_(kSettleMs), idle_(options.idleSeconds * 1000),
          guard_(kUpdateTimeoutMs) {
        ui::SetMessageBoxObserver([this](const ui::BoxRecord& box) { onBox(box); }, 0);
        isp_.onStartEnabled = [this] { onStartEnabled(); };
        isp_.onStepText = [this](const std::string&) { lastStepText_ = Clock::now(); };
        isp_.onRunModeReply = [this](const LCmd& reply) {
            if (reply.code == cmd::kDspBlock) dispatches_.push_back(Clock::now());
        };
        hid::Events& events = isp_.HidCtl->events;
        auto onData = events.OnDeviceData;
        events.OnDeviceData = [this, onData](hid::Device& device, uint8_t id, const uint8_t* data,
                                             uint16_t size) {
            reports_.push_back(Clock::now());
            onData(device, id, data, size);
        };
        ui::Handler gateTick = isp_.tmUsbWait.OnTimer;
        isp_.tmUsbWait.OnTimer = [this, gateTick] {
            onGateTick();
            gateTick();
        };
        settle_.OnTimer = [this] {
            settle_.SetEnabled(false);
            next();
        };
        idle_.OnTimer = [this] { finishIdle(); };
        guard_.OnTimer = [this] { fail("no success box within the time-out"); };
    }
    ~Driver() { ui::SetMessageBoxObserver({}, -1); }

    bool failed() const { return failed_; }
    const std::vector<UpdateResult>& updates() const { return results_; }
    const std::optional<IdleResult>& idle() const { return idleResult_; }
    const std::vector<double>& gateOvershootsMs() const { return overshootsMs_; }
    const std::vector<double>& gateToFrameUs() const { return gateToFrameUs_; }
    const ExchangeLegs& dspLegs() const { return legs_; }

private:
    void onStartEnabled() {
        if (started_) return;
        started_ = true;
        settle_.SetEnabled(true);
    }

    void next() {
        if (updateRunning_) {
            finishUpdate();
        }
        if (int(results_.size()) < options_.updates)
            beginUpdate();
        else if (options_.idleSeconds > 0 && !idleStarted_)
            beginIdle();
        else
            application_.Terminate();
    }

    void beginUpdate() {
        recorder_.take();
        gateTicks_.clear();
        reports_.clear();
        dispatches_.clear();
        updateRunning_ = true;
        current_ = UpdateResult{};
        guard_.SetEnabled(true);
        current_.cpu = CpuSample::Take(cpu_);
        current_.start = Clock::now();
        isp_.btnStartProgram.Click();
    }

    void onBox(const ui::BoxRecord& box) {
        if (!updateRunning_ || box.text != text::kProgramOk) {
            fail("box: " + box.text);
            return;
        }
        current_.end = Clock::now();
        current_.cpu = CpuSample::Take(cpu_) - current_.cpu;
        guard_.SetEnabled(false);
        settle_.SetEnabled(true);
    }

    void finishUpdate() {
        updateRunning_ = false;
        bench::FloorInput input;
        input.events = recorder_.take();
        input.start = current_.start;
        input.end = current_.end;
        input.mcuImageSize = mcuImageSize_;
        input.leftoverOffset = results_.empty() ? 0 : bench::IspOffsetAfterRun(mcuImageSize_);
        current_.floor = bench::ComputeFloor(input);
        current_.wall = current_.end - current_.start;
        current_.residentMb = residentMb();
        collectGateToFrame(input.events);
        collectLegs(current_.floor);
        results_.push_back(current_);
    }

    void collectLegs(const bench::Floor& floor) {
        auto report = reports_.begin();
        auto dispatch = dispatches_.begin();
        for (const bench::Floor::Span& exchange : floor.dspExchanges) {
            report = std::lower_bound(report, reports_.end(), exchange.from);
            if (report == reports_.end()) break;
            dispatch = std::lower_bound(dispatch, dispatches_.end(), *report);
            if (dispatch == dispatches_.end() || *dispatch > exchange.to) continue;
            legs_.toReportUs.push_back(micros(*report - exchange.from));
            legs_.toDispatchUs.push_back(micros(*dispatch - *report));
            legs_.toNextBlockUs.push_back(micros(exchange.to - *dispatch));
        }
    }

    // From each gate tick to the next ISP frame the device receives: the wait for a report
    // after the gate opened, its delivery, and the next frame's way out.
    void collectGateToFrame(const std::vector<DeviceEvent>& events) {
        auto frame = events.begin();
        for (Clock::time_point tick : gateTicks_) {
            frame = std::find_if(frame, events.end(), [&](const DeviceEvent& e) {
                return e.time >= tick && e.kind == DeviceEvent::Kind::Received;
            });
            if (frame == events.end()) break;
            gateToFrameUs_.push_back(micros(frame->time - tick));
        }
    }

    void onGateTick() {
        const Clock::time_point now = Clock::now();
        const auto interval = std::chrono::milliseconds(isp_.tmUsbWait.Interval());
        // The gate is armed right after the step text of its frame is written.
        overshootsMs_.push_back(millis(now - (lastStepText_ + interval)));
        gateTicks_.push_back(now);
    }

    void beginIdle() {
        idleStarted_ = true;
        recorder_.take();
        idleResult_ = IdleResult{};
        idleCpu_ = CpuSample::Take(cpu_);
        idleStart_ = Clock::now();
        idle_.SetEnabled(true);
    }

    void finishIdle() {
        idle_.SetEnabled(false);
        idleResult_->span = Clock::now() - idleStart_;
        idleResult_->cpu = CpuSample::Take(cpu_) - idleCpu_;
        for (const DeviceEvent& e : recorder_.take())
            if (e.kind == DeviceEvent::Kind::Received && e.code == kCmdKeepAlive)
                ++idleResult_->keepAlives;
        application_.Terminate();
    }

    void fail(const std::string& why) {
        if (failed_) return;
        failed_ = true;
        std::cerr << "dsp-updater-bench: " << why << std::endl;
        application_.Terminate();
    }

    ui::Application& application_;
    TfmIsp& isp_;
    DeviceRecorder& recorder_;
    const CpuGroups& cpu_;
    const Options& options_;
    const int32_t mcuImageSize_;
    ui::Timer settle_;
    ui::Timer idle_;
    ui::Timer guard_;

    bool started_ = false;
    bool updateRunning_ = false;
    bool idleStarted_ = false;
    bool failed_ = false;
    UpdateResult current_;
    std::vector<UpdateResult> results_;
    std::optional<IdleResult> idleResult_;
    CpuSample idleCpu_;
    Clock::time_point idleStart_{};
    Clock::time_point lastStepText_{};
    std::vector<Clock::time_point> gateTicks_;
    std::vector<Clock::time_point> reports_;     // input reports reaching the main window
    std::vector<Clock::time_point> dispatches_;  // DSP replies reaching the dispatcher
    ExchangeLegs legs_;
    std::vector<double> overshootsMs_;
    std::vector<double> gateToFrameUs_;
};

template <typename F>
std::vector<double> each(const std::vector<UpdateResult>& results, F f) {
    std::vector<double> values;
    for (const UpdateResult& r : results) values.push_back(f(r));
    return values;
}

void printUpdates(const Driver& driver) {
    const std::vector<UpdateResult>& r = driver.updates();
    const auto ratio = [](const UpdateResult& u) { return seconds(u.wall) / seconds(u.floor.total()); };
    figure("updates", double(r.size()));
    figure("load_average_1m", loadAverage());
    figure("update_wall_s", median(each(r, [](const UpdateResult& u) { return seconds(u.wall); })), "s");
    figure("update_floor_s",
           median(each(r, [](const UpdateResult& u) { return seconds(u.floor.total()); })), "s");
    figure("update_ratio", median(each(r, ratio)));
    figure("update_ratio_max", percentile(each(r, ratio), 1.0));

    // Where the difference lives: each stretch's wall time against its floor.
    const auto stretch = [&](const char* name, auto wall, auto floor) {
        figure(std::string("wall_") + name + "_ms", median(each(r, [&](const UpdateResult& u) {
                   return millis(wall(u));
               })), "ms");
        figure(std::string("floor_") + name + "_ms", median(each(r, [&](const UpdateResult& u) {
                   return millis(floor(u));
               })), "ms");
    };
    stretch("reset_wait", [](const UpdateResult& u) { return u.floor.firstIspFrame - u.start; },
            [](const UpdateResult& u) { return u.floor.resetWait; });
    figure("reset_device_ms", median(each(r, [](const UpdateResult& u) {
               return millis(u.floor.resetDevice);
           })), "ms");
    stretch("isp", [](const UpdateResult& u) { return u.floor.mcuResetReceived - u.floor.firstIspFrame; },
            [](const UpdateResult& u) { return u.floor.isp; });
    stretch("return", [](const UpdateResult& u) { return u.floor.runModeBack - u.floor.mcuResetReceived; },
            [](const UpdateResult& u) { return u.floor.returnToRunMode; });
    stretch("run_mode", [](const UpdateResult& u) { return u.end - u.floor.runModeBack; },
            [](const UpdateResult& u) { return u.floor.runExchanges + u.floor.timers; });
    figure("isp_frames", median(each(r, [](const UpdateResult& u) { return double(u.floor.ispFrames); })));
    figure("run_mode_commands",
           median(each(r, [](const UpdateResult& u) { return double(u.floor.runCommands); })));

    std::vector<double> gaps;
    for (const UpdateResult& u : r)
        for (const bench::Floor::Span& gap : u.floor.dspExchanges) gaps.push_back(micros(gap.length()));
    std::vector<double> ispGaps;
    for (const UpdateResult& u : r)
        for (const bench::Floor::Span& gap : u.floor.ispExchanges) ispGaps.push_back(micros(gap.length()));
    figure("isp_exchange_us_median", median(ispGaps), "us");
    figure("isp_exchange_us_p90", percentile(ispGaps, 0.9), "us");
    figure("isp_exchange_us_mean", mean(ispGaps), "us");
    figure("dsp_blocks_timed", double(gaps.size()));
    figure("dsp_phase_exchange_us_median", median(gaps), "us");
    figure("dsp_phase_exchange_us_p99", percentile(gaps, 0.99), "us");
    const ExchangeLegs& legs = driver.dspLegs();
    figure("dsp_leg_reply_to_report_us_median", median(legs.toReportUs), "us");
    figure("dsp_leg_report_to_dispatch_us_median", median(legs.toDispatchUs), "us");
    figure("dsp_leg_dispatch_to_next_block_us_median", median(legs.toNextBlockUs), "us");
    figure("isp_gate_overshoot_ms_median", median(driver.gateOvershootsMs()), "ms");
    figure("isp_gate_overshoot_ms_p99", percentile(driver.gateOvershootsMs(), 0.99), "ms");
    figure("isp_gate_to_next_frame_us_median", median(driver.gateToFrameUs()), "us");
    figure("isp_gate_to_next_frame_us_p99", percentile(driver.gateToFrameUs(), 0.99), "us");

    const auto cpu = [&](const char* name, auto part) {
        figure(std::string(name) + "_s",
               median(each(r, [&](const UpdateResult& u) { return seconds(part(u.cpu)); })), "s");
        figure(std::string(name) + "_share", median(each(r, [&](const UpdateResult& u) {
                   return seconds(part(u.cpu)) / seconds(u.wall);
               })));
    };
    cpu("cpu", [](const CpuSample& c) { return c.process; });
    cpu("device_cpu", [](const CpuSample& c) { return c.device; });
    cpu("hub_cpu", [](const CpuSample& c) { return c.hub; });
    cpu("updater_cpu", [](const CpuSample& c) { return c.updater(); });
    figure("rss_mb_after_first_update", r.front().residentMb, "MB");
    figure("rss_mb_after_last_update", r.back().residentMb, "MB");
}

void printIdle(const IdleResult& idle) {
    figure("idle_s", seconds(idle.span), "s");
    figure("idle_cpu_s", seconds(idle.cpu.process), "s");
    figure("idle_cpu_share", seconds(idle.cpu.process) / seconds(idle.span));
    figure("idle_updater_cpu_share", seconds(idle.cpu.updater()) / seconds(idle.span));
    figure("idle_keepalives", idle.keepAlives);
}

// ---- start-up ----

int64_t steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// Notes the first paint of any window, that is the main window coming up (the diagnostic
// windows stay hidden), and ends the loop once it has been handled.
class FirstPaint : public QObject {
public:
    explicit FirstPaint(ui::Application& application) : application_(application) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !seen_) {
            seen_ = true;
            QTimer::singleShot(0, [this] { report(); });
        }
        return QObject::eventFilter(watched, event);
    }
    void report() {
        std::printf("%s%lld\n", kShownPrefix, static_cast<long long>(steadyNs()));
        std::fflush(stdout);
        application_.Terminate();
    }

private:
    ui::Application& application_;
    bool seen_ = false;
};

// The start-up of dsp-updater (application, the three windows on the system's HID devices, the
// main window shown), ending once the window has been painted.
int runStartupChild(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ui::Application application(argc, argv, kAppId);
    FirstPaint probe(application);
    qApp->installEventFilter(&probe);
    UpdaterWindows windows(hid::MakeHidrawBackend(kVendorId));
    windows.Start();
    QTimer::singleShot(kStartupTimeoutMs, [&] { application.Terminate(); });
    application.Run();
    return 0;
}

// Spawns this program as the start-up child; milliseconds from just before the spawn to the
// window painted, or nothing when the child did not report.
std::optional<double> measureStartup(const char* self) {
    int out[2];
    if (pipe(out) != 0) return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    char* args[] = {const_cast<char*>(self), const_cast<char*>(kStartupChildFlag), nullptr};
    const int64_t before = steadyNs();
    pid_t child = -1;
    const int spawned = posix_spawn(&child, self, &actions, nullptr, args, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, std::size_t(n));
    close(out[0]);
    if (spawned != 0) return std::nullopt;
    int status = 0;
    waitpid(child, &status, 0);
    const std::size_t at = text.find(kShownPrefix);
    if (at == std::string::npos) return std::nullopt;
    const long long shown = std::atoll(text.c_str() + at + std::strlen(kShownPrefix));
    return double(shown - before) / 1e6;
}

void printStartup(int runs) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i)
        if (std::optional<double> ms = measureStartup("/proc/self/exe")) times.push_back(*ms);
    figure("startup_runs", double(times.size()));
    if (times.empty()) return;
    figure("startup_ms_first", times.front(), "ms");
    figure("startup_ms", median(times), "ms");
    figure("startup_ms_max", percentile(times, 1.0), "ms");
}

emu::Config deviceConfig(const Options& options, DeviceRecorder& recorder) {
    emu::Config config;
    config.start = emu::Personality::RunMode;
    // A device that answers once, before the gate opens, would never be heard.
    config.timing.bootLoaderReplies = emu::ReplyModel::Repeat;
    config.timing.latency = std::chrono::microseconds(options.latencyUs);
    config.timing.repeatEvery = std::chrono::microseconds(options.repeatUs);
    config.timing.toBootLoader = std::chrono::milliseconds(options.reenumerateMs);
    config.timing.toRunMode = std::chrono::milliseconds(options.reenumerateMs);
    config.logCapacity = 0;  // the recorder keeps what the floor needs, and only per update
    config.onEvent = [&recorder](const emu::LogEvent& event) { recorder.onEvent(event); };
    return config;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], kStartupChildFlag) == 0)
        return runStartupChild(argc, argv);
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0) return printHelp(), 0;
    const std::optional<Options> options = parseOptions(argc, argv);
    if (!options) {
        printHelp();
        return kExitUsage;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);

    bool failed = false;
    {
        ui::Application application(argc, argv, kBenchAppId);
        DeviceRecorder recorder;
        hid::VirtualHub hub;
        UpdaterWindows windows(hub.MakeBackend());
        const bench::SmallImages small;
        if (options->small) {
            windows.isp().mcuTable = small.mcu();
            windows.isp().dspTable = small.dsp();
        }
        const int32_t mcuImageSize = bench::McuImageSize(windows.isp().mcuTable);
        emu::DeviceEmulator device(deviceConfig(*options, recorder));
        int connection = -1;
        CpuGroups cpu;
        cpu.device = ThreadGroup::StartedBy([&] { connection = device.AttachSocketPair(); });
        cpu.hub = ThreadGroup::StartedBy([&] { hub.AddConnection(connection); });
        {
            Driver driver(application, windows.isp(), recorder, cpu, *options, mcuImageSize);
            windows.Start(false);
            application.Run();
            failed = driver.failed();
            if (!driver.updates().empty()) printUpdates(driver);
            if (driver.idle()) printIdle(*driver.idle());
        }
        figure("peak_rss_mb", peakRssMb(), "MB");
        device.Stop();
    }
    if (!failed) printStartup(options->startupRuns);
    std::fflush(stdout);
    return failed ? kExitFailure : 0;
}
