// Where the caption and the picture go: the caption rectangle and the picture rectangle, recomputed when
// the size, the shape, the caption, the font, the picture or an alignment changes.
#include <algorithm>

#include "platform/gdi/text.h"
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons {

void zqButtons_H::CalcLayout(bool buildMask) {
    const int w = InnerWidth(), h = InnerHeight();
    const int l = bottomLeftX_, r = topRightX_;
    int m = 0, right = w, a = r;
    switch (buttonShape_) {
        case 1:
            m = l - l / 3 + 3;
            right = w;
            a = w - m;
            break;
        case 2:
            m = 0;
            right = (w - r) / 3 + r;
            a = right;
            break;
        case 3:
            m = l - l / 3 + 3;
            right = (w - r) / 3 + r;
            a = right - m;
            break;
        case 7:
        case 8:
            m = 3;
            right = r - 3;
            a = right;
            break;
        default:
            break;
    }

    const bool hasPicture = pictureWidth_ + pictureHeight_ > 0;
    const int s = picturePixelSize_ == 0 ? 16 : picturePixelSize_;
    int leftSlot = 0, rightSlot = 0, topSlot = 0, bottomSlot = 0;
    if (hasPicture && s <= 32) {
        switch (pictureAlign_) {
            case 0:
            case 1:
                leftSlot = s;
                break;
            case 2:
            case 3:
                rightSlot = s;
                break;
            case 4:
                topSlot = s;
                break;
            case 5:
                bottomSlot = s;
                break;
            default:
                break;
        }
    }
    const int horizontalSlot = leftSlot + rightSlot;
    const int verticalSlot = topSlot + bottomSlot;

    // The caption as it is drawn: "||" breaks the line.
    captionText_.clear();
    int tw = 0, th = 0;
    if (!caption_.isEmpty()) {
        QString text = caption_;
        text.replace(QLatin1String("||"), QLatin1String("\r\n"));
        captionText_ = text.toLatin1().toStdString();
        gdi::RECT measure{0, 0, a - horizontalSlot - 8, h - 8 - verticalSlot};
        static_cast<void>(gdi::DrawTextA(canvasDC_, captionText_.c_str(), static_cast<int>(captionText_.size()),
                                         &measure, gdi::DT_CALCRECT | gdi::DT_WORDBREAK));
        tw = measure.right - measure.left;
        th = measure.bottom - measure.top;
        if (captionStyle_ != 0) {
            tw += 2;
            th += 2;
        }
    }

    int x = 0;
    switch (captionAlign_) {
        case 0:
            x = m + leftSlot + 4 + (leftSlot != 0 ? 4 : 0);
            break;
        case 1:
            x = right - rightSlot - tw - 4 - (rightSlot != 0 ? 4 : 0);
            break;
        case 2:
            if (leftSlot != 0 && pictureAlign_ == 1)
                x = m + (a - (tw + leftSlot + 4)) / 2 + leftSlot + 4;
            else if (rightSlot != 0 && pictureAlign_ == 3)
                x = m + (a - (tw + rightSlot + 4)) / 2;
            else
                x = m + leftSlot + (a - leftSlot - rightSlot - tw) / 2;
            break;
        default:
            break;
    }
    gdi::RECT cap{x, 0, x + tw, th};
    right -= 4;

    gdi::RECT pic{};
    const auto down = [&cap](int dy) {
        cap.top += dy;
        cap.bottom += dy;
    };
    if (!hasPicture) {
        down((h - th) / 2);
    } else {
        int left = 0, top = 0;
        const bool hasCaption = !caption_.isEmpty();
        switch (pictureAlign_) {
            case 4:
                top = (h - (th + s)) / 2;
                down(top + s + 2);
                left = m + (a - s) / 2;
                break;
            case 5: {
                const int d = (h - (th + s)) / 2;
                top = th + d + 4;
                down(d + 2);
                left = m + (a - s) / 2;
                break;
            }
            default:
                if (pictureAlign_ == 1 && hasCaption)
                    left = cap.left - leftSlot - 4;
                else if (pictureAlign_ == 3 && hasCaption)
                    left = cap.right + 4;
                else if (pictureAlign_ == 2 || pictureAlign_ == 3)
                    left = right - rightSlot;
                else
                    left = m + 4;
                down((h - th) / 2);
                top = (h - s) / 2;
                break;
        }
        pic = {left, top, left + s, top + s};
    }

    cap.top = std::max(cap.top, 4);
    cap.left = std::max(cap.left, m + 4);
    cap.right = std::min(cap.right, right);
    cap.bottom = std::min(cap.bottom, h - 5);
    captionRect_ = cap;

    if (s <= 32) {
        pic.top = std::max(pic.top, 4);
        pic.left = std::max(pic.left, m + 4);
        pic.right = std::min(pic.right, right);
        pic.bottom = std::min(pic.bottom, h - 5);
    } else if (s == 40) {
        pic = buttonShape_ == 6 ? gdi::RECT{1, 1, w - 1, h - 1} : gdi::RECT{3, 3, w - 3, h - 3};
        buildMask = true;
    } else if (buttonShape_ == 7 || buttonShape_ == 8) {
        pic = {0, 0, w, h};
    } else if (hasPicture) {
        int fw = 0, fh = 0;
        FitPicture(a - 12, h - 12, fw, fh);
        const int left = m + (a - fw) / 2, top = (h - fh) / 2;
        pic = {left, top, left + fw, top + fh};
        buildMask = true;
    }
    pictureRect_ = pic;
    if (buildMask && pic.right > pic.left && pic.bottom > pic.top)
        MakePictureRegion(pic.right - pic.left, pic.bottom - pic.top, nullptr);
}

}  // namespace corvane::buttons
