#include "bench/Floor.h"

#include <algorithm>
#include <optional>

namespace bench {

namespace {

// Output reports as the device receives them: the report ID, then the frame.
constexpr std::size_t kIspCommandByte = 1;
constexpr std::size_t kFramedCodeByte = 6;  // ID, 10 02 00 group length, code

constexpr int kStartProgramImageBytes = 48;  // image bytes carried by Start Program
constexpr int kIspDataBytes = 56;
constexpr int kIspStartProgram = 0x85;
constexpr int kIspData = 0x00;
constexpr int kIspMcuReset = 0x86;

constexpr int kCmdOpen = 16;
constexpr int kCmdKeepAlive = 18;
constexpr int kCmdClose = 4;
constexpr int kCmdParamBlock = 0xA8;
constexpr int kCmdDspBlock = 0x53;

using Kind = DeviceEvent::Kind;

int gateFor(int32_t offsetAfter, int32_t imageSize) {
    return offsetAfter + kIspDataBytes < imageSize ? kGateFastMs : kGateSlowMs;
}

class Walk {
public:
    explicit Walk(const FloorInput& input) : input_(input) {
        for (const DeviceEvent& e : input.events)
            if (e.time >= input.start && e.time <= input.end) events_.push_back(e);
    }

    Floor run() {
        for (std::size_t i = 0; i < events_.size(); ++i) {
            switch (stage_) {
                case Stage::ResetRequest: resetRequest(i); break;
                case Stage::Isp: isp(i); break;
                case Stage::Returning: returning(i); break;
                case Stage::RunMode: runMode(i); break;
            }
        }
        if (dspStarted_) floor_.timers += kRunStepInterval;
        if (sawDspBlock_) floor_.timers += kRunStepInterval;
        return floor_;
    }

private:
    enum class Stage { ResetRequest, Isp, Returning, RunMode };

    // The first report sent at or after notBefore in answer to the frame at index i (before the
    // next frame reaches the device or the device leaves).
    std::optional<Clock::time_point> replyTo(std::size_t i, Clock::time_point notBefore) const {
        for (std::size_t j = i + 1; j < events_.size(); ++j) {
            const DeviceEvent& e = events_[j];
            if (e.kind == Kind::Received || e.kind == Kind::Left || e.kind == Kind::Appeared)
                return std::nullopt;
            if (e.kind == Kind::Sent && e.time >= notBefore) return e.time;
        }
        return std::nullopt;
    }

    void enterIsp() {
        floor_.resetDevice = resetDeviceTime_;
        floor_.resetWait = firstPollTickAtOrAfter(resetDeviceTime_);
        stage_ = Stage::Isp;
    }

    // tmMcuProg ticks every interval from the click; it finds the boot loader at the first tick
    // after its arrival.
    static Clock::duration firstPollTickAtOrAfter(Clock::duration sinceClick) {
        const auto ticks = std::max<Clock::rep>(
            1, (sinceClick.count() + Clock::duration(kMcuPollInterval).count() - 1) /
                   Clock::duration(kMcuPollInterval).count());
        return ticks * Clock::duration(kMcuPollInterval);
    }

    void resetRequest(std::size_t i) {
        const DeviceEvent& e = events_[i];
        if (e.kind == Kind::Received && e.personality == emu::Personality::RunMode) {
            if (auto reply = replyTo(i, e.time)) {
                resetDeviceTime_ += *reply - e.time;
                lastReply_ = *reply;
            }
        } else if (e.kind == Kind::Appeared && e.personality == emu::Personality::BootLoader) {
            if (lastReply_) resetDeviceTime_ += e.time - *lastReply_;
            enterIsp();
        } else if (e.kind == Kind::Received) {
            // The boot loader was attached already: only the poll interval passes.
            enterIsp();
            isp(i);
        }
    }

