// A stand-in for a desktop panel's StatusNotifierItem host, for the tray tests.
//
// On the session bus it is started on it owns "org.kde.StatusNotifierWatcher", answers that a host is
// registered, and keeps the items that register. Like a panel, it reads each item's tip and icon when the
// item registers and again whenever the item signals a change, and forgets an item whose connection leaves
// the bus. The test drives it through the object /Control (interface org.corvane.test.TrayHost): which items
// it shows, what tip and picture it shows for one, and clicks on one (Activate, ContextMenu,
// SecondaryActivate). It prints "ready" on its standard output once it serves the watcher name.
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include <cstdio>

namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString kItemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString kDefaultItemPath = QStringLiteral("/StatusNotifierItem");

struct Picture {
    int width = 0;
    int height = 0;
    QByteArray argb;  // ARGB32, network byte order, as the item sends it
};

struct Item {
    QString service;
    QString path;
    QString tip;
    Picture picture;  // the largest the item offers
};

// a(iiay): the pictures of an icon in several sizes; the largest is kept.
Picture LargestPicture(const QDBusArgument& argument) {
    Picture largest;
    argument.beginArray();
    while (!argument.atEnd()) {
        Picture picture;
        argument.beginStructure();
        argument >> picture.width >> picture.height >> picture.argb;
        argument.endStructure();
        if (picture.width * picture.height > largest.width * largest.height) largest = picture;
    }
    argument.endArray();
    return largest;
}

// (sa(iiay)ss): icon name, icon pictures, title, description. The title is the tip a panel shows.
QString ToolTipTitle(const QDBusArgument& argument) {
    QString iconName;
    QString title;
    QString description;
    argument.beginStructure();
    argument >> iconName;
    LargestPicture(argument);
    argument >> title >> description;
    argument.endStructure();
    return title;
}

class Host : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ RegisteredStatusNotifierItems)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ IsStatusNotifierHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ ProtocolVersion)

public:
    explicit Host(QDBusConnection bus) : bus_(bus), departures_(this) {
        departures_.setConnection(bus_);
        departures_.setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
        connect(&departures_, &QDBusServiceWatcher::serviceUnregistered, this, &Host::Forget);
    }

    QStringList RegisteredStatusNotifierItems() const { return items_.keys(); }
    bool IsStatusNotifierHostRegistered() const { return true; }
    int ProtocolVersion() const { return 0; }

    const Item* Find(const QString& key) const {
        auto it = items_.constFind(key);
        return it == items_.constEnd() ? nullptr : &it.value();
    }
    QDBusConnection& Bus() { return bus_; }

public slots:
    // An item names itself by its bus name (its objects then live at /StatusNotifierItem) or by an
    // object path on the caller's connection.
    void RegisterStatusNotifierItem(const QString& serviceOrPath, const QDBusMessage& message) {
        Item item;
        if (serviceOrPath.startsWith(QLatin1Char('/'))) {
            item.service = message.service();
            item.path = serviceOrPath;
        } else {
            item.service = serviceOrPath;
            item.path = kDefaultItemPath;
        }
        const QString key = item.service + item.path;
        if (items_.contains(key)) return;
        items_.insert(key, item);
        departures_.addWatchedService(item.service);
        for (const char* change : {"NewToolTip", "NewIcon", "NewStatus"})
            bus_.connect(item.service, item.path, kItemInterface, QLatin1String(change), this,
                         SLOT(Reread(QDBusMessage)));
        Read(key);
        emit StatusNotifierItemRegistered(key);
    }

    void RegisterStatusNotifierHost(const QString&) {}

signals:
    void StatusNotifierItemRegistered(const QString& item);
    void StatusNotifierItemUnregistered(const QString& item);
    void StatusNotifierHostRegistered();

private slots:
    // A change signal names its sender, not the item: every item of that sender is read again.
    void Reread(const QDBusMessage& change) {
        const QString sender = change.service();
        for (auto it = items_.cbegin(); it != items_.cend(); ++it)
            if (it->service == sender) Read(it.key());
    }

    void Forget(const QString& service) {
        for (auto it = items_.begin(); it != items_.end();) {
            if (it->service == service) {
                const QString key = it.key();
                it = items_.erase(it);
                emit StatusNotifierItemUnregistered(key);
            } else {
                ++it;
            }
        }
        departures_.removeWatchedService(service);
    }

private:
    void Read(const QString& key) {
        const Item& item = items_[key];
        auto call = QDBusMessage::createMethodCall(
            item.service, item.path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("GetAll"));
        call << kItemInterface;
        auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
        connect(pending, &QDBusPendingCallWatcher::finished, this, [this, key](QDBusPendingCallWatcher* done) {
            done->deleteLater();
            QDBusPendingReply<QVariantMap> reply = *done;
            auto it = items_.find(key);
            if (reply.isError() || it == items_.end()) return;
            const QVariantMap properties = reply.value();
            it->tip = ToolTipTitle(properties.value(QStringLiteral("ToolTip")).value<QDBusArgument>());
            it->picture = LargestPicture(properties.value(QStringLiteral("IconPixmap")).value<QDBusArgument>());
        });
    }

    QDBusConnection bus_;
    QDBusServiceWatcher departures_;
    QMap<QString, Item> items_;
};

class Control : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.corvane.test.TrayHost")

public:
    explicit Control(Host& host) : host_(host) {}

public slots:
    QStringList Items() const { return host_.RegisteredStatusNotifierItems(); }

    QString ToolTip(const QString& item) const {
        const Item* found = host_.Find(item);
        return found ? found->tip : QString();
    }

    QByteArray Picture(const QString& item, int& width, int& height) const {
        const Item* found = host_.Find(item);
        width = found ? found->picture.width : 0;
        height = found ? found->picture.height : 0;
        return found ? found->picture.argb : QByteArray();
    }

    // Sends the item one of the clicks a panel sends, at a point on the panel; false for an unknown item
    // or click.
    bool Click(const QString& item, const QString& method) {
        const Item* found = host_.Find(item);
        if (!found) return false;
        if (method != QLatin1String("Activate") && method != QLatin1String("ContextMenu") &&
            method != QLatin1String("SecondaryActivate"))
            return false;
        auto call = QDBusMessage::createMethodCall(found->service, found->path, kItemInterface, method);
        call << 1270 << 790;
        return host_.Bus().send(call);
    }

private:
    Host& host_;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "fake host: no session bus: %s\n", qPrintable(bus.lastError().message()));
        return 2;
    }
    Host host(bus);
    Control control(host);
    const auto everything =
        QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals | QDBusConnection::ExportAllProperties;
    if (!bus.registerObject(kWatcherPath, &host, everything) ||
        !bus.registerObject(QStringLiteral("/Control"), &control, everything) ||
        !bus.registerService(kWatcherService)) {
        std::fprintf(stderr, "fake host: cannot serve %s: %s\n", qPrintable(kWatcherService),
                     qPrintable(bus.lastError().message()));
        return 2;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}

#include "fake_status_notifier_host.moc"
