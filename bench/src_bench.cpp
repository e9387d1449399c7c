// Converter speed in million output samples per second for one channel, at
// host buffer sizes of 89, 256 and 1024 frames, with speexdsp (quality 3)
// and soxr (low-quality recipe) converting the same ratio in the same run.
// Prints the ratios the variable-rate converter is judged by at the end.
#include <benchmark/benchmark.h>
#include <soxr.h>
#include <speex/speex_resampler.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "src/integer_converters.h"
#include "src/variable_rate_converter.h"

namespace {

const double kInputRate = 44100.0;
const double kOutputRate = 48000.0;
const double kStep = kInputRate / kOutputRate;

template <typename T>
std::vector<T> signal(size_t n) {
    std::vector<T> x(n);
    for (size_t i = 0; i < n; ++i)
        x[i] = T(static_cast<int32_t>(std::lround(20000.0 * std::sin(i * 0.0713) * (sizeof(T) == 3 ? 256 : 1))));
    return x;
}

void report(benchmark::State& state, int64_t outputs) {
    state.counters["Msamples/s"] = benchmark::Counter(double(outputs) * 1e-6, benchmark::Counter::kIsRate);
}

// Input blocks as the capture adapter reads them: enough hardware samples
// for one host buffer of outputs.
template <typename Converter, typename T>
void variableRate(benchmark::State& state, bool portable) {
    const int frames = static_cast<int>(state.range(0));
    const int block = static_cast<int>(std::ceil(frames * kStep));
    Converter c(kStep);
    if (portable) c.usePortableRoutines();
    const auto in = signal<T>(block);
    std::vector<T> out(c.maxOutputsFor(block));
    int64_t outputs = 0;
    for (auto _ : state) {
        int32_t n = 0;
        c.convert(in.data(), block, out.data(), n);
        benchmark::DoNotOptimize(out.data());
        outputs += n;
    }
    report(state, outputs);
    state.SetLabel(c.routinesName());
}

template <typename T>
void integerUp(benchmark::State& state) {
    const int frames = static_cast<int>(state.range(0));
    IntegerUpSamplerateConverter<T> c(2);
    const auto in = signal<T>(frames / 2 + 1);
    std::vector<T> out(frames + 2);
    int64_t outputs = 0;
    for (auto _ : state) {
        int32_t n = 0;
        c.convert(in.data(), frames / 2, out.data(), n);
        benchmark::DoNotOptimize(out.data());
        outputs += n;
    }
    report(state, outputs);
}

template <typename T>
void integerDown(benchmark::State& state) {
    const int frames = static_cast<int>(state.range(0));
    IntegerDownSamplerateConverter<T> c(2);
    const auto in = signal<T>(frames * 2);
    std::vector<T> out(frames + 1);
    int64_t outputs = 0;
    for (auto _ : state) {
        int32_t n = 0;
        c.convert(in.data(), frames * 2, out.data(), n);
        benchmark::DoNotOptimize(out.data());
        outputs += n;
    }
    report(state, outputs);
}

void speexQuality3(benchmark::State& state) {
    const int frames = static_cast<int>(state.range(0));
    const int block = static_cast<int>(std::ceil(frames * kStep));
    int error = 0;
    SpeexResamplerState* s = speex_resampler_init(1, spx_uint32_t(kInputRate), spx_uint32_t(kOutputRate), 3, &error);
    const auto in = signal<int16_t>(block);
    std::vector<int16_t> out(frames * 2);
    int64_t outputs = 0;
    for (auto _ : state) {
        spx_uint32_t inLength = block, outLength = spx_uint32_t(out.size());
        speex_resampler_process_int(s, 0, in.data(), &inLength, out.data(), &outLength);
        benchmark::DoNotOptimize(out.data());
        outputs += outLength;
    }
    speex_resampler_destroy(s);
    report(state, outputs);
}

void soxrLowQuality(benchmark::State& state) {
    const int frames = static_cast<int>(state.range(0));
    const int block = static_cast<int>(std::ceil(frames * kStep));
    const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_LQ, 0);
    soxr_t s = soxr_create(kInputRate, kOutputRate, 1, nullptr, &io, &quality, nullptr);
    const auto in = signal<int16_t>(block);
    std::vector<int16_t> out(frames * 2);
    int64_t outputs = 0;
    for (auto _ : state) {
        size_t used = 0, made = 0;
        soxr_process(s, in.data(), block, &used, out.data(), out.size(), &made);
        benchmark::DoNotOptimize(out.data());
        outputs += int64_t(made);
    }
    soxr_delete(s);
    report(state, outputs);
}

