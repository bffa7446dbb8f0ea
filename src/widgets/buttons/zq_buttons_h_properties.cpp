// The public properties of zqButtons_H: range checks, the design-time messages, the side effects in
// their order, and the changed marks.
#include <QCursor>
#include <QPixmap>
#include <optional>
#include <utility>

#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons {
namespace {

// Enumerated values are compared unsigned against their count: negative values fail like large ones.
bool InRange(std::int32_t value, std::uint32_t count) { return static_cast<std::uint32_t>(value) < count; }

bool LocksFollowBack(std::int32_t locks) { return locks == 0 || locks == 2; }
bool LocksFollowFore(std::int32_t locks) { return locks == 0 || locks == 1; }

// The access key of a caption: the character after the last ampersand that is not part of a doubled
// "&&" pair; empty when that ampersand ends the caption; nullopt when there is no such ampersand.
std::optional<QString> AccessKeyOf(const QString& caption) {
    qsizetype last = -1;
    for (qsizetype i = 0; i < caption.size(); ++i) {
        if (caption[i] != QLatin1Char('&')) continue;
        if (i + 1 < caption.size() && caption[i + 1] == QLatin1Char('&')) {
            ++i;  // a literal ampersand
            continue;
        }
        last = i;
    }
    if (last < 0) return std::nullopt;
    return last + 1 < caption.size() ? QString(caption[last + 1]) : QString();
}

}  // namespace

void zqButtons_H::SetButtonStyle(std::int32_t style) {
    if (!InRange(style, 8)) return;
    const std::int32_t old = buttonStyle_;
    buttonStyle_ = style;
    if (((old == 5 || style == 5) && buttonShape_ < 7) || buttonShape_ < 4) BuildRegions();
    CalcLayout(false);
    UpdateResource("BackColor");
    Redraw();
    MarkChanged("BackStyle");
}

void zqButtons_H::SetMode(std::int32_t mode) {
    if (!InRange(mode, 3)) return;
    const std::int32_t old = mode_;
    if (old == 2 && mode < 2) OptionToggle(-1);
    if (mode == 2 && old < 2) OptionToggle(1);
    if (mode == 0 && old > 0) SetValue(false);
    mode_ = mode;
    Redraw();
    MarkChanged("Mode");
}

void zqButtons_H::SetCaption(const QString& caption) {
    if (const auto key = AccessKeyOf(caption)) {
        accessKey_ = *key;
        GrabAccessKeys();
    }
    caption_ = caption;
    CalcLayout(false);
    Redraw();
    MarkChanged("Caption");
}

void zqButtons_H::SetCaptionAlign(std::int32_t align) {
    if (!InRange(align, 3)) return;
    if (align != 2 && pictureAlign_ >= 4 && pictureWidth_ + pictureHeight_ >= 1) {
        DesignMessage(
            QStringLiteral("When button images are aligned top/bottom center, \r\n"
                           "button captions can only be center aligned"));
        return;
    }
    captionAlign_ = align;
    CalcLayout(false);
    Redraw();
    MarkChanged("CapAlign");
}

void zqButtons_H::SetCaptionStyle(std::int32_t style) {
    if (!InRange(style, 3)) return;
    captionStyle_ = style;
    MarkChanged("CapStyle");
    if (!caption_.isEmpty()) {
        CalcLayout(false);
        Redraw();
    }
}

void zqButtons_H::SetCustomClick(std::int32_t direction) {
    if (!InRange(direction, 9)) return;
    if (buttonShape_ < 7 && direction > 0)
        DesignMessage(QStringLiteral("This property has no effect unless the Button Shape is a custom shape."));
    customClick_ = direction;
    MarkChanged("CustomClick");
}

void zqButtons_H::SetButtonShape(std::int32_t shape) {
    if (!InRange(shape, 9)) return;
    if (shape >= 7) {
        if (!picture_ || pictureIsIcon_) {
            DesignMessage(QStringLiteral("The Picture Property must be assigned first and must be a bitmap or JPEG."));
            return;
        }
        if (PictureSize() != 4) {
            DelayDrawing(true);
            SetPictureSize(4);
            delayDrawing_ = false;  // cleared without refreshing
        }
    }
    buttonShape_ = shape;
    captionAlign_ = 2;
    HostResize();
    DelayDrawing(false);
    MarkChanged("Shape");
}

