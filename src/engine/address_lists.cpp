#include "engine/address_lists.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/unique_fd.h"

namespace corvane::engine {

namespace {

using platform::UniqueFd;

// A list file larger than this is refused whole: the biggest public block lists are a few tens of
// megabytes, and a file this size would hold the service's memory hostage.
constexpr std::size_t kMaxListFileSize = std::size_t{256} << 20;
constexpr std::string_view kListSuffix = ".list";

struct DirCloser {
    void operator()(DIR* dir) const noexcept { static_cast<void>(::closedir(dir)); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Dotted decimal, four parts of 1-3 digits each 0..255. A part with a leading zero ("010") is
// refused: some tools read it as octal (8), others as decimal (10), so a list holding one means
// something different depending on where it came from; the line is reported rather than guessed.
bool ParseIpv4(std::string_view text, std::uint32_t& out) {
    std::uint32_t value = 0;
    std::size_t at = 0;
    const std::size_t size = text.size();
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at >= size || text[at] != '.') return false;
            ++at;
        }
        const std::size_t start = at;
        std::uint32_t number = 0;
        while (at < size && at - start < 3 && IsDigit(text[at])) {
            number = number * 10 + static_cast<std::uint32_t>(text[at] - '0');
            ++at;
        }
        const std::size_t digits = at - start;
        if (digits == 0 || number > 255 || (digits > 1 && text[start] == '0')) return false;
        value = value << 8 | number;
    }
    if (at != size) return false;
    out = value;
    return true;
}

// A prefix length: decimal without sign, no leading zero except "0" itself, at most `most`.
bool ParseLength(std::string_view text, unsigned most, std::uint8_t& out) {
    if (text.empty() || text.size() > 3) return false;
    if (text.size() > 1 && text[0] == '0') return false;
    unsigned value = 0;
    for (const char c : text) {
        if (!IsDigit(c)) return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > most) return false;
    out = static_cast<std::uint8_t>(value);
    return true;
}

bool ParseIpv6(std::string_view text, Ipv6Number& out) {
    // inet_pton needs a terminated string; the longest valid form ("ffff:...:255.255.255.255") is
    // 45 characters.
    char copy[INET6_ADDRSTRLEN];
    if (text.empty() || text.size() >= sizeof copy) return false;
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    unsigned char bytes[16];
    if (::inet_pton(AF_INET6, copy, bytes) != 1) return false;
    Ipv6Number value = 0;
    for (const unsigned char byte : bytes) value = value << 8 | byte;
    out = value;
    return true;
}

// ::ffff:0:0/96, where an IPv4 peer of an IPv6 socket shows up.
constexpr Ipv6Number kMappedPrefix = Ipv6Number{0xffff} << 32;

// Bits past the length are not masked away: "192.0.2.1/24" is far more often a typo (of the
// address or of the length) than a way of writing 192.0.2.0/24, and silently blocking 256
// addresses for it would hide the mistake. Such a line is reported as broken.
bool AddPrefix4(std::uint32_t address, std::uint8_t length, std::uint32_t source, std::vector<Prefix4>& v4) {
    const std::uint32_t hostBits = length >= 32 ? 0 : ~std::uint32_t{0} >> length;
    if ((address & hostBits) != 0) return false;
    v4.push_back(Prefix4{address, length, source});
    return true;
}

bool AddPrefix6(Ipv6Number address, std::uint8_t length, std::uint32_t source, std::vector<Prefix4>& v4,
                std::vector<Prefix6>& v6) {
    const Ipv6Number hostBits = length >= 128 ? 0 : ~Ipv6Number{0} >> length;
    if ((address & hostBits) != 0) return false;
    // Inside the IPv4-mapped range the entry is an IPv4 one, so it matches an IPv4 peer whichever
    // family of socket talks to it.
    if (length >= 96 && (address >> 32) == (kMappedPrefix >> 32)) {
        v4.push_back(Prefix4{static_cast<std::uint32_t>(address), static_cast<std::uint8_t>(length - 96), source});
        return true;
    }
    v6.push_back(Prefix6{address, length, source});
    return true;
}

// "first-last", IPv4 on both sides, blanks allowed around each.
bool AddRange(std::string_view text, std::uint32_t source, std::vector<Prefix4>& v4) {
    const std::size_t dash = text.find('-');
    if (dash == std::string_view::npos) return false;
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    if (!ParseIpv4(TrimBlanks(text.substr(0, dash)), first) || !ParseIpv4(TrimBlanks(text.substr(dash + 1)), last))
        return false;
    if (first > last) return false;
    AppendRangePrefixes(first, last, source, v4);
    return true;
}

void CountPrefixes(const std::vector<Prefix4>& v4, std::size_t from4, const std::vector<Prefix6>& v6, std::size_t from6,
                   ListSource& counts) {
    for (std::size_t i = from4; i < v4.size(); ++i) {
        if (v4[i].length == 32)
            ++counts.addresses4;
        else
            ++counts.prefixes4;
    }
    for (std::size_t i = from6; i < v6.size(); ++i) {
        if (v6[i].length == 128)
            ++counts.addresses6;
        else
            ++counts.prefixes6;
    }
}

std::string ErrnoText(const char* what, int error) { return std::string(what) + ": " + std::strerror(error); }

// Why a file or folder with this status may not be trusted, or empty when it may.
std::string OwnershipProblem(const struct stat& status, const ListFolderOptions& options) {
    if (status.st_uid != 0 && status.st_uid != options.trustedOwner)
        return "owned by uid " + std::to_string(status.st_uid);
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        char mode[8];
        static_cast<void>(std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777)));
        return std::string(status.st_uid == 0 ? "writable by others than root" : "writable by others than its owner") +
               " (mode " + mode + ")";
    }
    return {};
}

