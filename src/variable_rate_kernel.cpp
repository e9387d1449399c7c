#include "src/variable_rate_kernel.h"

#include <cmath>
#include <cstring>

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

const double* rowOf(const double* table, int64_t position) { return table + phaseOf(position) * kRowStride; }

// Input samples base .. end - 1 (base >= -kHistory) as doubles: those
// before the block from the history, the rest converted by `convert`.
template <typename T>
void chunkToDoubles(const BlockInput<T>& in, int64_t base, int64_t end, double* out,
                    void (*convert)(const T*, int64_t, double*)) {
    int64_t first = base;
    if (base < 0) {
        first = 0;
        std::memcpy(out, in.history + kHistory + base, sizeof(double) * -base);
    }
    convert(in.samples + first, end - first, out + (first - base));
}

// Writes, up to `limit`, the outputs whose window starts lie below `last`,
// with run.position and `last` relative to x; returns the number written.
template <typename T>
using WindowRoutine = int32_t (*)(const double* x, int64_t last, OutputRun& run, int32_t limit, T* out);

// Every input sample enters up to 33 / step windows, so the block is turned
// into doubles once, a chunk at a time, rather than in every window.
template <typename T, void (*ToDoubles)(const T*, int64_t, double*), WindowRoutine<T> Windows>
int32_t completeOutputs(const BlockInput<T>& in, OutputRun& run, int32_t limit, T* out) {
    const int64_t kChunk = 512;
    double samples[kChunk + kTaps];
    int32_t made = 0;
    while (made < limit && windowStart(run.position) + 32 < in.length) {
        const int64_t base = windowStart(run.position);
        const int64_t end = base + kChunk + kTaps < in.length ? base + kChunk + kTaps : in.length;
        chunkToDoubles(in, base, end, samples, ToDoubles);
        // Windows starting before end - 32 end inside the chunk.
        const int64_t offset = base * kOne;
        run.position -= offset;
        made += Windows(samples, (end - base - 32) * kOne, run, limit - made, out + made);
        run.position += offset;
    }
    return made;
}

template <typename T>
void toDoublesPortable(const T* x, int64_t n, double* out) {
    for (int64_t i = 0; i < n; ++i) out[i] = toInt(x[i]);
}

double dotPortable(const double* x, const double* k) {
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
int32_t windowsPortable(const double* x, int64_t last, OutputRun& run, int32_t limit, T* out) {
    const double* table = kernelTable();
    int64_t pos = run.position;
    int32_t made = 0;
    for (; made < limit && pos < last; pos += run.step) {
        const double v = dotPortable(x + windowStart(pos), rowOf(table, pos));
        out[made++] = fromInt<T>(clipToRange(v, run.min, run.max));
    }
    run.position = pos;
    return made;
}

template <typename T>
const KernelRoutines<T> kPortable = {&completeOutputs<T, &toDoublesPortable<T>, &windowsPortable<T>>,
                                     &toDoublesPortable<T>, "portable"};

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

// Four packed 24-bit samples read with exactly their 12 bytes, for the end
// of a block.
KSASIO_AVX2_INLINE __m256d load4PackedLast(const uint8_t* bytes) {
    int32_t last;
    std::memcpy(&last, bytes + 8, 4);
    const __m128i raw = _mm_insert_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(bytes)), last, 2);
    const __m128i order = _mm_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11);
    return _mm256_cvtepi32_pd(_mm_srai_epi32(_mm_shuffle_epi8(raw, order), 8));
}

// Samples as doubles, four at a time where they can be loaded whole.
KSASIO_AVX2_INLINE void toDoubles(const int16_t* x, int64_t n, double* out) {
    int64_t i = 0;
    for (; i + 4 <= n; i += 4) _mm256_storeu_pd(out + i, load4(x + i));
    for (; i < n; ++i) out[i] = x[i];
}

KSASIO_AVX2_INLINE void toDoubles(const Int24* x, int64_t n, double* out) {
    int64_t i = 0;
    for (; i + 6 <= n; i += 4) _mm256_storeu_pd(out + i, load4Packed(x[i].bytes));
    for (; i + 4 <= n; i += 4) _mm256_storeu_pd(out + i, load4PackedLast(x[i].bytes));
    for (; i < n; ++i) out[i] = x[i].toInt();
}

