#include "engine/block_list.h"

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>

namespace corvane::engine {

namespace {
// The list's index is a signed 32-bit number; lines past its range are dropped.
constexpr std::size_t kMaxEntries = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
constexpr std::size_t kReadChunk = 64 * 1024;
}  // namespace

std::string_view BlockList::operator[](std::size_t index) const noexcept {
    const std::size_t start = index == 0 ? 0 : ends_[index - 1];
    return std::string_view(text_.data() + start, ends_[index] - start);
}

bool BlockList::Contains(std::string_view text, std::size_t hash) const {
    if (filter_.empty()) return false;
    const std::size_t slot = hash & filterMask_;
    if ((filter_[slot / 64] >> (slot % 64) & 1U) == 0) return false;
    return lookup_.find(text) != lookup_.end();
}

std::string_view BlockList::Builder::CurrentEntry() const noexcept {
    const std::size_t start = EntryStart();
    return std::string_view(list_.text_.data() + start, list_.text_.size() - start);
}

void BlockList::Builder::CommitEntry() {
    if (list_.ends_.size() >= kMaxEntries) {
        DiscardEntry();
        return;
    }
    list_.ends_.push_back(list_.text_.size());
}

void BlockList::Builder::DiscardEntry() { list_.text_.resize(EntryStart()); }

BlockList BlockList::Builder::Build() {
    DiscardEntry();
    list_.text_.shrink_to_fit();
    list_.ends_.shrink_to_fit();
    // The views point into text_, whose storage stays put from here on (a moved
    // vector keeps its buffer).
    list_.lookup_.reserve(list_.ends_.size());
    for (std::size_t i = 0; i < list_.ends_.size(); ++i) list_.lookup_.insert(list_[i]);
    if (!list_.lookup_.empty()) {
        std::size_t slots = 64;
        while (slots < list_.lookup_.size() * 32) slots *= 2;
        list_.filter_.assign(slots / 64, 0);
        list_.filterMask_ = slots - 1;
        for (const std::string_view text : list_.lookup_) {
            const std::size_t slot = TextHash{}(text)&list_.filterMask_;
            list_.filter_[slot / 64] |= std::uint64_t{1} << (slot % 64);
        }
    }
    return std::move(list_);
}

void DefinitionsReader::Feed(std::string_view bytes) {
    while (!bytes.empty()) {
        if (afterCr_ && bytes.front() == '\n') bytes.remove_prefix(1);  // the LF of a CR LF
        afterCr_ = false;
        const std::size_t cr = bytes.find('\r');
        builder_.AppendToEntry(bytes.substr(0, cr));
        if (cr == std::string_view::npos) return;
        EndLine();
        afterCr_ = true;
        bytes.remove_prefix(cr + 1);
    }
}

void DefinitionsReader::EndLine() {
    const std::string_view line = builder_.CurrentEntry();
    if (!line.empty() && line.front() == 'V') {
        version_.assign(line.size() > 3 ? line.substr(line.size() - 3) : line);
        builder_.DiscardEntry();
    } else if (line.empty()) {
        // An empty line adds nothing.
    } else {
        builder_.CommitEntry();
    }
}

Definitions DefinitionsReader::Finish() {
    // A last line without a line end still counts.
    if (!builder_.CurrentEntry().empty()) EndLine();
    afterCr_ = false;
    Definitions definitions{builder_.Build(), std::move(version_)};
    version_.clear();
    return definitions;
}

Definitions ParseDefinitions(std::string_view bytes) {
    DefinitionsReader reader;
    reader.Feed(bytes);
    return reader.Finish();
}

std::string DefinitionsPath(const std::string& programFolder) {
    if (!programFolder.empty() && programFolder.back() == '/') return programFolder + "qd.def";
    return programFolder + "/qd.def";
}

Definitions LoadDefinitions(const std::string& programFolder) {
    DefinitionsReader reader;
    const std::string path = DefinitionsPath(programFolder);
    // Only a regular file is read: a FIFO would stall start-up and a device
    // such as /dev/zero would never end.
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return reader.Finish();
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open()) return reader.Finish();
    std::vector<char> chunk(kReadChunk);
    while (file) {
        file.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        const std::streamsize got = file.gcount();
        if (got <= 0) break;  // end of file, or a read error: keep what came before
        reader.Feed(std::string_view(chunk.data(), static_cast<std::size_t>(got)));
    }
    return reader.Finish();
}

}  // namespace corvane::engine
