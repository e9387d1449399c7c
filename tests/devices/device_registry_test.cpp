// The device registry against the simulated bus: passes run directly, so
// every plug and unplug is seen by the next call of enumerateDevices.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "devices/device_registry.h"
#include "devices/orlo_device_models.h"
#include "devices/vexa_device_models.h"
#include "platform/os.h"
#include "recording_handler.h"
#include "sim/bus.h"

namespace {

// Long enough that no pass of the polling thread runs during a test.
constexpr uint32_t kNoPollingMs = 10 * 60 * 1000;

std::unique_ptr<DeviceRegistry> qelmRegistry(uint32_t intervalMs = kNoPollingMs) {
    DeviceModelIf* models[] = {new VexaQelmDeviceModel};
    return std::make_unique<DeviceRegistry>(1, models, intervalMs);
}

class RegistryTest : public ::testing::Test {
protected:
    sim::SimBus bus;
    sim::ScopedDeviceBoundary scope{bus};
    std::unique_ptr<DeviceRegistry> registry = qelmRegistry();
    RecordingHandler handler;

    std::shared_ptr<sim::SimController> plug(const std::string& serial, uint32_t port = 0) {
        sim::ControllerConfig config;
        config.serial = sim::widen(serial);
        config.port = port;
        return bus.plug(config);
    }
    DeviceInfo* record(const char* serial) { return registry->getDeviceWithSerialNumber(serial); }
};

}  // namespace

TEST_F(RegistryTest, ControllerPresentAtStartIsReadyWhenInitializeReturns) {
    auto controller = plug("QX-1001");
    ASSERT_TRUE(registry->initialize());
    EXPECT_TRUE(registry->isPolling());
    ASSERT_EQ(registry->getNumberOfDevices(), 1u);
    DeviceInfo* r = registry->getDevice(0);
    EXPECT_STREQ(r->getSerialNumber(), "QX-1001");
    EXPECT_TRUE(r->isAvailable());
    ASSERT_NE(r->getRenderFilter(), nullptr);
    ASSERT_NE(r->getCaptureFilter(), nullptr);
    EXPECT_STREQ(r->getRenderFilter()->GetDevicePath(), controller->interfacePath().c_str());
    EXPECT_STREQ(r->getAudioDeviceId(), controller->interfacePath().c_str());
    EXPECT_TRUE(registry->getModel(0)->isHidDevice(r->getHidDeviceId()));
    EXPECT_EQ(r->getModel(), registry->getModel(0));
    EXPECT_EQ(registry->getDevice(1), nullptr);
    // Lookups ignore case.
    EXPECT_EQ(record("qx-1001"), r);
    std::string upper = controller->interfacePath();
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(registry->getDeviceWithAudioDeviceId(upper.c_str()), r);
    registry->stopPolledEnumeration();
    EXPECT_FALSE(registry->isPolling());
}

TEST_F(RegistryTest, NewDeviceIsAnnouncedAddedThenAvailable) {
    RecordingHandler second;
    registry->addEventHandler(&handler);
    registry->addEventHandler(&second);
    plug("QX-1002");
    EXPECT_TRUE(registry->enumerateDevices());
    DeviceInfo* r = record("QX-1002");
    const std::vector<DeviceEvent> expected = {{r, 0, -1}, {r, 2, 0}};
    EXPECT_EQ(handler.events(), expected);
    EXPECT_EQ(second.events(), expected);

    // A steady system: nothing new, same filters.
    CKsAudRenFilter* filter = r->getRenderFilter();
    registry->enumerateDevices();
    EXPECT_EQ(handler.events().size(), 2u);
    EXPECT_EQ(r->getRenderFilter(), filter);
}

namespace {
// What the records' filters were while the disconnection was being told.
std::atomic<int> filtersPresentDuringDisconnect{0};
void noteFilters(DeviceInfo* record, int32_t newState, int32_t oldState) {
    if (DeviceInfo::wasAdded(newState, oldState) || DeviceInfo::wasRemoved(newState, oldState)) return;
    if (DeviceInfo::wasDisconnected(newState, oldState) && record->getRenderFilter() != nullptr &&
        record->getCaptureFilter() != nullptr)
        ++filtersPresentDuringDisconnect;
}
}  // namespace

