// The interpolation kernel of the variable-rate converter and the routines
// that evaluate it: a 33-tap windowed sinc (Kaiser window, beta 5, half-width
// 17) tabulated at 513 phases, the same for every ratio.
//
// Window starts are fixed-point numbers with kFractionBits fractional bits.
// Exact integer arithmetic keeps the output positions of a stream
// independent of how it is cut into blocks, so the number of outputs a
// block completes can be predicted exactly and the buffers sized tightly.
#pragma once

#include <cstdint>

#include "base/int24.h"

namespace src_detail {

constexpr int kTaps = 33;
constexpr int kPhases = 513;
// Rows are padded so that each starts on a 32-byte boundary.
constexpr int kRowStride = 36;
constexpr int kFractionBits = 40;
constexpr int64_t kOne = int64_t(1) << kFractionBits;
// A window reaches this far back from its last sample: the converter keeps
// as many samples from before each block.
constexpr int kHistory = kTaps - 1;
// A window is centred on its (kStartCopy + 1)-th sample: a converter started
// at a block (startAtBlock) leaves the block's first kStartCopy samples to
// be passed on as they are.
constexpr int kStartCopy = kTaps / 2;

// The table, row p at kernelTable() + p * kRowStride; computed on the first
// call (thread-safe) and constant afterwards.
const double* kernelTable();

// The value of the kernel formula itself, for phase p (0..512) and tap i.
double kernelValue(int phase, int tap);

// Window start (integer part) of a fixed-point position; rounds toward minus
// infinity also for negative positions.
inline int64_t windowStart(int64_t position) { return position >> kFractionBits; }
// Phase row of a fixed-point position: its fraction times 512, rounded half
// away from zero (0 to 512).
inline int phaseOf(int64_t position) {
    const int64_t fraction = position & (kOne - 1);
    return static_cast<int>((fraction + (int64_t(1) << (kFractionBits - 10))) >>
                            (kFractionBits - 9));
}

// One block of input and the kHistory samples before it, which windows
// starting up to kHistory samples before the block read.
template <typename T>
struct BlockInput {
    const double* history;  // oldest first; history[kHistory - 1] precedes samples[0]
    const T* samples;
    int32_t length;
};

// The next outputs to make: window starts advance by `step` from `position`
// (relative to the block, at least -kHistory samples).
struct OutputRun {
    int64_t position;
    int64_t step;
    int32_t min;  // clip limits of the output type
    int32_t max;
};

// Window evaluation, chosen once per process for the processor it runs on.
template <typename T>
struct KernelRoutines {
    // Writes, up to `limit`, the outputs whose windows end inside the block
    // and leaves run.position at the first output not written. Values are
    // clipped to min..max and otherwise truncated toward zero. Returns the
    // number written.
    int32_t (*completeOutputs)(const BlockInput<T>& in, OutputRun& run, int32_t limit, T* out);
    // The n samples of x as doubles.
    void (*toDoubles)(const T* x, int64_t n, double* out);
    const char* name;
};

// What completeOutputs writes when every sample its windows read is zero:
// zeros, as many as it would write, the run moved on as it would move it,
// without evaluating a window (each would sum products of zero, which the
// clipping and truncation turn into exactly 0).
template <typename T>
int32_t completeSilentOutputs(const BlockInput<T>& in, OutputRun& run, int32_t limit, T* out);

// Whether all n samples are zero.
template <typename T>
bool isSilent(const T* x, int32_t n);

// The best routines this processor runs.
template <typename T>
const KernelRoutines<T>& kernelRoutines();
// Plain C++ routines, which every x86-64 processor runs.
template <typename T>
const KernelRoutines<T>& portableKernelRoutines();

}  // namespace src_detail
