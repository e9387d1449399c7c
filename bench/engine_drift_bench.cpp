// Clock-drift correction over long runs on the virtual clock: QELM units
// at 44.1 kHz and 89-frame buffers, the first on a perfect crystal (it
// paces), the others drifting, each wandering by 3 ppm, warming up by
// 1 ppm/s for 30 s, behind USB's 1 ms frames with completion jitter. For
// each scenario it prints what the stream lost (as the simulated devices
// and as the driver counted it), the realignments, each follower's lock
// and steady-state figures (engine/composite_drift_figures.h), and the
// streaming thread's own work per period. Last, a 1 kHz tone through a
// follower at +100 ppm: its SINAD and the largest spur beside it, from the
// follower's own output (a sine fitted to the last 1.5 s of it).
//
//   engine_drift_bench [seconds] [jitter-us] [tone]
//
// (defaults: 3600 s and 100 us; "tone" measures the tone alone, "four" runs
// the four units at +-1000 ppm alone, as for a profiler, 1 to 6 the
// scenario of that number alone, and "joins" a controller that joins the
// running stream, the first time and plugged back, for up to 60 s each.)
//
// Every scenario runs that many seconds of audio; an hour takes minutes in
// a release build.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "brands/asio_device_registry.h"
#include "brands/brand_vexa.h"
#include "brands/memory_settings_store.h"
#include "devices/vexa_device_models.h"
#include "engine/composite_drift_figures.h"
#include "engine/composite_ks_audio_device.h"
#include "engine/composite_virtual_clock.h"
#include "sim/bus.h"
#include "sim/capture_signal.h"

namespace {

constexpr int32_t kFrames = 89;
constexpr double kRate = 44100.0;
constexpr size_t kToneWindow = 65536;  // frames the tone is judged over

int32_t onMessage(int32_t, int32_t, void*, double*) { return 0; }

// The host: a 1 kHz tone at half of full scale into every output. 441
// frames hold exactly ten of its cycles, so the host copies a buffer's
// samples from a table of those (and a buffer more, so that every buffer is
// one copy): the host's own work stays small beside the driver's, and its
// time is measured and reported on its own.
constexpr double kToneHz = 1000.0;
constexpr double kToneAmplitude = 0.5;
constexpr uint32_t kToneCycleFrames = 441;
struct ToneHost {
    std::vector<ASIOBufferInfo>* infos = nullptr;
    ASIOSampleType type = ASIOSTInt32LSB;
    uint32_t bytes = 4;
    uint64_t frame = 0;
    uint8_t table[(kToneCycleFrames + kFrames) * 4] = {};
    uint64_t busyNs = 0;  // time spent in the callback
} tone;

uint32_t sampleBytes(ASIOSampleType type) { return type == ASIOSTInt16LSB ? 2 : type == ASIOSTInt24LSB ? 3 : 4; }

void writeSample(uint8_t* at, double value, ASIOSampleType type) {
    const int32_t v = static_cast<int32_t>(std::lround(value * 2147483647.0));
    const uint32_t bytes = sampleBytes(type);
    for (uint32_t b = 0; b < bytes; ++b) at[b] = static_cast<uint8_t>(uint32_t(v) >> (8 * (4 - bytes + b)));
}

void prepareTone(ASIOSampleType type) {
    tone.type = type;
    tone.bytes = sampleBytes(type);
    tone.frame = 0;
    for (uint32_t f = 0; f < kToneCycleFrames + kFrames; ++f)
        writeSample(tone.table + f * tone.bytes,
                    kToneAmplitude * std::sin(2.0 * M_PI * kToneHz * double(f % kToneCycleFrames) / kRate), type);
}

void onSwitch(int32_t half, ASIOBool) {
    if (tone.infos == nullptr) return;
    const auto entered = std::chrono::steady_clock::now();
    const uint8_t* samples = tone.table + (tone.frame % kToneCycleFrames) * tone.bytes;
    for (ASIOBufferInfo& info : *tone.infos)
        if (!info.isInput) std::memcpy(info.buffers[half], samples, size_t(kFrames) * tone.bytes);
    tone.frame += kFrames;
    tone.busyNs += static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - entered).count());
}

struct Scenario {
    std::vector<int32_t> followerPpm;  // one controller each, after the pacing one
    bool steadyCrystals = false;       // no wander, no warm-up
};

