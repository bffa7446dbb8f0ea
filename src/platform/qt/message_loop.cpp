#include <QCoreApplication>
#include <QEventLoop>

#include "platform/message_loop.h"

namespace corvane::platform {

void Yield() {
    if (QCoreApplication::instance() != nullptr) QCoreApplication::processEvents();
}

void WaitForMessages() {
    if (QCoreApplication::instance() != nullptr) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

}  // namespace corvane::platform
