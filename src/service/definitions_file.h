#pragma once
// New definitions handed to the service: read from the caller's descriptor, checked the way the
// loader reads them, and put in place of qd.def in one step.
#include <cstddef>
#include <string>
#include <string_view>

#include "engine/block_list.h"

namespace corvane::service {

// Definitions files larger than this are refused.
inline constexpr std::size_t kMaxDefinitionsBytes = 4 * 1024 * 1024;

// Reads the whole content of `fd` from its offset 0 (the descriptor's own offset is neither used
// nor moved). Only a regular file (a memfd is one) of at most kMaxDefinitionsBytes is read. False,
// with `why` in plain words, otherwise.
bool ReadDefinitionsDescriptor(int fd, std::string& bytes, std::string& why);

// True when the loader finds in `bytes` a version line and at least one entry that is the text of
// an IPv4 address; `definitions` is then what the loader made of them.
bool CheckDefinitions(std::string_view bytes, engine::Definitions& definitions, std::string& why);

// Puts `bytes` in place of qd.def in `stateDir`: a new file in the same folder (mode 0644, never
// through a link), written and flushed to disk, then renamed over qd.def; the folder is flushed too.
// On failure qd.def is untouched and `why` says what failed.
bool ReplaceDefinitionsFile(const std::string& stateDir, std::string_view bytes, std::string& why);

}  // namespace corvane::service