class DriftStream {
public:
    DriftStream(const Scenario& scenario, uint32_t jitterUs) : boundary_(bus_), clock_(bus_) {
        DeviceModelIf* models[] = {new VexaQelmDeviceModel};
        registry_ = std::make_unique<AsioDeviceRegistry>(1, models, store_);
        std::vector<int32_t> drifts{0};
        drifts.insert(drifts.end(), scenario.followerPpm.begin(), scenario.followerPpm.end());
        for (size_t i = 0; i < drifts.size(); ++i) {
            sim::ControllerConfig config;
            config.serial = sim::widen("DRIFT" + std::to_string(i) + "X");
            config.layout = sim::QelmLayout::EightTwo;
            config.faults.driftPpm = drifts[i];
            config.faults.wanderPpm = scenario.steadyCrystals ? 0.0 : 3.0;
            config.faults.rampPpmPerSecond = i == 0 || scenario.steadyCrystals ? 0.0 : 1.0;
            config.faults.rampSeconds = 30;
            config.faults.jitterUs = jitterUs;
            config.faults.usbFrames = true;
            auto controller = bus_.plug(config);
            controller->setRenderedCap(kToneWindow * 8 * 4);
            controllers_.push_back(controller);
        }
        registry_->enumerateDevices();
        // Four outputs and two inputs of each unit are the host's.
        for (size_t r = 0; r < drifts.size(); ++r) {
            AsioDeviceConfigurationIf* configuration = registry_->getAsioDevice(r)->getActiveConfiguration();
            for (uint8_t c = 0; c < 8; ++c)
                configuration->setOutputAsioChannel(c, c < 4 ? static_cast<uint8_t>(4 * r + c) : 255);
            for (uint8_t c = 0; c < 2; ++c) configuration->setInputAsioChannel(c, static_cast<uint8_t>(2 * r + c));
        }
        HRESULT result = E_FAIL;
        device_ = std::make_unique<CompositeKsAudioDevice>(registry_.get(), &result, &clock_);
        const int32_t units = static_cast<int32_t>(drifts.size());
        for (int32_t n = 0; n < 2 * units; ++n) infos_.push_back({ASIOTrue, n, {nullptr, nullptr}});
        for (int32_t n = 0; n < 4 * units; ++n) infos_.push_back({ASIOFalse, n, {nullptr, nullptr}});
        std::vector<std::pair<const AsioDeviceInfo*, std::shared_ptr<sim::SimController>>> map;
        for (size_t i = 0; i < controllers_.size(); ++i) map.emplace_back(registry_->getAsioDevice(i), controllers_[i]);
        figures_ = std::make_unique<DriftFigures>(kRate, std::move(map));
        device_->setDriftObserver(figures_.get());
        callbacks_.bufferSwitch = onSwitch;
        callbacks_.asioMessage = onMessage;
        ASIOChannelInfo channel = {};
        channel.channel = 0;
        channel.isInput = ASIOFalse;
        prepareTone(device_->getChannelInfo(&channel) == ASE_OK ? channel.type : ASIOSTInt32LSB);
        tone.infos = &infos_;
        ok_ = result == S_OK && device_->setSampleRate(kRate) == ASE_OK &&
              device_->createBuffers(infos_.data(), static_cast<int32_t>(infos_.size()), kFrames, &callbacks_) ==
                  ASE_OK &&
              device_->start() == ASE_OK;
    }
    ~DriftStream() {
        device_->stop();
        tone.infos = nullptr;
        device_->setDriftObserver(nullptr);
        device_->disposeBuffers();
        device_.reset();
        registry_.reset();
    }
    bool ok() const { return ok_; }
    VirtualCompositeClock& clock() { return clock_; }
    const DriftFigures& figures() const { return *figures_; }
    CompositeKsAudioDevice& device() { return *device_; }
    size_t controllers() const { return controllers_.size(); }
    const sim::SimController& controller(size_t i) const { return *controllers_[i]; }
    const AsioDeviceInfo* record(size_t i) const { return registry_->getAsioDevice(i); }
    // Pulls controller i out, or plugs it back in, and lets the driver see.
    void unplug(size_t i) {
        bus_.unplug(controllers_[i]);
        registry_->enumerateDevices();
    }
    void replug(size_t i) {
        bus_.replug(controllers_[i]);
        registry_->enumerateDevices();
    }
    // Figures from now on only (a unit that joins again is a new unit).
    void watchAfresh() {
        std::vector<std::pair<const AsioDeviceInfo*, std::shared_ptr<sim::SimController>>> map;
        for (size_t i = 0; i < controllers_.size(); ++i) map.emplace_back(registry_->getAsioDevice(i), controllers_[i]);
        auto figures = std::make_unique<DriftFigures>(kRate, std::move(map));
        device_->setDriftObserver(figures.get());
        figures_ = std::move(figures);
    }

private:
    VexaAsioBrand brand_;
    sim::SimBus bus_{sim::ClockMode::Manual};
    sim::ScopedDeviceBoundary boundary_;
    MemorySettingsStore store_;
    VirtualCompositeClock clock_;
    std::unique_ptr<AsioDeviceRegistry> registry_;
    std::unique_ptr<CompositeKsAudioDevice> device_;
    std::vector<std::shared_ptr<sim::SimController>> controllers_;
    std::unique_ptr<DriftFigures> figures_;
    std::vector<ASIOBufferInfo> infos_;
    ASIOCallbacks callbacks_ = {};
    bool ok_ = false;
};

