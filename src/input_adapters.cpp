#include "src/input_adapters.h"

#include <cstring>
#include <new>

#include "src/conversion_limits.h"

using namespace src_detail;

template <typename T>
InputSamplerateConversionAdapterAbs<T>::InputSamplerateConversionAdapterAbs(int32_t hostFrames)
    : hostFrames_(hostFrames) {}

template <typename T>
InputSamplerateConversionAdapterAbs<T>::~InputSamplerateConversionAdapterAbs() {
    delete converter_;
    delete[] input_;
    delete[] work_;
}

template <typename T>
void InputSamplerateConversionAdapterAbs<T>::setUp(SamplerateConverterIf* converter,
                                                   int32_t inputCapacity, int32_t carryCapacity,
                                                   int32_t maxMade) {
    converter_ = converter;
    if (!converter_) return;
    inputCapacity_ = inputCapacity;
    carryCapacity_ = carryCapacity;
    input_ = new (std::nothrow) T[inputCapacity]();
    work_ = new (std::nothrow) T[int64_t(carryCapacity) + maxMade + hostFrames_]();
    valid_ = input_ && work_;
}

template <typename T>
int32_t InputSamplerateConversionAdapterAbs<T>::framesOwed(int32_t hostFrames) const {
    if (hostFrames > hostFrames_) hostFrames = hostFrames_;
    return hostFrames - static_cast<int32_t>(carryCount_);
}

template <typename T>
int32_t InputSamplerateConversionAdapterAbs<T>::limitToCapacity(int64_t frames) const {
    if (frames <= 0) return 0;
    return frames > inputCapacity_ ? inputCapacity_ : static_cast<int32_t>(frames);
}

template <typename T>
int32_t InputSamplerateConversionAdapterAbs<T>::convertBlock(const void* in, int32_t inFrames, T* out) {
    int32_t made = 0;
    converter_->convert(in, inFrames, out, made);
    return made;
}

template <typename T>
int32_t InputSamplerateConversionAdapterAbs<T>::process(int32_t frames, void* out) {
    int32_t made = 0;
    convert(input_, frames, out, made);
    return made;
}

template <typename T>
void InputSamplerateConversionAdapterAbs<T>::convert(const void* in, int32_t inFrames, void* out,
                                                     int32_t& outFrames) {
    outFrames = 0;
    if (!valid_) return;
    const int32_t n = limitToCapacity(inFrames);
    const int64_t carry = static_cast<int64_t>(carryCount_);
    const int32_t made = n > 0 ? convertBlock(in, n, work_ + carry) : 0;
    const int64_t total = carry + made;
    const int64_t frames = hostFrames_;
    T* o = static_cast<T*>(out);
    if (total >= frames) {
        std::memcpy(o, work_, sizeof(T) * frames);
        int64_t rest = total - frames;
        if (rest > carryCapacity_) {
            dropped_ += rest - carryCapacity_;
            rest = carryCapacity_;
        }
        std::memmove(work_, work_ + frames, sizeof(T) * rest);
        carryCount_ = static_cast<uint64_t>(rest);
    } else {
        const int64_t missing = frames - total;
        padded_ += missing;
        if (!started_) {
            // Until the first real sample the stream is silence: the gap goes
            // in front. With host buffers shorter than the converter's
            // start-up this happens in the first packet or two, never later.
            std::memset(static_cast<void*>(o), 0, sizeof(T) * missing);
            std::memcpy(o + missing, work_, sizeof(T) * total);
        } else {
            // Mid-stream the signal holds its last value until it resumes.
            std::memcpy(o, work_, sizeof(T) * total);
            const T hold = total > 0 ? work_[total - 1] : last_;
            for (int64_t i = total; i < frames; ++i) o[i] = hold;
        }
        carryCount_ = 0;
    }
    last_ = o[frames - 1];
    if (total > 0) started_ = true;
    outFrames = hostFrames_;
}

