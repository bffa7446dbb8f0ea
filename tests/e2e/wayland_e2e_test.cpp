// The built window in a Wayland session: a headless compositor of the test's own (weston, drawing in
// memory with its pixman renderer) run as the user, on the user's private runtime folder; the service as
// its unit runs it on a private system bus. What the window asks of the compositor is read from
// weston's protocol log, what it draws from weston's screenshots. The headless compositor has no input
// devices, so pointer hover is covered by the button tests (leave events end the hover there).
#include <gtest/gtest.h>

#include <QImage>
#include <QRect>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "../engine/private_network.h"
#include "../service/service_harness.h"
#include "desktop.h"
#include "desktop_user.h"
#include "ui/main/window_captions.h"

namespace corvane::e2e {
namespace {

namespace fs = std::filesystem;
namespace harness = service::testing;
using namespace std::chrono_literals;

constexpr char kListed[] = "127.0.0.2";
constexpr char kDefinitions[] = "V007\r\n127.0.0.2\r\n";
constexpr char kSocket[] = "wl-corvane";
constexpr QRgb kBackground = 0xff204060;
// The frame Qt draws around the window on Wayland: its caption row is at the top.
constexpr int kCaptionRows = 28;
constexpr auto kSlack = 20s;

std::string ReadAll(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::size_t Occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

// weston on the headless backend, as `user`, with its protocol log in the user's home.
class HeadlessCompositor {
public:
    std::string Start(const DesktopUser& user) {
        user_ = &user;
        const fs::path config = user.Home() / "weston.ini";
        // No fading or zooming: every screenshot shows the output as the clients drew it.
        std::ofstream(config) << "[core]\nidle-time=0\n[shell]\npanel-position=none\nbackground-color=0xff204060\n"
                                 "startup-animation=none\nanimation=none\nclose-animation=none\n";
        fs::permissions(config, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
        log_ = user.Home() / "weston.log";
        process_ = Spawn(user.As({"weston", "--backend=headless-backend.so", "--use-pixman", "--width=1024",
                                  "--height=768", std::string("--socket=") + kSocket, "--config=" + config.string(),
                                  // --debug: the protocol log and the screenshooter
                                  "--debug", "--logger-scopes=proto", "--log=" + log_.string()}),
                         Environment(), (user.Home() / "weston.out").string(), EnvMode::kExactly);
        if (!WaitFor([&] { return !process_.Running() || fs::exists(user.Runtime() / kSocket); }, kSlack) ||
            !process_.Running())
            return "weston did not start: " + ReadAll(user.Home() / "weston.out");
        return {};
    }

    std::vector<std::string> Environment() const {
        std::vector<std::string> env = user_->Environment({}, {});
        env.push_back(std::string("WAYLAND_DISPLAY=") + kSocket);
        return env;
    }
    std::string ProtocolLog() const { return ReadAll(log_); }
    bool Titled(const std::string& caption) const {
        return ProtocolLog().find("set_title(\"" + caption + "\")") != std::string::npos;
    }

    // The whole output as the compositor draws it.
    QImage Screenshot() const {
        const harness::CommandResult shot = harness::Run(
            user_->As({"sh", "-c",
                       "d=$(mktemp -d -p \"$HOME\") && cd \"$d\" && weston-screenshooter >/dev/null 2>&1 && "
                       "ls \"$d\"/*.png"}),
            Environment());
        if (!shot.Succeeded()) return {};
        std::string path = shot.out;
        while (!path.empty() && (path.back() == '\n' || path.back() == ' ')) path.pop_back();
        QImage image(QString::fromStdString(path));
        std::error_code ignored;
        fs::remove_all(fs::path(path).parent_path(), ignored);
        return image.convertToFormat(QImage::Format_RGB32);
    }

private:
    const DesktopUser* user_ = nullptr;
    fs::path log_;
    Child process_;
};

// Where something other than the background is drawn: the window with its frame.
std::optional<QRect> DrawnArea(const QImage& image) {
    QRect area;
    for (int y = 0; y < image.height(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x)
            if ((row[x] | 0xff000000) != kBackground) area |= QRect(x, y, 1, 1);
    }
    if (area.width() < 300 || area.height() < 150) return std::nullopt;
    return area;
}

// How many pixels of an area differ between two pictures of the same window.
int PixelsChanged(const QImage& before, const QImage& after, const QRect& area) {
    int changed = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (before.pixel(x, y) != after.pixel(x, y)) ++changed;
    return changed;
}

class WindowOnWayland : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::geteuid(), 0u) << "the end-to-end tests run as root";
        ASSERT_EQ(harness::EnsureServiceAccounts(), "");
        ASSERT_TRUE(fs::exists("/usr/bin/weston") && fs::exists("/usr/bin/weston-screenshooter"))
            << "weston is missing: scripts/deps.sh installs it";
        ASSERT_EQ(bus_.Start(), "");
        service_ = std::make_unique<harness::ServiceUnderTest>(bus_);
        ASSERT_EQ(service_->WriteDefinitions(kDefinitions), "");
        ASSERT_EQ(service_->Start(), "");
        user_ = std::make_unique<DesktopUser>("nobody", Membership::kMember, folders_.Path());
        ASSERT_EQ(user_->Error(), "");
        ASSERT_EQ(user_->SetSetting("Tray", "0"), "");
        ASSERT_EQ(compositor_.Start(*user_), "");
    }
    void TearDown() override {
        if (HasFailure() && user_) std::fprintf(stderr, "the windows said:\n%s\n", user_->Log().c_str());
    }

