// An icon engine for ".ico" files: it records its rights when Qt asks it for an icon, and declines
// (Qt then draws the icon itself).
#include <QIconEnginePlugin>

#include "probe/rights_probe.h"

class RightsIconEnginePlugin : public QIconEnginePlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QIconEngineFactoryInterface_iid FILE "icon_engine.json")

public:
    QIconEngine* create(const QString&) override {
        corvane::rights::RecordRights("iconengine");
        return nullptr;
    }
};

#include "icon_engine_plugin.moc"
