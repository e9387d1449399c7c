// Streams one channel through the variable-rate converter, 44100 -> 48000,
// in input blocks as the capture adapter reads them for a host buffer of
// FRAMES, until about 200 000 outputs are made, and prints their number.
// Meant for instruction counts, which unlike times repeat exactly:
//
//   valgrind --tool=callgrind --toggle-collect='*::convert(*' src_stream 89 16
//
// counts the instructions of convert alone; divided by the outputs printed,
// that is instructions per output. Arguments: FRAMES, 16 or 24 (bits), and
// "portable" for the plain C++ window routines.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "src/variable_rate_converter.h"

namespace {

template <typename Converter, typename T>
long stream(int frames, bool portable) {
    const double step = 44100.0 / 48000.0;
    const int block = static_cast<int>(std::ceil(frames * step));
    Converter c(step);
    if (portable) c.usePortableRoutines();
    std::vector<T> in(block);
    for (int i = 0; i < block; ++i)
        in[i] = T(static_cast<int32_t>(std::lround(20000.0 * std::sin(i * 0.0713) * (sizeof(T) == 3 ? 256 : 1))));
    std::vector<T> out(c.maxOutputsFor(block));
    long outputs = 0;
    while (outputs < 200000) {
        int32_t n = 0;
        c.convert(in.data(), block, out.data(), n);
        outputs += n;
    }
    return outputs;
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::atoi(argv[1]) : 0;
    const int bits = argc > 2 ? std::atoi(argv[2]) : 0;
    const bool portable = argc > 3 && std::strcmp(argv[3], "portable") == 0;
    if (frames < 1 || frames > 65536 || (bits != 16 && bits != 24)) {
        std::fprintf(stderr, "usage: src_stream FRAMES 16|24 [portable]\n");
        return 2;
    }
    const long outputs = bits == 16 ? stream<VariableRateSamplerateConverter16, int16_t>(frames, portable)
                                    : stream<VariableRateSamplerateConverter24, Int24>(frames, portable);
    std::printf("%ld outputs\n", outputs);
    return 0;
}
