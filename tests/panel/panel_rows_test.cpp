// The device list of the settings dialog: which units and configurations
// have rows, their order, keys and texts for both brands, the drop-downs of
// the selected row, routing edits, units coming and going, the removal of a
// disconnected unit's settings, and list calls that fail.
#include <gtest/gtest.h>

#include <set>

#include "tests/panel/panel_test_support.h"

using namespace panel_test;

namespace {

constexpr size_t kNoRow = PanelViewIf::kNoRow;

// A panel over an in-memory store and the simulated bus, its dialog
// attached to the test's thread.
template <class Brand>
class PanelTest : public ::testing::Test {
protected:
    void startPanel(bool orloModels = false) {
        stack = std::make_unique<PanelStack>(store, orloModels);
        stack->start();
        view().attachDialogThread();
        panel().dialogCreated();
    }
    FakePanelView& view() { return stack->view; }
    ControlPanel& panel() { return *stack->panel; }
    AsioDeviceRegistry& registry() { return *stack->registry; }
    // Column index by kind; fails the test when the brand has no such column.
    size_t column(PanelColumn kind) {
        const size_t index = panel().columns().indexOf(kind);
        EXPECT_NE(index, PanelColumns::kNone);
        return index;
    }
    std::string cell(size_t row, PanelColumn kind) { return view().text(row, column(kind)); }
    // The row of a unit's group, by the unit's serial number and the group's label.
    size_t rowOf(const char* serial, const char* group) {
        AsioDeviceInfo* unit = unitWithSerial(registry(), serial);
        for (size_t row = 0; unit != nullptr && row < view().rows.size(); ++row) {
            const uint64_t key = view().rows[row].key;
            if (rowKeyRecord(key) == unit->getIndex() && cell(row, PanelColumn::Group) == group) return row;
        }
        return kNoRow;
    }

    Brand brand;
    sim::SimBus bus;
    sim::ScopedDeviceBoundary scope{bus};
    MemorySettingsStore store;
    std::unique_ptr<PanelStack> stack;
};

using VexaPanelTest = PanelTest<VexaBrand>;
using OrloPanelTest = PanelTest<OrloBrand>;

}  // namespace

TEST_F(VexaPanelTest, ListsAvailableUnitsInSerialOrderWithTheirActiveConfiguration) {
    ASSERT_TRUE(plugQelm(bus, "QB-0002", sim::QelmLayout::EightTwo));
    ASSERT_TRUE(plugQelm(bus, "QA-0001", sim::QelmLayout::FourFour));
    startPanel();

    const PanelColumns& columns = panel().columns();
    ASSERT_EQ(columns.count(), 5u);
    const char* titles[] = {"Device", "Mode", "Ch. Group", "Left Channel", "Right Channel"};
    const int32_t widths[] = {116, 70, 72, 84, 84};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_STREQ(columns.title(i), titles[i]);
        EXPECT_EQ(columns.width(i), widths[i]);
    }
    EXPECT_EQ(columns.indexOf(PanelColumn::Status), PanelColumns::kNone);
    // The reference font keeps the widths; a wider one widens them in step;
    // a title that would be cut widens its column.
    EXPECT_EQ(columns.width(3, 6, 60), 84);
    EXPECT_EQ(columns.width(3, 7, 60), 98);
    EXPECT_EQ(columns.width(3, 6, 75), 91);
    EXPECT_EQ(columns.width(0, 5, 0), 116);

    // QB-0002 was found first (record 0) but sorts after QA-0001 (record 1).
    ASSERT_EQ(view().rows.size(), 9u);
    const std::vector<uint64_t> expectedKeys = {64 + 0, 64 + 1, 64 + 2, 64 + 3, 16 + 0, 16 + 1, 16 + 2, 16 + 3, 16 + 4};
    EXPECT_EQ(view().keys(), expectedKeys);
    const char* groups[] = {"Ostrel2", "Ostrel2 rec", "Ostrel3", "Ostrel3 rec",
                            "Ostrel1", "Ostrel2",     "Ostrel3", "Ostrel4",     "Master rec"};
    for (size_t row = 0; row < 9; ++row) EXPECT_EQ(cell(row, PanelColumn::Group), groups[row]) << row;
    EXPECT_EQ(cell(0, PanelColumn::Device), "QELM (QA-0001)");
    EXPECT_EQ(cell(0, PanelColumn::Mode), "4 in - 4 out");
    EXPECT_EQ(cell(4, PanelColumn::Device), "QELM (QB-0002)");
    EXPECT_EQ(cell(4, PanelColumn::Mode), "8 in - 2 out");
    for (size_t row : {1u, 2u, 3u, 5u, 8u}) {
        EXPECT_EQ(cell(row, PanelColumn::Device), "") << row;
        EXPECT_EQ(cell(row, PanelColumn::Mode), "") << row;
    }
    // The brand's fixed routing: 4+4 to channels 0-3, 8+2 to outputs 0-7 and inputs 0-1.
    EXPECT_EQ(cell(0, PanelColumn::LeftChannel), "Out 1");
    EXPECT_EQ(cell(1, PanelColumn::RightChannel), "In 2");
    EXPECT_EQ(cell(3, PanelColumn::LeftChannel), "In 3");
    EXPECT_EQ(cell(7, PanelColumn::RightChannel), "Out 8");
    EXPECT_EQ(cell(8, PanelColumn::LeftChannel), "In 1");
    // Both units are new to the settings: Apply is enabled.
    EXPECT_EQ(panel().state(), ControlPanel::kStateNewUnit);
    EXPECT_TRUE(view().applyEnabled);
    EXPECT_EQ(view().bufferLabel, "ASIO Buffer length = 6 ms");
}

