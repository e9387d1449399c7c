// What the settings dialog's tests share: brands filed under names of the
// run (settings keys and named events no user and no other test has),
// simulated units on the bus, and a registry and preferences over a store
// that records failures, as the program sets them up.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "brands/asio_device_registry.h"
#include "brands/brand_orlo.h"
#include "brands/brand_vexa.h"
#include "brands/memory_settings_store.h"
#include "brands/preferences.h"
#include "devices/orlo_device_models.h"
#include "devices/vexa_device_models.h"
#include "panel/control_panel.h"
#include "panel/failure_recording_store.h"
#include "sim/bus.h"
#include "tests/brands/settings_test_support.h"
#include "tests/panel/fake_panel_view.h"

namespace panel_test {

// A brand like Profile's whose brand name and driver id are this run's own,
// so that its settings key and its named events are too.
template <class Profile, class Model, class Assigner>
class UniqueBrandOf final : public AsioBrandAbs<Profile, Model, Assigner> {
public:
    UniqueBrandOf()
        : brandName_(settings_test::uniqueName("KsAsioPanelTest")), driverId_(settings_test::uniqueName("PANELTEST")) {}
    const char* getBrandName() const override { return brandName_.c_str(); }
    const char* getDriverId() const override { return driverId_.c_str(); }

private:
    std::string brandName_;
    std::string driverId_;
};
using VexaBrand = UniqueBrandOf<VexaAsioBrandProfile, VexaAsioBufferSizeModel, VexaAsioChannelAssigner>;
using OrloBrand = UniqueBrandOf<OrloAsioBrandProfile, OrloAsioBufferSizeModel, OrloAsioChannelAssigner>;

// The named event a running driver creates and the dialog sets after a save.
class ConfigurationEvent {
public:
    ConfigurationEvent() {
        const std::string name = std::string(AsioBrandIf::getActiveBrand()->getDriverId()) + "ConfigurationChanged";
        handle_ = os::createEvent(false, false, name.c_str());
    }
    ~ConfigurationEvent() {
        if (handle_ != nullptr) os::closeHandle(handle_);
    }
    // Whether the event was set since the last call (the signal is taken).
    bool wasSignalled() { return os::waitForOne(handle_, 0) == os::kWaitObject0; }
    bool exists() const { return handle_ != nullptr; }

private:
    os::Handle handle_ = nullptr;
};

// A QELM unit on the bus in a layout.
inline std::shared_ptr<sim::SimController> plugQelm(sim::SimBus& bus, const std::string& serial,
                                                   sim::QelmLayout layout = sim::QelmLayout::FourFour) {
    sim::ControllerConfig config;
    config.serial = sim::widen(serial);
    config.layout = layout;
    return bus.plug(config);
}

inline std::shared_ptr<sim::SimController> plugModel(sim::SimBus& bus, sim::Model model, const std::string& serial) {
    sim::ControllerConfig config;
    config.model = model;
    config.serial = sim::widen(serial);
    return bus.plug(config);
}

// The objects the program makes around the panel, over a store of the
// test's choice. The registry never polls by itself unless asked to.
struct PanelStack {
    explicit PanelStack(SettingsStoreIf& store, bool orloModels = false, uint32_t pollMs = 10 * 60 * 1000)
        : recording(store) {
        if (orloModels) {
            DeviceModelIf* models[] = {new OrloDaltoDeviceModel, new OrloTavioDeviceModel};
            registry = std::make_unique<AsioDeviceRegistry>(2, models, recording, pollMs);
        } else {
            DeviceModelIf* models[] = {new VexaQelmDeviceModel};
            registry = std::make_unique<AsioDeviceRegistry>(1, models, recording, pollMs);
        }
    }
    // What the program does before the panel exists: settings, one pass.
    void start(bool polling = false) {
        registry->loadSettings();
        registry->enumerateDevices();
        if (polling) registry->startPolledEnumeration();
        preferences = std::make_unique<Preferences>(recording);
        panel = std::make_unique<ControlPanel>(*registry, *preferences, nullptr, view, &recording);
    }

    FailureRecordingStore recording;
    std::unique_ptr<AsioDeviceRegistry> registry;
    std::unique_ptr<Preferences> preferences;
    FakePanelView view;
    std::unique_ptr<ControlPanel> panel;
};

inline AsioDeviceInfo* unitWithSerial(AsioDeviceRegistry& registry, const char* serial) {
    return dynamic_cast<AsioDeviceInfo*>(registry.getDeviceWithSerialNumber(serial));
}

}  // namespace panel_test
