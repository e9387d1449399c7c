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

// When the driver heard of a pin's last completed packet, and when its
// hardware was through with it: what a test compares the driver's own
// timing with.
struct CompletionTiming {
    uint64_t hardwareEndNs = 0;  // bus time the clock passed the packet's last frame
    uint64_t deliveredNs = 0;    // bus time its completion was delivered
    uint64_t count = 0;          // packets delivered so far (0: none yet)
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
    // Hardware frames since the pin left KSSTATE_STOP, up to the bus time
    // the clock was last moved to.
    uint64_t position() const { return frames_; }

    // KSPROPERTY_CONNECTION_STATE set: one step at a time, as the class
    // driver requires. Leaving RUN freezes the clock; reaching STOP cancels
    // every queued packet and rewinds the clock. nowNs is the bus's time.
    // Returns a Win32 error.
    DWORD setState(KSSTATE next, uint64_t nowNs);

    // Queues one stream request; the caller has validated the header.
    // Returns ERROR_IO_PENDING when queued.
    DWORD submit(KSSTREAM_HEADER* header, OVERLAPPED* overlapped);

    // Moves the clock to the bus time nowNs: while the pin runs, its hardware
    // passes the frames of that time at its rate, drift included (the drift
    // of the interval's start).
    void advanceTo(uint64_t nowNs, int64_t driftPpb);
    // Moves the hardware by frames of its own (drift included) without
    // moving the bus time; completions then land at once.
    void advanceFrames(uint64_t frames, int64_t driftPpb);

    // Lets the hardware finish every queued packet the clock has reached,
    // and completes those whose completion is due by nowNs: a device that
    // delivers completions on USB frames, or with jitter, makes the driver
    // hear of a packet later than its hardware finished it. Untimed (a
    // clock moved by frames rather than time), everything finished
    // completes at once. driftPpb is the clock's drift now.
    void service(uint64_t nowNs, bool timed, int64_t driftPpb);
    // Render pin of a unit in loopback: puts what has played by now into
    // the unit's loopback line.
    void catchUp();
    // The earliest bus time after nowNs at which this pin completes a
    // packet; kNever when nothing will complete by itself. driftPpb is the
    // drift now (a clock that wanders may make it a little early, never
    // late by more than the wander of that stretch).
    uint64_t nextCompletionNs(uint64_t nowNs, int64_t driftPpb) const;
    static constexpr uint64_t kNever = ~uint64_t(0);
    const CompletionTiming& lastCompletion() const { return lastCompletion_; }

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
        bool stalled;      // the clock never completes it (Faults::stallPackets)
        uint32_t jitterNs; // how much later than its due time the driver hears of it
        // The hardware is through with it (data moved) and its completion
        // waits for deliverAtNs; status and bytes are what it will carry.
        bool done;
        uint64_t deliverAtNs;
        uint64_t endNs;
        uint32_t status;
        uint32_t bytes;
    };

    void complete(const Packet& packet, uint32_t status, uint32_t bytes);
    // The hardware has passed the packet's last frame at bus time endNs:
    // its data moves now, its completion is scheduled.
    void finishHardware(Packet& packet, uint64_t endNs);
    void transfer(Packet& packet);
    // The clock ran on to `position` with nothing to play: those frames are
    // lost, and a new gap starts unless one is under way.
    void loseUntil(uint64_t position, StreamStats& stats);
    // When the driver hears of a packet the hardware finished at endNs.
    uint64_t deliveryTime(const Packet& packet, uint64_t endNs) const;
    // Bus time at which the running clock reaches `frame` (frames_ lies at clockNs_).
    uint64_t timeOfFrame(uint64_t frame, int64_t driftPpb) const;
    // Render: the queued packets' frames up to hardware frame `position`,
    // silence where none was queued.
    void play(uint64_t position);
    // Capture in loopback: what the render side played loopback-delay
    // frames before each of the packet's frames.
    void fillFromLoopback(uint8_t* data, uint32_t frames);
    Packet& queued(size_t i) { return queue_[(head_ + i) % kQueueCapacity]; }
    const Packet& queued(size_t i) const { return queue_[(head_ + i) % kQueueCapacity]; }

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
    size_t done_ = 0;  // packets from the head the hardware is through with
    uint64_t lastDeliveryNs_ = 0;  // completions keep their order

    // The clock: frames_ whole frames and remainder_ parts of 1e-18 frame
    // at bus time clockNs_. cursor_ is the hardware frame the first packet
    // the hardware is not through with starts at.
    uint64_t clockNs_ = 0;
    uint64_t frames_ = 0;
    uint64_t remainder_ = 0;
    uint64_t cursor_ = 0;
    // Frames are being lost since the last packet played: the current gap
    // is counted already.
    bool dry_ = false;
    uint64_t random_;  // the completion jitter's generator state
    CompletionTiming lastCompletion_;

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
