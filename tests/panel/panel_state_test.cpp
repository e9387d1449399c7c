// The settings dialog's unsaved-changes state and what OK, Apply and Cancel
// store and signal: the buffer-length slider, new units, a save that fails.
#include <gtest/gtest.h>

#include "platform/errors.h"
#include "tests/panel/panel_test_support.h"

using namespace panel_test;
using settings_test::CuttingStore;

namespace {

class PanelStateTest : public ::testing::Test {
protected:
    // The program's objects over a store whose writes can be cut.
    void start() {
        stack = std::make_unique<PanelStack>(cutting);
        stack->start();
    }
    // Runs the dialog with the user's actions; true when open() succeeded.
    bool runDialog(std::function<void(ControlPanel&)> actions) {
        view().script = std::move(actions);
        return stack->panel->open();
    }
    FakePanelView& view() { return stack->view; }
    uint32_t storedStep() {
        Preferences stored(store);
        return static_cast<uint32_t>(stored.getBufferSizeStep());
    }
    std::vector<settings_test::UnitSnapshot> storedUnits() {
        auto registry = settings_test::loadedQelmRegistry(store);
        return settings_test::snapshotOf(*registry);
    }

    VexaBrand brand;
    sim::SimBus bus;
    sim::ScopedDeviceBoundary scope{bus};
    MemorySettingsStore store;
    CuttingStore cutting{store};
    ConfigurationEvent driverEvent;
    std::unique_ptr<PanelStack> stack;
};

}  // namespace

TEST_F(PanelStateTest, SliderChangesAreKeptByApplyAndDiscardedByCancel) {
    ASSERT_TRUE(driverEvent.exists());
    settings_test::StoreWriter(store).dword("", "Buffer Size", 10);
    start();
    ASSERT_TRUE(runDialog([&](ControlPanel& panel) {
        EXPECT_EQ(panel.sliderSteps(), 39u);
        EXPECT_EQ(panel.tickFrequency(), 10u);
        EXPECT_EQ(panel.bufferSizeStep(), 10u);
        EXPECT_EQ(view().bufferLabel, "ASIO Buffer length = 12 ms");
        EXPECT_FALSE(view().applyEnabled);
        // The slider moved without changing its step: nothing to save.
        panel.bufferLengthChanged(10);
        EXPECT_FALSE(view().applyEnabled);
        panel.bufferLengthChanged(38);
        EXPECT_EQ(view().bufferLabel, "ASIO Buffer length = 40 ms");
        EXPECT_EQ(panel.state(), ControlPanel::kStateChanged);
        EXPECT_TRUE(view().applyEnabled);
        // A position the model does not have is not taken.
        panel.bufferLengthChanged(39);
        EXPECT_EQ(panel.bufferSizeStep(), 38u);
        panel.cancelPressed();
    }));
    EXPECT_EQ(view().endResult, 0);
    EXPECT_EQ(stack->preferences->getBufferSizeStep(), 10u);
    EXPECT_EQ(storedStep(), 10u);
    EXPECT_FALSE(driverEvent.wasSignalled());

    ASSERT_TRUE(runDialog([&](ControlPanel& panel) {
        panel.bufferLengthChanged(0);
        EXPECT_TRUE(panel.apply());
        EXPECT_FALSE(view().applyEnabled);
        EXPECT_EQ(storedStep(), 0u);
        EXPECT_TRUE(driverEvent.wasSignalled());
        panel.bufferLengthChanged(20);
        panel.cancelPressed();
    }));
    // Cancel goes back to what Apply stored, not to what the dialog began with.
    EXPECT_EQ(stack->preferences->getBufferSizeStep(), 0u);
    EXPECT_EQ(storedStep(), 0u);
    EXPECT_FALSE(driverEvent.wasSignalled());
}

