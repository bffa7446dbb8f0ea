#include "platform/gdi/blit.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/gdi/bitmap.h"
#include "platform/gdi/rop.h"
#include "platform/gdi/surface.h"

namespace corvane::gdi {

using detail::BitmapObject;
using detail::DcObject;
using detail::Surface;

namespace {

// The operation on one pixel. The codes used all the time get a direct form; each equals the
// generic evaluation (tests compare them).
template <class F>
void withRop(DWORD rop, F&& run) {
    switch ((rop >> 16) & 0xFFu) {
        case 0x00:
            return run([](std::uint32_t, std::uint32_t, std::uint32_t) { return 0u; });
        case 0xFF:
            return run([](std::uint32_t, std::uint32_t, std::uint32_t) { return ~0u; });
        case 0xCC:
            return run([](std::uint32_t, std::uint32_t s, std::uint32_t) { return s; });
        case 0xF0:
            return run([](std::uint32_t p, std::uint32_t, std::uint32_t) { return p; });
        case 0x88:
            return run([](std::uint32_t, std::uint32_t s, std::uint32_t d) { return s & d; });
        case 0xEE:
            return run([](std::uint32_t, std::uint32_t s, std::uint32_t d) { return s | d; });
        case 0x66:
            return run([](std::uint32_t, std::uint32_t s, std::uint32_t d) { return s ^ d; });
        case 0x55:
            return run([](std::uint32_t, std::uint32_t, std::uint32_t d) { return ~d; });
        case 0x5A:
            return run([](std::uint32_t p, std::uint32_t, std::uint32_t d) { return p ^ d; });
        case 0x33:
            return run([](std::uint32_t, std::uint32_t s, std::uint32_t) { return ~s; });
        case 0x22:
            return run([](std::uint32_t, std::uint32_t s, std::uint32_t d) { return d & ~s; });
        case 0xB8:
            return run([](std::uint32_t p, std::uint32_t s, std::uint32_t d) { return ((d ^ p) & s) ^ p; });
        default:
            return run([rop](std::uint32_t p, std::uint32_t s, std::uint32_t d) { return EvaluateRop3(rop, p, s, d); });
    }
}

struct Axis {
    long long destStart = 0;
    long long destCount = 0;
    long long srcStart = 0;
    long long srcCount = 0;
    bool mirror = false;
};

Axis normalise(long long d, long long dn, long long s, long long sn) {
    Axis a;
    a.mirror = (dn < 0) != (sn < 0);
    // A negative size runs from the given coordinate back: x + size + 1 .. x.
    if (dn < 0) {
        d += dn + 1;
        dn = -dn;
    }
    if (sn < 0) {
        s += sn + 1;
        sn = -sn;
    }
    a.destStart = d;
    a.destCount = dn;
    a.srcStart = s;
    a.srcCount = sn;
    return a;
}

// Source coordinate of destination offset i along the axis.
long long sourceAt(const Axis& a, long long i) {
    long long k = a.srcCount == a.destCount ? i : detail::nearestSource(i, a.srcCount, a.destCount);
    if (a.mirror) k = a.srcCount - 1 - k;
    return a.srcStart + k;
}

// The source offsets whose pixel centres fall into destination offset i of a shrinking axis:
// k with i <= (2 k + 1) * destCount / (2 * srcCount) < i + 1, as absolute source coordinates
// [first, last). An axis that does not shrink gives the one pixel under the centre.
std::pair<long long, long long> blockOf(const Axis& a, long long i) {
    if (a.srcCount <= a.destCount) {
        const long long k = sourceAt(a, i);
        return {k, k + 1};
    }
    const auto start = [&](long long j) {
        const __int128 num = static_cast<__int128>(2 * j) * a.srcCount - a.destCount;
        const __int128 den = static_cast<__int128>(2) * a.destCount;
        return static_cast<long long>(num >= 0 ? (num + den - 1) / den : -((-num) / den));
    };
    const long long k0 = start(i), k1 = start(i + 1);
    if (a.mirror) return {a.srcStart + a.srcCount - k1, a.srcStart + a.srcCount - k0};
    return {a.srcStart + k0, a.srcStart + k1};
}

// The working rows of a transfer, kept per thread between calls: once they are large enough a
// transfer allocates nothing.
struct Scratch {
    std::vector<int> columns;
    std::vector<std::pair<long long, long long>> columnBlocks;
    std::vector<std::uint32_t> foldedRow;
    std::vector<char> foldedValid;
};

Scratch& scratch() {
    thread_local Scratch s;
    s.columns.clear();
    s.columnBlocks.clear();
    s.foldedRow.clear();
    s.foldedValid.clear();
    return s;
}

BOOL transfer(HDC destDc, Axis ax, Axis ay, HDC sourceDc, DWORD rop) {
    DcObject* dest = detail::lookupDc(destDc);
    if (!dest) return FALSE;
    auto target = detail::surfaceOf(*dest);
    if (!target) return FALSE;
    const bool needsSource = RopUsesSource(rop);
    const bool needsPattern = RopUsesPattern(rop);

    std::uint32_t pattern = 0;
    if (needsPattern) {
        auto* brush = detail::lookup<ObjectKind::brush, detail::BrushObject>(dest->brush);
        if (!brush) return FALSE;
        if (brush->brush.lbStyle == BS_NULL) return TRUE;
        pattern = target->pixelOf(brush->brush.lbColor);
    }
    if (ax.destCount == 0 || ay.destCount == 0) return TRUE;

    // The source, converted to the destination's format, as a private copy when it shares the
    // destination's bitmap.
    QImage sourceCopy;
    const std::uint32_t* srcRows = nullptr;
    std::ptrdiff_t srcStride = 0;
    int srcWidth = 0, srcHeight = 0;
    std::uint32_t monoBlack = 0, monoWhite = 0, colourKey = 0;
    bool monoToColour = false, colourToMono = false;
    if (needsSource) {
        DcObject* src = detail::lookupDc(sourceDc);
        if (!src || src->screen) return FALSE;
        BitmapObject* srcBitmap = detail::lookupBitmap(src->bitmap);
        BitmapObject* destBitmap = detail::lookupBitmap(dest->bitmap);
        if (!srcBitmap || !destBitmap || ax.srcCount == 0 || ay.srcCount == 0) return srcBitmap ? TRUE : FALSE;
        if (srcBitmap == destBitmap) {
            sourceCopy = srcBitmap->pixels.copy();
            srcRows = reinterpret_cast<const std::uint32_t*>(sourceCopy.constBits());
            srcStride = sourceCopy.bytesPerLine() / 4;
        } else {
            srcRows = reinterpret_cast<const std::uint32_t*>(srcBitmap->pixels.constBits());
            srcStride = srcBitmap->pixels.bytesPerLine() / 4;
        }
        srcWidth = srcBitmap->pixels.width();
        srcHeight = srcBitmap->pixels.height();
        monoToColour = srcBitmap->monochrome && !destBitmap->monochrome;
        colourToMono = !srcBitmap->monochrome && destBitmap->monochrome;
        monoBlack = detail::pixelFromColor(dest->textColor, false);
        monoWhite = detail::pixelFromColor(dest->bkColor, false);
        colourKey = detail::pixelFromColor(src->bkColor, false);
    }
    const auto convert = [&](std::uint32_t s) {
        if (monoToColour) return (s & 0xFFFFFFu) ? monoWhite : monoBlack;
        if (colourToMono) return s == colourKey ? 0xFFFFFFFFu : 0xFF000000u;
        return s;
    };

    // Destination columns and rows that fall inside the source.
    const long long y0 = std::max<long long>(ay.destStart, 0);
    const long long y1 = std::min<long long>(ay.destStart + ay.destCount, target->height());
    const long long x0 = std::max<long long>(ax.destStart, 0);
    const long long x1 = std::min<long long>(ax.destStart + ax.destCount, target->width());
    if (x0 >= x1 || y0 >= y1) return TRUE;
    Scratch& work = scratch();
    std::vector<int>& columns = work.columns;
    if (needsSource) {
        columns.resize(static_cast<std::size_t>(x1 - x0));
        for (long long x = x0; x < x1; ++x) {
            const long long sx = sourceAt(ax, x - ax.destStart);
            columns[static_cast<std::size_t>(x - x0)] = sx >= 0 && sx < srcWidth ? static_cast<int>(sx) : -1;
        }
    }
    // BLACKONWHITE and WHITEONBLACK fold every source pixel of a shrinking axis into its
    // destination pixel (AND, OR); COLORONCOLOR and HALFTONE keep the pixel under the centre.
    const bool folds = needsSource && (dest->stretchMode == BLACKONWHITE || dest->stretchMode == WHITEONBLACK) &&
                       (ax.srcCount > ax.destCount || ay.srcCount > ay.destCount);
    const bool foldAnd = dest->stretchMode == BLACKONWHITE;
    auto& columnBlocks = work.columnBlocks;
    auto& foldedRow = work.foldedRow;
    auto& foldedValid = work.foldedValid;
    if (folds) {
        for (long long x = x0; x < x1; ++x) {
            auto [c0, c1] = blockOf(ax, x - ax.destStart);
            columnBlocks.push_back({std::max<long long>(c0, 0), std::min<long long>(c1, srcWidth)});
        }
        foldedRow.resize(static_cast<std::size_t>(x1 - x0));
        foldedValid.resize(static_cast<std::size_t>(x1 - x0));
    }
    const bool copiesSource = !folds && ((rop >> 16) & 0xFFu) == 0xCC && !monoToColour && !colourToMono;
    const bool plainCopy = copiesSource && ax.srcCount == ax.destCount && !ax.mirror;
    if (copiesSource && !plainCopy) {
        // Scaled copy: gather each row through the column map; a row whose source row equals the
        // previous one is that row again.
        long long previousSource = -1;
        std::uint32_t* previousRow = nullptr;
        bool complete = true;  // every column has a source pixel
        for (int c : columns) complete = complete && c >= 0;
        for (long long y = y0; y < y1; ++y) {
            const long long sy = sourceAt(ay, y - ay.destStart);
            if (sy < 0 || sy >= srcHeight) continue;
            const std::uint32_t* srcRow = srcRows + sy * srcStride;
            std::uint32_t* d = target->row(static_cast<int>(y));
            if (!target->clipped() && sy == previousSource && previousRow) {
                std::memcpy(d + x0, previousRow + x0, static_cast<std::size_t>(x1 - x0) * 4);
                continue;
            }
            target->spans(y, x0, x1, [&](int, int a, int b) {
                const int* map = columns.data() - x0;
                for (int x = a; x < b; ++x)
                    if (map[x] >= 0) d[x] = srcRow[map[x]];
            });
            previousSource = complete ? sy : -1;
            previousRow = d;
        }
        return TRUE;
    }

    withRop(rop, [&](auto op) {
        for (long long y = y0; y < y1; ++y) {
            const std::uint32_t* srcRow = nullptr;
            if (folds) {
                auto [r0, r1] = blockOf(ay, y - ay.destStart);
                r0 = std::max<long long>(r0, 0);
                r1 = std::min<long long>(r1, srcHeight);
                for (std::size_t i = 0; i < foldedRow.size(); ++i) {
                    const auto [c0, c1] = columnBlocks[i];
                    std::uint32_t value = foldAnd ? ~0u : 0u;
                    bool any = false;
                    for (long long r = r0; r < r1; ++r)
                        for (long long c = c0; c < c1; ++c) {
                            const std::uint32_t p = srcRows[r * srcStride + c];
                            value = foldAnd ? (value & p) : (value | p);
                            any = true;
                        }
                    foldedRow[i] = value | 0xFF000000u;
                    foldedValid[i] = any;
                }
            } else if (needsSource) {
                const long long sy = sourceAt(ay, y - ay.destStart);
                if (sy < 0 || sy >= srcHeight) continue;
                srcRow = srcRows + sy * srcStride;
            }
            target->spans(y, x0, x1, [&](int row, int a, int b) {
                std::uint32_t* d = target->row(row);
                if (plainCopy) {
                    // straight copy, limited to the columns the source covers
                    const long long shift = ax.destStart - ax.srcStart;  // dest x = source x + shift
                    const long long from = std::max<long long>(a, shift);
                    const long long to = std::min<long long>(b, shift + srcWidth);
                    if (from < to)
                        std::memcpy(d + from, srcRow + (from - shift), static_cast<std::size_t>(to - from) * 4);
                    return;
                }
                for (int x = a; x < b; ++x) {
                    std::uint32_t s = 0;
                    if (folds) {
                        const auto i = static_cast<std::size_t>(x - x0);
                        if (!foldedValid[i]) continue;
                        s = convert(foldedRow[i]);
                    } else if (needsSource) {
                        const int sx = columns[static_cast<std::size_t>(x - x0)];
                        if (sx < 0) continue;
                        s = convert(srcRow[sx]);
                    }
                    d[x] = op(pattern, s, d[x]) | 0xFF000000u;
                }
            });
        }
    });
    return TRUE;
}

}  // namespace

BOOL PatBlt(HDC dc, int x, int y, int width, int height, DWORD rop) {
    if (RopUsesSource(rop)) return FALSE;
    return transfer(dc, normalise(x, width, 0, width), normalise(y, height, 0, height), nullptr, rop);
}

BOOL BitBlt(HDC dest, int x, int y, int width, int height, HDC source, int xSrc, int ySrc, DWORD rop) {
    return transfer(dest, normalise(x, width, xSrc, width), normalise(y, height, ySrc, height), source, rop);
}

int SetStretchBltMode(HDC dc, int mode) {
    DcObject* d = detail::lookupDc(dc);
    if (!d || mode < BLACKONWHITE || mode > HALFTONE) return 0;
    const int previous = d->stretchMode;
    d->stretchMode = mode;
    return previous;
}

int GetStretchBltMode(HDC dc) {
    const DcObject* d = detail::lookupDc(dc);
    return d ? d->stretchMode : 0;
}

BOOL StretchBlt(HDC dest, int x, int y, int width, int height, HDC source, int xSrc, int ySrc, int widthSrc,
                int heightSrc, DWORD rop) {
    return transfer(dest, normalise(x, width, xSrc, widthSrc), normalise(y, height, ySrc, heightSrc), source, rop);
}

}  // namespace corvane::gdi
