#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QFontInfo>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QStyledItemDelegate>
#include <QTimer>

#include <algorithm>
#include <vector>

#include "platform/ui/UiQt.h"

namespace ui {

// ---- fonts ----

namespace {

struct FontStandIn {
    const char* family;
    QStringList substitutes;
    QFont::StyleHint hint;
};

// Designed families that a Linux desktop does not have, and the installed ones closest to them.
const std::vector<FontStandIn>& fontStandIns() {
    static const std::vector<FontStandIn> standIns = {
        {"MS Sans Serif", {"DejaVu Sans", "Liberation Sans", "Noto Sans"}, QFont::SansSerif},
        {"Arial monospaced for SAP",
         {"DejaVu Sans Mono", "Liberation Mono", "Noto Sans Mono"},
         QFont::Monospace},
    };
    return standIns;
}

}  // namespace

void registerFontSubstitutes() {
    for (const FontStandIn& standIn : fontStandIns())
        QFont::insertSubstitutions(standIn.family, standIn.substitutes);
}

QFont makeFont(const std::string& family, int pixelHeight) {
    QFont font(toQt(family));
    font.setPixelSize(pixelHeight);
    for (const FontStandIn& standIn : fontStandIns())
        if (family == standIn.family) font.setStyleHint(standIn.hint);
    return font;
}

int fontPixelHeight(const QFont& font) {
    return font.pixelSize() > 0 ? font.pixelSize() : QFontInfo(font).pixelSize();
}

// ---- Control ----

Control::Control(Form&, const std::string& name, std::unique_ptr<Impl> impl)
    : impl_(std::move(impl)), name_(name) {
    impl_->widget->setObjectName(toQt(name));
    impl_->widget->show();  // with its form
}

Control::~Control() { delete impl_->widget.data(); }

Control::Impl& Control::impl() { return *impl_; }

const std::string& Control::Name() const { return name_; }

Rect Control::Bounds() const {
    const QRect r = impl_->widget->geometry();
    return {r.x(), r.y(), r.width(), r.height()};
}

namespace {

ClientArea& areaOf(QWidget& widget) { return *static_cast<ClientArea*>(widget.parentWidget()); }

void keepBottomGap(QWidget& widget) {
    const int gap = areaOf(widget).height() - widget.geometry().bottom() - 1;
    widget.setProperty(kBottomGapProperty, gap);
}

bool alignedTo(const QWidget& widget, Align align) {
    return static_cast<Align>(widget.property(kAlignProperty).toInt()) == align;
}

}  // namespace

void Control::SetBounds(const Rect& r) {
    QWidget& widget = *impl_->widget;
    widget.setGeometry(r.left, r.top, r.width, r.height);
    if (alignedTo(widget, Align::Bottom)) keepBottomGap(widget);
    areaOf(widget).alignChild(&widget);
}

void Control::SetAlign(Align align) {
    QWidget& widget = *impl_->widget;
    widget.setProperty(kAlignProperty, static_cast<int>(align));
    if (align == Align::Bottom) keepBottomGap(widget);
    areaOf(widget).alignChild(&widget);
}

bool Control::Enabled() const { return impl_->enabled; }

void Control::SetEnabled(bool enabled) {
    impl_->enabled = enabled;
    impl_->widget->setEnabled(enabled);
}

bool Control::Visible() const { return impl_->visible; }

void Control::SetVisible(bool visible) {
    impl_->visible = visible;
    impl_->widget->setVisible(visible);
}

std::string Control::Text() const { return impl_->text; }

void Control::SetText(const std::string& text) {
    impl_->text = text;
    impl_->showText(text);
}

void Control::SetFont(const std::string& family, int pixelHeight) {
    impl_->widget->setFont(makeFont(family, pixelHeight));
}

int Control::FontPixelHeight() const { return fontPixelHeight(impl_->widget->font()); }

std::string Control::FontFamily() const { return impl_->widget->font().family().toStdString(); }

int Control::TabOrder() const {
    const QVariant order = impl_->widget->property(kTabOrderProperty);
    return order.isValid() ? order.toInt() : -1;
}

void Control::SetTabOrder(int order) {
    impl_->widget->setProperty(kTabOrderProperty, order);
    areaOf(*impl_->widget).applyTabOrder();
}

// ---- Button ----

namespace {

struct ButtonImpl : Control::Impl {
    explicit ButtonImpl(QWidget* area) : Impl(new QPushButton(area)) {}
    QPushButton& button() { return *static_cast<QPushButton*>(widget.data()); }
    void showText(const std::string& text) override { button().setText(toQt(text)); }
};

}  // namespace

Button::Button(Form& parent, const std::string& name, const Rect& bounds, const std::string& text)
    : Control(parent, name, std::make_unique<ButtonImpl>(clientOf(parent))) {
    SetBounds(bounds);
    SetText(text);
    QPushButton& button = static_cast<ButtonImpl&>(*impl_).button();
    QObject::connect(&button, &QPushButton::clicked, &button,
                     [this] { RunGuarded(Handler(OnClick)); });
}

// Qt's own click() does nothing on a disabled button; the program's click must.
void Button::Click() {
    Handler handler = OnClick;
    if (handler) handler();
}

// ---- Label ----

namespace {

struct LabelImpl : Control::Impl {
    explicit LabelImpl(QWidget* area) : Impl(new QLabel(area)) {}
    QLabel& label() { return *static_cast<QLabel*>(widget.data()); }
    void showText(const std::string& text) override { label().setText(toQt(text)); }
};

}  // namespace

Label::Label(Form& parent, const std::string& name, const Rect& bounds, const std::string& text,
             bool centred)
    : Control(parent, name, std::make_unique<LabelImpl>(clientOf(parent))) {
    QLabel& label = static_cast<LabelImpl&>(*impl_).label();
    label.setTextFormat(Qt::PlainText);
    label.setAlignment((centred ? Qt::AlignHCenter : Qt::AlignLeft) | Qt::AlignTop);
    SetBounds(bounds);
    SetText(text);
}

// ---- paced controls ----

namespace {

// A step text or a bar that moves with every exchange looks smooth at 20 changes a second.
constexpr qint64 kShowPeriodMs = 50;

// Brings a control's widgets in line with its state at a display's pace: a change is shown at
// once when the last one shown is kShowPeriodMs old, otherwise when it gets that old. Laying
// out and painting a bar and its caption for every exchange would cost the main thread more
// than the exchange itself.
class Pacer {
public:
    Pacer(QObject* context, std::function<void()> show)
        : show_(std::move(show)), timer_(new QTimer(context)) {
        timer_->setSingleShot(true);
        QObject::connect(timer_, &QTimer::timeout, timer_, [this] { showNow(); });
    }
    ~Pacer() { delete timer_.data(); }
    Pacer(const Pacer&) = delete;
    Pacer& operator=(const Pacer&) = delete;

