#include "panel/control_panel.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "base/functor.h"
#include "base/utilities.h"
#include "base/worker_thread.h"
#include "brands/brand_asio.h"
#include "panel/failure_recording_store.h"
#include "platform/trace.h"

namespace {

// How long the dialog's thread waits for the polling thread's requests
// between two attempts at the registry's lock.
constexpr uint32_t kLockRetryMs = 5;

constexpr size_t kNoRow = PanelViewIf::kNoRow;

// The key of a row whose unit was deleted but which the list would not
// let go: it names no record, so nothing edits through it.
constexpr uint64_t kOrphanRowKey = UINT64_MAX;

}  // namespace

struct ControlPanel::DeviceEvent {
    DeviceInfo* record;
    int32_t newState;
    int32_t oldState;
};

// Where a row belongs, resolved from its key.
struct ControlPanel::RowPlace {
    AsioDeviceInfo* unit = nullptr;
    size_t configurationIndex = 0;
    AsioDeviceConfigurationIf* configuration = nullptr;
    size_t group = 0;
    const AsioChannelGroup* channelGroup = nullptr;
    // The group's left hardware channel; the right one follows it.
    size_t leftChannel = 0;

    bool isInput() const { return channelGroup->isInput; }
    uint8_t routing(int side) const {
        const size_t channel = leftChannel + static_cast<size_t>(side);
        return isInput() ? configuration->getInputAsioChannel(channel) : configuration->getOutputAsioChannel(channel);
    }
};

// Holds the registry's lock for the dialog's thread. The polling thread
// calls the panel with the lock held and waits until the dialog's thread
// has run the call, so while the lock is taken that thread keeps serving
// those calls instead of blocking.
class ControlPanel::RegistryHold {
public:
    explicit RegistryHold(ControlPanel& panel) : guard_(panel.registry_) {
        while (!guard_.acquire()) panel.view_.serveDialogThreadRequests(kLockRetryMs);
    }

private:
    DeviceRegistry::TryGuard guard_;
};

ControlPanel::ControlPanel(AsioDeviceRegistry& registry, Preferences& preferences, os::Handle panelOpenEvent,
                           PanelViewIf& view, FailureRecordingStore* failures)
    : registry_(registry),
      brand_(AsioBrandIf::getActiveBrand()),
      preferences_(preferences),
      view_(view),
      failures_(failures),
      panelOpenEvent_(panelOpenEvent),
      worker_(new (std::nothrow) WorkerThread()),
      columns_(*brand_) {}

ControlPanel::~ControlPanel() {
    // The worker runs bringToFront on this object: it ends first.
    if (worker_ != nullptr) {
        worker_->stop();
        delete worker_;
    }
    closeDialog();
}

bool ControlPanel::open() {
    TRACE_ENTER("ControlPanel::open");
    if (!view_.initializeControls()) {
        TRACE("Failed to initialize common controls");
        TRACE_LEAVE_INT("ControlPanel::open", false);
        return false;
    }
    // Nothing is registered for events yet, so no pass waits for this thread.
    registry_.makeRestorePoint();
    preferences_.makeRestorePoint();
    if (worker_ != nullptr && worker_->isCreated() && panelOpenEvent_ != nullptr) {
        FunctorIf* toFront = new (std::nothrow) MemberFunctor<ControlPanel>(this, &ControlPanel::bringToFront);
        if (toFront != nullptr && worker_->addWait(panelOpenEvent_, toFront))
            worker_->resume();
        else
            TRACE("Failed to watch the panel-open event");
    }
    int32_t result = 0;
    uint32_t error = 0;
    const bool ran = view_.runDialog(*this, &result, &error);
    closeDialog();
    if (!ran) {
        TRACE("Failed to open dialog (%s)", getSystemErrorText(error));
        TRACE_LEAVE_INT("ControlPanel::open", false);
        return false;
    }
    // OK and Apply have saved and taken restore points; whatever is left
    // since the last of them was not saved and is discarded.
    registry_.rollbackChanges();
    preferences_.rollbackChanges();
    TRACE_LEAVE_INT("ControlPanel::open", true);
    return true;
}

size_t ControlPanel::sliderSteps() const { return brand_->getBufferSizeModel()->getNumberOfSteps(); }

size_t ControlPanel::tickFrequency() const { return brand_->getBufferSizeModel()->getTickFrequency(); }

void ControlPanel::setState(int32_t state) {
    state_ = state;
    view_.setApplyEnabled(state != kStateSaved);
}

