#include "brands/asio_buffer_size_model.h"

#include <cmath>
#include <cstdio>

// The lengths are computed in exactly this order in double precision: the
// sample counts hosts see depend on the last bit (step 18 of the 1 ms model
// is 0.020000000000000004 s, which is 883 samples at 44100 Hz, not 882).

double VexaAsioBufferSizeModel::getBufferLength(size_t step) const {
    return static_cast<double>(step) * 0.001 + 0.002;
}

void VexaAsioBufferSizeModel::formatBufferLength(size_t step, char* text, size_t size) const {
    if (text == nullptr || size == 0) return;
    std::snprintf(text, size, "ASIO Buffer length = %.0f ms", getBufferLength(step) * 1000.0);
}

double OrloAsioBufferSizeModel::getBufferLength(size_t step) const {
    if (step == 0) return 0.001;
    return static_cast<double>(step - 1) * 0.0001 + 0.002;
}

void OrloAsioBufferSizeModel::formatBufferLength(size_t step, char* text, size_t size) const {
    if (text == nullptr || size == 0) return;
    std::snprintf(text, size, "ASIO Buffer length = %.1f ms", getBufferLength(step) * 1000.0);
}

namespace {

struct Replacement {
    uint32_t computed;
    uint32_t used;
};

// Checked in order; the first match wins.
constexpr Replacement kReplacements[] = {{52, 48}, {56, 72}, {60, 72}, {64, 72}, {84, 88}};

}  // namespace

uint32_t bufferSizeForStep(const AsioBufferSizeModelIf& model, size_t step, double rate) {
    double samples = std::ceil(rate * model.getBufferLength(step));
    // Also false for NaN, which must not reach the integer conversion.
    if (!(samples > 0.0)) return 0;
    if (samples > 4294967295.0) samples = 4294967295.0;
    uint32_t count = static_cast<uint32_t>(samples);
    for (const Replacement& replacement : kReplacements) {
        if (count == replacement.computed) return replacement.used;
    }
    return count;
}
