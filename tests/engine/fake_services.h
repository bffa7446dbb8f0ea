#pragma once
// Scripted stand-ins for the TCP table, the open counters and the window.
#include <arpa/inet.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/scan_host.h"
#include "platform/open_counters.h"
#include "platform/tcp_table.h"
#include "platform/win32_error.h"

namespace corvane::engine::testing {

inline std::uint32_t Address(const char* text) {
    in_addr address{};
    inet_pton(AF_INET, text, &address);
    return address.s_addr;
}

inline platform::TcpRow Row(const char* remote, std::uint64_t cookie, std::uint32_t state = platform::kTcpStateEstab) {
    platform::TcpRow row;
    row.dwState = state;
    row.dwLocalAddr = Address("10.0.0.2");
    row.dwLocalPort = htons(40000);
    row.dwRemoteAddr = Address(remote);
    row.dwRemotePort = htons(443);
    row.family = AF_INET;
    row.cookie = cookie;
    return row;
}

class FakeTcpTable final : public platform::TcpTableService {
public:
    std::vector<platform::TcpRow> rows;
    std::uint32_t readResult = platform::win32::kNoError;
    std::uint32_t teardownResult = platform::win32::kNoError;
    int reads = 0;
    std::vector<platform::TcpRow> tornDown;

    std::uint32_t GetTcpTable(platform::TcpTable& table) override {
        ++reads;
        table.rows.clear();
        if (readResult != platform::win32::kNoError) return readResult;
        table.rows = rows;
        return platform::win32::kNoError;
    }
    std::uint32_t SetTcpEntry(const platform::TcpRow& row) override {
        tornDown.push_back(row);
        return teardownResult;
    }
};

class FakeCounters final : public platform::OpenCounterService {
public:
    std::uint64_t opens = 100;
    std::uint32_t result = platform::win32::kNoError;
    std::uint32_t ReadOpens(std::uint64_t& value) override {
        value = opens;
        return result;
    }
};

class RecordingHost final : public ScanHost {
public:
    int yields = 0;
    std::vector<std::string> captions;
    std::function<void()> onYield;
    void Yield() override {
        ++yields;
        if (onYield) onYield();
    }
    void ShowBlockedCaption(const std::string& caption) override { captions.push_back(caption); }
};

}  // namespace corvane::engine::testing