void ControlPanel::markChanged() {
    if (state_ != kStateNewUnit) setState(kStateChanged);
}

void ControlPanel::bringToFront() { view_.bringToFront(); }

void ControlPanel::dialogCreated() {
    TRACE_ENTER("ControlPanel::dialogCreated");
    bufferLengthChanged(preferences_.getBufferSizeStep());
    // The registry replays every record on this thread before it returns.
    // No pass can wait for this thread yet: the panel is not registered.
    registered_ = registry_.addEventHandler(this);
    if (!registered_) TRACE("Failed to register for device events");
    TRACE_LEAVE("ControlPanel::dialogCreated");
}

void ControlPanel::bufferLengthChanged(size_t position) {
    const AsioBufferSizeModelIf* model = brand_->getBufferSizeModel();
    if (position >= model->getNumberOfSteps()) return;
    if (position != preferences_.getBufferSizeStep()) {
        markChanged();
        preferences_.setBufferSizeStep(position);
    }
    char label[128];
    model->formatBufferLength(position, label, sizeof label);
    view_.setBufferLengthText(label);
}

void ControlPanel::rowSelectionChanged(size_t row, bool selected) { showRoutingControls(selected ? row : kNoRow); }

void ControlPanel::routingChosen(RoutingControl control, int entry) {
    const size_t row = view_.selectedRow();
    RowPlace place;
    if (row == kNoRow || !placeOfRow(row, &place)) return;
    const bool inputControl = control == RoutingControl::LeftInput || control == RoutingControl::RightInput;
    // Only the pair matching the row is shown; a choice in the other pair
    // would name a channel of the wrong direction.
    if (inputControl != place.isInput()) return;
    const int side = control == RoutingControl::RightInput || control == RoutingControl::RightOutput ? 1 : 0;
    setRouting(row, side, entry);
}

void ControlPanel::listClicked(size_t row, size_t column, int32_t x, int32_t y, const PanelRect& cell,
                               int32_t markWidth, int32_t markHeight) {
    if (!brand_->showsDeviceStatus() || markWidth <= 0 || markHeight <= 0 || column != 0) return;
    RowPlace place;
    if (!placeOfRow(row, &place) || place.group != 0) return;
    if (!removalMarkRect(cell, markWidth, markHeight).contains(x, y)) return;
    if (deviceStatus(*place.unit, place.unit->getConfiguration(0)) != DeviceStatus::Disconnected) return;
    if (!view_.askYesNo("Are you sure that you want to remove settings of this device?", "Device removal")) return;
    removeDeviceSettings(place.unit);
}

void ControlPanel::okPressed() {
    TRACE_ENTER("ControlPanel::okPressed");
    if (apply()) {
        closeDialog();
        view_.endDialog(state_);
    }
    TRACE_LEAVE("ControlPanel::okPressed");
}

void ControlPanel::cancelPressed() {
    TRACE_ENTER("ControlPanel::cancelPressed");
    closeDialog();
    view_.endDialog(0);
    TRACE_LEAVE("ControlPanel::cancelPressed");
}

void ControlPanel::closeDialog() {
    if (!registered_) return;
    RegistryHold hold(*this);
    registry_.removeEventHandler(this);
    registered_ = false;
}

bool ControlPanel::apply() {
    TRACE_ENTER("ControlPanel::apply");
    if (state_ == kStateSaved) {
        TRACE_LEAVE_INT("ControlPanel::apply", true);
        return true;
    }
    char failure[768];
    if (!saveAll(failure, sizeof failure)) {
        // Nothing tells the driver: what it would read is not what the user
        // chose. Apply stays enabled for another attempt.
        view_.showError(failure, "Error");
        TRACE_LEAVE_INT("ControlPanel::apply", false);
        return false;
    }
    char name[128];
    std::snprintf(name, sizeof name, "%sConfigurationChanged", brand_->getDriverId());
    os::Handle changed = os::openEvent(name);
    if (changed != nullptr) {
        os::setEvent(changed);
        os::closeHandle(changed);
    } else {
        TRACE("Failed to open configuration event. ASIO driver is not running.");
    }
    setState(kStateSaved);
    TRACE_LEAVE_INT("ControlPanel::apply", true);
    return true;
}