    void isp(std::size_t i) {
        const DeviceEvent& e = events_[i];
        if (e.kind != Kind::Received || e.personality != emu::Personality::BootLoader) return;
        if (floor_.ispFrames == 0) floor_.firstIspFrame = e.time;
        if (lastIspReply_) floor_.ispExchanges.push_back({*lastIspReply_, e.time});
        lastIspReply_.reset();
        if (e.code == kIspMcuReset) {
            floor_.mcuResetReceived = e.time;
            stage_ = Stage::Returning;
            return;
        }
        const int gateMs =
            IspGateMs(e.code, dataIndex_, input_.mcuImageSize, input_.leftoverOffset);
        if (e.code == kIspData) ++dataIndex_;
        const auto gate = std::chrono::milliseconds(gateMs);
        const auto reply = replyTo(i, e.time + gate);
        floor_.isp += reply ? *reply - e.time : Clock::duration(gate);
        lastIspReply_ = reply;
        ++floor_.ispFrames;
    }

    void returning(std::size_t i) {
        const DeviceEvent& e = events_[i];
        if (e.kind != Kind::Appeared || e.personality != emu::Personality::RunMode) return;
        floor_.returnToRunMode = e.time - floor_.mcuResetReceived;
        floor_.runModeBack = e.time;
        stage_ = Stage::RunMode;
    }

    void runMode(std::size_t i) {
        const DeviceEvent& e = events_[i];
        if (e.kind != Kind::Received || e.personality != emu::Personality::RunMode) return;
        // The closing commands go out with the success box; they are not waited for.
        if (e.code == kCmdKeepAlive || e.code == kCmdClose) return;
        const auto reply = replyTo(i, e.time);
        const Clock::duration device = reply ? *reply - e.time : Clock::duration::zero();
        if (e.code == kCmdDspBlock) {
            if (lastDspReply_) floor_.dspExchanges.push_back({*lastDspReply_, e.time});
            lastDspReply_ = reply;
            sawDspBlock_ = true;
        }
        if (e.code == kCmdParamBlock) sawParameters_ = true;
        if (e.code == kCmdOpen && sawParameters_ && !dspStarted_) {
            // The first block waits for tmDspProgram; the open command runs under it.
            dspStarted_ = true;
            floor_.timers += std::max<Clock::duration>(kDspProgramInterval, device);
            return;
        }
        floor_.runExchanges += device;
        ++floor_.runCommands;
    }

    const FloorInput& input_;
    std::vector<DeviceEvent> events_;
    Floor floor_;
    Stage stage_ = Stage::ResetRequest;
    Clock::duration resetDeviceTime_{};
    std::optional<Clock::time_point> lastReply_;
    std::optional<Clock::time_point> lastDspReply_;
    std::optional<Clock::time_point> lastIspReply_;
    int dataIndex_ = 0;
    bool sawParameters_ = false;
    bool dspStarted_ = false;
    bool sawDspBlock_ = false;
};

}  // namespace

bool ToDeviceEvent(const emu::LogEvent& event, DeviceEvent* out) {
    DeviceEvent e;
    e.time = event.time;
    e.personality = event.personality;
    switch (event.kind) {
        case emu::EventKind::Output: {
            e.kind = Kind::Received;
            const std::size_t at = event.personality == emu::Personality::BootLoader
                                       ? kIspCommandByte
                                       : kFramedCodeByte;
            e.code = at < event.bytes.size() ? event.bytes[at] : -1;
            break;
        }
        case emu::EventKind::Input: e.kind = Kind::Sent; break;
        case emu::EventKind::Create: e.kind = Kind::Appeared; break;
        case emu::EventKind::Destroy: e.kind = Kind::Left; break;
        default: return false;
    }
    *out = e;
    return true;
}

int IspGateMs(int command, int dataIndex, int32_t imageSize, int32_t leftoverOffset) {
    if (command == kIspMcuReset) return 0;
    if (command == kIspStartProgram) return kGateStartProgramMs;
    if (command == kIspData) {
        const int32_t placed = std::clamp(imageSize - kStartProgramImageBytes, 0,
                                          kIspDataBytes * (dataIndex + 1));
        return gateFor(kStartProgramImageBytes + placed, imageSize);
    }
    return gateFor(leftoverOffset, imageSize);
}

int32_t IspOffsetAfterRun(int32_t imageSize) { return std::max(imageSize, kStartProgramImageBytes); }

Floor ComputeFloor(const FloorInput& input) { return Walk(input).run(); }

}  // namespace bench
