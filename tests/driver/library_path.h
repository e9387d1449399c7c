// Where the tests find the driver library they load at run time (the build
// defines KSASIO_DRIVER_LIBRARY); under Wine a Unix path is reached through
// drive Z:.
#pragma once

#include <string>

inline std::string driverLibraryPath() {
    std::string path = KSASIO_DRIVER_LIBRARY;
#if defined(_WIN32)
    if (!path.empty() && path[0] == '/') path = "Z:" + path;
#endif
    return path;
}
