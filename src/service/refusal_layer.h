#pragma once
// The service's first layers: while protection is on, the kernel refuses connects, datagrams and
// ICMP to listed addresses before any packet leaves, and a listed peer's attempts before they reach
// an application (platform/connect_refusal.h). What it refused is counted exactly from the kernel's
// counters and handed on with the reports that name examples, whenever the reports' descriptor is
// readable: no timer, nothing runs while nothing happens. The teardown engines stay behind it for
// connections open before it attached and where a hook cannot run.
//
// Protection never lapses for a new list: the hooks stay attached, and a list too long for the
// prefix maps in use gets new maps, made and filled on a thread of their own while the old ones go
// on refusing, then swapped in with one update of the kernel's map of maps.
#include <QObject>
#include <QSocketNotifier>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/block_log.h"
#include "engine/m_firewall.h"
#include "platform/connect_refusal.h"

namespace corvane::service {

// A kernel side, or only new prefix maps for the one in use, made and given its prefixes away from
// the service's main thread (a million prefixes take the kernel about a second).
struct PreparedRefusal {
    platform::ConnectRefusalLoad load;  // no service when it was not (or could not be) made
    platform::RefusedPrefixesLoad maps; // no maps when they were not (or could not be) made
    engine::WatchedPrefixes prefixes;   // what it was given
};

// The hook's name in the service's words: "connect refusal", "send refusal", "inbound refusal",
// "ICMP refusal".
const char* HookName(std::size_t hook);

class RefusalLayer final : public QObject {
    Q_OBJECT
public:
    using Factory = std::function<platform::ConnectRefusalLoad(std::size_t capacity)>;
    using MapsFactory = std::function<platform::RefusedPrefixesLoad(std::size_t capacity)>;
    // `count` refusals more; `records` name those the kernel reported (fewer under a storm).
    using BlocksSink = std::function<void(std::uint64_t count, std::span<const engine::BlockRecord> records)>;
    using NoticeSink = std::function<void(const std::string& line)>;

    RefusalLayer(Factory factory, MapsFactory mapsFactory, BlocksSink blocks, NoticeSink notice,
                 QObject* parent = nullptr);
    ~RefusalLayer() override;

    // Makes the kernel side, refusing connects to what `prefixes` cover once attached. False, with
    // Why(), when it cannot run here; the teardown engines then protect alone.
    bool Load(const engine::WatchedPrefixes& prefixes);
    // The same with a kernel side made by Prepare (or the reason it could not be made).
    bool Load(const engine::WatchedPrefixes& prefixes, PreparedRefusal prepared);
    // The lists changed: short lists are judged by the new ones from the next connect on; long ones
    // (or those the maps in use cannot hold) get new maps, made on a thread of their own, and the
    // maps in use go on refusing the old lists until they are swapped in.
    void SetPrefixes(const engine::WatchedPrefixes& prefixes);
    // The same with maps made by PrepareMaps, swapped in for the ones in use (what changed since
    // they were made is brought into them first).
    void SetPrefixes(const engine::WatchedPrefixes& prefixes, PreparedRefusal prepared);
    // Makes a kernel side refusing `prefixes`, detached, with the layer's factory: safe on any
    // thread.
    PreparedRefusal Prepare(engine::WatchedPrefixes prefixes) const;
    // Makes prefix maps holding `prefixes` for the kernel side in use: safe on any thread.
    PreparedRefusal PrepareMaps(engine::WatchedPrefixes prefixes) const;
    // Attached while on, detached while off.
    void SetProtection(bool on);
    // Takes what the kernel counted and reported since the last time.
    void Collect();
    // Detaches for good after a last Collect. Later calls do nothing.
    void Stop();

    // Some hook refuses now.
    bool Running() const;
    // Each hook: attached, or why not (all detached while protection is off or nothing is loaded).
    std::array<platform::RefusalHookState, platform::kRefusalHooks> Hooks() const;
    // New maps are being made for a long list.
    bool Growing() const { return growing_.valid(); }
    // The kernel side is made (attached or not).
    bool Loaded() const { return kernel_ != nullptr; }
    // Why the layer is not running although protection is on; empty when it runs (or is off).
    const std::string& Why() const { return why_; }
    // How many refusals the kernel side counted since the service started.
    std::uint64_t Refused() const { return refused_; }

private:
    static std::size_t CapacityFor(std::size_t prefixes);
    // Lists with this many prefixes in a family or more get new maps made on a thread of their own.
    static constexpr std::size_t kInPlaceLimit = 65536;
    // New maps for `prefixes`, made on a thread of their own, then taken by TakeGrown.
    void Grow(const engine::WatchedPrefixes& prefixes);
    void TakeGrown();
    // Drops the kernel side in use, after its last count is taken.
    void Drop();
    void Watch();
    void SetWhy(std::string why);

    Factory factory_;
    MapsFactory mapsFactory_;
    BlocksSink blocks_;
    NoticeSink notice_;
    std::unique_ptr<platform::ConnectRefusalService> kernel_;
    QSocketNotifier* watch_ = nullptr;  // a child of this object
    bool protectionOn_ = false;
    bool stopped_ = false;
    std::uint64_t counted_ = 0;  // the kernel side's total already handed on
    std::uint64_t refused_ = 0;
    std::string why_;
    std::string toldWhy_;
    bool toldRunning_ = false;
    std::array<std::size_t, 2> counts_{};  // IPv4 and IPv6 prefixes refused (an address is a full-length one)
    std::vector<engine::BlockRecord> records_;  // the reports of one Collect
    engine::WatchedPrefixes wanted_;             // the lists to refuse, as last given
    // Last: waited for before anything its thread reads goes.
    std::future<PreparedRefusal> growing_;
};

}  // namespace corvane::service
