#include "session_manager.h"

#include <X11/ICE/ICElib.h>
#include <X11/SM/SMlib.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace corvane::e2e {

// What the manager's thread holds: its listening sockets and the clients that came. libSM's
// callbacks get it as their data.
struct TestSessionManager::State {
    TestSessionManager* owner = nullptr;
    int listenCount = 0;
    IceListenObj* listeners = nullptr;
    std::vector<IceConn> connections;
    SmsConn client = nullptr;
};

namespace {

using ManagerState = TestSessionManager::State;

Bool AcceptAnyHost(char* /*hostname*/) { return True; }
// libICE's own handlers end the process; the test's manager only notes the failure.
void IgnoreIoError(IceConn) {}
void IgnoreError(IceConn, Bool, int, unsigned long, int, int, IcePointer) {}
void IgnoreSmsError(SmsConn, Bool, int, unsigned long, int, int, SmPointer) {}

}  // namespace

// libSM's callbacks reach the manager through these.
struct SessionCallbacks {
    static Status RegisterClient(SmsConn conn, SmPointer data, char* previousId) {
        std::free(previousId);
        auto* state = static_cast<ManagerState*>(data);
        char* id = SmsGenerateClientID(conn);
        const Status status = SmsRegisterClientReply(conn, id);
        std::free(id);
        state->client = conn;
        state->owner->registered_ = true;
        return status;
    }
    static void SaveYourselfDone(SmsConn conn, SmPointer data, Bool) {
        auto* state = static_cast<ManagerState*>(data);
        SmsSaveComplete(conn);
        state->owner->saveDone_ = true;
    }
    static void InteractRequest(SmsConn conn, SmPointer, int) { SmsInteract(conn); }
    static void InteractDone(SmsConn, SmPointer, Bool) {}
    static void SaveYourselfRequest(SmsConn, SmPointer, int, Bool, int, Bool, Bool) {}
    static void Phase2Request(SmsConn conn, SmPointer) { SmsSaveYourselfPhase2(conn); }
    static void CloseConnection(SmsConn conn, SmPointer data, int count, char** reasons) {
        auto* state = static_cast<ManagerState*>(data);
        SmFreeReasons(count, reasons);
        if (state->client == conn) state->client = nullptr;
        SmsCleanUp(conn);
    }
    static void SetProperties(SmsConn, SmPointer, int count, SmProp** props) {
        for (int i = 0; i < count; ++i) SmFreeProperty(props[i]);
        std::free(props);
    }
    static void DeleteProperties(SmsConn, SmPointer, int count, char** names) {
        for (int i = 0; i < count; ++i) std::free(names[i]);
        std::free(names);
    }
    static void GetProperties(SmsConn conn, SmPointer) { SmsReturnProperties(conn, 0, nullptr); }

    static Status NewClient(SmsConn, SmPointer data, unsigned long* mask, SmsCallbacks* callbacks, char**) {
        *mask = SmsRegisterClientProcMask | SmsInteractRequestProcMask | SmsInteractDoneProcMask |
                SmsSaveYourselfRequestProcMask | SmsSaveYourselfP2RequestProcMask | SmsSaveYourselfDoneProcMask |
                SmsCloseConnectionProcMask | SmsSetPropertiesProcMask | SmsDeletePropertiesProcMask |
                SmsGetPropertiesProcMask;
        callbacks->register_client = {RegisterClient, data};
        callbacks->interact_request = {InteractRequest, data};
        callbacks->interact_done = {InteractDone, data};
        callbacks->save_yourself_request = {SaveYourselfRequest, data};
        callbacks->save_yourself_phase2_request = {Phase2Request, data};
        callbacks->save_yourself_done = {SaveYourselfDone, data};
        callbacks->close_connection = {CloseConnection, data};
        callbacks->set_properties = {SetProperties, data};
        callbacks->delete_properties = {DeleteProperties, data};
        callbacks->get_properties = {GetProperties, data};
        return 1;
    }
};

TestSessionManager::TestSessionManager() = default;

