#include <sys/timerfd.h>
#include <unistd.h>

#include <QSocketNotifier>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "platform/ui/UiQt.h"

namespace ui {

namespace {

// The ticks of a timer, from a timerfd watched by the event loop. Qt's own timers round every
// wait up to a whole millisecond (and the glib loop adds its own), so a 20 ms timer would fire
// up to a millisecond late, each time; the kernel wakes the loop at the due time itself.
// Main thread only.
class TickSource {
public:
    explicit TickSource(std::function<void()> onTick)
        : fd_(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)) {
        if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "timerfd_create");
        notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                         [this, onTick = std::move(onTick)] {
                             if (consumeExpiry()) onTick();
                         });
    }
    ~TickSource() {
        notifier_.reset();
        ::close(fd_);
    }
    TickSource(const TickSource&) = delete;
    TickSource& operator=(const TickSource&) = delete;

    // First tick ms from now, then every ms.
    void start(int ms) {
        const timespec period{ms / 1000, long(ms % 1000) * 1000000L};
        arm(period);
        active_ = true;
    }
    void stop() {
        arm({0, 0});
        active_ = false;
    }
    bool isActive() const { return active_; }

private:
    void arm(const timespec& period) {
        const itimerspec schedule{period, period};
        ::timerfd_settime(fd_, 0, &schedule, nullptr);
    }
    // False when the timer was stopped or re-armed after it became readable.
    bool consumeExpiry() {
        uint64_t expirations = 0;
        return ::read(fd_, &expirations, sizeof expirations) == ssize_t(sizeof expirations);
    }

    const int fd_;
    std::unique_ptr<QSocketNotifier> notifier_;
    bool active_ = false;
};

}  // namespace

// The requested state may change on any thread. The tick source is made on the main thread at
// the first start (sync); once it exists, every change is carried out at once (apply).
struct Timer::Impl {
    explicit Impl(Timer* timer, int intervalMs) : owner(timer), interval(intervalMs) {}

    void sync();
    void apply();
    void tick();
    void schedule(const std::shared_ptr<Impl>& self);
    void dropTicks() {
        std::unique_ptr<TickSource> dropped;
        {
            std::lock_guard<std::mutex> guard(mutex);
            dropped = std::move(ticks);
        }
    }

    std::mutex mutex;
    Timer* owner;
    bool enabled = false;
    int interval;
    bool restart = false;  // a stop, restart or new interval not yet carried out
    // Made and destroyed on the main thread, at the first start; guarded by mutex.
    std::unique_ptr<TickSource> ticks;
};

namespace {

os::MainLoop* mainLoop() {
    Application* app = Application::Instance();
    return app ? &app->MainLoop() : nullptr;
}

bool onMainThread() {
    os::MainLoop* loop = mainLoop();
    return !loop || loop->isMainThread();
}

}  // namespace

void Timer::Impl::sync() {
    std::lock_guard<std::mutex> guard(mutex);
    if (!ticks && enabled && interval > 0) ticks = std::make_unique<TickSource>([this] { tick(); });
    apply();
}

// Under mutex. Arming a timerfd is safe from any thread; only making the tick source (its
// notifier) needs the main thread.
void Timer::Impl::apply() {
    const bool restartNow = restart;
    restart = false;
    if (!ticks) return;
    // A timer with no interval stays idle rather than firing on every loop iteration.
    if (!enabled || interval <= 0) {
        ticks->stop();
        return;
    }
    if (restartNow || !ticks->isActive()) ticks->start(interval);
}

void Timer::Impl::tick() {
    Timer* timer;
    {
        std::lock_guard<std::mutex> guard(mutex);
        timer = owner;
    }
    if (timer) RunGuarded(Handler(timer->OnTimer));
}

void Timer::Impl::schedule(const std::shared_ptr<Impl>& self) {
    if (onMainThread()) {
        sync();
        return;
    }
    {
        // A link restarts its keep-alive after every reply: re-arming in place spares the main
        // thread a wake-up each time.
        std::lock_guard<std::mutex> guard(mutex);
        if (ticks) {
            apply();
            return;
        }
    }
    mainLoop()->post([weak = std::weak_ptr<Impl>(self)] {
        if (std::shared_ptr<Impl> impl = weak.lock()) impl->sync();
    });
}

Timer::Timer(int intervalMs) : impl_(std::make_shared<Impl>(this, intervalMs)) {}

Timer::~Timer() {
    {
        std::lock_guard<std::mutex> guard(impl_->mutex);
        impl_->owner = nullptr;
        impl_->enabled = false;
    }
    if (onMainThread()) {
        impl_->dropTicks();
        return;
    }
    // The tick source must go on its own thread.
    mainLoop()->post([impl = impl_] { impl->dropTicks(); });
}

bool Timer::Enabled() const {
    std::lock_guard<std::mutex> guard(impl_->mutex);
    return impl_->enabled;
}

void Timer::SetEnabled(bool enabled) {
    {
        std::lock_guard<std::mutex> guard(impl_->mutex);
        if (impl_->enabled == enabled) return;
        impl_->enabled = enabled;
        if (!enabled) impl_->restart = true;
    }
    impl_->schedule(impl_);
}

int Timer::Interval() const {
    std::lock_guard<std::mutex> guard(impl_->mutex);
    return impl_->interval;
}

void Timer::SetInterval(int ms) {
    {
        std::lock_guard<std::mutex> guard(impl_->mutex);
        if (impl_->interval == ms) return;
        impl_->interval = ms;
        impl_->restart = true;
    }
    impl_->schedule(impl_);
}

void Timer::Restart() {
    {
        std::lock_guard<std::mutex> guard(impl_->mutex);
        impl_->enabled = true;
        impl_->restart = true;
    }
    impl_->schedule(impl_);
}

}  // namespace ui