TEST_F(VexaPanelTest, RememberedUnitsThatAreAbsentHaveNoRowsAndKnownOnesDoNotEnableApply) {
    settings_test::StoreWriter writer(store);
    writer.qelmUnit("Device 0", "QGONE-001", 3);
    writer.qelmUnit("Device 1", "QHERE-002", 5);
    ASSERT_TRUE(plugQelm(bus, "QHERE-002"));
    startPanel();
    ASSERT_EQ(view().rows.size(), 4u);
    EXPECT_EQ(cell(0, PanelColumn::Device), "QELM (QHERE-002)");
    EXPECT_EQ(rowKeyRecord(view().rows[0].key), 1u);
    EXPECT_EQ(cell(0, PanelColumn::LeftChannel), "Out 6");
    EXPECT_EQ(panel().state(), ControlPanel::kStateSaved);
    EXPECT_FALSE(view().applyEnabled);
}

TEST_F(OrloPanelTest, ListsEveryRememberedUnitAndConfigurationWithItsStatus) {
    // An ORLO dialog over QELM units shows both of a unit's configurations.
    settings_test::StoreWriter writer(store);
    writer.qelmUnit("Device 0", "QGONE-001", 3);
    ASSERT_TRUE(plugQelm(bus, "QHERE-002", sim::QelmLayout::EightTwo));
    startPanel();

    const PanelColumns& columns = panel().columns();
    ASSERT_EQ(columns.count(), 5u);
    EXPECT_STREQ(columns.title(1), "Status");
    EXPECT_EQ(columns.width(1), 80);
    EXPECT_EQ(columns.indexOf(PanelColumn::Mode), PanelColumns::kNone);

    // Per unit 4 + 5 rows; QGONE sorts first.
    ASSERT_EQ(view().rows.size(), 18u);
    EXPECT_EQ(cell(0, PanelColumn::Device), "QELM (QGONE-001)");
    EXPECT_EQ(cell(0, PanelColumn::Status), "Disconnected");
    EXPECT_EQ(cell(4, PanelColumn::Device), "QELM (QGONE-001)");
    EXPECT_EQ(cell(4, PanelColumn::Status), "Disconnected");
    EXPECT_EQ(cell(9, PanelColumn::Device), "QELM (QHERE-002)");
    EXPECT_EQ(cell(9, PanelColumn::Status), "Not active");
    EXPECT_EQ(cell(13, PanelColumn::Status), "Connected");
    EXPECT_EQ(cell(14, PanelColumn::Status), "");
    EXPECT_EQ(view().rows[13].key, 64u + 16u + 0u);
    EXPECT_EQ(cell(0, PanelColumn::LeftChannel), "Out 4");

    // The status follows the unit: unplugged, then back.
    auto here = bus.controllers().back();
    ASSERT_TRUE(bus.unplug(here));
    registry().enumerateDevices();
    EXPECT_EQ(view().rows.size(), 18u);
    EXPECT_EQ(cell(13, PanelColumn::Status), "Disconnected");
    ASSERT_TRUE(bus.replug(here));
    registry().enumerateDevices();
    EXPECT_EQ(cell(13, PanelColumn::Status), "Connected");
    EXPECT_EQ(cell(9, PanelColumn::Status), "Not active");
}

