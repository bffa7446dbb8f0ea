#pragma once
// New definitions handed to the service: read from the caller's descriptor, checked the way the
// loader reads them, and put in place of qd.def in one step.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "engine/block_list.h"

namespace corvane::service {

// Definitions files larger than this are refused.
inline constexpr std::size_t kMaxDefinitionsBytes = 4 * 1024 * 1024;

// Reads the whole content of `fd` from its offset 0 (the descriptor's own offset is neither used
// nor moved). Only a regular file (a memfd is one) of at most kMaxDefinitionsBytes is read. False,
// with `why` in plain words, otherwise.
bool ReadDefinitionsDescriptor(int fd, std::string& bytes, std::string& why);

// Whether `text` is shaped like an IPv4 address in dotted form: four groups of one to three decimal
// digits joined by ".". Shape only: "127.0.0.010" and "999.1.1.1" pass (they never match a
// connection), "example.com" and "1.2.3" do not.
bool IsDottedShape(std::string_view text);

// True when `bytes` is a whole definitions file as the loader reads it: the last line ends with
// CR LF (a file cut off part-way does not), there is a version line, and at least one entry, every
// one of them dotted-shaped (IsDottedShape). `definitions` is then what the loader made of them; on
// false it is empty and `why` says what is wrong in plain words.
bool CheckDefinitions(std::string_view bytes, engine::Definitions& definitions, std::string& why);

// Puts `bytes` in place of qd.def in `stateDir`: a new file in the same folder (mode 0644, never
// through a link), written and flushed to disk, then renamed over qd.def; the folder is flushed too.
// On failure qd.def is untouched and `why` says what failed.
bool ReplaceDefinitionsFile(const std::string& stateDir, std::string_view bytes, std::string& why);

// Removes the temporary files ".qd.def.*" that a write interrupted by a crash or a kill left in
// `stateDir` (never a folder, never through a link). Meant for the service's start, while no new
// definitions are being written. One line per file removed or not removable, for the log.
std::vector<std::string> RemoveStaleTemporaries(const std::string& stateDir);

}  // namespace corvane::service
