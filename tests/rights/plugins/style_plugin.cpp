// A widget style ("corvanetest", chosen with QT_STYLE_OVERRIDE) that records its rights and then
// hands out Fusion.
#include <QStyleFactory>
#include <QStylePlugin>

#include "probe/rights_probe.h"

class RightsStylePlugin : public QStylePlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QStyleFactoryInterface_iid FILE "style.json")

public:
    QStyle* create(const QString&) override {
        corvane::rights::RecordRights("style");
        return QStyleFactory::create(QStringLiteral("Fusion"));
    }
};

#include "style_plugin.moc"
