// The KS filter of a simulated controller as data: its pins, topology and
// categories, how it answers property requests, and which connection
// requests it accepts. Pure functions; the bus supplies locking and handles.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ks_abi.h"
#include "sim/controller_config.h"
#include "sim/model_catalog.h"

namespace sim {

struct PinDescription {
    KSPIN_DATAFLOW dataFlow;
    KSPIN_COMMUNICATION communication;
    bool streaming;  // a sink pin that clients connect to; bridge pins are not
    bool capture;    // streaming pin that produces data (KSPIN_DATAFLOW_OUT)
    std::vector<FormatRange> formats;  // streaming pins: the audio data ranges
    GUID category;
    std::u16string name;
    uint32_t possibleInstances;
};

struct NodeDescription {
    GUID type;
    std::u16string name;
};

struct FilterDescription {
    std::vector<PinDescription> pins;
    std::vector<NodeDescription> nodes;
    std::vector<KSTOPOLOGY_CONNECTION> connections;
    std::vector<GUID> categories;
    int renderPin = -1;   // index of the render streaming pin, -1 if none
    int capturePin = -1;  // index of the capture streaming pin, -1 if none
};

// The filter of a controller's model in its layout: render streaming pin,
// speaker bridge pin and, for models with capture channels, line-in bridge
// pin and capture streaming pin; a volume/DAC and ADC/volume topology
// between them. Ranges the configuration gives replace the model's.
FilterDescription describeFilter(const ControllerConfig& config);

// The answer to one property request on the filter handle.
struct PropertyReply {
    DWORD error = 0;      // Win32 error; 0 = success
    DWORD bytes = 0;      // bytes written, or the size needed for a size query
};

// Answers a KSPROPSETID_Pin or KSPROPSETID_Topology request. `in` holds the
// request (KSPROPERTY, KSP_PIN or KSP_NODE), `out` the caller's buffer.
// `currentInstances` has one entry per pin; a streaming pin held by another
// program (Faults::inUse) reports its instances used up. Size queries (outSize 0) answer
// ERROR_MORE_DATA, or ERROR_INSUFFICIENT_BUFFER when the faults say so;
// buffers too small answer ERROR_INSUFFICIENT_BUFFER with the needed size.
PropertyReply answerFilterProperty(const FilterDescription& filter, const std::vector<uint32_t>& currentInstances,
                                   const Faults& faults, const void* in, DWORD inSize, void* out, DWORD outSize);

// The format of a pin connection, as accepted.
struct StreamFormat {
    uint32_t channels = 0;
    uint32_t containerBits = 0;
    uint32_t validBits = 0;
    uint32_t rate = 0;
    uint32_t blockAlign = 0;
    uint32_t channelMask = 0;
};

// Checks a KsCreatePin request (KSPIN_CONNECT immediately followed by a
// KSDATAFORMAT and its wave format; FormatSize says how many bytes follow)
// against the filter: pin id, standard interface and medium, no
// PinToHandle, a PCM wave format (plain or extensible) whose valid bits,
// container, channels and rate one of the pin's data ranges admits, and
// what the faults ask of formats (extensible only, one channel mask).
// Returns 0 and the format, or the Win32 error the system would report
// (ERROR_INVALID_PARAMETER, ERROR_NO_MATCH, ...).
DWORD checkConnection(const FilterDescription& filter, const Faults& faults, const KSPIN_CONNECT* connect,
                      StreamFormat* format, uint32_t* pinId);

// Win32 codes the filter answers with beyond platform/errors.h.
constexpr DWORD kErrorBadCommand = 22;  // KsCreatePin on a pin another program holds
constexpr DWORD kErrorBusy = 170;
constexpr DWORD kErrorNoMatch = 1169;
constexpr DWORD kErrorSetNotFound = 1170;

}  // namespace sim