template <typename T>
KSASIO_AVX2 void toDoublesAvx2(const T* x, int64_t n, double* out) {
    toDoubles(x, n, out);
}

// Taps 0 to 31 of one window in four lanes: accumulator a holds taps
// 4a .. 4a + 3 multiplied, plus taps 4a + 16 .. 4a + 19 by FMA, and the
// accumulators are added as (a0 + a1) + (a2 + a3).
KSASIO_AVX2_INLINE __m256d laneSums(const double* x, const double* k) {
    __m256d a0 = _mm256_mul_pd(_mm256_loadu_pd(x + 0), _mm256_loadu_pd(k + 0));
    __m256d a1 = _mm256_mul_pd(_mm256_loadu_pd(x + 4), _mm256_loadu_pd(k + 4));
    __m256d a2 = _mm256_mul_pd(_mm256_loadu_pd(x + 8), _mm256_loadu_pd(k + 8));
    __m256d a3 = _mm256_mul_pd(_mm256_loadu_pd(x + 12), _mm256_loadu_pd(k + 12));
    a0 = _mm256_fmadd_pd(_mm256_loadu_pd(x + 16), _mm256_loadu_pd(k + 16), a0);
    a1 = _mm256_fmadd_pd(_mm256_loadu_pd(x + 20), _mm256_loadu_pd(k + 20), a1);
    a2 = _mm256_fmadd_pd(_mm256_loadu_pd(x + 24), _mm256_loadu_pd(k + 24), a2);
    a3 = _mm256_fmadd_pd(_mm256_loadu_pd(x + 28), _mm256_loadu_pd(k + 28), a3);
    return _mm256_add_pd(_mm256_add_pd(a0, a1), _mm256_add_pd(a2, a3));
}

// One window: the lane sums added as (s0 + s2) + (s1 + s3), then tap 32 by
// a fused multiply-add.
KSASIO_AVX2_INLINE double windowValue(const double* x, const double* k) {
    const __m256d s = laneSums(x, k);
    const __m128d h = _mm_add_pd(_mm256_castpd256_pd128(s), _mm256_extractf128_pd(s, 1));
    const __m128d sum = _mm_add_sd(h, _mm_unpackhi_pd(h, h));
    return _mm_cvtsd_f64(_mm_fmadd_sd(_mm_load_sd(x + 32), _mm_load_sd(k + 32), sum));
}

// Four windows at once, added in exactly the order windowValue adds one, so
// that a value does not depend on whether it was made alone or in a group:
// the cross-lane additions of four windows share three shuffles and one
// horizontal add.
KSASIO_AVX2_INLINE __m256d fourWindowValues(const double* x0, const double* k0, const double* x1,
                                            const double* k1, const double* x2, const double* k2,
                                            const double* x3, const double* k3) {
    const __m256d s0 = laneSums(x0, k0);
    const __m256d s1 = laneSums(x1, k1);
    const __m256d s2 = laneSums(x2, k2);
    const __m256d s3 = laneSums(x3, k3);
    // (s0[0] + s0[2], s0[1] + s0[3], s2[0] + s2[2], s2[1] + s2[3]), and so for s1 and s3.
    const __m256d h02 = _mm256_add_pd(_mm256_permute2f128_pd(s0, s2, 0x20), _mm256_permute2f128_pd(s0, s2, 0x31));
    const __m256d h13 = _mm256_add_pd(_mm256_permute2f128_pd(s1, s3, 0x20), _mm256_permute2f128_pd(s1, s3, 0x31));
    const __m256d sums = _mm256_hadd_pd(h02, h13);
    const __m256d xLast = _mm256_set_pd(x3[32], x2[32], x1[32], x0[32]);
    const __m256d kLast = _mm256_set_pd(k3[32], k2[32], k1[32], k0[32]);
    return _mm256_fmadd_pd(xLast, kLast, sums);
}

KSASIO_AVX2_INLINE void store4(__m128i v, int16_t* out) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packs_epi32(v, v));
}

