// A stand-in for the main window as the link sees it: records what the link writes and posts,
// delivers replies on the main thread through a cancellable synchronous call, and lets a test
// hook into the write (worker thread) and into the reply handling (main thread).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "link/Lusb.h"
#include "platform/ui/Ui.h"

namespace linktest {

using Clock = std::chrono::steady_clock;

// Generous bound for anything the tests wait for; the machines are shared and noisy.
constexpr int kWaitMs = 10000;

enum class Kind { Write, Frame, Status, RxByte };

struct Record {
    Kind kind;
    ByteVector bytes;     // Write: the frame written; Frame: the reply delivered
    uintptr_t wParam = 0; // Status: the code; RxByte: the byte
    intptr_t lParam = 0;  // Status: the parameter; Frame: the response time
    Clock::time_point time;
};

class FakeOwner : public LinkOwner {
public:
    explicit FakeOwner(os::MainLoop& loop) : loop_(loop) {}

    // Runs on the worker thread inside writeReport, after the write is recorded.
    std::function<void(const ByteVector& frame)> onWrite;
    // Runs on the main thread inside the reply delivery, after the reply is recorded.
    std::function<void(const ByteVector& reply, uint32_t responseMs)> onFrame;

    intptr_t SendLinkMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam,
                             os::SyncCall& call) override {
        call.call([&] {
            EXPECT_TRUE(loop_.isMainThread());
            const ByteVector reply = *reinterpret_cast<const ByteVector*>(wParam);
            add({Kind::Frame, reply, msg, lParam, Clock::now()});
            if (onFrame) onFrame(reply, static_cast<uint32_t>(lParam));
        });
        return 0;
    }

    void PostLinkMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override {
        add({msg == WM_USB_STATUS ? Kind::Status : Kind::RxByte, {}, wParam, lParam,
             Clock::now()});
    }

    void writeReport(const uint8_t* bytes, int32_t count) override {
        add({Kind::Write, ByteVector(bytes, bytes + count), 0, 0, Clock::now()});
        if (onWrite) onWrite(ByteVector(bytes, bytes + count));
    }

    os::MainLoop& LinkLoop() override { return loop_; }

    std::vector<Record> records() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return records_;
    }

    std::vector<Record> of(Kind kind) const {
        std::vector<Record> out;
        for (const Record& r : records())
            if (r.kind == kind) out.push_back(r);
        return out;
    }

    std::size_t count(Kind kind) const { return of(kind).size(); }

private:
    void add(Record record) {
        std::lock_guard<std::mutex> guard(mutex_);
        records_.push_back(std::move(record));
    }

    os::MainLoop& loop_;
    mutable std::mutex mutex_;
    std::vector<Record> records_;
};

// Turns the main loop until pred holds (bounded).
inline bool waitFor(const std::function<bool()>& pred, int timeoutMs = kWaitMs) {
    return ui::Application::Instance()->RunUntil(pred, timeoutMs);
}

// Turns the main loop for a while: only for checking that something does NOT happen.
inline void runFor(int ms) {
    ui::Application::Instance()->RunUntil([] { return false; }, ms);
}

// A door the worker thread can be held at (for instance inside a write) until the test opens it.
class Gate {
public:
    void pass() {
        std::unique_lock<std::mutex> guard(mutex_);
        arrived_ = true;
        changed_.notify_all();
        changed_.wait(guard, [&] { return open_; });
    }
    bool waitArrived(int timeoutMs = kWaitMs) {
        std::unique_lock<std::mutex> guard(mutex_);
        return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                 [&] { return arrived_; });
    }
    void open() {
        std::lock_guard<std::mutex> guard(mutex_);
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool arrived_ = false;
    bool open_ = false;
};

// A reply of the run-mode device: 10 02 01 00 L code payload 10 03 check, L = payload + 1.
inline ByteVector framedReply(uint8_t code, std::size_t payload) {
    ByteVector r = {0x10, 0x02, 0x01, 0x00, static_cast<uint8_t>(payload + 1), code};
    for (std::size_t i = 0; i < payload; ++i) r.push_back(static_cast<uint8_t>(i));
    r.insert(r.end(), {0x10, 0x03, 0x00});
    return r;
}

// A framed command as the main window sends it.
inline ByteVector framedCommand(uint8_t code) { return BuildFrame(LCmd(cmd::kGroup, code), MODE_FRAMED); }

// An in-system-programming frame: 70 raw bytes.
inline ByteVector rawFrame(uint8_t first) {
    ByteVector f(70, 0);
    f[0] = first;
    return f;
}

// A link processor whose counter can be set by the test, whose keep-alive interval can be
// shortened, and which counts its destructions.
class TestProc : public LUsbProc {
public:
    // Far beyond any test, so that keep-alives stay out of tests about other things.
    static constexpr int kQuietKeepAliveMs = 600000;

    explicit TestProc(LinkOwner* owner, int keepAliveMs = kQuietKeepAliveMs) : LUsbProc(owner) {
        setKeepAliveInterval(keepAliveMs);
    }
    ~TestProc() override { destroyed.fetch_add(1); }

    // With a fixed counter the readings are `now` ticks at `frequency` ticks per second.
    void fixCounter(int64_t frequency_) {
        frequency = frequency_;
        fixed = true;
    }
    std::atomic<int64_t> now{0};

    // Writes a frame past the queue: a fence, since received bytes are served before it.
    void writeDirect(const ByteVector& frame) {
        transmit(frame.data(), static_cast<int>(frame.size()));
    }

    static inline std::atomic<int> destroyed{0};
    // Counter readings so far: one per hand-over and one per completed reply.
    mutable std::atomic<int> counterReads{0};

protected:
    int64_t CounterNow() const override {
        counterReads.fetch_add(1);
        return fixed ? now.load() : LUsbProc::CounterNow();
    }
    int64_t CounterFrequency() const override {
        return fixed ? frequency.load() : LUsbProc::CounterFrequency();
    }

private:
    std::atomic<bool> fixed{false};
    std::atomic<int64_t> frequency{0};
};

inline void feed(LUsb& link, const ByteVector& bytes) {
    link.ReceiveBytes(bytes.data(), static_cast<int>(bytes.size()));
}

}  // namespace linktest
