#include "engine/sample_conversion.h"

#include <cstring>
#include <utility>

#include "base/int24.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "packets and host buffers are little-endian; the word packing below assumes a little-endian machine"
#endif

namespace {

// Packed 24-bit samples as a 16-bit and an 8-bit access: copying a 3-byte
// Int24 through the stack costs a store-forwarding stall per sample.
inline int32_t load24(const uint8_t* p) {
    uint16_t low;
    std::memcpy(&low, p, 2);
    const uint32_t bits = uint32_t(low) | (uint32_t(p[2]) << 16);
    return static_cast<int32_t>(bits ^ 0x800000u) - 0x800000;
}

inline void store24(uint8_t* p, int32_t value) {
    const uint16_t low = static_cast<uint16_t>(value);
    std::memcpy(p, &low, 2);
    p[2] = static_cast<uint8_t>(value >> 16);
}

// Host sample types, read and written as 32-bit values at their own scale.
struct Host16 {
    static constexpr uint32_t kBits = 16;
    static int32_t load(const uint8_t* buffer, uint32_t index) {
        int16_t value;
        std::memcpy(&value, buffer + index * 2, 2);
        return value;
    }
    static void store(uint8_t* buffer, uint32_t index, int32_t value) {
        const int16_t sample = static_cast<int16_t>(value);
        std::memcpy(buffer + index * 2, &sample, 2);
    }
};

struct Host24 {
    static constexpr uint32_t kBits = 24;
    static int32_t load(const uint8_t* buffer, uint32_t index) {
        return load24(buffer + index * 3);
    }
    static void store(uint8_t* buffer, uint32_t index, int32_t value) {
        store24(buffer + index * 3, value);
    }
};

// A sample of `From` significant bits at the scale of `To` bits: widening
// puts it at the top, narrowing keeps the upper bits (floor).
template <uint32_t From, uint32_t To>
inline int32_t rescale(int32_t value) {
    if constexpr (To > From) {
        return value * (int32_t(1) << (To - From));
    } else if constexpr (To < From) {
        return value >> (From - To);
    } else {
        return value;
    }
}

template <uint32_t Bits>
inline int32_t loadContainer(const uint8_t* sample) {
    if constexpr (Bits == 16) {
        int16_t value;
        std::memcpy(&value, sample, 2);
        return value;
    } else if constexpr (Bits == 24) {
        return load24(sample);
    } else {
        int32_t value;
        std::memcpy(&value, sample, 4);
        return value;
    }
}

template <uint32_t Bits>
inline void storeContainer(uint8_t* sample, int32_t value) {
    if constexpr (Bits == 16) {
        const int16_t v = static_cast<int16_t>(value);
        std::memcpy(sample, &v, 2);
    } else if constexpr (Bits == 24) {
        store24(sample, value);
    } else {
        std::memcpy(sample, &value, 4);
    }
}

// Four 24-bit samples fill exactly three 32-bit words.
inline void packFour(uint8_t* out, uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    // Three separate word stores: one 12-byte copy of a word array makes the
    // compiler stage the words on the stack and reload them wider, which
    // stalls on store forwarding.
    const uint32_t w0 = (a & 0xFFFFFFu) | (b << 24);
    const uint32_t w1 = ((b >> 8) & 0xFFFFu) | (c << 16);
    const uint32_t w2 = ((c >> 16) & 0xFFu) | (d << 8);
    std::memcpy(out, &w0, 4);
    std::memcpy(out + 4, &w1, 4);
    std::memcpy(out + 8, &w2, 4);
}

inline int32_t signExtend24(uint32_t bits) { return static_cast<int32_t>((bits & 0xFFFFFFu) ^ 0x800000u) - 0x800000; }

inline void unpackFour(const uint8_t* in, int32_t* samples) {
    uint32_t words[3];
    std::memcpy(&words[0], in, 4);
    std::memcpy(&words[1], in + 4, 4);
    std::memcpy(&words[2], in + 8, 4);
    samples[0] = signExtend24(words[0]);
    samples[1] = signExtend24((words[0] >> 24) | (words[1] << 8));
    samples[2] = signExtend24((words[1] >> 16) | (words[2] << 16));
    samples[3] = signExtend24(words[2] >> 8);
}

using Sources = const uint8_t* const*;
using Destinations = uint8_t* const*;

// The channel pointers copied to the routine's own stack: byte stores into
// the packet may alias any caller-owned array, which would make the compiler
// reload every pointer after every sample.
template <uint32_t N, typename Pointer = const uint8_t*>
struct Local {
    explicit Local(const Pointer* from) {
        for (uint32_t c = 0; c < N; ++c) pointers[c] = from[c];
    }
    Pointer operator[](uint32_t c) const { return pointers[c]; }
    Pointer pointers[N];
};

// Render: N host channels interleaved into containers of Bits. The channel
// fold is expanded at compile time, so no loop runs over the channels of a frame.
template <uint32_t N, typename Host, uint32_t Bits>
struct Interleave {
    template <size_t... C>
    static void frames(Sources sources, uint8_t* packet, uint32_t count, std::index_sequence<C...>) {
        constexpr uint32_t kBytes = Bits / 8;
        for (uint32_t f = 0; f < count; ++f) {
            uint8_t* frame = packet + f * N * kBytes;
            if constexpr (Host::kBits == Bits)
                (std::memcpy(frame + C * kBytes, sources[C] + f * kBytes, kBytes), ...);
            else
                (storeContainer<Bits>(frame + C * kBytes, rescale<Host::kBits, Bits>(Host::load(sources[C], f))),
                 ...);
        }
    }
    static void run(Sources sources, uint8_t* packet, uint32_t count) {
        const Local<N> local(sources);
        frames(local.pointers, packet, count, std::make_index_sequence<N>());
    }
};

#if defined(__SSE2__)
// Eight 16-bit channels into 16-bit containers, the commonest layout: eight
// frames at a time as an 8 x 8 transpose of 16-bit lanes, which moves a
// frame in two instructions instead of eight copies.
template <>
struct Interleave<8, Host16, 16> {
    static void run(Sources sources, uint8_t* packet, uint32_t count) {
        const Local<8> s(sources);
        uint32_t f = 0;
        for (; f + 8 <= count; f += 8) {
            __m128i r[8];
            for (uint32_t c = 0; c < 8; ++c) r[c] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s[c] + 2 * f));
            // Channel pairs, then quads, frame by frame.
            const __m128i p01l = _mm_unpacklo_epi16(r[0], r[1]), p01h = _mm_unpackhi_epi16(r[0], r[1]);
            const __m128i p23l = _mm_unpacklo_epi16(r[2], r[3]), p23h = _mm_unpackhi_epi16(r[2], r[3]);
            const __m128i p45l = _mm_unpacklo_epi16(r[4], r[5]), p45h = _mm_unpackhi_epi16(r[4], r[5]);
            const __m128i p67l = _mm_unpacklo_epi16(r[6], r[7]), p67h = _mm_unpackhi_epi16(r[6], r[7]);
            const __m128i low[4] = {_mm_unpacklo_epi32(p01l, p23l), _mm_unpackhi_epi32(p01l, p23l),
                                    _mm_unpacklo_epi32(p01h, p23h), _mm_unpackhi_epi32(p01h, p23h)};
            const __m128i high[4] = {_mm_unpacklo_epi32(p45l, p67l), _mm_unpackhi_epi32(p45l, p67l),
                                     _mm_unpacklo_epi32(p45h, p67h), _mm_unpackhi_epi32(p45h, p67h)};
            __m128i* out = reinterpret_cast<__m128i*>(packet + f * 16);
            for (uint32_t k = 0; k < 4; ++k) {
                _mm_storeu_si128(out + 2 * k, _mm_unpacklo_epi64(low[k], high[k]));
                _mm_storeu_si128(out + 2 * k + 1, _mm_unpackhi_epi64(low[k], high[k]));
            }
        }
        for (; f < count; ++f)
            for (uint32_t c = 0; c < 8; ++c) std::memcpy(packet + (f * 8 + c) * 2, s[c] + 2 * f, 2);
    }
};
#endif