// Writes the units and the buffer length, and takes new restore points of
// what was written. False with a message for the user when any part failed.
bool ControlPanel::saveAll(char* failure, size_t size) {
    uint32_t unitsError = 0, bufferError = 0;
    bool unitsSaved = false;
    {
        RegistryHold hold(*this);
        if (failures_ != nullptr) failures_->forgetFailure();
        unitsSaved = registry_.saveSettings();
        if (failures_ != nullptr) unitsError = failures_->lastFailure();
        if (unitsSaved) {
            registry_.makeRestorePoint();
            // Their settings are stored now: a unit coming back is no longer new.
            for (size_t i = 0; i < units_.size(); ++i) units_[i]->setFromSettings(true);
        }
    }
    if (failures_ != nullptr) failures_->forgetFailure();
    const bool bufferSaved = preferences_.save();
    if (failures_ != nullptr) bufferError = failures_->lastFailure();
    if (bufferSaved) preferences_.makeRestorePoint();
    if (unitsSaved && bufferSaved) return true;

    size_t used = 0;
    auto add = [&](const char* what, uint32_t error) {
        const char* reason = error != 0 ? getSystemErrorText(error) : "The reason is unknown.";
        const int n = std::snprintf(failure + used, size - used, "Failed to save %s:\n%s\n\n", what, reason);
        if (n > 0) used = std::min(size - 1, used + static_cast<size_t>(n));
    };
    failure[0] = '\0';
    if (!unitsSaved) add("the settings of the devices", unitsError);
    if (!bufferSaved) add("the buffer length", bufferError);
    std::snprintf(failure + used, size - used, "%s",
                  "The running driver was not told of the changes. Press Apply to try again, or Cancel to "
                  "discard the changes that were not saved.");
    return false;
}

ControlPanel::RoutingPair ControlPanel::routingPairOfRow(size_t row) {
    RowPlace place;
    if (!placeOfRow(row, &place)) return RoutingPair::None;
    return place.isInput() ? RoutingPair::Inputs : RoutingPair::Outputs;
}

// ------------------------------------------------------------ device events

void ControlPanel::deviceStateChanged(DeviceInfo* record, int32_t newState, int32_t oldState) {
    DeviceEvent event{record, newState, oldState};
    MemberFunctor1<ControlPanel, const DeviceEvent*> work(this, &ControlPanel::handleDeviceEvent, &event);
    view_.runOnDialogThread(work);
}

void ControlPanel::handleDeviceEvent(const DeviceEvent* event) {
    // The ASIO registry makes ASIO records only.
    AsioDeviceInfo* unit = dynamic_cast<AsioDeviceInfo*>(event->record);
    if (unit == nullptr) return;
    const int32_t n = event->newState, o = event->oldState;
    // Creation and deletion first: the missing record's state, -1, has
    // every flag set and would look like a connection or a disconnection.
    const bool added = DeviceInfo::wasAdded(n, o);
    const bool removed = !added && DeviceInfo::wasRemoved(n, o);
    const bool connected = !added && !removed && DeviceInfo::wasConnected(n, o);
    const bool disconnected = !added && !removed && DeviceInfo::wasDisconnected(n, o);
    const bool everyUnit = brand_->showsDeviceStatus();
    if (added && !rememberUnit(unit)) {
        TRACE("Out of memory");
        return;
    }
    const uint64_t index = unit->getIndex();
    if ((added && everyUnit) || (connected && !everyUnit)) {
        if (!unit->isFromSettings()) setState(kStateNewUnit);
        addDeviceRows(*unit);
    } else if (removed || (disconnected && !everyUnit)) {
        // A deleted record loses its rows whatever the brand shows.
        removeDeviceRows(index, removed);
    }
    if (removed) {
        forgetUnit(unit);
        showRoutingControls(view_.selectedRow());
        return;
    }
    if (firstRowOf(index) == kNoRow) {
        showRoutingControls(view_.selectedRow());
        return;
    }
    updateDeviceRows(index);
    // The drop-downs show the selected row's routing, which may be this unit's.
    showRoutingControls(view_.selectedRow());
}

bool ControlPanel::rememberUnit(AsioDeviceInfo* unit) {
    for (size_t i = 0; i < units_.size(); ++i)
        if (units_[i] == unit) return true;
    const uint64_t index = unit->getIndex();
    return units_.insert(index < units_.size() ? static_cast<size_t>(index) : units_.size(), unit);
}

void ControlPanel::forgetUnit(AsioDeviceInfo* unit) {
    for (size_t i = 0; i < units_.size(); ++i) {
        if (units_[i] == unit) {
            units_.remove(i);
            return;
        }
    }
}

