#pragma once
// Shared pieces of the update tests: a private settings root and program folder per test, and a host
// window stand-in that records what the update machinery shows and asks, and plays the protection
// service with its real check of a definitions file.
#include <gtest/gtest.h>
#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/message_loop.h"
#include "update/update_host.h"

namespace corvane::testing {

// A fresh CORVANE_ROOT that also serves as the program folder; removed afterwards.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    const std::filesystem::path& path() const { return path_; }
    std::string File(const std::string& name) const { return (path_ / name).string(); }
    // The names in the folder (to see that no temporary file was left behind).
    std::vector<std::string> Names() const;

private:
    std::filesystem::path path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

class RecordingHost final : public update::UpdateHost {
public:
    std::vector<std::string> titles;
    std::string lblStat = "Click Check For Updates to begin...";
    std::string lblDefs = "Definition Updates:";
    std::string lblDefsDetail;
    std::string lblMain = "Program Updates:";
    std::vector<std::string> statHistory;
    std::vector<std::string> questions;  // title + ": " + text
    std::function<bool(const std::string& title)> answer = [](const std::string&) { return false; };
    std::vector<std::string> started;
    platform::ShellResult startResult{42, 0, {}};
    bool ended = false;
    // The service's answer to InstallDefinitions: the service's own check of the file decides, and
    // installAccepted = false refuses even what passes it (a full disk, say).
    bool installAccepted = true;
    std::vector<std::string> installed;      // the bytes of each handed file, read through its descriptor
    std::vector<std::string> refusals;       // why the service's check refused a handed file
    std::vector<std::string> statAtInstall;  // the status line while the service had the file
    std::vector<int> installedSeals;         // the seals each had
    std::vector<off_t> installedOffsets;     // where each file's read position stood

    void SetTitle(const std::string& title) override { titles.push_back(title); }
    void SetLblStat(const std::string& text) override {
        lblStat = text;
        statHistory.push_back(text);
    }
    void SetLblDefs(const std::string& text) override { lblDefs = text; }
    void SetLblDefsDetail(const std::string& detail) override { lblDefsDetail = detail; }
    void SetLblMain(const std::string& text) override { lblMain = text; }
    bool AskYesNo(const std::string& text, const std::string& title) override {
        questions.push_back(title + ": " + text);
        return answer(title);
    }
    void Yield() override { platform::Yield(); }
    void WaitForMessages() override { platform::WaitForMessages(); }
    bool InstallDefinitions(int fd, std::string& why) override;
    platform::ShellResult StartSetupProgram(const std::string& path) override {
        started.push_back(path);
        return startResult;
    }
    void EndSystem() override { ended = true; }
};

}  // namespace corvane::testing
