#include "devices/device_model.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/utilities.h"
#include "platform/device.h"
#include "platform/trace.h"

namespace {

// The serial number string descriptor is read into this many UTF-16 units.
constexpr size_t kSerialUnits = 128;

bool isSerialCharacter(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == ' ' || c == '-';
}

// Cleans the UTF-16 (little-endian) serial string into `output`; returns the
// number of characters kept.
size_t cleanSerial(const uint8_t* units, size_t unitCount, char* output, size_t length) {
    size_t stored = 0;
    size_t keep = 0;  // one past the last stored character that is not a space
    for (size_t i = 0; i < unitCount && stored + 1 < length; ++i) {
        const uint16_t unit = static_cast<uint16_t>(units[2 * i] | (units[2 * i + 1] << 8));
        if (unit == 0) break;
        const char c = static_cast<char>(unit & 0xFF);
        if (!isSerialCharacter(c)) break;
        output[stored++] = c;
        if (c != ' ') keep = stored;
    }
    // A serial of spaces only keeps them; it is judged by its length alone.
    const size_t end = keep != 0 ? keep : stored;
    output[end] = '\0';
    return end;
}

}  // namespace

bool DeviceModelAbs::contains(const char* text, const char* pattern) {
    return findTextNoCase(text, pattern) != nullptr;
}

bool DeviceModelAbs::readDeviceId(DEVINST node, char* output, size_t length) {
    os::DeviceBoundaryIf& boundary = os::deviceBoundary();
    ULONG size = 0;
    if (boundary.cmGetDeviceIdSize(&size, node, 0) != CR_SUCCESS) return false;
    if (static_cast<size_t>(size) + 1 > length) return false;
    if (boundary.cmGetDeviceId(node, output, static_cast<ULONG>(length), 0) != CR_SUCCESS) return false;
    // The identifier may have changed since its size was asked; the buffer
    // ends with a terminator whatever the system left in it.
    output[size] = '\0';
    return true;
}

bool DeviceModelAbs::findHidByParentWalk(DEVINST audioNode, char* output, size_t length, const char* siblingPattern,
                                         bool traceNodes) {
    if (output == nullptr || length == 0) return false;
    output[0] = '\0';
    os::DeviceBoundaryIf& boundary = os::deviceBoundary();
    char id[kHidDeviceIdLength];

    DEVINST parent = 0;
    if (boundary.cmGetParent(&parent, audioNode, 0) != CR_SUCCESS) return false;
    if (traceNodes && readDeviceId(parent, id, sizeof(id))) TRACE("DevId: (%s) %s", "parent (usb combosite)", id);

    DEVINST child = 0;
    CONFIGRET next = boundary.cmGetChild(&child, parent, 0);
    for (; next == CR_SUCCESS; next = boundary.cmGetSibling(&child, child, 0)) {
        // Identifiers longer than the caller's buffer are skipped: the HID
        // path built from them could not fit either.
        ULONG size = 0;
        if (boundary.cmGetDeviceIdSize(&size, child, 0) != CR_SUCCESS || size + 1 > length) continue;
        if (!readDeviceId(child, id, sizeof(id))) continue;
        if (traceNodes) TRACE("DevId: (%s) %s", "child (sibling of usb audio device)", id);
        if (!contains(id, siblingPattern)) continue;

        // One HID device per top-level collection: the first that the
        // system lists a HID interface for will do.
        DEVINST hid = 0;
        for (CONFIGRET more = boundary.cmGetChild(&hid, child, 0); more == CR_SUCCESS;
             more = boundary.cmGetSibling(&hid, hid, 0)) {
            if (!readDeviceId(hid, id, sizeof(id))) continue;
            if (traceNodes) TRACE("DevId: (%s) %s", "child of child (hid control device)", id);
            if (hidInterfacePath(id, output, length)) return true;
        }
    }
    return false;
}

bool DeviceModelAbs::hidInterfacePath(const char* hidDeviceId, char* output, size_t length) {
    // The system's own path, not one built from a prefix: a device with
    // several collections carries &Col01-style parts the prefix lacks.
    std::vector<std::string> paths;
    if (os::deviceBoundary().cmGetDeviceInterfaceList(ksabi::kHidInterfaceClass, hidDeviceId, paths) != CR_SUCCESS)
        return false;
    for (const std::string& path : paths) {
        // A cut path would name another device, or none.
        if (path.empty() || path.size() + 1 > length) {
            TRACE("HID device path does not fit %u characters", static_cast<unsigned>(length));
            continue;
        }
        std::memcpy(output, path.c_str(), path.size() + 1);
        return true;
    }
    return false;
}

bool DeviceModelAbs::getSerial(const char* hidDevicePath, char* output, size_t length) const {
    if (hidDevicePath == nullptr || output == nullptr || length == 0) return false;
    output[0] = '\0';
    os::DeviceBoundaryIf& boundary = os::deviceBoundary();
    HANDLE hid = boundary.openDevice(hidDevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL);
    if (hid == INVALID_HANDLE_VALUE || hid == nullptr) {
        TRACE("Failed to open HID device (%s) for serial number query", hidDevicePath);
        return false;
    }
    uint8_t units[kSerialUnits * 2];
    std::memset(units, 0, sizeof(units));
    if (!boundary.hidGetSerialNumberString(hid, units, sizeof(units))) {
        boundary.closeDevice(hid);
        return false;
    }
    const size_t kept = cleanSerial(units, kSerialUnits, output, length);
    boundary.closeDevice(hid);
    return kept >= kMinSerialCharacters;
}
