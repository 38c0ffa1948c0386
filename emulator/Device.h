// The device's protocol side, without threads or transport: what it does with one output report
// in either personality, what it stores, and the faults it has been told to show.
#pragma once

#include <bitset>
#include <random>

#include "emulator/Emulator.h"

namespace emu {

// What the device does after one output report.
struct Response {
    enum class Bus { Stay, LeaveAfterReply, UnplugNow };
    std::vector<Bytes> reports;  // input reports, in order, sent after the processing time
    bool lastRepeats = false;    // the last report is the answer a repeating boot loader repeats
    Bus bus = Bus::Stay;
    Personality next = Personality::RunMode;    // personality on return, when leaving
    std::chrono::milliseconds returnAfter{0};   // UnplugNow only
};

class Device {
public:
    explicit Device(const Config& config);

    // report: report ID byte first, then the report bytes, exactly as written by the host.
    // handled is set when the report was a valid frame for the personality.
    Response HandleReport(Personality personality, const uint8_t* report, std::size_t size,
                          bool* handled);
    // A fresh appearance on the bus: the boot loader forgets a programming run in progress.
    void BeginSession();

    const Bytes& Flash() const { return flash_; }
    const Bytes& DspMemory() const { return dsp_; }
    uint32_t FlashImageSize() const { return imageSize_; }
    uint32_t FlashBytesWritten() const { return flashWritten_; }
    uint32_t DspBlocksStored() const { return uint32_t(dspStored_.count()); }

    Verification VerifyFlash(const uint8_t* expected, std::size_t size) const;
    Verification VerifyDsp(const uint8_t* expected, std::size_t size) const;

private:
    struct HostFrame {
        uint8_t code = 0;
        const uint8_t* payload = nullptr;
        std::size_t length = 0;
    };
    struct FaultState {
        Fault fault;
        uint64_t seen = 0;
    };
    // The reply of a run-mode command before it is framed.
    struct RunReply {
        uint8_t code = 0;
        Bytes payload;
    };

    static bool ParseHostFrame(const uint8_t* bytes, std::size_t size, HostFrame* frame);
    Response HandleRunFrame(const HostFrame& frame);
    Response HandleIspFrame(const uint8_t* frame);
    RunReply AnswerRunCommand(const HostFrame& frame);
    Bytes ParameterRow(const HostFrame& frame) const;
    Bytes StoreDspBlock(const HostFrame& frame);
    Bytes AnswerIspFrame(const uint8_t* frame);
    void StartProgram(const uint8_t* frame);
    void StoreFlash(const uint8_t* bytes, std::size_t count);

    bool RunFrameMatches(const StagePoint& at, const HostFrame& frame) const;
    bool IspFrameMatches(const StagePoint& at, const uint8_t* frame) const;
    std::vector<Fault> Strike(const std::function<bool(const StagePoint&)>& matches);
    Response Unplug(const Fault& fault, Personality natural) const;
    Bytes Garbage();
    void AddReportFaults(const std::vector<Fault>& faults, Response* response);
    int DataFrameCount() const;

    Config config_;
    std::vector<FaultState> faults_;
    std::mt19937 random_;
    uint32_t key_ = 0;

    Bytes flash_;
    uint32_t imageSize_ = 0;
    uint32_t flashWritten_ = 0;
    std::size_t flashOffset_ = 0;
    bool programming_ = false;  // a Start Program was received in this session
    int dataFrames_ = 0;        // data frames since Start Program

    Bytes dsp_;
    std::bitset<kDspMemorySize / kDspBlockSize> dspStored_;
};

}  // namespace emu
