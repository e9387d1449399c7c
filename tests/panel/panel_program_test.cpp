// The program around the dialog: one instance at a time, exit code 0 in
// every case, the discovery interval.
#include <gtest/gtest.h>

#include <cstdlib>

#include "brands/brand_build.h"
#include "panel/panel_program.h"
#include "platform/device.h"
#include "tests/panel/panel_test_support.h"

using namespace panel_test;

namespace {

std::string buildDriverId() {
    AsioBrandIf* brand = createBuildBrand();
    const std::string id = brand->getDriverId();
    delete brand;
    return id;
}

class PanelProgramTest : public ::testing::Test {
protected:
    sim::SimBus bus;
    sim::ScopedDeviceBoundary scope{bus};
    MemorySettingsStore store;
    FakePanelView view;
};

}  // namespace

TEST_F(PanelProgramTest, ASecondStartSignalsTheFirstAndEndsWithoutADialog) {
    // This test plays the first instance: it holds the event.
    const std::string name = buildDriverId() + "ConfigurationPanelOpen";
    bool existed = true;
    os::Handle first = os::createEvent(false, false, name.c_str(), &existed);
    ASSERT_NE(first, nullptr);
    ASSERT_FALSE(existed) << "another dialog of this build runs on this machine";
    bool dialogRan = false;
    view.script = [&](ControlPanel&) { dialogRan = true; };
    EXPECT_EQ(runPanelProgram(view, store), 0);
    EXPECT_FALSE(dialogRan);
    EXPECT_EQ(os::waitForOne(first, 0), os::kWaitObject0);
    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ(store.describe(), MemorySettingsStore().describe());
    os::closeHandle(first);
}

TEST_F(PanelProgramTest, TheFirstStartRunsTheDialogOverTheBuildsBrandAndSavesOnOk) {
    ASSERT_TRUE(plugQelm(bus, "QA-0001"));
    bool sawUnit = false;
    view.script = [&](ControlPanel& panel) {
        sawUnit = !view.rows.empty();
        panel.bufferLengthChanged(panel.bufferSizeStep() + 1);
        panel.okPressed();
    };
    EXPECT_EQ(runPanelProgram(view, store), 0);
    // (An ORLO build has no QELM model: it lists nothing.)
    EXPECT_EQ(sawUnit, std::string(buildDriverId()) == "VEXAASIO");
    EXPECT_NE(store.describe().find("Buffer Size"), std::string::npos);
    EXPECT_TRUE(view.messages.empty());
    // The event is gone with the program: a next start runs a dialog again.
    bool ranAgain = false;
    view.script = [&](ControlPanel&) { ranAgain = true; };
    EXPECT_EQ(runPanelProgram(view, store), 0);
    EXPECT_TRUE(ranAgain);
}

TEST_F(PanelProgramTest, ADialogThatCannotOpenIsReportedAndStillEndsWithZero) {
    view.failDialog = true;
    EXPECT_EQ(runPanelProgram(view, store), 0);
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].kind, "warning");
    EXPECT_EQ(view.messages[0].text, "Failed to open control panel.");
    EXPECT_EQ(view.messages[0].caption, "Error");
}

TEST(PanelPollingInterval, ShortenedOnlyForASimulatedBusAndOnlyWithinBounds) {
    auto with = [](const char* bus, const char* interval) {
        os::setEnvironmentVariable(os::kSimulatedBusVariable, bus);
        os::setEnvironmentVariable(kPanelPollIntervalVariable, interval);
        const uint32_t ms = panelPollingIntervalMs();
        os::setEnvironmentVariable(os::kSimulatedBusVariable, nullptr);
        os::setEnvironmentVariable(kPanelPollIntervalVariable, nullptr);
        return ms;
    };
    EXPECT_EQ(with("bus.txt", "100"), 100u);
    EXPECT_EQ(with(nullptr, "100"), 5000u);
    EXPECT_EQ(with("", "100"), 5000u);
    EXPECT_EQ(with("bus.txt", nullptr), 5000u);
    EXPECT_EQ(with("bus.txt", "5"), 5000u);
    EXPECT_EQ(with("bus.txt", "100ms"), 5000u);
    EXPECT_EQ(with("bus.txt", "99999"), 5000u);
}