template <typename T>
IntegerUpInputSamplerateConversionAdapter<T>::IntegerUpInputSamplerateConversionAdapter(
    int32_t factor, int32_t& hardwareFrames, int32_t frames)
    : InputSamplerateConversionAdapterAbs<T>(frames), factor_(factor) {
    hardwareFrames = 0;
    if (factor < 1 || !framesAcceptable(frames)) return;
    auto* converter = new (std::nothrow) IntegerUpSamplerateConverter<T>(factor);
    const int32_t capacity = static_cast<int32_t>(ceilDiv(frames, factor));
    this->setUp(converter, capacity, factor - 1, capacity * factor);
    if (this->isValid()) hardwareFrames = capacity;
}

template <typename T>
int32_t IntegerUpInputSamplerateConversionAdapter<T>::hardwareFramesFor(int32_t hostFrames) {
    if (!this->isValid()) return 0;
    return this->limitToCapacity(ceilDiv(this->framesOwed(hostFrames), factor_));
}

template <typename T>
IntegerDownInputSamplerateConversionAdapter<T>::IntegerDownInputSamplerateConversionAdapter(
    int32_t factor, int32_t& hardwareFrames, int32_t frames)
    : InputSamplerateConversionAdapterAbs<T>(frames), factor_(factor) {
    hardwareFrames = 0;
    if (factor < 1 || !framesAcceptable(frames) || !framesAcceptable(int64_t(frames) * factor))
        return;
    down_ = new (std::nothrow) IntegerDownSamplerateConverter<T>(factor);
    // A full packet completes exactly the host frames: nothing to carry.
    this->setUp(down_, frames * factor, 0, frames + 1);
    if (this->isValid()) hardwareFrames = frames * factor;
}

template <typename T>
int32_t IntegerDownInputSamplerateConversionAdapter<T>::hardwareFramesFor(int32_t hostFrames) {
    if (!this->isValid()) return 0;
    return this->limitToCapacity(int64_t(this->framesOwed(hostFrames)) * factor_ - down_->gathered());
}

template <typename T, int32_t Min, int32_t Max>
VariableRateInputSamplerateConversionAdapter<T, Min, Max>::VariableRateInputSamplerateConversionAdapter(
    double ratio, int32_t& hardwareFrames, int32_t frames, double spread)
    : InputSamplerateConversionAdapterAbs<T>(frames), ratio_(ratio), steered_(spread > 0.0) {
    hardwareFrames = 0;
    if (!framesAcceptable(frames) || !(frames * ratio * (1.0 + spread) <= double(kMaxAdapterFrames))) return;
    variable_ = new (std::nothrow) VariableRateSamplerateConverter<T, Min, Max>(ratio, spread);
    if (variable_ && !variable_->isValid()) {
        delete variable_;
        variable_ = nullptr;
    }
    if (!variable_) {
        this->setUp(nullptr, 0, 0, 0);
        return;
    }
    variable_->prime();
    // Computed from the converter's exact steps, so that the bounds below
    // hold for the positions it really visits, at every step of the range.
    const int64_t largest = variable_->maxFixedStep(), smallest = variable_->minFixedStep();
    int64_t capacity = ceilDiv(int64_t(frames) * largest, kOne);
    // Requests that are exact leave at most the outputs that complete on the
    // same input sample as the last one owed: ceil(1 / ratio) - 1.
    const int64_t sameSample = ceilDiv(kOne, smallest) - 1;
    const int64_t byPacket = ceilDiv(capacity * kOne, smallest) - frames;
    int64_t carryCapacity = sameSample > byPacket ? sameSample : byPacket;
    if (carryCapacity < 0) carryCapacity = 0;
    if (steered_) {
        // The reserve, a start's extra samples, and a step moved between a
        // request and its conversion.
        capacity += ceilDiv((kCarryReserve + 1) * largest, kOne) + kStartCopy;
        carryCapacity += kCarryReserve + kStartCopy;
    }
    this->setUp(variable_, static_cast<int32_t>(capacity), static_cast<int32_t>(carryCapacity),
                variable_->maxOutputsFor(static_cast<int32_t>(capacity)) + kStartCopy);
    if (this->isValid()) hardwareFrames = static_cast<int32_t>(capacity);
}

