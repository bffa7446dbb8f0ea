// Window-level drawing on Qt widgets. Each window that asks for a context (or gets a region) gets a
// record, a child object that ends with it: the window's context, its region, and a view that shows
// the context's surface. The view is a child widget covering the window, below the window's other
// children and above what the window paints itself, and transparent for the mouse; it stays hidden
// until something is drawn on the context. A region becomes the widget's mask, which clips the
// widget's painting (its children's too) and its mouse input.
#include "platform/window_gdi.h"

#include <QEvent>
#include <QHash>
#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <QWidget>

#include <algorithm>
#include <optional>

#include "platform/gdi/dc.h"
#include "platform/gdi/region.h"
#include "platform/gdi/window_dc.h"

namespace corvane::platform {
namespace {

class SurfaceView final : public QWidget {
public:
    SurfaceView(QWidget* window, gdi::HDC dc) : QWidget(window), dc_(dc) {
        setObjectName(QStringLiteral("corvane-window-surface"));
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_OpaquePaintEvent);  // the surface covers every pixel: nothing below repaints
        setAttribute(Qt::WA_NoSystemBackground);
        setFocusPolicy(Qt::NoFocus);
        setGeometry(window->rect());
        lower();
        hide();
    }

protected:
    void paintEvent(QPaintEvent* event) override {
        const QImage surface = gdi::WindowContextImage(dc_);
        if (surface.isNull()) return;
        QPainter painter(this);
        painter.drawImage(event->rect().topLeft(), surface, event->rect());
    }

private:
    gdi::HDC dc_;
};

QColor BackgroundOf(const QWidget* window) { return window->palette().color(QPalette::Window); }

gdi::COLORREF ToColorRef(const QColor& c) { return gdi::RGB(c.red(), c.green(), c.blue()); }

class WindowRecord;

QHash<const QWidget*, WindowRecord*>& Records() {
    static QHash<const QWidget*, WindowRecord*> records;  // window thread only
    return records;
}

class WindowRecord final : public QObject {
public:
    explicit WindowRecord(QWidget* window) : QObject(window), window_(window) {
        setObjectName(QStringLiteral("corvane-window-gdi"));
        dc_ = gdi::MakeWindowContext(window->width(), window->height(), ToColorRef(BackgroundOf(window)),
                                     [this] { SurfaceTaken(); });
        view_ = new SurfaceView(window, dc_);  // owned by the window, like every child widget
        window->installEventFilter(this);
        Records().insert(window, this);
    }
    ~WindowRecord() override {
        Records().remove(window_);
        static_cast<void>(gdi::EndWindowContext(dc_));
    }
    WindowRecord(const WindowRecord&) = delete;
    WindowRecord& operator=(const WindowRecord&) = delete;

    gdi::HDC dc() const { return dc_; }
    const std::optional<QRegion>& region() const { return region_; }

    void SetRegion(std::optional<QRegion> region) {
        region_ = std::move(region);
        if (!region_) {
            window_->clearMask();
            static_cast<void>(gdi::SetWindowContextRegion(dc_, nullptr));
            return;
        }
        ApplyMask();
        static_cast<void>(gdi::SetWindowContextRegion(dc_, &*region_));
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        // Before the window's own resize handling, so that it draws on a surface of the new size.
        if (watched == window_ && event->type() == QEvent::Resize) {
            static_cast<void>(
                gdi::ResizeWindowContext(dc_, window_->width(), window_->height(), ToColorRef(BackgroundOf(window_))));
            if (view_) view_->setGeometry(window_->rect());
            if (region_) ApplyMask();
        }
        return false;
    }

private:
    // The window shows what of its region lies in its rectangle, and its mask keeps to that: a region
    // may reach past the window (a button's rectangle region is one pixel wider and taller than the
    // button), and where an opaque widget's mask reaches, Qt leaves the widgets below it unpainted when
    // it paints them together. The strip along the window would show the parent's background in the
    // first frame and the widget below (the main window's picture) in a repaint of the parent alone.
    void ApplyMask() {
        const QRegion shown = *region_ & window_->rect();
        // An empty mask would mean "no mask" to the widget: a region of nothing is a mask outside it.
        window_->setMask(shown.isEmpty() ? QRegion(-1, -1, 1, 1) : shown);
    }

