// A generic plugin ("corvanetest", loaded through QT_QPA_GENERIC_PLUGINS) that records its rights.
#include <QCoreApplication>
#include <QGenericPlugin>

#include "probe/rights_probe.h"

class RightsGenericPlugin : public QGenericPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "generic.json")

public:
    QObject* create(const QString&, const QString&) override {
        corvane::rights::RecordRights("generic");
        // The application keeps the object with its generic plugins and deletes it at its end.
        return new QObject(QCoreApplication::instance());
    }
};

#include "generic_plugin.moc"
