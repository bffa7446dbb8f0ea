#pragma once
// The service's object on the bus (kObjectPath): its interface kInterface, the standard Properties
// and Introspectable interfaces, and the access check in front of every one of them.
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QString>
#include <QVariantMap>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "service/recent_blocks.h"

namespace corvane::service {

class CallerAccess;

// What a request did; `errorName` empty on success.
struct RequestResult {
    QString errorName;
    QString message;
    static RequestResult Ok() { return {}; }
    static RequestResult Error(const char* name, const std::string& text) {
        return {QString::fromLatin1(name), QString::fromStdString(text)};
    }
};

// One entry of the "Lists" property, a(ssuuuuu).
struct BusList {
    QString path;
    QString refusedWhy;
    uint addresses4 = 0;
    uint prefixes4 = 0;
    uint addresses6 = 0;
    uint prefixes6 = 0;
    uint brokenLines = 0;
};

QDBusArgument& operator<<(QDBusArgument& argument, const BusList& list);
const QDBusArgument& operator>>(const QDBusArgument& argument, BusList& list);

}  // namespace corvane::service

Q_DECLARE_METATYPE(corvane::service::BusList)

namespace corvane::service {

// The service behind the object.
class ServiceBackend {
public:
    virtual ~ServiceBackend() = default;
    // Every property of kInterface by name.
    virtual QVariantMap Properties() = 0;
    virtual RequestResult SetProtection(bool on) = 0;
    // Installs the definitions file passed; `done` is called with the version in force once they
    // are (their reading and checking never holds up the other requests).
    virtual void InstallDefinitions(QDBusUnixFileDescriptor file,
                                    std::function<void(const RequestResult&, const std::string& version)> done) = 0;
    // Reads qd.def, the settings and the lists again; `done` is called once all of it is in force.
    virtual void Reload(std::function<void(const RequestResult&)> done) = 0;
    virtual std::vector<RecentBlock> Recent(std::size_t count) = 0;
};

// Makes the service's own D-Bus types known to Qt D-Bus, once; before anything is sent.
void RegisterBusTypes();

// The introspection data of the object.
QString IntrospectionXml();

class BusObject final : public QDBusVirtualObject {
    Q_OBJECT
public:
    BusObject(ServiceBackend& backend, CallerAccess& access, QObject* parent = nullptr);

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

private:
    // After the access check.
    QDBusMessage Answer(const QDBusMessage& message);
    QDBusMessage AnswerProperties(const QDBusMessage& message);
    QDBusMessage AnswerOwn(const QDBusMessage& message);

    ServiceBackend& backend_;
    CallerAccess& access_;
};

}  // namespace corvane::service