    void changed() {
        if (!timer_ || timer_->isActive()) return;
        const qint64 since = lastShown_.isValid() ? lastShown_.elapsed() : kShowPeriodMs;
        if (since >= kShowPeriodMs)
            showNow();
        else
            timer_->start(static_cast<int>(kShowPeriodMs - since));
    }
    // Shows a change still waiting, before the control's layout changes under it.
    void flush() {
        if (!timer_ || !timer_->isActive()) return;
        timer_->stop();
        showNow();
    }

private:
    void showNow() {
        show_();
        lastShown_.start();
    }

    std::function<void()> show_;
    QPointer<QTimer> timer_;  // a child of the widget, which may go first
    QElapsedTimer lastShown_;
};

}  // namespace

// ---- ProgressBar ----

namespace {

// Qt's format string knows only its own placeholders and no escape for '%', so the caption is
// given as the text itself.
class CaptionBar : public QProgressBar {
public:
    using QProgressBar::QProgressBar;
    QString text() const override { return caption; }
    QString caption;
};

struct ProgressBarImpl : Control::Impl {
    explicit ProgressBarImpl(QWidget* area)
        : Impl(new CaptionBar(area)), pacer(widget.data(), [this] { show(); }) {
        bar().setAlignment(Qt::AlignCenter);
        bar().setTextVisible(false);
        show();
    }
    CaptionBar& bar() { return *static_cast<CaptionBar*>(widget.data()); }

