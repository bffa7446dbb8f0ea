// An image format plugin claiming "ico": it records its rights as soon as Qt asks what it can do,
// and reads nothing itself.
#include <QImageIOPlugin>

#include "probe/rights_probe.h"

class RightsImagePlugin : public QImageIOPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "image.json")

public:
    Capabilities capabilities(QIODevice*, const QByteArray&) const override {
        corvane::rights::RecordRights("imageformat");
        return {};
    }
    QImageIOHandler* create(QIODevice*, const QByteArray&) const override {
        corvane::rights::RecordRights("imageformat");
        return nullptr;
    }
};

#include "image_plugin.moc"