void zqButtons_H::SetPicture(PictureRef picture) {
    picture_ = std::move(picture);
    if (picturePixelSize_ == 0) picturePixelSize_ = 16;
    UpdateResource("Picture");
    if (buttonShape_ < 7) {
        CalcLayout(true);
        Redraw();
    } else {
        if (!picture_) {
            buttonShape_ = 0;
        } else if (pictureIsIcon_) {
            buttonShape_ = 0;
            DesignMessage(
                QStringLiteral("Icons cannot be used for custom buttons. Only use bitmaps or JPEGs.\r\n"
                               "Button was changed to Rectangular shaped."));
        }
        HostResize();
    }
    MarkChanged("Image");
}

void zqButtons_H::SetPictureAlign(std::int32_t align) {
    if (!InRange(align, 6)) return;
    pictureAlign_ = align;
    if (align == 4 || align == 5) SetCaptionAlign(2);
    CalcLayout(false);
    Redraw();
    MarkChanged("ImgAlign");
}

bool zqButtons_H::Enabled() const { return !testAttribute(Qt::WA_ForceDisabled); }

void zqButtons_H::SetEnabled(bool enabled) {
    if (enabled == Enabled()) return;
    setEnabled(enabled);
    if (buttonStyle_ == 3 && mode_ == 0 && buttonShape_ <= 3) {
        DelayDrawing(true);
        BuildRegions();
        CalcLayout(false);
        DelayDrawing(false);
    } else {
        Redraw();
    }
    MarkChanged("Enabled");
}

void zqButtons_H::SetShowFocusRect(bool show) {
    showFocusRect_ = show;
    if ((stateFlags_ & kFocusLook) != 0) {
        if (userMode_) {
            stateFlags_ &= static_cast<std::uint16_t>(~kFocusLook);
            Redraw();
        } else {
            DesignMessage(
                QStringLiteral("The focus rectangle may appear on default buttons ONLY while in design "
                               "mode, \r\nbut will not appear when the form is running."));
        }
    } else {
        Redraw();
    }
    MarkChanged("Focus");
}

void zqButtons_H::SetValue(bool value) {
    if (value && mode_ == 0) {
        DesignMessage(QStringLiteral("This property is not applicable for command button modes."));
        return;
    }
    value_ = value;
    if (value && mode_ == 2) OptionToggle(0);
    Redraw();
    MarkChanged("Value");
}

std::int32_t zqButtons_H::PictureSize() {
    if (picturePixelSize_ == 0) picturePixelSize_ = 16;
    return picturePixelSize_ / 8 - 2;
}

void zqButtons_H::SetPictureSize(std::int32_t size) {
    if (!InRange(size, 5)) return;
    if (buttonShape_ >= 7) {
        DesignMessage(QStringLiteral("The picture size cannot be changed for Shaped buttons"));
        return;
    }
    picturePixelSize_ = static_cast<std::int16_t>((size + 2) * 8);
    CalcLayout(true);
    Redraw();
    MarkChanged("ImgSize");
}

void zqButtons_H::SetMousePointer(std::int32_t pointer) {
    mousePointer_ = static_cast<std::int16_t>(pointer);
    ApplyCursor();
    MarkChanged("mPointer");
}

bool zqButtons_H::SetMouseIcon(PictureRef icon) {
    if (icon && !icon->IsIconOrCursor()) {
        DesignMessage(QStringLiteral("Invalid property value"), QStringLiteral("Select .ico Or .cur Files Only"));
        return false;
    }
    mouseIcon_ = std::move(icon);
    if (mouseIcon_) {
        SetMousePointer(99);
        MarkChanged("mIcon");
    } else {
        ApplyCursor();
    }
    return true;
}

void zqButtons_H::ApplyCursor() {
    switch (mousePointer_) {
        case 1:
            setCursor(Qt::ArrowCursor);
            break;
        case 2:
            setCursor(Qt::CrossCursor);
            break;
        case 3:
            setCursor(Qt::IBeamCursor);
            break;
        case 5:
        case 15:
            setCursor(Qt::SizeAllCursor);
            break;
        case 6:
            setCursor(Qt::SizeBDiagCursor);
            break;
        case 7:
            setCursor(Qt::SizeVerCursor);
            break;
        case 8:
            setCursor(Qt::SizeFDiagCursor);
            break;
        case 9:
            setCursor(Qt::SizeHorCursor);
            break;
        case 10:
            setCursor(Qt::UpArrowCursor);
            break;
        case 11:
            setCursor(Qt::WaitCursor);
            break;
        case 12:
            setCursor(Qt::ForbiddenCursor);
            break;
        case 13:
            setCursor(Qt::BusyCursor);
            break;
        case 14:
            setCursor(Qt::WhatsThisCursor);
            break;
        case 99:
            if (mouseIcon_) {
                setCursor(
                    QCursor(QPixmap::fromImage(mouseIcon_->image), mouseIcon_->hotSpot.x(), mouseIcon_->hotSpot.y()));
                break;
            }
            unsetCursor();
            break;
        default:
            unsetCursor();
            break;
    }
}

