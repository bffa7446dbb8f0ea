#pragma once
// corvaned itself: runs the engine on the machine's connections, owns the count ("Attempts"), the
// switch ("Run") and the definitions (qd.def in the state folder), and answers on the system bus.
#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <future>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/m_firewall.h"
#include "service/bus_object.h"
#include "service/caller_access.h"
#include "service/list_watch.h"
#include "service/count_saver.h"
#include "service/definitions_installer.h"
#include "service/notice_limit.h"
#include "service/property_signals.h"
#include "service/qt_scan_host.h"
#include "service/recent_blocks.h"
#include "service/refusal_layer.h"
#include "service/service_options.h"

namespace corvane::service {

class ProtectionDaemon final : public QObject, public ServiceBackend {
    Q_OBJECT
public:
    explicit ProtectionDaemon(ServiceOptions options, QObject* parent = nullptr);
    ~ProtectionDaemon() override;

    // Starts protection as "Run" says (the kernel's connect refusal and the timer engine at once, the
    // event engine once it is made in the background), then takes the service's name on the system bus and tells systemd it is
    // ready. False, with `why`, when the service cannot run.
    bool Start(std::string& why);
    // Ends the engine's work and stores the count. Later calls do nothing.
    void Stop();

    // ServiceBackend
    QVariantMap Properties() override;
    RequestResult SetProtection(bool on) override;
    void InstallDefinitions(QDBusUnixFileDescriptor file,
                            std::function<void(const RequestResult&, const std::string& version)> done) override;
    void Reload(std::function<void(const RequestResult&)> done) override;
    std::vector<RecentBlock> Recent(std::size_t count) override;

private slots:
    // The bus daemon went away (restarted, say): protection goes on, and the service connects again.
    void BusLost();

private:
    // Connects to the system bus, registers the object and takes the service's name. False, with `why`.
    bool TakeBus(std::string& why);
    // One try to take the bus again after it was lost; the next, later, when it fails.
    void TryBusAgain();
    // Lets go of the connection and what hangs on it.
    void DropBus();
    // How long a request on the engine's thread (the switch, a reload) waits for another process's
    // lock on the settings store, and how long the last write of the count may take at the end.
    static constexpr std::chrono::milliseconds kRequestStoreWait{10};
    static constexpr std::chrono::milliseconds kFinalSaveLimit{3000};
    // Lines of the lists that are no entry, said one by one in the log at each read; the rest in one line.
    static constexpr std::size_t kListProblemsSaid = 20;

    // Says a line on standard error and in the system log; from any thread.
    void Notice(const std::string& line);
    // The stored count, read late by the saver: the count becomes stored + blocks since start.
    void MergeStoredCount(std::int32_t stored);
    void ApplyProtection(bool on);
    // UDP sockets connected to listed addresses before the refusal could see them (before
    // protection, or before a list named the address) are disconnected and counted.
    void DisconnectListedUdp();
    // The tick runs exactly while the timer engine protects.
    void UpdateTicking();
    // After the engine changed over, or said something about itself.
    void EngineMayHaveChanged();
    std::string StatusLine();
    // Makes the connect refusal's kernel side, once, after the service is ready (for long lists on a
    // thread of its own, taken over by TakeMadeRefusal).
    void LoadRefusal();
    void TakeMadeRefusal();
    // A larger kernel side for the event engine, made on a thread of its own, taken over.
    void TakeMadeEvents();
    std::string RefusalWhyNot() const;
    // Which layers protect and why one does not (the "Layers" property).
    std::string LayersLine();
    // The refusal's hooks that run by name, and "; NAME not running: WHY" for each of the others.
    struct RefusalHooksSaid {
        std::vector<std::string> running;
        std::string notRunning;
    };
    RefusalHooksSaid RefusalHooks() const;
    void SendPropertiesChanged(const QVariantMap& changed);
    QString ReadUpdateServer();
    // qd.def or the lists changed: the connect refusal and what the bus shows follow.
    void ListsChanged(PreparedRefusal refusal = {});
    // qd.def changed: what the bus shows of it, then as for the lists.
    void DefinitionsChanged();
    void ApplyLists(PreparedLists prepared);
    // On the lists' reading thread: the kernel sides for long lists, made there.
    PreparedLists PrepareLists(engine::AddressLists lists);

    ServiceOptions options_;
    QDBusConnection bus_;
    uid_t serviceUid_;
    std::optional<gid_t> controlGroup_;
    QtScanHost host_;
    std::unique_ptr<engine::mFirewall> firewall_;
    // In front of the engine: the kernel refuses connects to listed addresses.
    std::unique_ptr<RefusalLayer> refusal_;
    RecentBlocks recent_;
    // What runs, for the lists' reading thread to know what to prepare (set on the main thread).
    std::atomic<bool> eventsInUse_{false};
    std::atomic<bool> refusalLoaded_{false};
    // After what their threads use: destroyed first, each waiting for its thread.
    std::unique_ptr<ListWatch> listWatch_;
    std::future<PreparedRefusal> refusalMade_;  // valid while the refusal's kernel side is made
    std::future<engine::PreparedEvents> eventsMade_;  // valid while a larger event engine side is made
    // Lists with this many prefixes or more get their kernel sides made on the reading thread.
    static constexpr std::size_t kPreparedFrom = 65536;
    std::size_t definitionsInForce_ = 0;  // qd.def's entries that can match
    QStringList listProblems_;            // "PATH:LINE", the first kMaxListProblems
    std::vector<std::string> toldListProblems_;  // said in the log already
    std::vector<std::string> toldRefusedLists_;
    bool protectionOn_ = false;
    QString updateServer_;
    std::string toldStatus_;
    std::string toldUdpWhy_;
    bool stopped_ = false;
    bool nameOwned_ = false;  // the service's name on the bus is ours: change signals may go out
    bool engineCheckDue_ = false;
    bool refusalLoadDue_ = false;
    CountSaver countSaver_;
    PropertySignals signals_;
    // What each install of definitions did, for the log: callers may ask as often as they like.
    NoticeLimit installNotices_;
    // Reads and checks new definitions on its thread; destroyed before what its answers use.
    std::unique_ptr<DefinitionsInstaller> installer_;
    std::unique_ptr<CallerAccess> access_;
    std::unique_ptr<BusObject> object_;
    // A connection of the service's own (not the shared default one, which cannot come back).
    QString busName_;
    unsigned busSerial_ = 0;
    QTimer busRetry_;  // single shot, armed only while the bus is lost
    std::chrono::milliseconds busRetryDelay_{0};
    std::string toldBusWhy_;
};

}  // namespace corvane::service
