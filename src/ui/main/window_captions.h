#pragma once
// The main window's caption texts, which its tray tip repeats. The count and the protection are the
// service's; the window only words them.
#include <cstdint>
#include <string>

#include "platform/protection_service.h"

namespace corvane::ui {

// The caption the window is created with.
inline constexpr char kProgramCaption[] = "Corvane";

// The count as the window first shows it.
inline std::string StartupCaption(std::int32_t count) {
    return std::string(kProgramCaption) + " - " + std::to_string(count) + " Attempts Blocked";
}

// The count after each change (the text the engine's block reports have always shown).
inline std::string BlockedCaption(std::int32_t count) {
    return std::string(kProgramCaption) + " - " + std::to_string(count) + " Attempts blocked";
}

// What stands in place of the count while the service cannot protect for this user: short enough for
// the tray tip (63 characters).
inline std::string NotProtectedCaption(platform::ServiceStatus::Link link) {
    return std::string(kProgramCaption) + " - not protected: " +
           (link == platform::ServiceStatus::Link::kRefused ? "the service refuses this user"
                                                            : "the service is not running");
}

// What stands in place of the count while protection is on but the kernel refuses to tear connections
// down: nothing is torn down or counted until it works again.
inline std::string NotWorkingCaption() {
    return std::string(kProgramCaption) + " - not protected: the kernel refuses teardowns";
}

// Protection is on in the service, but not working.
inline bool ProtectionNotWorking(const platform::ServiceStatus& status) {
    return status.link == platform::ServiceStatus::Link::kConnected && status.protection &&
           !status.protectionProblem.empty();
}

}  // namespace corvane::ui
