// The request-reply link to the device: LUsb owns the worker thread that writes every output
// report and feeds every received report; LUsbProc adds the transmit queue with one frame in
// flight, reply reassembly and timing, and the keep-alive.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <thread>

#include "platform/os/Os.h"
#include "protocol/Lcmd.h"

namespace ui {
class Timer;
}

// Window messages of the link.
constexpr uint32_t WM_USER = 0x400;
constexpr uint32_t WM_USB_RXBYTE = WM_USER + 335;  // 0x54F, posted
constexpr uint32_t WM_USB_FRAME = WM_USER + 336;   // 0x550, sent; wparam = const ByteVector*
constexpr uint32_t WM_USB_STATUS = WM_USER + 337;  // 0x551, posted

// Status codes carried by WM_USB_STATUS.
constexpr int kLinkStatusOverdue = 0;
constexpr int kLinkStatusStopTimeout = 5;
constexpr int kLinkStatusEnded = 6;

// What the link needs of the window that owns it.
class LinkOwner {
public:
    virtual ~LinkOwner() = default;
    // Delivers a link message on the main thread and waits until it has been handled; a
    // cancelled call returns without delivering. Called on the main thread (the link makes
    // its delivery from there), it delivers at once, as os::SyncCall::call does.
    virtual intptr_t SendLinkMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam,
                                     os::SyncCall& call) = 0;
    virtual void PostLinkMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) = 0;
    // Writes one frame as one output report; called on the worker thread under the link's lock.
    virtual void writeReport(const uint8_t* bytes, int32_t count) = 0;
    virtual os::MainLoop& LinkLoop() = 0;
};

class LUsb : public std::enable_shared_from_this<LUsb> {
public:
    static constexpr int kBufferSize = 1024;
    static constexpr int kDefaultWaitTimeoutMs = 800;
    static constexpr int kDefaultRetryLimit = 2;
    static constexpr int kStopWaitMs = 5000;
    // Frames and input reports handed over and not yet taken by the worker; one beyond these
    // is dropped.
    static constexpr int kPendingHandOvers = 16;

    // Objects are created with std::make_shared: the worker shares ownership of its link, so
    // the link outlives its worker even when the owner lets go first.
    explicit LUsb(LinkOwner* owner);
    virtual ~LUsb();
    LUsb(const LUsb&) = delete;
    LUsb& operator=(const LUsb&) = delete;

    virtual bool Start();
    virtual void Stop();
    virtual void SendBytes(const uint8_t* bytes, int length);
    virtual void SendFrame(const ByteVector& frame);
    virtual void ReceiveBytes(const uint8_t* bytes, int length);
    virtual void OnRxByte(uint8_t b);
    virtual void OnLinkStatus(int code, int param);
    virtual void SetWaitTimeout(int ms);

    bool Running() const { return running.load(); }
    // True once the worker has left its loop (or never ran).
    bool WorkerEnded() const;

    // Waits (bounded) until every worker of every link has ended; used at shutdown.
    static bool WaitForAllWorkers(int timeoutMs);

protected:
    // Copies a frame into txBuffer and wakes the worker: the transmit path of this class.
    void transmit(const uint8_t* bytes, int length);
    // Delivers a message synchronously to the owner; false when the link is stopping.
    bool deliver(uint32_t msg, uintptr_t wParam, intptr_t lParam);
    bool stopRequested() const { return stopping.load(); }
    // Frames are taken only while the worker runs and no stop has been asked for.
    bool accepting() const { return running.load() && !stopping.load(); }
    // Wait periods that timed out since the last frame was written (diagnostics and tests).
    int silentPeriods() const { return silentPeriodCount.load(); }

