#pragma once
// The administrator's address lists: every "*.list" file of a folder (/etc/corvane/lists.d), read
// into prefixes of both families.
//
// One entry a line: an IPv4 or IPv6 address, a CIDR prefix of either family ("192.0.2.0/24",
// "2001:db8::/32"), or an IPv4 range "first-last" with an optional "name:" before it (the
// peer-to-peer block-list form; the name is everything up to the last ':' before the range). '#'
// starts a comment; blank lines, and blanks around an entry, are ignored; LF or CR LF end a line.
// A range becomes the fewest prefixes that cover exactly it. A line that is none of these is
// kept as a problem (file and line number) and skipped; the rest of the file still applies.
//
// Only files the administrator alone can change are read: regular files owned by root (or the
// trusted owner given), writable by nobody else, in a folder of the same kind. A file that is
// not is refused whole and said so.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace corvane::engine {

// An IPv6 address as one number (the first byte most significant).
using Ipv6Number = unsigned __int128;

// A prefix with the list it came from (an index into AddressLists::sources, or kDefinitionsSource).
// `first` is the prefix's first address in host order, the bits past `length` zero.
struct Prefix4 {
    std::uint32_t first = 0;
    std::uint8_t length = 32;
    std::uint32_t source = 0;
};
struct Prefix6 {
    Ipv6Number first = 0;
    std::uint8_t length = 128;
    std::uint32_t source = 0;
};

// The fewest prefixes that cover first..last (host order, first <= last) exactly, in ascending
// order, appended to out.
void AppendRangePrefixes(std::uint32_t first, std::uint32_t last, std::uint32_t source, std::vector<Prefix4>& out);

// What one line held.
enum class ListLine { kNothing, kEntry, kBroken };
// Parses one line (without its line end) and appends its prefixes, with `source`, to v4 or v6.
ListLine ParseListLine(std::string_view line, std::uint32_t source, std::vector<Prefix4>& v4,
                       std::vector<Prefix6>& v6);

// One list file as read.
struct ListSource {
    std::string path;
    bool refused = false;  // not read at all (see why)
    std::string why;       // one line, when refused
    // Entries in force from this file: an address is a prefix of full length (/32, /128); a
    // range counts as the prefixes it became.
    std::size_t addresses4 = 0;
    std::size_t prefixes4 = 0;
    std::size_t addresses6 = 0;
    std::size_t prefixes6 = 0;
};

// A line that is no entry.
struct ListProblem {
    std::uint32_t source = 0;  // index into sources
    std::size_t line = 0;      // from 1
};

struct AddressLists {
    std::vector<ListSource> sources;  // the folder's "*.list" files, by name
    std::vector<Prefix4> v4;          // in file order, duplicates kept
    std::vector<Prefix6> v6;
    std::vector<ListProblem> problems;
    std::string folderProblem;  // why the folder itself was not read (empty: read, or absent)
};

struct ListFolderOptions {
    uid_t trustedOwner = 0;  // files and the folder must belong to root or to this user
};

// Reads every "*.list" file of folder, in name order. A missing folder gives empty lists and no
// problem.
AddressLists LoadListFolder(const std::string& folder, const ListFolderOptions& options = {});

// The same for one file's content (what LoadListFolder does with each file's bytes); counts and
// problems go to lists.sources[source] and lists.problems.
void ParseListContent(std::string_view content, std::uint32_t source, AddressLists& lists);

}  // namespace corvane::engine
