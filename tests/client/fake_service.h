#pragma once
// A stand-in for corvaned on a private bus: it owns the service's name, answers the interface of
// platform/dbus/bus_names.h (properties through org.freedesktop.DBus.Properties, the methods) and signals
// PropertiesChanged like the service. It answers on a thread of its own, so a test can call it with blocking
// calls from the main thread, or from a corvanectl it waits for. The test sets its values and its way of
// answering, and reads what it was asked.
#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QThread>
#include <QVariantMap>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace corvane::platform::testing {

struct FakeBlock {
    QString address;
    qint64 timeMs = 0;
    quint32 pid = 0;
    QString process;
    QString list;
    QString protocol{};   // "TCP", "UDP", "ICMP", "ICMPv6"
    QString direction{};  // "outbound", "inbound", "" when unknown
};

// One entry of the "Lists" property.
struct FakeList {
    QString path;
    QString refusedWhy;
    quint32 addresses4 = 0;
    quint32 prefixes4 = 0;
    quint32 addresses6 = 0;
    quint32 prefixes6 = 0;
    quint32 brokenLines = 0;
};

class FakeService {
public:
    enum class Answer {
        kNormal,
        kServiceRefuses,  // every call gets the service's own AccessDenied
        kBusRefuses,      // every call gets org.freedesktop.DBus.Error.AccessDenied, as from the bus policy
        kHang,            // no call gets an answer
        kFails,           // the interface's methods fail (kErrorFailed); the properties answer
    };

    // Everything the service was asked, in order.
    struct Asked {
        std::vector<bool> switches;         // SetProtection
        int reloads = 0;                    // Reload
        std::vector<quint32> blockCounts;   // RecentBlocks
        std::vector<QByteArray> installed;  // InstallDefinitions: the bytes read from each descriptor
    };

    explicit FakeService(std::string busAddress);
    FakeService(const FakeService&) = delete;
    FakeService& operator=(const FakeService&) = delete;
    ~FakeService();

    // Joins the bus and takes the service's name: "" when it serves, else why not. Each start is a new
    // connection, as a service process started again has.
    std::string Start();
    // Leaves the bus, as the service process does when it ends.
    void Stop();

    // The property values (names of bus_names.h), taken without a signal.
    void SetValues(const QVariantMap& values);
    // Takes `values` and signals them with PropertiesChanged for `interface` (the service's by default); false
    // when the signal could not be sent.
    bool Change(const QVariantMap& values, const QString& interface = {});

    void SetAnswer(Answer answer);
    void SetBlocks(const QList<FakeBlock>& blocks);
    // What InstallDefinitions answers: the new version, or with a rejection the service's message.
    void SetInstallVersion(const QString& version);
    void SetInstallRejection(const QString& message);

    Asked TakeAsked();

    struct State;

private:
    class Object;

    std::string address_;
    std::shared_ptr<State> state_;
    QThread thread_;
    std::unique_ptr<Object> object_;
    QString connectionName_;
    int starts_ = 0;
};

}  // namespace corvane::platform::testing

Q_DECLARE_METATYPE(corvane::platform::testing::FakeBlock)
Q_DECLARE_METATYPE(corvane::platform::testing::FakeList)
