// An emulated DSP device: one physical device with two personalities (the running firmware and
// its boot loader), speaking struct uhid_event records on the device side of a connected fd (a
// socket pair, a Unix stream socket, or the kernel's /dev/uhid).
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace emu {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr uint16_t kVendorId = 0x0168;
constexpr uint16_t kRunModeProductId = 0x0821;
constexpr uint16_t kBootLoaderProductId = 0x0904;
constexpr std::size_t kReportSize = 64;
constexpr std::size_t kParameterTableSize = 516;
constexpr std::size_t kFlashSize = 0x11000;
constexpr std::size_t kDspMemorySize = 65536;
constexpr std::size_t kDspBlockSize = 32;
constexpr uint8_t kErasedFlash = 0xFF;

enum class Personality { RunMode = 0, BootLoader = 1 };
const char* PersonalityName(Personality p);

// How the boot loader answers an ISP frame: once after the processing time, or that answer again
// every few milliseconds until the next frame arrives (the run mode always answers once).
enum class ReplyModel { Repeat, Single };

using ParameterTable = std::array<uint8_t, kParameterTableSize>;
// A fixed, non-trivial table with selector 2.
ParameterTable DefaultParameterTable();
// The 32-bit word the device derives from its own table; the selector is taken modulo 32 so the
// eight bytes always lie inside the table.
uint32_t DeriveKey(const ParameterTable& table);

// Where a fault strikes.
enum class Stage {
    RunCommand,    // a run-mode command; code = command code
    ParamRequest,  // a parameter request (0xA8); index = parameter block
    DspBlock,      // a DSP block (0x53); index = block number
    IspCommand,    // an ISP frame; code = its command byte
    DataFrame,     // an ISP data frame; index = its number since Start Program (0 = first)
};
constexpr int kAny = -1;
constexpr int kLastDataFrame = -2;    // index of DataFrame: the frame that completes the image
constexpr int kMiddleDataFrame = -3;  // index of DataFrame: the middle one of the image's frames

struct StagePoint {
    Stage stage = Stage::RunCommand;
    int code = kAny;
    int index = kAny;
    int occurrence = 1;  // strikes at the n-th matching frame; 0 strikes at every one
};

// Text form, as the command-line program takes it (numbers decimal or 0x-hex, "@K" = K-th
// occurrence, "@every" = every one): run:CODE, param:I, dsp:N, isp:CMD, mcu-reset (= isp:0x86),
// data:first|middle|last|K.
bool ParseStage(const std::string& text, StagePoint* point, std::string* error);

enum class FaultKind {
    Unplug,           // leave the bus instead of handling the frame; come back after returnAfter
    WrongSum,         // ISP reply: echo sum + value (default 1)
    NoReply,          // the frame is handled but not answered
    Garbage,          // value (default 1) reports of random bytes before the reply
    OversizedLength,  // framed reply with length byte value (default 57, above the 56 a report holds)
    ShortReport,      // the reply report carries only value bytes (default 32)
    DoubleReply,      // the reply report twice, back to back
    UnknownCode,      // framed reply with code value (default 0x77) instead of the command's
    BadRowIndex,      // parameter reply naming row value (default 11)
    BadSelector,      // parameter row 0 with selector value (default 64) in its byte 0
};

// Where an unplugged device comes back. Natural: as the real device would, in the personality it
// had (a boot loader with its flash half-written stays a boot loader), except that an unplug at
// the MCU Reset frame comes back in run mode.
enum class ReturnAs { Natural, RunMode, BootLoader };

struct Fault {
    FaultKind kind = FaultKind::NoReply;
    StagePoint at;
    std::optional<int> value;  // the kind's parameter; unset = the default named above
    std::chrono::milliseconds returnAfter{1000};
    ReturnAs returnAs = ReturnAs::Natural;
};

struct Timing {
    ReplyModel bootLoaderReplies = ReplyModel::Repeat;
    std::chrono::microseconds latency{1000};      // from a frame to its reply
    std::chrono::microseconds repeatEvery{5000};  // repeat model
    std::chrono::milliseconds leaveAfterReply{5};  // reset commands: reply, then leave the bus
    std::chrono::milliseconds toBootLoader{1000};  // off the bus between run mode and boot loader
    std::chrono::milliseconds toRunMode{1000};     // and back after MCU Reset
};

struct LogEvent;

struct Config {
    Personality start = Personality::RunMode;
    Timing timing;
    ParameterTable parameters = DefaultParameterTable();
    uint8_t firmwareVersion = 0x21;
    uint32_t deviceId = 0x4D3C2B1A;
    uint32_t configWord0 = 0x11223344;
    uint32_t configWord1 = 0x55667788;
    std::vector<Fault> faults;
    uint32_t seed = 1;                  // for garbage reports
    std::size_t logCapacity = 200000;   // oldest events are dropped beyond this; 0 keeps none
    // Called on the device thread for every event, outside the emulator's lock. It must not
    // call Stop (which joins that thread).
    std::function<void(const LogEvent&)> onEvent;
};

enum class Direction { Received, Sent };
enum class EventKind {
    Create,      // sent: appeared on the bus
    Destroy,     // sent: left the bus
    Output,      // received: an output report (bytes = report ID then the report)
    Input,       // sent: an input report (bytes = the report, as many as the record states)
    Start,       // received
    Stop,        // received
    Open,        // received
    Close,       // received
    PeerClosed,  // the connection ended
};

struct LogEvent {
    Clock::time_point time;
    Direction direction = Direction::Received;
    EventKind kind = EventKind::Output;
    Personality personality = Personality::RunMode;
    Bytes bytes;
};

struct Counters {
    uint64_t outputsReceived = 0;  // output reports, valid or not
    uint64_t framesHandled = 0;    // output reports taken as a command or ISP frame
    uint64_t framesIgnored = 0;
    uint64_t inputsSent = 0;
    uint64_t inputsDropped = 0;    // the peer stopped reading
    std::array<uint64_t, 2> appearances{};  // by Personality
    uint64_t departures = 0;
    bool present = false;
    bool open = false;  // someone holds the device open (UHID_OPEN without UHID_CLOSE)
    bool peerClosed = false;
    Personality personality = Personality::RunMode;
    uint32_t flashImageSize = 0;     // announced by the last Start Program
    uint32_t flashBytesWritten = 0;  // image bytes stored since then
    uint32_t dspBlocksStored = 0;    // distinct blocks
};

struct Verification {
    bool ok = false;
    std::string text;
};

class DeviceEmulator {
public:
    explicit DeviceEmulator(Config config = {});
    ~DeviceEmulator();
    DeviceEmulator(const DeviceEmulator&) = delete;
    DeviceEmulator& operator=(const DeviceEmulator&) = delete;

    // Takes ownership of a connected fd and starts the device thread, which appears at once.
    // Only one attachment per emulator.
    bool Attach(int fd);
    // Attaches one end of a new socket pair; returns the other end (the host side), or -1.
    int AttachSocketPair();
    bool ConnectUnix(const std::string& path, std::string* error);
    bool OpenUhid(std::string* error);
    // Leaves the bus (if the connection allows), ends the thread and closes the fd.
    void Stop();

    Counters GetCounters() const;
    std::vector<LogEvent> Log() const;
    // Waits until pred holds for the counters, or the timeout passes; returns pred's last value.
    bool WaitFor(const std::function<bool(const Counters&)>& pred,
                 std::chrono::milliseconds timeout) const;
    bool WaitForOutputs(uint64_t count, std::chrono::milliseconds timeout) const;
    bool WaitForInputs(uint64_t count, std::chrono::milliseconds timeout) const;
    bool WaitForAppearance(Personality p, uint64_t count, std::chrono::milliseconds timeout) const;

    // The flash is erased to kErasedFlash at every Start Program; only bytes inside the image size
    // it announces are written.
    Bytes Flash() const;
    Bytes DspMemory() const;
    // Flash: the announced image size and the bytes written equal the expected size, and the
    // image bytes match. DSP: every block the image spans is stored, the image bytes match, and
    // every byte beyond the image is zero.
    Verification VerifyFlash(const uint8_t* expected, std::size_t size) const;
    Verification VerifyDsp(const uint8_t* expected, std::size_t size) const;

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace emu
