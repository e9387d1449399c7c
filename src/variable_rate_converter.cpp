#include "src/variable_rate_converter.h"

#include <cmath>
#include <cstring>
#include <new>

#include "src/conversion_limits.h"
#include "src/sample_access.h"

using namespace src_detail;

template <typename T, int32_t Min, int32_t Max>
VariableRateSamplerateConverter<T, Min, Max>::VariableRateSamplerateConverter(double step)
    : step_(step), routines_(&kernelRoutines<T>()) {
    kernelTable();  // computed here, never on the streaming thread
    if (!(step >= kMinStep && step <= kMaxStep)) return;
    fixedStep_ = std::llround(step * double(kOne));
    capacity_ = static_cast<int32_t>(std::ceil(32.0 / step));
    // Outputs are pending while their window starts within the last 32
    // samples of a block, and in exact arithmetic at most ceil(32 / step)
    // window starts fit a half-open stretch of 32 samples. The capacity,
    // computed in floating point, can fall one short of that (step 2/3
    // leaves 49 against 48), so the array takes the larger count plus one.
    const int64_t exactMost = ceilDiv(32 * kOne, fixedStep_);
    pendingRoom_ = static_cast<int32_t>((exactMost > capacity_ ? exactMost : capacity_) + 1);
    pending_ = new (std::nothrow) double[pendingRoom_]();
    if (!pending_) return;
    pendingCount_ = (capacity_ + 1) / 2;
    position_ = -fixedStep_ * pendingCount_;
}

template <typename T, int32_t Min, int32_t Max>
VariableRateSamplerateConverter<T, Min, Max>::~VariableRateSamplerateConverter() {
    delete[] pending_;
}

template <typename T, int32_t Min, int32_t Max>
void VariableRateSamplerateConverter<T, Min, Max>::prime() {
    if (pending_) pendingCount_ = capacity_;
}

template <typename T, int32_t Min, int32_t Max>
int VariableRateSamplerateConverter<T, Min, Max>::phaseAt(double fraction) {
    return phaseOf(static_cast<int64_t>(fraction * double(kOne)));
}

// Finishes pending outputs, oldest first, while their windows end inside the
// block. A pending output whose start is not before the block (only the
// extra outputs of prime() are) is moved to just before it, so that it
// still counts as begun in an earlier block.
template <typename T, int32_t Min, int32_t Max>
void VariableRateSamplerateConverter<T, Min, Max>::finishPending(const T* x, int32_t n,
                                                                 int32_t& first, T* out,
                                                                 int32_t& made) {
    const double* table = kernelTable();
    // edge_[32 + i] is x[i]; before the block there is only silence, whose
    // contribution the pending sums already hold.
    const int32_t head = n < 32 ? n : 32;
    for (int32_t i = 0; i < 32; ++i) edge_[i] = 0.0;
    for (int32_t i = 0; i < head; ++i) edge_[32 + i] = toInt(x[i]);
    for (int32_t i = 32 + head; i < 64; ++i) edge_[i] = 0.0;
    while (first < pendingCount_) {
        if (position_ >= 0) position_ = -1;
        const int64_t j = windowStart(position_);
        if (j + 32 >= n) break;
        double v = pending_[first];
        // A window may lie wholly before the block when the step exceeds 16.
        if (j >= -32) v += routines_->dot(edge_ + 32 + j, table + phaseOf(position_) * kRowStride);
        out[made++] = fromInt<T>(clipToRange(v, Min, Max));
        ++first;
        position_ += fixedStep_;
    }
}

// Begins the outputs whose windows start in the block but end past it.
template <typename T, int32_t Min, int32_t Max>
void VariableRateSamplerateConverter<T, Min, Max>::startPending(const T* x, int32_t n) {
    const double* table = kernelTable();
    // edge_[i] is x[n - 32 + i], silence after the block.
    for (int32_t i = 0; i < 32; ++i) edge_[i] = n - 32 + i >= 0 ? toInt(x[n - 32 + i]) : 0.0;
    for (int32_t i = 32; i < 64; ++i) edge_[i] = 0.0;
    int64_t a = position_;
    pendingCount_ = 0;
    while (windowStart(a) < n && pendingCount_ < pendingRoom_) {
        const int64_t j = windowStart(a);
        pending_[pendingCount_++] =
            routines_->dot(edge_ + (j - (n - 32)), table + phaseOf(a) * kRowStride);
        a += fixedStep_;
    }
}

