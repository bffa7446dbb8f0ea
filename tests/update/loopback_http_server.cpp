#include "loopback_http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace corvane::testing {
namespace {

bool SendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string PathOf(const std::string& target) {
    std::string path = target;
    // A request through a proxy names the whole URL.
    if (const std::size_t scheme = path.find("://"); scheme != std::string::npos) {
        const std::size_t slash = path.find('/', scheme + 3);
        path = slash == std::string::npos ? "/" : path.substr(slash);
    }
    return path.substr(0, path.find('?'));
}

const char* Reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 404:
            return "Not Found";
        case 500:
            return "Internal Server Error";
        default:
            return "Status";
    }
}

void Reset(int fd) {
    linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

}  // namespace

std::string PatternBody(std::size_t size, unsigned seed) {
    std::string body(size, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (char& c : body) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return body;
}

LoopbackHttpServer::LoopbackHttpServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 64) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::pipe2(wake_, O_CLOEXEC) != 0) {
        std::perror("loopback server");
        std::abort();
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
    stopping_ = true;
    static_cast<void>(!::write(wake_[1], "x", 1));
    acceptor_.join();
    {
        std::lock_guard lock(mutex_);
        for (int fd : connections_) ::shutdown(fd, SHUT_RDWR);
    }
    for (std::thread& worker : workers_) worker.join();
    ::close(listener_);
    ::close(wake_[0]);
    ::close(wake_[1]);
}

void LoopbackHttpServer::Route(const std::string& path, ScriptedReply reply) {
    std::lock_guard lock(mutex_);
    routes_[path] = std::move(reply);
}

std::string LoopbackHttpServer::Base() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

std::string LoopbackHttpServer::Url(const std::string& path) const {
    return Base() + (path.starts_with('/') ? path.substr(1) : path);
}

std::vector<RecordedRequest> LoopbackHttpServer::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t LoopbackHttpServer::Count(const std::string& method, const std::string& path) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(requests_.begin(), requests_.end(), [&](const RecordedRequest& r) {
        return r.method == method && PathOf(r.target) == path;
    }));
}

void LoopbackHttpServer::AcceptLoop() {
    while (!stopping_) {
        pollfd waits[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(waits, 2, -1) < 0) continue;
        if (waits[1].revents != 0) break;
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard lock(mutex_);
        connections_.push_back(fd);
        workers_.emplace_back([this, fd] { Serve(fd); });
    }
}

void LoopbackHttpServer::Serve(int fd) {
    std::string pending;
    char buffer[4096];
    bool open = true;
    bool dropNext = false;
    while (open && !stopping_) {
        const std::size_t end = pending.find("\r\n\r\n");
        if (end == std::string::npos) {
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0) break;
            pending.append(buffer, static_cast<std::size_t>(got));
            continue;
        }
        const std::string head = pending.substr(0, end);
        pending.erase(0, end + 4);
        RecordedRequest request;
        std::size_t lineEnd = head.find("\r\n");
        const std::string requestLine = head.substr(0, lineEnd);
        const std::size_t space1 = requestLine.find(' ');
        const std::size_t space2 = requestLine.find(' ', space1 + 1);
        request.method = requestLine.substr(0, space1);
        request.target = requestLine.substr(space1 + 1, space2 - space1 - 1);
        while (lineEnd != std::string::npos) {
            const std::size_t next = head.find("\r\n", lineEnd + 2);
            const std::string line =
                head.substr(lineEnd + 2, next == std::string::npos ? std::string::npos : next - lineEnd - 2);
            if (const std::size_t colon = line.find(':'); colon != std::string::npos) {
                std::string value = line.substr(colon + 1);
                value.erase(0, value.find_first_not_of(' '));
                request.headers[Lower(line.substr(0, colon))] = value;
            }
            lineEnd = next;
        }
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
        }
        if (dropNext) break;
        open = Answer(fd, request, dropNext);
    }
    {
        std::lock_guard lock(mutex_);
        std::erase(connections_, fd);
    }
    ::close(fd);
}

bool LoopbackHttpServer::Answer(int fd, const RecordedRequest& request, bool& dropNext) {
    ScriptedReply reply;
    {
        std::lock_guard lock(mutex_);
        const auto route = routes_.find(PathOf(request.target));
        reply = route != routes_.end() ? route->second : ScriptedReply::Status(404, "not found");
    }
    dropNext = reply.dropNextRequest;
    if (reply.silent) {
        // Holds the connection until the client closes it or the server stops.
        while (!stopping_) {
            char byte = 0;
            const ssize_t got = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    const bool head = request.method == "HEAD";
    std::string text = reply.protocol + " " + std::to_string(reply.status) + " " + Reason(reply.status) + "\r\n";
    const bool withLength = !reply.omitLength && (head || !reply.lengthOnlyOnHead);
    if (withLength) text += "Content-Length: " + std::to_string(reply.announced.value_or(reply.body.size())) + "\r\n";
    for (const auto& [name, value] : reply.headers) text += name + ": " + value + "\r\n";
    const bool closeAfter = !withLength || reply.cutAfter.has_value();
    if (closeAfter) text += "Connection: close\r\n";
    text += "\r\n";
    if (!SendAll(fd, text.data(), text.size())) return false;
    if (head) return !closeAfter;

    const std::size_t total = std::min(reply.body.size(), reply.cutAfter.value_or(reply.body.size()));
    const std::size_t piece = reply.pieceSize > 0 ? reply.pieceSize : std::max<std::size_t>(total, 1);
    for (std::size_t sent = 0; sent < total && !stopping_; sent += piece) {
        if (!SendAll(fd, reply.body.data() + sent, std::min(piece, total - sent))) return false;
        if (reply.pause.count() > 0) std::this_thread::sleep_for(reply.pause);
    }
    if (reply.cutAfter && reply.resetAtCut) Reset(fd);
    return !closeAfter;
}

}  // namespace corvane::testing
