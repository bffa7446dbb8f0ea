#include "fake_service.h"

#include <unistd.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QStringList>

#include <cerrno>
#include <utility>

#include "platform/dbus/bus_names.h"

namespace corvane::platform::testing {

QDBusArgument& operator<<(QDBusArgument& argument, const FakeBlock& block) {
    argument.beginStructure();
    argument << block.address << block.timeMs << block.pid << block.process << block.list << block.protocol
             << block.direction;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const FakeList& list) {
    argument.beginStructure();
    argument << list.path << list.refusedWhy << list.addresses4 << list.prefixes4 << list.addresses6 << list.prefixes6
             << list.brokenLines;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, FakeList& list) {
    argument.beginStructure();
    argument >> list.path >> list.refusedWhy >> list.addresses4 >> list.prefixes4 >> list.addresses6 >>
        list.prefixes6 >> list.brokenLines;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, FakeBlock& block) {
    argument.beginStructure();
    argument >> block.address >> block.timeMs >> block.pid >> block.process >> block.list >> block.protocol >>
        block.direction;
    argument.endStructure();
    return argument;
}

namespace {

const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kInterface = QLatin1String(bus::kInterface);
const QString kPath = QLatin1String(bus::kObjectPath);

QDBusMessage ChangedSignal(const QString& interface, const QVariantMap& values) {
    auto signal = QDBusMessage::createSignal(kPath, kProperties, QStringLiteral("PropertiesChanged"));
    signal << interface << values << QStringList();
    return signal;
}

// All the bytes left in `fd` from where its offset stands.
QByteArray ReadRest(int fd) {
    QByteArray bytes;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            bytes.append(buffer, got);
        } else if (got == 0 || errno != EINTR) {
            return bytes;
        }
    }
}

}  // namespace

struct FakeService::State {
    std::mutex mutex;
    QVariantMap values;
    Answer answer = Answer::kNormal;
    QList<FakeBlock> blocks;
    QString installVersion = QStringLiteral("V-installed");
    QString installRejection;
    Asked asked;
    std::vector<QDBusMessage> unanswered;
};

// The object at the service's path; it lives on the fake's thread, where Qt D-Bus delivers its calls.
class FakeService::Object : public QDBusVirtualObject {
public:
    explicit Object(std::shared_ptr<State> state) : state_(std::move(state)) {}

    QString introspect(const QString&) const override {
        return QStringLiteral("<interface name=\"") + kInterface + QStringLiteral("\"/>");
    }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        const std::lock_guard lock(state_->mutex);
        switch (state_->answer) {
            case Answer::kNormal:
            case Answer::kFails:
                break;
            case Answer::kHang:
                message.setDelayedReply(true);
                state_->unanswered.push_back(message);
                return true;
            case Answer::kServiceRefuses:
                return connection.send(message.createErrorReply(
                    QLatin1String(bus::kErrorAccessDenied),
                    QStringLiteral("Only root and members of the group corvane may use this service.")));
            case Answer::kBusRefuses:
                return connection.send(message.createErrorReply(
                    QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"),
                    QStringLiteral("Rejected send message, 1 matched rules; type=\"method_call\"")));
        }
        if (message.interface() == kProperties) return Properties(message, connection);
        if (message.interface() != kInterface) return false;
        if (state_->answer == Answer::kFails) {
            return connection.send(
                message.createErrorReply(QLatin1String(bus::kErrorFailed), QStringLiteral("the service is stopping")));
        }

        const QString member = message.member();
        const QString signature = message.signature();
        const auto arguments = message.arguments();
        if (member == QLatin1String(bus::kMethodSetProtection) && signature == QLatin1String("b")) {
            const bool on = arguments.at(0).toBool();
            state_->asked.switches.push_back(on);
            state_->values.insert(QLatin1String(bus::kPropProtection), on);
            return connection.send(message.createReply()) &&
                   connection.send(ChangedSignal(kInterface, {{QLatin1String(bus::kPropProtection), on}}));
        }
        if (member == QLatin1String(bus::kMethodInstallDefinitions) && signature == QLatin1String("h")) {
            const auto file = qvariant_cast<QDBusUnixFileDescriptor>(arguments.at(0));
            state_->asked.installed.push_back(ReadRest(file.fileDescriptor()));
            if (!state_->installRejection.isEmpty()) {
                return connection.send(
                    message.createErrorReply(QLatin1String(bus::kErrorInvalidDefinitions), state_->installRejection));
            }
            state_->values.insert(QLatin1String(bus::kPropDefinitionsVersion), state_->installVersion);
            return connection.send(message.createReply(state_->installVersion)) &&
                   connection.send(ChangedSignal(
                       kInterface, {{QLatin1String(bus::kPropDefinitionsVersion), state_->installVersion}}));
        }
        if (member == QLatin1String(bus::kMethodReload) && signature.isEmpty()) {
            ++state_->asked.reloads;
            return connection.send(message.createReply());
        }
        if (member == QLatin1String(bus::kMethodRecentBlocks) && signature == QLatin1String("u")) {
            const quint32 count = arguments.at(0).toUInt();
            state_->asked.blockCounts.push_back(count);
            const auto first = state_->blocks.size() > qsizetype(count) ? state_->blocks.size() - count : 0;
            return connection.send(message.createReply(QVariant::fromValue(state_->blocks.mid(first))));
        }
        return false;
    }

