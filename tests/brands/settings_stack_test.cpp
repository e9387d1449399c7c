// Discovery and settings together, as the driver and the dialog run them:
// two QELM units on the simulated bus, settings saved to the user's store
// (a private one, see settings_test_support.h), and a restart with one of
// them unplugged.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "settings_test_support.h"
#include "sim/bus.h"

using namespace settings_test;

namespace {

class SettingsStackTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { isolateUserStore(); }
    void TearDown() override { deleteBrandKey(userSettingsStore()); }

    std::shared_ptr<sim::SimController> plug(const std::string& serial, sim::QelmLayout layout) {
        sim::ControllerConfig config;
        config.serial = sim::widen(serial);
        config.layout = layout;
        return bus.plug(config);
    }
    // What the driver object and the dialog do at start.
    std::unique_ptr<AsioDeviceRegistry> start() {
        auto registry = qelmRegistry(userSettingsStore());
        registry->initialize();
        return registry;
    }

    TestVexaBrand brand;
    sim::SimBus bus;
    sim::ScopedDeviceBoundary scope{bus};
};

}  // namespace

TEST_F(SettingsStackTest, RememberedUnitIsUnavailableAfterARestartWithItsRoutingIntact) {
    auto first = plug("QX-FIRST", sim::QelmLayout::FourFour);
    auto second = plug("QX-SECOND", sim::QelmLayout::EightTwo);
    ASSERT_TRUE(first && second);

    std::vector<UnitSnapshot> saved;
    {
        // The dialog: the user routes both units apart and disables a few channels.
        auto registry = start();
        ASSERT_EQ(registry->getNumberOfDevices(), 2u);
        registry->makeRestorePoint();
        AsioDeviceInfo* a = dynamic_cast<AsioDeviceInfo*>(registry->getDeviceWithSerialNumber("QX-FIRST"));
        AsioDeviceInfo* b = dynamic_cast<AsioDeviceInfo*>(registry->getDeviceWithSerialNumber("QX-SECOND"));
        ASSERT_TRUE(a && b);
        EXPECT_TRUE(a->isAvailable() && !a->isFromSettings());
        EXPECT_EQ(a->getActiveConfiguration(), a->getConfiguration(0));
        EXPECT_EQ(b->getActiveConfiguration(), b->getConfiguration(1));
        AsioDeviceConfigurationIf* eight = b->getConfiguration(1);
        for (uint8_t k = 0; k < 8; ++k) eight->setOutputAsioChannel(k, static_cast<uint8_t>(8 + k));
        eight->setOutputAsioChannel(7, kAsioRoutingDisabled);
        eight->setInputAsioChannel(0, 2);
        eight->setInputAsioChannel(1, kAsioRoutingDisabled);
        a->getConfiguration(0)->setInputAsioChannel(3, kAsioRoutingDisabled);
        ASSERT_TRUE(registry->saveSettings());
        Preferences preferences;
        preferences.setBufferSizeStep(21);
        ASSERT_TRUE(preferences.save());
        saved = snapshotOf(*registry);
    }

    ASSERT_TRUE(bus.unplug(second));
    {
        // The driver, started afresh.
        auto registry = start();
        EXPECT_EQ(Preferences().getBufferSizeStep(), 21u);
        ASSERT_EQ(registry->getNumberOfDevices(), 2u);
        const auto now = snapshotOf(*registry);
        EXPECT_EQ(now, saved);
        AsioDeviceInfo* a = dynamic_cast<AsioDeviceInfo*>(registry->getDeviceWithSerialNumber("QX-FIRST"));
        AsioDeviceInfo* b = dynamic_cast<AsioDeviceInfo*>(registry->getDeviceWithSerialNumber("QX-SECOND"));
        ASSERT_TRUE(a && b);
        // The first pass matched the remembered record: no second record, and
        // the record found has its filters.
        EXPECT_TRUE(a->isAvailable());
        EXPECT_TRUE(a->isFromSettings());
        EXPECT_NE(a->getRenderFilter(), nullptr);
        EXPECT_FALSE(b->isAvailable());
        EXPECT_TRUE(b->isFromSettings());
        EXPECT_EQ(b->getRenderFilter(), nullptr);
        EXPECT_EQ(b->getConfiguration(1)->getOutputAsioChannel(7), kAsioRoutingDisabled);
        EXPECT_EQ(b->getConfiguration(1)->getInputAsioChannel(1), kAsioRoutingDisabled);

        // Plugged in again, it comes back with its layout and its routing.
        ASSERT_TRUE(bus.replug(second));
        registry->enumerateDevices();
        EXPECT_TRUE(b->isAvailable());
        EXPECT_EQ(b->getActiveConfiguration(), b->getConfiguration(1));
        EXPECT_EQ(snapshotOf(*registry), saved);
    }
}
