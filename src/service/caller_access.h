#pragma once
// Who may talk to the service, decided by the service itself beside the bus policy: root, the
// service's own user and members of the control group. The caller's user and groups come from the
// bus daemon (GetConnectionCredentials), asked without blocking; the answer is kept per connection
// (a bus never gives a unique name twice).
#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace corvane::service {

// The group's id, or nothing when the system has no such group.
std::optional<gid_t> ResolveGroup(const std::string& name);

// The rule itself.
bool MayControl(std::uint32_t uid, const std::vector<std::uint32_t>& groups, std::optional<gid_t> controlGroup,
                uid_t serviceUid);

class CallerAccess final : public QObject {
    Q_OBJECT
public:
    CallerAccess(QDBusConnection bus, std::optional<gid_t> controlGroup, uid_t serviceUid,
                 QObject* parent = nullptr);

    // Calls decide(true or false) once the caller's rights are known: at once when they already are,
    // else when the bus daemon answers. Decisions for one caller come in the order asked.
    void Check(const QString& sender, std::function<void(bool allowed)> decide);

private:
    void Answered(const QString& sender, bool allowed);

    QDBusConnection bus_;
    std::optional<gid_t> controlGroup_;
    uid_t serviceUid_;
    std::map<QString, bool> known_;  // unique name -> may control
    std::map<QString, std::deque<std::function<void(bool)>>> waiting_;  // asked, or being answered
};

}  // namespace corvane::service
