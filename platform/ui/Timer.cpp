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

// The requested state may change on any thread; the tick source lives on the main thread and is
// brought in line with the request there (sync).
struct Timer::Impl {
    explicit Impl(Timer* timer, int intervalMs) : owner(timer), interval(intervalMs) {}

    void sync();
    void tick();
    void schedule(const std::shared_ptr<Impl>& self);

    std::mutex mutex;
    Timer* owner;
    bool enabled = false;
    int interval;
    bool restart = false;  // a stop, restart or new interval not yet carried out
    std::unique_ptr<TickSource> ticks;  // main thread only; made at the first start
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
    bool on;
    int ms;
    bool restartNow;
    {
        std::lock_guard<std::mutex> guard(mutex);
        on = enabled;
        ms = interval;
        restartNow = restart;
        restart = false;
    }
    // A timer with no interval stays idle rather than firing on every loop iteration.
    if (!on || ms <= 0) {
        if (ticks) ticks->stop();
        return;
    }
    if (!ticks) ticks = std::make_unique<TickSource>([this] { tick(); });
    if (restartNow || !ticks->isActive()) ticks->start(ms);
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
        impl_->ticks.reset();
        return;
    }
    // The tick source must go on its own thread.
    mainLoop()->post([impl = impl_] { impl->ticks.reset(); });
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
