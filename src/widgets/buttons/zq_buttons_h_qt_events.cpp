// The Qt events of the button's window, turned into the host notifications of zqButtons_H.
#include <QDragEnterEvent>
#include <QDragLeaveEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QShortcutEvent>

#include "platform/messages.h"
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons {
namespace {

std::int16_t ShiftOf(Qt::KeyboardModifiers modifiers) {
    return static_cast<std::int16_t>(((modifiers & Qt::ShiftModifier) ? 1 : 0) |
                                     ((modifiers & Qt::ControlModifier) ? 2 : 0) |
                                     ((modifiers & Qt::AltModifier) ? 4 : 0));
}

std::int16_t ButtonCode(Qt::MouseButton button) {
    switch (button) {
        case Qt::LeftButton:
            return 1;
        case Qt::RightButton:
            return 2;
        case Qt::MiddleButton:
            return 4;
        default:
            return 0;
    }
}

std::int16_t ButtonsHeld(Qt::MouseButtons buttons) {
    return static_cast<std::int16_t>(((buttons & Qt::LeftButton) ? 1 : 0) | ((buttons & Qt::RightButton) ? 2 : 0) |
                                     ((buttons & Qt::MiddleButton) ? 4 : 0));
}

}  // namespace

bool zqButtons_H::event(QEvent* event) {
    if (event->type() == QEvent::Shortcut) {
        const int id = static_cast<QShortcutEvent*>(event)->shortcutId();
        if (id != 0 && id == accessShortcut_ && !accessKey_.isEmpty()) {
            HostAccessKeyPress(static_cast<std::int16_t>(accessKey_.at(0).unicode()));
            return true;
        }
        if (id != 0 && (id == defaultShortcuts_[0] || id == defaultShortcuts_[1])) {
            HostAccessKeyPress(13);
            return true;
        }
        if (id != 0 && id == cancelShortcut_) {
            HostAccessKeyPress(27);
            return true;
        }
    }
    return QWidget::event(event);
}

void zqButtons_H::mousePressEvent(QMouseEvent* event) {
    const std::int16_t button = ButtonCode(event->button());
    clickAfterRelease_ = button == 1;
    HostMouseDown(button, ShiftOf(event->modifiers()), static_cast<float>(event->position().x()),
                  static_cast<float>(event->position().y()));
}

void zqButtons_H::mouseMoveEvent(QMouseEvent* event) {
    HostMouseMove(ButtonsHeld(event->buttons()), ShiftOf(event->modifiers()), static_cast<float>(event->position().x()),
                  static_cast<float>(event->position().y()));
}

void zqButtons_H::mouseReleaseEvent(QMouseEvent* event) {
    const std::int16_t button = ButtonCode(event->button());
    HostMouseUp(button, ShiftOf(event->modifiers()), static_cast<float>(event->position().x()),
                static_cast<float>(event->position().y()));
    // The click notification follows a left press and release on the button (not the second click of a
    // double click).
    const bool click = clickAfterRelease_ && button == 1 && rect().contains(event->position().toPoint());
    clickAfterRelease_ = false;
    if (click) HostClick();
}

void zqButtons_H::mouseDoubleClickEvent(QMouseEvent*) {
    clickAfterRelease_ = false;
    HostDblClick();
}

void zqButtons_H::keyPressEvent(QKeyEvent* event) {
    auto keyCode = static_cast<std::int16_t>(platform::VirtualKeyFromQtKey(event->key()));
    HostKeyDown(keyCode, ShiftOf(event->modifiers()));
    if (!event->text().isEmpty()) {
        auto keyAscii = static_cast<std::int16_t>(event->text().at(0).unicode());
        HostKeyPress(keyAscii);
    }
}

void zqButtons_H::keyReleaseEvent(QKeyEvent* event) {
    if (event->isAutoRepeat()) return;  // a held key releases once, when it is let go
    auto keyCode = static_cast<std::int16_t>(platform::VirtualKeyFromQtKey(event->key()));
    HostKeyUp(keyCode, ShiftOf(event->modifiers()));
}

void zqButtons_H::focusInEvent(QFocusEvent*) { HostGotFocus(); }

void zqButtons_H::focusOutEvent(QFocusEvent*) {
    // No handler of its own: the focus look follows the DisplayAsDefault changes.
}

void zqButtons_H::showEvent(QShowEvent*) { HostShow(); }

void zqButtons_H::paintEvent(QPaintEvent*) {
    inPaint_ = true;
    HostPaint();
    inPaint_ = false;
    // The repaint draws on the window's device context, which the window shows.
}

void zqButtons_H::resizeEvent(QResizeEvent*) { HostResize(); }

void zqButtons_H::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange) HostAmbientChanged(QStringLiteral("BackColor"));
    QWidget::changeEvent(event);
}

// A drag entering (state 0) or moving over (state 2) the button: OLEDragOver decides whether it may drop.
static void DeliverDragOver(zqButtons_H& button, QDragMoveEvent* event, std::int16_t state) {
    const QMimeData* data = event->mimeData();
    auto effect = static_cast<std::int32_t>(event->possibleActions().toInt());
    std::int16_t held = ButtonsHeld(event->buttons()), shift = ShiftOf(event->modifiers());
    float x = static_cast<float>(event->position().x()), y = static_cast<float>(event->position().y());
    button.HostOLEDragOver(data, effect, held, shift, x, y, state);
    if (effect != 0)
        event->acceptProposedAction();
    else
        event->ignore();
}

void zqButtons_H::dragEnterEvent(QDragEnterEvent* event) { DeliverDragOver(*this, event, 0); }

void zqButtons_H::dragMoveEvent(QDragMoveEvent* event) { DeliverDragOver(*this, event, 2); }

void zqButtons_H::dragLeaveEvent(QDragLeaveEvent*) {
    const QMimeData* data = nullptr;
    std::int32_t effect = 0;
    std::int16_t button = 0, shift = 0, state = 1;
    float x = 0, y = 0;
    HostOLEDragOver(data, effect, button, shift, x, y, state);
}

void zqButtons_H::dropEvent(QDropEvent* event) {
    const QMimeData* data = event->mimeData();
    auto effect = static_cast<std::int32_t>(event->possibleActions().toInt());
    std::int16_t button = ButtonsHeld(event->buttons()), shift = ShiftOf(event->modifiers());
    float x = static_cast<float>(event->position().x()), y = static_cast<float>(event->position().y());
    HostOLEDragDrop(data, effect, button, shift, x, y);
    if (effect != 0)
        event->acceptProposedAction();
    else
        event->ignore();
}

}  // namespace corvane::buttons
