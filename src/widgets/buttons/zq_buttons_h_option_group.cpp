// Option groups of zqButtons_H: every option-mode button of one container window is registered in that
// window's properties ("zq_OptCount" and one "zq_Obj" + slot per member, slots 1 to N). Members are named
// by their window handle, so a record can only ever resolve to a live button.
#include <limits>
#include <string>

#include "platform/window_props.h"
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons {
namespace {

std::string SlotName(int slot) { return "zq_Obj" + std::to_string(slot); }

}  // namespace

bool zqButtons_H::OptionToggle(std::int16_t action) {
    const platform::WindowHandle container = ContainerHandle();
    if (platform::WindowOf(container) == nullptr) return false;
    const platform::PropValue count = platform::GetPropA(container, "zq_OptCount");
    if (count < 0 || count > std::numeric_limits<std::int16_t>::max()) return false;
    const int n = static_cast<int>(count);
    const std::intptr_t self = Identity();

    if ((action == 1 || n > 0) && value_) {
        for (int slot = 1; slot <= n; ++slot) {
            const std::intptr_t member = platform::GetPropA(container, SlotName(slot));
            if (member == self) continue;
            if (zqButtons_H* other = FromIdentity(member); other != nullptr) other->SetValue(false);
        }
    }

    switch (action) {
        case -1: {
            int found = 0;
            for (int slot = 1; slot <= n; ++slot) {
                if (found == 0) {
                    if (platform::GetPropA(container, SlotName(slot)) == self) found = slot;
                    continue;
                }
                if (!platform::SetPropA(container, SlotName(slot - 1), platform::GetPropA(container, SlotName(slot))))
                    return false;
            }
            // Leaving a group the button is not registered in changes nothing.
            if (found == 0) return false;
            static_cast<void>(platform::RemovePropA(container, SlotName(n)));
            if (n == 1) {
                static_cast<void>(platform::RemovePropA(container, "zq_OptCount"));
            } else if (!platform::SetPropA(container, "zq_OptCount", n - 1)) {
                return false;
            }
            return false;
        }
        case 1:
            if (n >= std::numeric_limits<std::int16_t>::max()) return false;  // the count would overflow 16 bits
            if (!platform::SetPropA(container, "zq_OptCount", n + 1)) return false;
            if (!platform::SetPropA(container, SlotName(n + 1), self)) return false;
            return false;
        case 2:
            for (int slot = 1; slot <= n; ++slot) {
                const zqButtons_H* member = FromIdentity(platform::GetPropA(container, SlotName(slot)));
                if (member != nullptr && member->Value()) return true;
            }
            return false;
        default:
            return false;
    }
}

void zqButtons_H::LeaveGroupOnEnd() {
    // The end of an instance: drop this button's slot without touching the other members' values.
    const bool wasSelected = value_;
    value_ = false;
    OptionToggle(-1);
    value_ = wasSelected;
}

}  // namespace corvane::buttons
