#pragma once
// Fonts from a logical-font description. lfHeight below 0 is the character (em) height in
// pixels, above 0 the cell height (ascent + descent) in pixels, 0 a default 12-pixel character
// height. lfWeight 0 means 400. lfItalic, lfUnderline and lfStrikeOut are flags. lfFaceName names
// the face; a face that is not installed (such as "Verdana") falls back through fontconfig to a
// metric-compatible or common sans-serif face. lfQuality ANTIALIASED_QUALITY or CLEARTYPE_QUALITY
// draws smoothed glyphs; every other value draws them aliased, so text pixels are exactly the text
// colour. Kerning is off, so a line is as wide as its words and spaces together. lfWidth,
// lfEscapement, lfOrientation, lfCharSet, the precisions and lfPitchAndFamily are kept (GetObjectA
// returns them) but do not change the glyphs.
// Glyphs need the application's font database: until a QGuiApplication exists, fonts can be made
// and described but text calls fail.

#include <QFont>
#include <QString>

#include "platform/gdi/gdi_types.h"

namespace corvane::gdi {

HFONT CreateFontIndirectA(const LOGFONTA* logFont);

// The Qt font a description stands for (needs a QGuiApplication).
QFont QFontFromLogFont(const LOGFONTA& logFont);
// The family the font engine actually uses for the font; empty without an application or for
// an invalid handle.
QString ResolvedFontFamily(HFONT font);

}  // namespace corvane::gdi