AsioDeviceInfo* ControlPanel::unitAt(uint64_t index) const {
    if (index < units_.size() && units_[static_cast<size_t>(index)]->getIndex() == index)
        return units_[static_cast<size_t>(index)];
    for (size_t i = 0; i < units_.size(); ++i)
        if (units_[i]->getIndex() == index) return units_[i];
    return nullptr;
}

// ------------------------------------------------------------------- rows

bool ControlPanel::isListed(const AsioDeviceInfo& unit, size_t configuration) const {
    if (configuration >= kMaxListedConfigurations) return false;
    return brand_->showsAllConfigurations() || unit.getConfiguration(configuration) == unit.getActiveConfiguration();
}

size_t ControlPanel::firstRowOf(uint64_t index) {
    const size_t count = view_.rowCount();
    for (size_t row = 0; row < count; ++row) {
        uint64_t key = 0;
        if (view_.getRowKey(row, &key) && key != kOrphanRowKey && rowKeyRecord(key) == index) return row;
    }
    return kNoRow;
}

bool ControlPanel::placeOfRow(size_t row, RowPlace* place) {
    uint64_t key = 0;
    if (row == kNoRow || !view_.getRowKey(row, &key) || key == kOrphanRowKey) return false;
    place->unit = unitAt(rowKeyRecord(key));
    if (place->unit == nullptr) return false;
    place->configurationIndex = rowKeyConfiguration(key);
    place->configuration = place->unit->getConfiguration(place->configurationIndex);
    if (place->configuration == nullptr) return false;
    place->group = rowKeyGroup(key);
    place->channelGroup = place->configuration->getChannelGroup(place->group);
    if (place->channelGroup == nullptr) return false;
    size_t before = 0;
    for (size_t g = 0; g < place->group; ++g) {
        const AsioChannelGroup* other = place->configuration->getChannelGroup(g);
        if (other != nullptr && other->isInput == place->channelGroup->isInput) ++before;
    }
    place->leftChannel = 2 * before;
    return true;
}

void ControlPanel::addDeviceRows(AsioDeviceInfo& unit) {
    const uint64_t index = unit.getIndex();
    if (firstRowOf(index) != kNoRow) return;
    // Units are ordered by serial number, a new one after those it equals.
    const size_t count = view_.rowCount();
    size_t position = count;
    bool havePrevious = false;
    uint64_t previous = 0;
    for (size_t row = 0; row < count; ++row) {
        uint64_t key = 0;
        if (!view_.getRowKey(row, &key) || key == kOrphanRowKey) continue;
        const uint64_t other = rowKeyRecord(key);
        if (havePrevious && other == previous) continue;
        havePrevious = true;
        previous = other;
        const AsioDeviceInfo* listed = unitAt(other);
        if (listed != nullptr && std::strcmp(unit.getSerialNumber(), listed->getSerialNumber()) < 0) {
            position = row;
            break;
        }
    }
    for (size_t c = 0; c < unit.getNumberOfConfigurations(); ++c) {
        if (!isListed(unit, c)) continue;
        AsioDeviceConfigurationIf* configuration = unit.getConfiguration(c);
        const size_t groups = configuration->getNumberOfChannelGroups();
        bool first = true;
        for (size_t g = 0; g < groups && g < kMaxListedGroups; ++g) {
            if (!view_.insertRow(position, makeRowKey(index, c, g))) {
                TRACE("Failed to insert a row for %s", unit.getSerialNumber());
                continue;
            }
            RowPlace place;
            if (placeOfRow(position, &place)) writeRowTexts(position, place, first);
            first = false;
            ++position;
        }
    }
}

void ControlPanel::writeRowTexts(size_t row, const RowPlace& place, bool withUnitTexts) {
    char text[kCellTextSize];
    for (size_t column = 0; column < columns_.count(); ++column) {
        text[0] = '\0';
        switch (columns_.kind(column)) {
            case PanelColumn::Device:
                if (withUnitTexts) formatDeviceText(*place.unit, text, sizeof text);
                break;
            case PanelColumn::Mode:
                if (withUnitTexts && place.configuration->getConfigurationName() != nullptr)
                    std::snprintf(text, sizeof text, "%s", place.configuration->getConfigurationName());
                break;
            case PanelColumn::Status:
                if (withUnitTexts)
                    std::snprintf(text, sizeof text, "%s", statusText(deviceStatus(*place.unit, place.configuration)));
                break;
            case PanelColumn::Group:
                std::snprintf(text, sizeof text, "%s", place.channelGroup->label);
                break;
            case PanelColumn::LeftChannel:
            case PanelColumn::RightChannel:
                formatRoutingText(place.routing(columns_.kind(column) == PanelColumn::RightChannel ? 1 : 0),
                                  place.isInput(), text, sizeof text);
                break;
        }
        view_.setCellText(row, column, text);
    }
}

