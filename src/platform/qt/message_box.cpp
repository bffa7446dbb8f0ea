#include "platform/message_box.h"

#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <utility>

namespace corvane::platform {
namespace {

MessageBoxInterceptor& Interceptor() {
    static MessageBoxInterceptor interceptor;
    return interceptor;
}

QString Utf8(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

QMessageBox::Icon QtIcon(MessageBoxIcon icon) {
    switch (icon) {
        case MessageBoxIcon::Information:
            return QMessageBox::Information;
        case MessageBoxIcon::Warning:
            return QMessageBox::Warning;
        case MessageBoxIcon::Error:
            return QMessageBox::Critical;
        case MessageBoxIcon::Question:
            return QMessageBox::Question;
        case MessageBoxIcon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

QMessageBox::StandardButtons QtButtons(MessageBoxButtons buttons) {
    switch (buttons) {
        case MessageBoxButtons::OkCancel:
            return QMessageBox::Ok | QMessageBox::Cancel;
        case MessageBoxButtons::YesNo:
            return QMessageBox::Yes | QMessageBox::No;
        case MessageBoxButtons::YesNoCancel:
            return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
        case MessageBoxButtons::Ok:
            break;
    }
    return QMessageBox::Ok;
}

int Answer(int button) {
    switch (button) {
        case QMessageBox::Ok:
            return IDOK;
        case QMessageBox::Yes:
            return IDYES;
        case QMessageBox::No:
            return IDNO;
        default:
            return IDCANCEL;
    }
}

}  // namespace

MessageBoxInterceptor SetMessageBoxInterceptor(MessageBoxInterceptor interceptor) {
    return std::exchange(Interceptor(), std::move(interceptor));
}

int MessageBox(WindowHandle owner, std::string_view text, std::string_view title, MessageBoxIcon icon,
               MessageBoxButtons buttons) {
    if (Interceptor()) {
        // Copy first: the interceptor may replace itself while answering.
        const MessageBoxInterceptor interceptor = Interceptor();
        return interceptor(MessageBoxRequest{owner, std::string(text), std::string(title), icon, buttons});
    }
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return IDCANCEL;
    QMessageBox box(QtIcon(icon), Utf8(title), Utf8(text), QtButtons(buttons), WindowOf(owner));
    return Answer(box.exec());
}

}  // namespace corvane::platform
