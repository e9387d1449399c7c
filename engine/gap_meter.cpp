#include "engine/gap_meter.h"

#include <cmath>

namespace {

// Times are whole nanoseconds, rounded either way: a gap of whole frames
// may come out up to a nanosecond short.
constexpr uint64_t kRoundingNs = 1;
// How far a packet may end later than its estimate, beyond a wake's own
// delay: half a percent of its length (the steering range's edge).
constexpr double kSlowestCrystal = 0.005;
constexpr uint64_t kWakeNs = 20000;

}  // namespace

void GapMeter::prepare(uint32_t hardwareRate) {
    nsPerFrame_ = hardwareRate != 0 ? 1e9 / hardwareRate : 0.0;
    running_ = false;
    packets_[0] = Packet();
    packets_[1] = Packet();
    last_ = 0;
}

uint64_t GapMeter::lengthNs(uint32_t frames) const {
    return static_cast<uint64_t>(std::llround(frames * nsPerFrame_));
}

void GapMeter::start(uint64_t nowNs) {
    running_ = true;
    // What is queued plays from now on, the packet handed over first first.
    // After a pause part of it may have played already: the estimate then
    // ends late until the next completion the thread waits for.
    uint64_t end = nowNs;
    const uint32_t order[2] = {1 - last_, last_};
    for (uint32_t packet : order) {
        Packet& p = packets_[packet];
        if (!p.out) continue;
        end += lengthNs(p.frames);
        p.endNs = end;
        p.timed = true;
    }
}

void GapMeter::returned(uint32_t packet, uint64_t seenNs, bool timely) {
    Packet& p = packets_[packet];
    p.out = false;
    if (!running_ || !p.timed) return;
    if (seenNs < p.endNs) {
        p.endNs = seenNs;  // back by then, whatever the estimate said
    } else if (timely) {
        // A wake on time dates the end, as late as the thread woke: a busy
        // machine wakes it milliseconds late, and dating the end by that
        // hides the gap behind. From the estimate (the packets before, at
        // the nominal rate) it moves later only by what a crystal at the
        // edge of the range could add, and a wake: later ends follow within
        // a few packets when the device really runs slow or started late.
        const uint64_t later = static_cast<uint64_t>(lengthNs(p.frames) * kSlowestCrystal) + kWakeNs;
        p.endNs = seenNs - p.endNs > later ? p.endNs + later : seenNs;
    }
    // The packet queued behind it started when it ended, or when it came.
    Packet& next = packets_[1 - packet];
    if (next.out && last_ != packet) {
        const uint64_t start = next.submittedNs > p.endNs ? next.submittedNs : p.endNs;
        next.endNs = start + lengthNs(next.frames);
        next.timed = true;
    }
}

uint64_t GapMeter::submitted(uint32_t packet, uint32_t frames, uint64_t nowNs, bool otherOut) {
    Packet& p = packets_[packet];
    Packet& other = packets_[1 - packet];
    p.out = true;
    p.frames = frames;
    p.submittedNs = nowNs;
    p.timed = running_;
    last_ = packet;
    if (!running_) return 0;
    uint64_t gap = 0;
    if (otherOut) {
        // Still with the device just now: it ends no earlier than that.
        if (other.endNs < nowNs) other.endNs = nowNs;
        p.endNs = other.endNs + lengthNs(frames);
        return 0;
    }
    if (other.timed) {
        // Back already: the device has been without a packet since it ended.
        if (other.endNs > nowNs) other.endNs = nowNs;
        // Whole frames, as the hardware counts them; a dry spell shorter
        // than a frame loses none.
        gap = nsPerFrame_ > 0.0 ? static_cast<uint64_t>((nowNs - other.endNs + kRoundingNs) / nsPerFrame_) : 0;
        if (gap != 0) count(gap);
    }
    p.endNs = nowNs + lengthNs(frames);
    return gap;
}

uint64_t GapMeter::shortCapture(uint32_t missing) {
    if (missing != 0) count(missing);
    return missing;
}

void GapMeter::count(uint64_t frames) {
    gaps_.store(gaps_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    frames_.store(frames_.load(std::memory_order_relaxed) + frames, std::memory_order_relaxed);
}

UnitGaps GapMeter::counts() const {
    UnitGaps counts;
    counts.gaps = gaps_.load(std::memory_order_relaxed);
    counts.frames = frames_.load(std::memory_order_relaxed);
    return counts;
}
