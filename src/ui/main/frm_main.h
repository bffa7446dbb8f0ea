#pragma once
// FrmMain: the main window. It is the program's start-up object and lives as long as the process: it
// owns the scan timer `tFire`, the tray record `TrayIconData` and the connection blocker with its
// block list and count. Closing it, for any reason, saves the count, removes the tray icon and ends
// the program.
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/m_firewall.h"
#include "engine/scan_host.h"
#include "platform/descriptor_watch.h"
#include "platform/icons.h"
#include "platform/named_mutex.h"
#include "platform/timers.h"
#include "platform/tray.h"
#include "ui/main/form_loader.h"

namespace corvane::buttons {
class zqButtons_H;
}

namespace corvane::ui {

class FrmMain : public QWidget, private engine::ScanHost {
    Q_OBJECT

public:
    // The blocker is handed in so tests can give it a table of their own; the program passes the
    // machine's (mFirewall::CreateForSystem).
    using FirewallFactory = std::function<std::unique_ptr<engine::mFirewall>(engine::ScanHost&)>;
    FrmMain(std::string programFolder, FirewallFactory makeFirewall);
    ~FrmMain() override;

    // The one-instance lock the program took before anything else; without it, load takes its own.
    void HoldInstance(std::unique_ptr<platform::NamedMutex> mutex) { mutex_ = std::move(mutex); }

    // Creation: hides the window, which runs the load sequence; the window shows itself only when the
    // "Tray" setting says so, or when no tray host has come within kTrayHostWait.
    void Create();
    static constexpr std::chrono::milliseconds kTrayHostWait{5000};
    bool WaitingForTrayHost() const { return trayHostWait_.Waiting(); }

    // Writes "Attempts" when the count differs from the last one written. Every way out saves through
    // here, and so does a running save at most once a second after the count changes
    // (kCountSaveDelay), so a crash loses at most that last second.
    void SaveCount();
    static constexpr std::chrono::milliseconds kCountSaveDelay{1000};

    // Protection: the pair (switch position, tFire enabled).
    bool ProtectionOn() const;
    void SetProtection(bool on);  // the switch's click: look, tFire, "Run", tray icon

    engine::mFirewall& Firewall() { return *firewall_; }
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

    // tFire's tick.
    void OnFireTick();

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
    void QueryClose();
    void ShowProtection(bool on);
    void SetCaption(const std::string& caption);
    void SendTray(std::uint32_t message);

    // engine::ScanHost
    void Yield() override;
    void ShowBlockedCaption(const std::string& caption) override;
    bool WatchDescriptor(int fd, std::function<void()> onReadable) override;
    void EngineChanged() override;

    LoadedForm controls_;
    std::string programFolder_;
    FirewallFactory makeFirewall_;
    std::unique_ptr<engine::mFirewall> firewall_;
    platform::IntervalTimer tFire_;
    std::unique_ptr<platform::DescriptorWatch> engineWatch_;  // the event engine's reports
    platform::NotifyIconData trayIconData_{};
    platform::IconHandle iconOn_ = 0;
    platform::IconHandle iconOff_ = 0;
    std::unique_ptr<platform::NamedMutex> mutex_;
    platform::TrayHostWait trayHostWait_;
    QTimer countSave_;
    std::int32_t savedCount_ = 0;
    bool countSaved_ = false;  // savedCount_ is what the store holds
    bool protectionOn_ = false;
    bool controlsBuilt_ = false;
    bool trayAdded_ = false;
    bool closed_ = false;
};

}  // namespace corvane::ui
