#include "service/refusal_layer.h"

#include <algorithm>

#include "platform/win32_error.h"

namespace corvane::service {

namespace {

// Room the kernel side gets at least, so small list changes need no new kernel side. Its map
// takes memory per address held, not per address it has room for.
constexpr std::size_t kMinCapacity = 4096;

// Why a list is not in force: the kernel turned it down.
std::string ListRefused(const engine::WatchedPrefixes& prefixes, std::uint32_t result) {
    return "the kernel refused a list of " + std::to_string(prefixes.v4.size()) + " IPv4 and " +
           std::to_string(prefixes.v6.size()) + " IPv6 prefixes (error " + std::to_string(result) + ")";
}

engine::BlockLayer LayerOf(platform::RefusalHook hook) {
    switch (hook) {
        case platform::RefusalHook::kConnect: return engine::BlockLayer::kConnect;
        case platform::RefusalHook::kSend: return engine::BlockLayer::kSend;
        case platform::RefusalHook::kInbound: return engine::BlockLayer::kInbound;
        case platform::RefusalHook::kIcmp: return engine::BlockLayer::kIcmp;
    }
    return engine::BlockLayer::kConnect;
}

}  // namespace

const char* HookName(std::size_t hook) {
    static constexpr const char* kNames[platform::kRefusalHooks] = {"connect refusal", "send refusal",
                                                                     "inbound refusal", "ICMP refusal"};
    return hook < platform::kRefusalHooks ? kNames[hook] : "refusal";
}

RefusalLayer::RefusalLayer(Factory factory, MapsFactory mapsFactory, BlocksSink blocks, NoticeSink notice,
                           QObject* parent)
    : QObject(parent),
      factory_(std::move(factory)),
      mapsFactory_(std::move(mapsFactory)),
      blocks_(std::move(blocks)),
      notice_(std::move(notice)) {}

RefusalLayer::~RefusalLayer() { Stop(); }

std::size_t RefusalLayer::CapacityFor(std::size_t prefixes) {
    return std::max(prefixes + prefixes / 4, kMinCapacity);
}

bool RefusalLayer::Running() const { return kernel_ && kernel_->Attached(); }

std::array<platform::RefusalHookState, platform::kRefusalHooks> RefusalLayer::Hooks() const {
    if (kernel_) return kernel_->Hooks();
    return {};
}

void RefusalLayer::SetWhy(std::string why) {
    why_ = std::move(why);
    const bool running = Running();
    // Each change is said once.
    if (running && !toldRunning_) {
        const auto hooks = kernel_->Hooks();
        std::string names;
        for (std::size_t hook = 0; hook < hooks.size(); ++hook) {
            if (hooks[hook].attached) names += (names.empty() ? "" : ", ") + std::string(HookName(hook));
        }
        notice_("the kernel refuses what " + std::to_string(counts_[0]) + " IPv4 and " + std::to_string(counts_[1]) +
                " IPv6 listed prefixes cover, before any packet leaves or reaches an application (" + names + ")");
        for (std::size_t hook = 0; hook < hooks.size(); ++hook) {
            if (!hooks[hook].attached) notice_(std::string(HookName(hook)) + " not running: " + hooks[hook].why);
        }
    } else if (!running && !why_.empty() && why_ != toldWhy_) {
        notice_("connect refusal not running: " + why_);
    }
    toldRunning_ = running;
    toldWhy_ = running ? std::string() : why_;
}

bool RefusalLayer::Load(const engine::WatchedPrefixes& prefixes) { return Load(prefixes, PreparedRefusal{}); }

bool RefusalLayer::Load(const engine::WatchedPrefixes& prefixes, PreparedRefusal prepared) {
    if (stopped_) return false;
    Drop();
    wanted_ = prefixes;
    counts_ = {prefixes.v4.size(), prefixes.v6.size()};
    const bool wasPrepared = prepared.load.service || !prepared.load.why.empty();
    platform::ConnectRefusalLoad load =
        wasPrepared ? std::move(prepared.load) : factory_(CapacityFor(prefixes.Largest()));
    if (!load.service) {
        SetWhy(load.why.empty() ? std::string("the kernel side cannot be made here") : load.why);
        return false;
    }
    // Outgrown while it was made: it starts with what it was made for, and maps for the lists as
    // they are now follow from a thread of their own.
    const bool outgrown = wasPrepared && prefixes.Largest() > load.service->Capacity();
    if (const std::uint32_t result = wasPrepared && (outgrown || engine::SameWatched(prefixes, prepared.prefixes))
                                         ? platform::win32::kNoError
                                         : load.service->SetRefused(prefixes.v4, prefixes.v6);
        result != platform::win32::kNoError) {
        SetWhy(ListRefused(prefixes, result));
        return false;
    }
    kernel_ = std::move(load.service);
    counted_ = 0;
    Watch();
    why_.clear();
    if (protectionOn_) SetProtection(true);
    if (outgrown) Grow(prefixes);
    return true;
}

void RefusalLayer::Watch() {
    if (watch_ != nullptr) {
        watch_->setEnabled(false);
        watch_->deleteLater();
        watch_ = nullptr;
    }
    if (!kernel_) return;
    watch_ = new QSocketNotifier(kernel_->Descriptor(), QSocketNotifier::Read, this);
    connect(watch_, &QSocketNotifier::activated, this, [this] { Collect(); });
}

void RefusalLayer::Drop() {
    if (!kernel_) return;
    std::string ignored;
    static_cast<void>(kernel_->SetAttached(false, ignored));  // detaching only closes the links
    Collect();
    kernel_.reset();
    Watch();  // ends the watch on the old descriptor
}

void RefusalLayer::SetPrefixes(const engine::WatchedPrefixes& prefixes) {
    if (stopped_) return;
    wanted_ = prefixes;
    counts_ = {prefixes.v4.size(), prefixes.v6.size()};
    if (!kernel_) return;
    // New maps are on their way: the latest lists go into them when they come.
    if (growing_.valid()) return;
    if (prefixes.Largest() >= kInPlaceLimit || prefixes.Largest() > kernel_->Capacity()) {
        Grow(prefixes);
        return;
    }
    const std::uint32_t result = kernel_->SetRefused(prefixes.v4, prefixes.v6);
    if (result == platform::win32::kNoError) return;
    notice_("the kernel refused the new list for connect refusal (error " + std::to_string(result) +
            "): connects are refused as listed before");
}

void RefusalLayer::Grow(const engine::WatchedPrefixes& prefixes) {
    growing_ = std::async(std::launch::async, [this, prefixes] {
        PreparedRefusal prepared = PrepareMaps(prefixes);
        // The layer waits for this thread before it goes, so it is still there to be told.
        QMetaObject::invokeMethod(this, [this] { TakeGrown(); }, Qt::QueuedConnection);
        return prepared;
    });
}

void RefusalLayer::TakeGrown() {
    if (!growing_.valid()) return;
    PreparedRefusal grown = growing_.get();
    if (stopped_) return;
    SetPrefixes(wanted_, std::move(grown));
}

PreparedRefusal RefusalLayer::Prepare(engine::WatchedPrefixes prefixes) const {
    PreparedRefusal prepared;
    prepared.load = factory_(CapacityFor(prefixes.Largest()));
    if (prepared.load.service) {
        if (const std::uint32_t result = prepared.load.service->SetRefused(prefixes.v4, prefixes.v6);
            result != platform::win32::kNoError) {
            prepared.load.service.reset();
            prepared.load.why = ListRefused(prefixes, result);
        }
    }
    prepared.prefixes = std::move(prefixes);
    return prepared;
}

PreparedRefusal RefusalLayer::PrepareMaps(engine::WatchedPrefixes prefixes) const {
    PreparedRefusal prepared;
    prepared.maps = mapsFactory_(CapacityFor(prefixes.Largest()));
    if (prepared.maps.prefixes) {
        if (const std::uint32_t result = prepared.maps.prefixes->Set(prefixes.v4, prefixes.v6);
            result != platform::win32::kNoError) {
            prepared.maps.prefixes.reset();
            prepared.maps.why = ListRefused(prefixes, result);
        }
    }
    prepared.prefixes = std::move(prefixes);
    return prepared;
}

void RefusalLayer::SetPrefixes(const engine::WatchedPrefixes& prefixes, PreparedRefusal prepared) {
    if (stopped_) return;
    wanted_ = prefixes;
    counts_ = {prefixes.v4.size(), prefixes.v6.size()};
    std::unique_ptr<platform::RefusedPrefixes>& maps = prepared.maps.prefixes;
    if (!kernel_ || growing_.valid()) return;  // loaded later with the lists as they are then
    if (!maps) {
        if (!prepared.maps.why.empty())
            notice_("new prefix maps for connect refusal could not be made (" + prepared.maps.why +
                    "): connects are refused as listed before");
        else
            SetPrefixes(prefixes);
        return;
    }
    // What changed since the maps were made goes into them first; the maps in use refuse meanwhile.
    if (prefixes.Largest() > maps->Capacity()) {
        Grow(prefixes);
        return;
    }
    if (!engine::SameWatched(prefixes, prepared.prefixes)) {
        if (const std::uint32_t result = maps->Set(prefixes.v4, prefixes.v6); result != platform::win32::kNoError) {
            notice_("the kernel refused the new list for connect refusal (error " + std::to_string(result) +
                    "): connects are refused as listed before");
            return;
        }
    }
    if (const std::uint32_t result = kernel_->UsePrefixes(std::move(maps)); result != platform::win32::kNoError)
        notice_("the kernel refused new prefix maps for connect refusal (error " + std::to_string(result) +
                "): connects are refused as listed before");
}

void RefusalLayer::SetProtection(bool on) {
    protectionOn_ = on;
    if (stopped_ || !kernel_) return;
    std::string why;
    if (kernel_->SetAttached(on, why) != platform::win32::kNoError) {
        SetWhy(why.empty() ? std::string("the kernel refused the attach") : why);
        return;
    }
    // Refusals up to the detach are counted now, not at the next report.
    if (!on) Collect();
    SetWhy({});
}

void RefusalLayer::Collect() {
    if (!kernel_) return;
    records_.clear();
    const std::function<void(const platform::RefusedConnect&)> onReport = [this](const platform::RefusedConnect& r) {
        engine::BlockRecord record;
        record.remoteAddress = r.remoteAddress;
        record.native6 = r.native6;
        record.remoteAddress6 = r.remoteAddress6;
        record.remotePort = r.remotePort;
        record.localPort = r.localPort;
        record.protocol = r.protocol;
        record.direction = r.inbound ? engine::Direction::kInbound : engine::Direction::kOutbound;
        record.pid = r.pid;
        record.command = r.command;
        record.layer = LayerOf(r.hook);
        records_.push_back(std::move(record));
    };
    if (const std::uint32_t result = kernel_->Drain(onReport); result != platform::win32::kNoError)
        notice_("reading the kernel's refusal reports failed (error " + std::to_string(result) + ")");
    // The counters after the reports: every refusal whose report was left out because reports
    // waited is in them by now.
    std::uint64_t total = counted_;
    if (const std::uint32_t result = kernel_->ReadRefusals(total); result != platform::win32::kNoError)
        notice_("reading the kernel's refusal counters failed (error " + std::to_string(result) + ")");
    const std::uint64_t added = total >= counted_ ? total - counted_ : 0;
    counted_ = std::max(counted_, total);
    refused_ += added;
    if (added != 0 || !records_.empty()) blocks_(added, records_);
    records_.clear();
}

void RefusalLayer::Stop() {
    if (stopped_) return;
    stopped_ = true;
    Drop();
}

}  // namespace corvane::service
