// The protection service as its clients reach it: Qt D-Bus on the system bus (platform/protection_service.h).
//
// Each client object has a connection of its own to the system bus (the bus DBUS_SYSTEM_BUS_ADDRESS names,
// else the standard one), so it can connect again after the bus itself went away. The status is read with
// org.freedesktop.DBus.Properties.GetAll, then kept current from the service's PropertiesChanged signal and
// from its name coming and going on the bus. Every call blocks for a bounded time only: a service that hangs
// costs a client a few seconds, never its window.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusServiceWatcher>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "platform/dbus/bus_names.h"
#include "platform/unique_fd.h"
#include "platform/protection_service.h"

namespace corvane::platform {
namespace {

using platform::UniqueFd;

// Reading values and switching protection are quick for a service that works; checking and loading a
// definitions file of some hundred thousand lines takes longer.
constexpr int kCallTimeoutMs = 5000;
constexpr int kLoadTimeoutMs = 15000;

const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

// One line of text for the user: an error message from the bus may run over several.
std::string OneLine(const QString& text) {
    QString line = text.simplified();
    return line.toStdString();
}

std::string NotRunningText() { return "The Corvane service is not running: nothing is protected."; }

std::string NoBusText() {
    return "There is no system bus here: the Corvane service cannot be reached and nothing is protected.";
}

std::string RefusedText() {
    return std::string("The Corvane service refuses this user: only root and members of the group \"") +
           bus::kControlGroup + "\" may use it.";
}

// Why a connection to the system bus failed: there is none, or one that would not take this connection.
std::string NoBusProblem(const QDBusError& error) {
    const QString name = error.name();
    if (name == QLatin1String("org.freedesktop.DBus.Error.FileNotFound") ||
        name == QLatin1String("org.freedesktop.DBus.Error.NoServer") || error.message().isEmpty()) {
        return NoBusText();
    }
    return "The system bus cannot be reached, so neither can the Corvane service: " + OneLine(error.message());
}

std::string NoAnswerText() { return "The Corvane service does not answer."; }

std::string NotUnderstoodText() { return "The Corvane service gave an answer this program does not understand."; }

ServiceResult Result(ServiceResult::Code code, std::string message) { return ServiceResult{code, std::move(message)}; }

// "What happened: what the service said." The service's own words are a phrase, not a sentence.
std::string Sentence(const std::string& what, const std::string& told) {
    if (told.empty()) return what + ".";
    const char last = told.back();
    return what + ": " + told + (last == '.' || last == '!' || last == '?' ? "" : ".");
}

// What a D-Bus error reply means to the user.
ServiceResult FromError(const QDBusMessage& reply) {
    using Code = ServiceResult::Code;
    const QString name = reply.errorName();
    const std::string told = OneLine(reply.errorMessage());
    const auto is = [&name](const char* candidate) { return name == QLatin1String(candidate); };

    // The bus policy's refusal (its own message names match rules, not reasons a user can act on).
    if (is("org.freedesktop.DBus.Error.AccessDenied") || is("org.freedesktop.DBus.Error.AuthFailed") ||
        is("org.freedesktop.DBus.Error.InteractiveAuthorizationRequired")) {
        return Result(Code::kRefused, RefusedText());
    }
    // The service's own refusal names no group a user could ask to join; this does.
    if (is(bus::kErrorAccessDenied)) return Result(Code::kRefused, RefusedText());
    if (is("org.freedesktop.DBus.Error.ServiceUnknown") || is("org.freedesktop.DBus.Error.NameHasNoOwner") ||
        name.startsWith(QLatin1String("org.freedesktop.DBus.Error.Spawn."))) {
        return Result(Code::kUnreachable, NotRunningText());
    }
    if (is("org.freedesktop.DBus.Error.Disconnected") || is("org.freedesktop.DBus.Error.NoServer") ||
        is("org.freedesktop.DBus.Error.NoNetwork")) {
        return Result(Code::kUnreachable, NoBusText());
    }
    if (is("org.freedesktop.DBus.Error.NoReply") || is("org.freedesktop.DBus.Error.Timeout") ||
        is("org.freedesktop.DBus.Error.TimedOut")) {
        return Result(Code::kFailed, NoAnswerText());
    }
    if (is(bus::kErrorInvalidDefinitions)) {
        return Result(Code::kInvalid, Sentence("The definitions were not installed", told));
    }
    if (is("org.freedesktop.DBus.Error.InvalidArgs")) {
        return Result(Code::kInvalid, Sentence("The Corvane service found the request invalid", told));
    }
    if (is(bus::kErrorFailed)) return Result(Code::kFailed, Sentence("The Corvane service could not do it", told));
    if (is("org.freedesktop.DBus.Error.UnknownMethod") || is("org.freedesktop.DBus.Error.UnknownInterface") ||
        is("org.freedesktop.DBus.Error.UnknownObject") || is("org.freedesktop.DBus.Error.UnknownProperty")) {
        return Result(Code::kFailed, "The Corvane service running here does not match this program's version.");
    }
    return Result(Code::kFailed, Sentence("The Corvane service failed", told.empty() ? name.toStdString() : told));
}

// The values of the interface's properties found in `values` (GetAll's answer, or PropertiesChanged's
// changed values), each taken only when it has its declared type.
void Merge(const QVariantMap& values, ServiceStatus& status) {
    const auto text = [&values](const char* property, std::string& into) {
        const auto found = values.constFind(QLatin1String(property));
        if (found != values.constEnd() && found->typeId() == QMetaType::QString) into = found->toString().toStdString();
    };
    if (const auto found = values.constFind(QLatin1String(bus::kPropProtection));
        found != values.constEnd() && found->typeId() == QMetaType::Bool) {
        status.protection = found->toBool();
    }
    if (const auto found = values.constFind(QLatin1String(bus::kPropAttempts));
        found != values.constEnd() && found->typeId() == QMetaType::Int) {
        status.attempts = found->toInt();
    }
    text(bus::kPropDefinitionsVersion, status.definitionsVersion);
    text(bus::kPropEngine, status.engine);
    text(bus::kPropEngineReason, status.engineReason);
    text(bus::kPropLayers, status.layers);
    text(bus::kPropUpdateServer, status.updateServer);
    text(bus::kPropProblem, status.protectionProblem);
    if (const auto found = values.constFind(QLatin1String(bus::kPropLists)); found != values.constEnd()) {
        const QDBusArgument argument = qvariant_cast<QDBusArgument>(*found);
        if (argument.currentSignature() == QLatin1String(bus::kListsSignature)) {
            status.lists.clear();
            argument.beginArray();
            while (!argument.atEnd()) {
                QString path;
                QString why;
                ListInForce list;
                argument.beginStructure();
                argument >> path >> why >> list.addresses4 >> list.prefixes4 >> list.addresses6 >> list.prefixes6 >>
                    list.brokenLines;
                argument.endStructure();
                list.path = path.toStdString();
                list.refusedWhy = why.toStdString();
                status.lists.push_back(std::move(list));
            }
            argument.endArray();
        }
    }
    if (const auto found = values.constFind(QLatin1String(bus::kPropListProblems));
        found != values.constEnd() && found->typeId() == QMetaType::QStringList) {
        status.listProblems.clear();
        for (const QString& line : found->toStringList()) status.listProblems.push_back(line.toStdString());
    }
}

bool SameStatus(const ServiceStatus& a, const ServiceStatus& b) {
    return a.link == b.link && a.problem == b.problem && a.protection == b.protection && a.attempts == b.attempts &&
           a.definitionsVersion == b.definitionsVersion && a.engine == b.engine && a.engineReason == b.engineReason && a.layers == b.layers &&
           a.updateServer == b.updateServer && a.protectionProblem == b.protectionProblem && a.lists == b.lists &&
           a.listProblems == b.listProblems;
}

ServiceStatus LinkDown(ServiceStatus::Link link, std::string problem) {
    ServiceStatus status;
    status.link = link;
    status.problem = std::move(problem);
    return status;
}

// A file handed to the service as the service should read it: from its first byte, whatever the caller's
// own offset. A regular file is opened afresh through /proc/self/fd, read-only, which gives the service a
// description of its own and leaves the caller's offset alone; where that cannot be had, the caller's
// descriptor is rewound for the call and its offset put back afterwards. Other files (a pipe) go as they are.
class FileFromStart {
public:
    explicit FileFromStart(int fd) : fd_(fd) {
        struct stat given {};
        if (::fstat(fd, &given) != 0) {
            error_ = errno;
            return;
        }
        if (S_ISREG(given.st_mode)) {
            const std::string alias = "/proc/self/fd/" + std::to_string(fd);
            UniqueFd fresh(::open(alias.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
            struct stat opened {};
            if (fresh.Valid() && ::fstat(fresh.Get(), &opened) == 0 && opened.st_dev == given.st_dev &&
                opened.st_ino == given.st_ino) {
                fresh_ = std::move(fresh);
                return;
            }
        }
        const off_t at = ::lseek(fd, 0, SEEK_CUR);
        if (at > 0) {
            if (::lseek(fd, 0, SEEK_SET) != 0) {
                error_ = errno;
                return;
            }
            restore_ = at;
        }
        // at < 0: not seekable; it is read from where it stands.
    }
    FileFromStart(const FileFromStart&) = delete;
    FileFromStart& operator=(const FileFromStart&) = delete;
    ~FileFromStart() {
        // The caller's offset back as it was; a descriptor that took the rewind takes this seek too.
        if (restore_) static_cast<void>(::lseek(fd_, *restore_, SEEK_SET));
    }

    int Fd() const { return fresh_.Valid() ? fresh_.Get() : fd_; }
    int Error() const { return error_; }

private:
    int fd_;
    UniqueFd fresh_;
    std::optional<off_t> restore_;
    int error_ = 0;
};

std::atomic<unsigned> connectionSerial{0};

class DbusProtectionService final : public QObject, public ProtectionService {
    Q_OBJECT

public:
    DbusProtectionService() {
        watcher_.setWatchMode(QDBusServiceWatcher::WatchForOwnerChange);
        connect(&watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this, &DbusProtectionService::OnOwnerChanged);
        busRetry_.setSingleShot(true);
        busRetry_.setInterval(kBusRetryMs);
        connect(&busRetry_, &QTimer::timeout, this, [this] {
            if (!EnsureConnected()) {
                busRetry_.start();
                return;
            }
            Refresh();  // the service may have its name again already; else its owner change tells
        });
    }

    ~DbusProtectionService() override { Disconnect(); }

    const ServiceStatus& Status() const override { return status_; }

    const ServiceStatus& Refresh() override {
        Apply(ReadAll());
        return status_;
    }

    void SetChangeHandler(std::function<void()> handler) override { handler_ = std::move(handler); }

    ServiceResult SetProtection(bool on) override {
        return Call(bus::kMethodSetProtection, {QVariant(on)}, kCallTimeoutMs, nullptr);
    }

    ServiceResult InstallDefinitions(int fd, std::string& version) override {
        using Code = ServiceResult::Code;
        if (fd < 0) return Result(Code::kInvalid, "No definitions file was given.");
        if (!EnsureConnected()) return Result(Code::kUnreachable, noBus_);
        if (!(bus_->connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing)) {
            return Result(Code::kFailed, "The system bus here cannot hand files to the Corvane service.");
        }
        const FileFromStart source(fd);
        if (source.Error() != 0) {
            return Result(Code::kInvalid,
                          std::string("The definitions file cannot be read: ") + std::strerror(source.Error()) + ".");
        }
        const QDBusUnixFileDescriptor passed(source.Fd());  // a copy of the descriptor, closed with it
        if (!passed.isValid()) {
            return Result(Code::kFailed,
                          std::string("The definitions file cannot be handed on: ") + std::strerror(errno) + ".");
        }
        QDBusMessage reply;
        auto result = Call(bus::kMethodInstallDefinitions, {QVariant::fromValue(passed)}, kLoadTimeoutMs, &reply);
        if (!result.Ok()) return result;
        if (reply.signature() != QLatin1String("s")) return Result(Code::kFailed, NotUnderstoodText());
        version = reply.arguments().at(0).toString().toStdString();
        return result;
    }

    ServiceResult Reload() override { return Call(bus::kMethodReload, {}, kLoadTimeoutMs, nullptr); }

    ServiceResult RecentBlocks(std::uint32_t count, std::vector<BlockEntry>& blocks) override {
        blocks.clear();
        QDBusMessage reply;
        auto result = Call(bus::kMethodRecentBlocks, {QVariant::fromValue(quint32{count})}, kCallTimeoutMs, &reply);
        if (!result.Ok()) return result;
        if (reply.signature() != QLatin1String(bus::kRecentBlocksSignature)) {
            return Result(ServiceResult::Code::kFailed, NotUnderstoodText());
        }
        const auto list = qvariant_cast<QDBusArgument>(reply.arguments().at(0));
        list.beginArray();
        while (!list.atEnd()) {
            QString address;
            qint64 timeMs = 0;
            quint32 pid = 0;
            QString process;
            QString named;
            QString protocol;
            QString direction;
            list.beginStructure();
            list >> address >> timeMs >> pid >> process >> named >> protocol >> direction;
            list.endStructure();
            blocks.push_back(BlockEntry{address.toStdString(), timeMs, pid, process.toStdString(), named.toStdString(),
                                        protocol.toStdString(), direction.toStdString()});
        }
        list.endArray();
        return result;
    }

private slots:
    // The bus daemon went away (restarted, say): nothing of the service is known until a new
    // connection finds it; tried again every kBusRetryMs while an event loop runs.
    void OnBusLost() {
        Disconnect();
        Apply(LinkDown(ServiceStatus::Link::kUnreachable, NoBusText()));
        busRetry_.start();
    }

    void OnPropertiesChanged(const QDBusMessage& message) {
        if (message.signature() != QLatin1String("sa{sv}as")) return;
        const auto arguments = message.arguments();
        if (arguments.at(0).toString() != QLatin1String(bus::kInterface)) return;
        const auto changed = qdbus_cast<QVariantMap>(arguments.at(1));
        const auto invalidated = qdbus_cast<QStringList>(arguments.at(2));
        // A signal from a service this client has no values of yet, or values it must fetch itself: all of
        // them again.
        if (status_.link != ServiceStatus::Link::kConnected || !invalidated.isEmpty()) {
            Refresh();
            return;
        }
        ServiceStatus next = status_;
        Merge(changed, next);
        Apply(std::move(next));
    }

    void OnOwnerChanged(const QString&, const QString&, const QString& newOwner) {
        if (newOwner.isEmpty()) {
            Apply(LinkDown(ServiceStatus::Link::kUnreachable, NotRunningText()));
        } else {
            Refresh();  // started, or restarted: nothing of the old values holds
        }
    }

private:
    // A connection to the system bus, made again when the last one was lost. False when there is no bus.
    bool EnsureConnected() {
        if (bus_ && bus_->isConnected()) return true;
        Disconnect();
        name_ = QStringLiteral("corvane-protection-%1").arg(++connectionSerial);
        bus_ = QDBusConnection::connectToBus(QDBusConnection::SystemBus, name_);
        if (!bus_->isConnected()) {
            noBus_ = NoBusProblem(bus_->lastError());
            Disconnect();
            return false;
        }
        subscribed_ =
            bus_->connect(QLatin1String(bus::kServiceName), QLatin1String(bus::kObjectPath), kPropertiesInterface,
                          QStringLiteral("PropertiesChanged"), this, SLOT(OnPropertiesChanged(QDBusMessage)));
        watcher_.setConnection(*bus_);
        watcher_.setWatchedServices({QLatin1String(bus::kServiceName)});
        // Sent by the bus library itself when the connection ends.
        watchingEnd_ = bus_->connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
                                     QStringLiteral("org.freedesktop.DBus.Local"), QStringLiteral("Disconnected"), this,
                                     SLOT(OnBusLost()));
        return true;
    }

    void Disconnect() {
        if (!bus_) return;
        watcher_.setWatchedServices({});
        if (subscribed_) {
            static_cast<void>(bus_->disconnect(QLatin1String(bus::kServiceName), QLatin1String(bus::kObjectPath),
                                               kPropertiesInterface, QStringLiteral("PropertiesChanged"), this,
                                               SLOT(OnPropertiesChanged(QDBusMessage))));
            subscribed_ = false;
        }
        if (watchingEnd_) {
            static_cast<void>(bus_->disconnect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
                                               QStringLiteral("org.freedesktop.DBus.Local"),
                                               QStringLiteral("Disconnected"), this, SLOT(OnBusLost())));
            watchingEnd_ = false;
        }
        watcher_.setConnection(QDBusConnection(QString()));
        bus_.reset();
        QDBusConnection::disconnectFromBus(name_);
    }

