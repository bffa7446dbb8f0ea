#pragma once
// The internet transfer component: HTTP and HTTPS requests driven by the window thread's event loop.
//
// Execute starts a request and returns at once; its progress arrives as StateChanged events, raised on
// the window thread while the caller lets window messages through. A request ends with exactly one of
// state 12 (response completed: a 2xx answer whose whole body has arrived) or state 11 (error: the host
// cannot be reached, the answer is not a success, a redirect loop, a reset or cut connection, a body
// shorter than its Content-Length, or the time-out). After state 12 the body is read with GetChunk.
// OpenURL fetches a whole body, letting window messages through while it waits; it raises no events.
//
// Requests ask for the body as it is stored (no compression), follow at most a few redirects and never
// from HTTPS to HTTP, go through the proxy named by the environment (http_proxy, https_proxy,
// all_proxy, no_proxy; loopback always direct) and fail after the time-out passes without progress.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::platform {

class Inet {
public:
    // The states a request goes through, numbered as the component always has.
    enum State : int {
        icNone = 0,
        icHostResolvingHost = 1,
        icHostResolved = 2,
        icConnecting = 3,
        icConnected = 4,
        icRequesting = 5,
        icRequestSent = 6,
        icReceivingResponse = 7,
        icResponseReceived = 8,
        icDisconnecting = 9,
        icDisconnected = 10,
        icError = 11,
        icResponseCompleted = 12,
    };

    static constexpr std::chrono::seconds kDefaultRequestTimeout{60};
    // Larger bodies are refused (state 11): the component keeps a body in memory until it is read.
    static constexpr std::size_t kMaxBodySize = 256u << 20;

    using StateChangedHandler = std::function<void(int state)>;

    virtual ~Inet() = default;

    // The StateChanged event; the handler runs on the window thread and may itself let messages through.
    virtual void SetStateChanged(StateChangedHandler handler) = 0;

    // The time a request may go without progress before it fails.
    virtual void SetRequestTimeout(std::chrono::milliseconds timeout) = 0;

    // The whole body of a 2xx answer to a GET of `url`; nullopt when the request fails in any way
    // (LastError says why). Waits by letting window messages through.
    virtual std::optional<std::string> OpenURL(const std::string& url) = 0;

    // Starts a request. `operation` is the verb followed by anything ("HEAD \"…\"", "GET \"…\""); only
    // the verb counts. False, with nothing started, when a request is still running, the verb is not
    // HEAD or GET, or the address is not an http or https URL.
    virtual bool Execute(const std::string& url, const std::string& operation) = 0;

    // True from Execute until the request's last StateChanged event.
    virtual bool StillExecuting() const = 0;

    // A header of the last response (any case of the name), empty when absent.
    virtual std::string GetHeader(const std::string& name) const = 0;

    // The next part of the body of the last completed response, at most `size` bytes; empty once the
    // body is used up (or when there is none).
    virtual std::vector<std::uint8_t> GetChunk(std::size_t size) = 0;

    // The address the last response came from, after any redirects (empty before the first response).
    virtual std::string ResponseUrl() const = 0;

    // Stops the running request; it ends with state 11.
    virtual void Cancel() = 0;

    // What made the last request fail, for people (empty after a success).
    virtual std::string LastError() const = 0;
};

// The component on Qt's network module. Needs an application object on the calling thread.
std::unique_ptr<Inet> CreateInet();

}  // namespace corvane::platform
