// What the settings dialog shows, decided without any window: the columns of
// the device list for the active brand, the row keys, the texts of the
// cells and of the routing drop-downs, unit status, and where the removal
// mark sits in a cell. The dialog's logic (ControlPanel) and its Win32 view
// both read these.
#pragma once

#include <cstddef>
#include <cstdint>

class AsioBrandIf;
class AsioDeviceInfo;
class AsioDeviceConfigurationIf;

// ------------------------------------------------------------------ columns

enum class PanelColumn { Device, Mode, Status, Group, LeftChannel, RightChannel };

// The device list's columns for a brand, in order: "Device", "Mode" (when
// the brand shows the configuration mode), "Status" (when it has a status
// column), "Ch. Group", "Left Channel", "Right Channel".
class PanelColumns {
public:
    static constexpr size_t kMaxColumns = 6;
    static constexpr size_t kNone = static_cast<size_t>(-1);

    explicit PanelColumns(const AsioBrandIf& brand);

    size_t count() const { return count_; }
    PanelColumn kind(size_t index) const { return kinds_[index]; }
    const char* title(size_t index) const;
    // In pixels, for the dialog's reference font ("MS Shell Dlg" 8 pt at
    // 96 dots per inch, 4 horizontal dialog units = 6 pixels).
    int32_t width(size_t index) const;
    // The width to give a column in a dialog whose 4 horizontal dialog
    // units measure `quarterCharWidth` pixels and whose font draws the
    // column's title `titleWidth` pixels wide: a larger font or resolution
    // widens the columns in step, and a title never gets cut; never
    // narrower than width(index).
    int32_t width(size_t index, int32_t quarterCharWidth, int32_t titleWidth) const;
    // The column's index, or kNone when the brand does not show it.
    size_t indexOf(PanelColumn column) const;

private:
    PanelColumn kinds_[kMaxColumns];
    size_t count_ = 0;
};

// ----------------------------------------------------------------- row keys

// Every row carries a key naming its unit (the record's index in the
// registry), the configuration and the channel group:
// record x 64 + configuration x 16 + group.
constexpr uint64_t kRowKeyRecordStride = 64;
constexpr uint64_t kRowKeyConfigurationStride = 16;
constexpr size_t kMaxListedConfigurations = 4;
constexpr size_t kMaxListedGroups = 16;

inline uint64_t makeRowKey(uint64_t record, size_t configuration, size_t group) {
    return record * kRowKeyRecordStride + configuration * kRowKeyConfigurationStride + group;
}
inline uint64_t rowKeyRecord(uint64_t key) { return key / kRowKeyRecordStride; }
inline size_t rowKeyConfiguration(uint64_t key) {
    return static_cast<size_t>(key % kRowKeyRecordStride / kRowKeyConfigurationStride);
}
inline size_t rowKeyGroup(uint64_t key) { return static_cast<size_t>(key % kRowKeyConfigurationStride); }

// -------------------------------------------------------------------- texts

// Every text of a cell fits this many bytes with its terminator.
constexpr size_t kCellTextSize = 64;

// "QELM (AB12-CD34)": the model's name and the serial number.
void formatDeviceText(const AsioDeviceInfo& unit, char* text, size_t size);
// "In 3" / "Out 3" for routing value 2; "Disabled" for any value that routes
// the channel nowhere (255, and whatever else is not an ASIO channel).
void formatRoutingText(uint8_t value, bool isInput, char* text, size_t size);

// The routing drop-downs list "Disabled", then "In 1" ... "In 16" (or
// "Out ..."): entry k is routing value k - 1, entry 0 is disabled.
constexpr int kRoutingEntries = 17;
void formatRoutingEntry(int entry, bool isInput, char* text, size_t size);
// The entry showing a routing value (0 for a value routed nowhere).
int routingEntryOfValue(uint8_t value);
// False for an entry outside 0 .. kRoutingEntries - 1 (nothing chosen).
bool routingValueOfEntry(int entry, uint8_t* value);

// Status of a unit's configuration: disconnected when the unit is not
// available, else connected when it is the active configuration, else not
// active. ("Disabled" and "In use" are never produced.)
enum class DeviceStatus { Disabled = 0, Disconnected = 1, NotActive = 2, InUse = 3, Connected = 4 };
DeviceStatus deviceStatus(const AsioDeviceInfo& unit, const AsioDeviceConfigurationIf* configuration);
const char* statusText(DeviceStatus status);

// --------------------------------------------------------------- the mark

struct PanelRect {
    int32_t left = 0, top = 0, right = 0, bottom = 0;
    bool contains(int32_t x, int32_t y) const { return x >= left && x < right && y >= top && y < bottom; }
};

// Where the removal mark of that size sits in a cell: 4 pixels from its
// right edge, centred vertically.
PanelRect removalMarkRect(const PanelRect& cell, int32_t markWidth, int32_t markHeight);
