#include "ui/main/frm_main.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEvent>

#include <algorithm>
#include <chrono>

#include "platform/message_box.h"
#include "platform/shell.h"
#include "settings/settings_table.h"
#include "ui/main/m_sys_tray.h"
#include "ui/main/resources.h"
#include "ui/main/window_captions.h"
#include "ui/options/frm_all.h"
#include "update/update_addresses.h"
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::ui {
namespace {

constexpr int kClientWidth = 603;
constexpr int kClientHeight = 289;
constexpr char kWindowIcon[] = ":/corvane/icons/corvane.ico";
constexpr char kProtectionOffIcon[] = ":/corvane/icons/protection_off.ico";
constexpr char kFormDescription[] = ":/corvane/forms/frm_main.json";

// The switch's looks: green "ON", red "OFF".
constexpr buttons::OleColor kOnColor = 0xC000;
constexpr buttons::OleColor kOffColor = 0xC0;

}  // namespace

FrmMain::FrmMain(std::string programFolder, std::unique_ptr<platform::ProtectionService> service)
    : programFolder_(std::move(programFolder)), service_(std::move(service)) {
    InitResources();
    captionTimer_.setSingleShot(true);
    connect(&captionTimer_, &QTimer::timeout, this, &FrmMain::ShowLatestCount);
    iconOn_ = platform::LoadIconResource(kWindowIcon);
    iconOff_ = platform::LoadIconResource(kProtectionOffIcon);
    setWindowIcon(QIcon(QString::fromLatin1(kWindowIcon)));
    setWindowTitle(QString::fromLatin1(kProgramCaption));  // the caption at creation
    // The controls are built when the window is first shown or asked for: a start in the tray shows
    // its icon without waiting for the form and its fonts.
}

void FrmMain::EnsureControls() const {
    if (controlsBuilt_) return;
    auto* self = const_cast<FrmMain*>(this);  // building the form changes no observable state
    self->controlsBuilt_ = true;
    const QString caption = windowTitle();
    self->BuildControls();
    self->setWindowTitle(caption);  // the caption is the window's, whatever the description says
    self->ApplySwitchLook();
}

void FrmMain::setVisible(bool visible) {
    if (visible) EnsureControls();
    QWidget::setVisible(visible);
}

void FrmMain::BuildControls() {
    QJsonObject description;
    QString error;
    // The description is compiled in; a fault in it is a fault of the build, shown on the console.
    if (!ReadFormDescription(QString::fromLatin1(kFormDescription), description, &error) ||
        !LoadForm(*this, description, controls_, &error))
        qWarning("FrmMain: %s", qPrintable(error));

    if (auto* on = BtnOn())
        connect(on, &buttons::zqButtons_H::Click, this, [this] { SetProtection(BtnOn()->Value()); });
    if (auto* exit = controls_.Find<buttons::zqButtons_H>(QStringLiteral("BtnExit")))
        connect(exit, &buttons::zqButtons_H::Click, this, &QWidget::close);
    if (auto* tray = controls_.Find<buttons::zqButtons_H>(QStringLiteral("BtnTray")))
        connect(tray, &buttons::zqButtons_H::Click, this, [this] { setWindowState(Qt::WindowMinimized); });
    if (auto* options = controls_.Find<buttons::zqButtons_H>(QStringLiteral("BtnOptions")))
        connect(options, &buttons::zqButtons_H::Click, this, [this] { OpenOptionsWindow(FrmAll::kOptionsTab); });
    if (auto* update = controls_.Find<buttons::zqButtons_H>(QStringLiteral("BtnUpdate")))
        connect(update, &buttons::zqButtons_H::Click, this, [this] { OpenOptionsWindow(FrmAll::kUpdatesTab); });
    if (auto* help = controls_.Find<buttons::zqButtons_H>(QStringLiteral("BtnHelp")))
        connect(help, &buttons::zqButtons_H::Click, this, [this] { OpenHelpPage(); });
}

void FrmMain::OpenOptionsWindow(int tab) {
    // A fresh window each time, modal over this one; it is gone again when this handler returns.
    FrmAll options(this, programFolder_, *service_);
    options.OfferTab(tab);
    options.exec();
}

void FrmMain::OpenHelpPage() {
    const platform::WindowHandle self = platform::HandleOf(this);
    const platform::ShellResult opened =
        platform::OpenUrl(self, update::AddressesFor(service_->Status().updateServer).HelpPage());
    if (opened.Succeeded()) return;
    static_cast<void>(platform::MessageBox(self, "Error:" + std::to_string(opened.error) + " " + opened.description,
                                           "Corvane", platform::MessageBoxIcon::Information));
}

const LoadedForm& FrmMain::Controls() const {
    EnsureControls();
    return controls_;
}

buttons::zqButtons_H* FrmMain::BtnOn() const {
    EnsureControls();
    return controls_.Find<buttons::zqButtons_H>(QStringLiteral("BtnOn"));
}

FrmMain::~FrmMain() {
    service_->SetChangeHandler(nullptr);
    platform::SetTrayMessageHandler(platform::HandleOf(this), nullptr);
    // Already gone after a regular close; this covers a window destroyed without one.
    static_cast<void>(platform::Shell_NotifyIconA(platform::NIM_DELETE, trayIconData_));
}

void FrmMain::Create() {
    hide();
    Load();
}

void FrmMain::Load() {
    // 1. The named mutex, held until the process ends (the program takes it before anything else).
    if (!mutex_) mutex_ = std::make_unique<platform::NamedMutex>("Corvane");

    // 2. The window has no Size command: its size is fixed.
    setFixedSize(kClientWidth, kClientHeight);

    // 3. The tray record, owned by this window, its tip from the caption.
    const platform::WindowHandle self = platform::HandleOf(this);
    mSysTray::FillTrayRecord(trayIconData_, self, windowTitle().toStdString());
    platform::SetTrayMessageHandler(self, [this](std::uint32_t message, std::uint32_t mouseMessage) {
        if (message == mSysTray::kTrayCallbackMessage) TrayMouseMove(mouseMessage);
    });

    // 4. What the service says now.
    const platform::ServiceStatus& status = service_->Refresh();

    // 5. The switch and the tray icon show the service's protection; without the service, none.
    protectionOn_ = status.link == platform::ServiceStatus::Link::kConnected && status.protection;
    ApplySwitchLook();
    trayIconData_.hIcon = protectionOn_ ? iconOn_ : iconOff_;
    trayAdded_ = platform::Shell_NotifyIconA(platform::NIM_ADD, trayIconData_);
    SendTray(platform::NIM_MODIFY);

    // 6. Shown, or only the tray icon ("Tray", the user's own setting). Without a tray host the icon is
    // no way back to a hidden window; at login the panel may start after the program, so the window
    // waits a few seconds for a host (the icon appears as soon as one comes) and shows itself only if
    // none does.
    auto showWindow = [this] {
        setWindowState(Qt::WindowNoState);
        show();
    };
    if (!settings::ReadStartInTray())
        showWindow();
    else if (!trayAdded_)
        trayHostWait_.Start(kTrayHostWait, [this, showWindow](bool found) {
            if (!found && !closed_) showWindow();
        });

    // 7. The count in the caption and the tip, or why there is none; from now on they follow the
    // service's changes.
    ShowStatus();
    service_->SetChangeHandler([this] { OnServiceChanged(); });
}

void FrmMain::OnServiceChanged() {
    if (closed_) return;
    const platform::ServiceStatus& status = service_->Status();
    if (status.link != shownLink_) {
        ShowStatus();  // the service went away, refused us, or came back
        return;
    }
    if (status.link != platform::ServiceStatus::Link::kConnected) return;
    // The switch follows changes of the service's protection, from this window or any other client. A
    // change of something else leaves what the switch shows alone: this window's own request may not
    // have come back yet.
    if (status.protection != seenProtection_) {
        seenProtection_ = status.protection;
        ShowProtection(status.protection);
    }
    if (status.attempts != shownCount_) CountChanged();
}

void FrmMain::ShowStatus() {
    const platform::ServiceStatus& status = service_->Status();
    shownLink_ = status.link;
    if (status.link != platform::ServiceStatus::Link::kConnected) {
        // Nothing protects: no count, and the switch and icon say off.
        captionTimer_.stop();
        ShowProtection(false);
        SetCaption(NotProtectedCaption(status.link));
        SendTray(platform::NIM_MODIFY);
        return;
    }
    seenProtection_ = status.protection;
    ShowProtection(status.protection);
    if (!shownCount_) {
        ShowCount(status.attempts, StartupCaption(status.attempts));  // the first count of this run
    } else if (status.attempts == *shownCount_) {
        SetCaption(countCaption_);
        SendTray(platform::NIM_MODIFY);
    } else {
        ShowCount(status.attempts, BlockedCaption(status.attempts));
    }
}

void FrmMain::ShowProtection(bool on) {
    protectionOn_ = on;
    ApplySwitchLook();
    trayIconData_.hIcon = on ? iconOn_ : iconOff_;
    SendTray(platform::NIM_MODIFY);
}

void FrmMain::ApplySwitchLook() {
    if (!controlsBuilt_) return;  // applied when the controls are built
    if (auto* button = controls_.Find<buttons::zqButtons_H>(QStringLiteral("BtnOn"))) {
        button->SetValue(protectionOn_);
        button->SetCaption(protectionOn_ ? QStringLiteral("ON") : QStringLiteral("OFF"));
        button->SetBackColor(protectionOn_ ? kOnColor : kOffColor);
    }
}

void FrmMain::SetProtection(bool on) {
    if (closed_) return;
    const platform::ServiceResult result = service_->SetProtection(on);
    if (result.Ok()) {
        ShowProtection(on);  // the service's change report confirms it
        return;
    }
    // Refused, unreachable or failed: the switch goes back to what is true, and the user learns why.
    const platform::ServiceStatus& status = service_->Refresh();
    ShowStatus();
    std::string why = result.message;
    if (why.empty()) why = status.problem;
    if (why.empty()) why = NotProtectedCaption(status.link);
    static_cast<void>(
        platform::MessageBox(platform::HandleOf(this), why, kProgramCaption, platform::MessageBoxIcon::Warning));
}

std::chrono::steady_clock::time_point FrmMain::Now() const {
    return clock_ ? clock_() : std::chrono::steady_clock::now();
}

void FrmMain::CountChanged() {
    const auto now = Now();
    if (lastCountCaption_ && now - *lastCountCaption_ < kCaptionInterval) {
        // Too soon after the last: the timer shows the count of its moment (a later change that is no
        // longer too soon shows its own at once).
        if (!captionTimer_.isActive()) {
            const auto wait =
                std::chrono::ceil<std::chrono::milliseconds>(kCaptionInterval - (now - *lastCountCaption_));
            captionTimer_.start(std::max<std::chrono::milliseconds>(wait, std::chrono::milliseconds(1)));
        }
        return;
    }
    captionTimer_.stop();
    const std::int32_t count = service_->Status().attempts;
    ShowCount(count, BlockedCaption(count));
}

void FrmMain::ShowLatestCount() {
    if (closed_) return;
    const platform::ServiceStatus& status = service_->Status();
    if (status.link != platform::ServiceStatus::Link::kConnected || status.attempts == shownCount_) return;
    CountChanged();
}

void FrmMain::ShowCount(std::int32_t count, const std::string& caption) {
    shownCount_ = count;
    countCaption_ = caption;
    lastCountCaption_ = Now();
    SetCaption(caption);
    SendTray(platform::NIM_MODIFY);
}

void FrmMain::SetCaption(const std::string& caption) {
    setWindowTitle(QString::fromStdString(caption));
    mSysTray::SetTrayTip(trayIconData_, caption);
}

void FrmMain::SendTray(std::uint32_t message) {
    // Without a tray host the record still changes; the icon shows it once a host appears.
    static_cast<void>(platform::Shell_NotifyIconA(message, trayIconData_));
}

void FrmMain::TrayMouseMove(std::uint32_t x) {
    if (!mSysTray::RestoresWindow(x)) return;
    setWindowState(Qt::WindowNoState);
    show();
    raise();
    activateWindow();
}

void FrmMain::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // Minimising hides the window; the tray icon brings it back.
    if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized)) hide();
}

void FrmMain::closeEvent(QCloseEvent* event) {
    if (closed_) {
        event->accept();
        return;
    }
    closed_ = true;
    // Nothing of the window's to keep: the service holds the count and the switch.
    captionTimer_.stop();
    service_->SetChangeHandler(nullptr);
    SendTray(platform::NIM_DELETE);
    trayAdded_ = false;
    event->accept();
    QApplication::quit();
}

}  // namespace corvane::ui
