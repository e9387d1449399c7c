// The settings dialog program ("ASIO Settings"), apart from its window
// toolkit: one instance at a time (the named event
// "<driver id>ConfigurationPanelOpen"; a second start brings the first to
// the front and ends), the build's brand and hardware models, the device
// registry with polled discovery, the stored preferences and the dialog.
#pragma once

#include <cstdint>

#include "brands/settings_store.h"

class PanelViewIf;

// With a simulated device bus (KSASIO_SIM_BUS), this variable may shorten
// the discovery interval of the dialog (milliseconds, 20 to 5000), so that
// tests and demonstrations see units come and go at once. Real controllers
// are always polled every 5000 ms.
constexpr const char* kPanelPollIntervalVariable = "KSASIO_POLL_INTERVAL_MS";

// Runs the program in the given view over the given settings store and
// returns its exit code, which is 0 in every case.
int runPanelProgram(PanelViewIf& view, SettingsStoreIf& store = userSettingsStore());

// The discovery interval for this process (see kPanelPollIntervalVariable).
uint32_t panelPollingIntervalMs();