TEST_F(PanelStateTest, OkWithoutChangesWritesNothingAndSignalsNothing) {
    settings_test::StoreWriter(store).qelmUnit("Device 0", "QA-0001", 2);
    ASSERT_TRUE(plugQelm(bus, "QA-0001"));
    start();
    const uint64_t writes = cutting.writesDone();
    ASSERT_TRUE(runDialog([&](ControlPanel& panel) {
        EXPECT_EQ(panel.state(), ControlPanel::kStateSaved);
        panel.okPressed();
    }));
    EXPECT_TRUE(view().dialogEnded);
    EXPECT_EQ(cutting.writesDone(), writes);
    EXPECT_FALSE(driverEvent.wasSignalled());
}

TEST_F(PanelStateTest, RoutingEditsAreSavedByOkAndRolledBackByCancel) {
    settings_test::StoreWriter(store).qelmUnit("Device 0", "QA-0001", 2);
    ASSERT_TRUE(plugQelm(bus, "QA-0001"));
    start();
    AsioDeviceConfigurationIf* four = unitWithSerial(*stack->registry, "QA-0001")->getConfiguration(0);
    ASSERT_TRUE(runDialog([&](ControlPanel& panel) {
        view().select(panel, 1);  // "Ostrel2 rec": inputs 0 and 1
        panel.routingChosen(RoutingControl::LeftInput, 8);
        EXPECT_EQ(four->getInputAsioChannel(0), 7);
        panel.cancelPressed();
    }));
    EXPECT_EQ(four->getInputAsioChannel(0), 2);
    EXPECT_EQ(storedUnits().at(0).inputs[0][0], 2);

    ASSERT_TRUE(runDialog([&](ControlPanel& panel) {
        view().select(panel, 1);
        panel.routingChosen(RoutingControl::LeftInput, 8);
        panel.okPressed();
    }));
    EXPECT_TRUE(driverEvent.wasSignalled());
    EXPECT_EQ(four->getInputAsioChannel(0), 7);
    EXPECT_EQ(storedUnits().at(0).inputs[0][0], 7);
}

TEST_F(PanelStateTest, AUnitWithoutRememberedSettingsEnablesApplyAndOkSavesIt) {
    settings_test::StoreWriter(store).qelmUnit("Device 0", "QA-0001", 2);
    ASSERT_TRUE(plugQelm(bus, "QA-0001"));
    start();
    ASSERT_TRUE(runDialog([&](ControlPanel& panel) {
        EXPECT_EQ(panel.state(), ControlPanel::kStateSaved);
        ASSERT_TRUE(plugQelm(bus, "QN-0009", sim::QelmLayout::EightTwo));
        stack->registry->enumerateDevices();
        EXPECT_EQ(view().rows.size(), 9u);
        EXPECT_EQ(panel.state(), ControlPanel::kStateNewUnit);
        EXPECT_TRUE(view().applyEnabled);
        // A change by the user keeps the state that says why Apply is on.
        panel.bufferLengthChanged(7);
        EXPECT_EQ(panel.state(), ControlPanel::kStateNewUnit);
        panel.okPressed();
    }));
    EXPECT_EQ(view().endResult, 0);
    EXPECT_TRUE(driverEvent.wasSignalled());
    const auto units = storedUnits();
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[1].serial, "QN-0009");
    EXPECT_EQ(storedStep(), 7u);

    // Stored now: the same unit coming back is no news.
    ASSERT_TRUE(runDialog([&](ControlPanel& panel) {
        auto unit = bus.controllers().back();
        ASSERT_TRUE(bus.unplug(unit));
        stack->registry->enumerateDevices();
        ASSERT_TRUE(bus.replug(unit));
        stack->registry->enumerateDevices();
        EXPECT_EQ(panel.state(), ControlPanel::kStateSaved);
        panel.cancelPressed();
    }));
}

