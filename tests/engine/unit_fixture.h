// Units against simulated controllers: a manual-clock bus installed as the
// device boundary, and a routing record that opens the controller's KS
// filters the way a device record does.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "engine/ks_audio_capture_filter.h"
#include "engine/ks_audio_render_filter.h"
#include "sim/bus.h"

namespace enginetest {

class SimUnitRouting : public UnitRoutingIf {
public:
    SimUnitRouting(const std::string& path, std::vector<UnitWaveFormat> formats)
        : formats_(std::move(formats)) {
        HRESULT result = E_FAIL;
        render_ = std::make_unique<CKsAudRenFilter>(path.c_str(), "render", &result);
        EXPECT_EQ(result, S_OK);
        capture_ = std::make_unique<CKsAudCapFilter>(path.c_str(), "capture", &result);
        EXPECT_EQ(result, S_OK);
        for (uint8_t c = 0; c < 16; ++c) inputs[c] = outputs[c] = c;
    }

    CKsAudRenFilter* getRenderFilter() override { return render_.get(); }
    CKsAudCapFilter* getCaptureFilter() override { return capture_.get(); }
    size_t getNumberOfFormats() override { return formats_.size(); }
    bool getFormat(size_t index, UnitWaveFormat* format) override {
        if (index >= formats_.size()) return false;
        *format = formats_[index];
        return true;
    }
    uint8_t getInputAsioChannel(size_t channel) override { return inputs[channel]; }
    uint8_t getOutputAsioChannel(size_t channel) override { return outputs[channel]; }

    uint8_t inputs[16];
    uint8_t outputs[16];

private:
    std::vector<UnitWaveFormat> formats_;
    std::unique_ptr<CKsAudRenFilter> render_;
    std::unique_ptr<CKsAudCapFilter> capture_;
};

inline std::vector<UnitWaveFormat> qelmFormats(sim::QelmLayout layout) {
    if (layout == sim::QelmLayout::FourFour) return {{4, 4, 44100, 16}};
    return {{2, 8, 44100, 16}};
}

// The second brand's two-channel unit: render only, 24 and 16 bits.
inline std::vector<UnitWaveFormat> daltoFormats() {
    return {{0, 2, 48000, 24}, {0, 2, 44100, 24}, {0, 2, 48000, 16}, {0, 2, 44100, 16}};
}

class UnitTest : public ::testing::Test {
protected:
    UnitTest() : bus(sim::ClockMode::Manual), boundary(bus) {}

    // Plugs a controller and builds its routing record.
    SimUnitRouting& plug(sim::Model model, std::vector<UnitWaveFormat> formats,
                         sim::QelmLayout layout = sim::QelmLayout::FourFour) {
        sim::ControllerConfig config;
        config.model = model;
        config.layout = layout;
        return plug(config, std::move(formats));
    }
    // The same for a controller described in full (ranges, faults).
    SimUnitRouting& plug(sim::ControllerConfig config, std::vector<UnitWaveFormat> formats) {
        config.serial = sim::widen("ENGINE" + std::to_string(controllers.size()));
        controllers.push_back(bus.plug(config));
        EXPECT_TRUE(controllers.back());
        routings.push_back(std::make_unique<SimUnitRouting>(controllers.back()->interfacePath(), std::move(formats)));
        return *routings.back();
    }
    SimUnitRouting& plugQelm(sim::QelmLayout layout = sim::QelmLayout::FourFour) {
        return plug(sim::Model::Qelm, qelmFormats(layout), layout);
    }

    // Units are deleted before the routing records whose filters they use.
    void TearDown() override {
        units.clear();
        routings.clear();
    }
    template <typename Unit>
    Unit* keep(Unit* unit) {
        if (unit != nullptr) units.emplace_back(unit);
        return unit;
    }

    sim::SimBus bus;
    sim::ScopedDeviceBoundary boundary;
    std::vector<std::shared_ptr<sim::SimController>> controllers;
    std::vector<std::unique_ptr<SimUnitRouting>> routings;
    std::vector<std::unique_ptr<KsAudioFilter>> units;
};

// Both halves of every host channel, and the table that points at them.
struct HostHalves {
    HostHalves(uint32_t channels, uint32_t frames, uint32_t bits)
        : frames(frames), bytes(bits / 8), data(channels, std::vector<uint8_t>(2 * frames * bits / 8, 0)),
          table(kHostBufferTableSize, nullptr) {
        for (uint32_t c = 0; c < channels; ++c) {
            table[2 * c] = data[c].data();
            table[2 * c + 1] = data[c].data() + frames * bytes;
        }
    }
    uint8_t* half(uint32_t channel, uint32_t h) { return data[channel].data() + h * frames * bytes; }
    uint32_t frames;
    uint32_t bytes;
    std::vector<std::vector<uint8_t>> data;
    std::vector<void*> table;
};

// One accumulator per capture channel, in both entries as the composite
// device hands them out.
struct Accumulators {
    Accumulators(uint32_t channels, uint32_t frames)
        : sums(channels, std::vector<int32_t>(frames, 0)), table(kHostBufferTableSize, nullptr) {
        for (uint32_t c = 0; c < channels; ++c) table[2 * c] = table[2 * c + 1] = sums[c].data();
    }
    void clear() {
        for (auto& s : sums) std::fill(s.begin(), s.end(), 0);
    }
    std::vector<std::vector<int32_t>> sums;
    std::vector<void*> table;
};

inline bool signalled(os::Handle event) { return os::waitForOne(event, 0) == os::kWaitObject0; }

}  // namespace enginetest
