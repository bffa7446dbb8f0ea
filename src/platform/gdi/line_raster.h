#pragma once
// The pixel rule of one-pixel lines. A line from A to B lights one pixel per step along its major
// axis (x when |dx| >= |dy|, else y), from A up to but not including B. On the minor axis each
// step takes the pixel nearest to the exact line; when the line passes exactly between two
// pixels the one with the smaller coordinate (further up or left) is taken. The rule does not
// depend on the direction: A to B and B to A light the same pixels apart from their excluded end.

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace corvane::gdi::detail {

inline long long floorDiv(long long a, long long b) {  // b > 0
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

inline long long ceilDiv(long long a, long long b) { return -floorDiv(-a, b); }

// Calls plot(x, y, step) for each pixel of the line whose major coordinate lies in
// [majorLow, majorHigh) (pixels outside that band are skipped without stepping through them).
template <class Plot>
void rasterLine(long long x0, long long y0, long long x1, long long y1, long long majorLow, long long majorHigh,
                Plot&& plot) {
    const long long dx = x1 - x0;
    const long long dy = y1 - y0;
    const bool xMajor = std::llabs(dx) >= std::llabs(dy);
    const long long n = xMajor ? std::llabs(dx) : std::llabs(dy);
    if (n == 0) return;
    const long long m0 = xMajor ? x0 : y0;
    const long long minor0 = xMajor ? y0 : x0;
    const long long sm = (xMajor ? dx : dy) > 0 ? 1 : -1;
    const long long dMinor = xMajor ? dy : dx;
    const long long sMinor = dMinor > 0 ? 1 : (dMinor < 0 ? -1 : 0);
    const long long aMinor = std::llabs(dMinor);
    long long first = 0;
    long long last = n;  // exclusive
    if (sm > 0) {
        first = std::max(first, majorLow - m0);
        last = std::min(last, majorHigh - m0);
    } else {
        first = std::max(first, m0 - majorHigh + 1);
        last = std::min(last, m0 - majorLow + 1);
    }
    if (first >= last) return;
    // Lines longer than 2^30 pixels need wider arithmetic for 2 i |minor|.
    const bool wide = n >= (1LL << 30) || aMinor >= (1LL << 30);
    if (!wide) {
        // Step by step: the minor offset r of step i is ceil((2 i a - n) / 2n) on a line whose minor
        // coordinate grows (ties up or left) and floor((2 i a + n) / 2n) on one whose minor coordinate
        // falls or stays; `rest` is what the division leaves, so each step only adds 2a to it.
        const long long den = 2 * n, add = 2 * aMinor;
        long long r = 0, rest = 0;
        if (sMinor >= 0) {
            const long long num = 2 * first * aMinor - n;
            r = ceilDiv(num, den);
            rest = r * den - num;  // in [0, den)
        } else {
            const long long num = 2 * first * aMinor + n;
            r = floorDiv(num, den);
            rest = num - r * den;  // in [0, den)
        }
        long long major = m0 + sm * first;
        for (long long i = first; i < last; ++i, major += sm) {
            const long long minor = minor0 + sMinor * r;
            if (xMajor)
                plot(major, minor, i);
            else
                plot(minor, major, i);
            // 2a <= den, so one carry at most
            if (sMinor >= 0) {
                rest -= add;
                if (rest < 0) {
                    rest += den;
                    ++r;
                }
            } else {
                rest += add;
                if (rest >= den) {
                    rest -= den;
                    ++r;
                }
            }
        }
        return;
    }
    for (long long i = first; i < last; ++i) {
        const __int128 twice = static_cast<__int128>(2 * i) * aMinor;
        const __int128 den = static_cast<__int128>(2) * n;
        // both numerators are >= -n > -den, so adding den keeps them positive for the division
        const long long r = sMinor >= 0 ? static_cast<long long>((twice - n + den - 1) / den)
                                        : static_cast<long long>((twice + n) / den);
        const long long major = m0 + sm * i;
        const long long minor = minor0 + sMinor * r;
        if (xMajor)
            plot(major, minor, i);
        else
            plot(minor, major, i);
    }
}

}  // namespace corvane::gdi::detail
