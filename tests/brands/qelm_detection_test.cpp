// Which layout a QELM unit presents, found through its render filter on the
// simulated bus, directly and through discovery.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "brands/asio_device_registry.h"
#include "brands/memory_settings_store.h"
#include "brands/vexa_qelm_asio_device_info.h"
#include "devices/vexa_device_models.h"
#include "settings_test_support.h"
#include "sim/bus.h"

namespace {

class QelmDetectionTest : public ::testing::Test {
protected:
    sim::SimBus bus;
    sim::ScopedDeviceBoundary scope{bus};
    VexaQelmDeviceModel model;
    settings_test::TestVexaBrand brand;

    std::shared_ptr<sim::SimController> plug(const std::string& serial, sim::QelmLayout layout,
                                             sim::Model kind = sim::Model::Qelm) {
        sim::ControllerConfig config;
        config.model = kind;
        config.serial = sim::widen(serial);
        config.layout = layout;
        return bus.plug(config);
    }
    static CKsAudRenFilter* renderFilterOn(const sim::SimController& controller) {
        HRESULT result = E_FAIL;
        auto* filter = new CKsAudRenFilter(controller.interfacePath().c_str(), "", &result);
        EXPECT_GE(result, 0);
        return filter;
    }
    std::unique_ptr<VexaQelmAsioDeviceInfo> recordOn(const sim::SimController& controller) {
        return std::make_unique<VexaQelmAsioDeviceInfo>(renderFilterOn(controller), nullptr, nullptr,
                                                        controller.interfacePath().c_str(), 0, "QX-0001", &model);
    }
};

}  // namespace

TEST_F(QelmDetectionTest, EachLayoutMakesItsConfigurationActiveAndLeavesTheFilterOpen) {
    auto fourFour = plug("QX-4444", sim::QelmLayout::FourFour);
    auto eightTwo = plug("QX-8222", sim::QelmLayout::EightTwo);
    ASSERT_TRUE(fourFour && eightTwo);

    auto first = recordOn(*fourFour);
    EXPECT_EQ(first->getActiveConfiguration(), first->getConfiguration(0));
    EXPECT_TRUE(CKsIrpTarget::IsValidHandle(first->getRenderFilter()->GetHandle()));

    auto second = recordOn(*eightTwo);
    EXPECT_EQ(second->getActiveConfiguration(), second->getConfiguration(1));
    EXPECT_TRUE(CKsIrpTarget::IsValidHandle(second->getRenderFilter()->GetHandle()));

    // A new render filter is asked again.
    second->setRenderFilter(renderFilterOn(*fourFour));
    EXPECT_EQ(second->getActiveConfiguration(), second->getConfiguration(0));
    // Losing the filter keeps what was found.
    second->setRenderFilter(nullptr);
    EXPECT_EQ(second->getActiveConfiguration(), second->getConfiguration(0));
}

TEST_F(QelmDetectionTest, FilterAcceptingNeitherLayoutKeepsConfigurationZeroAndIsClosedAgain) {
    // A stereo 48 kHz interface takes neither 4 nor 8 channels at 44.1 kHz.
    auto other = plug("DA-0001", sim::QelmLayout::FourFour, sim::Model::Dalto);
    ASSERT_TRUE(other);
    auto record = recordOn(*other);
    record->setActiveConfiguration(1);
    EXPECT_FALSE(record->detectActiveConfiguration());
    EXPECT_EQ(record->getActiveConfiguration(), record->getConfiguration(1));
    EXPECT_FALSE(CKsIrpTarget::IsValidHandle(record->getRenderFilter()->GetHandle()));

    auto fresh = recordOn(*other);
    EXPECT_EQ(fresh->getActiveConfiguration(), fresh->getConfiguration(0));
    EXPECT_FALSE(CKsIrpTarget::IsValidHandle(fresh->getRenderFilter()->GetHandle()));
}

TEST_F(QelmDetectionTest, FilterThatCannotBeOpenedChangesNothing) {
    auto unit = plug("QX-8223", sim::QelmLayout::EightTwo);
    ASSERT_TRUE(unit);
    CKsAudRenFilter* filter = renderFilterOn(*unit);
    sim::Faults faults;
    faults.failOpen = sim::Faults::kAlways;
    unit->setFaults(faults);
    VexaQelmAsioDeviceInfo record(filter, nullptr, nullptr, nullptr, 0, "QX-8223", &model);
    EXPECT_EQ(record.getActiveConfiguration(), record.getConfiguration(0));
}

TEST_F(QelmDetectionTest, DiscoveryRecordsFollowTheLayoutAcrossARelayout) {
    MemorySettingsStore store;
    auto registry = settings_test::qelmRegistry(store);
    auto unit = plug("QX-8224", sim::QelmLayout::EightTwo);
    ASSERT_TRUE(registry->enumerateDevices());
    AsioDeviceInfo* record = registry->getAsioDevice(0);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->getActiveConfiguration(), record->getConfiguration(1));
    // Fresh units are routed at once: "8 in - 2 out" to outputs 0-7 and inputs 0-1.
    for (uint8_t k = 0; k < 8; ++k) EXPECT_EQ(record->getConfiguration(1)->getOutputAsioChannel(k), k);

    // Switched while unplugged: the pass that finds it again gives it new
    // filters, which are asked again.
    ASSERT_TRUE(bus.unplug(unit));
    registry->enumerateDevices();
    EXPECT_FALSE(record->isAvailable());
    ASSERT_TRUE(bus.setQelmLayout(unit, sim::QelmLayout::FourFour));
    ASSERT_TRUE(bus.replug(unit));
    registry->enumerateDevices();
    EXPECT_TRUE(record->isAvailable());
    EXPECT_EQ(record->getActiveConfiguration(), record->getConfiguration(0));
}
