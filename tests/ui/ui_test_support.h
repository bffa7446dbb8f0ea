#pragma once
// Shared pieces of the window tests: a Qt application, a private settings root per test, and a
// protection service the test plays.
#include <QApplication>
#include <QObject>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/protection_service.h"

namespace corvane::ui::testing {

// The test program's application (made by its main(); offscreen when there is no display).
QApplication& App();

// A fresh folder for CORVANE_ROOT (settings, locks), removed when the object goes.
class ScratchRoot {
public:
    ScratchRoot();
    ~ScratchRoot();
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
    std::string previous_;
    bool hadPrevious_ = false;
};

// The protection service as the test plays it. Its status is the test's to change (Change reports the
// change as the bus would); requests are recorded and answered as the test says.
class FakeService final : public platform::ProtectionService {
public:
    FakeService();

    // Connected, protecting, count 0, definitions "104", the vendor's update server unnamed.
    platform::ServiceStatus status;
    platform::ServiceResult setAnswer{platform::ServiceResult::Code::kOk, {}};
    // Runs when a SetProtection is refused or fails: how the status looks afterwards (e.g. the link).
    std::function<void(platform::ServiceStatus&)> afterFailedSet;
    platform::ServiceResult installAnswer{platform::ServiceResult::Code::kOk, {}};

    std::vector<bool> setRequests;
    std::vector<std::string> installed;  // the bytes of each handed file, read through its descriptor
    std::vector<int> installedSeals;     // the seals each had
    int refreshes = 0;
    bool HasHandler() const { return static_cast<bool>(handler_); }

    // Changes the status and reports it at once, as a change signal would.
    void Change(const std::function<void(platform::ServiceStatus&)>& edit);

    const platform::ServiceStatus& Status() const override { return status; }
    const platform::ServiceStatus& Refresh() override;
    void SetChangeHandler(std::function<void()> handler) override { handler_ = std::move(handler); }
    platform::ServiceResult SetProtection(bool on) override;
    platform::ServiceResult InstallDefinitions(int fd, std::string& version) override;
    platform::ServiceResult Reload() override { return {platform::ServiceResult::Code::kOk, {}}; }
    platform::ServiceResult RecentBlocks(std::uint32_t, std::vector<platform::BlockEntry>& blocks) override {
        blocks.clear();
        return {platform::ServiceResult::Code::kOk, {}};
    }

private:
    std::function<void()> handler_;
    QObject context_;  // the accepted requests' change reports arrive through the event loop
};

// A service that is not there (no system bus, or no service on it).
std::unique_ptr<FakeService> UnreachableService();

}  // namespace corvane::ui::testing
