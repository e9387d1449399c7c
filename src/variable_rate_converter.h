// Conversion between rates whose ratio is not a whole number: a polyphase
// windowed-sinc interpolator (33 taps, 513 phases) evaluated at window starts
// that advance by a fixed fractional step through the input. It keeps the
// last 32 input samples of each block, as doubles, so that the windows of
// outputs that straddle a block boundary are evaluated whole, like every
// other window, when the next block arrives: an output does not depend on
// how the stream was cut into blocks. A block of silence after silence (a
// channel the host does not feed, a deck that is stopped) makes silence:
// it is counted and written as zeros without evaluating a window.
#pragma once

#include <cstdint>

#include "base/int24.h"
#include "src/samplerate_converter.h"
#include "src/variable_rate_kernel.h"

template <typename T, int32_t Min, int32_t Max>
class VariableRateSamplerateConverter : public SamplerateConverterIf {
public:
    // step: input samples per output sample (input rate / output rate).
    // spread: how far, as a fraction of it, setStep may later move the step
    // either way (a clock-drift corrector steers within it); every bound
    // the converter reports is sized for the extremes.
    explicit VariableRateSamplerateConverter(double step, double spread = 0.0);
    VariableRateSamplerateConverter(const VariableRateSamplerateConverter&) = delete;
    VariableRateSamplerateConverter& operator=(const VariableRateSamplerateConverter&) = delete;

    // False when the step is unusable (outside kMinStep .. kMaxStep of
    // conversion_limits.h); such a converter writes nothing.
    bool isValid() const { return fixedStep_ != 0; }

    // Fills the set of pending outputs to capacity; they come out on the
    // first call, so that a capture stream yields a full host buffer from
    // its first packet.
    void prime();

    // Changes the step from the next output on. No output's window start is
    // fixed before it is written, so the oldest pending output keeps its
    // start and every later one follows the new step; the pending outputs
    // are counted afresh, at constant cost. False, and nothing changed, for
    // a step outside the range given at construction. Converters given the
    // same steps and blocks stay in lockstep.
    bool setStep(double step);
    // The next block's first output starts its window at the block's first
    // sample (the window's centre is the block's sample 16), with nothing
    // pending and no history: for a converter that takes over a stream that
    // ran without conversion, whose caller passes the block's first 16
    // samples on as they are. With a step of 1 the outputs then continue
    // the unconverted stream sample for sample.
    void startAtBlock();

    // Blocks of any length from 0 to kMaxBlock samples; an empty block
    // changes nothing.
    void convert(const void* in, int32_t inFrames, void* out, int32_t& outFrames) override;

    // Input samples the next block must hold so that convert writes at least
    // `outputs` samples (1 or more; 0 for outputs <= 0).
    int32_t inputFramesFor(int32_t outputs) const;
    // The same for a converter about to start at its next block
    // (startAtBlock), whatever its state now.
    int32_t inputFramesFromBlockStart(int32_t outputs) const;
    // The most samples one call with inFrames inputs can write, at any step
    // of the range.
    int32_t maxOutputsFor(int32_t inFrames) const;
    // The most input samples `outputs` outputs can consume, at any step of
    // the range (what a block that completes them spans beyond its history).
    int64_t maxInputsFor(int32_t outputs) const;

    // Runs the plain C++ window routines instead of the processor's best,
    // so that tests and benchmarks can compare the two.
    void usePortableRoutines() { routines_ = &src_detail::portableKernelRoutines<T>(); }
    const char* routinesName() const { return routines_->name; }
    // Evaluates the windows of silent blocks too, so that tests can compare
    // the shortcut with what it stands for.
    void evaluateSilence() { skipSilence_ = false; }

    int32_t capacity() const { return capacity_; }
    // Past the start-up: a block has been converted, or startAtBlock called.
    bool isStarted() const { return started_; }
    // Outputs begun in earlier blocks (their windows started there) and not
    // yet written, and the most there can be at a block boundary.
    int32_t pendingCount() const { return pendingCount_; }
    int32_t mostPending() const { return mostPending_; }
    double step() const { return step_; }
    int64_t fixedStep() const { return fixedStep_; }
    // The steps setStep accepts.
    int64_t minFixedStep() const { return minFixedStep_; }
    int64_t maxFixedStep() const { return maxFixedStep_; }
    // Window start of the oldest pending output (or of the next output when
    // none is pending), in input samples relative to the next block.
    double position() const { return double(position_) / double(src_detail::kOne); }
    int64_t fixedPosition() const { return position_; }

    static constexpr int32_t kMaxBlock = 1 << 22;
    // Phase row selected by a window start fraction in [0, 1).
    static int phaseAt(double fraction);

private:
    bool startsNeedMoving() const;
    using CompleteRoutine = int32_t (*)(const src_detail::BlockInput<T>&, src_detail::OutputRun&, int32_t, T*);
    int32_t finishPending(const src_detail::BlockInput<T>& block, T* out, CompleteRoutine complete);
    void keepHistory(const T* x, int32_t n);

    double step_;
    int64_t fixedStep_ = 0;
    int64_t minFixedStep_ = 0;
    int64_t maxFixedStep_ = 0;
    // A block has been converted (or startAtBlock called): from then on the
    // pending outputs are exactly those whose windows start before the next
    // block.
    bool started_ = false;
    int32_t capacity_ = 0;
    int32_t mostPending_ = 0;
    int32_t pendingCount_ = 0;
    int64_t position_ = 0;
    const src_detail::KernelRoutines<T>* routines_;
    // The last kHistory input samples, oldest first; silence before the stream.
    double history_[src_detail::kHistory] = {};
    // Every sample of history_ is zero.
    bool historySilent_ = true;
    bool skipSilence_ = true;
};

using VariableRateSamplerateConverter16 = VariableRateSamplerateConverter<int16_t, -32768, 32767>;
using VariableRateSamplerateConverter24 = VariableRateSamplerateConverter<Int24, -8388608, 8388607>;
