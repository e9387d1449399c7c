#include "src/adapter_factory.h"

#include <cmath>
#include <new>

#include "src/conversion_limits.h"
#include "src/input_adapters.h"
#include "src/output_adapters.h"

namespace {

enum class Direction { Capture, Render };

SamplerateAdapterPlan plan(Direction direction, uint32_t hardwareRate, double hostRate) {
    SamplerateAdapterPlan p;
    if (!(hostRate >= 0.0) || hostRate >= 4294967296.0) {
        p.kind = SamplerateAdapterKind::VariableRate;  // rejected when made
        p.ratio = 0.0;
        return p;
    }
    const uint32_t host = static_cast<uint32_t>(hostRate);
    if (host == hardwareRate) return p;
    const bool hostMultiple = hardwareRate != 0 && host > hardwareRate && host % hardwareRate == 0;
    const bool hardwareMultiple = host != 0 && hardwareRate > host && hardwareRate % host == 0;
    // Capture converts hardware to host, render host to hardware.
    if (hostMultiple) {
        p.kind = direction == Direction::Capture ? SamplerateAdapterKind::IntegerUp
                                                 : SamplerateAdapterKind::IntegerDown;
        p.factor = static_cast<int32_t>(host / hardwareRate);
    } else if (hardwareMultiple) {
        p.kind = direction == Direction::Capture ? SamplerateAdapterKind::IntegerDown
                                                 : SamplerateAdapterKind::IntegerUp;
        p.factor = static_cast<int32_t>(hardwareRate / host);
    } else {
        p.kind = SamplerateAdapterKind::VariableRate;
        p.ratio = direction == Direction::Capture ? hardwareRate / hostRate : hostRate / hardwareRate;
    }
    return p;
}

// A plan a drift corrector can steer: the variable-rate converter, also at
// a ratio of 1 where the rates agree; integer plans stay as they are.
SamplerateAdapterPlan steered(SamplerateAdapterPlan p, double spread) {
    if (spread == 0.0) return p;
    if (p.kind == SamplerateAdapterKind::None) {
        p.kind = SamplerateAdapterKind::VariableRate;
        p.ratio = 1.0;
    }
    if (p.kind == SamplerateAdapterKind::VariableRate) p.spread = spread;
    return p;
}

template <typename T, int32_t Min, int32_t Max>
InputSamplerateConverterIf* makeCapture(const SamplerateAdapterPlan& p, int32_t frames,
                                        int32_t& hardwareFrames, bool& valid) {
    InputSamplerateConversionAdapterAbs<T>* a = nullptr;
    switch (p.kind) {
        case SamplerateAdapterKind::IntegerUp:
            a = new (std::nothrow) IntegerUpInputSamplerateConversionAdapter<T>(p.factor, hardwareFrames, frames);
            break;
        case SamplerateAdapterKind::IntegerDown:
            a = new (std::nothrow) IntegerDownInputSamplerateConversionAdapter<T>(p.factor, hardwareFrames, frames);
            break;
        case SamplerateAdapterKind::VariableRate:
            a = new (std::nothrow)
                VariableRateInputSamplerateConversionAdapter<T, Min, Max>(p.ratio, hardwareFrames, frames, p.spread);
            break;
        case SamplerateAdapterKind::None:
            break;
    }
    valid = a && a->isValid();
    return a;
}

template <typename T, int32_t Min, int32_t Max>
OutputSamplerateConverterIf* makeRender(const SamplerateAdapterPlan& p, int32_t frames,
                                        int32_t& hardwareFrames, bool& valid) {
    OutputSamplerateConversionAdapterAbs<T>* a = nullptr;
    switch (p.kind) {
        case SamplerateAdapterKind::IntegerUp:
            a = new (std::nothrow) IntegerUpOutputSamplerateConversionAdapter<T>(p.factor, frames, hardwareFrames);
            break;
        case SamplerateAdapterKind::IntegerDown:
            a = new (std::nothrow) IntegerDownOutputSamplerateConversionAdapter<T>(p.factor, frames, hardwareFrames);
            break;
        case SamplerateAdapterKind::VariableRate:
            a = new (std::nothrow)
                VariableRateOutputSamplerateConversionAdapter<T, Min, Max>(p.ratio, frames, hardwareFrames, p.spread);
            break;
        case SamplerateAdapterKind::None:
            break;
    }
    valid = a && a->isValid();
    return a;
}

// Whether a plan can work at all, so that a refusal is not mistaken for a
// lack of memory.
bool acceptable(const SamplerateAdapterPlan& p, int32_t frames) {
    if (frames < 1) return false;
    if (p.kind == SamplerateAdapterKind::VariableRate) {
        if (!std::isfinite(p.ratio) || p.ratio <= 0.0) return false;
        if (!(p.spread >= 0.0 && p.spread <= src_detail::kMaxSpread)) return false;
        const double lowest = p.ratio * (1.0 - p.spread), highest = p.ratio * (1.0 + p.spread);
        const double most = double(src_detail::kMaxAdapterFrames);
        return lowest >= src_detail::kMinStep && highest <= src_detail::kMaxStep && frames * highest <= most &&
               frames / lowest <= most;
    }
    return p.factor >= 1 && int64_t(frames) * p.factor <= src_detail::kMaxAdapterFrames;
}

template <typename Adapter, typename Make>
SamplerateAdapterResult createAll(const SamplerateAdapterPlan& p, int hostBits, int32_t frames,
                                  int channels, Adapter** adapters, int32_t& hardwareFrames,
                                  Make make16, Make make24) {
    for (int c = 0; c < channels; ++c) adapters[c] = nullptr;
    hardwareFrames = frames;
    if (p.kind == SamplerateAdapterKind::None || (hostBits != 16 && hostBits != 24))
        return SamplerateAdapterResult::NotNeeded;
    if (!acceptable(p, frames) || channels < 0) {
        hardwareFrames = 0;
        return SamplerateAdapterResult::Unsupported;
    }
    int32_t made = 0;
    for (int c = 0; c < channels; ++c) {
        bool valid = false;
        adapters[c] = (hostBits == 16 ? make16 : make24)(p, frames, made, valid);
        if (!valid) {
            for (int k = 0; k <= c; ++k) {
                delete adapters[k];
                adapters[k] = nullptr;
            }
            hardwareFrames = 0;
            return SamplerateAdapterResult::OutOfMemory;
        }
    }
    hardwareFrames = made;
    return SamplerateAdapterResult::Made;
}

}  // namespace

