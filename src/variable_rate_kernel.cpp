#include "src/variable_rate_kernel.h"

#include <cmath>

#include "src/sample_access.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define KSASIO_SRC_X86_VECTOR 1
#endif

namespace src_detail {
namespace {

const double kPi = 3.14159265358979323846;

// Zeroth-order modified Bessel function of the first kind, by its power
// series; 40 terms are far more than double precision needs for x <= 5.
double besselI0(double x) {
    const double q = x * x / 4.0;
    double term = 1.0;
    double sum = 1.0;
    for (int k = 1; k < 40; ++k) {
        term *= q / (double(k) * double(k));
        sum += term;
    }
    return sum;
}

struct KernelTable {
    alignas(32) double rows[kPhases * kRowStride];
    KernelTable() {
        for (int p = 0; p < kPhases; ++p)
            for (int i = 0; i < kRowStride; ++i)
                rows[p * kRowStride + i] = i < kTaps ? kernelValue(p, i) : 0.0;
    }
};

template <typename T>
double dotPortable(const T* x, const double* k) {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    for (int i = 0; i < 32; i += 4) {
        s0 += toInt(x[i]) * k[i];
        s1 += toInt(x[i + 1]) * k[i + 1];
        s2 += toInt(x[i + 2]) * k[i + 2];
        s3 += toInt(x[i + 3]) * k[i + 3];
    }
    return ((s0 + s1) + (s2 + s3)) + toInt(x[32]) * k[32];
}

double dotPortableDoubles(const double* x, const double* k) {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    for (int i = 0; i < 32; i += 4) {
        s0 += x[i] * k[i];
        s1 += x[i + 1] * k[i + 1];
        s2 += x[i + 2] * k[i + 2];
        s3 += x[i + 3] * k[i + 3];
    }
    return ((s0 + s1) + (s2 + s3)) + x[32] * k[32];
}

template <typename T>
int32_t completeOutputsPortable(const T* x, int32_t n, int64_t& position, int64_t step,
                                int32_t min, int32_t max, T* out) {
    const double* table = kernelTable();
    int32_t made = 0;
    int64_t pos = position;
    while (windowStart(pos) + 32 < n) {
        const double v = dotPortable(x + windowStart(pos), table + phaseOf(pos) * kRowStride);
        out[made++] = fromInt<T>(clipToRange(v, min, max));
        pos += step;
    }
    position = pos;
    return made;
}

template <typename T>
const KernelRoutines<T> kPortable = {&dotPortableDoubles, &completeOutputsPortable<T>, "portable"};

#if defined(KSASIO_SRC_X86_VECTOR)

#define KSASIO_AVX2 __attribute__((target("avx2,fma")))
#define KSASIO_AVX2_INLINE __attribute__((target("avx2,fma"), always_inline)) inline

// Four samples as four doubles.
KSASIO_AVX2_INLINE __m256d load4(const int16_t* x) {
    return _mm256_cvtepi32_pd(_mm_cvtepi16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(x))));
}

// Four packed 24-bit samples: each sample's three bytes go to the top of a
// 32-bit lane, and an arithmetic shift brings them down with their sign.
// The 16-byte load reads 4 bytes past the samples.
KSASIO_AVX2_INLINE __m256d load4Packed(const uint8_t* bytes) {
    const __m128i order = _mm_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11);
    const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
    return _mm256_cvtepi32_pd(_mm_srai_epi32(_mm_shuffle_epi8(raw, order), 8));
}

KSASIO_AVX2_INLINE double horizontalSum(__m256d a0, __m256d a1, __m256d a2, __m256d a3) {
    const __m256d s = _mm256_add_pd(_mm256_add_pd(a0, a1), _mm256_add_pd(a2, a3));
    const __m128d h = _mm_add_pd(_mm256_castpd256_pd128(s), _mm256_extractf128_pd(s, 1));
    return _mm_cvtsd_f64(_mm_add_sd(h, _mm_unpackhi_pd(h, h)));
}

