// Quality report of the variable-rate converter: for each rate pair, the
// signal-to-noise ratio of a 1 kHz tone, the response at 10 kHz and 18 kHz,
// the level of the image or alias of a tone near the input Nyquist
// frequency, and the group delay. Figures describe the kernel as it is.
//
//   src_quality            prints the table
#include <cmath>
#include <cstdio>
#include <vector>

#include "src/variable_rate_converter.h"

namespace {

const double kPi = 3.14159265358979323846;
const double kSeconds = 2.0;

struct Fit {
    double amplitude;
    double phase;     // of sin(w k + phase)
    double residual;  // mean square after removing tone and offset
};

// Least-squares fit of a sin + b cos + c at angular frequency w over y.
Fit fitTone(const std::vector<double>& y, size_t from, size_t to, double w) {
    double m[3][4] = {};
    for (size_t k = from; k < to; ++k) {
        const double b[3] = {std::sin(w * k), std::cos(w * k), 1.0};
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) m[r][c] += b[r] * b[c];
            m[r][3] += b[r] * y[k];
        }
    }
    for (int p = 0; p < 3; ++p)
        for (int r = p + 1; r < 3; ++r) {
            const double f = m[r][p] / m[p][p];
            for (int c = p; c < 4; ++c) m[r][c] -= f * m[p][c];
        }
    double x[3];
    for (int r = 2; r >= 0; --r) {
        double s = m[r][3];
        for (int c = r + 1; c < 3; ++c) s -= m[r][c] * x[c];
        x[r] = s / m[r][r];
    }
    double e = 0.0;
    for (size_t k = from; k < to; ++k) {
        const double d = y[k] - (x[0] * std::sin(w * k) + x[1] * std::cos(w * k) + x[2]);
        e += d * d;
    }
    return {std::hypot(x[0], x[1]), std::atan2(x[1], x[0]), e / double(to - from)};
}

// Converts a tone of the given frequency and amplitude (fraction of full
// scale) through the 24-bit converter in 256-sample blocks.
std::vector<double> convertTone(double inRate, double outRate, double frequency, double amplitude) {
    const size_t n = static_cast<size_t>(inRate * kSeconds);
    std::vector<Int24> in(n);
    for (size_t i = 0; i < n; ++i)
        in[i] = Int24(static_cast<int32_t>(std::lround(amplitude * 8388607.0 * std::sin(2 * kPi * frequency * i / inRate))));
    VariableRateSamplerateConverter24 c(inRate / outRate);
    std::vector<double> y;
    std::vector<Int24> block(c.maxOutputsFor(256));
    for (size_t at = 0; at < n; at += 256) {
        const int32_t len = static_cast<int32_t>(std::min<size_t>(256, n - at));
        int32_t made = 0;
        c.convert(in.data() + at, len, block.data(), made);
        for (int32_t k = 0; k < made; ++k) y.push_back(block[k].toInt() / 8388607.0);
    }
    return y;
}

double db(double ratio) { return 20.0 * std::log10(ratio); }

// Frequency at which a component appears after sampling at rate fs.
double fold(double f, double fs) {
    f = std::fmod(f, fs);
    return f > fs / 2 ? fs - f : f;
}

struct Measure {
    double level;  // dB relative to the input amplitude
    double delay;  // seconds, from the phase
    double snr;    // dB, tone against everything else
};

Measure measure(double inRate, double outRate, double frequency, double amplitude, double at) {
    const auto y = convertTone(inRate, outRate, frequency, amplitude);
    const size_t skip = 256;
    const Fit f = fitTone(y, skip, y.size() - skip, 2 * kPi * at / outRate);
    Measure m;
    m.level = db(f.amplitude / amplitude);
    // The output sample k stands for time k / outRate; a tone delayed by d
    // has phase -2 pi f d there.
    double phase = -f.phase;
    while (phase < -kPi) phase += 2 * kPi;
    while (phase > kPi) phase -= 2 * kPi;
    m.delay = phase / (2 * kPi * frequency);
    m.snr = 10.0 * std::log10((f.amplitude * f.amplitude / 2) / f.residual);
    return m;
}

}  // namespace

int main() {
    const double pairs[][2] = {{44100, 48000}, {48000, 44100}, {96000, 44100}};
    std::printf("Variable-rate converter, 24-bit path, tones at -6 dBFS, %.0f s per figure\n\n", kSeconds);
    for (const auto& pair : pairs) {
        const double in = pair[0], out = pair[1];
        const Measure tone1k = measure(in, out, 1000.0, 0.5, 1000.0);
        const Measure tone10k = measure(in, out, 10000.0, 0.5, 10000.0);
        const Measure tone18k = measure(in, out, 18000.0, 0.5, 18000.0);
        const double high = 0.95 * in / 2;
        // Upsampling: the image at in - f lands in the output band; with
        // the kernel's cutoff at the input Nyquist frequency, downsampling
        // folds the tone itself when it lies above the output Nyquist.
        const double image = high > out / 2 ? fold(high, out) : fold(in - high, out);
        const Measure spur = measure(in, out, high, 0.5, image);
        std::printf("%.0f -> %.0f Hz\n", in, out);
        std::printf("  1 kHz tone: SNR %.1f dB, level %+.4f dB\n", tone1k.snr, tone1k.level);
        std::printf("  response: 10 kHz %+.3f dB, 18 kHz %+.3f dB\n", tone10k.level, tone18k.level);
        std::printf("  tone at %.0f Hz: %s at %.0f Hz, %.1f dB\n", high,
                    high > out / 2 ? "alias" : "image", image, spur.level);
        std::printf("  group delay: %.2f us at 1 kHz, %.2f us at 10 kHz (%.3f / %.3f output samples)\n\n",
                    tone1k.delay * 1e6, tone10k.delay * 1e6, tone1k.delay * out, tone10k.delay * out);
    }
    return 0;
}