SamplerateAdapterPlan planCaptureAdapter(uint32_t hardwareRate, double hostRate) {
    return plan(Direction::Capture, hardwareRate, hostRate);
}

SamplerateAdapterPlan planRenderAdapter(uint32_t hardwareRate, double hostRate) {
    return plan(Direction::Render, hardwareRate, hostRate);
}

SamplerateAdapterResult createCaptureAdapters(uint32_t hardwareRate, double hostRate, int hostBits,
                                              int32_t frames, int channels,
                                              InputSamplerateConverterIf** adapters,
                                              int32_t& hardwareFrames, double spread) {
    return createAll(steered(planCaptureAdapter(hardwareRate, hostRate), spread), hostBits, frames, channels,
                     adapters, hardwareFrames, &makeCapture<int16_t, -32768, 32767>,
                     &makeCapture<Int24, -8388608, 8388607>);
}

SamplerateAdapterResult createRenderAdapters(uint32_t hardwareRate, double hostRate, int hostBits,
                                             int32_t frames, int channels,
                                             OutputSamplerateConverterIf** adapters,
                                             int32_t& hardwareFrames, double spread) {
    return createAll(steered(planRenderAdapter(hardwareRate, hostRate), spread), hostBits, frames, channels,
                     adapters, hardwareFrames, &makeRender<int16_t, -32768, 32767>,
                     &makeRender<Int24, -8388608, 8388607>);
}

void deleteAdapters(InputSamplerateConverterIf** adapters, int channels) {
    for (int c = 0; c < channels; ++c) {
        delete adapters[c];
        adapters[c] = nullptr;
    }
}

void deleteAdapters(OutputSamplerateConverterIf** adapters, int channels) {
    for (int c = 0; c < channels; ++c) {
        delete adapters[c];
        adapters[c] = nullptr;
    }
}