// A block too short to finish the oldest pending output (it has fewer than
// 32 samples): every window touching it only grows its sum.
template <typename T, int32_t Min, int32_t Max>
void VariableRateSamplerateConverter<T, Min, Max>::extendPending(const T* x, int32_t n,
                                                                 int32_t first) {
    const double* table = kernelTable();
    const int32_t remaining = pendingCount_ - first;
    std::memmove(pending_, pending_ + first, sizeof(double) * remaining);
    // edge_[32 + i] is x[i], silence on both sides.
    for (int32_t i = 0; i < 32; ++i) edge_[i] = 0.0;
    for (int32_t i = 0; i < n; ++i) edge_[32 + i] = toInt(x[i]);
    for (int32_t i = 32 + n; i < 128; ++i) edge_[i] = 0.0;
    int64_t a = position_;
    int32_t k = 0;
    while (windowStart(a) < n && k < pendingRoom_) {
        const int64_t j = windowStart(a);
        double v = k < remaining && j < 0 ? pending_[k] : 0.0;
        if (j >= -32) v += routines_->dot(edge_ + 32 + j, table + phaseOf(a) * kRowStride);
        pending_[k++] = v;
        a += fixedStep_;
    }
    pendingCount_ = k;
}

template <typename T, int32_t Min, int32_t Max>
void VariableRateSamplerateConverter<T, Min, Max>::convert(const void* in, int32_t inFrames,
                                                           void* out, int32_t& outFrames) {
    outFrames = 0;
    if (!pending_ || inFrames <= 0 || inFrames > kMaxBlock) return;
    const T* x = static_cast<const T*>(in);
    T* o = static_cast<T*>(out);
    const int32_t n = inFrames;
    int32_t made = 0;
    int32_t first = 0;
    if (pendingCount_ > 0) finishPending(x, n, first, o, made);
    if (first == pendingCount_) {
        if (position_ < 0) position_ = 0;
        made += routines_->completeOutputs(x, n, position_, fixedStep_, Min, Max, o + made);
        startPending(x, n);
    } else {
        extendPending(x, n, first);
    }
    position_ -= int64_t(n) << kFractionBits;
    outFrames = made;
}

template <typename T, int32_t Min, int32_t Max>
int32_t VariableRateSamplerateConverter<T, Min, Max>::inputFramesFor(int32_t outputs) const {
    if (outputs <= 0 || !pending_) return 0;
    // Window start of the last of those outputs, following convert: pending
    // outputs at or after the block start are moved to just before it, and
    // new outputs never start before it.
    int64_t last;
    if (outputs <= pendingCount_) {
        last = position_ + int64_t(outputs - 1) * fixedStep_;
        if (last >= 0) last = -1;
    } else {
        int64_t next = position_;
        if (pendingCount_ > 0) {
            int64_t oldestLast = position_ + int64_t(pendingCount_ - 1) * fixedStep_;
            if (oldestLast >= 0) oldestLast = -1;
            next = oldestLast + fixedStep_;
        }
        if (next < 0) next = 0;
        last = next + int64_t(outputs - 1 - pendingCount_) * fixedStep_;
    }
    const int64_t needed = windowStart(last) + 33;
    if (needed < 1) return 1;
    return needed > kMaxBlock ? kMaxBlock : static_cast<int32_t>(needed);
}

template <typename T, int32_t Min, int32_t Max>
int32_t VariableRateSamplerateConverter<T, Min, Max>::maxOutputsFor(int32_t inFrames) const {
    if (!pending_ || inFrames <= 0) return 0;
    const int64_t n = inFrames > kMaxBlock ? kMaxBlock : inFrames;
    return static_cast<int32_t>(pendingRoom_ + ceilDiv(n * kOne, fixedStep_) + 1);
}

template class VariableRateSamplerateConverter<int16_t, -32768, 32767>;
template class VariableRateSamplerateConverter<Int24, -8388608, 8388607>;
