#include <QCoreApplication>
#include <QMessageBox>
#include <QTimer>

#include <cstring>

#include "platform/ui/UiQt.h"

namespace ui {

namespace {

struct BoxSeam {
    std::function<void(const BoxRecord&)> observer;
    int closeAfterMs = -1;
};

BoxSeam& seam() {
    static BoxSeam boxSeam;
    return boxSeam;
}

QMessageBox::Icon iconFor(const BoxRecord& record) {
    if (record.plain) return QMessageBox::NoIcon;
    switch (record.type) {
    case MsgType::Warning: return QMessageBox::Warning;
    case MsgType::Error: return QMessageBox::Critical;
    case MsgType::Information: return QMessageBox::Information;
    case MsgType::Confirmation: return QMessageBox::Question;
    case MsgType::Custom: break;
    }
    return QMessageBox::NoIcon;
}

QString titleFor(const BoxRecord& record) {
    if (!record.plain) {
        switch (record.type) {
        case MsgType::Warning: return QStringLiteral("Warning");
        case MsgType::Error: return QStringLiteral("Error");
        case MsgType::Information: return QStringLiteral("Information");
        case MsgType::Confirmation: return QStringLiteral("Confirm");
        case MsgType::Custom: break;
        }
    }
    return QCoreApplication::applicationName();
}

void showBox(const BoxRecord& record) {
    // Copies: the observer may change the seam.
    const std::function<void(const BoxRecord&)> observer = seam().observer;
    const int closeAfterMs = seam().closeAfterMs;
    if (observer) observer(record);

    QMessageBox box(iconFor(record), titleFor(record), toQt(record.text), QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    if (closeAfterMs >= 0) QTimer::singleShot(closeAfterMs, &box, [&box] { box.accept(); });
    box.exec();
}

// strerror_r comes in two flavours; each overload takes one.
[[maybe_unused]] std::string errorText(int result, const char* buffer) {
    return result == 0 ? std::string(buffer) : std::string();
}
[[maybe_unused]] std::string errorText(const char* text, const char*) { return text; }

constexpr std::size_t kErrorTextSize = 256;

}  // namespace

void MessageDlg(const std::string& text, MsgType type) { showBox({text, type, false}); }

void ShowMessage(const std::string& text) { showBox({text, MsgType::Information, true}); }

void SetMessageBoxObserver(std::function<void(const BoxRecord&)> observer, int closeAfterMs) {
    seam().observer = std::move(observer);
    seam().closeAfterMs = seam().observer ? closeAfterMs : -1;
}

std::string SystemErrorMessage(uint32_t code) {
    char buffer[kErrorTextSize] = {};
    return errorText(strerror_r(static_cast<int>(code), buffer, sizeof buffer), buffer);
}

}  // namespace ui
