// Device records: the state word, its notifications and restore point, and
// what a record owns.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "devices/device_info.h"
#include "devices/vexa_device_models.h"
#include "recording_handler.h"

namespace {

int renderFiltersDeleted = 0;
int captureFiltersDeleted = 0;

class CountedRenderFilter : public CKsAudRenFilter {
public:
    CountedRenderFilter() : CKsAudRenFilter("\\\\?\\render", "", nullptr) {}
    ~CountedRenderFilter() override { ++renderFiltersDeleted; }
};

class CountedCaptureFilter : public CKsAudCapFilter {
public:
    CountedCaptureFilter() : CKsAudCapFilter("\\\\?\\capture", "", nullptr) {}
    ~CountedCaptureFilter() override { ++captureFiltersDeleted; }
};

class DeviceInfoTest : public ::testing::Test {
protected:
    void SetUp() override {
        renderFiltersDeleted = 0;
        captureFiltersDeleted = 0;
        ASSERT_TRUE(handlers.push_back(&first));
        ASSERT_TRUE(handlers.push_back(&second));
    }
    VexaQelmDeviceModel model;
    DeviceInfo record{nullptr, nullptr, "hid", "audio", 3, "QX-0001", &model};
    RecordingHandler first;
    RecordingHandler second;
    DeviceInfo::EventHandlerList handlers;
};

}  // namespace

TEST_F(DeviceInfoTest, StateFlagsNotifyOnlyOnChange) {
    record.setStateFlags(DeviceInfo::kStateAvailable, handlers);
    const std::vector<DeviceEvent> connected = {{&record, 2, 0}};
    EXPECT_EQ(first.events(), connected);
    EXPECT_EQ(second.events(), connected);
    EXPECT_TRUE(record.isAvailable());

    // Already set: nobody hears of it.
    record.setStateFlags(DeviceInfo::kStateAvailable, handlers);
    EXPECT_EQ(first.events().size(), 1u);

    record.clearStateFlags(DeviceInfo::kStateAvailable, handlers);
    record.clearStateFlags(DeviceInfo::kStateAvailable, handlers);
    const std::vector<DeviceEvent> both = {{&record, 2, 0}, {&record, 0, 2}};
    EXPECT_EQ(first.events(), both);
    EXPECT_EQ(second.events(), both);

    // Nothing sets flag 8, so clearing it is silent.
    record.clearStateFlags(DeviceInfo::kStateFlag8, handlers);
    EXPECT_EQ(first.events().size(), 2u);
}

TEST_F(DeviceInfoTest, SetAvailableTellsNobody) {
    record.setAvailable(true);
    EXPECT_TRUE(record.isAvailable());
    record.setAvailable(false);
    EXPECT_EQ(record.getState(), 0);
    EXPECT_TRUE(first.events().empty());
}

TEST_F(DeviceInfoTest, AnnouncementsOfAddingAndRemoving) {
    record.notifyAdded(&first);
    EXPECT_EQ(first.events(), (std::vector<DeviceEvent>{{&record, 0, -1}}));

    record.setAvailable(true);
    record.notifyAdded(&second);
    EXPECT_EQ(second.events(), (std::vector<DeviceEvent>{{&record, 0, -1}, {&record, 2, 0}}));

    first.clear();
    record.notifyRemoved(&first);
    ASSERT_EQ(first.events(), (std::vector<DeviceEvent>{{&record, -1, 2}}));
    EXPECT_TRUE(DeviceInfo::wasRemoved(-1, 2));
    EXPECT_FALSE(DeviceInfo::wasAdded(-1, 2));
    // -1 has every flag set: removing an unavailable record also looks like
    // a connection, so removal must be tested first.
    EXPECT_TRUE(DeviceInfo::wasRemoved(-1, 0));
    EXPECT_TRUE(DeviceInfo::wasConnected(-1, 0));
}

