// Feeds arbitrary bytes to the decoders of the registry store: autostart entries written by other
// programs, corvane-reg's typed data arguments, numbers in stored texts and %NAME% expansion.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/environment.h"
#include "platform/linux/registry_autostart.h"
#include "settings/registry_cli.h"
#include "settings/registry_variant.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

    corvane::platform::autostart::Entry entry;
    if (corvane::platform::autostart::parse_entry(text, entry)) {
        // What was read must survive being written and read again.
        entry.name = "Fuzz";
        const std::string again = corvane::platform::autostart::format_entry(entry);
        corvane::platform::autostart::Entry back;
        if (!corvane::platform::autostart::parse_entry(again, back) || back.type != entry.type ||
            back.data != entry.data) {
            __builtin_trap();
        }
    }

    static constexpr std::uint32_t kTypes[] = {1, 2, 3, 4, 7};
    const std::uint32_t type = kTypes[data[0] % 5];
    if (const auto bytes = corvane::settings::cli::ParseData(type, text)) {
        (void)corvane::settings::cli::FormatData(type, *bytes);
    }

    std::int32_t number = 0;
    (void)corvane::settings::TryParseInt32(text, number);
    (void)corvane::platform::expand_environment(text);
    return 0;
}
