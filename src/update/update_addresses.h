#pragma once
// Where updates and the help page come from: the update server's base address (the protection
// service's "UpdateServer", the vendor's server when it names none), and the paths below it.
#include <string>
#include <string_view>

namespace corvane::update {

struct UpdateAddresses {
    std::string base;  // ends in "/"

    std::string DefinitionsVersion() const { return base + "cv/defver"; }
    std::string Definitions() const { return base + "cv/qd.def"; }
    std::string ProgramVersion() const { return base + "cv/mainver"; }
    std::string Installer() const { return base + "cv/RIZezez.exe"; }
    std::string HelpPage() const { return base + "cv/help.php"; }
};

// The addresses for `base`; a "/" is added when the base lacks its final one. An empty base is the
// vendor's server (the "UpdateServer" setting's default).
UpdateAddresses AddressesFor(std::string base);

// Whether a program fetched from `url` may be started: it came over HTTPS, or from this machine itself.
// Anything else could have been changed on the way.
bool MayStartProgramFrom(std::string_view url);

}  // namespace corvane::update
