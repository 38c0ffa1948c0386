// The window layer: forms, controls, timers, message boxes and the message loop, as the
// behaviour code expects of a desktop toolkit. Implemented over Qt 6 Widgets; this header
// includes no Qt header, so app/, link/ and protocol/ stay free of Qt.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/os/Os.h"

namespace ui {

using Color = uint32_t;
constexpr Color clRed = 0x0000FF;          // a COLORREF: red in the low byte
constexpr Color clBtnFace = 0x8000000F;    // the system colour of a button face

struct Rect {
    int left = 0, top = 0, width = 0, height = 0;
    bool operator==(const Rect&) const = default;
};

using Handler = std::function<void()>;

// Runs a handler the way the message loop does: an exception escaping it is shown by the
// application's standard exception report and the program goes on.
void RunGuarded(const Handler& handler);

class Application {
public:
    // appId names the program for the desktop (window class / app id, matching its .desktop file).
    Application(int& argc, char** argv, const std::string& appId);
    ~Application();
    static Application* Instance();

    // Message loop until the main form (the first form created; when it is destroyed, the next
    // one created) is closed; returns 0. Shows the main form if it is hidden.
    int Run();
    // Ends the message loop (as closing the main form does).
    void Terminate();
    // The standard exception report: a modal box with the message.
    void ShowException(const std::string& message);
    // Runs pending events (for tests and for waits with the loop still turning).
    void ProcessEvents();
    // Runs the loop until pred() holds or the timeout passes; returns pred().
    bool RunUntil(const std::function<bool()>& pred, int timeoutMs);
    os::MainLoop& MainLoop();

    struct Impl;
    Impl& impl();

private:
    std::unique_ptr<Impl> impl_;
};

struct Message {
    uint32_t Msg = 0;
    uintptr_t WParam = 0;
    intptr_t LParam = 0;
    intptr_t Result = 0;
};

enum class Position { Designed, DesktopCenter, MainFormCenter };
enum class Align { None, Bottom, Client };

class Form;

class Control {
public:
    virtual ~Control();
    Rect Bounds() const;
    void SetBounds(const Rect& r);
    bool Enabled() const;
    void SetEnabled(bool enabled);
    bool Visible() const;  // as set, not whether the form is on screen
    void SetVisible(bool visible);
    std::string Text() const;
    void SetText(const std::string& text);
    void SetFont(const std::string& family, int pixelHeight);
    int FontPixelHeight() const;
    std::string FontFamily() const;
    int TabOrder() const;  // -1 until set
    void SetTabOrder(int order);
    void SetAlign(Align align);
    const std::string& Name() const;

