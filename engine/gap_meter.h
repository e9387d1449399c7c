// Dropouts of one unit, found from what the streaming thread sees of its
// two packets: when they go to the device and when they come back.
//
// A device plays (or records into) its queued packets back to back. When
// the streaming thread hands a packet over and the unit's other packet has
// already come back too, the device had nothing queued: it ran dry (render)
// or dropped what it recorded (capture) from the moment the other packet
// ended until this one arrived. That moment is the completion time of the
// other packet, which the meter keeps as an estimate: each packet ends its
// length after the one before it; a completion seen earlier moves the end
// to then, and one the thread was waiting for when it came moves it later,
// but only by what a slow crystal and a prompt wake could add (a busy
// machine's late wakes would hide the gaps behind them). The test is
// drift-proof (it only asks whether the other packet is back); the length
// is as exact as the completion times.
//
// The streaming thread alone calls the meter; the counts may be read from
// any thread. Nothing here allocates, locks or waits.
#pragma once

#include <atomic>
#include <cstdint>

// What a unit has lost while it streamed, since it was opened.
struct UnitGaps {
    // Times its device was found with nothing queued, or handed back a
    // capture shorter than asked for.
    uint64_t gaps = 0;
    // Hardware frames it went without a packet (or short) in those gaps.
    uint64_t frames = 0;
};

class GapMeter {
public:
    // New buffers at the hardware rate: no packet is out.
    void prepare(uint32_t hardwareRate);
    // The device starts (or goes on) playing what it holds at nowNs.
    void start(uint64_t nowNs);
    // The device's clock stands (paused or stopped).
    void halt() { running_ = false; }
    // The packet came back by seenNs; timely when the thread was waiting
    // for it, so that it came back then.
    void returned(uint32_t packet, uint64_t seenNs, bool timely);
    // The packet went to the device at nowNs with `frames`; otherOut tells
    // whether the unit's other packet was still with the device just
    // before. Returns the frames of the gap this reveals, 0 when none.
    uint64_t submitted(uint32_t packet, uint32_t frames, uint64_t nowNs, bool otherOut);
    // A capture came back with `missing` frames fewer than asked for: a gap
    // of those frames in what the host gets (returns them).
    uint64_t shortCapture(uint32_t missing);

    UnitGaps counts() const;

private:
    struct Packet {
        bool out = false;
        bool timed = false;  // its end is known or estimated in this run
        uint32_t frames = 0;
        uint64_t submittedNs = 0;
        uint64_t endNs = 0;
    };

    uint64_t lengthNs(uint32_t frames) const;
    void count(uint64_t frames);

    double nsPerFrame_ = 0.0;
    bool running_ = false;
    Packet packets_[2];
    uint32_t last_ = 0;  // the packet handed over last
    std::atomic<uint64_t> gaps_{0};
    std::atomic<uint64_t> frames_{0};
};
