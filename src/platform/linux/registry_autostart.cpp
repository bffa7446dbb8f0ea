#include "platform/linux/registry_autostart.h"
#include "platform/linux/registry_status.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/environment.h"
#include "platform/linux/registry_key_path.h"
#include "platform/paths.h"

namespace corvane::platform::autostart {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kSuffix = ".desktop";
constexpr std::string_view kTypeKey = "X-Corvane-Registry-Type";
constexpr std::string_view kDataKey = "X-Corvane-Registry-Data";

// A desktop entry string value: backslash, newline, tab and carriage return escaped.
std::string escape_string(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

std::string unescape_string(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out.push_back(text[i]);
            continue;
        }
        switch (text[++i]) {
            case 's':
                out.push_back(' ');
                break;
            case 'n':
                out.push_back('\n');
                break;
            case 't':
                out.push_back('\t');
                break;
            case 'r':
                out.push_back('\r');
                break;
            default:
                out.push_back(text[i]);
        }
    }
    return out;
}

// The program path as one quoted argument of an Exec line (before string escaping).
std::string quote_program(std::string_view program) {
    std::string out = "\"";
    for (char c : program) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') out.push_back('\\');
        if (c == '%') out.push_back('%');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

std::string to_hex(std::span<const std::uint8_t> data) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(data.size() * 2);
    for (std::uint8_t byte : data) {
        out.push_back(kDigits[byte >> 4]);
        out.push_back(kDigits[byte & 0xF]);
    }
    return out;
}

bool from_hex(std::string_view text, std::vector<std::uint8_t>& out) {
    if (text.size() % 2 != 0) return false;
    out.clear();
    out.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        std::uint8_t byte = 0;
        const auto [end, ec] = std::from_chars(text.data() + i, text.data() + i + 2, byte, 16);
        if (ec != std::errc() || end != text.data() + i + 2) return false;
        out.push_back(byte);
    }
    return true;
}

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// The entry names in the folder, in name order (without regard to case).
std::vector<std::string> list_names(const fs::path& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string file = it->path().filename().string();
        if (file.size() <= kSuffix.size() || !file.ends_with(kSuffix)) continue;
        std::string name = file.substr(0, file.size() - kSuffix.size());
        if (valid_name(name)) names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
            return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
        });
    });
    return names;
}

// The name under which `name` is stored (exact match first, then any case); empty when absent.
std::string find_stored_name(const fs::path& dir, std::string_view name) {
    std::error_code ec;
    if (fs::exists(dir / (std::string(name) + std::string(kSuffix)), ec)) return std::string(name);
    for (const std::string& stored : list_names(dir)) {
        if (key_path::equals_ignore_case(stored, name)) return stored;
    }
    return {};
}

RegStatus read_file(const fs::path& dir, const std::string& stored, Entry& out) {
    std::ifstream in(dir / (stored + std::string(kSuffix)), std::ios::binary);
    if (!in) return status_from_errno(errno == 0 ? EIO : errno);
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return kErrorRegistryIoFailed;
    parse_entry(text.str(), out);
    out.name = stored;
    return kErrorSuccess;
}

int sync_dir(const fs::path& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    const int rc = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return rc;
}

// Writes `text` to `target` through a temporary file and a rename, on disk when it returns.
int write_durably(const fs::path& dir, const fs::path& target, const std::string& text, mode_t mode) {
    std::string pattern = (dir / ".corvane-XXXXXX").string();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) return errno;
    int error = 0;
    std::size_t done = 0;
    while (error == 0 && done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            error = errno;
        else
            done += static_cast<std::size_t>(n);
    }
    if (error == 0 && ::fchmod(fd, mode) != 0) error = errno;
    if (error == 0 && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(pattern.c_str(), target.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(pattern.c_str());  // best effort: the write's failure is what is reported
        return error;
    }
    return sync_dir(dir);
}

}  // namespace

fs::path folder_of(Scope scope) { return scope == Scope::kUser ? user_autostart_dir() : autostart_dir(); }

bool valid_name(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos && name.front() != '.';
}

