#include "src/output_adapters.h"

#include <cstring>
#include <new>

#include "src/conversion_limits.h"

using namespace src_detail;

template <typename T>
OutputSamplerateConversionAdapterAbs<T>::~OutputSamplerateConversionAdapterAbs() {
    delete converter_;
    delete[] output_;
}

template <typename T>
void OutputSamplerateConversionAdapterAbs<T>::setUp(SamplerateConverterIf* converter,
                                                    int32_t outputCapacity, int32_t bufferRoom) {
    converter_ = converter;
    if (!converter_) return;
    outputCapacity_ = outputCapacity;
    output_ = new (std::nothrow) T[bufferRoom > outputCapacity ? bufferRoom : outputCapacity]();
    valid_ = output_ != nullptr;
}

template <typename T>
void* OutputSamplerateConversionAdapterAbs<T>::process(const void* in, int32_t inFrames,
                                                       int32_t& outFrames) {
    outFrames = 0;
    if (!valid_) return output_;
    convert(in, inFrames > hostFrames_ ? hostFrames_ : inFrames, output_, outFrames);
    return output_;
}

template <typename T>
void OutputSamplerateConversionAdapterAbs<T>::convert(const void* in, int32_t inFrames, void* out,
                                                      int32_t& outFrames) {
    outFrames = 0;
    if (valid_) converter_->convert(in, inFrames, out, outFrames);
}

template <typename T>
IntegerUpOutputSamplerateConversionAdapter<T>::IntegerUpOutputSamplerateConversionAdapter(
    int32_t factor, int32_t frames, int32_t& hardwareFrames)
    : OutputSamplerateConversionAdapterAbs<T>(frames) {
    hardwareFrames = 0;
    if (factor < 1 || !framesAcceptable(frames) || !framesAcceptable(int64_t(frames) * factor))
        return;
    this->setUp(new (std::nothrow) IntegerUpSamplerateConverter<T>(factor), frames * factor,
                frames * factor);
    if (this->isValid()) hardwareFrames = frames * factor;
}

template <typename T>
IntegerDownOutputSamplerateConversionAdapter<T>::IntegerDownOutputSamplerateConversionAdapter(
    int32_t factor, int32_t frames, int32_t& hardwareFrames)
    : OutputSamplerateConversionAdapterAbs<T>(frames) {
    hardwareFrames = 0;
    if (factor < 1 || !framesAcceptable(frames)) return;
    // An open group of up to factor - 1 samples plus one host buffer
    // completes at most ceil(frames / factor) groups.
    const int32_t capacity = static_cast<int32_t>(ceilDiv(frames, factor));
    this->setUp(new (std::nothrow) IntegerDownSamplerateConverter<T>(factor), capacity, capacity);
    if (this->isValid()) hardwareFrames = capacity;
}

template <typename T, int32_t Min, int32_t Max>
VariableRateOutputSamplerateConversionAdapter<T, Min, Max>::VariableRateOutputSamplerateConversionAdapter(
    double ratio, int32_t frames, int32_t& hardwareFrames, double spread)
    : OutputSamplerateConversionAdapterAbs<T>(frames), steered_(spread > 0.0) {
    hardwareFrames = 0;
    if (!framesAcceptable(frames) || !(frames / (ratio * (1.0 - spread)) <= double(kMaxAdapterFrames))) return;
    auto* converter = new (std::nothrow) VariableRateSamplerateConverter<T, Min, Max>(ratio, spread);
    if (converter && !converter->isValid()) {
        delete converter;
        converter = nullptr;
    }
    if (!converter) return;
    variable_ = converter;
    // Window starts of one block span a half-open stretch of `frames`
    // samples, in exact arithmetic, so no block yields more than this at
    // the smallest step...
    const int64_t step = converter->minFixedStep();
    int64_t capacity = ceilDiv(int64_t(frames) * kOne, step);
    // ...except the first, whose outputs reach back to the converter's
    // initial position; with steps above 32 that is more than 32 samples
    // before the stream and makes one output more.
    const int64_t firstBlock = ceilDiv((int64_t(frames) - 32) * kOne - converter->fixedPosition(), step);
    if (firstBlock > capacity) capacity = firstBlock;
    // A start passes kStartCopy samples on and converts from the block's
    // start: at most one output more than a whole block at steps up to 2.
    if (steered_) capacity += 1;
    // The buffer itself has the converter's worst case as well, so that
    // memory stays safe whatever happens.
    this->setUp(converter, static_cast<int32_t>(capacity), converter->maxOutputsFor(frames) + kStartCopy);
    if (this->isValid()) hardwareFrames = static_cast<int32_t>(capacity);
}

template <typename T, int32_t Min, int32_t Max>
void VariableRateOutputSamplerateConversionAdapter<T, Min, Max>::convert(const void* in, int32_t inFrames,
                                                                        void* out, int32_t& outFrames) {
    outFrames = 0;
    if (!this->isValid()) return;
    if (!startPending_ || inFrames < kTaps) {
        variable_->convert(in, inFrames, out, outFrames);
        return;
    }
    startPending_ = false;
    std::memcpy(out, in, sizeof(T) * kStartCopy);
    variable_->startAtBlock();
    int32_t made = 0;
    variable_->convert(in, inFrames, static_cast<T*>(out) + kStartCopy, made);
    outFrames = kStartCopy + made;
}

template <typename T, int32_t Min, int32_t Max>
bool VariableRateOutputSamplerateConversionAdapter<T, Min, Max>::steerTo(double step) {
    return steered_ && this->isValid() && variable_->setStep(step);
}

template <typename T, int32_t Min, int32_t Max>
void VariableRateOutputSamplerateConversionAdapter<T, Min, Max>::startAtNextBlock() {
    if (steered_ && this->isValid()) startPending_ = true;
}

template <typename T, int32_t Min, int32_t Max>
double VariableRateOutputSamplerateConversionAdapter<T, Min, Max>::boundaryPosition() const {
    return this->isValid() ? variable_->position() + 2 * kStartCopy : 0.0;
}

template class OutputSamplerateConversionAdapterAbs<int16_t>;
template class OutputSamplerateConversionAdapterAbs<Int24>;
template class IntegerUpOutputSamplerateConversionAdapter<int16_t>;
template class IntegerUpOutputSamplerateConversionAdapter<Int24>;
template class IntegerDownOutputSamplerateConversionAdapter<int16_t>;
template class IntegerDownOutputSamplerateConversionAdapter<Int24>;
template class VariableRateOutputSamplerateConversionAdapter<int16_t, -32768, 32767>;
template class VariableRateOutputSamplerateConversionAdapter<Int24, -8388608, 8388607>;
