#include "link/Lusb.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <system_error>

#include "platform/ui/Ui.h"

using os::LockGuard;

namespace {

// Positions in the event set: the wait prefers the lower index.
constexpr std::size_t kRxEvent = 0;
constexpr std::size_t kTxEvent = 1;
constexpr std::size_t kStopEvent = 2;

// Bytes of the last frame written that the status reports look at.
constexpr int kGroupByte = 3;  // the group of a framed frame
constexpr int kCodeByte = 5;   // the code of a framed frame
// A frame whose byte 5 is this is reported overdue as soon as the retry periods are over.
constexpr uint8_t kEarlyOverdueCode = 5;
// Silent periods counted after the retries before an ordinary frame is reported overdue.
constexpr int kOverdueLimit = 3;

constexpr std::size_t kLengthByte = 4;  // of a framed frame: payload length + 1
constexpr int64_t kMsPerSecond = 1000;

// Lengths handed to the link are cut to the worker's fixed buffers.
int32_t boundedLength(const uint8_t* bytes, int length) {
    if (bytes == nullptr || length <= 0) return 0;
    return std::min(length, LUsb::kBufferSize);
}

// Live workers of all links, so that shutdown can wait for detached ones. Never destroyed: a
// worker may still be finishing while static objects are torn down.
struct WorkerCount {
    std::mutex mutex;
    std::condition_variable changed;
    int live = 0;
};

WorkerCount& workerCount() {
    static WorkerCount* count = new WorkerCount;
    return *count;
}

void workerStarted() {
    std::lock_guard<std::mutex> guard(workerCount().mutex);
    ++workerCount().live;
}

void workerFinished() {
    WorkerCount& count = workerCount();
    {
        std::lock_guard<std::mutex> guard(count.mutex);
        --count.live;
    }
    count.changed.notify_all();
}

// Milliseconds between two counter readings, in signed 64-bit terms, capped at the largest
// 32-bit value; the low 32 bits are what the reply carries.
uint32_t responseTimeMs(int64_t now, int64_t start, int64_t frequency) {
    __extension__ using Wide = __int128;  // the product of a 64-bit span and 1000 must not wrap
    Wide ms = (Wide(now) - Wide(start)) * kMsPerSecond / frequency;
    if (ms >= Wide(LUsbProc::kResponseTimeCap)) return LUsbProc::kResponseTimeCap;
    return static_cast<uint32_t>(ms);
}

}  // namespace

// ---- LUsb: the worker ----

LUsb::LUsb(LinkOwner* owner_) : owner(owner_) {}

// The worker shares ownership of its link, so a destructor runs only once the worker has let
// go: on the worker thread itself (its own handle is released) or after it (a short join).
LUsb::~LUsb() {
    if (!workerThread.joinable()) return;
    if (workerThread.get_id() == std::this_thread::get_id())
        workerThread.detach();
    else
        workerThread.join();
}

bool LUsb::Start() {
    if (running || stopping) return false;
    std::shared_ptr<LUsb> self = weak_from_this().lock();
    if (!self) return false;  // without shared ownership the link could die under its worker
    events = std::make_unique<os::EventSet<3>>();
    syncCall = std::make_unique<os::SyncCall>(owner->LinkLoop());
    running = true;
    workerStarted();
    try {
        workerThread = std::thread([self = std::move(self)]() mutable {
            self->WorkerLoop();
            self.reset();  // may destroy the link, here on its own worker
            workerFinished();
        });
    } catch (const std::system_error&) {
        running = false;
        workerFinished();
        CloseHandles();
        return false;
    }
    return true;
}

