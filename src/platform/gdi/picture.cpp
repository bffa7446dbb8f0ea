#include "platform/gdi/picture.h"

#include <QImageReader>

#include "platform/gdi/bitmap.h"
#include "platform/gdi/icon.h"

namespace corvane::gdi {

Picture LoadPictureFile(const QString& path) {
    QImageReader reader(path);
    const QByteArray format = reader.format().toLower();
    if (format == "ico" || format == "cur") return Picture{nullptr, LoadIconFile(path)};
    if (format.isEmpty()) return {};
    const QSize size = reader.size();
    if (size.isValid() && !detail::acceptableBitmapSize(size.width(), size.height())) return {};
    const QImage image = reader.read();
    if (image.isNull()) return {};
    return Picture{CreateBitmapFromImage(image), nullptr};
}

}  // namespace corvane::gdi
