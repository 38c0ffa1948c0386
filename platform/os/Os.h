// Operating-system primitives the behaviour code needs: auto-reset events with an ordered
// wait, a lock, a high-resolution counter, and the hand-over of work to the main thread.
// Built on the C++ standard library only, so ThreadSanitizer sees every hand-over.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace os {

// A fixed set of auto-reset events sharing one wait. waitAny returns the lowest-numbered
// signalled event (and resets it), so the order of the events is the priority of the wait.
template <std::size_t N>
class EventSet {
public:
    static constexpr int kTimeout = -1;

    void signal(std::size_t index) {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            signalled_[index] = true;
        }
        changed_.notify_all();
    }

    int waitAny(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> guard(mutex_);
        int found = kTimeout;
        changed_.wait_for(guard, timeout, [&] {
            found = firstSignalled();
            return found != kTimeout;
        });
        if (found != kTimeout) signalled_[found] = false;
        return found;
    }

private:
    int firstSignalled() const {
        for (std::size_t i = 0; i < N; ++i)
            if (signalled_[i]) return static_cast<int>(i);
        return kTimeout;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::array<bool, N> signalled_{};
};

using Lock = std::mutex;
using LockGuard = std::lock_guard<std::mutex>;

// High-resolution counter in the manner of a performance counter: ticks and ticks per second.
int64_t counterNow();
int64_t counterFrequency();

// The main thread's loop, as far as other threads need it: queue work to run there.
class MainLoop {
public:
    virtual ~MainLoop() = default;
    // Runs fn on the main thread, later, in posting order. Callable from any thread.
    virtual void post(std::function<void()> fn) = 0;
    virtual bool isMainThread() const = 0;
};

// A synchronous, cancellable call from a helper thread into the main thread: the caller blocks
// until fn has run there. cancel() (from any thread) makes a pending call return false without
// running fn, wakes a waiting caller and turns every later call into a no-op returning false.
// A call already running on the main thread is waited for, never interrupted.
class SyncCall {
public:
    explicit SyncCall(MainLoop& loop);
    ~SyncCall();
    SyncCall(const SyncCall&) = delete;
    SyncCall& operator=(const SyncCall&) = delete;

    bool call(std::function<void()> fn);
    void cancel();
    bool cancelled() const;

private:
    struct State;
    MainLoop& loop_;
    std::shared_ptr<State> state_;
};

// A MainLoop driven by a plain thread-safe queue, for code that runs without a window system
// (unit tests, tools). runFor/runUntil drain it on the calling thread, which is the main thread.
class QueueLoop : public MainLoop {
public:
    QueueLoop();
    void post(std::function<void()> fn) override;
    bool isMainThread() const override;
    // Runs queued work until pred() holds or the timeout passes; returns pred().
    bool runUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> queue_;
    std::thread::id owner_;
};

}  // namespace os
