// What the painters of styles 0, 1, 4, 5 and 6 share: their face colour and their disabled-caption colour.
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons {

OleColor zqButtons_H::StandardFace() const { return (mode_ != 0 && value_) ? faceColors_.checked : faceColors_.face; }

OleColor zqButtons_H::StandardDisabledColor() const { return (Enabled() || mode_ == 0) ? -1 : 0x808080; }

}  // namespace corvane::buttons
