#include "update/update_check.h"

#include <ctime>

#include "update/download_folder.h"
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
    // The outcomes of an earlier check give way to this one's.
    host_.SetLblDefs(kDefinitionsLabel);
    host_.SetLblMain(kProgramLabel);
    if (downloadFolder_.empty()) downloadFolder_ = DownloadFolderPath(CurrentDownloadFolderSources());
    RemoveStalePartialDownloads();
    Outcome definitions = CheckDefinitions();
    Outcome program = Outcome::kCancelled;
    if (definitions != Outcome::kCancelled && !download_.Cancelled()) program = CheckProgram();
    if (definitions != Outcome::kCancelled && program != Outcome::kCancelled && !download_.Cancelled()) {
        const bool failed = definitions == Outcome::kFailed || program == Outcome::kFailed;
        host_.SetLblStat(failed ? kErrorDownloading : kCheckFinished);
    }
    running_ = false;
}

void UpdateCheck::RemoveStalePartialDownloads() {
    timespec now{};
    if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return;
    // Only a folder that is already there and the user's own; nothing is made for this.
    std::string why;
    const DownloadFolder folder = DownloadFolder::Open(downloadFolder_, false, why);
    // What cannot be removed now is left for the next check.
    if (folder.Valid()) static_cast<void>(RemoveStalePartials(folder, kSetupProgramFile, now));
}

UpdateCheck::Outcome UpdateCheck::CheckDefinitions() {
    host_.SetLblStat(kCheckingDefinitionsVersion);
    host_.SetLblDefsDetail({});
    const std::optional<std::string> newest = inet_.OpenURL(addresses_.DefinitionsVersion());
    if (download_.Cancelled()) return Outcome::kCancelled;
    if (!newest) {
        // Nothing is known about this half; it is not "up to date".
        host_.SetLblDefs(kDefinitionsFailed);
        return Outcome::kFailed;
    }
    const std::optional<bool> newer = ServerVersionIsNewer(*newest, kDefinitionsVersionLength, defsVersion_);
    if (!newer) {
        // An answer that is no version (an error page, "~~~") says as little as no answer.
        host_.SetLblDefs(kDefinitionsFailed);
        return Outcome::kFailed;
    }
    if (!*newer) {
        host_.SetLblDefs(kDefinitionsUpToDate);
        return Outcome::kDone;
    }
    host_.SetLblStat(kDownloadingDefinitions);
    download_.DownloadFile = kDefinitionsFile;
    download_.DownloadSize = std::to_string(download_.GetFileSize(addresses_.Definitions()));
    if (download_.Cancelled()) return Outcome::kCancelled;
    // The bytes go to the service only; the definitions in force stay as they are until it takes them.
    PrivateFile file;
    const bool fetched = download_.FetchPrivate(addresses_.Definitions(), file);
    if (download_.Cancelled()) return Outcome::kCancelled;
    // Only a whole body is handed on (FetchPrivate checks its size); an empty one is no definitions.
    if (!fetched || file.Size() == 0) {
        host_.SetTitle(kTitleFailed);
        host_.SetLblDefs(kDefinitionsFailed);
        return Outcome::kFailed;
    }
    host_.SetLblStat(kInstallingDefinitions);
    std::string why;
    if (!host_.InstallDefinitions(file.Fd(), why)) {
        // The service checked them and refused: the old definitions stay in force, and its reason
        // goes with the label.
        host_.SetTitle(kTitleFailed);
        host_.SetLblDefs(kDefinitionsFailed);
        host_.SetLblDefsDetail(why);
        return Outcome::kFailed;
    }
    host_.SetTitle(std::string(kTitlePrefix) + "100%");
    host_.SetLblDefs(kDefinitionsUpdated);
    return Outcome::kDone;
}

UpdateCheck::Outcome UpdateCheck::CheckProgram() {
    host_.SetLblStat(kCheckingProgramVersion);
    const std::optional<std::string> newest = inet_.OpenURL(addresses_.ProgramVersion());
    if (download_.Cancelled()) return Outcome::kCancelled;
    // An answer that is no version (an error page) says as little as no answer.
    const std::optional<bool> newer = newest ? ProgramVersionIsNewer(*newest, programVersion_) : std::optional<bool>();
    if (!newer) {
        host_.SetLblMain(kProgramFailed);
        return Outcome::kFailed;
    }
    if (!*newer) {
        host_.SetLblMain(kProgramUpToDate);
        return Outcome::kDone;
    }
    download_.DownloadFile = kSetupProgramFile;
    // The size is asked before the user is.
    download_.DownloadSize = std::to_string(download_.GetFileSize(addresses_.Installer()));
    if (download_.Cancelled()) return Outcome::kCancelled;
    if (!host_.AskYesNo(kUpdateQuestion, kUpdateQuestionTitle)) {
        host_.SetLblMain(kProgramUpdateLater);
        return Outcome::kDone;
    }
    host_.SetLblStat(kDownloadingProgram);
    download_.SetFolder(downloadFolder_);
    const bool fetched = download_.Fetch(addresses_.Installer());
    if (download_.Cancelled()) return Outcome::kCancelled;
    if (!fetched) {
        host_.SetLblMain(download_.FolderRefused() ? kProgramFolderRefused : kProgramFailed);
        return Outcome::kFailed;
    }
    return OfferSetupProgram();
}

UpdateCheck::Outcome UpdateCheck::OfferSetupProgram() {
    // A program that travelled unencrypted from another machine may have been swapped on the way.
    if (!MayStartProgramFrom(inet_.ResponseUrl())) {
        host_.SetLblMain(kProgramNotStartedUnsafe);
        return Outcome::kDone;
    }
    if (!host_.AskYesNo(kInstallQuestion, kInstallTitle)) {
        host_.SetLblMain(kProgramUpdateLater);
        return Outcome::kDone;
    }
    const platform::ShellResult started = host_.StartSetupProgram(download_.PathOf(kSetupProgramFile));
    if (!started.Succeeded()) {
        host_.SetLblMain(kProgramStartFailed + started.description);
        return Outcome::kFailed;
    }
    host_.SetLblMain(kProgramStarted);
    host_.EndSystem();
    return Outcome::kDone;
}

}  // namespace corvane::update
