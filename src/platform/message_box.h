#pragma once
// Message boxes: a modal box with a text, a title, an icon and a set of buttons. Tests (and any code
// that must not block) install an interceptor that answers instead of the user.
#include <functional>
#include <string>
#include <string_view>

#include "platform/window.h"

namespace corvane::platform {

enum class MessageBoxIcon { None, Information, Warning, Error, Question };
enum class MessageBoxButtons { Ok, OkCancel, YesNo, YesNoCancel };

// The answers, numbered as the classic dialog results.
inline constexpr int IDOK = 1, IDCANCEL = 2, IDYES = 6, IDNO = 7;

struct MessageBoxRequest {
    WindowHandle owner = 0;
    std::string text;
    std::string title;
    MessageBoxIcon icon = MessageBoxIcon::None;
    MessageBoxButtons buttons = MessageBoxButtons::Ok;
};

using MessageBoxInterceptor = std::function<int(const MessageBoxRequest&)>;

// Installs an interceptor (an empty one restores the real box); returns the one it replaces.
MessageBoxInterceptor SetMessageBoxInterceptor(MessageBoxInterceptor interceptor);

// Shows the box modally over `owner` (0: no owner) and returns the answer (IDOK, IDCANCEL, IDYES, IDNO).
// Texts are UTF-8. Without an application object nothing can be shown and the answer is IDCANCEL.
int MessageBox(WindowHandle owner, std::string_view text, std::string_view title, MessageBoxIcon icon,
               MessageBoxButtons buttons = MessageBoxButtons::Ok);

}  // namespace corvane::platform