    Child StartWindow() {
        std::vector<std::string> env = compositor_.Environment();
        env.push_back("QT_QPA_PLATFORM=wayland");
        return user_->StartWindowOn({}, bus_.Address(), env);
    }

    // A listed connection, torn down by the service: the count goes up by one.
    void Block() {
        auto listener = engine::testing::Listen(kListed);
        ASSERT_TRUE(listener.Valid());
        auto connection = engine::testing::Connect(kListed, engine::testing::LocalPort(listener.Get()));
        // Torn down during the connect itself, or right after it.
        if (!connection.Valid()) return;
        ASSERT_TRUE(WaitFor([&] { return engine::testing::ConnectionError(connection.Get()) != 0; }, kSlack));
    }

    harness::TempDir folders_{"corvane-wl"};
    harness::PrivateSystemBus bus_;
    std::unique_ptr<harness::ServiceUnderTest> service_;
    std::unique_ptr<DesktopUser> user_;
    HeadlessCompositor compositor_;
};

TEST_F(WindowOnWayland, TheDrawnCaptionFollowsTheCountAndASecondStartBringsTheWindowBack) {
    Child program = StartWindow();
    // Drawn, with the service's count in its caption.
    QImage before;
    std::optional<QRect> window;
    ASSERT_TRUE(WaitFor(
        [&] {
            if (!compositor_.Titled(ui::StartupCaption(0))) return false;
            before = compositor_.Screenshot();
            return (window = DrawnArea(before)).has_value();
        },
        kSlack))
        << "no window drawn";
    EXPECT_TRUE(program.Running());
    // Qt's own frame: the window's 603 x 289 and its caption row above.
    EXPECT_GE(window->width(), 603);
    EXPECT_GE(window->height(), 289 + kCaptionRows / 2);

    // A block: the caption the window asks for, and the caption drawn in its frame, change at once
    // (nothing else in the window changes to draw it again).
    Block();
    EXPECT_TRUE(WaitFor([&] { return compositor_.Titled(ui::BlockedCaption(1)); }, kSlack));
    QImage after;
    EXPECT_TRUE(WaitFor(
        [&] {
            after = compositor_.Screenshot();
            return !after.isNull() &&
                   PixelsChanged(before, after, QRect(window->topLeft(), QSize(window->width(), kCaptionRows))) > 20;
        },
        5s))
        << "the drawn caption stayed as it was";
    // Drawn again for its caption, the window is the same inside (its 603 x 289 at the bottom of its frame,
    // whose sides are as thick as its bottom), its picture under the switch to the pixel.
    const int side = (window->width() - 603) / 2;
    EXPECT_EQ(PixelsChanged(before, after, QRect(window->left() + side, window->bottom() + 1 - side - 289, 603, 289)),
              0);

    // A second start: it ends at once, and the running window is mapped afresh (a Wayland client's
    // only way to the front), with its caption.
    const std::size_t mapped = Occurrences(compositor_.ProtocolLog(), ".get_toplevel(");
    Child second = StartWindow();
    EXPECT_EQ(second.WaitExit(kSlack), 0);
    EXPECT_TRUE(WaitFor([&] { return Occurrences(compositor_.ProtocolLog(), ".get_toplevel(") > mapped; }, kSlack));
    EXPECT_TRUE(WaitFor([&] { return DrawnArea(compositor_.Screenshot()).has_value(); }, kSlack));
    EXPECT_GE(Occurrences(compositor_.ProtocolLog(), "set_title(\"" + ui::BlockedCaption(1) + "\")"), 2u);
    EXPECT_TRUE(program.Running());
}

}  // namespace
}  // namespace corvane::e2e