// The 24 bits of a host sample as they go into the packet; the bits above
// them are dropped by the packing.
template <typename Host, typename Channels>
inline uint32_t packed24(const Channels& sources, uint32_t channel, uint32_t frame) {
    if constexpr (Host::kBits == 24) {
        const uint8_t* p = sources[channel] + frame * 3;
        uint16_t low;
        std::memcpy(&low, p, 2);
        return uint32_t(low) | (uint32_t(p[2]) << 16);
    } else {
        return static_cast<uint32_t>(Host::load(sources[channel], frame)) << 8;
    }
}

// Two stereo frames fill three words; an odd last frame goes as 6 bytes.
template <typename Host>
struct Interleave<2, Host, 24> {
    static void run(Sources sources, uint8_t* packet, uint32_t count) {
        const Local<2> s(sources);
        uint32_t f = 0;
        for (; f + 1 < count; f += 2)
            packFour(packet + f * 6, packed24<Host>(s, 0, f), packed24<Host>(s, 1, f), packed24<Host>(s, 0, f + 1),
                     packed24<Host>(s, 1, f + 1));
        if (f < count) {
            storeContainer<24>(packet + f * 6, static_cast<int32_t>(packed24<Host>(s, 0, f)));
            storeContainer<24>(packet + f * 6 + 3, static_cast<int32_t>(packed24<Host>(s, 1, f)));
        }
    }
};

