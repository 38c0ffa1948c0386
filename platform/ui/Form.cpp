#include <QAction>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QHideEvent>
#include <QPixmap>
#include <QResizeEvent>
#include <QScreen>

#include <algorithm>
#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/ui/UiQt.h"

namespace ui {

namespace {

Application::Impl& application() {
    Application* app = Application::Instance();
    if (!app) throw std::logic_error("forms need an Application");
    return app->impl();
}

os::MainLoop& mainLoop() { return Application::Instance()->MainLoop(); }

}  // namespace

ClientArea::ClientArea(QWidget* parent) : QWidget(parent) {}

void ClientArea::alignChildren() {
    for (QWidget* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) alignChild(child);
}

void ClientArea::alignChild(QWidget* child) {
    switch (static_cast<Align>(child->property(kAlignProperty).toInt())) {
    case Align::Bottom: {
        const int gap = child->property(kBottomGapProperty).toInt();
        child->setGeometry(0, height() - gap - child->height(), width(), child->height());
        break;
    }
    case Align::Client:
        child->setGeometry(rect());
        break;
    case Align::None:
        break;
    }
}

void ClientArea::applyTabOrder() {
    std::vector<std::pair<int, QWidget*>> ordered;
    for (QWidget* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        QVariant order = child->property(kTabOrderProperty);
        if (order.isValid()) ordered.emplace_back(order.toInt(), child);
    }
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 1; i < ordered.size(); ++i)
        QWidget::setTabOrder(ordered[i - 1].second, ordered[i].second);
}

void ClientArea::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    alignChildren();
}

FormWidget::FormWidget(Form& form)
    : menuBar(new QMenuBar(this)), client(new ClientArea(this)), form_(form) {
    // An in-window bar, so the client area is the same on every desktop.
    menuBar->setNativeMenuBar(false);
    menuBar->hide();
}

void FormWidget::setClientSize(int width, int height) {
    resize(width, height + menuHeight());
    layoutFrame();
}

void FormWidget::menuChanged() { setClientSize(client->width(), client->height()); }

// A bar whose items are all hidden takes no room.
int FormWidget::menuHeight() const {
    const QList<QAction*> actions = menuBar->actions();
    const bool shown = std::any_of(actions.begin(), actions.end(),
                                   [](const QAction* action) { return action->isVisible(); });
    return shown ? menuBar->sizeHint().height() : 0;
}

void FormWidget::layoutFrame() {
    const int menu = menuHeight();
    menuBar->setVisible(menu > 0);
    menuBar->setGeometry(0, 0, width(), menu);
    client->setGeometry(0, menu, width(), height() - menu);
    // A hidden window gets its resize events only when shown; the controls follow now.
    client->alignChildren();
}

void FormWidget::closeEvent(QCloseEvent* event) {
    RunGuarded(Handler(form_.OnClose));
    event->accept();
    application().formClosed(form_);
}

void FormWidget::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    // Minimising hides spontaneously; only a real hide or close ends a modal run.
    if (modalLoop && !event->spontaneous()) modalLoop->quit();
}

void FormWidget::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layoutFrame();
}

Form::Impl::Impl(Form& owner, const Rect& outer, int clientWidth, int clientHeight,
                 Position where)
    : form(owner),
      widget(std::make_unique<FormWidget>(owner)),
      designedFrame(outer.width - clientWidth, outer.height - clientHeight),
      position(where),
      self(std::make_shared<Form*>(&owner)) {
    widget->setClientSize(clientWidth, clientHeight);
    widget->move(outer.left, outer.top);
}

void Form::Impl::deliver(Message& message) {
    RunGuarded([&] {
        if (form.windowProc_)
            form.windowProc_(message);
        else
            form.DefaultWindowProc(message);
    });
}

// Placed before the first show, with the frame as far as known then, and once more right
// after it, when the window system may have told the real frame.
void Form::Impl::show() {
    const bool first = !placed;
    placed = true;
    if (first) place();
    widget->show();
    if (first) place();
}

void Form::Impl::place() {
    Form* main = application().mainForm;
    if (position == Position::MainFormCenter && main && main != &form) {
        const Impl& over = main->impl();
        centreOn(QRect(over.widget->frameGeometry().topLeft(), over.outerSize()));
    } else if (position != Position::Designed) {
        if (QScreen* screen = QGuiApplication::primaryScreen()) centreOn(screen->availableGeometry());
    }
}