TEST(DeviceInfoPredicates, ClassifyStatePairs) {
    struct Row {
        int32_t newState, oldState;
        bool added, removed, connected, disconnected;
    } rows[] = {
        {0, -1, true, false, false, true},   // -1 has flag 2 too
        {2, 0, false, false, true, false},
        {0, 2, false, false, false, true},
        {-1, 0, false, true, true, false},
        {10, 8, false, false, true, false},
        {8, 10, false, false, false, true},
        {2, 2, false, false, false, false},
        {-1, -1, false, false, false, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.newState) + " from " + std::to_string(r.oldState));
        EXPECT_EQ(DeviceInfo::wasAdded(r.newState, r.oldState), r.added);
        EXPECT_EQ(DeviceInfo::wasRemoved(r.newState, r.oldState), r.removed);
        EXPECT_EQ(DeviceInfo::wasConnected(r.newState, r.oldState), r.connected);
        EXPECT_EQ(DeviceInfo::wasDisconnected(r.newState, r.oldState), r.disconnected);
    }
}

TEST_F(DeviceInfoTest, RollbackRestoresTheStateSilently) {
    record.makeRestorePoint();
    record.setStateFlags(DeviceInfo::kStateAvailable, handlers);
    first.clear();
    record.rollbackChanges();
    EXPECT_EQ(record.getState(), 0);
    EXPECT_TRUE(first.events().empty());

    record.setStateFlags(DeviceInfo::kStateAvailable, handlers);
    record.makeRestorePoint();
    record.clearStateFlags(DeviceInfo::kStateAvailable, handlers);
    record.rollbackChanges();
    EXPECT_TRUE(record.isAvailable());
}

TEST_F(DeviceInfoTest, FiltersAreOwned) {
    {
        DeviceInfo owner(new CountedRenderFilter, new CountedCaptureFilter, nullptr, nullptr, 0, "S0001", &model);
        owner.setRenderFilter(nullptr);
        EXPECT_EQ(renderFiltersDeleted, 1);
        EXPECT_EQ(owner.getRenderFilter(), nullptr);
        owner.setRenderFilter(nullptr);  // nothing left to delete
        EXPECT_EQ(renderFiltersDeleted, 1);

        auto* replacement = new CountedCaptureFilter;
        owner.setCaptureFilter(replacement);
        EXPECT_EQ(captureFiltersDeleted, 1);
        EXPECT_EQ(owner.getCaptureFilter(), replacement);
        // Giving it its own filter again must not delete it.
        owner.setCaptureFilter(replacement);
        EXPECT_EQ(captureFiltersDeleted, 1);
        owner.setRenderFilter(new CountedRenderFilter);
    }
    EXPECT_EQ(renderFiltersDeleted, 2);
    EXPECT_EQ(captureFiltersDeleted, 2);
}

TEST_F(DeviceInfoTest, StringsAreCopies) {
    std::string hid = "\\\\?\\HID#X";
    std::string audio = "\\\\?\\usb#x";
    DeviceInfo r(nullptr, nullptr, hid.c_str(), audio.c_str(), 7, "SERIAL", &model);
    hid[4] = 'Z';
    audio[4] = 'Z';
    EXPECT_STREQ(r.getHidDeviceId(), "\\\\?\\HID#X");
    EXPECT_STREQ(r.getAudioDeviceId(), "\\\\?\\usb#x");
    EXPECT_EQ(r.getIndex(), 7u);
    EXPECT_EQ(r.getModel(), &model);

    r.setAudioDeviceId(r.getAudioDeviceId());  // replacing with itself keeps the text
    EXPECT_STREQ(r.getAudioDeviceId(), "\\\\?\\usb#x");
    r.setHidDeviceId(nullptr);
    EXPECT_EQ(r.getHidDeviceId(), nullptr);

    DeviceInfo empty(nullptr, nullptr, nullptr, nullptr, 0, nullptr, &model);
    EXPECT_EQ(empty.getAudioDeviceId(), nullptr);
    EXPECT_STREQ(empty.getSerialNumber(), "");
}

TEST_F(DeviceInfoTest, SerialNumberFieldHoldsFifteenCharacters) {
    DeviceInfo fits(nullptr, nullptr, nullptr, nullptr, 0, "ABCDEFGHIJKLMNO", &model);
    EXPECT_STREQ(fits.getSerialNumber(), "ABCDEFGHIJKLMNO");
    DeviceInfo cut(nullptr, nullptr, nullptr, nullptr, 0, std::string(127, 'X').c_str(), &model);
    EXPECT_EQ(std::strlen(cut.getSerialNumber()), DeviceInfo::kMaxSerialNumberLength);
}
