#include "widgets/buttons/system_colors.h"

#include "platform/gdi/sys_colors.h"

namespace corvane::buttons {

OleColor PlatformSystemColor(int index) { return static_cast<OleColor>(gdi::GetSysColor(index) & 0xFFFFFFu); }

}  // namespace corvane::buttons
