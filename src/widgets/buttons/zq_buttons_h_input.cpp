// How zqButtons_H reacts to the mouse, the keyboard, focus and the host's notifications, and which
// events it raises in which order.
#include "platform/capture.h"
#include "platform/cursor.h"
#include "platform/messages.h"
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons {
namespace {

bool IsArrow(std::int16_t keyCode) { return keyCode >= platform::VK_LEFT && keyCode <= platform::VK_DOWN; }

// lParam of a posted arrow key: repeat count 1 and the key's scan code in bits 16 to 23.
std::intptr_t ArrowKeyData(std::int16_t keyCode) {
    switch (keyCode) {
        case platform::VK_RIGHT:
            return 0x4D0001;
        case platform::VK_DOWN:
            return 0x500001;
        case platform::VK_LEFT:
            return 0x4B0001;
        default:
            return 0x480001;  // Up
    }
}

}  // namespace

void zqButtons_H::HostMouseDown(std::int16_t button, std::int16_t shift, float x, float y) {
    lastMouseButton_ = button;
    if (button == 1) {
        stateFlags_ |= kButtonDown;
        pressed_ = true;
        delayDrawing_ = false;
        Redraw();
        static_cast<void>(platform::SetCapture(hwnd()));
    }
    emit MouseDown(button, shift, x, y);
}

void zqButtons_H::HostMouseMove(std::int16_t button, std::int16_t shift, float x, float y) {
    HoverCheck(button, x, y);
    emit MouseMove(button, shift, x, y);
}

void zqButtons_H::HostMouseUp(std::int16_t button, std::int16_t shift, float x, float y) {
    pressed_ = false;
    if (button == 1) {
        static_cast<void>(platform::ReleaseCapture());
        stateFlags_ &= static_cast<std::uint16_t>(~kButtonDown);
        delayDrawing_ = false;
        if (mode_ == 0) Redraw();
    }
    emit MouseUp(button, shift, x, y);
    lastMouseButton_ = button;  // as the event's handlers left it (it is passed by reference)
}

void zqButtons_H::HostClick() { RunClick(); }

void zqButtons_H::RunClick() {
    if (lastMouseButton_ != 1) return;
    if (mode_ == 1 || mode_ == 2) {
        if (mode_ == 2 && value_) return;
        SetValue(!value_);
    }
    emit Click();
}

void zqButtons_H::HostDblClick() {
    platform::Point point;
    if (!platform::GetCursorPos(point) || !platform::ScreenToClient(hwnd(), point)) return;
    const auto x = static_cast<float>(point.x);
    const auto y = static_cast<float>(point.y);
    std::int16_t button = lastMouseButton_;
    emit DoubleClick(button);
    if (lastMouseButton_ == 1) {
        HostMouseDown(1, 0, x, y);
        lastMouseButton_ = -1;
    } else {
        std::int16_t left = 1, noShift = 0;
        float downX = x, downY = y;
        emit MouseDown(left, noShift, downX, downY);
    }
}

void zqButtons_H::HostKeyDown(std::int16_t& keyCode, std::int16_t shift) {
    if (IsArrow(keyCode)) {
        // The container handles arrows itself (it moves the focus); the button never sees them.
        static_cast<void>(platform::PostMessageA(ContainerHandle(), platform::WM_KEYDOWN,
                                                 static_cast<std::uintptr_t>(keyCode), ArrowKeyData(keyCode)));
        keyCode = 0;
        return;
    }
    if (keyCode == platform::VK_SPACE && (stateFlags_ & kButtonDown) == 0) {
        stateFlags_ |= kHotLook;
        pressed_ = true;
        stateFlags_ |= kButtonDown;
        Redraw();
        if (!pointerOver_) stateFlags_ &= static_cast<std::uint16_t>(~kHotLook);
    }
    emit KeyDown(keyCode, shift);
}

void zqButtons_H::HostKeyPress(std::int16_t& keyAscii) { emit KeyPress(keyAscii); }

void zqButtons_H::HostKeyUp(std::int16_t& keyCode, std::int16_t shift) {
    pressed_ = false;
    if (keyCode == platform::VK_SPACE) {
        if ((stateFlags_ & kButtonDown) != 0) {
            stateFlags_ &= static_cast<std::uint16_t>(~kButtonDown);
            lastMouseButton_ = 1;
            if (mode_ == 0) {
                Redraw();
            } else {
                emit KeyUp(keyCode, shift);
                keyCode = 0;
            }
            RunClick();
        }
    } else if (IsArrow(keyCode)) {
        keyCode = 0;
        if (mode_ == 2 && !value_) {
            lastMouseButton_ = 1;
            RunClick();
        }
    } else if (keyCode == platform::VK_SHIFT) {
        keyCode = 0;
    }
    if (keyCode != 0) emit KeyUp(keyCode, shift);
}

void zqButtons_H::HostAccessKeyPress(std::int16_t keyAscii) {
    const bool enterOrEscape = keyAscii == 13 || keyAscii == 27;
    if (enterOrEscape && (mode_ == 1 || mode_ == 2)) return;
    if (!enterOrEscape && (stateFlags_ & kFocusLook) == 0) Redraw();
    lastMouseButton_ = 1;
    RunClick();
}

void zqButtons_H::HostGotFocus() {
    if (mode_ == 2 && !value_ && !OptionToggle(2)) {
        lastMouseButton_ = 1;
        RunClick();
    }
}

void zqButtons_H::HostAmbientChanged(const QString& propertyName) {
    if (propertyName.compare(QLatin1String("DisplayAsDefault"), Qt::CaseInsensitive) == 0) {
        if (displayAsDefault_ && (showFocusRect_ || !userMode_))
            stateFlags_ |= kFocusLook;
        else
            stateFlags_ &= static_cast<std::uint16_t>(~kFocusLook);
        if (buttonShape_ >= 7 && !userMode_) {
            // The default custom button shows its hover face in the designer.
            pointerOver_ = (stateFlags_ & kFocusLook) != 0;
            Redraw();
            pointerOver_ = false;
        } else {
            Redraw();
        }
    } else if (propertyName.compare(QLatin1String("BackColor"), Qt::CaseInsensitive) == 0) {
        containerBackColor_ = TranslateColor(AmbientBackColor());
        if (buttonShape_ > 3 || buttonStyle_ == 5) Redraw();
    }
}

void zqButtons_H::HostShow() {
    if (!userMode_ && showFocusRect_ && displayAsDefault_) {
        stateFlags_ |= kFocusLook;
        Redraw();
    }
}

void zqButtons_H::HostOLECompleteDrag(std::int32_t& effect) { emit OLECompleteDrag(effect); }

void zqButtons_H::HostOLEDragDrop(const QMimeData*& data, std::int32_t& effect, std::int16_t& button,
                                  std::int16_t& shift, float& x, float& y) {
    emit OLEDragDrop(data, effect, button, shift, x, y);
}

void zqButtons_H::HostOLEDragOver(const QMimeData*& data, std::int32_t& effect, std::int16_t& button,
                                  std::int16_t& shift, float& x, float& y, std::int16_t& state) {
    emit OLEDragOver(data, effect, button, shift, x, y, state);
}

void zqButtons_H::HostOLEGiveFeedback(std::int32_t& effect, bool& defaultCursors) {
    emit OLEGiveFeedback(effect, defaultCursors);
}

void zqButtons_H::HostOLESetData(const QMimeData*& data, std::int16_t& dataFormat) {
    emit OLESetData(data, dataFormat);
}

void zqButtons_H::HostOLEStartDrag(const QMimeData*& data, std::int32_t& allowedEffects) {
    emit OLEStartDrag(data, allowedEffects);
}

}  // namespace corvane::buttons
