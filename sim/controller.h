// One simulated controller: its configuration and faults, its place on the
// bus (device-tree nodes, interface and HID paths), its KS filter, and what
// it has streamed.
//
// Controllers are created and plugged by a SimBus. Every accessor takes the
// bus's lock, so tests may inspect and change a controller while the driver
// streams from it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/ks_abi.h"
#include "platform/os.h"
#include "sim/controller_config.h"
#include "sim/filter_model.h"
#include "sim/loopback_line.h"
#include "sim/stream_pin.h"

namespace sim {

class SimController {
public:
    SimController(std::shared_ptr<os::RecursiveMutex> lock, const ControllerConfig& config);
    SimController(const SimController&) = delete;
    SimController& operator=(const SimController&) = delete;

    ControllerConfig config() const;
    Model model() const;
    std::u16string serial() const;
    uint32_t port() const;
    bool isPlugged() const;

    // Where the controller appears while plugged (empty / 0 while not).
    std::string interfacePath() const;
    std::string hidPath() const;
    DEVINST audioDeviceInstance() const;

    // The live fault counters; setting them replaces all of them.
    Faults faults() const;
    void setFaults(const Faults& faults);
    // Switches loopback on (with its hardware delay) or off at any time.
    void setLoopback(bool on, uint32_t delayFrames);
    void setAliases(AliasState render, AliasState capture);

    // Everything rendered since the last clear, in the render pin's format
    // (interleaved, little-endian), at most the cap; the oldest bytes give
    // way when the cap is reached.
    std::vector<uint8_t> renderedBytes() const;
    StreamFormat renderedFormat() const;
    uint64_t renderedByteTotal() const;  // including bytes that gave way
    void clearRendered();
    void setRenderedCap(size_t bytes);

    // How fast its crystal runs at that bus time, in ppm: the drift, the
    // wander and the warm-up ramp (docs/simulator.md, "Clocks").
    double driftPpmAt(uint64_t busNs) const;

    // The render or capture pin's last completion (zeros without a pin).
    CompletionTiming lastCompletion(bool capture) const;

    StreamStats renderStats() const;
    StreamStats captureStats() const;
    // Pin instances open on the current plug-in (render + capture).
    uint32_t openPins() const;
    // The current KS state of the render or capture pin; KSSTATE_STOP when none.
    KSSTATE pinState(bool capture) const;
    // Pin handles closed before their pin had been stepped down to STOP.
    uint32_t pinsClosedUnstopped() const;
    // Removals (requestRemoval) refused because a handle stayed open.
    uint32_t removalVetoes() const;
    // Every path at which its HID device answers (one per collection).
    std::vector<std::string> hidPaths() const;

    static constexpr size_t kDefaultRenderedCap = 8u << 20;

private:
    friend class SimBus;
    friend class StreamPin;

    // A fault counter that fires: true once per count, for ever with kAlways.
    static bool consume(uint32_t& counter);
    // How fast the crystal runs at bus time nowNs, in parts per billion:
    // the drift, its slow wander and the warm-up ramp since the plug-in.
    int64_t driftPpbAt(uint64_t nowNs) const;
    // Seeds the completion jitter of a pin: the same controller and pin give
    // the same sequence in every run.
    uint64_t jitterSeed(uint32_t pinId) const;
    void record(const uint8_t* data, size_t bytes, const StreamFormat& format);
    // The live render pin of this plug-in, if any.
    StreamPin* renderPin() const;

    std::shared_ptr<os::RecursiveMutex> lock_;
    ControllerConfig config_;

    // Bus bookkeeping, touched only by SimBus with the lock held.
    bool plugged_ = false;
    bool fromFile_ = false;
    Faults fileFaults_;        // the faults the bus file last asked for
    uint32_t generation_ = 0;  // changes at every plug-in; older handles are dead
    uint64_t pluggedAtNs_ = 0; // bus time of the plug-in: the warm-up ramp starts there
    FilterDescription filter_;
    std::vector<uint32_t> instances_;  // current pin instances per pin id
    std::vector<StreamPin*> pins_;     // live pins of this plug-in
    std::vector<DEVINST> nodes_;       // device-tree nodes, parents first
    DEVINST audioNode_ = 0;
    std::string interfacePath_;
    std::vector<std::string> hidPaths_;
    // Interfaces without a render or capture alias: the topology filter and
    // the MIDI function (QELM).
    std::vector<std::string> aliasLessPaths_;
    uint32_t pinsClosedUnstopped_ = 0;
    uint32_t removalVetoes_ = 0;

    // What streamed.
    std::vector<uint8_t> rendered_;
    size_t renderedStart_ = 0;  // ring start once the cap is reached
    size_t renderedCap_ = kDefaultRenderedCap;
    uint64_t renderedTotal_ = 0;
    StreamFormat renderedFormat_;
    StreamStats stats_[2];  // [0] render, [1] capture
    // What the render pin played, for the capture pin in loopback.
    LoopbackLine loopbackLine_;
};

}  // namespace sim
