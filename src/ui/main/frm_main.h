#pragma once
// FrmMain: the main window. It is the program's start-up object and lives as long as the process: it
// owns the tray record `TrayIconData` and the program's link to the protection service. The service
// protects and counts; the window shows what the service says (the switch, the tray icon, the count in
// the caption and the tip) and asks it to change. It holds no rights of its own. Closing it, for any
// reason, removes the tray icon and ends the program; protection goes on in the service.
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/descriptor_watch.h"
#include "platform/icons.h"
#include "platform/named_mutex.h"
#include "platform/protection_service.h"
#include "platform/tray.h"
#include "ui/main/form_loader.h"

namespace corvane::buttons {
class zqButtons_H;
}

namespace corvane::ui {

class FrmMain : public QWidget {
    Q_OBJECT

public:
    // The service is handed in so tests can give it one of their own; the program passes the system's
    // (platform::ConnectProtectionService). It is never null.
    FrmMain(std::string programFolder, std::unique_ptr<platform::ProtectionService> service);
    ~FrmMain() override;

    // The one-instance lock the program took before anything else; without it, load takes its own.
    // Later starts reach the window through the lock's channels (listening when held): each request
    // brings the window back (Activate) and is answered once it shows.
    void HoldInstance(std::unique_ptr<platform::NamedMutex> mutex);

    // Brings the window back and to the front, from the task bar, the tray or behind other windows:
    // what a second start of the program asks for. `token` is the asking start's activation token
    // (XDG_ACTIVATION_TOKEN), which lets a Wayland compositor give the window the focus.
    void Activate(const std::string& token = {});

    // Whether a tray host is there to bring a hidden window back (platform::TrayHostAvailable unless a
    // test says otherwise). Without one, Tray and minimise leave the window minimised on the task bar.
    using TrayHostProbe = std::function<bool()>;
    void SetTrayHostProbe(TrayHostProbe probe) { trayHostProbe_ = std::move(probe); }

    // The window's frame offers Minimize and Close, never Maximize: its size is fixed.
    static constexpr Qt::WindowFlags kWindowFlags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                                    Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                                                    Qt::WindowCloseButtonHint;

    // Creation: hides the window, which runs the load sequence; the window shows itself only when the
    // "Tray" setting says so, or when no tray host has come within kTrayHostWait.
    void Create();
    static constexpr std::chrono::milliseconds kTrayHostWait{5000};
    bool WaitingForTrayHost() const { return trayHostWait_.Waiting(); }

    // Count changes reach the caption and the tip at most once per kCaptionInterval (20 a second);
    // the last count always shows. `clock` replaces the steady clock (tests).
    static constexpr std::chrono::milliseconds kCaptionInterval{50};
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    void SetClock(Clock clock) { clock_ = std::move(clock); }

    // What the switch shows: the service's protection, OFF while the service cannot protect.
    bool ProtectionOn() const { return protectionOn_; }
    // The switch's click: asks the service. Refused or unreachable, the switch shows what is true and a
    // message box says why.
    void SetProtection(bool on);

    platform::ProtectionService& Service() { return *service_; }
    const platform::NotifyIconData& TrayRecord() const { return trayIconData_; }
    platform::IconHandle WindowIcon() const { return iconOn_; }
    platform::IconHandle ProtectionOffIcon() const { return iconOff_; }
    bool TrayIconAdded() const { return trayAdded_; }

    // The window's controls by name ("BtnOn", "BtnExit", …), built on first use.
    const LoadedForm& Controls() const;
    buttons::zqButtons_H* BtnOn() const;

    // The window's mouse-move handler as the tray callback reaches it: x is the mouse message
    // identifier of the click on the tray icon.
    void TrayMouseMove(std::uint32_t x);

    void setVisible(bool visible) override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void EnsureControls() const;
    void BuildControls();
    void OpenOptionsWindow(int tab);  // BtnOptions, BtnUpdate
    void OpenHelpPage();              // BtnHelp
    void ApplySwitchLook();
    void Load();
    void OnServiceChanged();
    void ShowStatus();  // everything from the service's status at once (start-up, link changes)
    void ShowProtection(bool on);
    void CountChanged();
    void ShowLatestCount();  // the caption timer's end
    void ShowCount(std::int32_t count, const std::string& caption);
    void SetCaption(const std::string& caption);
    void SendTray(std::uint32_t message);
    void Minimise();  // BtnTray
    bool TrayHostPresent() const;
    void WatchChannels();
    void TakeRequests(int channel);
    std::chrono::steady_clock::time_point Now() const;

    LoadedForm controls_;
    std::string programFolder_;
    std::unique_ptr<platform::ProtectionService> service_;
    platform::NotifyIconData trayIconData_{};
    platform::IconHandle iconOn_ = 0;
    platform::IconHandle iconOff_ = 0;
    std::unique_ptr<platform::NamedMutex> mutex_;
    std::vector<std::unique_ptr<platform::DescriptorWatch>> channelWatches_;
    TrayHostProbe trayHostProbe_;
    platform::TrayHostWait trayHostWait_;

    // What the window last took from the service's status.
    std::optional<platform::ServiceStatus::Link> shownLink_;
    bool seenProtection_ = false;
    bool notWorking_ = false;  // the caption says protection is on but not working
    std::optional<std::int32_t> shownCount_;  // the count in the caption, while connected
    std::string countCaption_;                // its caption, shown again when the service returns
    Clock clock_;
    std::optional<std::chrono::steady_clock::time_point> lastCountCaption_;
    QTimer captionTimer_;

    bool protectionOn_ = false;
    bool controlsBuilt_ = false;
    bool trayAdded_ = false;
    bool closed_ = false;
};

}  // namespace corvane::ui
