#include "platform/gdi/objects.h"

namespace corvane::gdi::detail {

namespace {

bool SameColumns(const QRect& a, const QRect& b) { return a.left() == b.left() && a.right() == b.right(); }
bool SameRows(const QRect& a, const QRect& b) { return a.top() == b.top() && a.bottom() == b.bottom(); }

}  // namespace

QRegion& RegionObject::edit() {
    if (form_ == Form::rect) {
        region_ = rect_.isEmpty() ? QRegion() : QRegion(rect_);
    } else if (form_ == Form::bands) {
        // QRegion keeps bands that touch and hold the same runs as one band.
        std::vector<QRect> merged;
        merged.reserve(list_.size());
        std::size_t previous = 0, previousCount = 0;
        for (std::size_t i = 0; i < list_.size();) {
            std::size_t j = i + 1;
            while (j < list_.size() && list_[j].top() == list_[i].top()) ++j;
            const std::size_t count = j - i;
            bool joins = previousCount == count && merged[previous].bottom() + 1 == list_[i].top();
            for (std::size_t k = 0; joins && k < count; ++k) joins = SameColumns(merged[previous + k], list_[i + k]);
            if (joins) {
                for (std::size_t k = 0; k < count; ++k) merged[previous + k].setBottom(list_[i].bottom());
            } else {
                previous = merged.size();
                previousCount = count;
                merged.insert(merged.end(), list_.begin() + static_cast<std::ptrdiff_t>(i),
                              list_.begin() + static_cast<std::ptrdiff_t>(j));
            }
            i = j;
        }
        region_.emplace();
        region_->setRects(merged.data(), static_cast<int>(merged.size()));
        list_ = std::vector<QRect>();
    }
    form_ = Form::general;
    return *region_;
}

void RegionObject::set(QRegion r) {
    region_ = std::move(r);
    list_ = std::vector<QRect>();
    form_ = Form::general;
}

int RegionObject::kindOfOtherForms() const {
    switch (form_) {
        case Form::rect:
            return rect_.isEmpty() ? NULLREGION : SIMPLEREGION;
        case Form::bands:
            return COMPLEXREGION;  // never one rectangle (collapse) and never empty
        case Form::general:
            break;
    }
    if (region_->isEmpty()) return NULLREGION;
    return region_->rectCount() == 1 ? SIMPLEREGION : COMPLEXREGION;
}

void RegionObject::uniteInGeneral(const QRect& r) {
    if (r.isEmpty()) return;
    if (form_ != Form::general && append(r)) return;
    edit() += r;
}

bool RegionObject::append(const QRect& r) {
    if (form_ == Form::rect) {
        if (rect_.isEmpty() || rect_.contains(r)) {
            if (rect_.isEmpty()) rect_ = r;
            return true;
        }
        if (SameColumns(r, rect_) && r.top() == rect_.bottom() + 1) {
            rect_.setBottom(r.bottom());
            return true;
        }
        if (SameRows(r, rect_) && r.left() == rect_.right() + 1) {
            rect_.setRight(r.right());
            return true;
        }
        const bool sameBand = SameRows(r, rect_) && r.left() > rect_.right() + 1;
        const bool below = r.top() > rect_.bottom();
        if (!sameBand && !below) return false;
        list_.assign({rect_, r});
        lastBand_ = sameBand ? 0 : 1;
        column_ = true;
        lastTouches_ = sameBand || r.top() == rect_.bottom() + 1;
        form_ = Form::bands;
        return true;
    }
    QRect& last = list_.back();
    if (SameRows(r, last)) {
        if (r.left() > last.right() + 1) {
            list_.push_back(r);
        } else if (r.left() == last.right() + 1) {
            last.setRight(r.right());
            collapse();
        } else if (r.left() < last.left() || r.right() > last.right()) {
            return false;  // overlaps or lies left of the band's end
        }
        return true;
    }
    if (r.top() <= last.bottom()) return false;
    // The last band is complete: does the column of single rectangles go on?
    column_ = column_ && list_.size() - lastBand_ == 1 && lastTouches_ && SameColumns(last, list_.front());
    lastTouches_ = r.top() == last.bottom() + 1;
    lastBand_ = list_.size();
    list_.push_back(r);
    collapse();
    return true;
}

void RegionObject::collapse() {
    if (!column_ || !lastTouches_ || lastBand_ == 0 || list_.size() - lastBand_ != 1 ||
        !SameColumns(list_.back(), list_.front()))
        return;
    rect_ = QRect(list_.front().topLeft(), list_.back().bottomRight());
    list_ = std::vector<QRect>();
    form_ = Form::rect;
}

}  // namespace corvane::gdi::detail
