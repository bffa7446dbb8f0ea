#include <QCoreApplication>

#include "platform/message_loop.h"

namespace corvane::platform {

void Yield() {
    if (QCoreApplication::instance() != nullptr) QCoreApplication::processEvents();
}

}  // namespace corvane::platform
