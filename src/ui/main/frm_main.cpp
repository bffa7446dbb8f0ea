#include "ui/main/frm_main.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEvent>

#include <chrono>

#include "platform/message_box.h"
#include "platform/message_loop.h"
#include "platform/shell.h"
#include "settings/settings_table.h"
#include "ui/main/m_sys_tray.h"
#include "ui/main/resources.h"
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

FrmMain::FrmMain(std::string programFolder, FirewallFactory makeFirewall)
    : programFolder_(std::move(programFolder)),
      makeFirewall_(std::move(makeFirewall)),
      tFire_([this] { OnFireTick(); }) {
    InitResources();
    tFire_.SetInterval(std::chrono::milliseconds(1));
    countSave_.setSingleShot(true);
    countSave_.setInterval(kCountSaveDelay);
    connect(&countSave_, &QTimer::timeout, this, &FrmMain::SaveCount);
    iconOn_ = platform::LoadIconResource(kWindowIcon);
    iconOff_ = platform::LoadIconResource(kProtectionOffIcon);
    setWindowIcon(QIcon(QString::fromLatin1(kWindowIcon)));
    setWindowTitle(QStringLiteral("Corvane"));  // the caption at creation
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
    FrmAll options(this, programFolder_, firewall_ ? firewall_->DefsVersion() : std::string());
    options.OfferTab(tab);
    options.exec();
}

void FrmMain::OpenHelpPage() {
    const platform::WindowHandle self = platform::HandleOf(this);
    const platform::ShellResult opened = platform::OpenUrl(self, update::ReadUpdateAddresses().HelpPage());
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

    // 5. The definitions.
    firewall_ = makeFirewall_(*this);
    firewall_->LoadDefinitions(programFolder_);

    // 6, 8, 10. The settings (each read makes sure the key exists first). The stored count is the
    // engine's before protection starts: the event engine blocks from step 7 on, during start-up.
    const settings::StartupSettings stored = settings::ReadStartupSettings();
    firewall_->SetBlockedCount(stored.blocked_count);

    // 7. Protection as "Run" says; the tray icon shows it.
    ShowProtection(stored.protection_on);
    trayIconData_.hIcon = stored.protection_on ? iconOn_ : iconOff_;
    trayAdded_ = platform::Shell_NotifyIconA(platform::NIM_ADD, trayIconData_);
    SendTray(platform::NIM_MODIFY);

    // 9. Shown, or only the tray icon. Without a tray host the icon is no way back to a hidden window;
    // at login the panel may start after the program, so the window waits a few seconds for a host
    // (the icon appears as soon as one comes) and shows itself only if none does.
    auto showWindow = [this] {
        setWindowState(Qt::WindowNoState);
        show();
    };
    if (!stored.start_in_tray)
        showWindow();
    else if (!trayAdded_)
        trayHostWait_.Start(kTrayHostWait, [this, showWindow](bool found) {
            if (!found && !closed_) showWindow();
        });

    // 10, 11, 12. The count, in the caption and the tip (unless a block during start-up showed its own).
    countSaved_ = false;  // the first save of a run always writes, as the close always did
    if (firewall_->BlockedCount() == stored.blocked_count) {
        SetCaption(windowTitle().toStdString() + " - " + std::to_string(stored.blocked_count) + " Attempts Blocked");
        SendTray(platform::NIM_MODIFY);
    }
}

bool FrmMain::ProtectionOn() const { return protectionOn_; }

void FrmMain::ShowProtection(bool on) {
    protectionOn_ = on;
    ApplySwitchLook();
    // The timer runs only for the timer engine; the event engine is told instead.
    tFire_.SetEnabled(on && firewall_ && firewall_->UsesTimer());
    if (firewall_) firewall_->SetProtection(on);
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
    ShowProtection(on);
    static_cast<void>(settings::SaveProtection(on));  // refused without rights: this run still changes
    trayIconData_.hIcon = on ? iconOn_ : iconOff_;
    SendTray(platform::NIM_MODIFY);
}

void FrmMain::OnFireTick() {
    if (firewall_) firewall_->Tick();
}

void FrmMain::SetCaption(const std::string& caption) {
    setWindowTitle(QString::fromStdString(caption));
    mSysTray::SetTrayTip(trayIconData_, caption);
}

void FrmMain::SendTray(std::uint32_t message) {
    // Without a tray host the record still changes; the icon shows it once a host appears.
    static_cast<void>(platform::Shell_NotifyIconA(message, trayIconData_));
}

void FrmMain::Yield() { platform::Yield(); }

void FrmMain::ShowBlockedCaption(const std::string& caption) {
    SetCaption(caption);
    SendTray(platform::NIM_MODIFY);
    if (!countSave_.isActive() && !closed_) countSave_.start();
}

bool FrmMain::WatchDescriptor(int fd, std::function<void()> onReadable) {
    // An ended watch is only disabled: it may be ending from inside its own callback.
    if (fd < 0) {
        if (engineWatch_) engineWatch_->SetEnabled(false);
    } else {
        engineWatch_ = std::make_unique<platform::DescriptorWatch>(fd, std::move(onReadable));
    }
    return true;
}

void FrmMain::EngineChanged() { tFire_.SetEnabled(protectionOn_ && firewall_ && firewall_->UsesTimer()); }

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

void FrmMain::SaveCount() {
    if (!firewall_) return;  // not loaded: nothing counted
    const std::int32_t count = firewall_->BlockedCount();
    if (countSaved_ && count == savedCount_) return;
    // Refused without rights under the machine-wide settings: the count is then simply not saved, and
    // the next save tries again.
    countSaved_ = settings::SaveAttempts(count);
    savedCount_ = count;
}

void FrmMain::QueryClose() {
    countSave_.stop();
    SaveCount();
}

void FrmMain::closeEvent(QCloseEvent* event) {
    if (closed_) {
        event->accept();
        return;
    }
    closed_ = true;
    // A scan yielding right now must not tear down (and count) anything after the count is saved.
    if (firewall_) firewall_->Stop();
    QueryClose();
    tFire_.SetEnabled(false);
    SendTray(platform::NIM_DELETE);
    trayAdded_ = false;
    event->accept();
    QApplication::quit();
}

}  // namespace corvane::ui
