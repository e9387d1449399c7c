// Controllers plugged and pulled in quick succession while the polling
// thread runs passes, other threads look records up, and handlers come and
// go. Checked for consistency here, and for data races under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "devices/device_registry.h"
#include "devices/vexa_device_models.h"
#include "platform/os.h"
#include "recording_handler.h"
#include "sim/bus.h"

namespace {

constexpr int kControllers = 4;
constexpr int kPlugRounds = 400;

std::string serialOf(int i) { return "QX-RACE-" + std::to_string(i); }

// Units seen once or twice and then gone for good: their records are
// created during the run and removed again by another thread.
constexpr int kVisitorEvery = 8;
const char* const kVisitorPrefix = "QX-VISIT-";

}  // namespace

TEST(RegistryRace, PlugChurnLookupsAndHandlerChurnStayConsistent) {
    sim::SimBus bus;
    sim::ScopedDeviceBoundary scope(bus);
    DeviceModelIf* models[] = {new VexaQelmDeviceModel};
    DeviceRegistry registry(1, models, 1);
    RecordingHandler steady;
    ASSERT_TRUE(registry.addEventHandler(&steady));

    std::vector<std::shared_ptr<sim::SimController>> controllers;
    for (int i = 0; i < kControllers; ++i) {
        sim::ControllerConfig config;
        config.serial = sim::widen(serialOf(i));
        config.port = static_cast<uint32_t>(i + 1);
        controllers.push_back(bus.plug(config));
        ASSERT_NE(controllers.back(), nullptr);
    }
    ASSERT_TRUE(registry.initialize());

    std::atomic<bool> done{false};
    std::atomic<long> lookups{0};
    std::atomic<int> brokenChains{0};

    std::thread plugger([&] {
        std::shared_ptr<sim::SimController> visitor;
        for (int round = 0; round < kPlugRounds; ++round) {
            if (round % kVisitorEvery == 0) {
                if (visitor) bus.unplug(visitor);
                sim::ControllerConfig config;
                config.serial = sim::widen(kVisitorPrefix + std::to_string(round));
                config.port = 40;
                visitor = bus.plug(config);
            }
            auto& c = controllers[static_cast<size_t>(round % kControllers)];
            if (round % 3 == 2) {
                bus.move(c, static_cast<uint32_t>(10 + round % 20));
            } else if (c->isPlugged()) {
                bus.unplug(c);
            } else {
                bus.replug(c);
            }
            os::sleepMs(static_cast<uint32_t>(round % 3));
        }
        if (visitor) bus.unplug(visitor);
        done = true;
    });

    std::atomic<int> removals{0};
    std::thread remover([&] {
        while (!done) {
            DeviceRegistry::Guard hold(registry);
            for (size_t k = 0; k < registry.getNumberOfDevices(); ++k) {
                DeviceInfo* d = registry.getDevice(k);
                if (!d->isAvailable() && std::string(d->getSerialNumber()).rfind(kVisitorPrefix, 0) == 0 &&
                    registry.removeDevice(d))
                    ++removals;
            }
        }
    });

    auto lookup = [&] {
        while (!done) {
            for (int i = 0; i < kControllers; ++i) {
                // These records are never removed: the pointer stays good.
                DeviceInfo* r = registry.getDeviceWithSerialNumber(serialOf(i).c_str());
                if (r != nullptr && r->isAvailable()) ++lookups;
                const size_t count = registry.getNumberOfDevices();
                for (size_t k = 0; k < count; ++k) {
                    DeviceRegistry::Guard hold(registry);
                    DeviceInfo* d = registry.getDevice(k);
                    if (d != nullptr && d->isAvailable() && d->getAudioDeviceId() != nullptr &&
                        registry.getDeviceWithAudioDeviceId(d->getAudioDeviceId()) != d)
                        ++brokenChains;  // a path that does not find its own record
                }
            }
        }
    };
    std::thread lookerA(lookup);
    std::thread lookerB(lookup);

    std::thread churner([&] {
        while (!done) {
            RecordingHandler passing;
            registry.addEventHandler(&passing);
            os::sleepMs(1);
            registry.removeEventHandler(&passing);
            // Whatever it heard, replay included, chains for every record.
            if (!eventsChainPerRecord(passing.events())) ++brokenChains;
        }
    });

    plugger.join();
    remover.join();
    lookerA.join();
    lookerB.join();
    churner.join();
    registry.stopPolledEnumeration();

    // Everything back in: one pass settles every record.
    for (auto& c : controllers)
        if (!c->isPlugged()) bus.replug(c);
    registry.enumerateDevices();

    EXPECT_EQ(brokenChains.load(), 0);
    EXPECT_TRUE(eventsChainPerRecord(steady.events()));
    // Every visitor is gone now; one more pass and sweep leaves the four.
    registry.enumerateDevices();
    for (size_t k = registry.getNumberOfDevices(); k-- > 0;) {
        DeviceInfo* d = registry.getDevice(k);
        if (!d->isAvailable() && registry.removeDevice(d)) ++removals;
    }
    EXPECT_GT(removals.load(), 0);
    ASSERT_EQ(registry.getNumberOfDevices(), static_cast<size_t>(kControllers));
    for (int i = 0; i < kControllers; ++i) {
        DeviceInfo* r = registry.getDeviceWithSerialNumber(serialOf(i).c_str());
        ASSERT_NE(r, nullptr) << serialOf(i);
        EXPECT_TRUE(r->isAvailable());
        EXPECT_EQ(registry.getDevice(static_cast<size_t>(r->getIndex())), r);  // index is position
        ASSERT_NE(r->getRenderFilter(), nullptr);
        const std::string path = controllers[static_cast<size_t>(i)]->interfacePath();
        EXPECT_STREQ(r->getRenderFilter()->GetDevicePath(), path.c_str());
        EXPECT_STREQ(r->getAudioDeviceId(), path.c_str());
    }
    // The steady handler's last word on each record is "available".
    for (int i = 0; i < kControllers; ++i) {
        DeviceInfo* r = registry.getDeviceWithSerialNumber(serialOf(i).c_str());
        int32_t last = DeviceInfo::kStateNone;
        for (const DeviceEvent& e : steady.events())
            if (e.record == r) last = e.newState;
        EXPECT_EQ(last, DeviceInfo::kStateAvailable) << serialOf(i);
    }
    RecordProperty("available_lookups", static_cast<int>(lookups.load()));
}