    struct Impl;
    Impl& impl();

protected:
    Control(Form& parent, const std::string& name, std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
    std::string name_;
};

class Button : public Control {
public:
    // A user's click on the enabled button runs OnClick guarded (see RunGuarded).
    Button(Form& parent, const std::string& name, const Rect& bounds, const std::string& text);
    // Runs OnClick whatever the enabled state, as a program's own click does; an exception goes
    // to the caller.
    void Click();
    Handler OnClick;
};

class Label : public Control {
public:
    Label(Form& parent, const std::string& name, const Rect& bounds, const std::string& text,
          bool centred);
};

class ProgressBar : public Control {
public:
    ProgressBar(Form& parent, const std::string& name, const Rect& bounds);
    void SetRange(int min, int max);
    int Min() const;
    int Max() const;
    int Position() const;
    void SetPosition(int position);
    // Text drawn over the bar (the current step), without touching the layout.
    void SetCaption(const std::string& text);
    std::string Caption() const;
};

class StatusBar : public Control {
public:
    StatusBar(Form& parent, const std::string& name, const Rect& bounds);
    void AddPanel(const std::string& text, int width);
    int PanelCount() const;
    int PanelWidth(int index) const;
    std::string PanelText(int index) const;
    void SetPanelText(int index, const std::string& text);
    std::string SimpleText() const;
    void SetSimpleText(const std::string& text);
    bool SimplePanel() const;
    void SetSimplePanel(bool simple);
    Color GetColor() const;
    void SetColor(Color color);
};

class ListBox : public Control {
public:
    ListBox(Form& parent, const std::string& name, const Rect& bounds);
    void AddItem(const std::string& text);
    int Count() const;
    std::string Item(int index) const;
    int ItemIndex() const;
    void SetItemIndex(int index);
    void SetItemHeight(int pixels);
    int ItemHeight() const;
};

class Memo : public Control {
public:
    Memo(Form& parent, const std::string& name, const Rect& bounds);
    void Clear();
    // Text() / SetText() hold the whole content; lines end in "\r\n" as given.
};

// A menu item of the form's main menu.
class MenuItem {
public:
    MenuItem(Form& parent, const std::string& name, const std::string& caption);
    ~MenuItem();
    bool Visible() const;
    void SetVisible(bool visible);
    void Click();
    Handler OnClick;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// A main-thread timer. Enabled/Interval may be set from any thread: a change made on another
// thread is carried out on the main thread. Disable-then-enable restarts the interval.
class Timer {
public:
    explicit Timer(int intervalMs = 1000);
    ~Timer();
    bool Enabled() const;
    void SetEnabled(bool enabled);
    int Interval() const;
    void SetInterval(int ms);
    Handler OnTimer;
    // Disable and enable again, from any thread: the interval counts from now.
    void Restart();

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

class Form {
public:
    // clientWidth/clientHeight: the drawing area; outerWidth/outerHeight: the designed outer size.
    Form(const std::string& name, const std::string& caption, const Rect& outer, int clientWidth,
         int clientHeight, Position position);
    virtual ~Form();
    Form(const Form&) = delete;
    Form& operator=(const Form&) = delete;

    void Show();
    void Hide();
    int ShowModal();
    void Close();
    bool Visible() const;
    std::string Caption() const;
    // Outer geometry, frame included. Where the window system does not report the frame (before
    // the first show, or offscreen), the designed frame (outer minus client size) stands in.
    int Left() const;
    int Top() const;
    int Width() const;   // outer width
    int Height() const;  // outer height
    int ClientWidth() const;
    int ClientHeight() const;
    void SetLeft(int left);
    void SetTop(int top);
    void SetFont(const std::string& family, int pixelHeight);
    int FontPixelHeight() const;
    void SetIcon(const std::string& path);

    // Message handling. Every message goes first to the window procedure (by default the
    // standard procedure, DefaultWindowProc, which calls Dispatch).
    using WindowProc = std::function<void(Message&)>;
    void SetWindowProc(WindowProc proc);
    void DefaultWindowProc(Message& message);
    virtual void Dispatch(Message& message);

    // Synchronous: from another thread, blocks until the main thread has handled the message.
    // With a SyncCall, a caller waiting on another thread can be released by cancelling it
    // (the result is then 0). The handling runs guarded: an exception is reported there and
    // does not reach the sender.
    intptr_t SendMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam);
    intptr_t SendMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam, os::SyncCall& call);
    // Asynchronous, from any thread.
    void PostMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam);

    Handler OnClose;

    // Renders the form to a PNG file (works on the offscreen platform).
    bool Grab(const std::string& pngPath);

    struct Impl;
    Impl& impl();

private:
    std::unique_ptr<Impl> impl_;
    WindowProc windowProc_;
};

enum class MsgType { Warning, Error, Information, Confirmation, Custom };

// Modal boxes with one OK button; the event loop keeps running while they are open.
void MessageDlg(const std::string& text, MsgType type);
void ShowMessage(const std::string& text);

// Test and headless seam: every box is reported to the observer (text, type, plain) before it
// opens; with closeAfterMs >= 0 it closes by itself after that many milliseconds while the
// nested loop keeps running. Passing an empty observer restores normal boxes.
struct BoxRecord {
    std::string text;
    MsgType type = MsgType::Information;
    bool plain = false;  // ShowMessage rather than MessageDlg
};
void SetMessageBoxObserver(std::function<void(const BoxRecord&)> observer, int closeAfterMs);

// The system's message text for an error code (strerror on Linux).
std::string SystemErrorMessage(uint32_t code);

}  // namespace ui