TEST_F(RegistryTest, UnpluggingNotifiesThenDropsTheFiltersAndKeepsTheRecord) {
    auto controller = plug("QX-1003");
    registry->enumerateDevices();
    handler.onEvent = &noteFilters;
    filtersPresentDuringDisconnect = 0;
    registry->addEventHandler(&handler);
    DeviceInfo* r = record("QX-1003");
    handler.clear();

    bus.unplug(controller);
    registry->enumerateDevices();
    EXPECT_EQ(handler.events(), (std::vector<DeviceEvent>{{r, 0, 2}}));
    EXPECT_EQ(filtersPresentDuringDisconnect.load(), 1);
    EXPECT_EQ(r->getRenderFilter(), nullptr);
    EXPECT_EQ(r->getCaptureFilter(), nullptr);
    EXPECT_EQ(record("QX-1003"), r);
    EXPECT_FALSE(r->isAvailable());

    // Still gone: nothing more to tell.
    registry->enumerateDevices();
    EXPECT_EQ(handler.events().size(), 1u);
}

TEST_F(RegistryTest, SameSerialInAnotherPortFindsItsRecord) {
    auto controller = plug("QX-1004", 1);
    registry->enumerateDevices();
    DeviceInfo* r = record("QX-1004");
    const std::string oldPath = r->getAudioDeviceId();
    registry->addEventHandler(&handler);
    bus.unplug(controller);
    registry->enumerateDevices();
    handler.clear();

    ASSERT_TRUE(bus.move(controller, 7));
    ASSERT_NE(controller->interfacePath(), oldPath);
    registry->enumerateDevices();
    EXPECT_EQ(registry->getNumberOfDevices(), 1u);
    EXPECT_EQ(handler.events(), (std::vector<DeviceEvent>{{r, 2, 0}}));
    EXPECT_STREQ(r->getAudioDeviceId(), controller->interfacePath().c_str());
    ASSERT_NE(r->getRenderFilter(), nullptr);
    ASSERT_NE(r->getCaptureFilter(), nullptr);
    EXPECT_STREQ(r->getCaptureFilter()->GetDevicePath(), controller->interfacePath().c_str());
}

TEST_F(RegistryTest, MoveBetweenTwoPassesReplacesTheFiltersWithNotice) {
    auto controller = plug("QX-1005", 1);
    registry->enumerateDevices();
    registry->addEventHandler(&handler);
    DeviceInfo* r = record("QX-1005");
    handler.clear();

    ASSERT_TRUE(bus.move(controller, 9));
    registry->enumerateDevices();
    // Filters of the old interface would open nothing: the handlers drop
    // them and take the new ones.
    EXPECT_EQ(handler.events(), (std::vector<DeviceEvent>{{r, 0, 2}, {r, 2, 0}}));
    ASSERT_NE(r->getRenderFilter(), nullptr);
    EXPECT_STREQ(r->getRenderFilter()->GetDevicePath(), controller->interfacePath().c_str());
    EXPECT_EQ(registry->getNumberOfDevices(), 1u);
}

TEST_F(RegistryTest, SerialsThatDoNotIdentifyAUnitAreNeverAdded) {
    plug("QX12");                  // 4 characters
    plug("AB12_CD34");             // cleaned to AB12
    plug("ABCDEFGHIJKLMNOP");      // 16 characters: does not fit a record
    auto fits = plug("ABCDEFGHIJKLMNO");  // 15
    auto five = plug("QX-12");
    registry->enumerateDevices();
    registry->enumerateDevices();
    EXPECT_EQ(registry->getNumberOfDevices(), 2u);
    EXPECT_NE(record("ABCDEFGHIJKLMNO"), nullptr);
    EXPECT_NE(record("QX-12"), nullptr);
    EXPECT_EQ(record("ABCDEFGHIJKLMNOP"), nullptr);
}

TEST_F(RegistryTest, AliasesDecideWhichFiltersExist) {
    sim::ControllerConfig config;
    config.serial = sim::widen("QX-RENDER-GONE");
    config.renderAlias = sim::AliasState::Removed;
    bus.plug(config);
    config.serial = sim::widen("QX-NO-CAPTURE");
    config.renderAlias = sim::AliasState::Present;
    config.captureAlias = sim::AliasState::Missing;
    bus.plug(config);
    config.serial = sim::widen("QX-NEITHER");
    config.renderAlias = sim::AliasState::Missing;
    config.captureAlias = sim::AliasState::Removed;
    auto neither = bus.plug(config);
    registry->enumerateDevices();

    EXPECT_EQ(record("QX-RENDER-GONE")->getRenderFilter(), nullptr);
    EXPECT_NE(record("QX-RENDER-GONE")->getCaptureFilter(), nullptr);
    EXPECT_NE(record("QX-NO-CAPTURE")->getRenderFilter(), nullptr);
    EXPECT_EQ(record("QX-NO-CAPTURE")->getCaptureFilter(), nullptr);
    // A new unit is available even without filters...
    DeviceInfo* r = record("QX-NEITHER");
    EXPECT_TRUE(r->isAvailable());
    // ...but one coming back without any is not made available.
    bus.unplug(neither);
    registry->enumerateDevices();
    bus.replug(neither);
    registry->addEventHandler(&handler);
    handler.clear();
    registry->enumerateDevices();
    EXPECT_FALSE(r->isAvailable());
    EXPECT_TRUE(handler.events().empty());
}

