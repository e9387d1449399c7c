// Arbitrary text as a simulated device bus file: the parser must accept
// anything, and whatever it accepts must plug into a bus that can then be
// listed, walked and read like hardware, with no crash and no sanitizer
// report.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/bus.h"
#include "sim/bus_file.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

void walkInterface(sim::SimBus& bus, const os::AudioInterfaceInfo& info) {
    DEVINST node = info.deviceInstance;
    // Up to the root, reading every identifier on the way.
    for (int depth = 0; depth < 16; ++depth) {
        ULONG size = 0;
        if (bus.cmGetDeviceIdSize(&size, node, 0) == CR_SUCCESS) {
            std::vector<char> id(size + 1);
            require(bus.cmGetDeviceId(node, id.data(), static_cast<ULONG>(id.size()), 0) == CR_SUCCESS);
            require(id[size] == '\0');
        }
        DEVINST child = 0;
        if (bus.cmGetChild(&child, node, 0) == CR_SUCCESS) {
            DEVINST sibling = 0;
            bus.cmGetSibling(&sibling, child, 0);
        }
        DEVINST parent = 0;
        if (bus.cmGetParent(&parent, node, 0) != CR_SUCCESS) break;
        node = parent;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const sim::BusFileContents contents = sim::parseBusFile(text);
    require(contents.controllers.size() <= sim::kMaxBusFileControllers);
    for (const sim::BusFileProblem& problem : contents.problems) require(problem.text.size() <= 200);

    sim::SimBus bus;
    for (const sim::BusFileEntry& entry : contents.controllers) {
        require(entry.line >= 1);
        bus.plug(entry.config);
    }
    std::vector<os::AudioInterfaceInfo> interfaces;
    require(bus.listAudioInterfaces(interfaces));
    for (const os::AudioInterfaceInfo& info : interfaces) {
        walkInterface(bus, info);
        HANDLE filter = bus.openDevice(info.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                       FILE_FLAG_OVERLAPPED);
        if (filter != INVALID_HANDLE_VALUE) bus.closeDevice(filter);
    }
    return 0;
}