    ServiceStatus ReadAll() {
        if (!EnsureConnected()) return LinkDown(ServiceStatus::Link::kUnreachable, noBus_);
        auto request = QDBusMessage::createMethodCall(QLatin1String(bus::kServiceName), QLatin1String(bus::kObjectPath),
                                                      kPropertiesInterface, QStringLiteral("GetAll"));
        request << QString::fromLatin1(bus::kInterface);
        const QDBusMessage reply = bus_->call(request, QDBus::Block, kCallTimeoutMs);
        if (reply.type() != QDBusMessage::ReplyMessage) {
            const auto failure = reply.type() == QDBusMessage::ErrorMessage
                                     ? FromError(reply)
                                     : Result(ServiceResult::Code::kUnreachable, NoBusText());
            const auto link = failure.code == ServiceResult::Code::kRefused ? ServiceStatus::Link::kRefused
                                                                            : ServiceStatus::Link::kUnreachable;
            return LinkDown(link, failure.message);
        }
        if (reply.signature() != QLatin1String("a{sv}")) {
            return LinkDown(ServiceStatus::Link::kUnreachable, NotUnderstoodText());
        }
        ServiceStatus status;
        status.link = ServiceStatus::Link::kConnected;
        Merge(qdbus_cast<QVariantMap>(reply.arguments().at(0)), status);
        return status;
    }

