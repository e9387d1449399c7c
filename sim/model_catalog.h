// The hardware of each simulated model: USB ids, interface numbers, how its
// device-tree nodes hang together, and the stream formats its KS filter offers.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/controller_config.h"

namespace sim {

struct ModelInfo {
    Model model;
    const char* name;        // "QELM", "TAVIO RAW", ...
    const char* fileName;    // the same without spaces, as bus files write it
    uint16_t vendorId;       // of the USB function that carries the audio interface
    uint16_t productId;
    uint8_t audioInterface;  // MI_xx of the audio function
    uint8_t hidInterface;    // MI_xx of the HID function (composite models)
    // FENRO: the audio part is a separate USB codec behind a hub inside the
    // controller; the control device (vendor/product below) hangs off the
    // same hub and carries the serial number in its instance identifier.
    bool behindHub;
    uint16_t controlVendorId;
    uint16_t controlProductId;
};

const ModelInfo& modelInfo(Model model);
// Finds a model by name ("TAVIO RAW", "tavio-raw", "TAVIO_RAW", case ignored)
// or by its type number ("6"); false when nothing matches.
bool findModel(const char* text, Model* model);

// Formats of the render and capture streaming pins for a model and layout,
// in the order the pins list them. Capture is empty for output-only models.
std::vector<FormatRange> renderFormats(Model model, QelmLayout layout);
std::vector<FormatRange> captureFormats(Model model, QelmLayout layout);

}  // namespace sim