// Keeps each benchmark's rate by name (the median when repeated) for the
// closing comparison.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            auto it = r.counters.find("Msamples/s");
            if (it != r.counters.end() && (median || r.run_type == Run::RT_Iteration))
                rates_[r.run_name.str()] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double rate(const std::string& name) const {
        auto it = rates_.find(name);
        return it == rates_.end() ? 0.0 : it->second;
    }

private:
    std::map<std::string, double> rates_;
};

// The figures the variable-rate converter is judged by, from this run only:
// its rate against soxr's low-quality recipe at each block size, and its
// rate at 89 frames against its own at 1024.
void printComparison(const RatioReporter& reporter) {
    const double soxr[] = {reporter.rate("soxrLowQuality/89"), reporter.rate("soxrLowQuality/256"),
                           reporter.rate("soxrLowQuality/1024")};
    const double cyclesPerMicrosecond = benchmark::CPUInfo::Get().cycles_per_second * 1e-6;
    if (soxr[0] <= 0 || soxr[1] <= 0 || soxr[2] <= 0) return;
    std::printf("\n44100 -> 48000, million outputs per second (medians), ratio to soxr LQ (target >= 1.3),\n"
                "cycles per output at the nominal %.0f MHz:\n", cyclesPerMicrosecond);
    std::printf("  %-22s %24s %24s %24s   89/1024 (target >= 0.90)\n", "", "89 frames", "256 frames", "1024 frames");
    std::printf("  %-22s %8.1f %15s %8.1f %15s %8.1f\n", "soxr LQ", soxr[0], "", soxr[1], "", soxr[2]);
    for (const char* name : {"variableRate16/best", "variableRate24/best", "variableRate16/portable",
                             "variableRate24/portable"}) {
        const std::string base = std::string(name) + "/";
        const double v[] = {reporter.rate(base + "89"), reporter.rate(base + "256"), reporter.rate(base + "1024")};
        if (v[0] <= 0 || v[1] <= 0 || v[2] <= 0) continue;
        std::printf("  %-22s", name);
        for (int i = 0; i < 3; ++i)
            std::printf(" %8.1f x%5.2f %5.1f cyc", v[i], v[i] / soxr[i], cyclesPerMicrosecond / v[i]);
        std::printf("   %.2f\n", v[0] / v[2]);
    }
    const double speex = reporter.rate("speexQuality3/256"), v256 = reporter.rate("variableRate16/best/256");
    if (speex > 0 && v256 > 0) std::printf("  variable-rate 16-bit / speexdsp q3 at 256 frames: %.2f\n", v256 / speex);
}

void variableRate16(benchmark::State& state, bool portable) {
    variableRate<VariableRateSamplerateConverter16, int16_t>(state, portable);
}
void variableRate24(benchmark::State& state, bool portable) {
    variableRate<VariableRateSamplerateConverter24, Int24>(state, portable);
}

}  // namespace

#define SIZES Arg(89)->Arg(256)->Arg(1024)
BENCHMARK_CAPTURE(variableRate16, best, false)->SIZES;
BENCHMARK_CAPTURE(variableRate24, best, false)->SIZES;
BENCHMARK_CAPTURE(variableRate16, portable, true)->SIZES;
BENCHMARK_CAPTURE(variableRate24, portable, true)->SIZES;
BENCHMARK_TEMPLATE(integerUp, int16_t)->SIZES;
BENCHMARK_TEMPLATE(integerUp, Int24)->SIZES;
BENCHMARK_TEMPLATE(integerDown, int16_t)->SIZES;
BENCHMARK_TEMPLATE(integerDown, Int24)->SIZES;
BENCHMARK(speexQuality3)->SIZES;
BENCHMARK(soxrLowQuality)->SIZES;

// Unless told otherwise, every benchmark runs 9 times in random order and
// reports medians, so that the comparisons above hold within one run on a
// busy machine: `src_bench` alone gives the figures of docs/src.md.
int main(int argc, char** argv) {
    std::vector<char*> args(argv, argv + argc);
    char repetitions[] = "--benchmark_repetitions=9";
    char interleaving[] = "--benchmark_enable_random_interleaving=true";
    char aggregates[] = "--benchmark_report_aggregates_only=true";
    args.insert(args.begin() + 1, {repetitions, interleaving, aggregates});
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printComparison(reporter);
    benchmark::Shutdown();
    return 0;
}
