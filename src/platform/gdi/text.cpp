#include "platform/gdi/text.h"

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QPainter>
#include <QPointer>

#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
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
    const bool blend = smooth && !s.monochrome();
    const long long x0 = std::max(ox, cx0), x1 = std::min(ox + mask.width(), cx1);
    if (x0 >= x1) return;
    for (int my = 0; my < mask.height(); ++my) {
        const long long y = oy + my;
        if (y < cy0 || y >= cy1) continue;
        const auto* m = reinterpret_cast<const std::uint32_t*>(mask.constScanLine(my));
        s.spans(y, x0, x1, [&](int row, int from, int to) {
            std::uint32_t* d = s.row(row);
            for (int x = from; x < to; ++x) {
                const unsigned a = m[x - ox] >> 24;
                if (a == 0) continue;
                if (!blend) {
                    if (a >= 128) d[x] = textPixel;
                    continue;
                }
                std::uint32_t out = 0xFF000000u;
                for (int shift = 0; shift <= 16; shift += 8) {
                    const unsigned tc = (textPixel >> shift) & 0xFF, dc = (d[x] >> shift) & 0xFF;
                    out |= ((tc * a + dc * (255 - a) + 127) / 255) << shift;
                }
                d[x] = out;
            }
        });
    }
}

// Glyphs are drawn white on transparent into a mask with a margin for overhangs; the mask keeps the
// part that has ink, and where that part lies from the line's origin.
struct DrawnLine {
    Line line;
    int width = 0;
    bool drawn = false;
    QImage mask;  // null when the line shows no ink
    int maskLeft = 0, maskTop = 0;
};

// A text broken into lines the way one set of format flags (and, for word breaks, one width) breaks it.
struct Layout {
    std::string text;
    UINT flags = 0;
    long long available = 0;
    std::vector<DrawnLine> lines;
    int widest = 0;
};

constexpr UINT kLayoutFlags = DT_SINGLELINE | DT_NOPREFIX | DT_WORDBREAK;
constexpr std::size_t kKeptLayouts = 8;

// Draws the line's glyphs and underlines once; false when the mask cannot be made.
bool drawLine(DrawnLine& l, const QFont& font, const Measure& m, int ascent, int lineHeight, int underlineTop,
              int underlineHeight) {
    const int margin = lineHeight;
    QImage mask(l.width + 2 * margin, lineHeight + margin, QImage::Format_ARGB32_Premultiplied);
    if (mask.isNull()) return false;
    mask.fill(Qt::transparent);
    {
        QPainter p(&mask);
        p.setFont(font);
        p.setPen(Qt::white);
        p.drawText(QPointF(margin, ascent), l.line.text);
        for (qsizetype i = 0; i < l.line.text.size(); ++i) {
            if (!l.line.underline[static_cast<std::size_t>(i)]) continue;
            const int from = m.advanceTo(l.line.text, i);
            const int to = m.advanceTo(l.line.text, i + 1);
            p.fillRect(QRect(margin + from, underlineTop, to - from, underlineHeight), Qt::white);
        }
    }
    int left = mask.width(), right = -1, top = mask.height(), bottom = -1;
    for (int y = 0; y < mask.height(); ++y) {
        const auto* row = reinterpret_cast<const std::uint32_t*>(mask.constScanLine(y));
        for (int x = 0; x < mask.width(); ++x) {
            if ((row[x] >> 24) == 0) continue;
            left = std::min(left, x);
            right = std::max(right, x);
            top = std::min(top, y);
            bottom = y;
        }
    }
    l.drawn = true;
    if (right < 0) return true;
    l.mask = mask.copy(left, top, right - left + 1, bottom - top + 1);
    if (l.mask.isNull()) {
        l.drawn = false;
        return false;
    }
    l.maskLeft = left - margin;
    l.maskTop = top;
    return true;
}

}  // namespace

namespace detail {

// What a font keeps between calls: its metrics and the last texts it laid out, with their lines' masks.
// Made again when the application (and so the font database) is not the one it was made with.
struct TextLayouts {
    QPointer<QCoreApplication> application;
    int ascent = 0, lineHeight = 0, underlineTop = 0, underlineHeight = 0;
    std::vector<Layout> kept;
    std::size_t next = 0;  // the one replaced when all are taken
};

}  // namespace detail

