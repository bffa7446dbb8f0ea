#pragma once
// Named mutexes: one holder per name and user. The program holds "Corvane" for its whole life, so a
// second start can tell that an instance is already running.
//
// The mutex is an advisory lock on "<name>.lock" in a folder only the user can enter: the session's
// runtime folder ($XDG_RUNTIME_DIR/corvane), else <temp>/corvane-UID (temp is $TMPDIR, else /tmp).
// A folder there that is not a directory owned by the user, closed to group and others, is refused
// (another user may have made it to plant a link or to hold the lock); the lock then goes to the
// user's own ~/.cache/corvane, and Notes() says so. A lock in the shared temporary folder is taken in
// ~/.cache/corvane as well, so starts sent to either place still find each other.
//
// Beside each lock file lies the holder's channel, "<name>.sock": a Unix socket in the same private
// folder, so only the user (and root) reaches it. A later start that finds the mutex held asks the
// holder through it to show itself (AskHolderToShow); the holder answers once it has.
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace corvane::platform {

inline constexpr unsigned kErrorAlreadyExists = 183;  // ERROR_ALREADY_EXISTS

class NamedMutex {
public:
    NamedMutex() = default;
    // Creates and takes the mutex `name` in one act: Held() tells whether this process now holds it.
    // Result() is 0, or the Win32-style code of the failure (ERROR_ALREADY_EXISTS, 183, when another
    // process holds it).
    explicit NamedMutex(std::string_view name);

    bool Held() const { return fd_.Valid(); }
    unsigned Result() const { return result_; }
    // The lock file used (empty when no folder could be used).
    const std::string& Path() const { return path_; }
    // Folders refused on the way, one line each, for the user to see.
    const std::vector<std::string>& Notes() const { return notes_; }
    // The lock file another process holds, when Result() is ERROR_ALREADY_EXISTS: its channel is the
    // one to ask.
    const std::string& HeldElsewherePath() const { return heldElsewhere_; }

    // Opens the holder's channels: a listening socket beside every lock file this process holds (a
    // socket left there by an ended holder is replaced). Starts that come before the window thread
    // listens wait in the socket's queue. Empty, or why not (the mutex itself stays held).
    std::string Listen();
    // The listening sockets (non-blocking), for the window thread to watch.
    std::vector<int> Channels() const;

private:
    UniqueFd fd_;
    UniqueFd guard_;
    unsigned result_ = 0;
    std::string path_;
    std::string guardPath_;
    std::string heldElsewhere_;
    std::vector<std::string> notes_;
    std::vector<UniqueFd> channels_;
};

// The channel beside a lock file: "<folder>/<name>.lock" -> "<folder>/<name>.sock".
std::string ChannelPathOf(const std::string& lockPath);

// A request taken from a channel: the caller shows its window, then answers.
class ShowRequest {
public:
    ShowRequest() = default;
    ShowRequest(UniqueFd connection, std::string token)
        : connection_(std::move(connection)), token_(std::move(token)) {}
    // The asking start's activation token (XDG_ACTIVATION_TOKEN), empty when it had none.
    const std::string& Token() const { return token_; }
    // Tells the asking start that the window shows; false when it could not be told (it gave up).
    bool Answer();

private:
    UniqueFd connection_;
    std::string token_;
};

// Takes one waiting start from a listening channel. Nothing when none waits, when the caller is not
// this user (root aside), or when what it sent within `limit` is not a request to show.
std::optional<ShowRequest> TakeShowRequest(int channel, std::chrono::milliseconds limit);

// Asks the holder of the mutex that `mutex` found held to show its window, handing it `token`, and
// waits up to `limit` for its answer. 0 when it answered; else an errno value: ENOENT or ECONNREFUSED
// when nobody listens there (the holder is starting or ending), ETIMEDOUT when it did not answer.
int AskHolderToShow(const NamedMutex& mutex, std::string_view token, std::chrono::milliseconds limit);

// Whether another process holds the mutex `name` at this moment.
bool NamedMutexHeldElsewhere(std::string_view name);

}  // namespace corvane::platform
