#include "platform/os/Os.h"

namespace os {

int64_t counterNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t counterFrequency() { return 1'000'000'000; }

enum class CallPhase { Idle, Pending, Running, Done };

struct SyncCall::State {
    std::mutex mutex;
    std::condition_variable changed;
    CallPhase phase = CallPhase::Idle;
    bool cancelled = false;
};

SyncCall::SyncCall(MainLoop& loop) : loop_(loop), state_(std::make_shared<State>()) {}

SyncCall::~SyncCall() { cancel(); }

bool SyncCall::call(std::function<void()> fn) {
    if (loop_.isMainThread()) {
        if (cancelled()) return false;
        fn();
        return true;
    }
    std::shared_ptr<State> state = state_;
    {
        std::lock_guard<std::mutex> guard(state->mutex);
        if (state->cancelled) return false;
        state->phase = CallPhase::Pending;
    }
    // The posted task holds the state, not this object: it may run after a cancelled caller left.
    loop_.post([state, fn] {
        {
            std::lock_guard<std::mutex> guard(state->mutex);
            if (state->cancelled || state->phase != CallPhase::Pending) return;
            state->phase = CallPhase::Running;
        }
        fn();
        {
            std::lock_guard<std::mutex> guard(state->mutex);
            state->phase = CallPhase::Done;
        }
        state->changed.notify_all();
    });
    std::unique_lock<std::mutex> guard(state->mutex);
    state->changed.wait(guard, [&] {
        return state->phase == CallPhase::Done ||
               (state->cancelled && state->phase != CallPhase::Running);
    });
    bool ran = state->phase == CallPhase::Done;
    state->phase = CallPhase::Idle;
    return ran;
}

void SyncCall::cancel() {
    {
        std::lock_guard<std::mutex> guard(state_->mutex);
        state_->cancelled = true;
    }
    state_->changed.notify_all();
}

bool SyncCall::cancelled() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->cancelled;
}

QueueLoop::QueueLoop() : owner_(std::this_thread::get_id()) {}

void QueueLoop::post(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        queue_.push_back(std::move(fn));
    }
    ready_.notify_all();
}

bool QueueLoop::isMainThread() const { return std::this_thread::get_id() == owner_; }

bool QueueLoop::runUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        std::function<void()> next;
        {
            std::unique_lock<std::mutex> guard(mutex_);
            if (!ready_.wait_until(guard, deadline, [&] { return !queue_.empty(); }))
                return pred();
            next = std::move(queue_.front());
            queue_.pop_front();
        }
        next();
    }
    return true;
}

}  // namespace os