template <typename Host>
struct Interleave<4, Host, 24> {
    static void run(Sources sources, uint8_t* packet, uint32_t count) {
        const Local<4> s(sources);
        for (uint32_t f = 0; f < count; ++f)
            packFour(packet + f * 12, packed24<Host>(s, 0, f), packed24<Host>(s, 1, f), packed24<Host>(s, 2, f),
                     packed24<Host>(s, 3, f));
    }
};

template <typename Host>
struct Interleave<8, Host, 24> {
    static void run(Sources sources, uint8_t* packet, uint32_t count) {
        const Local<8> s(sources);
        for (uint32_t f = 0; f < count; ++f) {
            uint8_t* frame = packet + f * 24;
            packFour(frame, packed24<Host>(s, 0, f), packed24<Host>(s, 1, f), packed24<Host>(s, 2, f),
                     packed24<Host>(s, 3, f));
            packFour(frame + 12, packed24<Host>(s, 4, f), packed24<Host>(s, 5, f), packed24<Host>(s, 6, f),
                     packed24<Host>(s, 7, f));
        }
    }
};

// Capture: containers of Bits de-interleaved into N host-typed buffers.
template <uint32_t N, typename Host, uint32_t Bits>
struct Deinterleave {
    template <size_t... C>
    static void frames(const uint8_t* packet, Destinations out, uint32_t count, std::index_sequence<C...>) {
        constexpr uint32_t kBytes = Bits / 8;
        for (uint32_t f = 0; f < count; ++f) {
            const uint8_t* frame = packet + f * N * kBytes;
            if constexpr (Host::kBits == Bits)
                (std::memcpy(out[C] + f * kBytes, frame + C * kBytes, kBytes), ...);
            else
                (Host::store(out[C], f, rescale<Bits, Host::kBits>(loadContainer<Bits>(frame + C * kBytes))), ...);
        }
    }
    static void run(const uint8_t* packet, Destinations out, uint32_t count) {
        const Local<N, uint8_t*> local(out);
        frames(packet, local.pointers, count, std::make_index_sequence<N>());
    }
};

#if defined(__SSE2__)
// Stereo 16-bit frames into two 16-bit channels, eight frames at a time: a
// frame is one 32-bit lane, its left sample the lane's low half.
template <>
struct Deinterleave<2, Host16, 16> {
    static void run(const uint8_t* packet, Destinations destinations, uint32_t count) {
        const Local<2, uint8_t*> out(destinations);
        uint32_t f = 0;
        for (; f + 8 <= count; f += 8) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(packet + f * 4));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(packet + f * 4 + 16));
            // Each half sign-extended to its lane: the pack takes it back unchanged.
            const __m128i left =
                _mm_packs_epi32(_mm_srai_epi32(_mm_slli_epi32(a, 16), 16), _mm_srai_epi32(_mm_slli_epi32(b, 16), 16));
            const __m128i right = _mm_packs_epi32(_mm_srai_epi32(a, 16), _mm_srai_epi32(b, 16));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out[0] + 2 * f), left);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out[1] + 2 * f), right);
        }
        for (; f < count; ++f) {
            std::memcpy(out[0] + 2 * f, packet + 4 * f, 2);
            std::memcpy(out[1] + 2 * f, packet + 4 * f + 2, 2);
        }
    }
};
#endif

template <typename Host, typename Channels>
inline void storeFrom24(const Channels& out, uint32_t channel, uint32_t frame, int32_t value) {
    Host::store(out[channel], frame, rescale<24, Host::kBits>(value));
}