private:
    bool Properties(const QDBusMessage& message, const QDBusConnection& connection) {
        const auto arguments = message.arguments();
        if (message.member() == QLatin1String("GetAll") && message.signature() == QLatin1String("s")) {
            const bool ours = arguments.at(0).toString() == kInterface;
            return connection.send(message.createReply(ours ? state_->values : QVariantMap()));
        }
        if (message.member() == QLatin1String("Get") && message.signature() == QLatin1String("ss")) {
            const auto found = state_->values.constFind(arguments.at(1).toString());
            if (arguments.at(0).toString() != kInterface || found == state_->values.constEnd()) {
                return connection.send(message.createErrorReply(
                    QStringLiteral("org.freedesktop.DBus.Error.UnknownProperty"), QStringLiteral("No such property")));
            }
            return connection.send(message.createReply(QVariant::fromValue(QDBusVariant(*found))));
        }
        return false;
    }

    std::shared_ptr<State> state_;
};

FakeService::FakeService(std::string busAddress) : address_(std::move(busAddress)), state_(std::make_shared<State>()) {
    qDBusRegisterMetaType<FakeBlock>();
    qDBusRegisterMetaType<QList<FakeBlock>>();
    qDBusRegisterMetaType<FakeList>();
    qDBusRegisterMetaType<QList<FakeList>>();
    object_ = std::make_unique<Object>(state_);
    thread_.start();
    object_->moveToThread(&thread_);
}

FakeService::~FakeService() {
    Stop();
    thread_.quit();
    thread_.wait();
}

std::string FakeService::Start() {
    Stop();
    connectionName_ = QStringLiteral("corvane-fake-service-%1").arg(++starts_);
    QDBusConnection bus = QDBusConnection::connectToBus(QString::fromStdString(address_), connectionName_);
    std::string failure;
    if (!bus.isConnected()) {
        failure = "cannot join the bus: " + bus.lastError().message().toStdString();
    } else if (!bus.registerVirtualObject(kPath, object_.get())) {
        failure = "cannot register the object";
    } else if (!bus.registerService(QLatin1String(bus::kServiceName))) {
        failure = "cannot own the name: " + bus.lastError().message().toStdString();
    }
    if (!failure.empty()) Stop();
    return failure;
}

void FakeService::Stop() {
    if (connectionName_.isEmpty()) return;
    QDBusConnection(connectionName_).unregisterObject(kPath);
    QDBusConnection::disconnectFromBus(connectionName_);
    connectionName_.clear();
    const std::lock_guard lock(state_->mutex);
    state_->unanswered.clear();
}

void FakeService::SetValues(const QVariantMap& values) {
    const std::lock_guard lock(state_->mutex);
    state_->values.insert(values);
}

bool FakeService::Change(const QVariantMap& values, const QString& interface) {
    const QString to = interface.isEmpty() ? kInterface : interface;
    if (to == kInterface) SetValues(values);
    return !connectionName_.isEmpty() && QDBusConnection(connectionName_).send(ChangedSignal(to, values));
}

void FakeService::SetAnswer(Answer answer) {
    const std::lock_guard lock(state_->mutex);
    state_->answer = answer;
}

void FakeService::SetBlocks(const QList<FakeBlock>& blocks) {
    const std::lock_guard lock(state_->mutex);
    state_->blocks = blocks;
}

void FakeService::SetInstallVersion(const QString& version) {
    const std::lock_guard lock(state_->mutex);
    state_->installVersion = version;
    state_->installRejection.clear();
}

void FakeService::SetInstallRejection(const QString& message) {
    const std::lock_guard lock(state_->mutex);
    state_->installRejection = message;
}

FakeService::Asked FakeService::TakeAsked() {
    const std::lock_guard lock(state_->mutex);
    return std::exchange(state_->asked, Asked{});
}

}  // namespace corvane::platform::testing
