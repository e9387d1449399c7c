#include "devices/orlo_device_models.h"

#include <cstring>

#include "platform/device.h"

bool OrloFenroDeviceModel::findHidDevice(DEVINST audioNode, char* output, size_t length) const {
    if (output == nullptr || length == 0) return false;
    os::DeviceBoundaryIf& boundary = os::deviceBoundary();
    DEVINST codec = 0;
    DEVINST hub = 0;
    if (boundary.cmGetParent(&codec, audioNode, 0) != CR_SUCCESS) return false;
    if (boundary.cmGetParent(&hub, codec, 0) != CR_SUCCESS) return false;

    DEVINST child = 0;
    for (CONFIGRET next = boundary.cmGetChild(&child, hub, 0); next == CR_SUCCESS;
         next = boundary.cmGetSibling(&child, child, 0)) {
        if (readDeviceId(child, output, length) && contains(output, "USB\\VID_2F9A&PID_0100")) return true;
    }
    output[0] = '\0';
    return false;
}

bool OrloFenroDeviceModel::getSerial(const char* instanceId, char* output, size_t length) const {
    if (instanceId == nullptr || output == nullptr || length == 0) return false;
    const char* lastBackslash = std::strrchr(instanceId, '\\');
    if (lastBackslash == nullptr) return false;
    const char* serial = lastBackslash + 1;
    const char* underscore = std::strchr(serial, '_');
    const size_t count = underscore != nullptr ? static_cast<size_t>(underscore - serial) : std::strlen(serial);
    if (count == 0 || count + 1 > length) return false;
    std::memcpy(output, serial, count);
    output[count] = '\0';
    return true;
}

bool OrloDaltoDeviceModel::getSerial(const char* hidDevicePath, char* output, size_t length) const {
    if (!DeviceModelAbs::getSerial(hidDevicePath, output, length)) return false;
    if (length > kSerialCharacters) output[kSerialCharacters] = '\0';
    return true;
}