template <typename Host>
struct Deinterleave<2, Host, 24> {
    static void run(const uint8_t* packet, Destinations destinations, uint32_t count) {
        const Local<2, uint8_t*> out(destinations);
        int32_t v[4];
        uint32_t f = 0;
        for (; f + 1 < count; f += 2) {
            unpackFour(packet + f * 6, v);
            storeFrom24<Host>(out, 0, f, v[0]);
            storeFrom24<Host>(out, 1, f, v[1]);
            storeFrom24<Host>(out, 0, f + 1, v[2]);
            storeFrom24<Host>(out, 1, f + 1, v[3]);
        }
        if (f < count) {
            storeFrom24<Host>(out, 0, f, loadContainer<24>(packet + f * 6));
            storeFrom24<Host>(out, 1, f, loadContainer<24>(packet + f * 6 + 3));
        }
    }
};

template <typename Host>
struct Deinterleave<4, Host, 24> {
    static void run(const uint8_t* packet, Destinations destinations, uint32_t count) {
        const Local<4, uint8_t*> out(destinations);
        int32_t v[4];
        for (uint32_t f = 0; f < count; ++f) {
            unpackFour(packet + f * 12, v);
            storeFrom24<Host>(out, 0, f, v[0]);
            storeFrom24<Host>(out, 1, f, v[1]);
            storeFrom24<Host>(out, 2, f, v[2]);
            storeFrom24<Host>(out, 3, f, v[3]);
        }
    }
};

template <typename Host>
struct Deinterleave<8, Host, 24> {
    static void run(const uint8_t* packet, Destinations destinations, uint32_t count) {
        const Local<8, uint8_t*> out(destinations);
        int32_t v[8];
        for (uint32_t f = 0; f < count; ++f) {
            unpackFour(packet + f * 24, v);
            unpackFour(packet + f * 24 + 12, v + 4);
            storeFrom24<Host>(out, 0, f, v[0]);
            storeFrom24<Host>(out, 1, f, v[1]);
            storeFrom24<Host>(out, 2, f, v[2]);
            storeFrom24<Host>(out, 3, f, v[3]);
            storeFrom24<Host>(out, 4, f, v[4]);
            storeFrom24<Host>(out, 5, f, v[5]);
            storeFrom24<Host>(out, 6, f, v[6]);
            storeFrom24<Host>(out, 7, f, v[7]);
        }
    }
};

using RenderRoutine = void (*)(Sources, uint8_t*, uint32_t);
using CaptureRoutine = void (*)(const uint8_t*, Destinations, uint32_t);

template <uint32_t N, typename Host>
RenderRoutine renderFor(uint32_t containerBits) {
    switch (containerBits) {
        case 16: return &Interleave<N, Host, 16>::run;
        case 24: return &Interleave<N, Host, 24>::run;
        case 32: return &Interleave<N, Host, 32>::run;
        default: return nullptr;
    }
}

template <uint32_t N, typename Host>
CaptureRoutine captureFor(uint32_t containerBits) {
    switch (containerBits) {
        case 16: return &Deinterleave<N, Host, 16>::run;
        case 24: return &Deinterleave<N, Host, 24>::run;
        case 32: return &Deinterleave<N, Host, 32>::run;
        default: return nullptr;
    }
}

template <uint32_t N>
RenderRoutine renderRoutineFor(uint32_t hostBits, uint32_t containerBits) {
    return hostBits == 16 ? renderFor<N, Host16>(containerBits)
                          : hostBits == 24 ? renderFor<N, Host24>(containerBits) : nullptr;
}

template <uint32_t N>
CaptureRoutine captureRoutineFor(uint32_t hostBits, uint32_t containerBits) {
    return hostBits == 16 ? captureFor<N, Host16>(containerBits)
                          : hostBits == 24 ? captureFor<N, Host24>(containerBits) : nullptr;
}

template <uint32_t... N>
RenderRoutine pickRender(uint32_t channels, uint32_t hostBits, uint32_t containerBits,
                         std::integer_sequence<uint32_t, N...>) {
    RenderRoutine routine = nullptr;
    ((channels == N + 1 ? (routine = renderRoutineFor<N + 1>(hostBits, containerBits), 0) : 0), ...);
    return routine;
}

template <uint32_t... N>
CaptureRoutine pickCapture(uint32_t channels, uint32_t hostBits, uint32_t containerBits,
                           std::integer_sequence<uint32_t, N...>) {
    CaptureRoutine routine = nullptr;
    ((channels == N + 1 ? (routine = captureRoutineFor<N + 1>(hostBits, containerBits), 0) : 0), ...);
    return routine;
}

