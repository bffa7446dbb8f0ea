// Arbitrary bytes as a definitions file: parsed whole and in pieces, the two
// must agree, and every entry must obey the file's rules.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/block_list.h"

namespace {

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using corvane::engine::Definitions;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const Definitions whole = corvane::engine::ParseDefinitions(bytes);

    // Piece sizes come from the input itself, so CR LF pairs get split at every place.
    corvane::engine::DefinitionsReader reader;
    std::size_t at = 0;
    std::size_t step = size == 0 ? 1 : 1 + data[0] % 7;
    while (at < size) {
        reader.Feed(bytes.substr(at, step));
        at += step;
        step = 1 + (step * 5 + 3) % 11;
    }
    const Definitions pieces = reader.Finish();

    Check(whole.defsVersion == pieces.defsVersion);
    Check(whole.defsVersion.size() <= 3);
    Check(whole.blockList.size() == pieces.blockList.size());
    std::size_t total = 0;
    for (std::size_t i = 0; i < whole.blockList.size(); ++i) {
        const std::string_view entry = whole.blockList[i];
        Check(entry == pieces.blockList[i]);
        Check(!entry.empty() && entry.front() != 'V' && entry.find('\r') == std::string_view::npos);
        Check(whole.blockList.Contains(entry));
        total += entry.size();
    }
    Check(total <= size);
    return 0;
}
