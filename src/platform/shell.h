#pragma once
// The desktop shell: opening a web page in the user's browser and starting a program the user chose
// to run, both handed over to the desktop so the caller does not wait for them.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/window.h"

namespace corvane::platform {

struct ShellResult {
    // Greater than 32 when the desktop took the request over; 32 or less when it failed.
    std::intptr_t code = 0;
    // The failure's error number and description; 0 and empty when the call reported none.
    std::uint32_t error = 0;
    std::string description;
    bool Succeeded() const { return code > 32; }
};

// Opens `url` (http, https, file) with the desktop's default handler (xdg-open).
ShellResult OpenUrl(WindowHandle owner, std::string_view url);

// Makes the file at `path` executable by its owner and starts it detached from this process, in its own
// folder, with no arguments.
ShellResult StartProgram(WindowHandle owner, std::string_view path);

}  // namespace corvane::platform