// The whole of an opened regular file into buffer; empty when read, else why not.
std::string ReadWhole(int fd, std::size_t sizeHint, std::string& buffer) {
    buffer.clear();
    // One byte more than announced, so a file read to its announced size needs no second growth
    // to find its end.
    buffer.resize(std::min(sizeHint, kMaxListFileSize) + 1);
    std::size_t used = 0;
    for (;;) {
        if (used == buffer.size()) {
            if (buffer.size() > kMaxListFileSize) return "larger than 256 MiB";
            buffer.resize(std::min(buffer.size() * 2, kMaxListFileSize + 1));
        }
        const ssize_t got = ::read(fd, buffer.data() + used, buffer.size() - used);
        if (got < 0) {
            if (errno == EINTR) continue;
            return ErrnoText("cannot read", errno);
        }
        if (got == 0) break;
        used += static_cast<std::size_t>(got);
    }
    if (used > kMaxListFileSize) return "larger than 256 MiB";
    buffer.resize(used);
    return {};
}

// A listing of the folder open as dirFd, through a duplicate (fdopendir takes its descriptor over;
// dirFd stays for openat). Null with errno set when it cannot be had.
UniqueDir OpenListing(int dirFd) {
    const int copy = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return nullptr;
    UniqueDir listing(::fdopendir(copy));
    if (!listing) {
        const int error = errno;
        UniqueFd notTakenOver(copy);
        notTakenOver.Reset();
        errno = error;
    }
    return listing;
}

}  // namespace

void AppendRangePrefixes(std::uint32_t first, std::uint32_t last, std::uint32_t source, std::vector<Prefix4>& out) {
    // 64-bit so that the end past 255.255.255.255 and a block of 2^32 addresses can be written.
    std::uint64_t at = first;
    const std::uint64_t end = std::uint64_t{last} + 1;
    while (at < end) {
        // The largest block aligned at `at` that does not pass `last`.
        const int aligned = at == 0 ? 32 : std::countr_zero(at);
        const int fits = std::bit_width(end - at) - 1;
        const int bits = std::min(aligned, fits);
        out.push_back(Prefix4{static_cast<std::uint32_t>(at), static_cast<std::uint8_t>(32 - bits), source});
        at += std::uint64_t{1} << bits;
    }
}

ListLine ParseListLine(std::string_view line, std::uint32_t source, std::vector<Prefix4>& v4,
                       std::vector<Prefix6>& v6) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::size_t hash = line.find('#');
    if (hash != std::string_view::npos) line = line.substr(0, hash);
    line = TrimBlanks(line);
    if (line.empty()) return ListLine::kNothing;

    // Only a range holds a '-'. Its name runs to the last ':' (names may hold ':' themselves; an
    // IPv4 address never does). An IPv6 address with a '-' in it ends up here too, and fails as
    // a range rather than being read as a name and something.
    if (line.find('-') != std::string_view::npos) {
        const std::size_t colon = line.rfind(':');
        const std::string_view range = colon == std::string_view::npos ? line : line.substr(colon + 1);
        return AddRange(range, source, v4) ? ListLine::kEntry : ListLine::kBroken;
    }

    std::string_view address = line;
    std::string_view length;
    bool hasLength = false;
    const std::size_t slash = line.find('/');
    if (slash != std::string_view::npos) {
        address = line.substr(0, slash);
        length = line.substr(slash + 1);
        hasLength = true;
    }
    if (address.find(':') != std::string_view::npos) {
        Ipv6Number value = 0;
        std::uint8_t bits = 128;
        if (!ParseIpv6(address, value) || (hasLength && !ParseLength(length, 128, bits))) return ListLine::kBroken;
        return AddPrefix6(value, bits, source, v4, v6) ? ListLine::kEntry : ListLine::kBroken;
    }
    std::uint32_t value = 0;
    std::uint8_t bits = 32;
    if (!ParseIpv4(address, value) || (hasLength && !ParseLength(length, 32, bits))) return ListLine::kBroken;
    return AddPrefix4(value, bits, source, v4) ? ListLine::kEntry : ListLine::kBroken;
}

