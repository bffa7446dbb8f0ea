#pragma once
// The service's first layer: while protection is on, the kernel refuses outbound TCP connects to
// listed addresses before any packet leaves (platform/connect_refusal.h). What it refused is
// counted exactly from the kernel's counters and handed on with the reports that name examples,
// whenever the reports' descriptor is readable: no timer, nothing runs while nothing happens.
// The teardown engines stay behind it for inbound connections and those open before it attached.
#include <QObject>
#include <QSocketNotifier>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/block_log.h"
#include "engine/m_firewall.h"
#include "platform/connect_refusal.h"

namespace corvane::service {

// A kernel side made and given its prefixes away from the service's main thread (a million prefixes
// take the kernel about a second).
struct PreparedRefusal {
    platform::ConnectRefusalLoad load;  // no service when it could not be made
    engine::WatchedPrefixes prefixes;   // what it was given
};

class RefusalLayer final : public QObject {
    Q_OBJECT
public:
    using Factory = std::function<platform::ConnectRefusalLoad(std::size_t capacity)>;
    // `count` refusals more; `records` name those the kernel reported (fewer under a storm).
    using BlocksSink = std::function<void(std::uint64_t count, std::span<const engine::BlockRecord> records)>;
    using NoticeSink = std::function<void(const std::string& line)>;

    RefusalLayer(Factory factory, BlocksSink blocks, NoticeSink notice, QObject* parent = nullptr);
    ~RefusalLayer() override;

    // Makes the kernel side, refusing connects to what `prefixes` cover once attached. False, with
    // Why(), when it cannot run here; the teardown engines then protect alone.
    bool Load(const engine::WatchedPrefixes& prefixes);
    // The same with a kernel side made by Prepare (or the reason it could not be made).
    bool Load(const engine::WatchedPrefixes& prefixes, PreparedRefusal prepared);
    // The lists changed: the next connect is judged by the new ones (a larger kernel side is made
    // when they outgrew this one).
    void SetPrefixes(const engine::WatchedPrefixes& prefixes);
    // The same with a kernel side made by Prepare, which takes over from the one in use (detached
    // first, so no connect is counted twice; the teardown engines stand in for the moment between).
    void SetPrefixes(const engine::WatchedPrefixes& prefixes, PreparedRefusal prepared);
    // Makes a kernel side refusing `prefixes`, detached, with the layer's factory: safe on any
    // thread.
    PreparedRefusal Prepare(engine::WatchedPrefixes prefixes) const;
    // Attached while on, detached while off.
    void SetProtection(bool on);
    // Takes what the kernel counted and reported since the last time.
    void Collect();
    // Detaches for good after a last Collect. Later calls do nothing.
    void Stop();

    // Connects are refused now.
    bool Running() const;
    // The kernel side is made (attached or not).
    bool Loaded() const { return kernel_ != nullptr; }
    // Why the layer is not running although protection is on; empty when it runs (or is off).
    const std::string& Why() const { return why_; }
    // How many refusals the kernel side counted since the service started.
    std::uint64_t Refused() const { return refused_; }

private:
    static std::size_t CapacityFor(std::size_t prefixes);
    // Drops the kernel side in use, after its last count is taken.
    void Drop();
    void Watch();
    void SetWhy(std::string why);

    Factory factory_;
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
};

}  // namespace corvane::service
