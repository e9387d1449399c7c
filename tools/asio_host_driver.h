// Loading an ASIO driver the way hosts do: from its library through
// DllGetClassObject and the class factory, or (Windows) by the name it is
// registered under, through HKEY_LOCAL_MACHINE\SOFTWARE\ASIO and
// CoCreateInstance. The class identifier is also the interface identifier.
#pragma once

#include <string>

#include "driver/iasio.h"
#include "platform/library.h"

namespace host {

// Parses "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" (braces optional, any case).
bool parseGuid(const std::string& text, GUID* guid);

class LoadedDriver {
public:
    LoadedDriver() = default;
    ~LoadedDriver();
    LoadedDriver(const LoadedDriver&) = delete;
    LoadedDriver& operator=(const LoadedDriver&) = delete;

    // False with a message in error() when the library, its exports, the
    // factory or the object fail.
    bool loadFromLibrary(const std::string& path, const GUID& classId);
    // The registered name (the subkey of SOFTWARE\ASIO); Windows only.
    bool loadByRegisteredName(const std::string& name);

    IASIO* driver() const { return driver_; }
    const std::string& error() const { return error_; }
    // Where the driver came from, for the report.
    const std::string& origin() const { return origin_; }

    // Releases the driver object, then asks the library whether it could be
    // unloaded; it stays loaded until the process ends. Returns the
    // DllCanUnloadNow answer (-1 when not asked).
    int release();

private:
    bool fail(const std::string& message);

    os::Library library_ = nullptr;
    bool com_ = false;
    IASIO* driver_ = nullptr;
    std::string error_;
    std::string origin_;
};

}  // namespace host
