#include "ui/main/frm_main.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEvent>

#include <chrono>

#include "platform/message_loop.h"
#include "settings/settings_table.h"
#include "ui/main/m_sys_tray.h"
#include "ui/main/resources.h"
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

    // 6, 8, 10. The settings (each read makes sure the key exists first).
    const settings::StartupSettings stored = settings::ReadStartupSettings();

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

    // 10, 11, 12. The count, in the caption and the tip.
    firewall_->SetBlockedCount(stored.blocked_count);
    countSaved_ = false;  // the first save of a run always writes, as the close always did
    SetCaption(windowTitle().toStdString() + " - " + std::to_string(stored.blocked_count) + " Attempts Blocked");
    SendTray(platform::NIM_MODIFY);
}

bool FrmMain::ProtectionOn() const { return protectionOn_; }

void FrmMain::ShowProtection(bool on) {
    protectionOn_ = on;
    ApplySwitchLook();
    tFire_.SetEnabled(on);
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
    QueryClose();
    tFire_.SetEnabled(false);
    SendTray(platform::NIM_DELETE);
    trayAdded_ = false;
    event->accept();
    QApplication::quit();
}

}  // namespace corvane::ui