TEST_F(VexaPanelTest, DropDownsShowTheSelectedRowsRoutingAndEditIt) {
    ASSERT_TRUE(plugQelm(bus, "QA-0001", sim::QelmLayout::EightTwo));
    startPanel();
    const size_t master = rowOf("QA-0001", "Master rec");
    const size_t ostrel3 = rowOf("QA-0001", "Ostrel3");
    ASSERT_NE(master, kNoRow);
    ASSERT_NE(ostrel3, kNoRow);
    EXPECT_FALSE(view().routingShown);

    view().select(panel(), ostrel3);
    EXPECT_EQ(panel().routingPairOfRow(ostrel3), ControlPanel::RoutingPair::Outputs);
    EXPECT_EQ(view().entries[static_cast<int>(RoutingControl::LeftOutput)], 5);   // Out 5
    EXPECT_EQ(view().entries[static_cast<int>(RoutingControl::RightOutput)], 6);  // Out 6

    view().select(panel(), master);
    EXPECT_EQ(panel().routingPairOfRow(master), ControlPanel::RoutingPair::Inputs);
    EXPECT_EQ(view().entries[static_cast<int>(RoutingControl::LeftInput)], 1);
    EXPECT_EQ(view().entries[static_cast<int>(RoutingControl::RightInput)], 2);

    // "Disabled" for the right channel of Master rec: hardware input 1.
    AsioDeviceConfigurationIf* eight = unitWithSerial(registry(), "QA-0001")->getConfiguration(1);
    panel().routingChosen(RoutingControl::RightInput, 0);
    EXPECT_EQ(eight->getInputAsioChannel(1), kAsioRoutingDisabled);
    EXPECT_EQ(eight->getInputAsioChannel(0), 0);
    EXPECT_EQ(cell(master, PanelColumn::RightChannel), "Disabled");
    // A choice in the pair of the other direction changes nothing.
    panel().routingChosen(RoutingControl::LeftOutput, 9);
    EXPECT_EQ(eight->getInputAsioChannel(0), 0);
    EXPECT_EQ(eight->getOutputAsioChannel(0), 0);
    // Nothing chosen (a drop-down with no selection) changes nothing either.
    panel().routingChosen(RoutingControl::LeftInput, -1);
    EXPECT_EQ(eight->getInputAsioChannel(0), 0);

    // The fourth output group is hardware outputs 6 and 7.
    view().select(panel(), rowOf("QA-0001", "Ostrel4"));
    panel().routingChosen(RoutingControl::RightOutput, 16);
    EXPECT_EQ(eight->getOutputAsioChannel(7), 15);
    EXPECT_EQ(eight->getOutputAsioChannel(6), 6);
    EXPECT_EQ(cell(rowOf("QA-0001", "Ostrel4"), PanelColumn::RightChannel), "Out 16");

    // Deselecting hides the drop-downs.
    panel().rowSelectionChanged(view().selected, false);
    EXPECT_FALSE(view().routingShown);
}

TEST_F(VexaPanelTest, UnpluggingRemovesExactlyItsRowsAndTheOthersKeepTheirKeysAndUnits) {
    auto a = plugQelm(bus, "QA-0001");
    auto b = plugQelm(bus, "QB-0002", sim::QelmLayout::EightTwo);
    auto c = plugQelm(bus, "QC-0003");
    ASSERT_TRUE(a && b && c);
    startPanel();
    ASSERT_EQ(view().rows.size(), 13u);
    const std::vector<uint64_t> before = view().keys();

    // The selected row belongs to a unit that stays; its drop-downs stay with it.
    view().select(panel(), rowOf("QC-0003", "Ostrel3 rec"));
    ASSERT_TRUE(bus.unplug(b));
    registry().enumerateDevices();
    ASSERT_EQ(view().rows.size(), 8u);
    std::vector<uint64_t> expected(before.begin(), before.begin() + 4);
    expected.insert(expected.end(), before.begin() + 9, before.end());
    EXPECT_EQ(view().keys(), expected);
    EXPECT_EQ(view().selected, rowOf("QC-0003", "Ostrel3 rec"));
    EXPECT_EQ(view().entries[static_cast<int>(RoutingControl::LeftInput)], 3);

    // The other rows still edit their own units.
    panel().routingChosen(RoutingControl::LeftInput, 11);
    EXPECT_EQ(unitWithSerial(registry(), "QC-0003")->getConfiguration(0)->getInputAsioChannel(2), 10);
    EXPECT_EQ(unitWithSerial(registry(), "QA-0001")->getConfiguration(0)->getInputAsioChannel(2), 2);
    EXPECT_EQ(cell(view().selected, PanelColumn::LeftChannel), "In 11");

    // Back in its place, between the others, with its routing.
    ASSERT_TRUE(bus.replug(b));
    registry().enumerateDevices();
    EXPECT_EQ(view().keys(), before);
    EXPECT_EQ(cell(4, PanelColumn::Device), "QELM (QB-0002)");
}