// Interleaved samples of one channel of what a controller rendered last,
// scaled to full scale 1.
std::vector<double> renderedChannel(const sim::SimController& controller, uint32_t channel) {
    const std::vector<uint8_t> bytes = controller.renderedBytes();
    const sim::StreamFormat format = controller.renderedFormat();
    const uint32_t container = format.containerBits / 8;
    std::vector<double> samples;
    for (size_t at = size_t(channel) * container; at + container <= bytes.size(); at += format.blockAlign)
        samples.push_back(double(sim::readContainerSample(bytes.data() + at, format.containerBits)) /
                          double(1u << (format.containerBits - 1)));
    return samples;
}

// Least-squares fit of a sine of `cycles` per sample (with an offset):
// the residual's power.
double fitResidual(const std::vector<double>& x, double cycles, std::vector<double>* residual = nullptr) {
    double ss = 0, sc = 0, cc = 0, s1 = 0, c1 = 0, xs = 0, xc = 0, x1 = 0;
    const double n = double(x.size());
    for (size_t i = 0; i < x.size(); ++i) {
        const double p = 2.0 * M_PI * cycles * double(i), sn = std::sin(p), cs = std::cos(p);
        ss += sn * sn, sc += sn * cs, cc += cs * cs, s1 += sn, c1 += cs;
        xs += x[i] * sn, xc += x[i] * cs, x1 += x[i];
    }
    // Solve the 3x3 normal equations by Cramer's rule.
    const double m[3][3] = {{ss, sc, s1}, {sc, cc, c1}, {s1, c1, n}};
    const double r[3] = {xs, xc, x1};
    auto det = [](const double a[3][3]) {
        return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) - a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
               a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    };
    const double d = det(m);
    double coefficient[3];
    for (int k = 0; k < 3; ++k) {
        double a[3][3];
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) a[i][j] = j == k ? r[i] : m[i][j];
        coefficient[k] = det(a) / d;
    }
    double power = 0.0;
    if (residual != nullptr) residual->resize(x.size());
    for (size_t i = 0; i < x.size(); ++i) {
        const double p = 2.0 * M_PI * cycles * double(i);
        const double e = x[i] - coefficient[0] * std::sin(p) - coefficient[1] * std::cos(p) - coefficient[2];
        power += e * e;
        if (residual != nullptr) (*residual)[i] = e;
    }
    return power / n;
}

// The largest component of x (Hann window), in dB of full scale.
// Components within `skirt` cycles per sample of `tone` are left out.
double largestComponentDb(const std::vector<double>& x, double tone, double skirt, double* cycles) {
    size_t n = 1;
    while (n * 2 <= x.size()) n *= 2;
    std::vector<std::complex<double>> a(n);
    double gain = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double w = 0.5 - 0.5 * std::cos(2.0 * M_PI * double(i) / double(n));
        a[i] = x[i] * w;
        gain += w;
    }
    for (size_t i = 1, j = 0; i < n; ++i) {  // bit reversal
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        const std::complex<double> step = std::polar(1.0, -2.0 * M_PI / double(len));
        for (size_t i = 0; i < n; i += len) {
            std::complex<double> w = 1.0;
            for (size_t k = 0; k < len / 2; ++k, w *= step) {
                const std::complex<double> u = a[i + k], v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
            }
        }
    }
    double most = 0.0;
    for (size_t k = 1; k < n / 2; ++k)
        if (std::fabs(double(k) / double(n) - tone) > skirt && std::abs(a[k]) > most) {
            most = std::abs(a[k]);
            if (cycles != nullptr) *cycles = double(k) / double(n);
        }
    return 20.0 * std::log10(std::max(2.0 * most / gain, 1e-15));
}

