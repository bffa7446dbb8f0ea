#include "service/caller_access.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

#include <grp.h>

#include <algorithm>
#include <cerrno>

namespace corvane::service {

namespace {

// Callers remembered at most; the memory starts over beyond (a lookup is cheap).
constexpr std::size_t kKnownCallers = 1024;

}  // namespace

std::optional<gid_t> ResolveGroup(const std::string& name) {
    std::vector<char> buffer(16384);
    for (;;) {
        group entry{};
        group* found = nullptr;
        const int result = ::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
        if (result == ERANGE && buffer.size() < (1U << 22)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (result != 0 || found == nullptr) return std::nullopt;
        return found->gr_gid;
    }
}

bool MayControl(std::uint32_t uid, const std::vector<std::uint32_t>& groups, std::optional<gid_t> controlGroup,
                uid_t serviceUid) {
    if (uid == 0 || uid == serviceUid) return true;
    return controlGroup && std::find(groups.begin(), groups.end(), *controlGroup) != groups.end();
}

CallerAccess::CallerAccess(QDBusConnection bus, std::optional<gid_t> controlGroup, uid_t serviceUid,
                           QObject* parent)
    : QObject(parent), bus_(std::move(bus)), controlGroup_(controlGroup), serviceUid_(serviceUid) {}

void CallerAccess::Check(const QString& sender, std::function<void(bool allowed)> decide) {
    if (sender.isEmpty()) {
        // Only a peer-to-peer connection has no sender; the service has none.
        decide(false);
        return;
    }
    if (const auto queue = waiting_.find(sender); queue != waiting_.end()) {
        queue->second.push_back(std::move(decide));  // after the ones asked earlier
        return;
    }
    if (const auto known = known_.find(sender); known != known_.end()) {
        decide(known->second);
        return;
    }
    waiting_[sender].push_back(std::move(decide));
    QDBusMessage ask = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                      QStringLiteral("/org/freedesktop/DBus"),
                                                      QStringLiteral("org.freedesktop.DBus"),
                                                      QStringLiteral("GetConnectionCredentials"));
    ask << sender;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(ask), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, sender](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        bool allowed = false;
        const QDBusMessage reply = call->reply();
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
            const QVariantMap credentials = qdbus_cast<QVariantMap>(reply.arguments().front());
            const auto uid = credentials.constFind(QStringLiteral("UnixUserID"));
            if (uid != credentials.constEnd()) {
                std::vector<std::uint32_t> groups;
                const auto gids = credentials.constFind(QStringLiteral("UnixGroupIDs"));
                if (gids != credentials.constEnd()) {
                    const QList<uint> list = qdbus_cast<QList<uint>>(*gids);
                    groups.assign(list.begin(), list.end());
                }
                allowed = MayControl(uid->toUInt(), groups, controlGroup_, serviceUid_);
            }
        }
        // No answer (the caller is gone, the bus is failing): refused, and asked again next time.
        Answered(sender, allowed);
        if (reply.type() != QDBusMessage::ReplyMessage) known_.erase(sender);
    });
}

void CallerAccess::Answered(const QString& sender, bool allowed) {
    if (known_.size() >= kKnownCallers) known_.clear();
    known_[sender] = allowed;
    // The caller's requests in order; requests arriving meanwhile (a request may run the event loop)
    // join the end of the same queue.
    for (;;) {
        const auto queue = waiting_.find(sender);
        if (queue == waiting_.end()) return;
        if (queue->second.empty()) {
            waiting_.erase(queue);
            return;
        }
        std::function<void(bool)> decide = std::move(queue->second.front());
        queue->second.pop_front();
        decide(allowed);
    }
}

}  // namespace corvane::service
