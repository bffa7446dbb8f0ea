#include "service/protection_daemon.h"

#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QDBusMessage>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <span>

#include "engine/block_list.h"
#include "platform/connect_refusal.h"
#include "platform/connection_events.h"
#include "platform/dbus/bus_names.h"
#include "platform/linux/registry_hive.h"
#include "platform/system_log.h"
#include "platform/udp_teardown.h"
#include "platform/win32_error.h"
#include "platform/thread_priority.h"
#include "service/definitions_file.h"
#include "service/state_dir.h"
#include "service/systemd_notify.h"
#include "settings/settings_table.h"
#include "settings/stored_settings.h"

namespace corvane::service {

namespace {

namespace bus = platform::bus;

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

ProtectionDaemon::ProtectionDaemon(ServiceOptions options, QObject* parent)
    : QObject(parent),
      options_(std::move(options)),
      bus_(QString()),
      serviceUid_(::geteuid()),
      countSaver_(CountSaver::MachineStore(), [this](const std::string& line) { Notice(line); },
                  [this](std::int32_t stored) {
                      // Read late, on the saver's thread: merged on the engine's.
                      QMetaObject::invokeMethod(this, [this, stored] { MergeStoredCount(stored); },
                                                Qt::QueuedConnection);
                  }),
      signals_([this] { return Properties(); },
               [this](const QVariantMap& changed) { SendPropertiesChanged(changed); }),
      installNotices_([this](const std::string& line) { Notice(line); }, "lines about definitions installs") {
    RegisterBusTypes();
    busRetry_.setSingleShot(true);
    connect(&busRetry_, &QTimer::timeout, this, &ProtectionDaemon::TryBusAgain);
}

ProtectionDaemon::~ProtectionDaemon() {
    Stop();
    if (object_) bus_.unregisterObject(QLatin1String(bus::kObjectPath));
    if (!busName_.isEmpty()) QDBusConnection::disconnectFromBus(busName_);
    busRetry_.stop();
}

void ProtectionDaemon::Notice(const std::string& line) {
    std::fprintf(stderr, "corvaned: %s\n", line.c_str());
    static_cast<void>(platform::WriteSystemLog(platform::LogLevel::kNotice, line));
}

bool ProtectionDaemon::Start(std::string& why) {
    // This thread runs the engine: its reads at start never wait for another process's lock (what
    // cannot be read now is read later, or left at its default), its requests only a moment.
    platform::SetStoreWait(std::chrono::milliseconds(0));
    std::vector<std::string> notes;
    if (!PrepareStateDir(options_.stateDir, notes, why)) return false;
    for (const std::string& note : notes) Notice(note);
    // Temporary files of an installation that a crash interrupted.
    for (const std::string& note : RemoveStaleTemporaries(options_.stateDir)) Notice(note);

    controlGroup_ = ResolveGroup(options_.controlGroup);
    if (!controlGroup_) Notice("no group \"" + options_.controlGroup + "\": only root may control the service");

    // The engine first: protection does not wait for the bus. The event engine's kernel side is made
    // in the background, at the lowest priority, while the timer engine protects.
    firewall_ = engine::mFirewall::CreateForSystem(
        host_, settings::ReadTimerEngineForced() ? engine::EngineChoice::kTimer : engine::EngineChoice::kAuto,
        [](std::size_t capacity) {
            // Refused: the load then takes its share of the processor like any other work.
            static_cast<void>(platform::RunThisThreadWhenIdle());
            return platform::CreateSystemConnectionEvents(capacity);
        },
        engine::EventsLoading::kInBackground);
    firewall_->SetNoticeSink([this](const std::string& line) {
        Notice(line);
        // Said while the engine changes over, or as protection stops or starts working again (the
        // kernel refusing teardowns): looked at once the change is complete.
        if (engineCheckDue_) return;
        engineCheckDue_ = true;
        QMetaObject::invokeMethod(this, [this] { EngineMayHaveChanged(); }, Qt::QueuedConnection);
    });
    firewall_->SetBlockObserver([this](const engine::BlockRecord& record) { recent_.Add(record, NowMs()); });
    // Lists outgrowing the event engine's kernel side: a larger one is made on a thread of its own,
    // while the one in use goes on reporting and this thread goes on answering.
    firewall_->SetEventsPreparer([this](engine::WatchedPrefixes watched) {
        if (eventsMade_.valid()) return;  // the one being made is brought to the lists as they are then
        eventsMade_ = std::async(std::launch::async, [this, watched = std::move(watched)]() mutable {
            engine::PreparedEvents prepared = firewall_->PrepareEvents(
                std::move(watched), [](std::size_t capacity) { return platform::CreateSystemConnectionEvents(capacity); });
            // The destructor waits for this, so the daemon is still there to be told.
            QMetaObject::invokeMethod(this, [this] { TakeMadeEvents(); }, Qt::QueuedConnection);
            return prepared;
        });
    });
    host_.SetTickHandler([this] { firewall_->Tick(); });
    host_.SetEngineChangedHandler([this] { EngineMayHaveChanged(); });
    host_.SetCountChangedHandler([this] {
        countSaver_.Changed(firewall_->BlockedCount());
        signals_.MarkChanged();
    });

    firewall_->LoadDefinitions(options_.stateDir);
    definitionsInForce_ = engine::CanonicalAddresses(firewall_->BlockList()).size();
    // The administrator's lists, read before protection starts: every list protects from the start.
    listWatch_ = std::make_unique<ListWatch>(
        options_.listsDir, [this](engine::AddressLists lists) { return PrepareLists(std::move(lists)); },
        [this](PreparedLists prepared) { ApplyLists(std::move(prepared)); },
        [this](const std::string& line) { Notice(line); });
    listWatch_->LoadNow();
    // In front of the engine: connects to listed addresses are refused in the kernel, counted there
    // and added to the engine's count.
    refusal_ = std::make_unique<RefusalLayer>(
        [](std::size_t capacity) { return platform::CreateSystemConnectRefusal(capacity); },
        [](std::size_t capacity) { return platform::CreateRefusedPrefixes(capacity); },
        [this](std::uint64_t count, std::span<const engine::BlockRecord> records) {
            if (firewall_) firewall_->AddBlocks(count, records);
        },
        [this](const std::string& line) {
            Notice(line);
            if (engineCheckDue_) return;
            engineCheckDue_ = true;
            QMetaObject::invokeMethod(this, [this] { EngineMayHaveChanged(); }, Qt::QueuedConnection);
        });
    // Its kernel side is made once the service is ready (below): the kernel checks the programs first,
    // which takes some 10 to 30 ms, and the engine protects meanwhile.
    refusalLoadDue_ = true;
    // A count that cannot be read now is not taken for 0: the engine counts from 0 the blocks since
    // start, and the saver merges them with the stored count once it can read it. The saver says
    // what it found (and what it took from the count kept beside the store).
    const std::optional<std::int32_t> storedCount = countSaver_.StartFromStore();
    firewall_->SetBlockedCount(storedCount.value_or(0));
    updateServer_ = ReadUpdateServer();
    // The switch as stored when it can be read, else on.
    const settings::StoredNumber run = settings::ReadStoredNumber(settings::Setting::Run);
    ApplyProtection(run.answer != settings::StoreAnswer::kDone || !run.number || *run.number == 1);
    platform::SetStoreWait(kRequestStoreWait);

    if (!TakeBus(why)) return false;
    toldStatus_ = StatusLine();
    if (!NotifyReady(toldStatus_)) Notice("systemd was not told that the service is ready");
    QMetaObject::invokeMethod(this, [this] { LoadRefusal(); }, Qt::QueuedConnection);
    return true;
}

bool ProtectionDaemon::TakeBus(std::string& why) {
    // The object before the name, so the first caller finds it.
    busName_ = QStringLiteral("corvaned-%1").arg(++busSerial_);
    bus_ = QDBusConnection::connectToBus(QDBusConnection::SystemBus, busName_);
    if (!bus_.isConnected()) {
        why = "no system bus: " + bus_.lastError().message().toStdString();
        return false;
    }
    // Sent by the bus library itself when the connection ends.
    if (!bus_.connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"), QStringLiteral("org.freedesktop.DBus.Local"),
                      QStringLiteral("Disconnected"), this, SLOT(BusLost())))
        Notice("the end of the bus connection cannot be watched: after a restart of the bus the service is not found");
    access_ = std::make_unique<CallerAccess>(bus_, controlGroup_, serviceUid_);
    object_ = std::make_unique<BusObject>(*this, *access_);
    if (!bus_.registerVirtualObject(QLatin1String(bus::kObjectPath), object_.get())) {
        why = "the object " + std::string(bus::kObjectPath) + " cannot be registered";
        return false;
    }
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> name = bus_.interface()->registerService(
        QLatin1String(bus::kServiceName), QDBusConnectionInterface::DontQueueService,
        QDBusConnectionInterface::DontAllowReplacement);
    if (!name.isValid() || name.value() != QDBusConnectionInterface::ServiceRegistered) {
        why = "the name " + std::string(bus::kServiceName) + " cannot be taken on the system bus" +
              (name.isValid() ? std::string(" (another process holds it)")
                              : ": " + name.error().message().toStdString());
        return false;
    }
    nameOwned_ = true;
    signals_.Reset();
    return true;
}

void ProtectionDaemon::BusLost() {
    if (busRetry_.isActive() || stopped_) return;
    nameOwned_ = false;
    Notice("the connection to the system bus was lost; protection goes on, and the service connects again");
    busRetryDelay_ = std::chrono::milliseconds(100);
    toldBusWhy_.clear();
    busRetry_.start(busRetryDelay_);
}

void ProtectionDaemon::DropBus() {
    nameOwned_ = false;
    if (object_) {
        bus_.unregisterObject(QLatin1String(bus::kObjectPath));
        // From the loop: an answer under way may still refer to them.
        object_.release()->deleteLater();
    }
    if (access_) access_.release()->deleteLater();
    if (!busName_.isEmpty()) QDBusConnection::disconnectFromBus(busName_);
    bus_ = QDBusConnection(QString());
}

void ProtectionDaemon::TryBusAgain() {
    if (stopped_) return;
    DropBus();
    std::string why;
    if (TakeBus(why)) {
        // Listeners read the whole state when they see the name's new owner.
        Notice("connected to the system bus again; the service's name is its own again");
        return;
    }
    // Said once per reason; tried less often while the bus stays away (at most every 5 s).
    if (why != toldBusWhy_) {
        Notice("the system bus cannot be taken yet (tried again later): " + why);
        toldBusWhy_ = why;
    }
    busRetryDelay_ = std::min(busRetryDelay_ * 2, std::chrono::milliseconds(5000));
    busRetry_.start(busRetryDelay_);
}

void ProtectionDaemon::LoadRefusal() {
    if (!refusalLoadDue_ || refusalMade_.valid() || stopped_ || !refusal_ || !firewall_) return;
    engine::WatchedPrefixes prefixes = engine::WatchedFor(firewall_->BlockList(), firewall_->Lists());
    if (prefixes.Largest() < kPreparedFrom) {
        refusalLoadDue_ = false;
        // The list as it is now, and protection as it is now (the layer attaches itself when it is on).
        static_cast<void>(refusal_->Load(prefixes));
        EngineMayHaveChanged();
        return;
    }
    // Long lists take the kernel a while: made on a thread of its own while the engine protects.
    refusalMade_ = std::async(std::launch::async, [this, prefixes = std::move(prefixes)] {
        PreparedRefusal prepared = refusal_->Prepare(prefixes);
        // The destructor waits for this, so the daemon is still there to be told.
        QMetaObject::invokeMethod(this, [this] { TakeMadeRefusal(); }, Qt::QueuedConnection);
        return prepared;
    });
}

void ProtectionDaemon::TakeMadeRefusal() {
    if (!refusalMade_.valid()) return;
    PreparedRefusal prepared = refusalMade_.get();
    refusalLoadDue_ = false;
    if (stopped_) return;
    // The lists as they are now: what changed meanwhile is added to it.
    static_cast<void>(
        refusal_->Load(engine::WatchedFor(firewall_->BlockList(), firewall_->Lists()), std::move(prepared)));
    refusalLoaded_ = refusal_->Loaded();
    EngineMayHaveChanged();
}

void ProtectionDaemon::TakeMadeEvents() {
    if (!eventsMade_.valid()) return;
    engine::PreparedEvents prepared = eventsMade_.get();
    if (stopped_ || !firewall_) return;
    firewall_->TakePreparedEvents(std::move(prepared));
    EngineMayHaveChanged();
}

void ProtectionDaemon::Stop() {
    if (stopped_ || !firewall_) return;
    stopped_ = true;
    // Refusals up to the detach are counted; then a scan yielding right now tears down (and counts)
    // nothing after this.
    installer_.reset();  // an install under way ends first; those waiting are not answered
    installNotices_.Flush();
    if (refusal_) refusal_->Stop();
    firewall_->Stop();
    host_.SetTicking(false);
    static_cast<void>(NotifyStopping());
    if (!countSaver_.Finish(firewall_->BlockedCount(), kFinalSaveLimit))
        Notice("the count " + std::to_string(firewall_->BlockedCount()) + " could not be stored");
}

void ProtectionDaemon::MergeStoredCount(std::int32_t stored) {
    if (stopped_ || !firewall_) return;
    const std::int64_t sum = static_cast<std::int64_t>(stored) + firewall_->BlockedCount();
    const std::int32_t merged = static_cast<std::int32_t>(std::min<std::int64_t>(sum, INT32_MAX));
    firewall_->SetBlockedCount(merged);
    countSaver_.Merged(merged);
    Notice("the stored count " + std::to_string(stored) + " was read: the count is now " + std::to_string(merged));
    signals_.MarkChanged();
}

void ProtectionDaemon::ApplyProtection(bool on) {
    protectionOn_ = on;
    // The refusal first: connects made while the engine turns on are already refused.
    if (refusal_) refusal_->SetProtection(on);
    firewall_->SetProtection(on);
    UpdateTicking();
    DisconnectListedUdp();
}

void ProtectionDaemon::DisconnectListedUdp() {
    if (!protectionOn_ || stopped_ || !firewall_) return;
    std::vector<platform::DestroyedUdp> destroyed;
    std::string why;
    const std::uint32_t result = platform::DestroyConnectedUdp(
        [this](const platform::DestroyedUdp& socket) {
            platform::TcpRow row;
            row.native6 = socket.native6;
            row.remoteAddr6 = socket.remoteAddress6;
            row.dwRemoteAddr = socket.remoteAddress;
            char text[INET_ADDRSTRLEN] = {};
            const bool plain = !socket.native6 && ::inet_ntop(AF_INET, &socket.remoteAddress, text, sizeof text);
            return firewall_->ListOf(row, plain ? std::string_view(text) : std::string_view()) != nullptr;
        },
        destroyed, why);
    // Said once until it works again: it is tried at every switch and every new list.
    if (result != platform::win32::kNoError && why != toldUdpWhy_) Notice("UDP teardown: " + why);
    toldUdpWhy_ = result == platform::win32::kNoError ? std::string() : why;
    if (destroyed.empty()) return;
    std::vector<engine::BlockRecord> records;
    records.reserve(destroyed.size());
    for (const platform::DestroyedUdp& socket : destroyed) {
        engine::BlockRecord record;
        record.native6 = socket.native6;
        record.remoteAddress = socket.remoteAddress;
        record.remoteAddress6 = socket.remoteAddress6;
        record.remotePort = socket.remotePort;
        record.localPort = socket.localPort;
        record.protocol = IPPROTO_UDP;
        record.direction = engine::Direction::kOutbound;
        records.push_back(std::move(record));
    }
    firewall_->AddBlocks(destroyed.size(), records);
}

void ProtectionDaemon::UpdateTicking() {
    host_.SetTicking(!stopped_ && protectionOn_ && firewall_ && !firewall_->Stopped() && firewall_->UsesTimer());
}

void ProtectionDaemon::EngineMayHaveChanged() {
    engineCheckDue_ = false;
    if (!firewall_) return;
    eventsInUse_ = firewall_->Engine() == engine::EngineKind::kEvents;
    refusalLoaded_ = refusal_ && refusal_->Loaded();
    UpdateTicking();
    signals_.MarkChanged();
    const std::string status = StatusLine();
    // A status the manager's queue could not take is sent again at the next look.
    if (status != toldStatus_ && object_ && NotifyStatus(status)) toldStatus_ = status;
}

std::string ProtectionDaemon::RefusalWhyNot() const {
    if (refusalLoadDue_) return "its kernel side is being made";
    return refusal_ ? refusal_->Why() : std::string();
}

ProtectionDaemon::RefusalHooksSaid ProtectionDaemon::RefusalHooks() const {
    RefusalHooksSaid said;
    if (!refusal_ || !refusal_->Running()) {
        said.notRunning = "; connect refusal not running: " + RefusalWhyNot();
        return said;
    }
    const auto hooks = refusal_->Hooks();
    for (std::size_t hook = 0; hook < hooks.size(); ++hook) {
        if (hooks[hook].attached)
            said.running.emplace_back(HookName(hook));
        else
            said.notRunning += "; " + std::string(HookName(hook)) + " not running: " + hooks[hook].why;
    }
    return said;
}

std::string ProtectionDaemon::StatusLine() {
    if (!protectionOn_) return "protection off";
    const RefusalHooksSaid hooks = RefusalHooks();
    std::string refusal;
    for (const std::string& name : hooks.running) refusal += (refusal.empty() ? "" : ", ") + name;
    if (!refusal.empty()) refusal = "; the kernel refuses listed addresses (" + refusal + ")";
    refusal += hooks.notRunning;
    if (!firewall_->Problem().empty()) return "protection is not working: " + firewall_->Problem() + refusal;
    if (firewall_->Engine() == engine::EngineKind::kEvents)
        return "event engine protects: " + firewall_->EngineReason() + refusal;
    return "timer engine (1 ms) protects: " + firewall_->EngineReason() + refusal;
}

std::string ProtectionDaemon::LayersLine() {
    if (!firewall_) return {};
    if (!protectionOn_) return "none: protection is off";
    const RefusalHooksSaid hooks = RefusalHooks();
    std::string line;
    for (const std::string& name : hooks.running) line += name + " + ";
    line += firewall_->Engine() == engine::EngineKind::kEvents ? "event engine" : "timer engine";
    return line + hooks.notRunning;
}

QString ProtectionDaemon::ReadUpdateServer() {
    try {
        return QString::fromStdString(settings::ToText(settings::ReadSetting(settings::Setting::UpdateServer)));
    } catch (const settings::RegistryConversionError&) {
        return QString::fromLatin1(std::string(settings::Definition(settings::Setting::UpdateServer).default_value));
    }
}

QVariantMap ProtectionDaemon::Properties() {
    QVariantMap values;
    values.insert(QLatin1String(bus::kPropProtection), protectionOn_);
    values.insert(QLatin1String(bus::kPropAttempts), static_cast<int>(firewall_ ? firewall_->BlockedCount() : 0));
    values.insert(QLatin1String(bus::kPropDefinitionsVersion),
                  QString::fromStdString(firewall_ ? firewall_->DefsVersion() : std::string()));
    const bool events = firewall_ && firewall_->Engine() == engine::EngineKind::kEvents;
    values.insert(QLatin1String(bus::kPropEngine), events ? QStringLiteral("events") : QStringLiteral("timer"));
    values.insert(QLatin1String(bus::kPropEngineReason),
                  QString::fromStdString(firewall_ ? firewall_->EngineReason() : std::string()));
    values.insert(QLatin1String(bus::kPropUpdateServer), updateServer_);
    values.insert(QLatin1String(bus::kPropProblem),
                  QString::fromStdString(firewall_ ? firewall_->Problem() : std::string()));
    values.insert(QLatin1String(bus::kPropLayers), QString::fromStdString(LayersLine()));
    QList<BusList> lists;
    lists.push_back(BusList{QString::fromLatin1(engine::kDefinitionsListName), QString(),
                            static_cast<uint>(definitionsInForce_), 0, 0, 0, 0});
    if (firewall_) {
        const engine::AddressLists& inForce = firewall_->Lists();
        std::vector<uint> broken(inForce.sources.size(), 0);
        for (const engine::ListProblem& problem : inForce.problems) {
            if (problem.source < broken.size()) ++broken[problem.source];
        }
        for (std::size_t i = 0; i < inForce.sources.size(); ++i) {
            const engine::ListSource& source = inForce.sources[i];
            lists.push_back(BusList{QString::fromStdString(source.path), QString::fromStdString(source.why),
                                    static_cast<uint>(source.addresses4), static_cast<uint>(source.prefixes4),
                                    static_cast<uint>(source.addresses6), static_cast<uint>(source.prefixes6),
                                    broken[i]});
        }
    }
    values.insert(QLatin1String(bus::kPropLists), QVariant::fromValue(lists));
    values.insert(QLatin1String(bus::kPropListProblems), listProblems_);
    return values;
}

void ProtectionDaemon::SendPropertiesChanged(const QVariantMap& changed) {
    // Not before the name is ours: the bus policy, which keeps the state from outsiders, applies to
    // the name, so a signal sent before reached every listener.
    if (!nameOwned_) return;
    QDBusMessage signal =
        QDBusMessage::createSignal(QLatin1String(bus::kObjectPath), QStringLiteral("org.freedesktop.DBus.Properties"),
                                   QStringLiteral("PropertiesChanged"));
    signal << QLatin1String(bus::kInterface) << changed << QStringList();
    if (!bus_.send(signal)) Notice("a change signal could not be sent");
}

RequestResult ProtectionDaemon::SetProtection(bool on) {
    if (stopped_) return RequestResult::Error(bus::kErrorFailed, "the service is stopping");
    // The switch is stored first: what runs is always what "Run" says.
    if (!settings::SaveProtection(on))
        return RequestResult::Error(bus::kErrorFailed, "the switch could not be stored in the settings");
    if (on != protectionOn_) {
        ApplyProtection(on);
        EngineMayHaveChanged();
    }
    return RequestResult::Ok();
}

void ProtectionDaemon::InstallDefinitions(
    QDBusUnixFileDescriptor file, std::function<void(const RequestResult&, const std::string& version)> done) {
    if (stopped_) {
        done(RequestResult::Error(bus::kErrorFailed, "the service is stopping"), {});
        return;
    }
    if (!installer_) installer_ = std::make_unique<DefinitionsInstaller>(options_.stateDir);
    const bool taken = installer_->Submit(std::move(file), [this, done](InstalledDefinitions installed) {
        if (stopped_) {
            done(RequestResult::Error(bus::kErrorFailed, "the service is stopping"), {});
            return;
        }
        if (!installed.ok) {
            installNotices_.Say("new definitions not installed: " + installed.why);
            done(installed.refused ? RequestResult::Error(bus::kErrorInvalidDefinitions, installed.why)
                                   : RequestResult::Error(bus::kErrorFailed,
                                                          "the definitions could not be stored: " + installed.why),
                 {});
            return;
        }
        firewall_->SetDefinitions(std::move(installed.definitions));
        DefinitionsChanged();
        const std::string version = firewall_->DefsVersion();
        installNotices_.Say("definitions " + version + " installed (" +
                            std::to_string(firewall_->BlockList().size()) + " entries)");
        EngineMayHaveChanged();  // the event engine may have had to give way to the timer
        done(RequestResult::Ok(), version);
    });
    if (!taken)
        done(RequestResult::Error(bus::kErrorFailed,
                                  "too many definitions installs under way (" +
                                      std::to_string(DefinitionsInstaller::kMaxPending) + "); try again later"),
             {});
}

void ProtectionDaemon::Reload(std::function<void(const RequestResult&)> done) {
    if (stopped_) {
        done(RequestResult::Error(bus::kErrorFailed, "the service is stopping"));
        return;
    }
    firewall_->LoadDefinitions(options_.stateDir);
    DefinitionsChanged();
    updateServer_ = ReadUpdateServer();
    EngineMayHaveChanged();
    // The lists are read in the background: those in force protect meanwhile.
    listWatch_->Load([this, done = std::move(done)] {
        done(stopped_ ? RequestResult::Error(bus::kErrorFailed, "the service is stopping") : RequestResult::Ok());
    });
}

void ProtectionDaemon::DefinitionsChanged() {
    definitionsInForce_ = engine::CanonicalAddresses(firewall_->BlockList()).size();
    ListsChanged();
}

void ProtectionDaemon::ListsChanged(PreparedRefusal refusal) {
    if (refusal_) {
        const engine::WatchedPrefixes prefixes = engine::WatchedFor(firewall_->BlockList(), firewall_->Lists());
        if (refusal.maps.prefixes)
            refusal_->SetPrefixes(prefixes, std::move(refusal));
        else
            refusal_->SetPrefixes(prefixes);
        refusalLoaded_ = refusal_->Loaded();
    }
    // Sockets connected before the lists named their address.
    DisconnectListedUdp();
    signals_.MarkChanged();
}

PreparedLists ProtectionDaemon::PrepareLists(engine::AddressLists lists) {
    PreparedLists prepared;
    if (lists.v4.size() + lists.v6.size() >= kPreparedFrom) {
        // The lists' prefixes alone: qd.def belongs to the main thread, and its few addresses are
        // added when the kernel sides are taken over.
        const engine::WatchedPrefixes watched = engine::WatchedFor(engine::BlockList(), lists);
        // At the thread's own priority: the answer to Reload waits for it.
        if (eventsInUse_)
            prepared.events = firewall_->PrepareEvents(
                watched, [](std::size_t capacity) { return platform::CreateSystemConnectionEvents(capacity); });
        if (refusalLoaded_) prepared.refusal = refusal_->PrepareMaps(watched);
        Notice("kernel sides for " + std::to_string(watched.v4.size()) + " IPv4 and " +
               std::to_string(watched.v6.size()) + " IPv6 prefixes made beside the ones in use (" +
               (prepared.events.load.service ? "connection reports" : "no connection reports") + ", " +
               (prepared.refusal.maps.prefixes ? "connect refusal" : "no connect refusal") + ")");
    }
    prepared.lists = std::move(lists);
    return prepared;
}

void ProtectionDaemon::ApplyLists(PreparedLists prepared) {
    engine::AddressLists& lists = prepared.lists;
    if (stopped_ || !firewall_) return;
    // Said once each: a file not read, a line that is no entry. Counts are said at every read.
    if (!lists.folderProblem.empty()) Notice("lists in " + options_.listsDir + " not read: " + lists.folderProblem);
    std::vector<std::string> refused;
    for (const engine::ListSource& source : lists.sources) {
        if (source.refused) {
            const std::string line = "list " + source.path + " not read: " + source.why;
            refused.push_back(line);
            if (std::find(toldRefusedLists_.begin(), toldRefusedLists_.end(), line) == toldRefusedLists_.end())
                Notice(line);
            continue;
        }
        Notice("list " + source.path + ": " + std::to_string(source.addresses4) + " IPv4 addresses, " +
               std::to_string(source.prefixes4) + " IPv4 prefixes, " + std::to_string(source.addresses6) +
               " IPv6 addresses, " + std::to_string(source.prefixes6) + " IPv6 prefixes");
    }
    toldRefusedLists_ = std::move(refused);
    std::vector<std::string> problems;
    problems.reserve(lists.problems.size());
    listProblems_.clear();
    std::size_t said = 0;
    std::size_t unsaid = 0;
    for (const engine::ListProblem& problem : lists.problems) {
        if (problem.source >= lists.sources.size()) continue;
        std::string where = lists.sources[problem.source].path + ":" + std::to_string(problem.line);
        if (static_cast<unsigned>(listProblems_.size()) < bus::kMaxListProblems)
            listProblems_ << QString::fromStdString(where);
        if (!std::binary_search(toldListProblems_.begin(), toldListProblems_.end(), where)) {
            if (said < kListProblemsSaid) {
                Notice(where + ": no address, prefix or range; the line is skipped");
                ++said;
            } else {
                ++unsaid;
            }
        }
        problems.push_back(std::move(where));
    }
    if (unsaid > 0)
        Notice(std::to_string(unsaid) + " more lines of the lists are no address, prefix or range and are skipped "
               "(corvanectl status names the first " + std::to_string(bus::kMaxListProblems) + ")");
    std::sort(problems.begin(), problems.end());
    toldListProblems_ = std::move(problems);
    firewall_->SetAddressLists(std::move(lists), std::move(prepared.events));
    ListsChanged(std::move(prepared.refusal));
    EngineMayHaveChanged();  // the event engine may have had to give way to the timer
}

std::vector<RecentBlock> ProtectionDaemon::Recent(std::size_t count) { return recent_.Last(count); }

}  // namespace corvane::service
