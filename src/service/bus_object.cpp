#include "service/bus_object.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>

#include "platform/dbus/bus_names.h"
#include "service/caller_access.h"

namespace corvane::service {

// One entry of RecentBlocks' answer, a(sxussss).
struct BusBlock {
    QString address;
    qint64 timeMs = 0;
    uint pid = 0;
    QString process;
    QString list;
    QString protocol;
    QString direction;
};

}  // namespace corvane::service

Q_DECLARE_METATYPE(corvane::service::BusBlock)

namespace corvane::service {

// Found by argument-dependent lookup when the types are registered.
QDBusArgument& operator<<(QDBusArgument& argument, const BusBlock& block) {
    argument.beginStructure();
    argument << block.address << block.timeMs << block.pid << block.process << block.list << block.protocol
             << block.direction;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, BusBlock& block) {
    argument.beginStructure();
    argument >> block.address >> block.timeMs >> block.pid >> block.process >> block.list >> block.protocol >>
        block.direction;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const BusList& list) {
    argument.beginStructure();
    argument << list.path << list.refusedWhy << list.addresses4 << list.prefixes4 << list.addresses6
             << list.prefixes6 << list.brokenLines;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, BusList& list) {
    argument.beginStructure();
    argument >> list.path >> list.refusedWhy >> list.addresses4 >> list.prefixes4 >> list.addresses6 >>
        list.prefixes6 >> list.brokenLines;
    argument.endStructure();
    return argument;
}

namespace {

namespace bus = platform::bus;

const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kIntrospectableInterface = QStringLiteral("org.freedesktop.DBus.Introspectable");
const QString kPeerInterface = QStringLiteral("org.freedesktop.DBus.Peer");


QDBusMessage Error(const QDBusMessage& message, const QString& name, const QString& text) {
    return message.createErrorReply(name, text);
}

QDBusMessage InvalidArgs(const QDBusMessage& message) {
    return Error(message, QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"),
                 QStringLiteral("%1.%2 takes (%3)").arg(message.interface(), message.member(), message.signature()));
}

QDBusMessage Reply(const QDBusMessage& message, const RequestResult& result, const QVariantList& values = {}) {
    if (!result.errorName.isEmpty()) return Error(message, result.errorName, result.message);
    return message.createReply(values);
}

}  // namespace

void RegisterBusTypes() {
    static const bool registered = [] {
        qDBusRegisterMetaType<BusBlock>();
        qDBusRegisterMetaType<QList<BusBlock>>();
        qDBusRegisterMetaType<BusList>();
        qDBusRegisterMetaType<QList<BusList>>();
        return true;
    }();
    static_cast<void>(registered);
}

QString IntrospectionXml() {
    QString properties;
    for (const bus::PropertyDescription& property : bus::kProperties)
        properties += QStringLiteral("    <property name=\"%1\" type=\"%2\" access=\"read\"/>\n")
                          .arg(QLatin1String(property.name), QLatin1String(property.signature));
    return QString::fromLatin1(
               R"xml(<!DOCTYPE node PUBLIC "-//freedesktop//DTD D-BUS Object Introspection 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd">
<node>
  <interface name="%1">
%2    <method name="%3">
      <arg name="on" type="b" direction="in"/>
    </method>
    <method name="%4">
      <arg name="file" type="h" direction="in"/>
      <arg name="version" type="s" direction="out"/>
    </method>
    <method name="%5"/>
    <method name="%6">
      <arg name="count" type="u" direction="in"/>
      <arg name="blocks" type="%7" direction="out"/>
    </method>
  </interface>
  <interface name="org.freedesktop.DBus.Properties">
    <method name="Get">
      <arg name="interface_name" type="s" direction="in"/>
      <arg name="property_name" type="s" direction="in"/>
      <arg name="value" type="v" direction="out"/>
    </method>
    <method name="GetAll">
      <arg name="interface_name" type="s" direction="in"/>
      <arg name="properties" type="a{sv}" direction="out"/>
    </method>
    <method name="Set">
      <arg name="interface_name" type="s" direction="in"/>
      <arg name="property_name" type="s" direction="in"/>
      <arg name="value" type="v" direction="in"/>
    </method>
    <signal name="PropertiesChanged">
      <arg name="interface_name" type="s"/>
      <arg name="changed_properties" type="a{sv}"/>
      <arg name="invalidated_properties" type="as"/>
    </signal>
  </interface>
  <interface name="org.freedesktop.DBus.Introspectable">
    <method name="Introspect">
      <arg name="xml_data" type="s" direction="out"/>
    </method>
  </interface>
  <interface name="org.freedesktop.DBus.Peer">
    <method name="Ping"/>
    <method name="GetMachineId">
      <arg name="machine_uuid" type="s" direction="out"/>
    </method>
  </interface>
</node>
)xml")
        .arg(QLatin1String(bus::kInterface), properties, QLatin1String(bus::kMethodSetProtection),
             QLatin1String(bus::kMethodInstallDefinitions), QLatin1String(bus::kMethodReload),
             QLatin1String(bus::kMethodRecentBlocks), QLatin1String(bus::kRecentBlocksSignature));
}

BusObject::BusObject(ServiceBackend& backend, CallerAccess& access, QObject* parent)
    : QDBusVirtualObject(parent), backend_(backend), access_(access) {
    RegisterBusTypes();
}

QString BusObject::introspect(const QString& path) const {
    static_cast<void>(path);
    return IntrospectionXml();
}

bool BusObject::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
    if (message.type() != QDBusMessage::MethodCallMessage) return true;  // nothing to answer
    if (message.path() != QLatin1String(bus::kObjectPath)) {
        if (message.isReplyRequired())
            static_cast<void>(
                connection.send(Error(message, QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"),
                                      QStringLiteral("no object at %1").arg(message.path()))));
        return true;
    }
    // The libdbus layer answers Peer itself; anything else waits for the access check.
    QDBusConnection replyTo = connection;
    access_.Check(message.service(), [this, message, replyTo](bool allowed) mutable {
        if (allowed && message.member() == QLatin1String(bus::kMethodReload) &&
            (message.interface().isEmpty() || message.interface() == QLatin1String(bus::kInterface)) &&
            message.signature().isEmpty()) {
            // Answered once the lists are read again, which takes a while for long ones.
            backend_.Reload([message, replyTo](const RequestResult& result) mutable {
                if (message.isReplyRequired()) static_cast<void>(replyTo.send(Reply(message, result)));
            });
            return;
        }
        if (allowed && message.member() == QLatin1String(bus::kMethodInstallDefinitions) &&
            (message.interface().isEmpty() || message.interface() == QLatin1String(bus::kInterface)) &&
            message.signature() == QLatin1String("h")) {
            const QDBusUnixFileDescriptor file = message.arguments().value(0).value<QDBusUnixFileDescriptor>();
            if (!file.isValid()) {
                if (message.isReplyRequired())
                    static_cast<void>(replyTo.send(Error(message, QLatin1String(bus::kErrorInvalidDefinitions),
                                                         QStringLiteral("no file was passed"))));
                return;
            }
            // Answered once the file is read, checked and in force.
            backend_.InstallDefinitions(file, [message, replyTo](const RequestResult& result,
                                                                 const std::string& version) mutable {
                if (message.isReplyRequired())
                    static_cast<void>(replyTo.send(Reply(message, result, {QString::fromStdString(version)})));
            });
            return;
        }
        const QDBusMessage answer =
            allowed ? Answer(message)
                    : Error(message, QLatin1String(bus::kErrorAccessDenied),
                            QStringLiteral("only root and members of the service's control group may do this"));
        if (message.isReplyRequired()) static_cast<void>(replyTo.send(answer));
    });
    return true;
}

