#include "ui/main/frm_main.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEvent>
#include <QGuiApplication>

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

// How long a later start may take to send its request once it has connected.
constexpr std::chrono::milliseconds kRequestWait{500};

// A Wayland client draws its own frame (the caption included) and cannot restore or raise its own
// window: the compositor decides. "wayland", "wayland-egl", …
bool OnWayland() { return QGuiApplication::platformName().startsWith(QLatin1String("wayland")); }

}  // namespace

FrmMain::FrmMain(std::string programFolder, std::unique_ptr<platform::ProtectionService> service)
    : programFolder_(std::move(programFolder)), service_(std::move(service)) {
    InitResources();
    captionTimer_.setSingleShot(true);
    connect(&captionTimer_, &QTimer::timeout, this, &FrmMain::ShowLatestCount);
    iconOn_ = platform::LoadIconResource(kWindowIcon);
    iconOff_ = platform::LoadIconResource(kProtectionOffIcon);
    setWindowIcon(QIcon(QString::fromLatin1(kWindowIcon)));
    setWindowFlags(kWindowFlags);
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
        connect(tray, &buttons::zqButtons_H::Click, this, &FrmMain::Minimise);
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
    const auto sayError = [self](const platform::ShellResult& failed) {
        // A window closed meanwhile has nobody left to tell.
        if (platform::WindowOf(self) == nullptr) return;
        static_cast<void>(platform::MessageBox(self, "Error:" + std::to_string(failed.error) + " " + failed.description,
                                               "Corvane", platform::MessageBoxIcon::Information));
    };
    // The opener can fail at once (there is none) or after it started (no browser to hand the page to);
    // the second is told when it ends, without the window waiting for it.
    const platform::ShellResult opened =
        platform::OpenUrl(self, update::AddressesFor(service_->Status().updateServer).HelpPage(), sayError);
    if (!opened.Succeeded()) sayError(opened);
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

void FrmMain::HoldInstance(std::unique_ptr<platform::NamedMutex> mutex) {
    mutex_ = std::move(mutex);
    WatchChannels();
}

void FrmMain::WatchChannels() {
    channelWatches_.clear();
    if (!mutex_) return;
    for (const int channel : mutex_->Channels())
        channelWatches_.push_back(
            std::make_unique<platform::DescriptorWatch>(channel, [this, channel] { TakeRequests(channel); }));
}

void FrmMain::TakeRequests(int channel) {
    // One request each time the channel is readable; the watch comes back for the next.
    std::optional<platform::ShowRequest> request = platform::TakeShowRequest(channel, kRequestWait);
    if (!request) return;
    Activate(request->Token());
    static_cast<void>(request->Answer());  // a start that gave up waiting has nothing to be told
}

void FrmMain::Load() {
    // 1. The named mutex, held until the process ends (the program takes it before anything else),
    // and its channels, through which later starts ask for the window.
    if (!mutex_) {
        auto mutex = std::make_unique<platform::NamedMutex>("Corvane");
        if (mutex->Held() && mutex->Channels().empty()) {
            if (const std::string why = mutex->Listen(); !why.empty())
                qWarning("FrmMain: later starts cannot reach this window: %s", why.c_str());
        }
        HoldInstance(std::move(mutex));
    }

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
    if (ProtectionNotWorking(status) != notWorking_) {
        ShowStatus();  // protection stopped or started working
        return;
    }
    // The switch follows changes of the service's protection, from this window or any other client. A
    // change of something else leaves what the switch shows alone: this window's own request may not
    // have come back yet.
    if (status.protection != seenProtection_) {
        seenProtection_ = status.protection;
        ShowProtection(status.protection);
    }
    if (!notWorking_ && status.attempts != shownCount_) CountChanged();
}

void FrmMain::ShowStatus() {
    const platform::ServiceStatus& status = service_->Status();
    shownLink_ = status.link;
    notWorking_ = ProtectionNotWorking(status);
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
    if (notWorking_) {
        // The switch stays as the user set it; the caption, the tip and the icon say nothing is torn
        // down, and the count waits until teardowns work again.
        captionTimer_.stop();
        SetCaption(NotWorkingCaption());
        SendTray(platform::NIM_MODIFY);
        return;
    }
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
    trayIconData_.hIcon = on && !notWorking_ ? iconOn_ : iconOff_;
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
    if (status.link != platform::ServiceStatus::Link::kConnected || notWorking_ || status.attempts == shownCount_)
        return;
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
    const QString title = QString::fromStdString(caption);
    if (title != windowTitle()) {
        setWindowTitle(title);
        // A Wayland client draws its caption in its own frame, which is drawn again only with the
        // window's next frame: ask for one, so every change of the count shows at once.
        if (OnWayland() && isVisible()) update();
    }
    mSysTray::SetTrayTip(trayIconData_, caption);
}

void FrmMain::SendTray(std::uint32_t message) {
    // Without a tray host the record still changes; the icon shows it once a host appears.
    static_cast<void>(platform::Shell_NotifyIconA(message, trayIconData_));
}

void FrmMain::TrayMouseMove(std::uint32_t x) {
    if (!mSysTray::RestoresWindow(x)) return;
    Activate();
}

void FrmMain::Activate(const std::string& token) {
    if (closed_) return;
    const bool minimised = (windowState() & Qt::WindowMinimized) != 0;
    if (OnWayland()) {
        // Nothing in the Wayland protocol restores a minimised window or raises one from the client's
        // side; a window mapped afresh comes on top. An activation token lets the compositor give it
        // the focus (Qt hands it over with the next activation request).
        if (isVisible() && (minimised || token.empty())) hide();
        if (!token.empty()) qputenv("XDG_ACTIVATION_TOKEN", QByteArray::fromStdString(token));
    }
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void FrmMain::Minimise() { setWindowState(windowState() | Qt::WindowMinimized); }

bool FrmMain::TrayHostPresent() const { return trayHostProbe_ ? trayHostProbe_() : platform::TrayHostAvailable(); }

void FrmMain::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // Minimising hides the window when a tray host shows the icon that brings it back. Without one
    // the window stays minimised on the task bar, the way back a desktop without a tray has.
    if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized) && TrayHostPresent())
        hide();
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
