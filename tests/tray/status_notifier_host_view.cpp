#include "status_notifier_host_view.h"

#include <unistd.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

#include "child_process.h"
#include "private_session_bus.h"
#include "x_display.h"

namespace corvane::platform::testing {
namespace {

constexpr std::chrono::seconds kHostDelay(5);
constexpr int kCallTimeoutMs = 5000;

struct Panel {
    std::string failure;
    std::optional<ChildProcess> process;
};

std::optional<ChildProcess> StartPanelProcess(std::string& failure) {
    auto process = ChildProcess::Start({CORVANE_FAKE_SNI_HOST}, {}, ChildProcess::Output::Captured, failure);
    if (!process) return std::nullopt;
    const auto line = process->ReadLine(std::chrono::seconds(10));
    if (!line || *line != "ready") {
        failure = "the stand-in StatusNotifierItem host did not start";
        return std::nullopt;
    }
    return process;
}

Panel StartPanel() {
    Panel panel;
    panel.failure = UsePrivateSessionBus();
    if (panel.failure.empty()) panel.process = StartPanelProcess(panel.failure);
    return panel;
}

Panel& ThePanel() {
    static Panel panel = StartPanel();
    return panel;
}

QDBusMessage CallPanel(const char* method, const QVariantList& arguments) {
    auto call =
        QDBusMessage::createMethodCall(QStringLiteral("org.kde.StatusNotifierWatcher"), QStringLiteral("/Control"),
                                       QStringLiteral("org.corvane.test.TrayHost"), QLatin1String(method));
    call.setArguments(arguments);
    return QDBusConnection::sessionBus().call(call, QDBus::Block, kCallTimeoutMs);
}

// A pixel of an ARGB32 picture in network byte order.
std::optional<QColor> PixelAt(const QByteArray& argb, int width, int height, int x, int y) {
    const qsizetype offset = (static_cast<qsizetype>(y) * width + x) * 4;
    if (width <= 0 || height <= 0 || argb.size() != static_cast<qsizetype>(width) * height * 4) return std::nullopt;
    const auto* pixel = reinterpret_cast<const unsigned char*>(argb.constData() + offset);
    return QColor(pixel[1], pixel[2], pixel[3], pixel[0]);
}

}  // namespace

std::string StatusNotifierHostView::PrepareDesktop() {
    std::string error;
    if (XDisplay::Open(error) == nullptr) return error;
    return ThePanel().failure;
}

bool StatusNotifierHostView::RestartPanel() {
    auto& panel = ThePanel();
    panel.process.reset();  // ends the panel; its name leaves the bus
    panel.process = StartPanelProcess(panel.failure);
    return panel.process.has_value();
}

std::optional<QStringList> StatusNotifierHostView::Items() {
    const auto reply = CallPanel("Items", {});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return std::nullopt;
    return reply.arguments().front().toStringList();
}

std::optional<QString> StatusNotifierHostView::Item() {
    const auto items = Items();
    if (!items || items->size() != 1) return std::nullopt;
    return items->front();
}

bool StatusNotifierHostView::WaitShown() {
    // The item must be this process's: the bus knows which process owns the name it registered under.
    return WaitFor(
        [this] {
            const auto item = Item();
            if (!item) return false;
            const QString service = item->left(item->indexOf(QLatin1Char('/')));
            const auto owner = QDBusConnection::sessionBus().interface()->servicePid(service);
            return owner.isValid() && owner.value() == static_cast<uint>(::getpid());
        },
        kHostDelay);
}

bool StatusNotifierHostView::WaitGone() {
    return WaitFor(
        [this] {
            const auto items = Items();
            return items && items->isEmpty();
        },
        kHostDelay);
}

int StatusNotifierHostView::Shown() {
    const auto items = Items();
    return items ? static_cast<int>(items->size()) : -1;
}

bool StatusNotifierHostView::WaitForTip(const std::string& tip) {
    return WaitFor(
        [&] {
            const auto item = Item();
            if (!item) return false;
            const auto reply = CallPanel("ToolTip", {*item});
            lastTip_ = reply.arguments().isEmpty() ? std::string() : reply.arguments().front().toString().toStdString();
            return lastTip_ == tip;
        },
        kHostDelay);
}

bool StatusNotifierHostView::WaitForPicture(const TestPicture& picture) {
    return WaitFor(
        [&] {
            const auto item = Item();
            if (!item) return false;
            const auto reply = CallPanel("Picture", {*item});
            if (reply.arguments().size() != 3) return false;
            const QByteArray argb = reply.arguments().at(0).toByteArray();
            lastWidth_ = reply.arguments().at(1).toInt();
            lastHeight_ = reply.arguments().at(2).toInt();
            lastUpper_ = PixelAt(argb, lastWidth_, lastHeight_, lastWidth_ / 2, lastHeight_ * 3 / 10);
            lastLower_ = PixelAt(argb, lastWidth_, lastHeight_, lastWidth_ / 2, lastHeight_ * 7 / 10);
            return lastUpper_ && lastLower_ && lastUpper_->alpha() == 255 && lastLower_->alpha() == 255 &&
                   Near(*lastUpper_, picture.upper) && Near(*lastLower_, picture.lower);
        },
        kHostDelay);
}

bool StatusNotifierHostView::Click(Button button) {
    const auto item = Item();
    if (!item) return false;
    const char* method = button == Button::Left    ? "Activate"
                         : button == Button::Right ? "ContextMenu"
                                                   : "SecondaryActivate";
    const auto reply = CallPanel("Click", {*item, QString::fromLatin1(method)});
    return !reply.arguments().isEmpty() && reply.arguments().front().toBool();
}

std::string StatusNotifierHostView::Describe() {
    const auto items = Items();
    std::string text = "StatusNotifierItem host " +
                       (items ? "shows [" + items->join(QStringLiteral(", ")).toStdString() + "]" : "does not answer") +
                       "; last tip seen \"" + lastTip_ + "\"";
    if (lastUpper_ && lastLower_)
        text += "; picture " + std::to_string(lastWidth_) + "x" + std::to_string(lastHeight_) + " upper " +
                testing::Describe(*lastUpper_) + ", lower " + testing::Describe(*lastLower_);
    return text;
}

}  // namespace corvane::platform::testing
