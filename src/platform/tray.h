#pragma once
// The notification-area (tray) icon service.
//
// A program shows its tray icon by sending one record with NIM_ADD, changes it with NIM_MODIFY and removes
// it with NIM_DELETE; the icon is named by the record's owner window and icon id. The desktop's tray host
// (an XEmbed system tray or a StatusNotifierItem host; both are served) reports clicks on the icon back to
// the owner window as the record's callback message, carrying the mouse message identifier of the click
// (513 left down, 514 left up, 515 left double click, 516 right down, 517 right up, 519 middle down).
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/icons.h"
#include "platform/window.h"

namespace corvane::platform {

inline constexpr std::uint32_t NIM_ADD = 0;
inline constexpr std::uint32_t NIM_MODIFY = 1;
inline constexpr std::uint32_t NIM_DELETE = 2;

inline constexpr std::uint32_t NIF_MESSAGE = 1;
inline constexpr std::uint32_t NIF_ICON = 2;
inline constexpr std::uint32_t NIF_TIP = 4;

inline constexpr std::uint32_t WM_MOUSEMOVE = 0x200;
inline constexpr std::uint32_t WM_LBUTTONDOWN = 0x201;
inline constexpr std::uint32_t WM_LBUTTONUP = 0x202;
inline constexpr std::uint32_t WM_LBUTTONDBLCLK = 0x203;
inline constexpr std::uint32_t WM_RBUTTONDOWN = 0x204;
inline constexpr std::uint32_t WM_RBUTTONUP = 0x205;
inline constexpr std::uint32_t WM_MBUTTONDOWN = 0x207;

// The tray record in its 8-bit text form. cbSize is 88, the size of the record on the desktop this
// program was first written for; the tip holds up to 63 characters followed by a NUL.
struct NotifyIconData {
    std::uint32_t cbSize = 0;
    WindowHandle hWnd = 0;
    std::uint32_t uID = 0;
    std::uint32_t uFlags = 0;
    std::uint32_t uCallbackMessage = 0;
    IconHandle hIcon = 0;
    char szTip[64] = {};
};

// Adds, modifies or deletes the icon the record names. Fields take effect as the flags say (NIF_ICON,
// NIF_TIP, NIF_MESSAGE). Returns false when the message is unknown, the owner window does not exist, the
// icon to modify or delete was never added, an add repeats an existing icon, or no tray host is running.
bool Shell_NotifyIconA(std::uint32_t message, const NotifyIconData& data);

// Where a window receives its tray callbacks: (callback message, mouse message identifier).
using TrayMessageHandler = std::function<void(std::uint32_t message, std::uint32_t mouseMessage)>;
void SetTrayMessageHandler(WindowHandle owner, TrayMessageHandler handler);

// Whether the desktop has a tray host at the moment.
bool TrayHostAvailable();

// A wait for a tray host that does not block the window thread: Start calls `done(true)` as soon as a
// host is available (at once when there is one already), or `done(false)` when `limit` has passed without
// one. `done` runs once, on the window thread; destroying the wait cancels it.
class TrayHostWait {
public:
    TrayHostWait();
    ~TrayHostWait();
    TrayHostWait(const TrayHostWait&) = delete;
    TrayHostWait& operator=(const TrayHostWait&) = delete;

    void Start(std::chrono::milliseconds limit, std::function<void(bool found)> done);
    bool Waiting() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// What the tray shows for an icon added by this process, for tests and diagnostics.
struct TrayIconState {
    bool exists = false;
    bool visible = false;
    IconHandle icon = 0;
    std::string tip;
};
TrayIconState QueryTrayIcon(WindowHandle owner, std::uint32_t id);

// Delivers a tray host activation the way the host's click would (used by the Qt implementation and
// by tests that play the user's part).
void DeliverTrayActivation(WindowHandle owner, std::uint32_t id, std::uint32_t mouseMessage);

}  // namespace corvane::platform
