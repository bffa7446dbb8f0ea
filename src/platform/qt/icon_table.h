#pragma once
// The Qt icon behind an icon handle, for the Qt implementations of the tray and the windows.
#include <QIcon>

#include "platform/icons.h"

namespace corvane::platform {

// A null icon for 0 or an unknown handle.
QIcon IconOf(IconHandle handle);

}  // namespace corvane::platform
