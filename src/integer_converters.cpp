#include "src/integer_converters.h"

#include <cstring>

#include "src/sample_access.h"

using src_detail::fromInt;
using src_detail::toInt;

template <typename T>
IntegerUpSamplerateConverter<T>::IntegerUpSamplerateConverter(int32_t factor) : factor_(factor) {}

template <typename T>
void IntegerUpSamplerateConverter<T>::convert(const void* in, int32_t inFrames, void* out,
                                              int32_t& outFrames) {
    outFrames = 0;
    if (!isValid() || inFrames <= 0) return;
    const T* src = static_cast<const T*>(in);
    T* dst = static_cast<T*>(out);
    const int32_t f = factor_;
    if (f == 2) {
        for (int32_t i = 0; i < inFrames; ++i) {
            dst[0] = src[i];
            dst[1] = src[i];
            dst += 2;
        }
    } else {
        for (int32_t i = 0; i < inFrames; ++i)
            for (int32_t r = 0; r < f; ++r) *dst++ = src[i];
    }
    outFrames = inFrames * f;
}

template <typename T>
IntegerDownSamplerateConverter<T>::IntegerDownSamplerateConverter(int32_t factor) : factor_(factor) {}

template <typename T>
void IntegerDownSamplerateConverter<T>::convert(const void* in, int32_t inFrames, void* out,
                                                int32_t& outFrames) {
    outFrames = 0;
    if (!isValid() || inFrames <= 0) return;
    const T* src = static_cast<const T*>(in);
    const T* const end = src + inFrames;
    T* dst = static_cast<T*>(out);
    const int32_t f = factor_;
    int32_t made = 0;

    if (gathered_ > 0) {
        while (gathered_ < f && src < end) {
            partialSum_ += toInt(*src++);
            ++gathered_;
        }
        if (gathered_ < f) return;
        dst[made++] = fromInt<T>(static_cast<int32_t>(partialSum_ / f));
        gathered_ = 0;
        partialSum_ = 0;
    }
    while (end - src >= f) {
        int64_t sum = 0;
        for (int32_t i = 0; i < f; ++i) sum += toInt(src[i]);
        src += f;
        // Integer division truncates toward zero, as the group mean should.
        dst[made++] = fromInt<T>(static_cast<int32_t>(sum / f));
    }
    while (src < end) {
        partialSum_ += toInt(*src++);
        ++gathered_;
    }
    outFrames = made;
}

template class IntegerUpSamplerateConverter<int16_t>;
template class IntegerUpSamplerateConverter<Int24>;
template class IntegerDownSamplerateConverter<int16_t>;
template class IntegerDownSamplerateConverter<Int24>;