void ParseListContent(std::string_view content, std::uint32_t source, AddressLists& lists) {
    if (lists.sources.size() <= source) lists.sources.resize(std::size_t{source} + 1);
    const std::size_t from4 = lists.v4.size();
    const std::size_t from6 = lists.v6.size();
    // Most lines of most lists are one IPv4 entry; IPv6 lines are left to grow their own vector.
    const std::size_t lines = static_cast<std::size_t>(std::count(content.begin(), content.end(), '\n')) + 1;
    // Grown geometrically, so that many small files do not each cost a copy of all before them.
    if (lists.v4.capacity() < from4 + lines) lists.v4.reserve(std::max(from4 + lines, 2 * lists.v4.capacity()));

    const char* at = content.data();
    const char* const end = at + content.size();
    std::size_t number = 0;
    while (at < end) {
        ++number;
        const char* newline = static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
        const char* lineEnd = newline == nullptr ? end : newline;
        const std::string_view line(at, static_cast<std::size_t>(lineEnd - at));
        if (ParseListLine(line, source, lists.v4, lists.v6) == ListLine::kBroken)
            lists.problems.push_back(ListProblem{source, number});
        at = newline == nullptr ? end : newline + 1;
    }
    CountPrefixes(lists.v4, from4, lists.v6, from6, lists.sources[source]);
}

AddressLists LoadListFolder(const std::string& folder, const ListFolderOptions& options) {
    AddressLists lists;
    UniqueFd dirFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dirFd.Valid()) {
        if (errno != ENOENT) lists.folderProblem = ErrnoText("cannot open", errno);
        return lists;
    }
    struct stat folderStatus {};
    if (::fstat(dirFd.Get(), &folderStatus) != 0) {
        lists.folderProblem = ErrnoText("cannot examine", errno);
        return lists;
    }
    lists.folderProblem = OwnershipProblem(folderStatus, options);
    if (!lists.folderProblem.empty()) return lists;

    UniqueDir listing = OpenListing(dirFd.Get());
    if (!listing) {
        lists.folderProblem = ErrnoText("cannot list", errno);
        return lists;
    }

    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(listing.get());
        if (entry == nullptr) {
            if (errno != 0) {
                lists.folderProblem = ErrnoText("cannot list", errno);
                return lists;
            }
            break;
        }
        const std::string_view name(entry->d_name);
        if (name.front() != '.' && name.size() > kListSuffix.size() && name.ends_with(kListSuffix))
            names.emplace_back(name);
    }
    listing.reset();
    std::sort(names.begin(), names.end());

    const std::string prefix = folder.ends_with('/') ? folder : folder + "/";
    lists.sources.reserve(names.size());
    std::string buffer;
    for (const std::string& name : names) {
        const auto source = static_cast<std::uint32_t>(lists.sources.size());
        ListSource& added = lists.sources.emplace_back();
        added.path = prefix + name;
        // Symbolic links are followed: the folder is the administrator's, and what counts is what
        // was opened. O_NONBLOCK keeps a FIFO from holding the open until a writer comes.
        UniqueFd file(::openat(dirFd.Get(), name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
        std::string why;
        struct stat status {};
        if (!file.Valid()) {
            why = ErrnoText("cannot open", errno);
        } else if (::fstat(file.Get(), &status) != 0) {
            why = ErrnoText("cannot examine", errno);
        } else if (!S_ISREG(status.st_mode)) {
            why = "not a regular file";
        } else {
            why = OwnershipProblem(status, options);
            if (why.empty() && static_cast<std::uint64_t>(status.st_size) > kMaxListFileSize)
                why = "larger than 256 MiB";
            if (why.empty()) why = ReadWhole(file.Get(), static_cast<std::size_t>(status.st_size), buffer);
        }
        if (!why.empty()) {
            added.refused = true;
            added.why = std::move(why);
            continue;
        }
        ParseListContent(buffer, source, lists);
    }
    return lists;
}

}  // namespace corvane::engine
