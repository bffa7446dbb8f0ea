#pragma once
// What the client tests share: the values the stand-in service starts with, and a fixture that puts it on the
// bus standing for the system bus.
#include <QVariantMap>

#include <gtest/gtest.h>

#include <memory>

#include "fake_service.h"
#include "platform/dbus/bus_names.h"
#include "private_bus.h"

namespace corvane::platform::testing {

inline QVariantMap TypicalValues() {
    return {
        {QLatin1String(bus::kPropProtection), true},
        {QLatin1String(bus::kPropAttempts), 17},
        {QLatin1String(bus::kPropDefinitionsVersion), QStringLiteral("V002")},
        {QLatin1String(bus::kPropEngine), QStringLiteral("events")},
        {QLatin1String(bus::kPropEngineReason), QStringLiteral("the kernel reports connections as they open")},
        {QLatin1String(bus::kPropUpdateServer), QStringLiteral("https://updates.corvane.example/")},
    };
}

class WithService : public ::testing::Test {
protected:
    void SetUp() override {
        const auto& bus = SystemBus();
        ASSERT_FALSE(bus.Address().empty()) << bus.Failure();
        fake_ = std::make_unique<FakeService>(bus.Address());
        fake_->SetValues(TypicalValues());
        ASSERT_EQ(fake_->Start(), "");
    }

    std::unique_ptr<FakeService> fake_;
};

}  // namespace corvane::platform::testing