void LUsb::Stop() {
    stopping = true;
    if (workerThread.joinable()) {
        // A delivery not yet taken by the main thread returns at once; later ones do nothing.
        syncCall->cancel();
        events->signal(kStopEvent);
        // Called while handling this link's own reply: the worker is waiting for us and ends
        // as soon as the handler returns, so waiting here would only stall.
        if (insideOwnDelivery()) return;
        if (!waitForEnd(kStopWaitMs)) {
            OnLinkStatus(kLinkStatusStopTimeout, 0);
            return;  // the worker still holds its link; handles go with the object
        }
        workerThread.join();
    }
    CloseHandles();
}

void LUsb::SendBytes(const uint8_t* bytes, int length) {
    if (!accepting()) return;
    transmit(bytes, length);
}

void LUsb::SendFrame(const ByteVector& frame) {
    SendBytes(frame.data(), static_cast<int>(frame.size()));
}

void LUsb::ReceiveBytes(const uint8_t* bytes, int length) {
    const int32_t n = boundedLength(bytes, length);
    if (n == 0 || !events) return;
    {
        LockGuard guard(bufferLock);
        if (!rxBuffer.push(bytes, n)) return;
    }
    events->signal(kRxEvent);
}

void LUsb::OnRxByte(uint8_t b) { owner->PostLinkMessage(WM_USB_RXBYTE, b, 0); }

void LUsb::OnLinkStatus(int code, int param) {
    owner->PostLinkMessage(WM_USB_STATUS, static_cast<uintptr_t>(code), param);
}

void LUsb::SetWaitTimeout(int ms) { waitTimeout = std::max(ms, 0); }

bool LUsb::WorkerEnded() const { return !workerThread.joinable() || ended.load(); }

bool LUsb::WaitForAllWorkers(int timeoutMs) {
    WorkerCount& count = workerCount();
    std::unique_lock<std::mutex> guard(count.mutex);
    return count.changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                  [&] { return count.live == 0; });
}

void LUsb::transmit(const uint8_t* bytes, int length) {
    {
        LockGuard guard(bufferLock);
        if (!txBuffer.push(bytes, boundedLength(bytes, length))) return;
    }
    events->signal(kTxEvent);
}

bool LUsb::HandOvers::push(const uint8_t* bytes, int32_t length) {
    if (count == kPendingHandOvers) return false;
    Slot& slot = entries[(head + count) % kPendingHandOvers];
    if (length > 0) std::memcpy(slot.bytes, bytes, static_cast<std::size_t>(length));
    slot.length = length;
    ++count;
    return true;
}

bool LUsb::HandOvers::pop() {
    head = (head + 1) % kPendingHandOvers;
    --count;
    return count > 0;
}

// The owner's handler runs inside our own call on the main thread, so that a Stop from within
// it can tell that the worker is waiting for this very handling.
bool LUsb::deliver(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    if (stopRequested()) return false;
    syncCall->call([&] {
        handlingDelivery = true;
        owner->SendLinkMessage(msg, wParam, lParam, *syncCall);
        handlingDelivery = false;
    });
    return !stopRequested();
}

void LUsb::WorkerLoop() {
    int overdueCount = 0;
    for (;;) {
        const int signalled = events->waitAny(std::chrono::milliseconds(waitTimeout.load()));
        if (signalled == kRxEvent) {
            ProcessReceived();
        } else if (signalled == kTxEvent) {
            WriteFrame();
        } else if (signalled == os::EventSet<3>::kTimeout) {
            CountSilentPeriod(overdueCount);
        } else {
            break;
        }
    }
    OnLinkStatus(kLinkStatusEnded, txWritten[kGroupByte]);
    running = false;
    markEnded();
}

// Feeds the oldest report handed over; a further one wakes the worker again, so received
// bytes keep their priority over frames and the stop.
void LUsb::ProcessReceived() {
    const HandOvers::Slot* report = nullptr;
    {
        LockGuard guard(bufferLock);
        report = rxBuffer.front();
    }
    if (report == nullptr) return;  // a late wake-up for a report already fed
    {
        LockGuard guard(lock);
        for (int32_t i = 0; i < report->length; ++i) OnRxByte(report->bytes[i]);
    }
    bool more = false;
    {
        LockGuard guard(bufferLock);
        more = rxBuffer.pop();
    }
    if (more) events->signal(kRxEvent);
}

