#pragma once
// The update check behind "Check For Updates": newer definitions are downloaded without asking into a
// private anonymous file and handed, whole, to the protection service, which alone checks them and
// puts them in place; a newer program version is offered, saved in the user's own download folder and
// started from there. Each half's outcome stays in its own label (LblDefs, LblMain) until the next
// check; the status line (LblStat) says which request is under way, and at the end whether all went
// well.
#include <string>

#include "platform/inet.h"
#include "update/file_download.h"
#include "update/update_addresses.h"
#include "update/update_host.h"

namespace corvane::update {

// The status line while the check runs.
inline constexpr char kCheckingDefinitionsVersion[] = "Checking definitions version...";
inline constexpr char kDownloadingDefinitions[] = "Downloading definitions...";
inline constexpr char kInstallingDefinitions[] = "Installing definitions...";
inline constexpr char kCheckingProgramVersion[] = "Checking program version...";
inline constexpr char kDownloadingProgram[] = "Downloading program update...";
// ... and after it.
inline constexpr char kCheckFinished[] = "Update check finished.";

// The definitions half's outcomes.
inline constexpr char kDefinitionsLabel[] = "Definition Updates:";
inline constexpr char kDefinitionsUpdated[] = "Corvane defintions have been updated...";
inline constexpr char kDefinitionsUpToDate[] = "Corvane defintions are up to date...";
inline constexpr char kDefinitionsFailed[] = "Definition Updates: Error downloading file";
// The program half's.
inline constexpr char kProgramLabel[] = "Program Updates:";
inline constexpr char kProgramUpdateLater[] = "Corvane update later...";
inline constexpr char kProgramUpToDate[] = "Corvane is update to date...";
inline constexpr char kProgramFailed[] = "Program Updates: Error downloading file";
inline constexpr char kProgramFolderRefused[] = "Program Updates: the download folder cannot be used";
inline constexpr char kProgramNotStartedUnsafe[] =
    "Corvane update downloaded but not started: it came over an unencrypted connection";
inline constexpr char kProgramStartFailed[] = "Corvane update could not be started: ";
inline constexpr char kProgramStarted[] = "Corvane update started...";

inline constexpr char kUpdateQuestion[] = "Do you want to download the update?";
inline constexpr char kUpdateQuestionTitle[] = "Update Exists";
inline constexpr char kInstallQuestion[] = "Please exit Corvane before install the update. Exit Now?";
inline constexpr char kInstallTitle[] = "Install";
inline constexpr char kDefinitionsFile[] = "qd.def";
inline constexpr char kSetupProgramFile[] = "RIZezez.exe";

class UpdateCheck {
public:
    // `defsVersion` is the version of the definitions in force; `programVersion` the running program's
    // (ProgramVersionText()). The setup program goes to the user's download folder
    // (CurrentDownloadFolderSources()) unless SetDownloadFolder names another.
    UpdateCheck(platform::Inet& inet, UpdateHost& host, FileDownload& download, UpdateAddresses addresses,
                std::string defsVersion, std::string programVersion);

    void SetDownloadFolder(std::string folder) { downloadFolder_ = std::move(folder); }

    // One check, definitions first. Returns at once when a check is already running. Partial setup
    // programs that an earlier, killed check left in the download folder are removed first.
    void Run();
    bool Running() const { return running_; }

private:
    enum class Outcome { kDone, kFailed, kCancelled };
    Outcome CheckDefinitions();
    Outcome CheckProgram();
    Outcome OfferSetupProgram();
    void RemoveStalePartialDownloads();

    platform::Inet& inet_;
    UpdateHost& host_;
    FileDownload& download_;
    UpdateAddresses addresses_;
    std::string defsVersion_;
    std::string programVersion_;
    std::string downloadFolder_;
    bool running_ = false;
};

}  // namespace corvane::update
