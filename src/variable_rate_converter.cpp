#include "src/variable_rate_converter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "src/conversion_limits.h"
#include "src/sample_access.h"

using namespace src_detail;

template <typename T, int32_t Min, int32_t Max>
VariableRateSamplerateConverter<T, Min, Max>::VariableRateSamplerateConverter(double step, double spread)
    : step_(step), routines_(&kernelRoutines<T>()) {
    kernelTable();  // computed here, never on the streaming thread
    if (!(spread >= 0.0 && spread <= kMaxSpread)) return;
    const double lowest = step * (1.0 - spread), highest = step * (1.0 + spread);
    if (!(lowest >= kMinStep && highest <= kMaxStep)) return;
    fixedStep_ = std::llround(step * double(kOne));
    minFixedStep_ = std::min(fixedStep_, static_cast<int64_t>(std::llround(lowest * double(kOne))));
    maxFixedStep_ = std::max(fixedStep_, static_cast<int64_t>(std::llround(highest * double(kOne))));
    capacity_ = static_cast<int32_t>(std::ceil(32.0 / step));
    // Outputs are pending while their window starts within the last 32
    // samples of a block, and in exact arithmetic at most ceil(32 / step)
    // window starts fit a half-open stretch of 32 samples; at the smallest
    // step of the range. The capacity, computed in floating point, can fall
    // one short of that (step 2/3 leaves 49 against 48), so the bound takes
    // the larger count plus one.
    const int64_t exactMost = ceilDiv(32 * kOne, minFixedStep_);
    mostPending_ = static_cast<int32_t>((exactMost > capacity_ ? exactMost : capacity_) + 1);
    pendingCount_ = (capacity_ + 1) / 2;
    position_ = -fixedStep_ * pendingCount_;
}

template <typename T, int32_t Min, int32_t Max>
void VariableRateSamplerateConverter<T, Min, Max>::prime() {
    if (isValid()) pendingCount_ = capacity_;
}

template <typename T, int32_t Min, int32_t Max>
bool VariableRateSamplerateConverter<T, Min, Max>::setStep(double step) {
    if (!isValid() || !(step >= kMinStep && step <= kMaxStep)) return false;
    const int64_t fixed = std::llround(step * double(kOne));
    if (fixed < minFixedStep_ || fixed > maxFixedStep_) return false;
    fixedStep_ = fixed;
    step_ = step;
    // Before the first block the start-up rules place the pending outputs.
    if (started_) pendingCount_ = position_ < 0 ? static_cast<int32_t>(ceilDiv(-position_, fixedStep_)) : 0;
    return true;
}

template <typename T, int32_t Min, int32_t Max>
void VariableRateSamplerateConverter<T, Min, Max>::startAtBlock() {
    if (!isValid()) return;
    position_ = 0;
    pendingCount_ = 0;
    started_ = true;
    for (double& sample : history_) sample = 0.0;
    historySilent_ = true;
}

template <typename T, int32_t Min, int32_t Max>
int VariableRateSamplerateConverter<T, Min, Max>::phaseAt(double fraction) {
    return phaseOf(static_cast<int64_t>(fraction * double(kOne)));
}

// Writes the pending outputs, oldest first, whose windows end inside the
// block, where startsNeedMoving() says they do not simply follow one
// another: windows that ended before the history have seen only silence
// (at the stream's start, with steps above 16), and a pending output that
// starts at or after the block (those of prime()) is moved to just before
// it, so that it still counts as begun earlier. Every one moved starts
// there, so all share one window and one value.
template <typename T, int32_t Min, int32_t Max>
int32_t VariableRateSamplerateConverter<T, Min, Max>::finishPending(const BlockInput<T>& block, T* out,
                                                                    CompleteRoutine complete) {
    OutputRun run{position_, fixedStep_, Min, Max};
    int32_t made = 0;
    for (; pendingCount_ > 0 && windowStart(run.position) < -kHistory; --pendingCount_) {
        out[made++] = fromInt<T>(0);
        run.position += fixedStep_;
    }
    if (pendingCount_ > 0 && run.position < 0) {
        const int64_t beforeBlock = ceilDiv(-run.position, fixedStep_);
        const int32_t limit = beforeBlock < pendingCount_ ? static_cast<int32_t>(beforeBlock) : pendingCount_;
        const int32_t done = complete(block, run, limit, out + made);
        made += done;
        pendingCount_ -= done;
        if (done < limit) {  // the block ends before the next window does
            position_ = run.position;
            return made;
        }
    }
    if (pendingCount_ > 0) {
        run.position = -1;
        if (complete(block, run, 1, out + made) == 1) {
            for (int32_t k = 1; k < pendingCount_; ++k) out[made + k] = out[made];
            made += pendingCount_;
            pendingCount_ = 0;
            run.position = -1 + fixedStep_;
        }
    }
    position_ = run.position;
    return made;
}

