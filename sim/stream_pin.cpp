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
// Frames a loopback line keeps beyond the longest delay: more than any
// capture packet spans.
constexpr uint32_t kLoopbackMargin = 65536;

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
    if (next == KSSTATE_RUN && state_ != KSSTATE_RUN) {
        runStartNs_ = nowNs;
        ++clockEpoch_;
    }
    if (next == KSSTATE_STOP && state_ != KSSTATE_STOP) {
        failAll(ksabi::kStatusCancelled);
        basePosition_ = 0;
        manualFrames_ = 0;
        manualRemainder_ = 0;
        cursor_ = 0;
        dry_ = false;
        played_ = 0;
        ++clockEpoch_;
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

uint64_t StreamPin::timeToCompletion(int32_t driftPpm) const {
    if (state_ != KSSTATE_RUN || count_ == 0 || queue_[head_].stalled) return 0;
    const uint64_t end = cursor_ + queue_[head_].frames;
    if (end <= manualFrames_) return 0;
    // advanceTime(ns) adds ns * rate * (1e6 + drift) parts to the remainder.
    const FrameParts wanted = FrameParts(end - manualFrames_ - 1) * kPartsPerFrame + (kPartsPerFrame - manualRemainder_);
    const uint64_t perNs = uint64_t(format_.rate) * static_cast<uint64_t>(1000000 + static_cast<int64_t>(driftPpm));
    return perNs == 0 ? 0 : static_cast<uint64_t>((wanted + (perNs - 1)) / perNs);
}

void StreamPin::service(uint64_t nowNs, bool manualClock) {
    if (state_ != KSSTATE_RUN) return;
    const uint64_t now = position(nowNs, manualClock);
    if (!capture_ && owner_.config_.loopback) play(now);
    StreamStats& stats = owner_.stats_[capture_ ? 1 : 0];
    while (true) {
        // The hardware ran on without a packet (none queued, or a device
        // that stopped completing and holds the ones behind the stuck one):
        // those frames are gone.
        if (count_ == 0 || queue_[head_].stalled) {
            loseUntil(now, stats);
            return;
        }
        const Packet packet = queue_[head_];
        if (cursor_ + packet.frames > now) return;
        head_ = (head_ + 1) % kQueueCapacity;
        --count_;
        transfer(packet, nowNs, manualClock);
    }
}

void StreamPin::loseUntil(uint64_t position, StreamStats& stats) {
    if (position <= cursor_) return;
    if (!dry_) ++stats.gaps;
    dry_ = true;
    stats.framesLost += position - cursor_;
    cursor_ = position;
}

void StreamPin::catchUp(uint64_t nowNs, bool manualClock) {
    if (!capture_ && state_ == KSSTATE_RUN && owner_.config_.loopback) play(position(nowNs, manualClock));
}

void StreamPin::play(uint64_t position) {
    LoopbackLine& line = owner_.loopbackLine_;
    if (line.channels() != format_.channels) line.reset(format_.channels, kMaxLoopbackDelayFrames + kLoopbackMargin);
    if (played_ == 0) line.restart();
    // Queued packets follow each other without a gap from the cursor on.
    uint64_t start = cursor_;
    for (size_t k = 0; k < count_ && played_ < position; ++k) {
        const Packet& packet = queue_[(head_ + k) % kQueueCapacity];
        const uint64_t end = start + packet.frames;
        if (played_ < end) {
            const uint64_t from = played_ > start ? played_ : start;
            const uint64_t to = end < position ? end : position;
            line.write(from, static_cast<const uint8_t*>(packet.header->Data) + (from - start) * format_.blockAlign,
                       to - from, format_);
            played_ = to;
        }
        start = end;
    }
    if (played_ < position) {
        line.silenceUntil(position);
        played_ = position;
    }
}

void StreamPin::fillFromLoopback(uint8_t* data, uint32_t frames, uint64_t nowNs, bool manualClock) {
    StreamPin* render = owner_.renderPin();
    // A render side at another rate cannot be heard on this clock.
    const bool heard = render != nullptr && render->format_.rate == format_.rate;
    if (heard) {
        render->catchUp(nowNs, manualClock);
        if (offsetRender_ != render || offsetEpochs_[0] != render->clockEpoch_ || offsetEpochs_[1] != clockEpoch_) {
            offsetRender_ = render;
            offsetEpochs_[0] = render->clockEpoch_;
            offsetEpochs_[1] = clockEpoch_;
            renderOffset_ = static_cast<int64_t>(render->position(nowNs, manualClock)) -
                            static_cast<int64_t>(position(nowNs, manualClock));
        }
    }
    const LoopbackLine& line = owner_.loopbackLine_;
    const int64_t first = static_cast<int64_t>(cursor_) + renderOffset_ -
                          static_cast<int64_t>(owner_.config_.loopbackDelayFrames);
    const uint32_t bytes = format_.containerBits / 8;
    // Only the valid bits survive, left-justified in the container.
    const uint32_t keep = format_.validBits >= 32 ? ~0u : ~((1u << (32 - format_.validBits)) - 1u);
    for (uint32_t f = 0; f < frames; ++f) {
        for (uint32_t c = 0; c < format_.channels; ++c) {
            const uint32_t value = heard ? static_cast<uint32_t>(line.sample(first + f, c)) & keep : 0u;
            const int32_t container = static_cast<int32_t>(value) >> (32 - format_.containerBits);
            for (uint32_t b = 0; b < bytes; ++b) *data++ = static_cast<uint8_t>(container >> (8 * b));
        }
    }
}

void StreamPin::transfer(const Packet& packet, uint64_t nowNs, bool manualClock) {
    StreamStats& stats = owner_.stats_[capture_ ? 1 : 0];
    uint32_t frames = packet.frames;
    Faults& faults = owner_.config_.faults;
    dry_ = false;  // the hardware has a packet's time again, whatever comes of it
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
        if (owner_.config_.loopback)
            fillFromLoopback(static_cast<uint8_t*>(packet.header->Data), frames, nowNs, manualClock);
        else
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
