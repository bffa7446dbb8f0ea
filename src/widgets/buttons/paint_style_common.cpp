// What the painters of styles 0, 1, 4, 5 and 6 share: their face colour and their disabled-caption colour.
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons {

OleColor zqButtons_H::StandardFace() const { return (mode_ != 0 && value_) ? faceColors_.checked : faceColors_.face; }

OleColor zqButtons_H::StandardDisabledColor() const { return (Enabled() || mode_ == 0) ? -1 : 0x808080; }

bool zqButtons_H::PaintStandardFrame(EdgeSet& edges, OleColor& face, OleColor& disabled) {
    face = StandardFace();
    DrawFace(face, edges, TranslateColor(gradientColor_), faceColors_.hot);
    if (edges.frameMode == 0) return false;
    disabled = StandardDisabledColor();
    DrawCaption(face, disabled, value_, mode_ > 0);
    return true;
}

OleColor zqButtons_H::FlatFace() const {
    if (mode_ == 0) return Pushed() ? faceColors_.pressed : faceColors_.face;
    return value_ ? faceColors_.checked : faceColors_.face;
}

}  // namespace corvane::buttons