template <typename T, int32_t Min, int32_t Max>
int32_t VariableRateInputSamplerateConversionAdapter<T, Min, Max>::hardwareFramesFor(int32_t hostFrames) {
    if (!this->isValid()) return 0;
    if (!steered_) {
        const int32_t owed = this->framesOwed(hostFrames);
        if (owed <= 0) return 0;
        return this->limitToCapacity(variable_->inputFramesFor(owed));
    }
    // Where the block in flight leaves the converter and the carry: its
    // outputs are the window starts that end inside it.
    int64_t position = variable_->fixedPosition();
    int64_t carry = static_cast<int64_t>(this->carryCount());
    const int64_t step = variable_->fixedStep();
    const bool predicted = inFlight_.counted && position < 0;
    if (predicted) {
        if (inFlight_.start) position = 0;
        const int64_t reach = int64_t(inFlight_.frames - kHistory) * kOne - position;
        const int64_t made = reach > 0 ? ceilDiv(reach, step) : 0;
        position += made * step - int64_t(inFlight_.frames) * kOne;
        carry += made + (inFlight_.start ? kStartCopy : 0) - this->hostFrames();
        if (carry < 0) carry = 0;
    }
    int64_t owed = int64_t(hostFrames > this->hostFrames() ? this->hostFrames() : hostFrames) + kCarryReserve - carry;
    if (owed < 1) owed = 1;
    const int32_t frames = predicted ? static_cast<int32_t>(windowStart(position + (owed - 1) * step) + kTaps)
                                     : variable_->inputFramesFor(static_cast<int32_t>(owed));
    inFlight_ = Request{this->limitToCapacity(frames), false, variable_->isStarted()};
    return inFlight_.frames;
}

template <typename T, int32_t Min, int32_t Max>
int32_t VariableRateInputSamplerateConversionAdapter<T, Min, Max>::hardwareFramesForStart(int32_t hostFrames) {
    if (!this->isValid() || hostFrames <= 0) return 0;
    const int32_t converted = hostFrames + kCarryReserve - kStartCopy;
    const int64_t frames = converted > 0 ? variable_->inputFramesFromBlockStart(converted) : kTaps;
    inFlight_ = Request{this->limitToCapacity(frames < kTaps ? kTaps : frames), true, true};
    return inFlight_.frames;
}

template <typename T, int32_t Min, int32_t Max>
bool VariableRateInputSamplerateConversionAdapter<T, Min, Max>::steerTo(double step) {
    return steered_ && this->isValid() && variable_->setStep(step);
}

template <typename T, int32_t Min, int32_t Max>
void VariableRateInputSamplerateConversionAdapter<T, Min, Max>::startAtNextBlock() {
    if (steered_ && this->isValid()) startPending_ = true;
}

template <typename T, int32_t Min, int32_t Max>
double VariableRateInputSamplerateConversionAdapter<T, Min, Max>::boundaryPosition() const {
    if (!this->isValid()) return 0.0;
    const double reserve = steered_ ? kCarryReserve : 0;
    return double(this->carryCount()) - reserve - (variable_->position() + 2 * kStartCopy) / variable_->step();
}

template <typename T, int32_t Min, int32_t Max>
int32_t VariableRateInputSamplerateConversionAdapter<T, Min, Max>::convertBlock(const void* in, int32_t inFrames,
                                                                               T* out) {
    int32_t made = 0;
    if (!startPending_ || inFrames < kTaps) {
        variable_->convert(in, inFrames, out, made);
        return made;
    }
    startPending_ = false;
    std::memcpy(out, in, sizeof(T) * kStartCopy);
    variable_->startAtBlock();
    variable_->convert(in, inFrames, out + kStartCopy, made);
    return kStartCopy + made;
}

template class InputSamplerateConversionAdapterAbs<int16_t>;
template class InputSamplerateConversionAdapterAbs<Int24>;
template class IntegerUpInputSamplerateConversionAdapter<int16_t>;
template class IntegerUpInputSamplerateConversionAdapter<Int24>;
template class IntegerDownInputSamplerateConversionAdapter<int16_t>;
template class IntegerDownInputSamplerateConversionAdapter<Int24>;
template class VariableRateInputSamplerateConversionAdapter<int16_t, -32768, 32767>;
template class VariableRateInputSamplerateConversionAdapter<Int24, -8388608, 8388607>;