// A USB audio function also lists its topology filter (and a MIDI function)
// among the KS audio interfaces, without render or capture aliases, and
// possibly before its wave filter.
TEST_F(RegistryTest, InterfacesWithoutAliasesAreNotTakenForTheUnit) {
    sim::ControllerConfig config;
    config.serial = sim::widen("QX-TOPOLOGY");
    config.faults.aliasLessFirst = true;
    auto controller = bus.plug(config);
    registry->enumerateDevices();
    DeviceInfo* r = record("QX-TOPOLOGY");
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r->getAudioDeviceId(), controller->interfacePath().c_str());
    EXPECT_NE(r->getRenderFilter(), nullptr);
    EXPECT_NE(r->getCaptureFilter(), nullptr);
    EXPECT_EQ(registry->getNumberOfDevices(), 1u);
    // A steady system stays so at the next pass.
    registry->addEventHandler(&handler);
    handler.clear();
    registry->enumerateDevices();
    EXPECT_TRUE(handler.events().empty());
}

// A HID interface with several top-level collections has one HID device per
// collection, its path carrying &Col01 and so on: the path is the one the
// system lists, not one built from a prefix.
TEST_F(RegistryTest, HidDevicesWithSeveralCollectionsAreFound) {
    sim::ControllerConfig config;
    config.serial = sim::widen("QX-COLLECTIONS");
    config.hidCollections = 2;
    auto controller = bus.plug(config);
    registry->enumerateDevices();
    DeviceInfo* r = record("QX-COLLECTIONS");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(std::string(r->getHidDeviceId()), controller->hidPaths()[0]);
    EXPECT_TRUE(registry->getModel(0)->isHidDevice(r->getHidDeviceId()));
}

TEST_F(RegistryTest, RemoveDeviceRefusesAvailableRecordsAndRenumbers) {
    auto a = plug("QX-000A", 1);
    plug("QX-000B", 2);
    plug("QX-000C", 3);
    registry->enumerateDevices();
    DeviceInfo* ra = record("QX-000A");
    DeviceInfo* rb = record("QX-000B");
    DeviceInfo* rc = record("QX-000C");
    ASSERT_EQ(ra->getIndex(), 0u);
    registry->addEventHandler(&handler);
    handler.clear();

    EXPECT_FALSE(registry->removeDevice(ra));
    EXPECT_EQ(registry->getNumberOfDevices(), 3u);
    EXPECT_TRUE(handler.events().empty());

    bus.unplug(a);
    registry->enumerateDevices();
    handler.clear();
    ASSERT_TRUE(registry->removeDevice(ra));
    EXPECT_EQ(handler.events(), (std::vector<DeviceEvent>{{ra, -1, 0}}));
    ASSERT_EQ(registry->getNumberOfDevices(), 2u);
    EXPECT_EQ(registry->getDevice(0), rb);
    EXPECT_EQ(rb->getIndex(), 0u);
    EXPECT_EQ(rc->getIndex(), 1u);
    EXPECT_FALSE(registry->removeDevice(ra));  // no longer listed
    EXPECT_FALSE(registry->removeDevice(nullptr));

    // The unit comes back as a new record at the end.
    bus.replug(a);
    registry->enumerateDevices();
    EXPECT_EQ(record("QX-000A")->getIndex(), 2u);
}

