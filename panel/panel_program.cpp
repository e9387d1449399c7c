#include "panel/panel_program.h"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "brands/asio_device_registry.h"
#include "brands/brand_build.h"
#include "brands/preferences.h"
#include "devices/build_device_models.h"
#include "panel/control_panel.h"
#include "panel/failure_recording_store.h"
#include "panel/panel_view.h"
#include "platform/device.h"
#include "platform/trace.h"

namespace {

constexpr uint32_t kShortestPollIntervalMs = 20;

// Everything the dialog works on, created after the single-instance check
// and destroyed in reverse order: panel, preferences, registry (which stops
// polling).
int runDialog(PanelViewIf& view, SettingsStoreIf& store, os::Handle panelOpenEvent) {
    DeviceModelIf* models[kMaxBuildDeviceModels];
    const size_t count = createBuildDeviceModels(models, kMaxBuildDeviceModels);
    FailureRecordingStore recording(store);
    AsioDeviceRegistry* registry =
        count != 0 ? new (std::nothrow) AsioDeviceRegistry(count, models, recording, panelPollingIntervalMs())
                   : nullptr;
    if (registry == nullptr) {
        TRACE("Out of memory");
        for (size_t i = 0; i < count; ++i) delete models[i];
        view.showWarning("Failed to open control panel.", "Error");
        return 0;
    }
    // A failed first pass or polling start leaves a usable registry.
    if (!registry->initialize()) TRACE("Device registry initialization incomplete");
    {
        Preferences preferences(recording);
        ControlPanel panel(*registry, preferences, panelOpenEvent, view, &recording);
        if (!panel.open()) view.showWarning("Failed to open control panel.", "Error");
    }
    delete registry;
    return 0;
}

}  // namespace

uint32_t panelPollingIntervalMs() {
    const char* bus = std::getenv(os::kSimulatedBusVariable);
    const char* text = std::getenv(kPanelPollIntervalVariable);
    if (bus == nullptr || bus[0] == '\0' || text == nullptr) return DeviceRegistry::kPollingIntervalMs;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || value < kShortestPollIntervalMs || value > DeviceRegistry::kPollingIntervalMs)
        return DeviceRegistry::kPollingIntervalMs;
    return static_cast<uint32_t>(value);
}

int runPanelProgram(PanelViewIf& view, SettingsStoreIf& store) {
    TRACE_ENTER("runPanelProgram");
    AsioBrandIf* brand = createBuildBrand();
    if (brand == nullptr) {
        TRACE("Out of memory");
        return 0;
    }
    char name[128];
    std::snprintf(name, sizeof name, "%sConfigurationPanelOpen", brand->getDriverId());
    bool existed = false;
    os::Handle event = os::createEvent(false, false, name, &existed);
    if (event == nullptr) {
        TRACE("Failed to create or open event.");
    } else if (existed) {
        // The running panel's worker brings its dialog to the front.
        TRACE("Configuration panel was already running.");
        os::setEvent(event);
    } else {
        runDialog(view, store, event);
    }
    if (event != nullptr) os::closeHandle(event);
    delete brand;
    TRACE_LEAVE("runPanelProgram");
    return 0;
}
