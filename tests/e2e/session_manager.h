#pragma once
// A session manager of the test's own (XSMP over ICE, with libSM): it takes in the clients that
// connect and, when the test asks, sends them a "save yourself" as a desktop session does before it
// ends, then waits for their answer.
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace corvane::e2e {

class TestSessionManager {
public:
    TestSessionManager();
    ~TestSessionManager();
    TestSessionManager(const TestSessionManager&) = delete;
    TestSessionManager& operator=(const TestSessionManager&) = delete;

    // Listens; the value for SESSION_MANAGER, or "" when listening failed (`Error()` says why).
    std::string Start();
    const std::string& Error() const { return error_; }

    // Whether a client has registered.
    bool Registered() const { return registered_; }
    // Sends the registered client a "save yourself" (global save: commit your data, no shutdown,
    // no interaction) and waits up to `limit` for its "save yourself done"; false when none came.
    bool SaveYourself(std::chrono::milliseconds limit);

    struct State;  // the manager thread's libICE/libSM objects (session_manager.cpp)

private:
    friend struct SessionCallbacks;  // libSM's callbacks report back here
    void Run();

    std::unique_ptr<State> state_;
    std::string error_;
    std::thread thread_;
    int wake_[2] = {-1, -1};  // the test's thread wakes the manager's through this pipe
    std::atomic<bool> stop_{false};
    std::atomic<bool> saveRequested_{false};
    std::atomic<bool> registered_{false};
    std::atomic<bool> saveDone_{false};
};

}  // namespace corvane::e2e