TEST_F(RegistryTest, NewHandlerHearsEveryRecordReplayedInOrder) {
    plug("QX-0001", 1);
    auto gone = plug("QX-0002", 2);
    plug("QX-0003", 3);
    registry->enumerateDevices();
    bus.unplug(gone);
    registry->enumerateDevices();
    DeviceInfo* r0 = registry->getDevice(0);
    DeviceInfo* r1 = registry->getDevice(1);
    DeviceInfo* r2 = registry->getDevice(2);

    ASSERT_TRUE(registry->addEventHandler(&handler));
    EXPECT_EQ(handler.events(), (std::vector<DeviceEvent>{
                                    {r0, 0, -1}, {r0, 2, 0}, {r1, 0, -1}, {r2, 0, -1}, {r2, 2, 0}}));

    // Removed handlers hear nothing more.
    registry->removeEventHandler(&handler);
    handler.clear();
    plug("QX-0004", 4);
    registry->enumerateDevices();
    EXPECT_TRUE(handler.events().empty());
    EXPECT_FALSE(registry->addEventHandler(nullptr));
}

TEST_F(RegistryTest, RestorePointsCoverEveryRecord) {
    auto a = plug("QX-0101", 1);
    plug("QX-0102", 2);
    registry->enumerateDevices();
    registry->makeRestorePoint();
    bus.unplug(a);
    registry->enumerateDevices();
    registry->addEventHandler(&handler);
    handler.clear();
    registry->rollbackChanges();
    EXPECT_TRUE(record("QX-0101")->isAvailable());
    EXPECT_TRUE(record("QX-0102")->isAvailable());
    EXPECT_TRUE(handler.events().empty());
}

TEST_F(RegistryTest, TwoUnitsWithOneSerialDoNotFightOverTheRecord) {
    plug("QX-TWIN", 1);
    auto second = plug("QX-TWIN", 2);
    ASSERT_NE(second, nullptr);
    registry->enumerateDevices();
    registry->addEventHandler(&handler);
    handler.clear();
    const std::string path = record("QX-TWIN")->getAudioDeviceId();
    registry->enumerateDevices();
    registry->enumerateDevices();
    EXPECT_EQ(registry->getNumberOfDevices(), 1u);
    EXPECT_TRUE(handler.events().empty());
    EXPECT_EQ(record("QX-TWIN")->getAudioDeviceId(), path);
}

TEST(RegistryModels, FirstListedModelClaimsTheUnit) {
    sim::SimBus bus;
    sim::ScopedDeviceBoundary scope(bus);
    sim::ControllerConfig config;
    config.model = sim::Model::TavioRaw;
    config.serial = sim::widen("TR0000017");
    bus.plug(config);
    config.model = sim::Model::Qelm;
    config.serial = sim::widen("QX-7");
    bus.plug(config);  // no model in the list knows it... nor its serial
    DeviceModelIf* models[] = {new OrloDaltoDeviceModel, new OrloTavioRawProto2009DeviceModel,
                               new OrloTavioRawDeviceModel};
    DeviceRegistry registry(3, models, kNoPollingMs);
    registry.enumerateDevices();
    ASSERT_EQ(registry.getNumberOfDevices(), 1u);
    EXPECT_EQ(registry.getDevice(0)->getModel()->getType(), 4u);
    EXPECT_EQ(registry.getNumberOfModels(), 3u);
    EXPECT_EQ(registry.getModel(3), nullptr);
}

namespace {

// A boundary over the bus that can fail the listing or lengthen paths.
class AlteredListing final : public os::DeviceBoundaryIf {
public:
    explicit AlteredListing(sim::SimBus& bus) : bus_(bus) {}
    bool failListing = false;
    size_t padPathsTo = 0;

