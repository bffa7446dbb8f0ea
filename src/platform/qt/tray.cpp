#include <QElapsedTimer>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstring>
#include <map>
#include <memory>
#include <utility>

#include "platform/qt/icon_table.h"
#include "platform/tray.h"

namespace corvane::platform {
namespace {

struct TrayEntry {
    std::unique_ptr<QSystemTrayIcon> icon;
    IconHandle iconHandle = 0;
    std::string tip;
    std::uint32_t callbackMessage = 0;
};

using Key = std::pair<WindowHandle, std::uint32_t>;

std::map<Key, TrayEntry>& Entries() {
    static std::map<Key, TrayEntry> entries;
    return entries;
}

std::map<WindowHandle, TrayMessageHandler>& Handlers() {
    static std::map<WindowHandle, TrayMessageHandler> handlers;
    return handlers;
}

std::string TipText(const NotifyIconData& data) {
    // The tip ends at its NUL; a tip without one is read up to the field's end.
    const void* end = std::memchr(data.szTip, '\0', sizeof data.szTip);
    const auto length =
        end == nullptr ? sizeof data.szTip : static_cast<std::size_t>(static_cast<const char*>(end) - data.szTip);
    return std::string(data.szTip, length);
}

// Only what changed goes to the tray host: every blocked attempt modifies the record, and sending an
// unchanged picture again would make the host redraw (or, over D-Bus, receive) the whole icon.
void Apply(TrayEntry& entry, const NotifyIconData& data, bool fresh) {
    if (data.uFlags & NIF_MESSAGE) entry.callbackMessage = data.uCallbackMessage;
    if ((data.uFlags & NIF_ICON) && (fresh || data.hIcon != entry.iconHandle)) {
        entry.iconHandle = data.hIcon;
        entry.icon->setIcon(IconOf(data.hIcon));
    }
    if (data.uFlags & NIF_TIP) {
        std::string tip = TipText(data);
        if (fresh || tip != entry.tip) {
            entry.tip = std::move(tip);
            entry.icon->setToolTip(QString::fromLocal8Bit(entry.tip.data(), static_cast<qsizetype>(entry.tip.size())));
        }
    }
}

// The tray host reports activations, not mouse messages; each becomes the mouse messages a click of
// that kind produces.
void OnActivated(WindowHandle owner, std::uint32_t id, QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
        case QSystemTrayIcon::Trigger:
            DeliverTrayActivation(owner, id, WM_LBUTTONDOWN);
            DeliverTrayActivation(owner, id, WM_LBUTTONUP);
            break;
        case QSystemTrayIcon::DoubleClick:
            DeliverTrayActivation(owner, id, WM_LBUTTONDBLCLK);
            break;
        case QSystemTrayIcon::Context:
            DeliverTrayActivation(owner, id, WM_RBUTTONDOWN);
            DeliverTrayActivation(owner, id, WM_RBUTTONUP);
            break;
        case QSystemTrayIcon::MiddleClick:
            DeliverTrayActivation(owner, id, WM_MBUTTONDOWN);
            break;
        case QSystemTrayIcon::Unknown:
            break;
    }
}

}  // namespace

bool TrayHostAvailable() { return QSystemTrayIcon::isSystemTrayAvailable(); }

// Neither tray protocol announces a new host to a program whose icon is not docked yet, so the wait
// asks again every tenth of a second.
struct TrayHostWait::Impl {
    QTimer poll;
    QElapsedTimer started;
    std::chrono::milliseconds limit{0};
    std::function<void(bool)> done;
};

TrayHostWait::TrayHostWait() : impl_(std::make_unique<Impl>()) {
    impl_->poll.setInterval(100);
    QObject::connect(&impl_->poll, &QTimer::timeout, [impl = impl_.get()] {
        const bool found = TrayHostAvailable();
        if (!found && impl->started.elapsed() < impl->limit.count()) return;
        impl->poll.stop();
        const auto done = std::move(impl->done);
        impl->done = nullptr;
        if (done) done(found);
    });
}

TrayHostWait::~TrayHostWait() = default;

void TrayHostWait::Start(std::chrono::milliseconds limit, std::function<void(bool found)> done) {
    impl_->poll.stop();
    if (TrayHostAvailable()) {
        impl_->done = nullptr;
        if (done) done(true);
        return;
    }
    impl_->limit = limit;
    impl_->done = std::move(done);
    impl_->started.start();
    impl_->poll.start();
}

bool TrayHostWait::Waiting() const { return impl_->poll.isActive(); }

bool Shell_NotifyIconA(std::uint32_t message, const NotifyIconData& data) {
    auto& entries = Entries();
    const Key key{data.hWnd, data.uID};
    auto it = entries.find(key);
    switch (message) {
        case NIM_ADD: {
            if (it != entries.end() || WindowOf(data.hWnd) == nullptr) return false;
            TrayEntry entry;
            entry.icon = std::make_unique<QSystemTrayIcon>();
            QObject::connect(entry.icon.get(), &QSystemTrayIcon::activated,
                             [owner = data.hWnd, id = data.uID](QSystemTrayIcon::ActivationReason reason) {
                                 OnActivated(owner, id, reason);
                             });
            Apply(entry, data, true);
            // Shown even without a tray host: the icon appears when a host starts. The add still reports
            // failure then, as the caller may want to offer another way back to its window.
            entry.icon->show();
            entries.emplace(key, std::move(entry));
            return TrayHostAvailable();
        }
        case NIM_MODIFY:
            if (it == entries.end()) return false;
            Apply(it->second, data, false);
            return true;
        case NIM_DELETE:
            if (it == entries.end()) return false;
            it->second.icon->hide();
            entries.erase(it);
            return true;
        default:
            return false;
    }
}

void SetTrayMessageHandler(WindowHandle owner, TrayMessageHandler handler) {
    if (handler)
        Handlers()[owner] = std::move(handler);
    else
        Handlers().erase(owner);
}

void DeliverTrayActivation(WindowHandle owner, std::uint32_t id, std::uint32_t mouseMessage) {
    auto entry = Entries().find(Key{owner, id});
    if (entry == Entries().end() || WindowOf(owner) == nullptr) return;
    auto handler = Handlers().find(owner);
    if (handler == Handlers().end()) return;
    const auto callback = handler->second;  // the handler may replace itself while it runs
    callback(entry->second.callbackMessage, mouseMessage);
}

TrayIconState QueryTrayIcon(WindowHandle owner, std::uint32_t id) {
    TrayIconState state;
    auto it = Entries().find(Key{owner, id});
    if (it == Entries().end()) return state;
    state.exists = true;
    state.visible = it->second.icon->isVisible();
    state.icon = it->second.iconHandle;
    state.tip = it->second.tip;
    return state;
}

}  // namespace corvane::platform