KSASIO_AVX2_INLINE void store4(__m128i v, Int24* out) {
    const __m128i packed = _mm_shuffle_epi8(v, _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1));
    uint8_t* bytes = out[0].bytes;
    _mm_storel_epi64(reinterpret_cast<__m128i*>(bytes), packed);
    const int32_t tail = _mm_cvtsi128_si32(_mm_srli_si128(packed, 8));
    std::memcpy(bytes + 8, &tail, 4);
}

template <typename T>
KSASIO_AVX2 int32_t windowsAvx2(const double* x, int64_t last, OutputRun& run, int32_t limit, T* out) {
    const double* table = kernelTable();
    // Clipping by max then min gives what clipToRange gives: the limit
    // beyond it, the value itself (truncated by the conversion) within.
    const __m256d low = _mm256_set1_pd(run.min), high = _mm256_set1_pd(run.max);
    const int64_t step = run.step;
    int64_t pos = run.position;
    int32_t made = 0;
    for (; limit - made >= 4 && pos + 3 * step < last; pos += 4 * step, made += 4) {
        const int64_t p1 = pos + step, p2 = p1 + step, p3 = p2 + step;
        const __m256d v = fourWindowValues(x + windowStart(pos), rowOf(table, pos),
                                           x + windowStart(p1), rowOf(table, p1),
                                           x + windowStart(p2), rowOf(table, p2),
                                           x + windowStart(p3), rowOf(table, p3));
        store4(_mm256_cvttpd_epi32(_mm256_min_pd(_mm256_max_pd(v, low), high)), out + made);
    }
    for (; made < limit && pos < last; pos += step) {
        const double v = windowValue(x + windowStart(pos), rowOf(table, pos));
        out[made++] = fromInt<T>(clipToRange(v, run.min, run.max));
    }
    run.position = pos;
    return made;
}

template <typename T>
const KernelRoutines<T> kAvx2 = {&completeOutputs<T, &toDoublesAvx2<T>, &windowsAvx2<T>>, &toDoublesAvx2<T>,
                                 "avx2+fma"};

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
int32_t completeSilentOutputs(const BlockInput<T>& in, OutputRun& run, int32_t limit, T* out) {
    // completeOutputs writes the outputs whose windows end inside the block:
    // windowStart(position) + 32 < length, that is position < last.
    const int64_t last = (int64_t(in.length) - 32) * kOne;
    if (limit <= 0 || run.position >= last) return 0;
    const int64_t fitting = (last - run.position + run.step - 1) / run.step;
    const int32_t made = fitting < limit ? static_cast<int32_t>(fitting) : limit;
    for (int32_t k = 0; k < made; ++k) out[k] = fromInt<T>(0);
    run.position += int64_t(made) * run.step;
    return made;
}

// 32 bytes at a time, or'ed together: a block of silence costs a few
// instructions per 32 bytes, and sound usually ends the scan at once.
template <typename T>
bool isSilent(const T* x, int32_t n) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(x);
    const size_t size = sizeof(T) * size_t(n > 0 ? n : 0);
    size_t at = 0;
    for (; at + 32 <= size; at += 32) {
        uint64_t w[4];
        std::memcpy(w, bytes + at, 32);
        if ((w[0] | w[1] | w[2] | w[3]) != 0) return false;
    }
    uint64_t rest = 0;
    for (; at + 8 <= size; at += 8) {
        uint64_t w;
        std::memcpy(&w, bytes + at, 8);
        rest |= w;
    }
    for (; at < size; ++at) rest |= bytes[at];
    return rest == 0;
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
template int32_t completeSilentOutputs<int16_t>(const BlockInput<int16_t>&, OutputRun&, int32_t, int16_t*);
template int32_t completeSilentOutputs<Int24>(const BlockInput<Int24>&, OutputRun&, int32_t, Int24*);
template bool isSilent<int16_t>(const int16_t*, int32_t);
template bool isSilent<Int24>(const Int24*, int32_t);
template const KernelRoutines<Int24>& portableKernelRoutines<Int24>();

}  // namespace src_detail
