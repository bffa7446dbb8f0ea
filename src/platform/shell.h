#pragma once
// The desktop shell: opening a web page in the user's browser and starting a program the user chose
// to run, both handed over to the desktop so the caller does not wait for them.
#include <cstdint>
#include <functional>
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

// Told, on the window thread, when a request the desktop took over fails after all.
using ShellFailureHandler = std::function<void(const ShellResult& failure)>;

// Opens `url` (http, https, file) with the desktop's default handler (xdg-open). The result says
// whether the opener could be started; the opener may still give up afterwards (no browser, no
// handler for the address): it is watched without waiting for it, and when it ends unsuccessfully
// `failedLater` (when given) gets the reason. An opener that keeps running (a browser it started in
// its place) is never waited for, and stays when this program ends.
ShellResult OpenUrl(WindowHandle owner, std::string_view url, ShellFailureHandler failedLater = {});

// Makes the file at `path` executable by its owner and starts it detached from this process, in its own
// folder, with no arguments.
ShellResult StartProgram(WindowHandle owner, std::string_view path);

}  // namespace corvane::platform