    ServiceResult Call(const char* method, const QVariantList& arguments, int timeoutMs, QDBusMessage* reply) {
        if (!EnsureConnected()) return Result(ServiceResult::Code::kUnreachable, noBus_);
        auto request = QDBusMessage::createMethodCall(QLatin1String(bus::kServiceName), QLatin1String(bus::kObjectPath),
                                                      QLatin1String(bus::kInterface), QLatin1String(method));
        request.setArguments(arguments);
        const QDBusMessage answer = bus_->call(request, QDBus::Block, timeoutMs);
        if (answer.type() == QDBusMessage::ReplyMessage) {
            if (reply) *reply = answer;
            return Result(ServiceResult::Code::kOk, {});
        }
        if (answer.type() == QDBusMessage::ErrorMessage) return FromError(answer);
        return Result(ServiceResult::Code::kUnreachable, NoBusText());
    }

    // Takes `next` as the status and tells the handler when that changed anything. A handler that changes the
    // status again (it calls Refresh) is called once more after it returns, not inside itself.
    void Apply(ServiceStatus next) {
        if (SameStatus(next, status_)) return;
        status_ = std::move(next);
        if (notifying_) {
            again_ = true;
            return;
        }
        notifying_ = true;
        do {
            again_ = false;
            if (const auto handler = handler_) handler();
        } while (again_);
        notifying_ = false;
    }

    ServiceStatus status_ = LinkDown(ServiceStatus::Link::kUnreachable, NoBusText());
    std::function<void()> handler_;
    bool notifying_ = false;
    bool again_ = false;

    QString name_;
    std::optional<QDBusConnection> bus_;
    std::string noBus_ = NoBusText();  // why the last connection to the bus failed
    bool subscribed_ = false;
    bool watchingEnd_ = false;
    static constexpr int kBusRetryMs = 1000;
    QTimer busRetry_;  // single shot, armed only while the bus is lost
    QDBusServiceWatcher watcher_;
};

}  // namespace

std::unique_ptr<ProtectionService> ConnectProtectionService() {
    auto service = std::make_unique<DbusProtectionService>();
    service->Refresh();
    return service;
}

}  // namespace corvane::platform

#include "protection_service_dbus.moc"