    // An empty range would turn Qt's bar into a busy indicator; it stays an empty bar.
    // Qt repaints a bar at once when its value moves far enough; the repaint is left to the
    // next paint pass instead, which may come after the next frame has been sent.
    void show() {
        if (!widget) return;
        bar().setUpdatesEnabled(false);
        bar().setRange(min, std::max(max, min + 1));
        bar().setValue(position);
        bar().caption = toQt(caption);
        bar().setTextVisible(!caption.empty());
        bar().setUpdatesEnabled(true);
    }

    Pacer pacer;
    int min = 0;
    int max = 100;
    int position = 0;
    std::string caption;
};

ProgressBarImpl& progressOf(Control::Impl& impl) { return static_cast<ProgressBarImpl&>(impl); }

}  // namespace

ProgressBar::ProgressBar(Form& parent, const std::string& name, const Rect& bounds)
    : Control(parent, name, std::make_unique<ProgressBarImpl>(clientOf(parent))) {
    SetBounds(bounds);
}

void ProgressBar::SetRange(int min, int max) {
    ProgressBarImpl& p = progressOf(*impl_);
    p.min = min;
    p.max = std::max(min, max);
    p.position = std::clamp(p.position, p.min, p.max);
    p.pacer.changed();
}

int ProgressBar::Min() const { return progressOf(*impl_).min; }

int ProgressBar::Max() const { return progressOf(*impl_).max; }

int ProgressBar::Position() const { return progressOf(*impl_).position; }

void ProgressBar::SetPosition(int position) {
    ProgressBarImpl& p = progressOf(*impl_);
    p.position = std::clamp(position, p.min, p.max);
    p.pacer.changed();
}

void ProgressBar::SetCaption(const std::string& text) {
    ProgressBarImpl& p = progressOf(*impl_);
    p.caption = text;
    p.pacer.changed();
}

std::string ProgressBar::Caption() const { return progressOf(*impl_).caption; }

// ---- StatusBar ----

namespace {

class StatusBarWidget : public QWidget {
public:
    explicit StatusBarWidget(QWidget* area) : QWidget(area), simpleLabel_(newSlot()) {
        setAutoFillBackground(true);
    }

    struct Panel {
        QLabel* label;
        int width;
        std::string text;
    };

    void addPanel(const std::string& text, int width) {
        pacer_.flush();
        panels.push_back({newSlot(), width, text});
        panels.back().label->setText(toQt(text));
        arrange();
    }

    void setSimpleText(const std::string& text) {
        simpleText = text;
        pacer_.changed();
    }

    void setPanelText(Panel& panel, const std::string& text) {
        panel.text = text;
        pacer_.changed();
    }

    void setSimple(bool on) {
        pacer_.flush();
        simple = on;
        arrange();
    }

    // Panels stand at their widths from the left; the last one reaches to the right edge.
    void arrange() {
        int x = 0;
        for (std::size_t i = 0; i < panels.size(); ++i) {
            const bool last = i + 1 == panels.size();
            const int w = last ? std::max(panels[i].width, width() - x) : panels[i].width;
            panels[i].label->setGeometry(x, 0, w, height());
            panels[i].label->setVisible(!simple);
            x += w;
        }
        simpleLabel_->setGeometry(rect());
        simpleLabel_->setVisible(simple);
    }

    std::vector<Panel> panels;
    std::string simpleText;
    bool simple = false;
    Color color = clBtnFace;

protected:
    void resizeEvent(QResizeEvent* event) override {
        QWidget::resizeEvent(event);
        arrange();
    }

private:
    void showTexts() {
        simpleLabel_->setText(toQt(simpleText));
        for (Panel& panel : panels) panel.label->setText(toQt(panel.text));
    }