    // Byte blocks handed from the main thread to the worker, oldest first. Each keeps its own
    // slot, so a hand-over while the worker still uses the previous one neither tears nor
    // overwrites it. Guarded by bufferLock; the front slot is the worker's until it pops it.
    struct HandOvers {
        struct Slot {
            int32_t length = 0;
            uint8_t bytes[kBufferSize] = {};
        };
        bool push(const uint8_t* bytes, int32_t length);
        const Slot* front() const { return count == 0 ? nullptr : &entries[head]; }
        // Drops the front slot; true when more are waiting.
        bool pop();

        Slot entries[kPendingHandOvers];
        int32_t head = 0;
        int32_t count = 0;
    };

    os::Lock lock;
    int8_t retryCount = 0;
    LinkOwner* owner;
    std::thread workerThread;
    std::atomic<bool> running{false};
    // rx, tx, stop: the order of the wait is their priority.
    std::unique_ptr<os::EventSet<3>> events;
    HandOvers txBuffer;
    HandOvers rxBuffer;
    std::atomic<int32_t> waitTimeout{kDefaultWaitTimeoutMs};
    int32_t retryLimit = kDefaultRetryLimit;

private:
    void WorkerLoop();
    void ProcessReceived();
    void WriteFrame();
    void CountSilentPeriod(int& overdueCount);
    void CloseHandles();
    bool insideOwnDelivery() const;
    bool waitForEnd(int timeoutMs);
    void markEnded();

    std::atomic<bool> stopping{false};
    std::atomic<bool> handlingDelivery{false};  // the main thread is inside our delivery
    std::atomic<bool> ended{false};
    std::atomic<int> silentPeriodCount{0};
    mutable os::Lock endLock;  // with endChanged: the worker's end, waited for by Stop
    std::condition_variable endChanged;
    os::Lock bufferLock;  // txBuffer and rxBuffer
    // The last frame written, copied out of txBuffer by the worker (worker thread only).
    uint8_t txWritten[kBufferSize] = {};
    int32_t txWrittenLength = 0;
    std::unique_ptr<os::SyncCall> syncCall;
};

class LUsbProc : public LUsb {
public:
    static constexpr int kKeepAliveIntervalMs = 3000;
    static constexpr uint32_t kResponseTimeCap = 0xFFFFFFFF;

    explicit LUsbProc(LinkOwner* owner);
    ~LUsbProc() override;

    bool Start() override;
    void Stop() override;
    void SendBytes(const uint8_t* bytes, int length) override;
    void SendFrame(const ByteVector& frame) override;
    void OnRxByte(uint8_t b) override;
    void SetWaitTimeout(int ms) override;

    void Submit(const ByteVector& frame, bool append);
    void SetKeepAliveSuspended(bool suspended);

    // For tests and diagnostics.
    bool InFlight() const;
    std::size_t QueueLength() const;
    bool FramedMode() const { return framedMode.load(); }

protected:
    // The high-resolution counter (ticks, ticks per second); called on both threads.
    virtual int64_t CounterNow() const;
    virtual int64_t CounterFrequency() const;
    // Takes effect at the next Start.
    void setKeepAliveInterval(int ms) { keepAliveInterval = ms; }

private:
    void CompleteFrame();
    void SendNext();
    void OnKeepAlive();
    void submit(const ByteVector& frame, bool append, bool setMode);
    void submitLocked(const ByteVector& frame, bool append);
    void noteHandOver();
    void finishFrame();
    void restartKeepAlive();

    std::atomic<bool> framedMode{false};
    std::atomic<bool> keepAliveSuspended{false};
    bool inFlight = false;
    ByteVector rxFrame;
    std::list<ByteVector> txQueue;
    std::optional<std::list<ByteVector>::iterator> replaceable;
    std::unique_ptr<ui::Timer> keepAliveTimer;
    int32_t keepAliveInterval = kKeepAliveIntervalMs;
    int32_t keepAliveGroup = cmd::kGroup;
    int64_t txStartCount = 0;
    int64_t counterFrequency = 0;
    mutable os::Lock queueLock;  // txQueue, inFlight, replaceable, counter readings
    os::Lock timerLock;          // the keepAliveTimer pointer, restarted from both threads
};