    bool listAudioInterfaces(std::vector<os::AudioInterfaceInfo>& interfaces) override {
        if (failListing) {
            interfaces.clear();
            return false;
        }
        const bool ok = bus_.listAudioInterfaces(interfaces);
        for (auto& i : interfaces)
            if (i.path.size() < padPathsTo) i.path += std::string(padPathsTo - i.path.size(), 'p');
        return ok;
    }
    HANDLE openDevice(const char* p, DWORD a, DWORD s, DWORD c, DWORD f) override {
        return bus_.openDevice(p, a, s, c, f);
    }
    bool closeDevice(HANDLE d) override { return bus_.closeDevice(d); }
    bool deviceIoControl(HANDLE d, DWORD c, void* i, DWORD is, void* o, DWORD os, DWORD* b, OVERLAPPED* ov) override {
        return bus_.deviceIoControl(d, c, i, is, o, os, b, ov);
    }
    bool getOverlappedResult(HANDLE d, OVERLAPPED* o, DWORD* b, bool w) override {
        return bus_.getOverlappedResult(d, o, b, w);
    }
    bool cancelIo(HANDLE d) override { return bus_.cancelIo(d); }
    DWORD ksCreatePin(HANDLE f, const KSPIN_CONNECT* c, DWORD a, HANDLE* p) override {
        return bus_.ksCreatePin(f, c, a, p);
    }
    CONFIGRET cmGetParent(DEVINST* p, DEVINST n, ULONG f) override { return bus_.cmGetParent(p, n, f); }
    CONFIGRET cmGetChild(DEVINST* c, DEVINST n, ULONG f) override { return bus_.cmGetChild(c, n, f); }
    CONFIGRET cmGetSibling(DEVINST* s, DEVINST n, ULONG f) override { return bus_.cmGetSibling(s, n, f); }
    CONFIGRET cmGetDeviceIdSize(ULONG* s, DEVINST n, ULONG f) override { return bus_.cmGetDeviceIdSize(s, n, f); }
    CONFIGRET cmGetDeviceId(DEVINST n, char* b, ULONG l, ULONG f) override { return bus_.cmGetDeviceId(n, b, l, f); }
    CONFIGRET cmGetDeviceInterfaceList(const GUID& c, const char* d, std::vector<std::string>& p) override {
        return bus_.cmGetDeviceInterfaceList(c, d, p);
    }
    bool hidGetSerialNumberString(HANDLE h, void* b, ULONG n) override {
        return bus_.hidGetSerialNumberString(h, b, n);
    }
    os::DeviceWatch watchDevice(HANDLE h, os::DeviceNoticeSinkIf* s, uint64_t c) override {
        return bus_.watchDevice(h, s, c);
    }
    os::DeviceWatch watchInterfaceClass(const GUID& g, os::DeviceNoticeSinkIf* s, uint64_t c) override {
        return bus_.watchInterfaceClass(g, s, c);
    }
    void unwatch(os::DeviceWatch w) override { bus_.unwatch(w); }
    void flushNotices() override { bus_.flushNotices(); }

private:
    sim::SimBus& bus_;
};

}  // namespace

TEST(RegistryListing, FailedListingCountsEveryDeviceAsGone) {
    sim::SimBus bus;
    AlteredListing listing(bus);
    sim::ScopedDeviceBoundary scope(listing);
    sim::ControllerConfig config;
    config.serial = sim::widen("QX-LIST");
    bus.plug(config);
    auto registry = qelmRegistry();
    ASSERT_TRUE(registry->enumerateDevices());
    RecordingHandler handler;
    registry->addEventHandler(&handler);
    handler.clear();
    DeviceInfo* r = registry->getDevice(0);

    listing.failListing = true;
    EXPECT_FALSE(registry->enumerateDevices());
    EXPECT_EQ(handler.events(), (std::vector<DeviceEvent>{{r, 0, 2}}));
    listing.failListing = false;
    EXPECT_TRUE(registry->enumerateDevices());
    EXPECT_EQ(handler.events().back(), (DeviceEvent{r, 2, 0}));
}

TEST(RegistryListing, InterfacePathsMustFitTheDetailBuffer) {
    sim::SimBus bus;
    AlteredListing listing(bus);
    sim::ScopedDeviceBoundary scope(listing);
    sim::ControllerConfig config;
    config.serial = sim::widen("QX-PATH");
    bus.plug(config);
    auto registry = qelmRegistry();

    listing.padPathsTo = DeviceRegistry::kMaxInterfacePathLength + 1;
    registry->enumerateDevices();
    EXPECT_EQ(registry->getNumberOfDevices(), 0u);

    // The longest path a detail buffer holds is taken; it is too long for a
    // filter object, so the unit is known but cannot be opened.
    listing.padPathsTo = DeviceRegistry::kMaxInterfacePathLength;
    registry->enumerateDevices();
    ASSERT_EQ(registry->getNumberOfDevices(), 1u);
    DeviceInfo* r = registry->getDevice(0);
    EXPECT_EQ(std::strlen(r->getAudioDeviceId()), DeviceRegistry::kMaxInterfacePathLength);
    EXPECT_EQ(r->getRenderFilter(), nullptr);
    EXPECT_EQ(r->getCaptureFilter(), nullptr);
}

