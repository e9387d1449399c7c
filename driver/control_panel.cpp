// controlPanel: starts the settings dialog from the folder the installer
// registered under HKEY_LOCAL_MACHINE "Software\<brand>\<driver id>". It
// needs no device, so hosts may call it in any state, before init too.
#include <cstdio>
#include <cstring>

#include "brands/brand_asio.h"
#include "driver/win_asio.h"
#include "platform/registry.h"
#include "platform/trace.h"

namespace {

#if defined(_WIN32)
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

// The registered install folder, without one trailing separator.
bool readInstallFolder(char* folder, uint32_t size) {
    const AsioBrandIf* brand = AsioBrandIf::getActiveBrand();
    char keyName[256];
    std::snprintf(keyName, sizeof(keyName), "Software\\%s\\%s", brand->getBrandName(), brand->getDriverId());
    os::RegKey key = nullptr;
    if (os::regOpenKey(os::regRootKey(os::RegRoot::LocalMachine), keyName, false, &key) != 0) return false;
    // regGetString refuses anything but REG_SZ and always terminates.
    const uint32_t error = os::regGetString(key, "", folder, size);
    os::regCloseKey(key);
    if (error != 0 || folder[0] == '\0') return false;
    const size_t length = std::strlen(folder);
    if (folder[length - 1] == '\\' || folder[length - 1] == '/') folder[length - 1] = '\0';
    return true;
}

}  // namespace

ASIOError WinAsio::controlPanel() {
    TRACE_ENTER("WinAsio::controlPanel");
    char folder[kMaxControlPanelPath];
    if (!readInstallFolder(folder, sizeof(folder))) {
        TRACE("Could not locate ASIO driver path");
        TRACE_LEAVE_INT("WinAsio::controlPanel", ASE_NotPresent);
        return ASE_NotPresent;
    }
    char path[kMaxControlPanelPath];
    const int length = std::snprintf(path, sizeof(path), "%s%c%s", folder, kPathSeparator,
                                     AsioBrandIf::getActiveBrand()->getControlPanelFileName());
    if (length < 0 || static_cast<size_t>(length) >= sizeof(path) || !os::fileExists(path)) {
        TRACE("Could not find file '%s'", path);
        TRACE_LEAVE_INT("WinAsio::controlPanel", ASE_NotPresent);
        return ASE_NotPresent;
    }
    os::Handle process = os::startProcess(path, nullptr);
    if (process == nullptr) {
        TRACE_LEAVE_INT("WinAsio::controlPanel", ASE_NotPresent);
        return ASE_NotPresent;
    }
    // The dialog runs on its own; nothing waits for it.
    os::closeHandle(process);
    TRACE_LEAVE_INT("WinAsio::controlPanel", ASE_OK);
    return ASE_OK;
}
