// Stored settings that make no sense still give the dialog sane rows:
// routing values out of range, values missing or of the wrong type,
// hundreds of unit keys, serial numbers of the wrong length.
#include <gtest/gtest.h>

#include <set>

#include "platform/registry.h"
#include "tests/panel/panel_test_support.h"

using namespace panel_test;

namespace {

template <class Brand>
class BadSettingsTest : public ::testing::Test {
protected:
    void startPanel() {
        stack = std::make_unique<PanelStack>(store);
        stack->start();
        stack->view.attachDialogThread();
        stack->panel->dialogCreated();
    }
    // Every row: a key that decodes to a listed unit, texts that fit.
    void expectSaneRows() {
        std::set<uint64_t> keys;
        for (const FakePanelView::Row& row : stack->view.rows) {
            EXPECT_TRUE(keys.insert(row.key).second) << "key " << row.key << " twice";
            EXPECT_LT(rowKeyRecord(row.key), stack->registry->getNumberOfDevices());
            EXPECT_LT(rowKeyConfiguration(row.key), 2u);
            for (const std::string& text : row.texts) EXPECT_LT(text.size(), kCellTextSize);
        }
    }

    Brand brand;
    sim::SimBus bus;
    sim::ScopedDeviceBoundary scope{bus};
    MemorySettingsStore store;
    settings_test::StoreWriter writer{store};
    std::unique_ptr<PanelStack> stack;
};

using OrloBadSettingsTest = BadSettingsTest<OrloBrand>;
using VexaBadSettingsTest = BadSettingsTest<VexaBrand>;

}  // namespace

TEST_F(OrloBadSettingsTest, NonsenseRoutingShowsAsDisabledOrAssignedAndEditsStayInRange) {
    writer.qelmUnit("Device 0", "QA-0001", 99);
    writer.dword("Device 0\\Configuration0", "Channel1", 0xFFFFFFFFu);
    writer.string("Device 0\\Configuration0", "ChannelIn0", "three");
    writer.raw("Device 0\\Configuration0", "ChannelIn1", os::kRegDword, {1, 0});
    writer.raw("Device 0\\Configuration1", "Channel0", os::kRegBinary, {1, 2, 3, 4, 5, 6, 7, 8});
    writer.string("", "Buffer Size", "lots");
    startPanel();
    ASSERT_EQ(stack->view.rows.size(), 9u);
    expectSaneRows();
    const PanelColumns& columns = stack->panel->columns();
    const size_t left = columns.indexOf(PanelColumn::LeftChannel);
    const size_t right = columns.indexOf(PanelColumn::RightChannel);
    // Above 15: disabled. Unreadable: assigned afresh (first free channels).
    EXPECT_EQ(stack->view.text(0, left), "Disabled");
    EXPECT_EQ(stack->view.text(0, right), "Disabled");
    EXPECT_EQ(stack->view.text(1, left), "In 1");
    EXPECT_EQ(stack->view.text(1, right), "In 2");
    EXPECT_EQ(stack->view.text(4, left), "Out 1");
    EXPECT_EQ(stack->view.text(4, right), "Disabled");
    EXPECT_EQ(stack->view.bufferLabel, "ASIO Buffer length = 5.0 ms");
    // The drop-downs of a disabled pair show "Disabled".
    stack->view.select(*stack->panel, 0);
    EXPECT_EQ(stack->view.entries[static_cast<int>(RoutingControl::LeftOutput)], 0);
    EXPECT_EQ(stack->view.entries[static_cast<int>(RoutingControl::RightOutput)], 0);
}

TEST_F(OrloBadSettingsTest, HundredsOfUnitKeysGiveOneBlockPerUsableUnit) {
    constexpr int kKeys = 300;
    for (int i = 0; i < kKeys; ++i) {
        char serial[32];
        std::snprintf(serial, sizeof serial, "QS-%05d", (i * 7919) % 100000);
        writer.qelmUnit("Device " + std::to_string(i * 3), serial, static_cast<uint32_t>(i % 20));
    }
    // Unusable ones among them: a serial too long, an empty one, no type.
    writer.qelmUnit("Device 1", "SIXTEEN-CHARS-XY");
    writer.qelmUnit("Device 2", "");
    writer.string("Device 4", "SerialNumber", "NO-TYPE-1");
    writer.dword("Devices", "Type", 5);
    startPanel();
    ASSERT_EQ(stack->registry->getNumberOfDevices(), static_cast<size_t>(kKeys));
    ASSERT_EQ(stack->view.rows.size(), static_cast<size_t>(kKeys) * 9);
    expectSaneRows();
    // Serial order: each block's first row carries a serial above the one before.
    std::string previous;
    const size_t device = stack->panel->columns().indexOf(PanelColumn::Device);
    for (size_t row = 0; row < stack->view.rows.size(); row += 9) {
        const std::string text = stack->view.text(row, device);
        EXPECT_GT(text, previous);
        previous = text;
    }
}

TEST_F(VexaBadSettingsTest, RememberedUnitsNeverShowAndAPresentUnitKeepsItsRows) {
    for (int i = 0; i < 200; ++i) writer.qelmUnit("Device " + std::to_string(i), "QS-" + std::to_string(i), 200);
    ASSERT_TRUE(plugQelm(bus, "QS-150", sim::QelmLayout::EightTwo));
    startPanel();
    ASSERT_EQ(stack->view.rows.size(), 5u);
    expectSaneRows();
    EXPECT_EQ(rowKeyRecord(stack->view.rows[0].key), 150u);
    EXPECT_EQ(stack->view.text(0, 0), "QELM (QS-150)");
    EXPECT_EQ(stack->view.text(0, 3), "Disabled");
    EXPECT_EQ(stack->panel->state(), ControlPanel::kStateSaved);
}