namespace {

detail::TextLayouts& layoutsOf(detail::FontObject& font, const Measure& m) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!font.layouts || font.layouts->application.isNull() || font.layouts->application.data() != app) {
        auto fresh = std::make_shared<detail::TextLayouts>();
        fresh->application = app;
        fresh->ascent = static_cast<int>(std::lround(m.metrics().ascent()));
        fresh->lineHeight = fresh->ascent + static_cast<int>(std::lround(m.metrics().descent()));
        fresh->underlineTop = fresh->ascent + std::max(1, static_cast<int>(std::lround(m.metrics().underlinePos())));
        fresh->underlineHeight = std::max(1, static_cast<int>(std::lround(m.metrics().lineWidth())));
        fresh->kept.reserve(kKeptLayouts);
        font.layouts = std::move(fresh);
    }
    return *font.layouts;
}

bool current(const detail::FontObject& font) {
    return font.layouts && !font.layouts->application.isNull() &&
           font.layouts->application.data() == QCoreApplication::instance();
}

Layout* findLayout(detail::TextLayouts& t, std::string_view text, UINT flags, long long available) {
    for (Layout& l : t.kept)
        if (l.flags == flags && l.available == available && l.text == text) return &l;
    return nullptr;
}

Layout& makeLayout(detail::TextLayouts& t, std::string_view text, UINT flags, long long available, const Measure& m) {
    Layout layout;
    layout.text.assign(text);
    layout.flags = flags;
    layout.available = available;
    const bool single = flags & DT_SINGLELINE;
    const QString all = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
    std::vector<Line> lines;
    if (!text.empty()) {
        for (const QString& raw : hardLines(all, single)) {
            Line line = stripPrefixes(raw, !(flags & DT_NOPREFIX));
            if ((flags & DT_WORDBREAK) && !single)
                wrap(line, available, m, lines);
            else
                lines.push_back(std::move(line));
        }
    }
    layout.lines.reserve(lines.size());
    for (Line& line : lines) {
        DrawnLine d;
        d.width = m.width(line.text);
        d.line = std::move(line);
        layout.widest = std::max(layout.widest, d.width);
        layout.lines.push_back(std::move(d));
    }
    if (t.kept.size() < kKeptLayouts) {
        t.kept.push_back(std::move(layout));
        return t.kept.back();
    }
    Layout& slot = t.kept[t.next];
    t.next = (t.next + 1) % kKeptLayouts;
    slot = std::move(layout);
    return slot;
}

}  // namespace

int DrawTextA(HDC dc, const char* text, int count, RECT* rect, UINT format) {
    detail::DcObject* d = detail::lookupDc(dc);
    if (!d || !rect || count < -1 || (!text && count != 0)) return 0;
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return 0;
    auto* fontObject = detail::lookup<ObjectKind::font, detail::FontObject>(d->font);
    if (!fontObject) return 0;
    const std::size_t length = count == -1 ? std::strlen(text) : static_cast<std::size_t>(count);
    const std::string_view all(text, length);

    // The Qt font and its metrics are made only when something has to be measured or drawn anew.
    std::optional<QFont> font;
    std::optional<Measure> measure;
    const auto qtFont = [&]() -> const Measure& {
        if (!measure) {
            font.emplace(QFontFromLogFont(fontObject->logFont));
            measure.emplace(*font);
        }
        return *measure;
    };
    detail::TextLayouts& cache = current(*fontObject) ? *fontObject->layouts : layoutsOf(*fontObject, qtFont());
    const int ascent = cache.ascent;
    const int lineHeight = cache.lineHeight;
    const bool single = format & DT_SINGLELINE;
    const long long available = static_cast<long long>(rect->right) - rect->left;

    const UINT flags = format & kLayoutFlags;
    const long long breakWidth = (flags & DT_WORDBREAK) && !single ? available : 0;
    Layout* layout = findLayout(cache, all, flags, breakWidth);
    if (!layout) layout = &makeLayout(cache, all, flags, breakWidth, qtFont());
    const int total = lineHeight * static_cast<int>(layout->lines.size());
    if (format & DT_CALCRECT) {
        const int widest = layout->widest;
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

    for (DrawnLine& line : layout->lines) {
        const int lw = line.width;
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
        if (!line.drawn) {
            const Measure& m = qtFont();
            if (!drawLine(line, *font, m, ascent, lineHeight, cache.underlineTop, cache.underlineHeight)) return 0;
        }
        if (!line.mask.isNull())
            compose(*surface, line.mask, x + line.maskLeft, y + line.maskTop, *rect, clipToRect, textPixel, smooth);
        y += lineHeight;
    }
    return total;
}

}  // namespace corvane::gdi
