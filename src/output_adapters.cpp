#include "src/output_adapters.h"

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
    double ratio, int32_t frames, int32_t& hardwareFrames)
    : OutputSamplerateConversionAdapterAbs<T>(frames) {
    hardwareFrames = 0;
    if (!framesAcceptable(frames) || !(frames / ratio <= double(kMaxAdapterFrames))) return;
    auto* converter = new (std::nothrow) VariableRateSamplerateConverter<T, Min, Max>(ratio);
    if (converter && !converter->isValid()) {
        delete converter;
        converter = nullptr;
    }
    if (!converter) return;
    // Window starts of one block span a half-open stretch of `frames`
    // samples, in exact arithmetic, so no block yields more than this...
    const int64_t step = converter->fixedStep();
    int64_t capacity = ceilDiv(int64_t(frames) * kOne, step);
    // ...except the first, whose outputs reach back to the converter's
    // initial position; with steps above 32 that is more than 32 samples
    // before the stream and makes one output more.
    const int64_t firstBlock = ceilDiv((int64_t(frames) - 32) * kOne - converter->fixedPosition(), step);
    if (firstBlock > capacity) capacity = firstBlock;
    // The buffer itself has the converter's worst case as well, so that
    // memory stays safe whatever happens.
    this->setUp(converter, static_cast<int32_t>(capacity), converter->maxOutputsFor(frames));
    if (this->isValid()) hardwareFrames = static_cast<int32_t>(capacity);
}

template class OutputSamplerateConversionAdapterAbs<int16_t>;
template class OutputSamplerateConversionAdapterAbs<Int24>;
template class IntegerUpOutputSamplerateConversionAdapter<int16_t>;
template class IntegerUpOutputSamplerateConversionAdapter<Int24>;
template class IntegerDownOutputSamplerateConversionAdapter<int16_t>;
template class IntegerDownOutputSamplerateConversionAdapter<Int24>;
template class VariableRateOutputSamplerateConversionAdapter<int16_t, -32768, 32767>;
template class VariableRateOutputSamplerateConversionAdapter<Int24, -8388608, 8388607>;