KSASIO_AVX2_INLINE double dotDoubles(const double* x, const double* k) {
    __m256d a0 = _mm256_mul_pd(_mm256_loadu_pd(x + 0), _mm256_loadu_pd(k + 0));
    __m256d a1 = _mm256_mul_pd(_mm256_loadu_pd(x + 4), _mm256_loadu_pd(k + 4));
    __m256d a2 = _mm256_mul_pd(_mm256_loadu_pd(x + 8), _mm256_loadu_pd(k + 8));
    __m256d a3 = _mm256_mul_pd(_mm256_loadu_pd(x + 12), _mm256_loadu_pd(k + 12));
    a0 = _mm256_fmadd_pd(_mm256_loadu_pd(x + 16), _mm256_loadu_pd(k + 16), a0);
    a1 = _mm256_fmadd_pd(_mm256_loadu_pd(x + 20), _mm256_loadu_pd(k + 20), a1);
    a2 = _mm256_fmadd_pd(_mm256_loadu_pd(x + 24), _mm256_loadu_pd(k + 24), a2);
    a3 = _mm256_fmadd_pd(_mm256_loadu_pd(x + 28), _mm256_loadu_pd(k + 28), a3);
    return horizontalSum(a0, a1, a2, a3) + x[32] * k[32];
}

KSASIO_AVX2 double dotAvx2(const double* x, const double* k) { return dotDoubles(x, k); }

// Samples as doubles, four at a time where they can be loaded whole.
KSASIO_AVX2_INLINE void toDoubles(const int16_t* x, int32_t n, double* out) {
    int32_t i = 0;
    for (; i + 4 <= n; i += 4) _mm256_storeu_pd(out + i, load4(x + i));
    for (; i < n; ++i) out[i] = x[i];
}

KSASIO_AVX2_INLINE void toDoubles(const Int24* x, int32_t n, double* out) {
    int32_t i = 0;
    for (; i + 6 <= n; i += 4) _mm256_storeu_pd(out + i, load4Packed(x[i].bytes));
    for (; i < n; ++i) out[i] = x[i].toInt();
}

// Every input sample enters up to 33 / step windows, so the block is turned
// into doubles once, a chunk at a time, rather than in every window.
template <typename T>
KSASIO_AVX2 int32_t completeOutputsAvx2(const T* x, int32_t n, int64_t& position, int64_t step,
                                        int32_t min, int32_t max, T* out) {
    const int32_t kChunk = 512;
    double samples[kChunk + kTaps];
    const double* table = kernelTable();
    int32_t made = 0;
    int64_t pos = position;
    while (windowStart(pos) + 32 < n) {
        const int64_t base = windowStart(pos);
        const int64_t end = base + kChunk + kTaps < n ? base + kChunk + kTaps : n;
        toDoubles(x + base, static_cast<int32_t>(end - base), samples);
        while (windowStart(pos) + 32 < end) {
            const double v = dotDoubles(samples + (windowStart(pos) - base), table + phaseOf(pos) * kRowStride);
            out[made++] = fromInt<T>(clipToRange(v, min, max));
            pos += step;
        }
    }
    position = pos;
    return made;
}

template <typename T>
const KernelRoutines<T> kAvx2 = {&dotAvx2, &completeOutputsAvx2<T>, "avx2+fma"};

bool processorHasAvx2Fma() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

#endif

}  // namespace

double kernelValue(int phase, int tap) {
    const double t = tap - 16 - phase / 512.0;
    // At whole-sample offsets the sinc is exactly 0 (or 1), which makes rows
    // 0 and 512 exact unit impulses rather than ones with 1e-17 crosstalk.
    const double sinc = t == 0.0 ? 1.0 : t == std::floor(t) ? 0.0 : std::sin(kPi * t) / (kPi * t);
    const double r = t / 17.0;
    return sinc * besselI0(5.0 * std::sqrt(1.0 - r * r)) / besselI0(5.0);
}

const double* kernelTable() {
    static const KernelTable table;
    return table.rows;
}

template <typename T>
const KernelRoutines<T>& portableKernelRoutines() {
    return kPortable<T>;
}

template <typename T>
const KernelRoutines<T>& kernelRoutines() {
#if defined(KSASIO_SRC_X86_VECTOR)
    static const bool vector = processorHasAvx2Fma();
    if (vector) return kAvx2<T>;
#endif
    return kPortable<T>;
}

template const KernelRoutines<int16_t>& kernelRoutines<int16_t>();
template const KernelRoutines<Int24>& kernelRoutines<Int24>();
template const KernelRoutines<int16_t>& portableKernelRoutines<int16_t>();
template const KernelRoutines<Int24>& portableKernelRoutines<Int24>();

}  // namespace src_detail
