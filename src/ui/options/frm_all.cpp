#include "ui/options/frm_all.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFileInfo>
#include <QLabel>
#include <QShortcutEvent>
#include <QTabWidget>

#include "platform/message_box.h"
#include "platform/message_loop.h"
#include "platform/shell.h"
#include "settings/settings_table.h"
#include "ui/main/resources.h"
#include "update/download_folder.h"
#include "update/program_version.h"
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::ui {
namespace {

constexpr char kFormDescription[] = ":/corvane/forms/frm_all.json";

settings::RegistryVariant Text(const char* text) { return settings::RegistryVariant(std::string(text)); }

}  // namespace

FrmAll::FrmAll(QWidget* owner, std::string programFolder, platform::ProtectionService& service,
               std::unique_ptr<platform::Inet> inet)
    : QDialog(owner), programFolder_(std::move(programFolder)), service_(service), inet_(std::move(inet)) {
    InitResources();
    setModal(true);
    update::UpdateHost& host = *this;
    // A setup program goes to the user's own download folder, never beside the executable.
    const std::string downloads = update::DownloadFolderPath(update::CurrentDownloadFolderSources());
    download_ = std::make_unique<update::FileDownload>(*inet_, host, downloads);
    const platform::ServiceStatus& status = service_.Status();
    check_ =
        std::make_unique<update::UpdateCheck>(*inet_, host, *download_, update::AddressesFor(status.updateServer),
                                              status.definitionsVersion, std::string(update::ProgramVersionText()));
    check_->SetDownloadFolder(downloads);
    BuildControls();
    Load();
}

FrmAll::~FrmAll() {
    // The transfer ends with the window; its handler must not outlive it.
    check_.reset();
    download_.reset();
}

void FrmAll::BuildControls() {
    QJsonObject description;
    QString error;
    if (!ReadFormDescription(QString::fromLatin1(kFormDescription), description, &error) ||
        !LoadForm(*this, description, controls_, &error))
        qWarning("FrmAll: %s", qPrintable(error));
    setFixedSize(size());

    // A check box runs its handler whenever its state changes, by a click or by code.
    if (auto* box = ChkBoot()) connect(box, &QCheckBox::stateChanged, this, [this] { ChkBootClick(); });
    if (auto* box = ChkTray()) connect(box, &QCheckBox::stateChanged, this, [this] { ChkTrayClick(); });
    if (auto* box = ChkScriptDebug()) connect(box, &QCheckBox::stateChanged, this, [this] { ChkScriptDebugClick(); });
    if (auto* button = BtnCheck()) {
        connect(button, &buttons::zqButtons_H::Click, this, [this] { BtnCheckClick(); });
        button->installEventFilter(this);
    }
    if (auto* button = BtnClose()) {
        connect(button, &buttons::zqButtons_H::Click, this, [this] { close(); });
        button->installEventFilter(this);
    }
}

void FrmAll::Load() {
    // "Tray": a number 0, 1 or 2 is the box's state; any other text leaves the box clear.
    if (const auto tray = settings::ReadSettingNumber(settings::Setting::Tray); tray && *tray >= 0 && *tray <= 2) {
        // 0 clear, 1 ticked, 2 greyed.
        constexpr Qt::CheckState kStates[] = {Qt::Unchecked, Qt::Checked, Qt::PartiallyChecked};
        if (auto* box = ChkTray()) box->setCheckState(kStates[*tray]);
    }
    const std::string boot = settings::ToText(settings::ReadSetting(settings::Setting::BootWithWindows));
    if (auto* box = ChkBoot()) box->setCheckState(boot.empty() ? Qt::Unchecked : Qt::Checked);
    const std::string debugger = settings::ToText(settings::ReadSetting(settings::Setting::DisableScriptDebugger));
    if (auto* box = ChkScriptDebug()) box->setCheckState(debugger == "yes" ? Qt::Checked : Qt::Unchecked);
}

std::string FrmAll::ExecutablePath() const {
    const std::string name = QFileInfo(QCoreApplication::applicationFilePath()).fileName().toStdString();
    return programFolder_ == "/" ? "/" + name : programFolder_ + "/" + name;
}

// Every setting below is the user's own; a write that still fails (a full disk, a broken home folder)
// leaves the box in the state the user gave it.
void FrmAll::ChkBootClick() {
    if (ChkBoot()->checkState() == Qt::Checked)
        static_cast<void>(settings::WriteSetting(settings::Setting::BootWithWindows, ExecutablePath()));
    else
        static_cast<void>(settings::DeleteSetting(settings::Setting::BootWithWindows));
}

void FrmAll::ChkTrayClick() {
    static_cast<void>(
        settings::WriteSetting(settings::Setting::Tray, Text(ChkTray()->checkState() == Qt::Checked ? "1" : "0")));
}

void FrmAll::ChkScriptDebugClick() {
    static_cast<void>(settings::WriteSetting(settings::Setting::DisableScriptDebugger,
                                             Text(ChkScriptDebug()->checkState() == Qt::Checked ? "yes" : "No")));
}

void FrmAll::BtnCheckClick() {
    if (check_->Running()) return;
    check_->Run();
    if (auto* button = BtnCheck()) button->SetEnabled(false);  // one check per opening
    if (endSystem_) {
        QDialog::done(QDialog::Accepted);
        if (QWidget* owner = parentWidget()) owner->close();
        return;
    }
    if (closePending_) done(QDialog::Rejected);
}

void FrmAll::OfferTab(int index) {
    QTabWidget* tabs = SSTab1();
    if (tabs == nullptr) return;
    tabs->setTabVisible(kOptionsTab, index == kOptionsTab);
    tabs->setTabVisible(kUpdatesTab, index == kUpdatesTab);
    tabs->setCurrentIndex(index);
    if (index == kUpdatesTab) setWindowTitle(QStringLiteral("Updates"));
}

void FrmAll::done(int result) {
    // Closing while a check waits on the network: the transfer is stopped, and the window closes once
    // the check has unwound.
    if (check_ && check_->Running()) {
        closePending_ = true;
        download_->Cancel();
        return;
    }
    QDialog::done(result);
}

bool FrmAll::eventFilter(QObject* watched, QEvent* event) {
    // Both buttons of the Updates tab have the access key C. When both can take it, the key moves the
    // focus between them, as with any two controls sharing a key, instead of pressing one at random.
    if (event->type() == QEvent::Shortcut && static_cast<QShortcutEvent*>(event)->isAmbiguous()) {
        if (auto* widget = qobject_cast<QWidget*>(watched)) widget->setFocus(Qt::ShortcutFocusReason);
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

QTabWidget* FrmAll::SSTab1() const { return controls_.Find<QTabWidget>(QStringLiteral("SSTab1")); }
QCheckBox* FrmAll::ChkBoot() const { return controls_.Find<QCheckBox>(QStringLiteral("ChkBoot")); }
QCheckBox* FrmAll::ChkTray() const { return controls_.Find<QCheckBox>(QStringLiteral("ChkTray")); }
QCheckBox* FrmAll::ChkScriptDebug() const { return controls_.Find<QCheckBox>(QStringLiteral("ChkScriptDebug")); }
buttons::zqButtons_H* FrmAll::BtnCheck() const {
    return controls_.Find<buttons::zqButtons_H>(QStringLiteral("BtnCheck"));
}
buttons::zqButtons_H* FrmAll::BtnClose() const {
    return controls_.Find<buttons::zqButtons_H>(QStringLiteral("BtnClose"));
}
QLabel* FrmAll::LblDefs() const { return controls_.Find<QLabel>(QStringLiteral("LblDefs")); }
QLabel* FrmAll::LblMain() const { return controls_.Find<QLabel>(QStringLiteral("LblMain")); }
QLabel* FrmAll::LblStat() const { return controls_.Find<QLabel>(QStringLiteral("LblStat")); }

void FrmAll::SetTitle(const std::string& title) {
    const QString text = QString::fromStdString(title);
    if (windowTitle() != text) setWindowTitle(text);
}

void FrmAll::SetLblStat(const std::string& text) {
    if (auto* label = LblStat()) label->setText(QString::fromStdString(text));
}
void FrmAll::SetLblDefs(const std::string& text) {
    if (auto* label = LblDefs()) label->setText(QString::fromStdString(text));
}
void FrmAll::SetLblDefsDetail(const std::string& detail) {
    if (auto* label = LblDefs()) label->setToolTip(QString::fromStdString(detail));
}
void FrmAll::SetLblMain(const std::string& text) {
    if (auto* label = LblMain()) label->setText(QString::fromStdString(text));
}

bool FrmAll::AskYesNo(const std::string& text, const std::string& title) {
    return platform::MessageBox(platform::HandleOf(this), text, title, platform::MessageBoxIcon::Information,
                                platform::MessageBoxButtons::YesNo) == platform::IDYES;
}

void FrmAll::Yield() { platform::Yield(); }
void FrmAll::WaitForMessages() { platform::WaitForMessages(); }

bool FrmAll::InstallDefinitions(int fd, std::string& why) {
    std::string version;
    const platform::ServiceResult result = service_.InstallDefinitions(fd, version);
    if (!result.Ok()) why = result.message;
    return result.Ok();
}

platform::ShellResult FrmAll::StartSetupProgram(const std::string& path) {
    return platform::StartProgram(platform::HandleOf(this), path);
}

void FrmAll::EndSystem() { endSystem_ = true; }

}  // namespace corvane::ui
