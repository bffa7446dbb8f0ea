#pragma once
// BlockList and DefsVersion, and the loader of the definitions file qd.def.
//
// File rules: 8-bit text; CR LF or a lone CR ends a line, a lone LF is part of
// the line. A line whose first character is "V" is a version line (DefsVersion
// becomes its last three characters, or the whole line when shorter; the last
// one wins); an empty line is skipped; every other line is appended to the
// block list as it is — no trimming, no validation, no de-duplication.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace corvane::engine {

// The ordered list of blocked address texts, indexed from 0 in file order, with
// a set of its distinct texts for exact lookups. Built once, then read-only.
class BlockList {
public:
    class Builder;

    BlockList() = default;
    BlockList(BlockList&&) noexcept = default;
    BlockList& operator=(BlockList&&) noexcept = default;
    BlockList(const BlockList&) = delete;
    BlockList& operator=(const BlockList&) = delete;

    std::size_t size() const noexcept { return ends_.size(); }
    bool empty() const noexcept { return ends_.empty(); }
    // Entry index as written in the file.
    std::string_view operator[](std::size_t index) const noexcept;
    // True when some entry equals text exactly (same bytes, same length).
    bool Contains(std::string_view text) const { return Contains(text, Hash(text)); }

    // The same lookup in two steps, for a caller that walks many texts: Hash and Prefetch for the
    // next text while the one before is looked up, so the filter's memory is on its way by then.
    static std::size_t Hash(std::string_view text) noexcept { return TextHash{}(text); }
    void Prefetch(std::size_t hash) const noexcept {
        if (!filter_.empty()) __builtin_prefetch(&filter_[(hash & filterMask_) / 64]);
    }
    // `hash` is Hash(text).
    bool Contains(std::string_view text, std::size_t hash) const;

private:
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
    };

    std::vector<char> text_;         // every entry, back to back; its storage never moves after Build
    std::vector<std::size_t> ends_;  // end offset of entry i in text_
    std::unordered_set<std::string_view, TextHash, std::equal_to<>> lookup_;  // views into text_
    // One bit per hash slot, about 32 slots per text: most texts that are not
    // listed are turned away here, in a table small enough to stay in cache,
    // so a lookup costs about the same for 10 entries as for 100,000.
    std::vector<std::uint64_t> filter_;
    std::size_t filterMask_ = 0;
};

// Collects entries; Build hands over the finished list.
class BlockList::Builder {
public:
    // Bytes of the entry being written; Commit or Discard ends it.
    void AppendToEntry(std::string_view bytes) { list_.text_.insert(list_.text_.end(), bytes.begin(), bytes.end()); }
    std::string_view CurrentEntry() const noexcept;
    void CommitEntry();
    void DiscardEntry();
    std::size_t size() const noexcept { return list_.size(); }
    BlockList Build();

private:
    std::size_t EntryStart() const noexcept { return list_.ends_.empty() ? 0 : list_.ends_.back(); }

    BlockList list_;
};

// What qd.def holds.
struct Definitions {
    BlockList blockList;
    std::string defsVersion;
};

// Reads the file's bytes in pieces of any size (a CR LF may be split between two).
class DefinitionsReader {
public:
    void Feed(std::string_view bytes);
    Definitions Finish();

private:
    void EndLine();

    BlockList::Builder builder_;
    std::string version_;
    bool afterCr_ = false;  // the last byte fed was a CR, so an LF now belongs to it
};

// The whole content at once.
Definitions ParseDefinitions(std::string_view bytes);

// Path of the definitions file inside the program folder.
std::string DefinitionsPath(const std::string& programFolder);

// Loads programFolder + "/qd.def". A missing or unreadable file, or one that is
// not a regular file, gives empty definitions; a read error part-way keeps what
// was read before it.
Definitions LoadDefinitions(const std::string& programFolder);

}  // namespace corvane::engine
