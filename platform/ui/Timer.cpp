#include <QTimer>

#include "platform/ui/UiQt.h"

namespace ui {

// The requested state may change on any thread; the QTimer lives on the main thread and is
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
    std::unique_ptr<QTimer> qtimer;  // main thread only; made at the first start
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
        if (qtimer) qtimer->stop();
        return;
    }
    if (!qtimer) {
        qtimer = std::make_unique<QTimer>();
        qtimer->setTimerType(Qt::PreciseTimer);
        QObject::connect(qtimer.get(), &QTimer::timeout, qtimer.get(), [this] { tick(); });
    }
    if (restartNow || !qtimer->isActive()) qtimer->start(ms);
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
        impl_->qtimer.reset();
        return;
    }
    // The QTimer must go on its own thread.
    mainLoop()->post([impl = impl_] { impl->qtimer.reset(); });
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
