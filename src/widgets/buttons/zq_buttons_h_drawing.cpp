// The drawing entry points of zqButtons_H: Redraw with its DelayDrawing gate, the canvas kept at the
// window's size, the resources derived from BackColor, Font and Picture, and the paint and resize
// notifications. The face drawn here is a plain fill with the caption; the eight painters, the shapes
// and regions and the picture and caption layout take over Redraw, CalcLayout and BuildRegions.
#include <QPainter>

#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons {
namespace {

QColor ToQColor(OleColor color) {
    const OleColor rgb = TranslateColor(color);
    return QColor(rgb & 0xFF, (rgb >> 8) & 0xFF, (rgb >> 16) & 0xFF);
}

// The caption as it is drawn: "||" breaks the line, "&&" is an ampersand, a single "&" marks the access key.
QString DisplayCaption(const QString& caption) {
    QString lines = caption;
    lines.replace(QLatin1String("||"), QLatin1String("\n"));
    QString shown;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (lines[i] == QLatin1Char('&')) {
            if (i + 1 < lines.size() && lines[i + 1] == QLatin1Char('&')) {
                shown += QLatin1Char('&');
                ++i;
            }
            continue;
        }
        shown += lines[i];
    }
    return shown;
}

}  // namespace

void zqButtons_H::Redraw() {
    if (delayDrawing_) return;
    PaintPlainFace();
    ++redrawCount_;
    emit Redrawn();
    // Ask the host to show the new canvas (inside a paint request it is copied right away).
    if (!inPaint_) update();
}

void zqButtons_H::PaintPlainFace() {
    if (canvas_.size() != size()) canvas_ = QImage(size(), QImage::Format_RGB32);
    if (canvas_.isNull()) return;
    OleColor face = faceColors_.face;
    if (value_ && mode_ != 0) face = faceColors_.checked;
    if (pressed_ && (stateFlags_ & kButtonDown) != 0)
        face = faceColors_.pressed;
    else if (pointerOver_ && (stateFlags_ & kHotLook) != 0)
        face = faceColors_.hot;
    QPainter painter(&canvas_);
    painter.fillRect(canvas_.rect(), ToQColor(face));
    const bool hot = pointerOver_ && (stateFlags_ & kHotLook) != 0;
    painter.setPen(isEnabled() ? ToQColor(hot ? hoverForeColor_ : foreColor_) : QColor(Qt::gray));
    painter.setFont(font());
    const Qt::Alignment horizontal = captionAlign_ == 0   ? Qt::AlignLeft
                                     : captionAlign_ == 1 ? Qt::AlignRight
                                                          : Qt::AlignHCenter;
    painter.drawText(canvas_.rect().adjusted(3, 2, -3, -2), static_cast<int>(horizontal | Qt::AlignVCenter),
                     DisplayCaption(caption_));
}

void zqButtons_H::CalcLayout(bool /*pictureChanged*/) {
    // Caption and picture placement belong to the picture-and-caption layout; the plain face centres the
    // caption itself.
}

void zqButtons_H::BuildRegions() {
    // Window regions belong to the shapes; until they exist every button is rectangular.
}

void zqButtons_H::UpdateResource(std::string_view resource) {
    if (resource == "BackColor") {
        faceColors_ = DeriveFaceColors(buttonStyle_, backColor_, hoverBackColor_);
    } else if (resource == "Picture") {
        pictureWidth_ = picture_ ? picture_->image.width() : 0;
        pictureHeight_ = picture_ ? picture_->image.height() : 0;
        pictureIsIcon_ = picture_ && picture_->IsIcon();
    }
    // "Font": the plain face draws with the window's font directly.
}

void zqButtons_H::HostPaint() {
    delayDrawing_ = false;
    Redraw();
}

void zqButtons_H::HostResize() {
    // The canvas follows the window's size.
    if (canvas_.size() != size()) canvas_ = QImage(size(), QImage::Format_RGB32);
    UpdateResource("Font");
    if (delayDrawing_) return;
    BuildRegions();
    CalcLayout(false);
    Redraw();
}

}  // namespace corvane::buttons
