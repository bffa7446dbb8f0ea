#include "ui/main/resources.h"

#include <QtCore/qglobal.h>

// Q_INIT_RESOURCE must stand outside any namespace.
static void InitCorvaneResources() { Q_INIT_RESOURCE(corvane); }

namespace corvane::ui {

void InitResources() {
    static const bool done = (InitCorvaneResources(), true);
    static_cast<void>(done);
}

}  // namespace corvane::ui