namespace {

// Hooks of a derived registry: the order initialize calls them in, and a
// model the registry refuses to keep records for.
class HookedRegistry final : public DeviceRegistry {
public:
    HookedRegistry(DeviceModelIf** models, size_t count) : DeviceRegistry(count, models, kNoPollingMs) {}
    ~HookedRegistry() override { stopPolledEnumeration(); }
    void loadSettings() override {
        order += "load;";
        // Remembered from settings: listed, unavailable, announced to nobody.
        records().push_back(createDeviceInfo(nullptr, nullptr, nullptr, nullptr, 0, "QX-KNOWN", getModel(0)));
    }
    DeviceInfo* createDeviceInfo(CKsAudRenFilter* render, CKsAudCapFilter* capture, const char* hid,
                                 const char* audio, uint64_t index, const char* serial, DeviceModelIf* model) override {
        order += "create;";
        if (model->getType() != 5) return nullptr;
        return DeviceRegistry::createDeviceInfo(render, capture, hid, audio, index, serial, model);
    }
    std::string order;
};

}  // namespace

TEST(RegistryHooks, SettingsLoadFirstAndRecordsAreMatchedBySerial) {
    sim::SimBus bus;
    sim::ScopedDeviceBoundary scope(bus);
    sim::ControllerConfig config;
    config.serial = sim::widen("QX-KNOWN");
    bus.plug(config);
    config.model = sim::Model::Dalto;
    config.serial = sim::widen("DALTO0001");
    bus.plug(config);
    DeviceModelIf* models[] = {new VexaQelmDeviceModel, new OrloDaltoDeviceModel};
    HookedRegistry registry(models, 2);
    RecordingHandler handler;
    registry.addEventHandler(&handler);
    ASSERT_EQ(registry.order, "");
    registry.initialize();
    // The remembered unit was matched; the DALTO got no record.
    EXPECT_EQ(registry.order, "load;create;create;");
    ASSERT_EQ(registry.getNumberOfDevices(), 1u);
    DeviceInfo* r = registry.getDevice(0);
    EXPECT_TRUE(r->isAvailable());
    EXPECT_NE(r->getRenderFilter(), nullptr);
    EXPECT_EQ(handler.events(), (std::vector<DeviceEvent>{{r, 2, 0}}));
    EXPECT_TRUE(registry.saveSettings());
}

// A device that arrives (plugged in, back from a sleep, enabled again) is
// found at once, not at the next pass of the interval.
TEST(RegistryPolling, AnArrivingDeviceStartsAPassAtOnce) {
    sim::SimBus bus;
    sim::ScopedDeviceBoundary scope(bus);
    auto registry = qelmRegistry(kNoPollingMs);
    ASSERT_TRUE(registry->startPolledEnumeration());
    sim::ControllerConfig config;
    config.serial = sim::widen("QX-ARRIVAL");
    auto unit = bus.plug(config);
    for (int i = 0; i < 2000 && registry->getDeviceWithSerialNumber("QX-ARRIVAL") == nullptr; ++i) os::sleepMs(1);
    ASSERT_NE(registry->getDeviceWithSerialNumber("QX-ARRIVAL"), nullptr);
    // A removal too.
    bus.unplug(unit);
    for (int i = 0; i < 2000 && registry->getDevice(0)->isAvailable(); ++i) os::sleepMs(1);
    EXPECT_FALSE(registry->getDevice(0)->isAvailable());
    registry->stopPolledEnumeration();
    // Stopped: nothing listens any more.
    bus.replug(unit);
    os::sleepMs(20);
    EXPECT_FALSE(registry->getDevice(0)->isAvailable());
}

TEST(RegistryPolling, ThePollingThreadFindsUnitsAndStopsOnRequest) {
    sim::SimBus bus;
    sim::ScopedDeviceBoundary scope(bus);
    auto registry = qelmRegistry(5);
    ASSERT_TRUE(registry->startPolledEnumeration());
    ASSERT_TRUE(registry->startPolledEnumeration());  // already running
    sim::ControllerConfig config;
    config.serial = sim::widen("QX-POLL");
    bus.plug(config);
    // No time limit of its own: the test's time-out bounds it.
    while (registry->getDeviceWithSerialNumber("QX-POLL") == nullptr) os::sleepMs(1);
    registry->stopPolledEnumeration();
    EXPECT_FALSE(registry->isPolling());

    bus.unplug(bus.controllers().front());
    os::sleepMs(30);
    EXPECT_TRUE(registry->getDevice(0)->isAvailable());  // no pass without the thread
    ASSERT_TRUE(registry->startPolledEnumeration());
    while (registry->getDevice(0)->isAvailable()) os::sleepMs(1);
}