QDBusMessage BusObject::Answer(const QDBusMessage& message) {
    const QString interface = message.interface();
    if (interface == kPropertiesInterface) return AnswerProperties(message);
    if (interface == kIntrospectableInterface) {
        if (message.member() == QLatin1String("Introspect") && message.signature().isEmpty())
            return message.createReply(IntrospectionXml());
        return Error(message, QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                     QStringLiteral("no method %1").arg(message.member()));
    }
    if (interface == kPeerInterface && message.member() == QLatin1String("Ping")) return message.createReply();
    // A call without an interface names a member of ours.
    if (interface.isEmpty() || interface == QLatin1String(bus::kInterface)) return AnswerOwn(message);
    return Error(message, QStringLiteral("org.freedesktop.DBus.Error.UnknownInterface"),
                 QStringLiteral("no interface %1").arg(interface));
}

QDBusMessage BusObject::AnswerProperties(const QDBusMessage& message) {
    const QString member = message.member();
    const QVariantList arguments = message.arguments();
    const QString ours = QLatin1String(bus::kInterface);
    auto unknownInterface = [&](const QString& name) {
        return Error(message, QStringLiteral("org.freedesktop.DBus.Error.UnknownInterface"),
                     QStringLiteral("no interface %1").arg(name));
    };
    if (member == QLatin1String("Get")) {
        if (message.signature() != QLatin1String("ss")) return InvalidArgs(message);
        if (arguments[0].toString() != ours) return unknownInterface(arguments[0].toString());
        const QVariantMap values = backend_.Properties();
        const auto value = values.constFind(arguments[1].toString());
        if (value == values.constEnd())
            return Error(message, QStringLiteral("org.freedesktop.DBus.Error.UnknownProperty"),
                         QStringLiteral("no property %1").arg(arguments[1].toString()));
        return message.createReply(QVariant::fromValue(QDBusVariant(value.value())));
    }
    if (member == QLatin1String("GetAll")) {
        if (message.signature() != QLatin1String("s")) return InvalidArgs(message);
        if (arguments[0].toString() != ours) return unknownInterface(arguments[0].toString());
        return message.createReply(QVariant::fromValue(backend_.Properties()));
    }
    if (member == QLatin1String("Set")) {
        if (message.signature() != QLatin1String("ssv")) return InvalidArgs(message);
        if (arguments[0].toString() != ours) return unknownInterface(arguments[0].toString());
        if (!backend_.Properties().contains(arguments[1].toString()))
            return Error(message, QStringLiteral("org.freedesktop.DBus.Error.UnknownProperty"),
                         QStringLiteral("no property %1").arg(arguments[1].toString()));
        return Error(message, QStringLiteral("org.freedesktop.DBus.Error.PropertyReadOnly"),
                     QStringLiteral("%1 is read-only; the methods change it").arg(arguments[1].toString()));
    }
    return Error(message, QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                 QStringLiteral("no method %1").arg(member));
}