// Writes the oldest frame handed over. A frame handed over before the previous one was
// written (a stray reply completed in between) waits its turn instead of replacing it.
void LUsb::WriteFrame() {
    bool more = false;
    {
        LockGuard guard(bufferLock);
        const HandOvers::Slot* frame = txBuffer.front();
        if (frame == nullptr) return;  // a late wake-up for a frame already written
        std::memcpy(txWritten, frame->bytes, static_cast<std::size_t>(frame->length));
        txWrittenLength = frame->length;
        more = txBuffer.pop();
    }
    if (more) events->signal(kTxEvent);
    retryCount = 0;
    silentPeriodCount = 0;
    LockGuard guard(lock);
    owner->writeReport(txWritten, txWrittenLength);
}

// Nothing is sent again: the counting only decides when an overdue reply is reported.
void LUsb::CountSilentPeriod(int& overdueCount) {
    ++silentPeriodCount;
    if (retryCount < retryLimit) {
        overdueCount = 0;
        ++retryCount;
    } else if (overdueCount > kOverdueLimit || txWritten[kCodeByte] == kEarlyOverdueCode) {
        retryCount = 0;
        OnLinkStatus(kLinkStatusOverdue, txWritten[kGroupByte]);
    } else {
        ++overdueCount;
    }
}

void LUsb::CloseHandles() {
    events.reset();
    syncCall.reset();
}

bool LUsb::insideOwnDelivery() const {
    return handlingDelivery.load() && owner->LinkLoop().isMainThread();
}

bool LUsb::waitForEnd(int timeoutMs) {
    std::unique_lock<std::mutex> guard(endLock);
    return endChanged.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                               [&] { return ended.load(); });
}

void LUsb::markEnded() {
    {
        LockGuard guard(endLock);
        ended = true;
    }
    endChanged.notify_all();
}

// ---- LUsbProc: queue, reassembly, timing, keep-alive ----

LUsbProc::LUsbProc(LinkOwner* owner_) : LUsb(owner_) {
    rxFrame.reserve(kBufferSize);
}

// Members go in reverse order: the timer (present only when Stop never ran), the queue, the
// frame being reassembled.
LUsbProc::~LUsbProc() = default;

bool LUsbProc::Start() {
    if (stopRequested()) return false;
    if (!keepAliveTimer) {
        auto timer = std::make_unique<ui::Timer>(keepAliveInterval);
        timer->OnTimer = [this] { OnKeepAlive(); };
        timer->SetEnabled(true);
        LockGuard guard(timerLock);
        keepAliveTimer = std::move(timer);
    }
    return LUsb::Start();
}

// The timer is destroyed here, on the main thread, even when the worker outlives this call.
void LUsbProc::Stop() {
    {
        LockGuard guard(timerLock);
        if (keepAliveTimer) keepAliveTimer->SetEnabled(false);
    }
    {
        LockGuard guard(queueLock);
        txQueue.clear();
        replaceable.reset();
    }
    LUsb::Stop();
    std::unique_ptr<ui::Timer> timer;
    {
        LockGuard guard(timerLock);
        timer = std::move(keepAliveTimer);
    }
}

void LUsbProc::SendBytes(const uint8_t* bytes, int length) {
    const int32_t n = boundedLength(bytes, length);
    submit(ByteVector(bytes, bytes + n), false, false);
}

void LUsbProc::SendFrame(const ByteVector& frame) { submit(frame, false, false); }

