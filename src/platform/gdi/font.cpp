#include "platform/gdi/font.h"

#include <QFontInfo>
#include <QFontMetricsF>
#include <QGuiApplication>

#include <cmath>
#include <cstring>
#include <utility>

#include "platform/gdi/objects.h"

namespace corvane::gdi {

HFONT CreateFontIndirectA(const LOGFONTA* logFont) {
    if (!logFont) return nullptr;
    detail::FontObject font;
    font.logFont = *logFont;
    font.logFont.lfFaceName[LF_FACESIZE - 1] = '\0';
    return HFONT(detail::table().add(std::move(font)));
}

QFont QFontFromLogFont(const LOGFONTA& lf) {
    const std::size_t length = strnlen(lf.lfFaceName, LF_FACESIZE);
    const QString face = QString::fromLatin1(lf.lfFaceName, static_cast<qsizetype>(length));
    QFont font(face.isEmpty() ? QStringLiteral("Sans Serif") : face);
    font.setStyleHint(QFont::SansSerif);
    const bool smooth = lf.lfQuality == ANTIALIASED_QUALITY || lf.lfQuality == CLEARTYPE_QUALITY;
    font.setStyleStrategy(smooth ? QFont::PreferAntialias : QFont::NoAntialias);
    font.setHintingPreference(QFont::PreferFullHinting);
    font.setKerning(false);
    const LONG weight = lf.lfWeight == 0 ? FW_NORMAL : std::clamp<LONG>(lf.lfWeight, 1, 1000);
    font.setWeight(static_cast<QFont::Weight>(weight));
    font.setItalic(lf.lfItalic != 0);
    font.setUnderline(lf.lfUnderline != 0);
    font.setStrikeOut(lf.lfStrikeOut != 0);
    if (lf.lfHeight < 0) {
        font.setPixelSize(std::max<LONG>(1, -lf.lfHeight));
    } else if (lf.lfHeight > 0) {
        // A cell height: scale the character height so that ascent + descent matches it.
        font.setPixelSize(lf.lfHeight);
        const QFontMetricsF metrics(font);
        const double cell = metrics.ascent() + metrics.descent();
        if (cell > 0) {
            const double em = static_cast<double>(lf.lfHeight) * lf.lfHeight / cell;
            font.setPixelSize(std::max(1, static_cast<int>(std::lround(em))));
        }
    } else {
        font.setPixelSize(12);
    }
    return font;
}

QString ResolvedFontFamily(HFONT font) {
    auto* f = detail::lookup<ObjectKind::font, detail::FontObject>(font);
    if (!f || !qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return {};
    return QFontInfo(QFontFromLogFont(f->logFont)).family();
}

}  // namespace corvane::gdi