std::string TestSessionManager::Start() {
    IceSetIOErrorHandler(IgnoreIoError);
    IceSetErrorHandler(IgnoreError);
    SmsSetErrorHandler(IgnoreSmsError);
    state_ = std::make_unique<State>();
    state_->owner = this;
    char message[256] = {};
    if (!SmsInitialize("corvane-test", "1", SessionCallbacks::NewClient, state_.get(), AcceptAnyHost, sizeof message,
                       message)) {
        error_ = std::string("SmsInitialize: ") + message;
        return "";
    }
    if (!IceListenForConnections(&state_->listenCount, &state_->listeners, sizeof message, message) ||
        state_->listenCount == 0) {
        error_ = std::string("IceListenForConnections: ") + message;
        return "";
    }
    for (int i = 0; i < state_->listenCount; ++i) IceSetHostBasedAuthProc(state_->listeners[i], AcceptAnyHost);
    char* ids = IceComposeNetworkIdList(state_->listenCount, state_->listeners);
    const std::string address = ids ? ids : "";
    std::free(ids);
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        error_ = "pipe2 failed";
        return "";
    }
    thread_ = std::thread([this] { Run(); });
    return address;
}

TestSessionManager::~TestSessionManager() {
    stop_ = true;
    if (wake_[1] >= 0) (void)!::write(wake_[1], "x", 1);
    if (thread_.joinable()) thread_.join();
    if (state_) {
        for (IceConn conn : state_->connections) IceCloseConnection(conn);
        if (state_->listeners) IceFreeListenObjs(state_->listenCount, state_->listeners);
    }
    for (int fd : wake_)
        if (fd >= 0) ::close(fd);
}

bool TestSessionManager::SaveYourself(std::chrono::milliseconds limit) {
    saveDone_ = false;
    saveRequested_ = true;
    (void)!::write(wake_[1], "x", 1);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!saveDone_) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void TestSessionManager::Run() {
    State& state = *state_;
    while (!stop_) {
        std::vector<pollfd> fds;
        fds.push_back({wake_[0], POLLIN, 0});
        for (int i = 0; i < state.listenCount; ++i) fds.push_back({IceGetListenConnectionNumber(state.listeners[i]), POLLIN, 0});
        for (IceConn conn : state.connections) fds.push_back({IceConnectionNumber(conn), POLLIN, 0});
        if (::poll(fds.data(), fds.size(), 100) < 0) continue;
        if (fds[0].revents != 0) {
            char drain[16];
            while (::read(wake_[0], drain, sizeof drain) > 0) {
            }
        }
        if (saveRequested_.exchange(false) && state.client)
            SmsSaveYourself(state.client, SmSaveGlobal, False, SmInteractStyleNone, False);
        for (int i = 0; i < state.listenCount; ++i) {
            if (fds[1 + i].revents == 0) continue;
            IceAcceptStatus status;
            IceConn conn = IceAcceptConnection(state.listeners[i], &status);
            if (!conn) continue;
            // The connection's own setup, before it carries the session protocol.
            IceConnectStatus setup = IceConnectPending;
            while ((setup = IceConnectionStatus(conn)) == IceConnectPending)
                if (IceProcessMessages(conn, nullptr, nullptr) == IceProcessMessagesIOError) break;
            if (setup == IceConnectAccepted)
                state.connections.push_back(conn);
            else
                IceCloseConnection(conn);
        }
        const std::size_t first = 1 + static_cast<std::size_t>(state.listenCount);
        std::vector<IceConn> kept;
        for (std::size_t i = 0; i < state.connections.size(); ++i) {
            IceConn conn = state.connections[i];
            if (first + i < fds.size() && fds[first + i].revents != 0 &&
                IceProcessMessages(conn, nullptr, nullptr) == IceProcessMessagesIOError) {
                IceSetShutdownNegotiation(conn, False);
                IceCloseConnection(conn);
                continue;
            }
            kept.push_back(conn);
        }
        state.connections = kept;
    }
}

}  // namespace corvane::e2e