TEST_F(OrloPanelTest, RemovingADisconnectedUnitsSettingsLowersTheKeysOfTheUnitsBehindIt) {
    auto tavio = plugModel(bus, sim::Model::Tavio, "TAV000001");
    auto dalto = plugModel(bus, sim::Model::Dalto, "DAL000002");
    auto last = plugModel(bus, sim::Model::Tavio, "TAV000003");
    ASSERT_TRUE(tavio && dalto && last);
    startPanel(true);
    // Units 0 (3 rows), 1 (1 row), 2 (3 rows), ordered by serial: DAL first.
    ASSERT_EQ(view().rows.size(), 7u);
    EXPECT_EQ(cell(0, PanelColumn::Device), "DALTO (DAL000002)");
    EXPECT_EQ(view().rows[0].key, 64u);
    ASSERT_TRUE(bus.unplug(dalto));
    registry().enumerateDevices();
    EXPECT_EQ(cell(0, PanelColumn::Status), "Disconnected");
    panel().apply();
    ASSERT_EQ(panel().state(), ControlPanel::kStateSaved);
    const std::string stored = store.describe();

    const PanelRect cell0{0, 20, 116, 41};
    const PanelRect mark = removalMarkRect(cell0, 10, 10);
    EXPECT_EQ(mark.left, 102);
    EXPECT_EQ(mark.top, 25);
    // Clicks that miss: another column, outside the mark, a connected unit,
    // a row that is not the first of its block, a dialog without the mark.
    panel().listClicked(0, 1, 105, 30, cell0, 10, 10);
    panel().listClicked(0, 0, 50, 30, cell0, 10, 10);
    panel().listClicked(1, 0, 105, 30, cell0, 10, 10);
    panel().listClicked(2, 0, 105, 30, cell0, 10, 10);
    panel().listClicked(0, 0, 105, 30, cell0, 0, 0);
    EXPECT_TRUE(view().messages.empty());
    // The user says no.
    view().yesAnswer = false;
    panel().listClicked(0, 0, 105, 30, cell0, 10, 10);
    ASSERT_EQ(view().messages.size(), 1u);
    EXPECT_EQ(view().messages[0].text, "Are you sure that you want to remove settings of this device?");
    EXPECT_EQ(view().messages[0].caption, "Device removal");
    EXPECT_EQ(registry().getNumberOfDevices(), 3u);

    view().yesAnswer = true;
    panel().listClicked(0, 0, 105, 30, cell0, 10, 10);
    EXPECT_EQ(registry().getNumberOfDevices(), 2u);
    ASSERT_EQ(view().rows.size(), 6u);
    const std::vector<uint64_t> lowered = {0, 1, 2, 64, 65, 66};
    EXPECT_EQ(view().keys(), lowered);
    EXPECT_EQ(cell(3, PanelColumn::Device), "TAVIO (TAV000003)");
    EXPECT_EQ(panel().state(), ControlPanel::kStateChanged);
    // The lowered rows edit the unit that is now record 1.
    view().select(panel(), 4);
    panel().routingChosen(RoutingControl::LeftOutput, 0);
    EXPECT_EQ(unitWithSerial(registry(), "TAV000003")->getConfiguration(0)->getOutputAsioChannel(2),
              kAsioRoutingDisabled);
    EXPECT_NE(unitWithSerial(registry(), "TAV000001")->getConfiguration(0)->getOutputAsioChannel(2),
              kAsioRoutingDisabled);
    // Nothing is stored until the user saves.
    EXPECT_EQ(store.describe(), stored);
}

TEST_F(VexaPanelTest, FailedListCallsLeaveTheOtherRowsWhole) {
    auto a = plugQelm(bus, "QA-0001");
    auto b = plugQelm(bus, "QB-0002", sim::QelmLayout::EightTwo);
    ASSERT_TRUE(a && b);
    stack = std::make_unique<PanelStack>(store);
    stack->start();
    view().attachDialogThread();
    // Records are told in order, QA-0001 first: the 7th insertion, QB-0002's
    // third row, fails.
    view().failInsertAfter = 6;
    panel().dialogCreated();
    view().failInsertAfter = -1;
    ASSERT_EQ(view().rows.size(), 8u);
    EXPECT_EQ(rowOf("QB-0002", "Ostrel3"), kNoRow);
    // Routing edits still reach the right unit on every row that exists.
    const size_t master = rowOf("QB-0002", "Master rec");
    ASSERT_NE(master, kNoRow);
    view().select(panel(), master);
    panel().routingChosen(RoutingControl::LeftInput, 5);
    EXPECT_EQ(unitWithSerial(registry(), "QB-0002")->getConfiguration(1)->getInputAsioChannel(0), 4);
    EXPECT_EQ(cell(master, PanelColumn::LeftChannel), "In 5");

    // Unplugging the unit whose rows the list will not delete leaves QA's rows alone.
    view().failDelete = true;
    ASSERT_TRUE(bus.unplug(b));
    registry().enumerateDevices();
    view().failDelete = false;
    EXPECT_EQ(view().rows.size(), 8u);
    EXPECT_EQ(cell(0, PanelColumn::Device), "QELM (QA-0001)");
    ASSERT_TRUE(bus.replug(b));
    registry().enumerateDevices();
    // Its rows are still there, so none are added twice.
    EXPECT_EQ(view().rows.size(), 8u);
}
