#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QIcon>
#include <QTimer>

#include <chrono>
#include <iostream>
#include <stdexcept>

#include "platform/ui/UiQt.h"

// The built-in icon lives in this static library; naming its initialiser keeps the linker from
// dropping it. Outside any namespace, as the resource's own symbols are.
static void initIconResource() { Q_INIT_RESOURCE(icons); }

namespace ui {

namespace {

Application* instance = nullptr;

// How often RunUntil looks at its condition when no event arrives.
constexpr int kRunUntilWakeMs = 5;

// The program's icon built into the window layer, in the sizes the desktop installs.
constexpr const char* kBuiltInIcons[] = {":/icons/48x48/dsp-updater.png",
                                         ":/icons/128x128/dsp-updater.png"};

QEvent::Type wakeEventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

void reportException(const std::string& message) {
    Application* app = Application::Instance();
    if (!app) {
        std::cerr << "Exception: " << message << '\n';
        return;
    }
    try {
        app->ShowException(message);
    } catch (...) {
        // The report itself failed; nothing may escape into the event loop.
        std::cerr << "Exception: " << message << '\n';
    }
}

// The icon of every window: the icon theme's one named after the program, which is the one its
// desktop entry shows (and a theme may restyle), else the built-in copy (not installed, or the
// demo, which has no desktop entry).
QIcon windowIconFor(const std::string& appId) {
    initIconResource();
    QIcon builtIn;
    for (const char* file : kBuiltInIcons) builtIn.addFile(file);
    return QIcon::fromTheme(toQt(appId), builtIn);
}

}  // namespace

void RunGuarded(const Handler& handler) {
    if (!handler) return;
    try {
        handler();
    } catch (const std::exception& e) {
        reportException(e.what());
    } catch (...) {
        reportException("");
    }
}

class GuiLoop::Waker : public QObject {
public:
    explicit Waker(GuiLoop& loop) : loop_(loop) {}

    bool event(QEvent* event) override {
        if (event->type() != wakeEventType()) return QObject::event(event);
        loop_.drain();
        return true;
    }

private:
    GuiLoop& loop_;
};

GuiLoop::GuiLoop() : owner_(std::this_thread::get_id()), waker_(std::make_unique<Waker>(*this)) {}

GuiLoop::~GuiLoop() { close(); }

void GuiLoop::post(std::function<void()> fn) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (closed_) return;
    queue_.push_back(std::move(fn));
    if (wakePending_) return;
    wakePending_ = true;
    // Under our lock, so close() cannot destroy the waker in between.
    QCoreApplication::postEvent(waker_.get(), new QEvent(wakeEventType()));
}

bool GuiLoop::isMainThread() const { return std::this_thread::get_id() == owner_; }

void GuiLoop::close() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        closed_ = true;
        dropped.swap(queue_);
    }
}

// One item at a time: a handler that opens a nested loop (a modal box) leaves the rest queued,
// and the nested loop's own wake-up drains it in order.
void GuiLoop::drain() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        wakePending_ = false;
    }
    for (;;) {
        std::function<void()> next;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (queue_.empty()) return;
            next = std::move(queue_.front());
            queue_.pop_front();
        }
        RunGuarded(next);
    }
}

Application::Impl::Impl(int& argc, char** argv, const std::string& appId)
    : app(std::make_unique<QApplication>(argc, argv)) {
    QCoreApplication::setApplicationName(toQt(appId));
    QGuiApplication::setDesktopFileName(toQt(appId));
    QGuiApplication::setWindowIcon(windowIconFor(appId));
    // The main form, not the last window, ends the loop: the diagnostic windows may stay open.
    QApplication::setQuitOnLastWindowClosed(false);
    registerFontSubstitutes();
}

Application::Impl::~Impl() { loop.close(); }

void Application::Impl::adoptForm(Form& form) {
    if (mainForm) return;
    mainForm = &form;
    terminated = false;
}

void Application::Impl::forgetForm(Form& form) {
    if (mainForm == &form) mainForm = nullptr;
}

void Application::Impl::formClosed(Form& form) {
    if (mainForm == &form) instance->Terminate();
}

Application::Application(int& argc, char** argv, const std::string& appId) {
    if (instance) throw std::logic_error("an Application exists already");
    impl_ = std::make_unique<Impl>(argc, argv, appId);
    instance = this;
}

Application::~Application() {
    impl_->loop.close();
    instance = nullptr;
}

Application* Application::Instance() { return instance; }

Application::Impl& Application::impl() { return *impl_; }

os::MainLoop& Application::MainLoop() { return impl_->loop; }

int Application::Run() {
    if (impl_->terminated) return 0;
    if (impl_->mainForm && !impl_->mainForm->Visible()) impl_->mainForm->Show();
    impl_->running = true;
    QApplication::exec();
    impl_->running = false;
    impl_->terminated = false;
    return 0;
}

void Application::Terminate() {
    // exit() outside exec() would make every later nested loop (modal boxes) return at once.
    if (impl_->running)
        QCoreApplication::exit(0);
    else
        impl_->terminated = true;
}

void Application::ShowException(const std::string& message) {
    MessageDlg(message, MsgType::Error);
}

void Application::ProcessEvents() { QCoreApplication::processEvents(); }

bool Application::RunUntil(const std::function<bool()>& pred, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    QTimer wake;  // bounds each wait, so a condition changed by another thread is seen
    wake.start(kRunUntilWakeMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

}  // namespace ui