void ControlPanel::removeDeviceRows(uint64_t index, bool recordDeleted) {
    const size_t first = firstRowOf(index);
    if (first != kNoRow) {
        // The unit's rows are contiguous: delete while they are its own.
        for (;;) {
            uint64_t key = 0;
            if (first >= view_.rowCount() || !view_.getRowKey(first, &key) || key == kOrphanRowKey ||
                rowKeyRecord(key) != index)
                break;
            if (!view_.deleteRow(first)) {
                TRACE("Failed to delete a row of unit %u", static_cast<unsigned>(index));
                break;
            }
        }
    }
    if (!recordDeleted) return;
    // The registry renumbers the records behind a deleted one; rows follow.
    const size_t count = view_.rowCount();
    for (size_t row = 0; row < count; ++row) {
        uint64_t key = 0;
        if (!view_.getRowKey(row, &key) || key == kOrphanRowKey) continue;
        if (rowKeyRecord(key) == index)
            view_.setRowKey(row, kOrphanRowKey);
        else if (rowKeyRecord(key) > index)
            view_.setRowKey(row, key - kRowKeyRecordStride);
    }
}

void ControlPanel::updateDeviceRows(uint64_t index) {
    const size_t statusColumn = columns_.indexOf(PanelColumn::Status);
    const size_t leftColumn = columns_.indexOf(PanelColumn::LeftChannel);
    const size_t rightColumn = columns_.indexOf(PanelColumn::RightChannel);
    const size_t count = view_.rowCount();
    for (size_t row = 0; row < count; ++row) {
        uint64_t key = 0;
        RowPlace place;
        if (!view_.getRowKey(row, &key) || rowKeyRecord(key) != index || !placeOfRow(row, &place)) continue;
        char text[kCellTextSize];
        if (place.group == 0 && statusColumn != PanelColumns::kNone)
            view_.setCellText(row, statusColumn, statusText(deviceStatus(*place.unit, place.configuration)));
        formatRoutingText(place.routing(0), place.isInput(), text, sizeof text);
        view_.setCellText(row, leftColumn, text);
        formatRoutingText(place.routing(1), place.isInput(), text, sizeof text);
        view_.setCellText(row, rightColumn, text);
        view_.redrawRow(row);
    }
}

void ControlPanel::showRoutingControls(size_t row) {
    RowPlace place;
    if (row == kNoRow || !placeOfRow(row, &place)) {
        view_.hideRoutingControls();
        return;
    }
    const bool input = place.isInput();
    view_.selectRoutingEntry(input ? RoutingControl::LeftInput : RoutingControl::LeftOutput,
                             routingEntryOfValue(place.routing(0)));
    view_.selectRoutingEntry(input ? RoutingControl::RightInput : RoutingControl::RightOutput,
                             routingEntryOfValue(place.routing(1)));
}

void ControlPanel::setRouting(size_t row, int side, int entry) {
    uint8_t value = 0;
    RowPlace place;
    if (!routingValueOfEntry(entry, &value) || !placeOfRow(row, &place)) return;
    if (place.routing(side) == value) return;
    const size_t channel = place.leftChannel + static_cast<size_t>(side);
    if (place.isInput())
        place.configuration->setInputAsioChannel(channel, value);
    else
        place.configuration->setOutputAsioChannel(channel, value);
    char text[kCellTextSize];
    formatRoutingText(place.routing(side), place.isInput(), text, sizeof text);
    view_.setCellText(row, columns_.indexOf(side == 0 ? PanelColumn::LeftChannel : PanelColumn::RightChannel), text);
    view_.redrawRow(row);
    markChanged();
}

void ControlPanel::removeDeviceSettings(AsioDeviceInfo* unit) {
    bool removed = false;
    {
        // The registry tells the handlers, this panel among them, on this
        // thread: the unit's rows go before the record does.
        RegistryHold hold(*this);
        removed = registry_.removeDevice(unit);
    }
    if (removed) markChanged();
}
