#pragma once
// What the update machinery needs from the window that hosts it: its caption and labels, questions
// to the user, the message loop, handing definitions to the protection service, starting the setup
// program and ending the program.
#include <string>

#include "platform/shell.h"

namespace corvane::update {

class UpdateHost {
public:
    virtual ~UpdateHost() = default;

    virtual void SetTitle(const std::string& title) = 0;
    virtual void SetLblStat(const std::string& text) = 0;
    virtual void SetLblDefs(const std::string& text) = 0;
    virtual void SetLblMain(const std::string& text) = 0;
    // Why the definitions half failed, in the service's words, shown with the definitions label
    // (as its tip); empty for none.
    virtual void SetLblDefsDetail(const std::string& detail) = 0;

    // A question with Yes and No buttons and the information icon; true for Yes.
    virtual bool AskYesNo(const std::string& text, const std::string& title) = 0;

    // Handles the window messages pending now.
    virtual void Yield() = 0;
    // Handles pending messages, sleeping until one arrives when there is none.
    virtual void WaitForMessages() = 0;

    // Hands downloaded definitions (a sealed anonymous file, read from its start) to the protection
    // service, which checks them and puts them in force. True when it took them; else `why` is the
    // service's reason (empty when it gave none). `fd` stays the caller's.
    virtual bool InstallDefinitions(int fd, std::string& why) = 0;

    virtual platform::ShellResult StartSetupProgram(const std::string& path) = 0;
    // Unloads the main window, which ends the program.
    virtual void EndSystem() = 0;
};

}  // namespace corvane::update
