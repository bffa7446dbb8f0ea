#include "private_bus.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>

#include <cstdlib>

#include "platform/dbus/bus_names.h"

namespace corvane::platform::testing {
namespace {

std::string UserName() {
    const passwd* entry = ::getpwuid(::getuid());
    return entry != nullptr ? entry->pw_name : std::to_string(::getuid());
}

QByteArray Config(const QString& socket, PrivateBus::Policy policy) {
    const QByteArray name = bus::kServiceName;
    QByteArray text =
        "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
        " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
        "<busconfig>\n"
        "  <type>session</type>\n"
        "  <listen>unix:path=" +
        socket.toUtf8() +
        "</listen>\n"
        "  <auth>EXTERNAL</auth>\n"
        "  <policy context=\"default\">\n"
        "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
        "    <allow eavesdrop=\"true\"/>\n"
        "    <allow own=\"*\"/>\n"
        "  </policy>\n"
        "  <include>" CORVANE_BUS_POLICY
        "</include>\n"
        "  <policy user=\"" +
        QByteArray::fromStdString(UserName()) +
        "\">\n"
        "    <allow own=\"" +
        name +
        "\"/>\n"
        "    <allow send_destination=\"" +
        name +
        "\"/>\n"
        "    <allow receive_sender=\"" +
        name +
        "\"/>\n"
        "  </policy>\n";
    if (policy == PrivateBus::Policy::kRefuseCalls) {
        text +=
            "  <policy context=\"mandatory\">\n"
            "    <deny send_destination=\"" +
            name +
            "\" send_type=\"method_call\"/>\n"
            "  </policy>\n";
    }
    text += "</busconfig>\n";
    return text;
}

std::unique_ptr<PrivateBus>& TheSystemBus() {
    static std::unique_ptr<PrivateBus> bus;
    return bus;
}

}  // namespace

PrivateBus::PrivateBus(Policy policy) : folder_(QDir::tempPath() + QStringLiteral("/corvane-client-XXXXXX")) {
    if (!folder_.isValid()) {
        failure_ = "no private folder: " + folder_.errorString().toStdString();
        return;
    }
    struct stat info {};
    const QByteArray folder = QFile::encodeName(folder_.path());
    if (::lstat(folder.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid() ||
        (info.st_mode & 0077) != 0) {
        failure_ = "the bus folder " + folder.toStdString() + " is not this user's private folder";
        return;
    }
    const QString configPath = folder_.filePath(QStringLiteral("bus.conf"));
    QFile config(configPath);
    if (!config.open(QIODevice::WriteOnly | QIODevice::NewOnly) ||
        config.write(Config(folder_.filePath(QStringLiteral("bus")), policy)) < 0 || !config.flush()) {
        failure_ = "cannot write the bus configuration: " + config.errorString().toStdString();
        return;
    }
    config.close();

    daemon_ = std::make_unique<QProcess>();
    daemon_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    daemon_->start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--config-file=") + configPath, QStringLiteral("--nofork"),
                    QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")});
    if (!daemon_->waitForStarted(10000)) {
        failure_ = "dbus-daemon (Debian package dbus-daemon) did not start: " + daemon_->errorString().toStdString();
        daemon_.reset();
        return;
    }
    const QDeadlineTimer deadline(10000);
    while (!daemon_->canReadLine() && !deadline.hasExpired() && daemon_->state() == QProcess::Running) {
        daemon_->waitForReadyRead(static_cast<int>(deadline.remainingTime()));
    }
    address_ = QString::fromUtf8(daemon_->readLine()).trimmed().toStdString();
    if (address_.empty()) failure_ = "dbus-daemon did not tell its address";
}

PrivateBus::~PrivateBus() {
    if (!daemon_ || daemon_->state() == QProcess::NotRunning) return;
    daemon_->terminate();
    if (!daemon_->waitForFinished(10000)) {
        daemon_->kill();
        static_cast<void>(daemon_->waitForFinished(10000));
    }
}

std::string PrivateBus::AbsentSocketAddress() const {
    return "unix:path=" + folder_.filePath(QStringLiteral("absent")).toStdString();
}

const PrivateBus& SystemBus() {
    auto& bus = TheSystemBus();
    if (!bus) {
        bus = std::make_unique<PrivateBus>(PrivateBus::Policy::kOpen);
        if (!bus->Address().empty()) ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus->Address().c_str(), 1);
    }
    return *bus;
}

void StopSystemBus() { TheSystemBus().reset(); }

}  // namespace corvane::platform::testing
