// zqButtons_H as its own host: construction, the end of an instance, ambient values, the container tag,
// default and cancel buttons, the changed notification and the design-time message box.
#include "widgets/buttons/zq_buttons_h.h"

#include <QApplication>
#include <QGuiApplication>
#include <QPalette>

#include "platform/message_box.h"
#include "platform/timers.h"
#include "platform/window_props.h"
#include "widgets/buttons/arrow_navigation.h"

namespace corvane::buttons {

zqButtons_H::zqButtons_H(QWidget* container) : QWidget(container) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);  // moves without a held button drive the hover check
    if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance()); app != nullptr)
        focusWatch_ = connect(app, &QApplication::focusChanged, this, [this] { UpdateDisplayAsDefault(); });
}

zqButtons_H::~zqButtons_H() {
    // The window part of the widget is still to end and may move the focus: no calls back into the button.
    disconnect(focusWatch_);
    const platform::WindowHandle self = hwnd();
    if (pointerOver_) {
        // The timer goes with the window anyway; stopping it here keeps the order of the end of an instance.
        static_cast<void>(platform::KillTimer(self, kHoverTimerId));
    }
    // A button that ends leaves its group, so no other button can reach it through the container.
    if (mode_ == 2) LeaveGroupOnEnd();
    static_cast<void>(platform::RemovePropA(self, "zq_ClassID"));
    static_cast<void>(platform::RemovePropA(self, "zq_TimerID"));
    // The clip regions, the canvas with its tools, font and bitmap, and the picture's bitmaps.
    ReleaseDrawing();
}

QString zqButtons_H::DisplayName() const { return displayName_.isEmpty() ? objectName() : displayName_; }

OleColor zqButtons_H::AmbientBackColor() const {
    const QWidget* container = parentWidget() != nullptr ? parentWidget() : this;
    const QColor color = container->palette().color(QPalette::Window);
    return Rgb(color.red(), color.green(), color.blue());
}

platform::WindowHandle zqButtons_H::ContainerHandle() const {
    bool ok = false;
    const qulonglong handle = tag_.toULongLong(&ok, 10);
    return ok ? static_cast<platform::WindowHandle>(handle) : 0;
}

void zqButtons_H::WriteContainerTag() {
    tag_ = QString::number(platform::HandleOf(parentWidget()));
    EnsureArrowNavigation();
}

void zqButtons_H::EnsureArrowNavigation() {
    if (QWidget* container = parentWidget(); container != nullptr) InstallArrowNavigation(container);
}

std::intptr_t zqButtons_H::Identity() const { return static_cast<std::intptr_t>(hwnd()); }

zqButtons_H* zqButtons_H::FromIdentity(std::intptr_t identity) {
    // A button is named by its window handle, which is never reused: a gone button resolves to nothing.
    return qobject_cast<zqButtons_H*>(platform::WindowOf(static_cast<platform::WindowHandle>(identity)));
}

void zqButtons_H::MarkChanged(const char* key) { emit PropertyChanged(QString::fromLatin1(key)); }

void zqButtons_H::DesignMessage(const QString& text, const QString& title) const {
    if (userMode_) return;  // at run time a refused value is ignored silently
    QString boxTitle = title;
    if (boxTitle.isEmpty()) boxTitle = QGuiApplication::applicationDisplayName();
    static_cast<void>(platform::MessageBox(hwnd(), text.toStdString(), boxTitle.toStdString(),
                                           platform::MessageBoxIcon::Information));
}

void zqButtons_H::SetDefault(bool isDefault) {
    default_ = isDefault;
    GrabAccessKeys();
    UpdateDisplayAsDefault();
}

void zqButtons_H::SetCancel(bool isCancel) {
    cancel_ = isCancel;
    GrabAccessKeys();
}

void zqButtons_H::GrabAccessKeys() {
    for (int* id : {&accessShortcut_, &defaultShortcuts_[0], &defaultShortcuts_[1], &cancelShortcut_}) {
        if (*id != 0) releaseShortcut(*id);
        *id = 0;
    }
    if (!accessKey_.isEmpty())
        accessShortcut_ = grabShortcut(
            QKeySequence(QKeyCombination(Qt::AltModifier, static_cast<Qt::Key>(accessKey_.at(0).toUpper().unicode()))));
    if (default_) {
        defaultShortcuts_[0] = grabShortcut(QKeySequence(Qt::Key_Return));
        defaultShortcuts_[1] = grabShortcut(QKeySequence(Qt::Key_Enter));
    }
    if (cancel_) cancelShortcut_ = grabShortcut(QKeySequence(Qt::Key_Escape));
}

void zqButtons_H::UpdateDisplayAsDefault() {
    // Focused, or the form's default button while the focus is on no other button of this kind.
    const QWidget* focus = QApplication::focusWidget();
    const bool otherButtonFocused = focus != nullptr && focus != this &&
                                    qobject_cast<const zqButtons_H*>(focus) != nullptr && focus->window() == window();
    const bool now = hasFocus() || (default_ && !otherButtonFocused);
    if (now == displayAsDefault_) return;
    displayAsDefault_ = now;
    HostAmbientChanged(QStringLiteral("DisplayAsDefault"));
}

}  // namespace corvane::buttons