template <typename Host>
void accumulate(int32_t* accumulator, const uint8_t* samples, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) accumulator[i] += Host::load(samples, i);
}

#if defined(__SSE2__)
// 16-bit samples eight at a time: each widened with its sign (its copy in
// the upper half of a 32-bit lane, shifted down) and added to its sum.
template <>
void accumulate<Host16>(int32_t* accumulator, const uint8_t* samples, uint32_t count) {
    uint32_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(samples + 2 * i));
        __m128i* sums = reinterpret_cast<__m128i*>(accumulator + i);
        const __m128i low = _mm_srai_epi32(_mm_unpacklo_epi16(x, x), 16);
        const __m128i high = _mm_srai_epi32(_mm_unpackhi_epi16(x, x), 16);
        _mm_storeu_si128(sums, _mm_add_epi32(_mm_loadu_si128(sums), low));
        _mm_storeu_si128(sums + 1, _mm_add_epi32(_mm_loadu_si128(sums + 1), high));
    }
    for (; i < count; ++i) accumulator[i] += Host16::load(samples, i);
}
#endif

}  // namespace

bool isConvertibleHostBits(uint32_t hostBits) { return hostBits == 16 || hostBits == 24; }

bool isConvertibleContainerBits(uint32_t containerBits) {
    return containerBits == 16 || containerBits == 24 || containerBits == 32;
}

uint32_t convertRender(const RenderConversion& job) {
    const RenderRoutine routine = pickRender(job.channels, job.hostBits, job.containerBits,
                                             std::make_integer_sequence<uint32_t, kMaxUnitChannels>());
    if (routine == nullptr || job.packet == nullptr || job.hostBuffers == nullptr || job.half > 1) return 0;
    const uint8_t* sources[kMaxUnitChannels];
    uint32_t count = job.frames;
    for (uint32_t c = 0; c < job.channels; ++c) {
        const void* source = job.hostBuffers[2 * c + job.half];
        if (source == nullptr) source = job.silence;
        if (source == nullptr) return 0;
        if (job.adapters != nullptr) {
            int32_t made = 0;
            source = job.adapters[c]->process(source, static_cast<int32_t>(job.frames), made);
            // Every channel's adapter makes the same count; the smallest is
            // the one all channels can fill.
            if (made < 0) made = 0;
            if (c == 0 || static_cast<uint32_t>(made) < count) count = static_cast<uint32_t>(made);
        }
        sources[c] = static_cast<const uint8_t*>(source);
    }
    if (count > job.packetFrames) count = job.packetFrames;
    routine(sources, job.packet, count);
    return count;
}

uint32_t convertCapture(const CaptureConversion& job) {
    const CaptureRoutine routine = pickCapture(job.channels, job.hostBits, job.containerBits,
                                               std::make_integer_sequence<uint32_t, kMaxUnitChannels>());
    if (routine == nullptr || job.packet == nullptr || job.hostBuffers == nullptr || job.staging == nullptr ||
        job.half > 1)
        return 0;
    uint32_t captured = job.capturedFrames;
    if (job.adapters == nullptr && captured > job.frames) captured = job.frames;
    uint8_t* destinations[kMaxUnitChannels];
    for (uint32_t c = 0; c < job.channels; ++c) {
        void* destination = job.adapters != nullptr ? job.adapters[c]->getInputBuffer() : job.staging[c];
        if (destination == nullptr) return 0;
        destinations[c] = static_cast<uint8_t*>(destination);
    }
    routine(job.packet, destinations, captured);

    for (uint32_t c = 0; c < job.channels; ++c) {
        uint32_t count = captured;
        if (job.adapters != nullptr) {
            const int32_t made = job.adapters[c]->process(static_cast<int32_t>(captured), job.staging[c]);
            count = made > 0 ? static_cast<uint32_t>(made) : 0;
        }
        if (count > job.frames) count = job.frames;
        int32_t* accumulator = static_cast<int32_t*>(job.hostBuffers[2 * c + job.half]);
        if (accumulator == nullptr) continue;
        const uint8_t* staged = static_cast<const uint8_t*>(job.staging[c]);
        if (job.hostBits == 16)
            accumulate<Host16>(accumulator, staged, count);
        else
            accumulate<Host24>(accumulator, staged, count);
    }
    return captured;
}