QDBusMessage BusObject::AnswerOwn(const QDBusMessage& message) {
    const QString member = message.member();
    const QString signature = message.signature();
    const QVariantList arguments = message.arguments();
    if (member == QLatin1String(bus::kMethodSetProtection)) {
        if (signature != QLatin1String("b")) return InvalidArgs(message);
        return Reply(message, backend_.SetProtection(arguments[0].toBool()));
    }
    // A file is answered without waiting here (see handleMessage); anything else is wrong.
    if (member == QLatin1String(bus::kMethodInstallDefinitions)) return InvalidArgs(message);
    if (member == QLatin1String(bus::kMethodReload)) return InvalidArgs(message);  // takes no arguments
    if (member == QLatin1String(bus::kMethodRecentBlocks)) {
        if (signature != QLatin1String("u")) return InvalidArgs(message);
        QList<BusBlock> blocks;
        for (const RecentBlock& block : backend_.Recent(arguments[0].toUInt())) {
            blocks.push_back(BusBlock{QString::fromStdString(block.address), block.timeMs, block.pid,
                                      QString::fromStdString(block.process), QString::fromStdString(block.list),
                                      QString::fromStdString(block.protocol), QString::fromStdString(block.direction)});
        }
        return message.createReply(QVariant::fromValue(blocks));
    }
    return Error(message, QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                 QStringLiteral("no method %1 in %2").arg(member, QLatin1String(bus::kInterface)));
}

}  // namespace corvane::service
