#include "widgets/buttons/arrow_navigation.h"

#include <QApplication>
#include <QKeyEvent>
#include <QObject>
#include <QWidget>
#include <memory>

namespace corvane::buttons {
namespace {

class ArrowNavigation final : public QObject {
public:
    explicit ArrowNavigation(QWidget* container) : QObject(container), container_(container) {
        setObjectName(QStringLiteral("zq_ArrowNavigation"));
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != container_ || event->type() != QEvent::KeyPress || event->spontaneous()) return false;
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->modifiers() != Qt::NoModifier) return false;
        switch (key->key()) {
            case Qt::Key_Right:
            case Qt::Key_Down:
                return MoveFocus(true);
            case Qt::Key_Left:
            case Qt::Key_Up:
                return MoveFocus(false);
            default:
                return false;
        }
    }

private:
    static bool Accepts(const QWidget* widget, const QWidget* form) {
        return widget->window() == form && (widget->focusPolicy() & Qt::TabFocus) != 0 && widget->isEnabled() &&
               widget->isVisibleTo(form);
    }

    bool MoveFocus(bool forward) {
        QWidget* form = container_->window();
        QWidget* from = QApplication::focusWidget();
        if (from == nullptr || from->window() != form) from = container_;
        QWidget* candidate = from;
        // Walk the focus chain (a ring) once at most.
        for (;;) {
            candidate = forward ? candidate->nextInFocusChain() : candidate->previousInFocusChain();
            if (candidate == nullptr || candidate == from) return true;
            if (Accepts(candidate, form)) {
                candidate->setFocus(forward ? Qt::TabFocusReason : Qt::BacktabFocusReason);
                return true;
            }
        }
    }

    QWidget* container_;
};

}  // namespace

void InstallArrowNavigation(QWidget* container) {
    if (container == nullptr) return;
    if (container->findChild<QObject*>(QStringLiteral("zq_ArrowNavigation"), Qt::FindDirectChildrenOnly) != nullptr)
        return;
    auto navigation = std::make_unique<ArrowNavigation>(container);
    container->installEventFilter(navigation.release());  // parent-owned by the container
}

}  // namespace corvane::buttons
