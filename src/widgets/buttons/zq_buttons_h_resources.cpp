// What the button derives from its resources: the four face colours from BackColor, the button font
// selected into the canvas from Font, and the picture's kind and natural size from Picture.
#include <cmath>
#include <cstring>

#include "platform/gdi/bitmap.h"
#include "platform/gdi/dc.h"
#include "platform/gdi/font.h"
#include "platform/gdi/get_object.h"
#include "platform/gdi/icon.h"
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons {

void zqButtons_H::UpdateResource(std::string_view resource) {
    if (resource == "BackColor") {
        faceColors_ = DeriveFaceColors(buttonStyle_, backColor_, hoverBackColor_);
        return;
    }
    if (resource == "Font") {
        if (!canvasDC_) return;
        const QFont f = font();
        gdi::LOGFONTA lf;
        const int dpi = logicalDpiY() > 0 ? logicalDpiY() : 96;
        const double twipsPerPixel = 1440.0 / dpi;
        if (f.pointSizeF() > 0)
            lf.lfHeight = static_cast<gdi::LONG>(std::nearbyint(-20.0 * f.pointSizeF() / twipsPerPixel));
        else
            lf.lfHeight = -f.pixelSize();
        lf.lfWidth = 0;
        lf.lfWeight = static_cast<gdi::LONG>(f.weight());
        lf.lfItalic = f.italic() ? 1 : 0;
        lf.lfUnderline = f.underline() ? 1 : 0;
        lf.lfStrikeOut = f.strikeOut() ? 1 : 0;
        lf.lfCharSet = gdi::DEFAULT_CHARSET;
        const QByteArray face = f.family().toLatin1();
        std::strncpy(lf.lfFaceName, face.constData(), gdi::LF_FACESIZE - 1);
        const gdi::HFONT created = gdi::CreateFontIndirectA(&lf);
        if (!created) return;
        const gdi::HGDIOBJ replaced = gdi::SelectObject(canvasDC_, created);
        if (!replaced) {
            static_cast<void>(gdi::DeleteObject(created));
            return;
        }
        if (!fontSelected_) {
            initialFont_ = replaced;
            fontSelected_ = true;
        } else {
            static_cast<void>(gdi::DeleteObject(replaced));
        }
        return;
    }
    if (resource == "Picture") {
        if (pictureBitmap_) static_cast<void>(gdi::DeleteObject(pictureBitmap_));
        if (pictureIcon_) static_cast<void>(gdi::DestroyIcon(pictureIcon_));
        pictureBitmap_ = nullptr;
        pictureIcon_ = nullptr;
        if (!picture_) {
            if (pictureMask_) static_cast<void>(gdi::DeleteObject(pictureMask_));
            pictureMask_ = nullptr;
            pictureWidth_ = pictureHeight_ = 0;
            return;
        }
        if (!picture_->IsIconOrCursor()) {
            pictureBitmap_ = gdi::CreateBitmapFromImage(picture_->image);
            gdi::BITMAP info;
            if (pictureBitmap_ && gdi::GetObjectA(pictureBitmap_, sizeof info, &info) != 0 && info.bmBits != nullptr) {
                pictureIsIcon_ = false;
                pictureWidth_ = info.bmWidth;
                pictureHeight_ = info.bmHeight;
            }
            return;
        }
        pictureIcon_ = gdi::CreateIconFromImage(picture_->image);
        gdi::ICONINFO icon;
        if (pictureIcon_ && gdi::GetIconInfo(pictureIcon_, &icon)) {
            gdi::BITMAP info;
            if (icon.hbmColor && gdi::GetObjectA(icon.hbmColor, sizeof info, &info) != 0) {
                pictureIsIcon_ = true;
                pictureWidth_ = info.bmWidth;
                pictureHeight_ = info.bmHeight;
            }
            if (icon.hbmColor) static_cast<void>(gdi::DeleteObject(icon.hbmColor));
            if (icon.hbmMask) static_cast<void>(gdi::DeleteObject(icon.hbmMask));
        }
    }
}

}  // namespace corvane::buttons