void zqButtons_H::SetFont(const QFont& newFont) {
    setFont(newFont);
    UpdateResource("Font");
    CalcLayout(false);
    Redraw();
    MarkChanged("Font");
}

std::int32_t zqButtons_H::FontStyle() const {
    const QFont f = font();
    return 2 * (f.bold() ? 1 : 0) + 4 * (f.italic() ? 1 : 0) + 8 * (f.underline() ? 1 : 0);
}

void zqButtons_H::SetFontStyle(std::int32_t style) {
    QFont f = font();
    f.setBold((style & 2) != 0);
    f.setItalic((style & 4) != 0);
    f.setUnderline((style & 8) != 0);
    setFont(f);
    UpdateResource("Font");
    CalcLayout(false);
    MarkChanged("Font");
    Redraw();
}

void zqButtons_H::SetForeColor(OleColor color) {
    if (color == foreColor_) return;
    foreColor_ = color;
    if (LocksFollowFore(hoverColorLocks_)) SetHoverForeColor(color);
    delayDrawing_ = false;
    Redraw();
    MarkChanged("cFore");
}

void zqButtons_H::SetBackColor(OleColor color) {
    backColor_ = color;
    if (LocksFollowBack(hoverColorLocks_)) SetHoverBackColor(gradientMode_ != 0 ? gradientColor_ : color);
    UpdateResource("BackColor");
    Redraw();
    MarkChanged("cBack");
}

void zqButtons_H::SetGradientColor(OleColor color) {
    if (LocksFollowBack(hoverColorLocks_) && gradientMode_ > 0) hoverBackColor_ = color;
    gradientColor_ = color;
    UpdateResource("BackColor");
    if (gradientMode_ != 0) Redraw();
    MarkChanged("cGradient");
}

void zqButtons_H::SetGradientMode(std::int32_t mode) {
    if (!InRange(mode, 5)) return;
    gradientMode_ = mode;
    if (LocksFollowBack(hoverColorLocks_)) {
        hoverBackColor_ = mode == 0 ? backColor_ : gradientColor_;
        UpdateResource("BackColor");
    }
    Redraw();
    MarkChanged("Gradient");
}

void zqButtons_H::SetResetDefaultColors(bool reset) {
    if (userMode_ || !reset) return;
    DelayDrawing(true);
    backColor_ = kButtonFace;
    SetForeColor(kButtonText);
    SetGradientColor(kButtonFace);
    SetGradientMode(0);
    SetHoverColorLocks(0);
    UpdateResource("BackColor");
    DelayDrawing(false);
    MarkChanged("cGradient");
    MarkChanged("cBack");
}

void zqButtons_H::SetHoverColorLocks(std::int32_t locks) {
    hoverColorLocks_ = locks;
    if (LocksFollowBack(locks)) {
        hoverBackColor_ = gradientMode_ != 0 ? gradientColor_ : backColor_;
        MarkChanged("cBHover");
    }
    if (LocksFollowFore(locks)) {
        hoverForeColor_ = foreColor_;
        MarkChanged("cFHover");
    }
    UpdateResource("BackColor");
    MarkChanged("LockHover");
}

void zqButtons_H::SetHoverForeColor(OleColor color) {
    if (color == hoverForeColor_) return;
    hoverForeColor_ = color;
    MarkChanged("cFHover");
    if (color != foreColor_) {
        if (hoverColorLocks_ == 0)
            hoverColorLocks_ = 2;
        else if (hoverColorLocks_ == 1)
            hoverColorLocks_ = 3;
    }
}

void zqButtons_H::SetHoverBackColor(OleColor color) {
    if (color == hoverBackColor_) return;
    hoverBackColor_ = color;
    if (color != backColor_) {
        if (hoverColorLocks_ == 0)
            hoverColorLocks_ = 1;
        else if (hoverColorLocks_ == 2)
            hoverColorLocks_ = 3;
    }
    UpdateResource("BackColor");
    MarkChanged("cBHover");
}

platform::WindowHandle zqButtons_H::hwnd() const { return platform::HandleOf(const_cast<zqButtons_H*>(this)); }

void zqButtons_H::Refresh() {
    delayDrawing_ = false;
    Redraw();
}

void zqButtons_H::DelayDrawing(bool bDelay) {
    delayDrawing_ = bDelay;
    if (!bDelay) Refresh();
}

}  // namespace corvane::buttons
