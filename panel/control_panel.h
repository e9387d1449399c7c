// The settings dialog's logic, apart from any window toolkit: which units
// and configurations the device list shows and in which order, the row
// keys and cell texts, the routing drop-downs of the selected row, routing
// changes, the buffer-length slider and its label, the unsaved-changes
// state that enables Apply, saving (Apply, OK) and discarding (Cancel), and
// the removal of a disconnected unit's settings. The window it runs in is a
// PanelViewIf.
//
// Threads: the dialog's thread calls every dialog operation. The device
// registry's polling thread calls deviceStateChanged, which hands the event
// to the dialog's thread through the view's synchronous runOnDialogThread,
// so the list changes on the dialog's thread only. That thread, in turn,
// never waits for the registry's lock without serving those requests
// (holdRegistry): the polling thread calls the panel with the lock held.
// The panel's worker thread brings the dialog to the front when another
// start of the program signals the panel-open event.
//
// State: 0 nothing unsaved; 1 the user changed something; 2 a unit without
// remembered settings appeared. Apply is enabled while it is not 0.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/vector.h"
#include "brands/asio_device_registry.h"
#include "brands/preferences.h"
#include "panel/panel_layout.h"
#include "panel/panel_view.h"
#include "platform/os.h"

class AsioBrandIf;
class FailureRecordingStore;
class WorkerThread;

class ControlPanel final : public DeviceInfo::EventHandlerIf {
public:
    static constexpr int32_t kStateSaved = 0;
    static constexpr int32_t kStateChanged = 1;
    static constexpr int32_t kStateNewUnit = 2;

    // Neither the registry, the preferences, the event nor the view is
    // owned. `failures`, when given, is the store under the registry and the
    // preferences; it names the reason when a save fails.
    ControlPanel(AsioDeviceRegistry& registry, Preferences& preferences, os::Handle panelOpenEvent,
                 PanelViewIf& view, FailureRecordingStore* failures = nullptr);
    // Stops the worker thread and leaves the registry's handler list.
    ~ControlPanel() override;
    ControlPanel(const ControlPanel&) = delete;
    ControlPanel& operator=(const ControlPanel&) = delete;

    // Runs the dialog: restore points first, then the modal dialog; what the
    // dialog did not save is rolled back afterwards. False when the controls
    // or the dialog could not be created.
    bool open();

    int32_t state() const { return state_; }
    const AsioBrandIf& brand() const { return *brand_; }
    const PanelColumns& columns() const { return columns_; }

    // ------------------------------------------------ dialog operations
    // (from the view, on the dialog's thread)

    // The slider: steps 0 to sliderSteps() - 1, ticks every tickFrequency().
    size_t sliderSteps() const;
    size_t tickFrequency() const;
    size_t bufferSizeStep() const { return preferences_.getBufferSizeStep(); }

    // The view has set up its controls: fills the label, then the list
    // (the registry replays every known unit).
    void dialogCreated();
    // The slider moved to `position`.
    void bufferLengthChanged(size_t position);
    // A row was selected (or deselected): the drop-downs follow.
    void rowSelectionChanged(size_t row, bool selected);
    // The user chose an entry in a routing drop-down.
    void routingChosen(RoutingControl control, int entry);
    // A click on the list. `cell` is the clicked cell's rectangle and
    // markWidth/markHeight the removal mark's size (0 when it is missing).
    void listClicked(size_t row, size_t column, int32_t x, int32_t y, const PanelRect& cell, int32_t markWidth,
                     int32_t markHeight);
    // OK saves what is unsaved and ends the dialog; a save that fails keeps
    // it open.
    void okPressed();
    void cancelPressed();
    // Saves what is unsaved. False when a save failed (the user was told).
    bool apply();
    // Leaves the registry's handler list: no device event reaches the
    // dialog after this. Idempotent.
    void closeDialog();

    // Painting: the pair of drop-downs the row's routing cells turn into
    // when it is selected.
    enum class RoutingPair { None, Inputs, Outputs };
    RoutingPair routingPairOfRow(size_t row);

    // ----------------------------------------- DeviceInfo::EventHandlerIf
    void deviceStateChanged(DeviceInfo* record, int32_t newState, int32_t oldState) override;

private:
    struct DeviceEvent;
    class RegistryHold;
    struct RowPlace;

    void setState(int32_t state);
    void markChanged();
    void bringToFront();

    // Runs on the dialog's thread.
    void handleDeviceEvent(const DeviceEvent* event);
    void forgetUnit(AsioDeviceInfo* unit);
    bool rememberUnit(AsioDeviceInfo* unit);
    AsioDeviceInfo* unitAt(uint64_t index) const;

    bool isListed(const AsioDeviceInfo& unit, size_t configuration) const;
    size_t firstRowOf(uint64_t index);
    bool placeOfRow(size_t row, RowPlace* place);
    void addDeviceRows(AsioDeviceInfo& unit);
    void removeDeviceRows(uint64_t index, bool recordDeleted);
    void updateDeviceRows(uint64_t index);
    void writeRowTexts(size_t row, const RowPlace& place, bool withUnitTexts);
    void showRoutingControls(size_t row);
    void setRouting(size_t row, int side, int entry);
    void removeDeviceSettings(AsioDeviceInfo* unit);
    bool saveAll(char* failure, size_t size);

    AsioDeviceRegistry& registry_;
    const AsioBrandIf* brand_;
    Preferences& preferences_;
    PanelViewIf& view_;
    FailureRecordingStore* failures_;
    os::Handle panelOpenEvent_;
    WorkerThread* worker_;
    const PanelColumns columns_;
    int32_t state_ = kStateSaved;
    bool registered_ = false;
    // The registry's records as the events told them, by index; changed and
    // read on the dialog's thread only, so that finding a row's unit never
    // needs the registry's lock.
    Vector<AsioDeviceInfo*> units_;
};
