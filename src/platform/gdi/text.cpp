#include "platform/gdi/text.h"

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QPainter>

#include <cmath>
#include <cstring>
#include <vector>

#include "platform/gdi/font.h"
#include "platform/gdi/line_raster.h"
#include "platform/gdi/surface.h"

namespace corvane::gdi {

namespace {

// One shown line: its characters and which of them are underlined by a prefix.
struct Line {
    QString text;
    std::vector<bool> underline;
};

// Splits at CR LF, lone CR or lone LF.
std::vector<QString> hardLines(const QString& all, bool single) {
    std::vector<QString> out(1);
    for (qsizetype i = 0; i < all.size(); ++i) {
        const QChar c = all[i];
        if (c == u'\r' || c == u'\n') {
            if (c == u'\r' && i + 1 < all.size() && all[i + 1] == u'\n') ++i;
            if (!single) out.emplace_back();
            continue;
        }
        out.back().append(c);
    }
    return out;
}

Line stripPrefixes(const QString& raw, bool prefixes) {
    Line line;
    for (qsizetype i = 0; i < raw.size(); ++i) {
        if (prefixes && raw[i] == u'&') {
            if (i + 1 >= raw.size()) break;  // a lone trailing "&" shows nothing
            ++i;
            line.text.append(raw[i]);
            line.underline.push_back(raw[i] != u'&');
            continue;
        }
        line.text.append(raw[i]);
        line.underline.push_back(false);
    }
    return line;
}

class Measure {
public:
    explicit Measure(const QFont& font) : metrics_(font) {}
    int width(const QString& s) const { return static_cast<int>(std::lround(metrics_.horizontalAdvance(s))); }
    int advanceTo(const QString& s, qsizetype n) const { return width(s.left(n)); }
    const QFontMetricsF& metrics() const { return metrics_; }

private:
    QFontMetricsF metrics_;
};

Line slice(const Line& l, qsizetype from, qsizetype to) {
    Line out;
    out.text = l.text.mid(from, to - from);
    out.underline.assign(l.underline.begin() + from, l.underline.begin() + to);
    return out;
}

// Greedy word wrap: a line takes words while it fits in `limit` pixels.
void wrap(const Line& line, long long limit, const Measure& m, std::vector<Line>& out) {
    const QString& t = line.text;
    qsizetype start = 0;
    while (start < t.size() && t[start] == u' ') ++start;
    if (start >= t.size()) {
        out.push_back(Line{});
        return;
    }
    while (start < t.size()) {
        qsizetype end = start;  // end of the last word that fits
        qsizetype pos = start;
        while (pos < t.size()) {
            qsizetype wordEnd = pos;
            while (wordEnd < t.size() && t[wordEnd] == u' ') ++wordEnd;
            while (wordEnd < t.size() && t[wordEnd] != u' ') ++wordEnd;
            if (end > start && m.width(t.mid(start, wordEnd - start)) > limit) break;
            end = wordEnd;
            pos = wordEnd;
        }
        out.push_back(slice(line, start, end));
        start = end;
        while (start < t.size() && t[start] == u' ') ++start;
    }
}

void compose(detail::Surface& s, const QImage& mask, long long ox, long long oy, const RECT& clip, bool clipToRect,
             std::uint32_t textPixel, bool smooth) {
    const long long cx0 = clipToRect ? clip.left : LLONG_MIN / 4, cx1 = clipToRect ? clip.right : LLONG_MAX / 4;
    const long long cy0 = clipToRect ? clip.top : LLONG_MIN / 4, cy1 = clipToRect ? clip.bottom : LLONG_MAX / 4;
    for (int my = 0; my < mask.height(); ++my) {
        const long long y = oy + my;
        if (y < cy0 || y >= cy1) continue;
        const auto* m = reinterpret_cast<const std::uint32_t*>(mask.constScanLine(my));
        for (int mx = 0; mx < mask.width(); ++mx) {
            const unsigned a = m[mx] >> 24;
            if (a == 0) continue;
            const long long x = ox + mx;
            if (x < cx0 || x >= cx1 || !s.visible(x, y)) continue;
            std::uint32_t& d = s.row(static_cast<int>(y))[x];
            if (!smooth || s.monochrome()) {
                if (a >= 128) d = textPixel;
                continue;
            }
            std::uint32_t out = 0xFF000000u;
            for (int shift = 0; shift <= 16; shift += 8) {
                const unsigned tc = (textPixel >> shift) & 0xFF, dc = (d >> shift) & 0xFF;
                out |= ((tc * a + dc * (255 - a) + 127) / 255) << shift;
            }
            d = out;
        }
    }
}

}  // namespace

int DrawTextA(HDC dc, const char* text, int count, RECT* rect, UINT format) {
    detail::DcObject* d = detail::lookupDc(dc);
    if (!d || !rect || count < -1 || (!text && count != 0)) return 0;
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return 0;
    auto* fontObject = detail::lookup<ObjectKind::font, detail::FontObject>(d->font);
    if (!fontObject) return 0;
    const std::size_t length = count == -1 ? std::strlen(text) : static_cast<std::size_t>(count);
    const QString all = QString::fromLatin1(text, static_cast<qsizetype>(length));

    const QFont font = QFontFromLogFont(fontObject->logFont);
    const Measure m(font);
    const int ascent = static_cast<int>(std::lround(m.metrics().ascent()));
    const int lineHeight = ascent + static_cast<int>(std::lround(m.metrics().descent()));
    const bool single = format & DT_SINGLELINE;
    const bool prefixes = !(format & DT_NOPREFIX);
    const long long available = static_cast<long long>(rect->right) - rect->left;

    std::vector<Line> lines;
    if (length > 0) {
        for (const QString& raw : hardLines(all, single)) {
            Line line = stripPrefixes(raw, prefixes);
            if ((format & DT_WORDBREAK) && !single)
                wrap(line, available, m, lines);
            else
                lines.push_back(std::move(line));
        }
    }
    const int total = lineHeight * static_cast<int>(lines.size());
    if (format & DT_CALCRECT) {
        int widest = 0;
        for (const Line& l : lines) widest = std::max(widest, m.width(l.text));
        // wraps at the 32-bit limit like the rectangle helpers
        rect->right = static_cast<LONG>(static_cast<std::uint32_t>(rect->left) + static_cast<std::uint32_t>(widest));
        rect->bottom = static_cast<LONG>(static_cast<std::uint32_t>(rect->top) + static_cast<std::uint32_t>(total));
        return total;
    }
    auto surface = detail::surfaceOf(*d);
    if (!surface) return 0;

    long long y = rect->top;
    if (single && (format & DT_VCENTER))
        y = rect->top + detail::floorDiv(static_cast<long long>(rect->bottom) - rect->top - lineHeight, 2);
    if (single && (format & DT_BOTTOM)) y = static_cast<long long>(rect->bottom) - lineHeight;
    const bool smooth =
        fontObject->logFont.lfQuality == ANTIALIASED_QUALITY || fontObject->logFont.lfQuality == CLEARTYPE_QUALITY;
    const std::uint32_t textPixel = surface->pixelOf(d->textColor);
    const bool clipToRect = !(format & DT_NOCLIP);
    const int underlineTop = ascent + std::max(1, static_cast<int>(std::lround(m.metrics().underlinePos())));
    const int underlineHeight = std::max(1, static_cast<int>(std::lround(m.metrics().lineWidth())));

    for (const Line& line : lines) {
        const int lw = m.width(line.text);
        long long x = rect->left;
        if (format & DT_CENTER)
            x = rect->left + detail::floorDiv(available - lw, 2);
        else if (format & DT_RIGHT)
            x = static_cast<long long>(rect->right) - lw;
        if (d->bkMode == OPAQUE) {
            const std::uint32_t bk = surface->pixelOf(d->bkColor);
            long long x0 = x, x1 = x + lw, y0 = y, y1 = y + lineHeight;
            if (clipToRect) {
                x0 = std::max<long long>(x0, rect->left);
                x1 = std::min<long long>(x1, rect->right);
                y0 = std::max<long long>(y0, rect->top);
                y1 = std::min<long long>(y1, rect->bottom);
            }
            surface->fill(x0, y0, x1, y1, bk);
        }
        // Glyphs are drawn white on transparent into a mask with a margin for overhangs.
        const int margin = lineHeight;
        QImage mask(lw + 2 * margin, lineHeight + margin, QImage::Format_ARGB32_Premultiplied);
        if (mask.isNull()) return 0;
        mask.fill(Qt::transparent);
        {
            QPainter p(&mask);
            p.setFont(font);
            p.setPen(Qt::white);
            p.drawText(QPointF(margin, ascent), line.text);
            for (qsizetype i = 0; i < line.text.size(); ++i) {
                if (!line.underline[static_cast<std::size_t>(i)]) continue;
                const int from = m.advanceTo(line.text, i);
                const int to = m.advanceTo(line.text, i + 1);
                p.fillRect(QRect(margin + from, underlineTop, to - from, underlineHeight), Qt::white);
            }
        }
        compose(*surface, mask, x - margin, y, *rect, clipToRect, textPixel, smooth);
        y += lineHeight;
    }
    return total;
}

}  // namespace corvane::gdi