    QLabel* newSlot() {
        auto* label = new QLabel(this);
        label->setTextFormat(Qt::PlainText);
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        return label;
    }

    QLabel* simpleLabel_;
    Pacer pacer_{this, [this] { showTexts(); }};
};

struct StatusBarImpl : Control::Impl {
    explicit StatusBarImpl(QWidget* area) : Impl(new StatusBarWidget(area)) {}
    StatusBarWidget& bar() { return *static_cast<StatusBarWidget*>(widget.data()); }
};

StatusBarWidget& statusOf(Control::Impl& impl) { return static_cast<StatusBarImpl&>(impl).bar(); }

// Colours with the high bit set name system colours, which follow the desktop's palette;
// the others are COLORREFs with red in the low byte.
constexpr Color kSystemColourFlag = 0x80000000;

QPalette paletteFor(Color color) {
    QPalette palette = QApplication::palette();
    if (color & kSystemColourFlag) return palette;
    palette.setColor(QPalette::Window, QColor(color & 0xFF, (color >> 8) & 0xFF, (color >> 16) & 0xFF));
    return palette;
}

}  // namespace

StatusBar::StatusBar(Form& parent, const std::string& name, const Rect& bounds)
    : Control(parent, name, std::make_unique<StatusBarImpl>(clientOf(parent))) {
    SetBounds(bounds);
}

void StatusBar::AddPanel(const std::string& text, int width) { statusOf(*impl_).addPanel(text, width); }

int StatusBar::PanelCount() const { return static_cast<int>(statusOf(*impl_).panels.size()); }

namespace {

StatusBarWidget::Panel* panelAt(StatusBarWidget& bar, int index) {
    if (index < 0 || index >= static_cast<int>(bar.panels.size())) return nullptr;
    return &bar.panels[index];
}

}  // namespace

int StatusBar::PanelWidth(int index) const {
    const StatusBarWidget::Panel* panel = panelAt(statusOf(*impl_), index);
    return panel ? panel->width : 0;
}

std::string StatusBar::PanelText(int index) const {
    const StatusBarWidget::Panel* panel = panelAt(statusOf(*impl_), index);
    return panel ? panel->text : std::string();
}

void StatusBar::SetPanelText(int index, const std::string& text) {
    StatusBarWidget::Panel* panel = panelAt(statusOf(*impl_), index);
    if (panel) statusOf(*impl_).setPanelText(*panel, text);
}

std::string StatusBar::SimpleText() const { return statusOf(*impl_).simpleText; }

void StatusBar::SetSimpleText(const std::string& text) { statusOf(*impl_).setSimpleText(text); }

bool StatusBar::SimplePanel() const { return statusOf(*impl_).simple; }

void StatusBar::SetSimplePanel(bool simple) { statusOf(*impl_).setSimple(simple); }

Color StatusBar::GetColor() const { return statusOf(*impl_).color; }

void StatusBar::SetColor(Color color) {
    StatusBarWidget& bar = statusOf(*impl_);
    bar.color = color;
    bar.setPalette(paletteFor(color));
}

// ---- ListBox ----

namespace {

class FixedHeightDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        if (itemHeight > 0) size.setHeight(itemHeight);
        return size;
    }
    int itemHeight = 0;
};

struct ListBoxImpl : Control::Impl {
    explicit ListBoxImpl(QWidget* area) : Impl(new QListWidget(area)) {
        list().setUniformItemSizes(true);  // the log grows without limit
        list().setItemDelegate(delegate);
    }
    QListWidget& list() { return *static_cast<QListWidget*>(widget.data()); }
    FixedHeightDelegate* delegate = new FixedHeightDelegate(widget.data());
};

ListBoxImpl& listOf(Control::Impl& impl) { return static_cast<ListBoxImpl&>(impl); }

}  // namespace