TEST_F(PanelStateTest, ASaveThatFailsIsReportedKeepsApplyEnabledAndSignalsNothing) {
    settings_test::StoreWriter(store).qelmUnit("Device 0", "QA-0001", 2);
    ASSERT_TRUE(plugQelm(bus, "QA-0001"));
    start();
    const std::string before = store.describe();
    ASSERT_TRUE(runDialog([&](ControlPanel& panel) {
        panel.bufferLengthChanged(12);
        view().select(panel, 0);
        panel.routingChosen(RoutingControl::RightOutput, 0);
        cutting.allowWrites(0);
        EXPECT_FALSE(panel.apply());
        ASSERT_EQ(view().messages.size(), 1u);
        const FakePanelView::Message& message = view().messages[0];
        EXPECT_EQ(message.kind, "error");
        EXPECT_NE(message.text.find("Failed to save the settings of the devices:\n" +
                                    std::string(getSystemErrorText(os::kErrorAccessDenied))),
                  std::string::npos)
            << message.text;
        EXPECT_NE(message.text.find("Failed to save the buffer length:"), std::string::npos) << message.text;
        EXPECT_EQ(panel.state(), ControlPanel::kStateChanged);
        EXPECT_TRUE(view().applyEnabled);
        EXPECT_FALSE(driverEvent.wasSignalled());
        EXPECT_EQ(store.describe(), before);

        // OK with the store still refusing keeps the dialog open.
        panel.okPressed();
        EXPECT_FALSE(view().dialogEnded);
        EXPECT_EQ(view().messages.size(), 2u);

        // Only the buffer length fails: the message names only that.
        cutting.allowWrites(CuttingStore::kUnlimited);
        const uint64_t mark = cutting.writesDone();
        EXPECT_TRUE(stack->registry->saveSettings());
        cutting.allowWrites(cutting.writesDone() - mark);
        EXPECT_FALSE(panel.apply());
        ASSERT_EQ(view().messages.size(), 3u);
        EXPECT_EQ(view().messages[2].text.find("the settings of the devices"), std::string::npos);
        EXPECT_NE(view().messages[2].text.find("the buffer length"), std::string::npos);
        EXPECT_FALSE(driverEvent.wasSignalled());

        cutting.allowWrites(CuttingStore::kUnlimited);
        EXPECT_TRUE(panel.apply());
        EXPECT_FALSE(view().applyEnabled);
        EXPECT_TRUE(driverEvent.wasSignalled());
        panel.okPressed();
    }));
    EXPECT_EQ(storedStep(), 12u);
    EXPECT_EQ(storedUnits().at(0).outputs[0][1], kAsioRoutingDisabled);
}

TEST(PanelUserStoreTest, OkStoresIntoTheUsersStoreForTheNextDriver) {
    // Natively the file store in a private folder; under Wine the registry.
    settings_test::isolateUserStore();
    VexaBrand brand;
    sim::SimBus bus;
    sim::ScopedDeviceBoundary scope{bus};
    ASSERT_TRUE(plugQelm(bus, "QU-0001", sim::QelmLayout::EightTwo));
    {
        PanelStack stack(userSettingsStore());
        stack.start();
        stack.view.script = [&](ControlPanel& panel) {
            stack.view.select(panel, 4);  // "Master rec"
            panel.routingChosen(RoutingControl::RightInput, 0);
            panel.bufferLengthChanged(30);
            panel.okPressed();
        };
        ASSERT_TRUE(stack.panel->open());
    }
    // What a driver object created afterwards reads.
    auto registry = settings_test::qelmRegistry(userSettingsStore());
    registry->initialize();
    registry->stopPolledEnumeration();
    AsioDeviceInfo* unit = unitWithSerial(*registry, "QU-0001");
    ASSERT_NE(unit, nullptr);
    EXPECT_TRUE(unit->isFromSettings());
    EXPECT_EQ(unit->getConfiguration(1)->getInputAsioChannel(1), kAsioRoutingDisabled);
    EXPECT_EQ(Preferences().getBufferSizeStep(), 30u);
    registry.reset();
    settings_test::deleteBrandKey(userSettingsStore());
}

TEST_F(PanelStateTest, ControlsOrADialogThatCannotBeCreatedFailOpen) {
    start();
    view().failControls = true;
    EXPECT_FALSE(stack->panel->open());
    view().failControls = false;
    view().failDialog = true;
    EXPECT_FALSE(stack->panel->open());
}
