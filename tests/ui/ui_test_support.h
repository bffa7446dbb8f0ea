#pragma once
// Shared pieces of the window tests: a Qt application, a private settings root per test, and a
// scripted connection table behind the main window's blocker.
#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/m_firewall.h"
#include "platform/connection_events.h"
#include "platform/open_counters.h"
#include "platform/tcp_table.h"

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

// A table the test fills; every read sees the counters move, so each tick reads it.
struct ScriptedNetwork {
    std::vector<platform::TcpRow> rows;
    std::vector<platform::TcpRow> tornDown;
    std::uint64_t opens = 1;
    std::function<void()> onRead;  // runs at every table read, before the rows are handed out
};

std::unique_ptr<engine::mFirewall> MakeFirewall(ScriptedNetwork& network, engine::ScanHost& host);

// Connection reports the test posts; their descriptor becomes readable on each post.
class ScriptedReports {
public:
    ScriptedReports();
    ~ScriptedReports();
    ScriptedReports(const ScriptedReports&) = delete;
    ScriptedReports& operator=(const ScriptedReports&) = delete;
    void Post(const platform::ConnectionEvent& event);

    int fd = -1;
    bool active = false;
    std::vector<platform::ConnectionEvent> queued;
};

// The event engine over the scripted table and reports.
std::unique_ptr<engine::mFirewall> MakeEventFirewall(ScriptedNetwork& network, ScriptedReports& reports,
                                                     engine::ScanHost& host);

platform::TcpRow Connection(const char* remote, std::uint64_t cookie, std::uint32_t state = platform::kTcpStateEstab);

// Writes qd.def into folder.
void WriteDefinitions(const std::filesystem::path& folder, const std::string& content);

}  // namespace corvane::ui::testing