// Whether this block's window starts need more than the step from the
// oldest pending one: a pending output that starts at or after the block
// (those of prime()) is moved before it, a first new output that would
// start before the block is moved to its start, and windows that ended
// before the history (at the stream's start) are silence. From the first
// block of 32 samples or more on, none of these happens.
template <typename T, int32_t Min, int32_t Max>
bool VariableRateSamplerateConverter<T, Min, Max>::startsNeedMoving() const {
    const int64_t firstNew = position_ + int64_t(pendingCount_) * fixedStep_;
    return firstNew < 0 || (pendingCount_ > 0 && firstNew - fixedStep_ >= 0) ||
           windowStart(position_) < -kHistory;
}

// The last kHistory samples of the stream, as the next block's windows
// read them.
template <typename T, int32_t Min, int32_t Max>
void VariableRateSamplerateConverter<T, Min, Max>::keepHistory(const T* x, int32_t n) {
    const int32_t kept = n < kHistory ? kHistory - n : 0;
    if (kept > 0) std::memmove(history_, history_ + kHistory - kept, sizeof(double) * kept);
    routines_->toDoubles(x + n - kHistory + kept, kHistory - kept, history_ + kept);
    historySilent_ = (kept == 0 || historySilent_) && isSilent(x + n - kHistory + kept, kHistory - kept);
}

template <typename T, int32_t Min, int32_t Max>
void VariableRateSamplerateConverter<T, Min, Max>::convert(const void* in, int32_t inFrames,
                                                           void* out, int32_t& outFrames) {
    outFrames = 0;
    if (!isValid() || inFrames <= 0 || inFrames > kMaxBlock) return;
    const BlockInput<T> block{history_, static_cast<const T*>(in), inFrames};
    // Every window of a silent block after silent history sums zeros.
    const bool silent = skipSilence_ && historySilent_ && isSilent(block.samples, inFrames);
    const CompleteRoutine complete = silent ? &completeSilentOutputs<T> : routines_->completeOutputs;
    T* o = static_cast<T*>(out);
    int32_t made = 0;
    bool finished = true;
    if (startsNeedMoving()) {
        made = finishPending(block, o, complete);
        finished = pendingCount_ == 0;
        if (finished && position_ < 0) position_ = 0;
    }
    if (finished) {
        OutputRun run{position_, fixedStep_, Min, Max};
        made += complete(block, run, INT32_MAX, o + made);
        position_ = run.position;
    }
    // Outputs whose windows start inside the block and end past it, and any
    // pending output the block was too short to finish, wait for the next.
    const int64_t end = int64_t(inFrames) << kFractionBits;
    pendingCount_ = position_ < end ? static_cast<int32_t>(ceilDiv(end - position_, fixedStep_)) : 0;
    if (!silent) keepHistory(block.samples, inFrames);  // silence keeps the silent history as it is
    position_ -= end;
    started_ = true;
    outFrames = made;
}

template <typename T, int32_t Min, int32_t Max>
int32_t VariableRateSamplerateConverter<T, Min, Max>::inputFramesFor(int32_t outputs) const {
    if (outputs <= 0 || !isValid()) return 0;
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
int32_t VariableRateSamplerateConverter<T, Min, Max>::inputFramesFromBlockStart(int32_t outputs) const {
    if (outputs <= 0 || !isValid()) return 0;
    const int64_t needed = windowStart(int64_t(outputs - 1) * fixedStep_) + 33;
    return needed > kMaxBlock ? kMaxBlock : static_cast<int32_t>(needed);
}

template <typename T, int32_t Min, int32_t Max>
int32_t VariableRateSamplerateConverter<T, Min, Max>::maxOutputsFor(int32_t inFrames) const {
    if (!isValid() || inFrames <= 0) return 0;
    const int64_t n = inFrames > kMaxBlock ? kMaxBlock : inFrames;
    return static_cast<int32_t>(mostPending_ + ceilDiv(n * kOne, minFixedStep_) + 1);
}

template <typename T, int32_t Min, int32_t Max>
int64_t VariableRateSamplerateConverter<T, Min, Max>::maxInputsFor(int32_t outputs) const {
    if (!isValid() || outputs <= 0) return 0;
    return ceilDiv(int64_t(outputs) * maxFixedStep_, kOne) + 1;
}

template class VariableRateSamplerateConverter<int16_t, -32768, 32767>;
template class VariableRateSamplerateConverter<Int24, -8388608, 8388607>;
