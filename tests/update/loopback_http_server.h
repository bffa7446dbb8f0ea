#pragma once
// A small HTTP/1.1 server on 127.0.0.1 for the update tests and the download benchmark. It runs on
// threads of its own (so the window thread of the code under test and other processes, such as curl,
// can reach it alike), keeps connections alive, and answers each path as scripted: normal bodies, any
// status, a missing or wrong Content-Length, a body cut off or reset mid-way, a slow body, redirects.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace corvane::testing {

struct ScriptedReply {
    int status = 200;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;  // extra headers
    // Content-Length: the body's size unless announced is set; none at all (the body then ends with
    // the connection) when omitLength is true.
    std::optional<std::size_t> announced;
    bool omitLength = false;
    // Content-Length only in the answer to HEAD: a GET's body then ends with the connection.
    bool lengthOnlyOnHead = false;
    // The status line's protocol version ("HTTP/1.0" for an old server).
    std::string protocol = "HTTP/1.1";
    // Takes the request and never answers it (until the client gives up or the server stops).
    bool silent = false;
    // Sends only this many bytes of the body, then closes the connection (FIN), or resets it (RST).
    std::optional<std::size_t> cutAfter;
    bool resetAtCut = false;
    // Keeps the connection open after the whole answer, but closes it unanswered once the next
    // request arrives there, as a server whose keep-alive time ran out just then does: the client
    // must send that request again on a new connection.
    bool dropNextRequest = false;
    // Sends the body in pieces of this size with a pause after each.
    std::size_t pieceSize = 0;
    std::chrono::milliseconds pause{0};

    static ScriptedReply Ok(std::string body) {
        ScriptedReply reply;
        reply.body = std::move(body);
        return reply;
    }
    static ScriptedReply Status(int status, std::string body = "error page") {
        ScriptedReply reply;
        reply.status = status;
        reply.body = std::move(body);
        return reply;
    }
    static ScriptedReply Redirect(const std::string& location) {
        ScriptedReply reply;
        reply.status = 302;
        reply.headers.emplace_back("Location", location);
        return reply;
    }
};

struct RecordedRequest {
    std::string method;
    std::string target;                          // as sent: a path, or an absolute URL when sent to a proxy
    std::map<std::string, std::string> headers;  // names in lower case
};

class LoopbackHttpServer {
public:
    LoopbackHttpServer();  // listens on an ephemeral port of 127.0.0.1; aborts the test program if it cannot
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    // Scripts the answer for a path (without query); unknown paths get 404.
    void Route(const std::string& path, ScriptedReply reply);

    std::uint16_t Port() const { return port_; }
    std::string Base() const;                        // "http://127.0.0.1:port/"
    std::string Url(const std::string& path) const;  // Base() + path without its leading "/"

    std::vector<RecordedRequest> Requests() const;
    // How many requests with this method reached this path.
    std::size_t Count(const std::string& method, const std::string& path) const;

private:
    void AcceptLoop();
    void Serve(int fd);
    bool Answer(int fd, const RecordedRequest& request, bool& dropNext);

    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::map<std::string, ScriptedReply> routes_;
    std::vector<RecordedRequest> requests_;
    std::vector<int> connections_;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};

// A body of `size` bytes that differs from position to position (so a cut or shifted copy is seen).
std::string PatternBody(std::size_t size, unsigned seed = 1);

}  // namespace corvane::testing