// A 1 kHz tone through a follower: SINAD and the largest spur beside it.
// Its crystals stand still (no wander, no warm-up): a crystal that wanders
// moves the tone's pitch in the follower's own samples, as it should, which
// a fit of one sine would count as noise.
void measureTone(uint64_t seconds, uint32_t jitterUs) {
    DriftStream stream(Scenario{{+100}, true}, jitterUs);
    std::printf("1 kHz tone at -6 dBFS through a follower at +100 ppm (steady crystals), jitter %u us, %" PRIu64
                " s\n",
                jitterUs, seconds);
    if (!stream.ok()) {
        std::printf("  the stream did not start\n");
        return;
    }
    for (uint64_t s = 0; s < seconds; ++s) stream.clock().runFor(1000000000ull);
    std::vector<double> played = renderedChannel(stream.controller(1), 0);
    if (played.size() > kToneWindow) played.erase(played.begin(), played.end() - kToneWindow);
    // The tone's frequency in the follower's own samples: near 1 kHz less
    // its drift; the fit's best within +-50 ppm of that.
    double low = kToneHz / kRate * (1.0 - 150e-6), high = kToneHz / kRate * (1.0 - 50e-6 + 100e-6);
    for (int i = 0; i < 60; ++i) {
        const double a = low + (high - low) * 0.382, b = low + (high - low) * 0.618;
        if (fitResidual(played, a) < fitResidual(played, b))
            high = b;
        else
            low = a;
    }
    const double cycles = 0.5 * (low + high);
    std::vector<double> residual;
    const double noise = fitResidual(played, cycles, &residual);
    const double signal = kToneAmplitude * kToneAmplitude / 2.0;
    // Over short windows, as an analyser's notch would: the pitch's slow
    // wander (the loop's ratio noise, a part of a ppm) stays out.
    constexpr size_t kShort = 4096;
    double shortNoise = 0.0;
    size_t windows = 0;
    for (size_t at = 0; at + kShort <= played.size(); at += kShort, ++windows) {
        const std::vector<double> part(played.begin() + long(at), played.begin() + long(at + kShort));
        shortNoise += fitResidual(part, cycles);
    }
    shortNoise /= double(windows > 0 ? windows : 1);
    double spurCycles = 0.0;
    const double skirt = 10.0 / kRate;
    const double spur = largestComponentDb(residual, cycles, skirt, &spurCycles);
    std::printf("  tone at %.4f Hz of the follower's samples; SINAD %.1f dB over %zu frames, %.1f dB over windows "
                "of %zu; largest spur more than 10 Hz from the tone %.1f dBFS at %.1f Hz\n",
                cycles * kRate, 10.0 * std::log10(signal / std::max(noise, 1e-30)), played.size(),
                10.0 * std::log10(signal / std::max(shortNoise, 1e-30)), kShort, spur, spurCycles * kRate);
}

// A follower that joins the running stream: first a controller the driver
// has not seen, then the same one pulled and plugged back a second later
// (its crystal remembered; plugged back, its warm-up starts again). For
// each, its units' largest fill error in their first 10 s (from the place
// a plugged-back unit is held at), that place, and the steady figures.
void measureJoins(uint64_t seconds, uint32_t jitterUs) {
    for (const int32_t ppm : {+100, -100, +1000, -1000}) {
        DriftStream stream(Scenario{{ppm}}, jitterUs);
        std::printf("a controller at %+d ppm joins, jitter %u us, %" PRIu64 " s after each join\n", ppm, jitterUs,
                    seconds);
        if (!stream.ok()) {
            std::printf("  the stream did not start\n");
            continue;
        }
        VirtualCompositeClock& clock = stream.clock();
        stream.unplug(1);
        clock.runFor(5000000000ull);
        for (const char* how : {"first seen", "plugged back"}) {
            if (std::strcmp(how, "plugged back") == 0) {
                stream.unplug(1);
                clock.runFor(1000000000ull);
            }
            stream.replug(1);
            stream.watchAfresh();
            for (uint64_t s = 0; s < seconds; ++s) clock.runFor(1000000000ull);
            for (const DriftFigures::Unit& u : stream.figures()) {
                if (u.record != stream.record(1)) continue;
                std::printf("  %s, %s: largest fill error in its first 10 s %.2f frames (held at %.2f), steady rms "
                            "%.3f (peak %.2f), 1 s ratio error %.2f ppm rms\n",
                            how, u.input ? "capture" : "render ", u.peakBeforeSteady, u.place, u.steadyRms(),
                            u.steadyPeak, u.ratioErrorRmsPpm());
            }
        }
        const sim::SimController& c = stream.controller(1);
        std::printf("  gaps in the joining controller: %" PRIu64 " frames lost; realignments %" PRIu64 "\n",
                    c.renderStats().framesLost + c.captureStats().framesLost, stream.device().driftRealignments());
        std::fflush(stdout);
    }
}

