// The composite device's streaming thread: its state lives on the thread's
// own stack and belongs to it alone.
//
// One loop waits for the command events and for the packet event of the
// current half of every streaming unit. Each completed packet is moved by
// its unit (render: the host's half into a new packet; capture: the packet
// added into the accumulators); when every unit has completed the half, the
// sums go to the host's inputs and the host gets its buffer switch. So the
// slowest unit paces the stream. Without a streaming unit a simulated clock
// at the host's rate calls the buffer switch instead.
//
// The host is called only while the stream runs: never before start (the
// first packets are submitted while paused), never after stop has been
// acknowledged.
#pragma once

#include <cstdint>

#include "engine/composite_drift.h"
#include "engine/composite_ks_audio_device.h"

class CompositeStream {
public:
    explicit CompositeStream(CompositeKsAudioDevice& device);
    CompositeStream(const CompositeStream&) = delete;
    CompositeStream& operator=(const CompositeStream&) = delete;

    // Runs until quit or a failed wait, then stops the units and acknowledges.
    void execute();

private:
    static constexpr uint32_t kNoCommand = kCompositeCommands;
    static constexpr uint32_t kNoSlot = ~uint32_t(0);
    // The commands, then at most two packet events of every streaming unit:
    // the one of the current half it awaits, and the ones it watches.
    static constexpr uint32_t kMaxWaits = kCompositeCommands + 2 * CompositeKsAudioDevice::kMaxActiveUnits;

    void initState();
    uint32_t simulateWork();
    uint32_t waitPendingEvents();
    // How long the one wait may still last before the units still awaited
    // for the current half count as stalled.
    uint32_t stallTimeout();
    // The units that let the current half run past the limit leave.
    void dropStalledUnits();
    // The first slot of the current half whose packet the device no longer
    // holds, or kNoSlot.
    uint32_t firstAwaitedBack();
    // The packet of that slot came back (seen at `woke`; timely when the
    // thread was waiting as it came): its unit moves it on, or notes it.
    // False when the device turned out to hold it still.
    bool takePacket(uint32_t slot, uint64_t woke, bool timely);
    // Every streaming unit has completed the current half.
    void completeHalf();
    void awaitHalf();
    void bufferSwitch();
    void handlePause();
    void handleRun();
    void handleStop();
    void handleAddDevice();
    void handleRemoveDevice();
    // A unit made ready on the thread that added it (rate, buffers, pin in
    // pause): outside the run state it streams at once, primed as at the
    // start; in it, it waits for the next buffer switch (spliceJoining).
    void admitReadyUnit(CompositeUnit* unit);
    // Just before the switch of the current half: the units waiting to join
    // hand their device two packets and start it, so that their first packet
    // ends with the next half, in step with the stream.
    void spliceJoining();
    // A unit that could not join: stopped, its buffers gone, attached still.
    void turnAway(CompositeUnit* unit);
    bool isJoining(const CompositeUnit* unit) const;
    void forgetJoining(const CompositeUnit* unit);
    // A gap the unit's last packet revealed: told to the host at the next
    // switch.
    void noteGap(const CompositeUnit& unit, uint64_t frames);
    // Takes a unit out of the stream (it stays attached): stops it, forgets
    // its awaited event and what it fed.
    void dropActive(size_t index);
    // The same for a unit whose device failed the stream.
    void leaveAfterFailure(size_t index);
    // A unit's packet event joins the wait list: awaited (the current
    // half's, which completes the half) or watched. A watched packet belongs
    // to a later half; the thread only notes when it comes back, so that
    // every completion's time is known, also of a unit that runs ahead of
    // the others (its gaps are measured by it).
    void addWait(size_t unitIndex, uint32_t packet, bool awaited);
    // Watches the unit's packet while the device holds it.
    void watchPacket(size_t unitIndex, uint32_t packet);
    // A watched packet's event came.
    void noteWatched(uint32_t slot, uint64_t woke, bool timely);
    // The event in that slot has been taken.
    void forgetWait(uint32_t slot);
    // The unit leaves the active list: its awaited event goes, and the units
    // after it move down one index.
    void withdrawUnit(size_t unitIndex);
    // A removal may leave the current half with nothing to wait for.
    void completeIfNothingAwaited();
    void refreshFed();
    void restartSimulatedClock();
    void updatePeriod();
    uint64_t simulatedNow();
    bool running() const { return ksState_ == KSSTATE_RUN; }

    CompositeKsAudioDevice& device_;
    CompositeDrift drift_;
    bool loop_ = true;
    KSSTATE ksState_ = KSSTATE_STOP;
    uint32_t half_ = 0;
    // Milliseconds with 32 fraction bits.
    uint64_t period_ = 0;
    // A half not complete this long after it began is stalled: 16 periods
    // (two buffers, eight times over), at least 100 ms, so that jitter never
    // counts but a device that stopped completing does not hold every other
    // controller's audio, and the host's, for ever.
    uint32_t stallLimitMs_ = 0;
    uint32_t halfStartMs_ = 0;
    double periodRate_ = 0.0;
    uint64_t lastSwitch_ = 0;
    uint32_t waitCount_ = kCompositeCommands;
    uint32_t awaitedCount_ = 0;
    os::Handle waits_[kMaxWaits] = {};
    uint32_t unitIndex_[kMaxWaits] = {};
    uint32_t slotPacket_[kMaxWaits] = {};
    bool awaited_[kMaxWaits] = {};
    uint64_t position_ = 0;
    // Units ready to join at the next switch (not yet active).
    CompositeUnit* joining_[CompositeKsAudioDevice::kMaxActiveUnits] = {};
    uint32_t joiningCount_ = 0;
    // A unit lost frames since the last switch: the host hears of it
    // (kAsioOverload) at the next one, once.
    bool overloadPending_ = false;
};
