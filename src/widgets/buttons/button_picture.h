#pragma once
// Pictures of the button control: the face picture ("Image") and the mouse icon ("mIcon"). A picture is
// shared by counted reference between the button and whoever assigned it, and never changes once made.
#include <QImage>
#include <QJsonValue>
#include <QPoint>
#include <QString>
#include <memory>

namespace corvane::buttons {

struct ButtonPicture {
    enum class Kind { Bitmap, Icon, Cursor };
    QImage image;
    Kind kind = Kind::Bitmap;
    QString source;  // the file or resource it came from; empty for pictures made in memory
    QPoint hotSpot;  // cursors only

    bool IsIcon() const { return kind == Kind::Icon; }
    bool IsIconOrCursor() const { return kind != Kind::Bitmap; }
};

using PictureRef = std::shared_ptr<const ButtonPicture>;

// Loads a picture from a file or a Qt resource (":/..."); ".ico" files are icons, ".cur" cursors, anything
// else a bitmap. nullptr when the file cannot be read as an image.
PictureRef LoadPicture(const QString& path);

// A picture made from an image in memory.
PictureRef MakePicture(QImage image, ButtonPicture::Kind kind = ButtonPicture::Kind::Bitmap);

// Saved form of a picture: {"source": path} when it came from a file or resource, else
// {"kind": "bitmap"|"icon"|"cursor", "png": base64 PNG}. Null for no picture.
QJsonValue PictureToJson(const PictureRef& picture);
// Reads the saved form back; `ok` is false when the value is neither null nor a readable picture.
PictureRef PictureFromJson(const QJsonValue& value, bool& ok);

}  // namespace corvane::buttons
