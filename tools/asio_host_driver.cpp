#include "tools/asio_host_driver.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "base/utilities.h"
#include "platform/registry.h"

namespace host {
namespace {

std::string hresultText(HRESULT result) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(result));
    return text;
}

bool hexValue(const std::string& text, size_t at, size_t digits, uint32_t* value) {
    if (at + digits > text.size()) return false;
    uint32_t result = 0;
    for (size_t i = at; i < at + digits; ++i) {
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
        if (c >= '0' && c <= '9')
            result = result * 16 + static_cast<uint32_t>(c - '0');
        else if (c >= 'a' && c <= 'f')
            result = result * 16 + static_cast<uint32_t>(c - 'a' + 10);
        else
            return false;
    }
    *value = result;
    return true;
}

}  // namespace

bool parseGuid(const std::string& input, GUID* guid) {
    std::string text = input;
    if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') return false;
    uint32_t part = 0;
    if (!hexValue(text, 0, 8, &part)) return false;
    guid->Data1 = part;
    if (!hexValue(text, 9, 4, &part)) return false;
    guid->Data2 = static_cast<uint16_t>(part);
    if (!hexValue(text, 14, 4, &part)) return false;
    guid->Data3 = static_cast<uint16_t>(part);
    const size_t at[8] = {19, 21, 24, 26, 28, 30, 32, 34};
    for (int i = 0; i < 8; ++i) {
        if (!hexValue(text, at[i], 2, &part)) return false;
        guid->Data4[i] = static_cast<uint8_t>(part);
    }
    return true;
}

LoadedDriver::~LoadedDriver() { release(); }

bool LoadedDriver::fail(const std::string& message) {
    error_ = message;
    release();
    return false;
}

bool LoadedDriver::loadFromLibrary(const std::string& path, const GUID& classId) {
    origin_ = path + " " + formatGuid(classId);
    library_ = os::loadLibrary(path.c_str());
    if (library_ == nullptr) return fail("cannot load the driver library " + path + ": " + os::libraryErrorText());
    auto getClassObject = reinterpret_cast<DllGetClassObjectFunction>(os::getProcAddress(library_, "DllGetClassObject"));
    if (getClassObject == nullptr)
        return fail(path + " is not an in-process COM server: it has no DllGetClassObject export");
    void* object = nullptr;
    HRESULT result = getClassObject(classId, kIidIClassFactory, &object);
    if (result != kComOk || object == nullptr)
        return fail("the library offers no class " + std::string(formatGuid(classId)) + " (DllGetClassObject " +
                    hresultText(result) + "); check the class identifier");
    auto* factory = static_cast<IClassFactory*>(object);
    object = nullptr;
    result = factory->CreateInstance(nullptr, classId, &object);
    factory->Release();
    if (result != kComOk || object == nullptr)
        return fail("the driver object could not be created (CreateInstance " + hresultText(result) + ")");
    driver_ = static_cast<IASIO*>(object);
    return true;
}

bool LoadedDriver::loadByRegisteredName(const std::string& name) {
    origin_ = "registered driver \"" + name + "\"";
    os::RegKey key = nullptr;
    const std::string keyName = "SOFTWARE\\ASIO\\" + name;
    if (os::regOpenKey(os::regRootKey(os::RegRoot::LocalMachine), keyName.c_str(), false, &key) != 0)
        return fail("no ASIO driver is registered as \"" + name + "\" (HKEY_LOCAL_MACHINE\\" + keyName + ")");
    char text[64] = "";
    const uint32_t error = os::regGetString(key, "CLSID", text, sizeof(text));
    os::regCloseKey(key);
    GUID classId;
    if (error != 0 || !parseGuid(text, &classId))
        return fail("the registration of \"" + name + "\" has no valid CLSID value");
    origin_ += std::string(" ") + formatGuid(classId);
    com_ = os::comInitialize();
    if (!com_) return fail("COM is not available on this system");
    void* object = nullptr;
    const HRESULT result = os::comCreateInProcessObject(classId, classId, &object);
    if (result != kComOk || object == nullptr)
        return fail("CoCreateInstance failed for \"" + name + "\" (" + hresultText(result) +
                    "); is the driver's InprocServer32 registered?");
    driver_ = static_cast<IASIO*>(object);
    return true;
}

int LoadedDriver::release() {
    if (driver_ != nullptr) {
        driver_->Release();
        driver_ = nullptr;
    }
    int unload = -1;
    if (library_ != nullptr) {
        auto canUnload = reinterpret_cast<DllCanUnloadNowFunction>(os::getProcAddress(library_, "DllCanUnloadNow"));
        if (canUnload != nullptr) unload = canUnload();
        // Like most hosts, keep the library until the process ends: a
        // driver's lower layers may keep process-wide state, and one that
        // says it is still in use would run freed code.
        library_ = nullptr;
    }
    if (com_) {
        os::comUninitialize();
        com_ = false;
    }
    return unload;
}

}  // namespace host
