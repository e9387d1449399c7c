#include "panel/panel_layout.h"

#include <cstdio>

#include "brands/asio_device_info.h"
#include "brands/brand_asio.h"
#include "devices/device_model.h"

namespace {

struct ColumnLook {
    const char* title;
    int32_t width;
};

// Indexed by PanelColumn.
constexpr ColumnLook kColumnLooks[] = {
    {"Device", 116}, {"Mode", 70}, {"Status", 80}, {"Ch. Group", 72}, {"Left Channel", 84}, {"Right Channel", 84},
};

constexpr int32_t kRemovalMarkMargin = 4;
// What a column header needs beside its title: its margins and divider.
constexpr int32_t kTitleMargin = 16;
// Pixels of 4 horizontal dialog units in the reference font.
constexpr int32_t kReferenceQuarterCharWidth = 6;

}  // namespace

PanelColumns::PanelColumns(const AsioBrandIf& brand) {
    kinds_[count_++] = PanelColumn::Device;
    if (brand.showsConfigurationMode()) kinds_[count_++] = PanelColumn::Mode;
    if (brand.hasStatusColumn()) kinds_[count_++] = PanelColumn::Status;
    kinds_[count_++] = PanelColumn::Group;
    kinds_[count_++] = PanelColumn::LeftChannel;
    kinds_[count_++] = PanelColumn::RightChannel;
}

const char* PanelColumns::title(size_t index) const { return kColumnLooks[static_cast<int>(kinds_[index])].title; }

int32_t PanelColumns::width(size_t index) const { return kColumnLooks[static_cast<int>(kinds_[index])].width; }

int32_t PanelColumns::width(size_t index, int32_t quarterCharWidth, int32_t titleWidth) const {
    int32_t result = width(index);
    if (quarterCharWidth > kReferenceQuarterCharWidth)
        result = (result * quarterCharWidth + kReferenceQuarterCharWidth / 2) / kReferenceQuarterCharWidth;
    return titleWidth + kTitleMargin > result ? titleWidth + kTitleMargin : result;
}

size_t PanelColumns::indexOf(PanelColumn column) const {
    for (size_t i = 0; i < count_; ++i)
        if (kinds_[i] == column) return i;
    return kNone;
}

void formatDeviceText(const AsioDeviceInfo& unit, char* text, size_t size) {
    const DeviceModelIf* model = unit.getModel();
    std::snprintf(text, size, "%s (%s)", model != nullptr ? model->getName() : "?", unit.getSerialNumber());
}

void formatRoutingText(uint8_t value, bool isInput, char* text, size_t size) {
    formatRoutingEntry(routingEntryOfValue(value), isInput, text, size);
}

void formatRoutingEntry(int entry, bool isInput, char* text, size_t size) {
    if (entry <= 0 || entry >= kRoutingEntries)
        std::snprintf(text, size, "Disabled");
    else
        std::snprintf(text, size, isInput ? "In %i" : "Out %i", entry);
}

int routingEntryOfValue(uint8_t value) { return value < kAsioRoutingChannels ? value + 1 : 0; }

bool routingValueOfEntry(int entry, uint8_t* value) {
    if (entry < 0 || entry >= kRoutingEntries) return false;
    *value = entry == 0 ? kAsioRoutingDisabled : static_cast<uint8_t>(entry - 1);
    return true;
}

DeviceStatus deviceStatus(const AsioDeviceInfo& unit, const AsioDeviceConfigurationIf* configuration) {
    if (!unit.isAvailable()) return DeviceStatus::Disconnected;
    return configuration != nullptr && configuration == unit.getActiveConfiguration() ? DeviceStatus::Connected
                                                                                       : DeviceStatus::NotActive;
}

const char* statusText(DeviceStatus status) {
    switch (status) {
        case DeviceStatus::Disabled: return "Disabled";
        case DeviceStatus::Disconnected: return "Disconnected";
        case DeviceStatus::NotActive: return "Not active";
        case DeviceStatus::InUse: return "In use";
        case DeviceStatus::Connected: return "Connected";
    }
    return "";
}

PanelRect removalMarkRect(const PanelRect& cell, int32_t markWidth, int32_t markHeight) {
    PanelRect mark;
    mark.left = cell.right - markWidth - kRemovalMarkMargin;
    mark.top = cell.top + (cell.bottom - cell.top - markHeight) / 2;
    mark.right = mark.left + markWidth;
    mark.bottom = mark.top + markHeight;
    return mark;
}
