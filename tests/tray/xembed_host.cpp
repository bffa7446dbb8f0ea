#include "xembed_host.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include <QToolTip>

#include "child_process.h"
#include "private_session_bus.h"

namespace corvane::platform::testing {
namespace {

struct Connection {
    std::string error;
    std::unique_ptr<XDisplay> display = XDisplay::Open(error);
};

Connection& TheConnection() {
    static Connection connection;
    return connection;
}

XDisplay* Display() { return TheConnection().display.get(); }

constexpr std::chrono::seconds kHostDelay(5);
constexpr char kNoXTest[] =
    "no XTest to click with (the X server lacks it, or this test was built without Debian's libxcb-xtest0-dev)";

class LockFile {
public:
    explicit LockFile(int fd) : fd_(fd) {}
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;
    ~LockFile() {
        if (fd_ >= 0) static_cast<void>(::close(fd_));  // closing also releases the lock
    }
    int fd() const { return fd_; }

private:
    int fd_;
};

// The pointer and the tray's layout are shared by every test on the display: tests that hover and click
// (in other processes too, as ctest runs them side by side) take turns. The turn lasts as long as the process.
std::string WaitForTurnAtTheDisplay() {
    static std::unique_ptr<LockFile> held;
    if (held) return "";
    std::string display = std::getenv("DISPLAY");
    for (char& c : display)
        if (c == '/' || c == ':') c = '_';
    const std::string path = "/tmp/corvane-xembed-tray" + display + ".lock";
    auto lock = std::make_unique<LockFile>(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666));
    if (lock->fd() < 0) return "cannot open " + path + ": " + std::strerror(errno);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (::flock(lock->fd(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) return "cannot lock " + path + ": " + std::strerror(errno);
        if (std::chrono::steady_clock::now() > deadline)
            return "another test kept the X display's tray busy for two minutes (" + path + ")";
        ::usleep(50'000);
    }
    held = std::move(lock);
    return "";
}

int ButtonNumber(Button button) {
    switch (button) {
        case Button::Left:
            return 1;
        case Button::Middle:
            return 2;
        case Button::Right:
            return 3;
    }
    return 1;
}

}  // namespace

std::string XEmbedHost::PrepareDesktop() {
    if (Display() == nullptr) return TheConnection().error;
    if (Display()->TrayOwner() == XCB_WINDOW_NONE)
        return "no XEmbed tray on the display (the test script runs trayer); nobody owns _NET_SYSTEM_TRAY_S0";
    if (!Display()->HasXTest()) return kNoXTest;
    if (auto busy = WaitForTurnAtTheDisplay(); !busy.empty()) return busy;
    return UsePrivateSessionBus();
}

std::optional<ScreenRect> XEmbedHost::IconPlace() {
    const auto windows = Display()->WindowsInTray(::getpid());
    if (windows.size() != 1 || !Display()->Viewable(windows.front())) return std::nullopt;
    auto place = Display()->PlaceOnScreen(windows.front());
    if (!place || place->width <= 0 || place->height <= 0) return std::nullopt;
    return place;
}

bool XEmbedHost::WaitShown() {
    return WaitFor([this] { return IconPlace().has_value(); }, kHostDelay);
}

bool XEmbedHost::WaitGone() {
    return WaitFor([] { return Display()->WindowsInTray(::getpid()).empty(); }, kHostDelay);
}

int XEmbedHost::Shown() { return static_cast<int>(Display()->WindowsInTray(::getpid()).size()); }

// Away from the icon, so no tip covers it and the next arrival on the icon is a fresh one.
bool XEmbedHost::RestPointerAway() {
    if (!Display()->MovePointer(0, 0)) return false;
    WaitFor([] { return !QToolTip::isVisible(); }, std::chrono::seconds(2));
    return true;
}

bool XEmbedHost::WaitForTip(const std::string& tip) {
    if (!RestPointerAway()) return false;
    const auto place = IconPlace();
    if (!place) return false;
    const int x = place->x + place->width / 2;
    const int y = place->y + place->height / 2;
    // Qt merges pointer movements that come together and drops one to where it last saw the pointer, so
    // each visit ends on another point of the icon than the one before.
    static int side = 1;
    side = -side;
    if (!Display()->MovePointer(x - side, y) || !Display()->MovePointer(x + side, y)) return false;
    const bool shown = WaitFor(
        [&] {
            lastTip_ = QToolTip::isVisible() ? QToolTip::text().toStdString() : std::string();
            return lastTip_ == tip;
        },
        kHostDelay);
    RestPointerAway();
    return shown;
}

bool XEmbedHost::WaitForPicture(const TestPicture& picture) {
    if (!RestPointerAway()) return false;
    return WaitFor(
        [&] {
            const auto place = IconPlace();
            if (!place) return false;
            const int x = place->x + place->width / 2;
            lastUpper_ = Display()->ColourAt(x, place->y + place->height * 3 / 10);
            lastLower_ = Display()->ColourAt(x, place->y + place->height * 7 / 10);
            return lastUpper_ && lastLower_ && Near(*lastUpper_, picture.upper) && Near(*lastLower_, picture.lower);
        },
        kHostDelay);
}

bool XEmbedHost::Click(Button button) {
    const auto place = IconPlace();
    if (!place) return false;
    const int number = ButtonNumber(button);
    if (!Display()->MovePointer(place->x + place->width / 2, place->y + place->height / 2)) return false;
    // Other programs' icons coming and going move ours along the tray; press only where it still is.
    const auto still = IconPlace();
    if (!still || still->x != place->x || still->y != place->y) return false;
    return Display()->PressButton(number) && Display()->ReleaseButton(number);
}

bool XEmbedHost::DoubleClick() { return Click(Button::Left) && Click(Button::Left); }

std::string XEmbedHost::Describe() {
    std::string text = "XEmbed tray owner window " + std::to_string(Display()->TrayOwner()) + ", " +
                       std::to_string(Shown()) + " window(s) of this process in the tray";
    if (const auto place = IconPlace())
        text += " at " + std::to_string(place->x) + "," + std::to_string(place->y) + " size " +
                std::to_string(place->width) + "x" + std::to_string(place->height);
    text += "; last tip seen \"" + lastTip_ + "\"";
    if (lastUpper_ && lastLower_)
        text += "; picture upper " + testing::Describe(*lastUpper_) + ", lower " + testing::Describe(*lastLower_);
    return text;
}

namespace {

struct OwnDisplay {
    std::string failure;
    std::optional<ChildProcess> server;
    std::optional<ChildProcess> tray;
};

OwnDisplay StartOwnDisplay() {
    OwnDisplay own;
    // The server picks a free display number and writes it once it accepts clients.
    auto server = ChildProcess::Start({"Xvfb", "-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"},
                                      {}, ChildProcess::Output::Captured, own.failure);
    if (!server) {
        own.failure = "no X server of the test's own (Debian package xvfb): " + own.failure;
        return own;
    }
    const auto number = server->ReadLine(std::chrono::seconds(20));
    if (!number || number->empty()) {
        own.failure = "Xvfb did not report its display";
        return own;
    }
    ::setenv("DISPLAY", (":" + *number).c_str(), 1);
    own.server = std::move(server);
    return own;
}

OwnDisplay& TheOwnDisplay() {
    static OwnDisplay own = StartOwnDisplay();
    return own;
}

}  // namespace

std::string LateXEmbedHost::PrepareDesktop() {
    if (!TheOwnDisplay().failure.empty()) return TheOwnDisplay().failure;
    if (Display() == nullptr) return TheConnection().error;
    if (Display()->TrayOwner() != XCB_WINDOW_NONE) return "the test's own display has a tray already";
    if (!Display()->HasXTest()) return kNoXTest;
    return UsePrivateSessionBus();
}

bool LateXEmbedHost::StartTray() {
    auto& own = TheOwnDisplay();
    std::string error;
    own.tray = ChildProcess::Start(
        {"trayer", "--edge", "bottom", "--align", "right", "--widthtype", "pixel", "--width", "200", "--height", "24"},
        {}, ChildProcess::Output::Captured, error);
    if (!own.tray) return false;
    return WaitFor([] { return Display()->TrayOwner() != XCB_WINDOW_NONE; }, std::chrono::seconds(10));
}

}  // namespace corvane::platform::testing