// Framed: 10 02 starts a frame (other bytes before them are skipped) and byte 4 gives its
// length. Raw: every 64 bytes are one reply. ">=" also ends a frame left over from the other
// mode when the mode switched in the middle of it.
void LUsbProc::OnRxByte(uint8_t b) {
    if (!framedMode) {
        rxFrame.push_back(b);
        if (rxFrame.size() >= static_cast<std::size_t>(kRawReplyLength)) finishFrame();
        return;
    }
    if (rxFrame.empty() && b != kDle) return;
    if (rxFrame.size() == 1 && b != kStx) return;
    rxFrame.push_back(b);
    if (rxFrame.size() > kLengthByte &&
        rxFrame.size() >= static_cast<std::size_t>(rxFrame[kLengthByte] + kFrameOverhead))
        finishFrame();
}

void LUsbProc::SetWaitTimeout(int ms) { LUsb::SetWaitTimeout(ms); }

void LUsbProc::Submit(const ByteVector& frame, bool append) { submit(frame, append, true); }

void LUsbProc::SetKeepAliveSuspended(bool suspended) { keepAliveSuspended = suspended; }

bool LUsbProc::InFlight() const {
    LockGuard guard(queueLock);
    return inFlight;
}

std::size_t LUsbProc::QueueLength() const {
    LockGuard guard(queueLock);
    return txQueue.size();
}

int64_t LUsbProc::CounterNow() const { return os::counterNow(); }

int64_t LUsbProc::CounterFrequency() const { return os::counterFrequency(); }

void LUsbProc::CompleteFrame() {
    const int64_t now = CounterNow();
    int64_t start = 0;
    int64_t frequency = 0;
    {
        LockGuard guard(queueLock);
        start = txStartCount;
        frequency = counterFrequency;
    }
    // No frame was ever handed over: there is no time base, and the reply is dropped.
    if (frequency == 0) return;
    const uint32_t ms = responseTimeMs(now, start, frequency);
    if (!deliver(WM_USB_FRAME, reinterpret_cast<uintptr_t>(&rxFrame), static_cast<intptr_t>(ms)))
        return;
    SendNext();
}

void LUsbProc::SendNext() {
    restartKeepAlive();
    LockGuard guard(queueLock);
    if (txQueue.empty()) {
        inFlight = false;
        return;
    }
    noteHandOver();
    const ByteVector& head = txQueue.front();
    transmit(head.data(), static_cast<int>(head.size()));
    if (replaceable && *replaceable == txQueue.begin()) replaceable.reset();
    txQueue.pop_front();
}

void LUsbProc::OnKeepAlive() {
    {
        LockGuard guard(queueLock);
        if (inFlight || !txQueue.empty()) return;
    }
    if (keepAliveSuspended) return;
    const LCmd keepAlive(static_cast<uint8_t>(keepAliveGroup), cmd::kKeepAlive);
    Submit(BuildFrame(keepAlive, MODE_FRAMED), false);
}

void LUsbProc::submit(const ByteVector& frame, bool append, bool setMode) {
    if (!accepting()) return;
    restartKeepAlive();
    // Every frame sets the mode, also one that is queued: the reply now awaited follows it.
    if (setMode) framedMode = IsFramedEnvelope(frame.data(), frame.size());
    LockGuard guard(queueLock);
    submitLocked(frame, append);
}

void LUsbProc::submitLocked(const ByteVector& frame, bool append) {
    if (!inFlight) {
        inFlight = true;
        noteHandOver();
        transmit(frame.data(), static_cast<int>(frame.size()));
    } else if (append) {
        txQueue.push_back(frame);
    } else if (replaceable) {
        **replaceable = frame;
    } else {
        replaceable = txQueue.insert(txQueue.end(), frame);
    }
}

void LUsbProc::noteHandOver() {
    txStartCount = CounterNow();
    counterFrequency = CounterFrequency();
}

void LUsbProc::finishFrame() {
    CompleteFrame();
    rxFrame.clear();
}

void LUsbProc::restartKeepAlive() {
    LockGuard guard(timerLock);
    if (keepAliveTimer) keepAliveTimer->Restart();
}
