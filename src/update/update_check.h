#pragma once
// The update check behind "Check For Updates": newer definitions are downloaded without asking into a
// private anonymous file and handed to the protection service, which alone puts them in place; a newer
// program version is offered for download. Results go to the window's labels.
#include <string>

#include "platform/inet.h"
#include "update/file_download.h"
#include "update/update_addresses.h"
#include "update/update_host.h"

namespace corvane::update {

inline constexpr char kDefinitionsUpdated[] = "Corvane defintions have been updated...";
inline constexpr char kDefinitionsUpToDate[] = "Corvane defintions are up to date...";
inline constexpr char kProgramUpdateLater[] = "Corvane update later...";
inline constexpr char kProgramUpToDate[] = "Corvane is update to date...";
inline constexpr char kUpdateQuestion[] = "Do you want to download the update?";
inline constexpr char kUpdateQuestionTitle[] = "Update Exists";
inline constexpr char kDefinitionsFile[] = "qd.def";
inline constexpr char kSetupProgramFile[] = "RIZezez.exe";

class UpdateCheck {
public:
    // `defsVersion` is the version of the definitions in force; `programVersion` the running program's
    // text.
    UpdateCheck(platform::Inet& inet, UpdateHost& host, FileDownload& download, UpdateAddresses addresses,
                std::string defsVersion, std::string programVersion);

    // One check, definitions first. Returns at once when a check is already running.
    void Run();
    bool Running() const { return running_; }

private:
    void CheckDefinitions();
    void CheckProgram();

    platform::Inet& inet_;
    UpdateHost& host_;
    FileDownload& download_;
    UpdateAddresses addresses_;
    std::string defsVersion_;
    std::string programVersion_;
    bool running_ = false;
};

}  // namespace corvane::update
