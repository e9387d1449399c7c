// The settings dialog's three threads: the registry's polling thread tells
// the panel of units coming and going while the dialog's thread edits,
// applies and closes, and the worker brings the dialog to the front when
// the panel-open event is set. Meant to run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/panel/panel_test_support.h"

using namespace panel_test;

namespace {

constexpr uint32_t kFastPollMs = 1;

class PanelThreadsTest : public ::testing::Test {
protected:
    VexaBrand brand;
    sim::SimBus bus;
    sim::ScopedDeviceBoundary scope{bus};
    MemorySettingsStore store;
};

bool rowsMatchBus(FakePanelView& view, size_t units) {
    // Each QELM unit in its 4+4 layout has four rows.
    return view.rows.size() == units * 4;
}

}  // namespace

TEST_F(PanelThreadsTest, PollingThreadChangesTheListOnlyThroughTheDialogThreadAndNeverDeadlocksIt) {
    auto steady = plugQelm(bus, "QA-0001");
    auto coming = plugQelm(bus, "QB-0002");
    ASSERT_TRUE(steady && coming);
    PanelStack stack(store, false, kFastPollMs);
    stack.start(true);
    FakePanelView& view = stack.view;
    ControlPanel& panel = *stack.panel;

    std::atomic<bool> stop{false};
    std::atomic<int> changes{0};
    std::thread plugger([&] {
        while (!stop) {
            bus.unplug(coming);
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
            bus.replug(coming);
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
            ++changes;
        }
    });

    view.script = [&](ControlPanel&) {
        // Every rows change reaches this thread as a request the polling
        // thread waits on; the dialog's own work takes the registry's lock
        // in between and must keep serving them.
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
        int round = 0;
        while (std::chrono::steady_clock::now() < until) {
            view.serveDialogThreadRequests(1);
            if (!view.rows.empty()) {
                view.select(panel, 0);
                panel.routingChosen(RoutingControl::LeftOutput, 1 + round % 16);
            }
            panel.bufferLengthChanged(static_cast<size_t>(round % 39));
            EXPECT_TRUE(panel.apply());
            ++round;
        }
        stop = true;
        plugger.join();
        bus.replug(coming);  // (plugged already, unless the loop ended in between)
        // Quiet again: the list settles on both units.
        EXPECT_TRUE(view.pumpUntil([&] { return rowsMatchBus(view, 2); }));
        panel.okPressed();
    };
    ASSERT_TRUE(panel.open());
    EXPECT_TRUE(view.dialogEnded);
    EXPECT_GT(changes.load(), 5);
    // After the dialog, no request waits on a thread that no longer serves.
    bus.unplug(coming);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(view.waitingRequests(), 0u);
}

TEST_F(PanelThreadsTest, ThePanelOpenEventBringsTheDialogToTheFront) {
    const std::string name = std::string(brand.getDriverId()) + "ConfigurationPanelOpen";
    os::Handle event = os::createEvent(false, false, name.c_str());
    ASSERT_NE(event, nullptr);
    PanelStack stack(store);
    stack.registry->loadSettings();
    stack.preferences = std::make_unique<Preferences>(stack.recording);
    stack.panel = std::make_unique<ControlPanel>(*stack.registry, *stack.preferences, event, stack.view,
                                                 &stack.recording);
    FakePanelView& view = stack.view;
    view.script = [&](ControlPanel&) {
        // Another start of the program sets the event.
        os::Handle second = os::openEvent(name.c_str());
        ASSERT_NE(second, nullptr);
        os::setEvent(second);
        os::closeHandle(second);
        EXPECT_TRUE(view.pumpUntil([&] { return view.frontRequestCount() == 1; }));
        os::setEvent(event);
        EXPECT_TRUE(view.pumpUntil([&] { return view.frontRequestCount() == 2; }));
        view.endDialog(0);
    };
    ASSERT_TRUE(stack.panel->open());
    stack.panel.reset();
    os::closeHandle(event);
}
