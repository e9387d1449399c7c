// One instantiated pin of a simulated filter: its KS state, its hardware
// clock and the queue of stream packets it completes in submission order.
//
// Not thread-safe by itself: the bus calls it with its lock held.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/ks_abi.h"
#include "platform/os.h"
#include "sim/filter_model.h"

namespace sim {

class SimController;

// Counters of one direction of a controller, over all its pins.
struct StreamStats {
    uint64_t packetsCompleted = 0;  // completed with success
    uint64_t packetsFailed = 0;     // cancelled, failed by an unplug or by a fault
    uint64_t framesTransferred = 0; // captured into packets / taken from packets
    uint64_t framesLost = 0;        // hardware frames that found no packet queued
    uint64_t gaps = 0;              // stretches of such frames, each between two packets played
    uint64_t shortPackets = 0;      // capture packets completed with fewer frames
    uint64_t emptyPackets = 0;      // capture packets completed with DataUsed 0
};

// A cancelled request whose completion the device delivers later
// (Faults::lateCancel): it still owns its header, data and OVERLAPPED.
struct LateCompletion {
    KSSTREAM_HEADER* header;
    OVERLAPPED* overlapped;
    os::Handle event;
    bool capture;
    uintptr_t pinHandle;  // the handle it was submitted on
};

class StreamPin {
public:
    static constexpr uint32_t kQueueCapacity = 64;

    // Cancellations the device delivers late go to `late`, which the bus
    // completes at its next call; `handle` is the pin's handle value.
    StreamPin(SimController& owner, uint32_t pinId, bool capture, const StreamFormat& format,
              std::vector<uint8_t> dataFormat, std::vector<LateCompletion>* late);
    void setHandle(uintptr_t handle) { handle_ = handle; }
    StreamPin(const StreamPin&) = delete;
    StreamPin& operator=(const StreamPin&) = delete;

    uint32_t pinId() const { return pinId_; }
    bool isCapture() const { return capture_; }
    const StreamFormat& format() const { return format_; }
    KSSTATE state() const { return state_; }
    const std::vector<uint8_t>& dataFormat() const { return dataFormat_; }
    SimController& owner() const { return owner_; }
    size_t queued() const { return count_; }
    // Hardware frames since the pin left KSSTATE_STOP.
    uint64_t position(uint64_t nowNs, bool manualClock) const;

    // KSPROPERTY_CONNECTION_STATE set: one step at a time, as the class
    // driver requires. Leaving RUN freezes the clock; reaching STOP cancels
    // every queued packet and rewinds the clock. Returns a Win32 error.
    DWORD setState(KSSTATE next, uint64_t nowNs, bool manualClock);

    // Queues one stream request; the caller has validated the header.
    // Returns ERROR_IO_PENDING when queued.
    DWORD submit(KSSTREAM_HEADER* header, OVERLAPPED* overlapped);

    // Moves the manual clock by frames (or nanoseconds) of this pin's
    // hardware, drift included.
    void advanceFrames(uint64_t frames, int32_t driftPpm);
    void advanceTime(uint64_t nanoseconds, int32_t driftPpm);
    // Manual clock: the nanoseconds advanceTime must move it for the head
    // packet to complete; 0 when none will (not running, nothing queued,
    // stalled) or it is due already.
    uint64_t timeToCompletion(int32_t driftPpm) const;

    // Completes every queued packet the clock has reached.
    void service(uint64_t nowNs, bool manualClock);
    // Render pin of a unit in loopback: puts what has played by now into
    // the unit's loopback line.
    void catchUp(uint64_t nowNs, bool manualClock);

    // Completes every queued packet with the NTSTATUS given (cancellation,
    // removal); nothing is transferred. A device with Faults::lateCancel
    // hands cancellations to the late list instead of completing them.
    void failAll(uint32_t status);
    // CancelIo and CloseHandle cancel everything queued on the pin handle.
    void cancelAll() { failAll(ksabi::kStatusCancelled); }

private:
    struct Packet {
        KSSTREAM_HEADER* header;
        OVERLAPPED* overlapped;
        os::Handle event;
        uint32_t frames;
        bool stalled;  // the clock never completes it (Faults::stallPackets)
    };

    void complete(const Packet& packet, uint32_t status, uint32_t bytes);
    void transfer(const Packet& packet, uint64_t nowNs, bool manualClock);
    // The clock ran on to `position` with nothing to play: those frames are
    // lost, and a new gap starts unless one is under way.
    void loseUntil(uint64_t position, StreamStats& stats);
    uint64_t framesIn(uint64_t nanoseconds, int32_t driftPpm) const;
    // Render: the queued packets' frames up to hardware frame `position`,
    // silence where none was queued.
    void play(uint64_t position);
    // Capture in loopback: what the render side played loopback-delay
    // frames before each of the packet's frames.
    void fillFromLoopback(uint8_t* data, uint32_t frames, uint64_t nowNs, bool manualClock);

    SimController& owner_;
    uint32_t pinId_;
    bool capture_;
    StreamFormat format_;
    std::vector<uint8_t> dataFormat_;
    std::vector<LateCompletion>* late_;
    uintptr_t handle_ = 0;
    KSSTATE state_ = KSSTATE_STOP;

    Packet queue_[kQueueCapacity];
    size_t head_ = 0;
    size_t count_ = 0;

    // The clock: position = base + what ran since runStartNs_ (real time),
    // or manualFrames_ (manual clock). cursor_ is the hardware frame the
    // head packet starts at.
    uint64_t basePosition_ = 0;
    uint64_t runStartNs_ = 0;
    uint64_t manualFrames_ = 0;
    uint64_t manualRemainder_ = 0;  // fraction of a frame, in units of 1e-15 frame
    uint64_t cursor_ = 0;
    // Frames are being lost since the last packet played: the current gap
    // is counted already.
    bool dry_ = false;

    // Loopback. A render pin has put its frames up to played_ into the line.
    // A capture pin maps its frames onto the render clock by a fixed offset,
    // worked out again whenever either clock starts over (clockEpoch_ counts
    // a pin's starts and stops).
    uint64_t played_ = 0;
    uint64_t clockEpoch_ = 0;
    const StreamPin* offsetRender_ = nullptr;
    uint64_t offsetEpochs_[2] = {};
    int64_t renderOffset_ = 0;
};

}  // namespace sim