    void SurfaceTaken() {
        if (!view_) return;
        if (view_->isHidden()) view_->show();
        view_->update();
    }

    QWidget* window_;
    gdi::HDC dc_;
    QPointer<SurfaceView> view_;
    std::optional<QRegion> region_;
};

WindowRecord* RecordOf(WindowHandle handle, bool create) {
    QWidget* window = WindowOf(handle);
    if (window == nullptr) return nullptr;
    if (WindowRecord* found = Records().value(window, nullptr); found != nullptr) return found;
    return create ? new WindowRecord(window) : nullptr;  // a child of the window, which deletes it
}

}  // namespace

gdi::HDC GetDC(WindowHandle window) {
    if (window == 0) return gdi::GetDC(nullptr);
    WindowRecord* record = RecordOf(window, true);
    return record != nullptr ? record->dc() : gdi::HDC();
}

int ReleaseDC(WindowHandle window, gdi::HDC dc) {
    if (window == 0) return gdi::ReleaseDC(nullptr, dc);
    const WindowRecord* record = RecordOf(window, false);
    return record != nullptr && dc && record->dc() == dc ? 1 : 0;
}

int SetWindowRgn(WindowHandle window, gdi::HRGN region, gdi::BOOL redraw) {
    if (WindowOf(window) == nullptr) return 0;
    std::optional<QRegion> shape;
    if (region) {
        gdi::RECT box;
        if (gdi::GetRgnBox(region, &box) == gdi::ERROR) return 0;  // not a region
        shape = gdi::RegionToQRegion(region);
    }
    WindowRecord* record = RecordOf(window, true);
    if (record == nullptr) return 0;
    record->SetRegion(std::move(shape));
    if (region) static_cast<void>(gdi::DeleteObject(region));  // the window's now
    if (redraw) WindowOf(window)->update();
    return 1;
}

int GetWindowRgn(WindowHandle window, gdi::HRGN region) {
    const WindowRecord* record = RecordOf(window, false);
    gdi::RECT box;
    if (record == nullptr || !record->region() || gdi::GetRgnBox(region, &box) == gdi::ERROR) return gdi::ERROR;
    const gdi::HRGN copy = gdi::CreateRgnFromQRegion(*record->region());
    const int kind = gdi::CombineRgn(region, copy, nullptr, gdi::RGN_COPY);
    static_cast<void>(gdi::DeleteObject(copy));
    return kind;
}

gdi::BOOL GetWindowRect(WindowHandle window, gdi::RECT* rect) {
    const QWidget* widget = WindowOf(window);
    if (widget == nullptr || rect == nullptr) return gdi::FALSE;
    QRect r = widget->frameGeometry();
    if (!widget->isWindow()) r.moveTopLeft(widget->mapToGlobal(QPoint(0, 0)));
    *rect = gdi::RECT{r.left(), r.top(), r.left() + r.width(), r.top() + r.height()};
    return gdi::TRUE;
}

gdi::BOOL MoveWindow(WindowHandle window, int x, int y, int width, int height, gdi::BOOL repaint) {
    QWidget* widget = WindowOf(window);
    if (widget == nullptr) return gdi::FALSE;
    width = std::max(width, 0);
    height = std::max(height, 0);
    if (widget->isWindow()) {
        // The frame keeps its thickness: the inner size is the outer one less the frame.
        const QRect frame = widget->frameGeometry();
        const QRect inner = widget->geometry();
        widget->move(x, y);
        widget->resize(std::max(width - (frame.width() - inner.width()), 0),
                       std::max(height - (frame.height() - inner.height()), 0));
    } else {
        widget->setGeometry(x, y, width, height);
    }
    if (repaint) widget->update();
    return gdi::TRUE;
}

}  // namespace corvane::platform
