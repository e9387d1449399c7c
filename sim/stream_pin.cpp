#include "sim/stream_pin.h"

#include <cstring>

#include "base/uint128.h"
#include "platform/errors.h"
#include "platform/trace.h"
#include "sim/capture_signal.h"
#include "sim/controller.h"

namespace sim {
namespace {

constexpr uint64_t kPartsPerFrame = 1000000000000000ull;  // 1e15: ns (1e9) times ppm (1e6)

// Frame counts in those parts outgrow 64 bits within minutes.
#if defined(__SIZEOF_INT128__)
using FrameParts = unsigned __int128;
#else
using FrameParts = UInt128;
#endif

}  // namespace

StreamPin::StreamPin(SimController& owner, uint32_t pinId, bool capture, const StreamFormat& format,
                     std::vector<uint8_t> dataFormat, std::vector<LateCompletion>* late)
    : owner_(owner),
      pinId_(pinId),
      capture_(capture),
      format_(format),
      dataFormat_(std::move(dataFormat)),
      late_(late) {
    std::memset(queue_, 0, sizeof(queue_));
}

uint64_t StreamPin::framesIn(uint64_t nanoseconds, int32_t driftPpm) const {
    const FrameParts parts = FrameParts(nanoseconds) * format_.rate *
                                    static_cast<uint64_t>(1000000 + static_cast<int64_t>(driftPpm));
    return static_cast<uint64_t>(parts / kPartsPerFrame);
}

uint64_t StreamPin::position(uint64_t nowNs, bool manualClock) const {
    if (manualClock) return manualFrames_;
    if (state_ != KSSTATE_RUN || nowNs < runStartNs_) return basePosition_;
    return basePosition_ + framesIn(nowNs - runStartNs_, owner_.config_.faults.driftPpm);
}

DWORD StreamPin::setState(KSSTATE next, uint64_t nowNs, bool manualClock) {
    if (next < KSSTATE_STOP || next > KSSTATE_RUN) return os::kErrorInvalidParameter;
    const int step = static_cast<int>(next) - static_cast<int>(state_);
    if (step > 1 || step < -1) return os::kErrorInvalidParameter;
    if (SimController::consume(owner_.config_.faults.failStateChange)) {
        TRACE("StreamPin::setState injected failure %d -> %d", static_cast<int>(state_), static_cast<int>(next));
        return os::kErrorGenFailure;
    }
    if (state_ == KSSTATE_RUN && next == KSSTATE_PAUSE && !manualClock) basePosition_ = position(nowNs, false);
    if (next == KSSTATE_RUN && state_ != KSSTATE_RUN) runStartNs_ = nowNs;
    if (next == KSSTATE_STOP && state_ != KSSTATE_STOP) {
        failAll(ksabi::kStatusCancelled);
        basePosition_ = 0;
        manualFrames_ = 0;
        manualRemainder_ = 0;
        cursor_ = 0;
    }
    state_ = next;
    return 0;
}

DWORD StreamPin::submit(KSSTREAM_HEADER* header, OVERLAPPED* overlapped) {
    if (count_ == kQueueCapacity) return os::kErrorNotEnoughMemory;
    Packet& packet = queue_[(head_ + count_) % kQueueCapacity];
    packet.header = header;
    packet.overlapped = overlapped;
    packet.event = ksabi::completionEvent(*overlapped);
    const uint32_t bytes = capture_ ? header->FrameExtent : header->DataUsed;
    packet.frames = format_.blockAlign == 0 ? 0 : bytes / format_.blockAlign;
    packet.stalled = SimController::consume(owner_.config_.faults.stallPackets);
    ++count_;
    overlapped->Internal = ksabi::kStatusPending;
    overlapped->InternalHigh = 0;
    if (packet.event != nullptr) os::resetEvent(packet.event);
    return os::kErrorIoPending;
}

void StreamPin::advanceFrames(uint64_t frames, int32_t driftPpm) {
    if (state_ != KSSTATE_RUN) return;
    const FrameParts parts =
        FrameParts(frames) * static_cast<uint64_t>(1000000 + static_cast<int64_t>(driftPpm)) *
            1000000000ull +
        manualRemainder_;
    manualFrames_ += static_cast<uint64_t>(parts / kPartsPerFrame);
    manualRemainder_ = static_cast<uint64_t>(parts % kPartsPerFrame);
}

void StreamPin::advanceTime(uint64_t nanoseconds, int32_t driftPpm) {
    if (state_ != KSSTATE_RUN) return;
    const FrameParts parts = FrameParts(nanoseconds) * format_.rate *
                                        static_cast<uint64_t>(1000000 + static_cast<int64_t>(driftPpm)) +
                                    manualRemainder_;
    manualFrames_ += static_cast<uint64_t>(parts / kPartsPerFrame);
    manualRemainder_ = static_cast<uint64_t>(parts % kPartsPerFrame);
}

void StreamPin::service(uint64_t nowNs, bool manualClock) {
    if (state_ != KSSTATE_RUN) return;
    const uint64_t now = position(nowNs, manualClock);
    StreamStats& stats = owner_.stats_[capture_ ? 1 : 0];
    while (true) {
        if (count_ == 0) {
            // The hardware ran on without a packet: those frames are gone.
            if (now > cursor_) {
                stats.framesLost += now - cursor_;
                cursor_ = now;
            }
            return;
        }
        const Packet packet = queue_[head_];
        if (packet.stalled) {
            // A device that stopped completing: the hardware runs on, the
            // packets behind the stuck one wait with it.
            if (now > cursor_) {
                stats.framesLost += now - cursor_;
                cursor_ = now;
            }
            return;
        }
        if (cursor_ + packet.frames > now) return;
        head_ = (head_ + 1) % kQueueCapacity;
        --count_;
        transfer(packet);
    }
}

void StreamPin::transfer(const Packet& packet) {
    StreamStats& stats = owner_.stats_[capture_ ? 1 : 0];
    uint32_t frames = packet.frames;
    Faults& faults = owner_.config_.faults;
    const bool tooSmall = faults.framingBytes != 0 && uint64_t(frames) * format_.blockAlign < faults.framingBytes;
    if (tooSmall || SimController::consume(faults.failPackets)) {
        // The hardware time passes; the request fails (a packet below the
        // device's framing, or a device that is not ready, as after a sleep).
        cursor_ += frames;
        if (capture_) packet.header->DataUsed = 0;
        ++stats.packetsFailed;
        complete(packet, tooSmall ? ksabi::kStatusBufferTooSmall : ksabi::kStatusUnsuccessful, 0);
        return;
    }
    if (capture_ && SimController::consume(faults.emptyReads)) {
        // Completed as a success that carries nothing, as USB devices do
        // after a glitch.
        cursor_ += frames;
        packet.header->DataUsed = 0;
        ++stats.emptyPackets;
        ++stats.packetsCompleted;
        complete(packet, ksabi::kStatusSuccess, packet.header->Size);
        return;
    }
    if (capture_) {
        if (SimController::consume(owner_.config_.faults.shortReads)) {
            frames /= 2;
            ++stats.shortPackets;
        }
        fillCaptureSignal(static_cast<uint8_t*>(packet.header->Data), frames, cursor_, format_.channels,
                          format_.validBits, format_.containerBits);
        packet.header->DataUsed = frames * format_.blockAlign;
    } else {
        owner_.record(static_cast<const uint8_t*>(packet.header->Data),
                      static_cast<size_t>(frames) * format_.blockAlign, format_);
    }
    cursor_ += frames;
    stats.framesTransferred += frames;
    ++stats.packetsCompleted;
    complete(packet, ksabi::kStatusSuccess, packet.header->Size);
}

void StreamPin::complete(const Packet& packet, uint32_t status, uint32_t bytes) {
    packet.overlapped->InternalHigh = bytes;
    packet.overlapped->Internal = status;
    if (packet.event != nullptr) os::setEvent(packet.event);
}

void StreamPin::failAll(uint32_t status) {
    StreamStats& stats = owner_.stats_[capture_ ? 1 : 0];
    while (count_ > 0) {
        const Packet packet = queue_[head_];
        head_ = (head_ + 1) % kQueueCapacity;
        --count_;
        ++stats.packetsFailed;
        if (status == ksabi::kStatusCancelled && owner_.config_.faults.lateCancel && late_ != nullptr) {
            late_->push_back({packet.header, packet.overlapped, packet.event, capture_, handle_});
            continue;
        }
        if (capture_) packet.header->DataUsed = 0;
        complete(packet, status, 0);
    }
}

}  // namespace sim
