#include "update/update_check.h"

#include "update/private_file.h"
#include "update/program_version.h"

namespace corvane::update {

UpdateCheck::UpdateCheck(platform::Inet& inet, UpdateHost& host, FileDownload& download, UpdateAddresses addresses,
                         std::string defsVersion, std::string programVersion)
    : inet_(inet),
      host_(host),
      download_(download),
      addresses_(std::move(addresses)),
      defsVersion_(std::move(defsVersion)),
      programVersion_(std::move(programVersion)) {}

void UpdateCheck::Run() {
    // The waits below let clicks through; a second click meanwhile must not start a second check.
    if (running_) return;
    running_ = true;
    download_.InstallerDownload = false;
    CheckDefinitions();
    if (!download_.Cancelled()) CheckProgram();
    running_ = false;
}

void UpdateCheck::CheckDefinitions() {
    const std::optional<std::string> newest = inet_.OpenURL(addresses_.DefinitionsVersion());
    if (download_.Cancelled()) return;
    if (!newest) {
        // Nothing is known about this half; it is not "up to date".
        host_.SetLblStat(kErrorDownloading);
        return;
    }
    if (!ServerVersionIsNewer(*newest, kDefinitionsVersionLength, defsVersion_)) {
        host_.SetLblDefs(kDefinitionsUpToDate);
        return;
    }
    download_.DownloadFile = kDefinitionsFile;
    download_.DownloadSize = std::to_string(download_.GetFileSize(addresses_.Definitions()));
    // The bytes go to the service only; the definitions in force stay as they are until it takes them.
    PrivateFile file;
    if (!file.Ok()) {
        host_.SetLblStat(kErrorDownloading);
        return;
    }
    // A failed transfer has put its error into LblStat.
    if (!download_.FetchPrivate(addresses_.Definitions(), file)) return;
    if (!host_.InstallDefinitions(file.Fd())) {
        host_.SetLblStat(kErrorDownloading);
        return;
    }
    host_.SetLblDefs(kDefinitionsUpdated);
}

void UpdateCheck::CheckProgram() {
    const std::optional<std::string> newest = inet_.OpenURL(addresses_.ProgramVersion());
    if (download_.Cancelled()) return;
    if (!newest) {
        host_.SetLblStat(kErrorDownloading);
        return;
    }
    if (!ServerVersionIsNewer(*newest, kProgramVersionLength, programVersion_)) {
        host_.SetLblMain(kProgramUpToDate);
        return;
    }
    download_.DownloadFile = kSetupProgramFile;
    // The size is asked before the user is.
    download_.DownloadSize = std::to_string(download_.GetFileSize(addresses_.Installer()));
    if (download_.Cancelled()) return;
    if (!host_.AskYesNo(kUpdateQuestion, kUpdateQuestionTitle)) {
        host_.SetLblMain(kProgramUpdateLater);
        return;
    }
    download_.InstallerDownload = true;
    download_.Fetch(addresses_.Installer());
}

}  // namespace corvane::update
