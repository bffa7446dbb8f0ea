#include "platform/messages.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QWidget>
#include <memory>

namespace corvane::platform {

int QtKeyFromVirtualKey(int vk) {
    if (vk >= 'A' && vk <= 'Z') return Qt::Key_A + (vk - 'A');
    if (vk >= '0' && vk <= '9') return Qt::Key_0 + (vk - '0');
    if (vk >= VK_F1 && vk < VK_F1 + 24) return Qt::Key_F1 + (vk - VK_F1);
    switch (vk) {
        case VK_BACK:
            return Qt::Key_Backspace;
        case VK_TAB:
            return Qt::Key_Tab;
        case VK_RETURN:
            return Qt::Key_Return;
        case VK_SHIFT:
            return Qt::Key_Shift;
        case VK_CONTROL:
            return Qt::Key_Control;
        case VK_MENU:
            return Qt::Key_Alt;
        case VK_ESCAPE:
            return Qt::Key_Escape;
        case VK_SPACE:
            return Qt::Key_Space;
        case VK_PRIOR:
            return Qt::Key_PageUp;
        case VK_NEXT:
            return Qt::Key_PageDown;
        case VK_END:
            return Qt::Key_End;
        case VK_HOME:
            return Qt::Key_Home;
        case VK_LEFT:
            return Qt::Key_Left;
        case VK_UP:
            return Qt::Key_Up;
        case VK_RIGHT:
            return Qt::Key_Right;
        case VK_DOWN:
            return Qt::Key_Down;
        case VK_INSERT:
            return Qt::Key_Insert;
        case VK_DELETE:
            return Qt::Key_Delete;
        default:
            return Qt::Key_unknown;
    }
}

int VirtualKeyFromQtKey(int key) {
    if (key >= Qt::Key_A && key <= Qt::Key_Z) return 'A' + (key - Qt::Key_A);
    if (key >= Qt::Key_0 && key <= Qt::Key_9) return '0' + (key - Qt::Key_0);
    if (key >= Qt::Key_F1 && key < Qt::Key_F1 + 24) return VK_F1 + (key - Qt::Key_F1);
    switch (key) {
        case Qt::Key_Backspace:
            return VK_BACK;
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
            return VK_TAB;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return VK_RETURN;
        case Qt::Key_Shift:
            return VK_SHIFT;
        case Qt::Key_Control:
            return VK_CONTROL;
        case Qt::Key_Alt:
            return VK_MENU;
        case Qt::Key_Escape:
            return VK_ESCAPE;
        case Qt::Key_Space:
            return VK_SPACE;
        case Qt::Key_PageUp:
            return VK_PRIOR;
        case Qt::Key_PageDown:
            return VK_NEXT;
        case Qt::Key_End:
            return VK_END;
        case Qt::Key_Home:
            return VK_HOME;
        case Qt::Key_Left:
            return VK_LEFT;
        case Qt::Key_Up:
            return VK_UP;
        case Qt::Key_Right:
            return VK_RIGHT;
        case Qt::Key_Down:
            return VK_DOWN;
        case Qt::Key_Insert:
            return VK_INSERT;
        case Qt::Key_Delete:
            return VK_DELETE;
        default:
            return 0;
    }
}

bool PostMessageA(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
    QWidget* widget = WindowOf(window);
    if (widget == nullptr || message != WM_KEYDOWN || QCoreApplication::instance() == nullptr) return false;
    const int virtualKey = static_cast<int>(wParam);
    const int key = QtKeyFromVirtualKey(virtualKey);
    if (key == Qt::Key_unknown) return false;
    const auto scanCode = static_cast<quint32>((lParam >> 16) & 0xFF);
    auto event = std::make_unique<QKeyEvent>(QEvent::KeyPress, key, Qt::NoModifier, scanCode,
                                             static_cast<quint32>(virtualKey), 0U);
    // The event queue owns a posted event and deletes it after delivery.
    QCoreApplication::postEvent(widget, event.release());
    return true;
}

}  // namespace corvane::platform