ListBox::ListBox(Form& parent, const std::string& name, const Rect& bounds)
    : Control(parent, name, std::make_unique<ListBoxImpl>(clientOf(parent))) {
    SetBounds(bounds);
}

void ListBox::AddItem(const std::string& text) { listOf(*impl_).list().addItem(toQt(text)); }

int ListBox::Count() const { return listOf(*impl_).list().count(); }

std::string ListBox::Item(int index) const {
    const QListWidgetItem* item = listOf(*impl_).list().item(index);
    return item ? item->text().toStdString() : std::string();
}

int ListBox::ItemIndex() const { return listOf(*impl_).list().currentRow(); }

void ListBox::SetItemIndex(int index) {
    QListWidget& list = listOf(*impl_).list();
    QListWidgetItem* item = list.item(index);
    if (!item) {
        list.setCurrentRow(-1);
        return;
    }
    list.setCurrentItem(item);
    list.scrollToItem(item);
}

void ListBox::SetItemHeight(int pixels) {
    ListBoxImpl& l = listOf(*impl_);
    l.delegate->itemHeight = pixels;
    l.list().doItemsLayout();
}

int ListBox::ItemHeight() const {
    ListBoxImpl& l = listOf(*impl_);
    return l.delegate->itemHeight > 0 ? l.delegate->itemHeight : l.list().fontMetrics().height();
}

// ---- Memo ----

namespace {

// Calls back when the watched widget is about to be shown.
class ShowWatcher : public QObject {
public:
    ShowWatcher(QWidget* watched, std::function<void()> onShow)
        : QObject(watched), onShow_(std::move(onShow)) {
        watched->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show) onShow_();
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> onShow_;
};

struct MemoImpl : Control::Impl {
    explicit MemoImpl(QWidget* area) : Impl(new QPlainTextEdit(area)) {
        edit().setReadOnly(true);
        edit().setLineWrapMode(QPlainTextEdit::NoWrap);
        edit().setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        edit().setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        new ShowWatcher(&edit(), [this] { showPending(); });
    }
    QPlainTextEdit& edit() { return *static_cast<QPlainTextEdit*>(widget.data()); }

    // Laying out a whole image listing takes milliseconds of the main thread, and the update
    // rebuilds it at its start: a memo nobody can see takes its text when it is shown.
    void showText(const std::string&) override {
        pending = true;
        if (edit().isVisible()) showPending();
    }

    // The text keeps its "\r\n" line ends; the editor shows plain lines.
    void showPending() {
        if (!pending) return;
        pending = false;
        QString shown = toQt(text);
        shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        edit().setPlainText(shown);
    }

    bool pending = false;
};

}  // namespace

Memo::Memo(Form& parent, const std::string& name, const Rect& bounds)
    : Control(parent, name, std::make_unique<MemoImpl>(clientOf(parent))) {
    SetBounds(bounds);
}

void Memo::Clear() { SetText(""); }

// ---- MenuItem ----

struct MenuItem::Impl {
    QPointer<QAction> action;
    QPointer<FormWidget> form;
};

MenuItem::MenuItem(Form& parent, const std::string& name, const std::string& caption)
    : impl_(std::make_unique<Impl>()) {
    FormWidget* form = parent.impl().widget.get();
    QAction* action = form->menuBar->addAction(toQt(caption));
    action->setObjectName(toQt(name));
    QObject::connect(action, &QAction::triggered, action, [this] { RunGuarded(Handler(OnClick)); });
    impl_->action = action;
    impl_->form = form;
    form->menuChanged();
}

MenuItem::~MenuItem() {
    delete impl_->action.data();
    if (impl_->form) impl_->form->menuChanged();
}

bool MenuItem::Visible() const { return impl_->action && impl_->action->isVisible(); }

void MenuItem::SetVisible(bool visible) {
    if (!impl_->action) return;
    impl_->action->setVisible(visible);
    if (impl_->form) impl_->form->menuChanged();
}

void MenuItem::Click() {
    Handler handler = OnClick;
    if (handler) handler();
}

}  // namespace ui
