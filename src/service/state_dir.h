#pragma once
// The service's state folder (qd.def, and normally the settings store): its own, writable by no one
// else. Made (mode 0700) when missing; refused when it is a link or another user's; write rights
// of the group or of others are taken away.
#include <string>
#include <vector>

namespace corvane::service {

// False, with `why`, when the folder cannot be used. `notes` gets what was changed.
bool PrepareStateDir(const std::string& dir, std::vector<std::string>& notes, std::string& why);

}  // namespace corvane::service
