#pragma once
// FrmAll: the Options window. Two tabs: "Options" with three check boxes whose every change is written
// to the user's own settings at once, and "Updates", which runs the update check against the protection
// service's update server, hands new definitions to the service and saves a setup program in the
// user's own download folder. While the check runs, LblStat says which request is under way;
// afterwards LblDefs and LblMain keep each half's outcome. The main window opens it modally
// on one tab and destroys it when it closes, so every opening starts from the window's design.
#include <QDialog>

#include <memory>
#include <string>

#include "platform/inet.h"
#include "platform/protection_service.h"
#include "ui/main/form_loader.h"
#include "update/file_download.h"
#include "update/update_check.h"
#include "update/update_host.h"

class QCheckBox;
class QLabel;
class QTabWidget;

namespace corvane::buttons {
class zqButtons_H;
}

namespace corvane::ui {

class FrmAll : public QDialog, private update::UpdateHost {
    Q_OBJECT

public:
    static constexpr int kOptionsTab = 0;
    static constexpr int kUpdatesTab = 1;

    // Builds and loads the window (the load reads and re-writes the three settings). `owner` is the
    // main window: the window is modal over it, and closing it ends the program after a setup program
    // was started. The service's status gives the version of the definitions in force and the update
    // server; downloaded definitions go to the service. It outlives the window.
    FrmAll(QWidget* owner, std::string programFolder, platform::ProtectionService& service,
           std::unique_ptr<platform::Inet> inet = platform::CreateInet());
    ~FrmAll() override;

    // Offers exactly one tab; the other is hidden. The "Updates" tab also sets the caption "Updates".
    void OfferTab(int index);

    const LoadedForm& Controls() const { return controls_; }
    QTabWidget* SSTab1() const;
    QCheckBox* ChkBoot() const;
    QCheckBox* ChkTray() const;
    QCheckBox* ChkScriptDebug() const;
    buttons::zqButtons_H* BtnCheck() const;
    buttons::zqButtons_H* BtnClose() const;
    QLabel* LblDefs() const;
    QLabel* LblMain() const;
    QLabel* LblStat() const;

    update::FileDownload& Download() { return *download_; }

    // The full path of the running program, as start-with-the-desktop records it.
    std::string ExecutablePath() const;

    void done(int result) override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildControls();
    void Load();
    void ChkBootClick();
    void ChkTrayClick();
    void ChkScriptDebugClick();
    void BtnCheckClick();

    // update::UpdateHost
    void SetTitle(const std::string& title) override;
    void SetLblStat(const std::string& text) override;
    void SetLblDefs(const std::string& text) override;
    void SetLblDefsDetail(const std::string& detail) override;
    void SetLblMain(const std::string& text) override;
    bool AskYesNo(const std::string& text, const std::string& title) override;
    void Yield() override;
    void WaitForMessages() override;
    bool InstallDefinitions(int fd, std::string& why) override;
    platform::ShellResult StartSetupProgram(const std::string& path) override;
    void EndSystem() override;

    LoadedForm controls_;
    std::string programFolder_;
    platform::ProtectionService& service_;
    std::unique_ptr<platform::Inet> inet_;
    std::unique_ptr<update::FileDownload> download_;
    std::unique_ptr<update::UpdateCheck> check_;
    bool closePending_ = false;
    bool endSystem_ = false;
};

}  // namespace corvane::ui