void Form::Impl::centreOn(const QRect& area) {
    const QSize outer = outerSize();
    widget->move(area.x() + (area.width() - outer.width()) / 2,
                 area.y() + (area.height() - outer.height()) / 2);
}

// Where the window system does not tell the frame (offscreen, or before the first show), the
// designed frame stands in, so positions computed from the outer size stay as designed.
QSize Form::Impl::outerSize() const {
    const QRect frame = widget->frameGeometry();
    const QRect inner = widget->geometry();
    if (frame != inner) return frame.size();
    return inner.size() + designedFrame;
}

Form::Form(const std::string& name, const std::string& caption, const Rect& outer,
           int clientWidth, int clientHeight, Position position)
    : impl_(std::make_unique<Impl>(*this, outer, clientWidth, clientHeight, position)) {
    impl_->widget->setObjectName(toQt(name));
    impl_->widget->setWindowTitle(toQt(caption));
    application().adoptForm(*this);
}

Form::~Form() {
    *impl_->self = nullptr;
    application().forgetForm(*this);
}

Form::Impl& Form::impl() { return *impl_; }

ClientArea* clientOf(Form& form) { return form.impl().widget->client; }

void Form::Show() { impl_->show(); }

void Form::Hide() { impl_->widget->hide(); }

int Form::ShowModal() {
    FormWidget& widget = *impl_->widget;
    // Modality takes effect at show time.
    if (widget.isVisible()) widget.hide();
    widget.setWindowModality(Qt::ApplicationModal);
    impl_->show();
    QEventLoop loop;
    widget.modalLoop = &loop;
    loop.exec(QEventLoop::DialogExec);
    widget.modalLoop = nullptr;
    widget.setWindowModality(Qt::NonModal);
    return 0;
}

void Form::Close() { impl_->widget->close(); }

bool Form::Visible() const { return impl_->widget->isVisible(); }

std::string Form::Caption() const { return impl_->widget->windowTitle().toStdString(); }

int Form::Left() const { return impl_->widget->frameGeometry().x(); }

int Form::Top() const { return impl_->widget->frameGeometry().y(); }

int Form::Width() const { return impl_->outerSize().width(); }

int Form::Height() const { return impl_->outerSize().height(); }

int Form::ClientWidth() const { return impl_->widget->client->width(); }

int Form::ClientHeight() const { return impl_->widget->client->height(); }

void Form::SetLeft(int left) { impl_->widget->move(left, Top()); }

void Form::SetTop(int top) { impl_->widget->move(Left(), top); }

void Form::SetFont(const std::string& family, int pixelHeight) {
    impl_->widget->setFont(makeFont(family, pixelHeight));
}

int Form::FontPixelHeight() const { return fontPixelHeight(impl_->widget->font()); }

void Form::SetIcon(const std::string& path) { impl_->widget->setWindowIcon(QIcon(toQt(path))); }

void Form::SetWindowProc(WindowProc proc) { windowProc_ = std::move(proc); }

void Form::DefaultWindowProc(Message& message) { Dispatch(message); }

void Form::Dispatch(Message&) {}

intptr_t Form::SendMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    if (mainLoop().isMainThread()) {
        Message message{msg, wParam, lParam, 0};
        impl_->deliver(message);
        return message.Result;
    }
    os::SyncCall call(mainLoop());
    return SendMessage(msg, wParam, lParam, call);
}

intptr_t Form::SendMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam, os::SyncCall& call) {
    Message message{msg, wParam, lParam, 0};
    std::shared_ptr<Form*> self = impl_->self;
    // A cancelled call never runs this, so the reference to the caller's message stays safe.
    call.call([self, &message] {
        if (*self) (*self)->impl_->deliver(message);
    });
    return message.Result;
}

void Form::PostMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    std::shared_ptr<Form*> self = impl_->self;
    mainLoop().post([self, message = Message{msg, wParam, lParam, 0}]() mutable {
        if (*self) (*self)->impl_->deliver(message);
    });
}

bool Form::Grab(const std::string& pngPath) {
    return impl_->widget->grab().save(toQt(pngPath), "PNG");
}

}  // namespace ui
