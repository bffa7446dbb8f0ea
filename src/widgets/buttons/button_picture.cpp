#include "widgets/buttons/button_picture.h"

#include <QBuffer>
#include <QByteArray>
#include <QFileInfo>
#include <QImageReader>
#include <QJsonObject>
#include <utility>

namespace corvane::buttons {
namespace {

QString KindName(ButtonPicture::Kind kind) {
    switch (kind) {
        case ButtonPicture::Kind::Icon:
            return QStringLiteral("icon");
        case ButtonPicture::Kind::Cursor:
            return QStringLiteral("cursor");
        case ButtonPicture::Kind::Bitmap:
            break;
    }
    return QStringLiteral("bitmap");
}

ButtonPicture::Kind KindOfPath(const QString& path) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("ico")) return ButtonPicture::Kind::Icon;
    if (suffix == QLatin1String("cur")) return ButtonPicture::Kind::Cursor;
    return ButtonPicture::Kind::Bitmap;
}

}  // namespace

PictureRef LoadPicture(const QString& path) {
    QImageReader reader(path);
    QImage image = reader.read();
    if (image.isNull()) return nullptr;
    auto picture = std::make_shared<ButtonPicture>();
    picture->image = std::move(image);
    picture->kind = KindOfPath(path);
    picture->source = path;
    return picture;
}

PictureRef MakePicture(QImage image, ButtonPicture::Kind kind) {
    if (image.isNull()) return nullptr;
    auto picture = std::make_shared<ButtonPicture>();
    picture->image = std::move(image);
    picture->kind = kind;
    return picture;
}

QJsonValue PictureToJson(const PictureRef& picture) {
    if (!picture) return QJsonValue(QJsonValue::Null);
    QJsonObject saved;
    if (!picture->source.isEmpty()) {
        saved.insert(QStringLiteral("source"), picture->source);
        return saved;
    }
    QByteArray png;
    QBuffer buffer(&png);
    if (!buffer.open(QIODevice::WriteOnly) || !picture->image.save(&buffer, "PNG")) return QJsonValue(QJsonValue::Null);
    saved.insert(QStringLiteral("kind"), KindName(picture->kind));
    saved.insert(QStringLiteral("png"), QString::fromLatin1(png.toBase64()));
    return saved;
}

PictureRef PictureFromJson(const QJsonValue& value, bool& ok) {
    ok = true;
    if (value.isNull() || value.isUndefined()) return nullptr;
    ok = false;
    if (!value.isObject()) return nullptr;
    const QJsonObject saved = value.toObject();
    if (const QString source = saved.value(QStringLiteral("source")).toString(); !source.isEmpty()) {
        PictureRef picture = LoadPicture(source);
        ok = picture != nullptr;
        return picture;
    }
    const QByteArray png = QByteArray::fromBase64(saved.value(QStringLiteral("png")).toString().toLatin1());
    QImage image;
    if (png.isEmpty() || !image.loadFromData(png, "PNG")) return nullptr;
    const QString kind = saved.value(QStringLiteral("kind")).toString();
    const auto pictureKind = kind == QLatin1String("icon")     ? ButtonPicture::Kind::Icon
                             : kind == QLatin1String("cursor") ? ButtonPicture::Kind::Cursor
                                                               : ButtonPicture::Kind::Bitmap;
    PictureRef picture = MakePicture(std::move(image), pictureKind);
    ok = picture != nullptr;
    return picture;
}

}  // namespace corvane::buttons