std::string format_entry(const Entry& entry) {
    std::string program;
    if (entry.type == kRegSz || entry.type == kRegExpandSz) {
        program = std::string(
            key_path::c_string(std::string_view(reinterpret_cast<const char*>(entry.data.data()), entry.data.size())));
        if (entry.type == kRegExpandSz) program = expand_environment(program);
    }
    std::string text = "[Desktop Entry]\nType=Application\n";
    text += "Name=" + escape_string(entry.name) + "\n";
    if (program.empty()) {
        // Not a program: kept for the registry, never started.
        text += "Exec=true\nHidden=true\n";
    } else {
        text += "Exec=" + escape_string(quote_program(program)) + "\n";
    }
    text += std::string(kTypeKey) + "=" + std::to_string(entry.type) + "\n";
    text += std::string(kDataKey) + "=" + to_hex(entry.data) + "\n";
    return text;
}

bool parse_entry(std::string_view text, Entry& out) {
    bool in_group = false;
    std::string exec;
    std::string type_text;
    std::string data_text;
    bool has_exec = false, has_type = false, has_data = false;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line.front() == '#') continue;
        if (line.front() == '[') {
            in_group = line == "[Desktop Entry]";
            continue;
        }
        if (!in_group) continue;
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        const std::string_view key = trim(line.substr(0, equals));
        const std::string_view value = trim(line.substr(equals + 1));
        if (key == "Exec" && !has_exec) {
            exec = unescape_string(value);
            has_exec = true;
        }
        if (key == kTypeKey && !has_type) {
            type_text = value;
            has_type = true;
        }
        if (key == kDataKey && !has_data) {
            data_text = value;
            has_data = true;
        }
    }
    std::uint32_t type = 0;
    const auto [end, ec] = std::from_chars(type_text.data(), type_text.data() + type_text.size(), type);
    if (has_type && has_data && ec == std::errc() && end == type_text.data() + type_text.size() &&
        from_hex(data_text, out.data)) {
        out.type = type;
        return true;
    }
    out.type = kRegSz;
    out.data.assign(exec.begin(), exec.end());
    if (has_exec) out.data.push_back(0);
    return has_exec;
}

RegStatus read(Scope scope, std::string_view name, Entry& out) {
    if (!valid_name(name)) return kErrorFileNotFound;
    const fs::path dir = folder_of(scope);
    const std::string stored = find_stored_name(dir, name);
    if (stored.empty()) return kErrorFileNotFound;
    return read_file(dir, stored, out);
}

RegStatus write(Scope scope, std::string_view name, std::uint32_t type, std::span<const std::uint8_t> data) {
    if (!valid_name(name)) return kErrorInvalidParameter;
    const fs::path dir = folder_of(scope);
    // The user's entries are the user's business alone; the machine's are for every session to read.
    const bool user = scope == Scope::kUser;
    const int made = make_directories(dir, user ? 0700 : 0755);
    if (made != 0) return status_from_errno(made);
    std::string stored = find_stored_name(dir, name);
    if (stored.empty()) stored = std::string(name);
    Entry entry{stored, type, std::vector<std::uint8_t>(data.begin(), data.end())};
    return status_from_errno(
        write_durably(dir, dir / (stored + std::string(kSuffix)), format_entry(entry), user ? 0600 : 0644));
}

RegStatus remove(Scope scope, std::string_view name) {
    if (!valid_name(name)) return kErrorFileNotFound;
    const fs::path dir = folder_of(scope);
    const std::string stored = find_stored_name(dir, name);
    if (stored.empty()) return kErrorFileNotFound;
    if (::unlink((dir / (stored + std::string(kSuffix))).c_str()) != 0) return status_from_errno(errno);
    return status_from_errno(sync_dir(dir));
}

RegStatus entry_at(Scope scope, std::uint32_t index, Entry& out) {
    const fs::path dir = folder_of(scope);
    const std::vector<std::string> names = list_names(dir);
    if (index >= names.size()) return kErrorNoMoreItems;
    return read_file(dir, names[index], out);
}

}  // namespace corvane::platform::autostart
