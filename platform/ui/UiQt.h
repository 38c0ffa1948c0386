// The Qt side of the window layer, shared by its sources and by tests that look at the widgets.
#pragma once

#include <QEventLoop>
#include <QFont>
#include <QMenuBar>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QWidget>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/ui/Ui.h"

class QApplication;

namespace ui {

inline QString toQt(const std::string& text) { return QString::fromStdString(text); }

// Widget properties through which a form's client area finds the alignment and tab order of
// its controls, so the area keeps no list of controls that could outlive them.
inline constexpr char kAlignProperty[] = "uiAlign";
inline constexpr char kBottomGapProperty[] = "uiBottomGap";
inline constexpr char kTabOrderProperty[] = "uiTabOrder";

// A font by its designed family and pixel height; families missing here are substituted by
// close installed ones (registered by the Application).
QFont makeFont(const std::string& family, int pixelHeight);
int fontPixelHeight(const QFont& font);
void registerFontSubstitutes();

// The main thread's work queue. The queue is ours, guarded by a std::mutex, so every hand-over
// between threads is visible to ThreadSanitizer; Qt only wakes the main thread to drain it.
class GuiLoop final : public os::MainLoop {
public:
    GuiLoop();
    ~GuiLoop() override;
    void post(std::function<void()> fn) override;
    bool isMainThread() const override;
    // Drops queued work and every later post (the loop is going away).
    void close();

private:
    class Waker;
    void drain();

    std::mutex mutex_;
    std::deque<std::function<void()>> queue_;
    bool wakePending_ = false;
    bool closed_ = false;
    const std::thread::id owner_;
    std::unique_ptr<QObject> waker_;
};

struct Application::Impl {
    Impl(int& argc, char** argv, const std::string& appId);
    ~Impl();
    void adoptForm(Form& form);
    void forgetForm(Form& form);
    void formClosed(Form& form);

    std::unique_ptr<QApplication> app;
    GuiLoop loop;
    Form* mainForm = nullptr;
    bool running = false;
    bool terminated = false;  // Terminate() before Run(): Run() returns at once
};

// The drawing area of a form: controls at absolute positions, bottom- and client-aligned ones
// following its size.
class ClientArea : public QWidget {
public:
    explicit ClientArea(QWidget* parent);
    void alignChildren();
    void alignChild(QWidget* child);
    void applyTabOrder();

protected:
    void resizeEvent(QResizeEvent* event) override;
};

class FormWidget : public QWidget {
public:
    explicit FormWidget(Form& form);
    void setClientSize(int width, int height);
    // A menu item was added, removed, shown or hidden: the client area keeps its size.
    void menuChanged();

    QMenuBar* menuBar;
    ClientArea* client;
    QEventLoop* modalLoop = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    int menuHeight() const;
    void layoutFrame();

    Form& form_;
};

struct Form::Impl {
    Impl(Form& form, const Rect& outer, int clientWidth, int clientHeight, Position position);
    void deliver(Message& message);
    void show();
    void place();
    void centreOn(const QRect& area);
    QSize outerSize() const;

    Form& form;
    std::unique_ptr<FormWidget> widget;
    const QSize designedFrame;  // outer size minus client size, as designed
    const Position position;
    bool placed = false;
    // Read and cleared on the main thread only: lets queued messages find out that the form
    // has gone.
    std::shared_ptr<Form*> self;
};

struct Control::Impl {
    explicit Impl(QWidget* created) : widget(created) {}
    virtual ~Impl() = default;
    virtual void showText(const std::string&) {}

    QPointer<QWidget> widget;
    std::string text;
    bool enabled = true;
    bool visible = true;
};

// The client area of a form, the parent of its controls.
ClientArea* clientOf(Form& form);

}  // namespace ui