std::string describe(const Scenario& scenario) {
    std::string text = std::to_string(scenario.followerPpm.size() + 1) + " units, followers at";
    for (int32_t ppm : scenario.followerPpm) text += (ppm >= 0 ? " +" : " ") + std::to_string(ppm);
    return text + " ppm";
}

void run(const Scenario& scenario, uint64_t seconds, uint32_t jitterUs) {
    DriftStream stream(scenario, jitterUs);
    std::printf("%s, jitter %u us, %" PRIu64 " s of audio\n", describe(scenario).c_str(), jitterUs, seconds);
    if (!stream.ok()) {
        std::printf("  the stream did not start\n");
        return;
    }
    VirtualCompositeClock& clock = stream.clock();
    const uint64_t periodNs = static_cast<uint64_t>(kFrames / kRate * 1e9);
    const uint64_t busyBefore = clock.busyNs(), hostBefore = tone.busyNs;
    for (uint64_t s = 0; s < seconds; ++s) clock.runFor(1000000000ull);
    const double periods = double(seconds) * 1e9 / double(periodNs);
    const double busyPerPeriod = double(clock.busyNs() - busyBefore) / periods;
    const double hostPerPeriod = double(tone.busyNs - hostBefore) / periods;
    uint64_t lost = 0, deviceGaps = 0, counted = 0;
    for (size_t i = 0; i < stream.controllers(); ++i) {
        const sim::SimController& c = stream.controller(i);
        lost += c.renderStats().framesLost + c.captureStats().framesLost;
        deviceGaps += c.renderStats().gaps + c.captureStats().gaps;
        for (const bool input : {false, true}) counted += stream.device().getUnitGaps(stream.record(i), input).gaps;
    }
    std::printf("  gaps: %" PRIu64 " as the devices saw them (%" PRIu64 " frames), %" PRIu64
                " counted by the driver, %" PRIu64 " realignments\n",
                deviceGaps, lost, counted, stream.device().driftRealignments());
    for (const DriftFigures::Unit& u : stream.figures()) {
        if (!u.converting) continue;  // the pacing controller's other unit
        std::printf("  %s follower: largest fill error before steady %.2f frames, steady rms %.3f (peak %.2f), "
                    "1 s ratio error %.2f ppm rms, largest ratio step %.3f ppm\n",
                    u.input ? "capture" : "render ", u.peakBeforeSteady, u.steadyRms(), u.steadyPeak, u.ratioErrorRmsPpm(),
                    u.largestRatioStep * 1e6);
    }
    std::printf("  streaming thread: %.1f us per period (%.2f %% of one); the driver's own part (without the "
                "host's callback, %.1f us): %.1f us (%.2f %%)\n",
                busyPerPeriod * 1e-3, 100.0 * busyPerPeriod / double(periodNs), hostPerPeriod * 1e-3,
                (busyPerPeriod - hostPerPeriod) * 1e-3, 100.0 * (busyPerPeriod - hostPerPeriod) / double(periodNs));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t seconds = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 3600;
    const uint32_t jitterUs = argc > 2 ? static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)) : 100;
    const Scenario scenarios[] = {
        {{+100}}, {{-100}}, {{+1000}}, {{-1000}}, {{+100, -100, +50}}, {{+1000, -1000, +500}},
    };
    const std::string only = argc > 3 ? argv[3] : "";
    if (only == "four") {
        run(scenarios[5], seconds, jitterUs);
        return 0;
    }
    if (only == "joins") {
        measureJoins(std::min<uint64_t>(seconds, 60), jitterUs);
        return 0;
    }
    if (!only.empty() && only[0] >= '1' && only[0] <= '6') {
        run(scenarios[only[0] - '1'], seconds, jitterUs);
        return 0;
    }
    if (only != "tone")
        for (const Scenario& scenario : scenarios) run(scenario, seconds, jitterUs);
    measureTone(only == "tone" ? seconds : std::min<uint64_t>(seconds, 30), jitterUs);
    return 0;
}
