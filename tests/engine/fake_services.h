#pragma once
// Scripted stand-ins for the TCP table, the open counters and the engine's host.
#include <arpa/inet.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/scan_host.h"
#include "platform/connection_events.h"
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
    std::map<std::uint64_t, std::uint32_t> resultFor;  // by cookie, before teardownResult
    // The state a socket is in by the time of its teardown, by cookie (0: gone); else its row's.
    std::map<std::uint64_t, std::uint32_t> stateNow;
    int reads = 0;
    std::vector<platform::TcpRow> tornDown;  // every row handed back, whatever the answer

    std::uint32_t GetTcpTable(platform::TcpTable& table) override {
        ++reads;
        table.rows.clear();
        if (readResult != platform::win32::kNoError) return readResult;
        table.rows = rows;
        return platform::win32::kNoError;
    }
    std::uint32_t SetTcpEntry(const platform::TcpRow& row) override {
        tornDown.push_back(row);
        const auto scripted = resultFor.find(row.cookie);
        return scripted != resultFor.end() ? scripted->second : teardownResult;
    }
    std::uint32_t GetTcpEntryState(const platform::TcpRow& row, std::uint32_t& state) override {
        const auto scripted = stateNow.find(row.cookie);
        state = scripted != stateNow.end() ? scripted->second : row.dwState;
        return state == 0 ? platform::win32::kErrorNotFound : platform::win32::kNoError;
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
    std::vector<std::int32_t> counts;  // each count the engine said
    std::function<void()> onYield;
    bool canWatch = true;
    int watchedFd = -1;
    std::function<void()> onReadable;
    void Yield() override {
        ++yields;
        if (onYield) onYield();
    }
    void CountChanged(std::int32_t count) override { counts.push_back(count); }
    int engineChanges = 0;
    void EngineChanged() override { ++engineChanges; }
    bool WatchDescriptor(int fd, std::function<void()> callback) override {
        if (!canWatch) return false;
        watchedFd = fd;
        onReadable = std::move(callback);
        return true;
    }
    // The wake asked for last (empty when none is armed), and its delay.
    std::function<void()> wake;
    std::chrono::milliseconds wakeDelay{-1};
    bool WakeAfter(std::chrono::milliseconds delay, std::function<void()> then) override {
        wake = std::move(then);
        wakeDelay = delay;
        return true;
    }
};

// The kernel side of connection reports, scripted: the test queues reports and lost counts.
class FakeConnectionEvents final : public platform::ConnectionEventService {
public:
    struct State {
        std::size_t capacity = 0;
        std::vector<std::uint32_t> addresses;  // the IPv4 prefixes' addresses, as last set
        std::vector<platform::IpPrefix4> v4;    // as last set
        std::vector<platform::IpPrefix6> v6;
        int addressSets = 0;
        std::uint32_t setResult = platform::win32::kNoError;
        bool active = false;
        std::vector<platform::ConnectionEvent> queued;
        std::uint64_t lost = 0;
    };
    FakeConnectionEvents(State& state, std::size_t capacity) : state_(state) { state_.capacity = capacity; }
    int Descriptor() const override { return 99; }
    std::size_t Capacity() const override { return state_.capacity; }
    std::uint32_t SetWatched(std::span<const platform::IpPrefix4> v4,
                             std::span<const platform::IpPrefix6> v6) override {
        if (v4.size() > state_.capacity || v6.size() > state_.capacity) return platform::win32::kErrorNotEnoughMemory;
        if (state_.setResult != platform::win32::kNoError) return state_.setResult;
        state_.v4.assign(v4.begin(), v4.end());
        state_.v6.assign(v6.begin(), v6.end());
        state_.addresses.clear();
        for (const platform::IpPrefix4& prefix : v4) state_.addresses.push_back(prefix.address);
        ++state_.addressSets;
        return platform::win32::kNoError;
    }
    std::uint32_t SetActive(bool active) override {
        state_.active = active;
        return platform::win32::kNoError;
    }
    std::uint32_t Drain(const std::function<void(const platform::ConnectionEvent&)>& onEvent,
                        std::uint64_t& lost) override {
        std::vector<platform::ConnectionEvent> events;
        events.swap(state_.queued);
        for (const platform::ConnectionEvent& event : events) onEvent(event);
        lost += state_.lost;
        state_.lost = 0;
        return platform::win32::kNoError;
    }

private:
    State& state_;
};

}  // namespace corvane::engine::testing
