#include "sim/stream_pin.h"

#include <cstring>

#include "base/uint128.h"
#include "sim/controller_config.h"
#include "platform/errors.h"
#include "platform/trace.h"
#include "sim/capture_signal.h"
#include "sim/controller.h"

namespace sim {
namespace {

// Frames are counted in parts of 1e-18 frame: nanoseconds (1e-9 s) times
// parts per billion of the rate.
constexpr uint64_t kPartsPerFrame = 1000000000000000000ull;
constexpr uint64_t kPpbOne = 1000000000ull;
constexpr uint64_t kUsbFrameNs = 1000000ull;
// Frames a loopback line keeps beyond the longest delay: more than any
// capture packet spans.
constexpr uint32_t kLoopbackMargin = 65536;

// Frame counts in those parts outgrow 64 bits within seconds.
#if defined(__SIZEOF_INT128__)
using FrameParts = unsigned __int128;
#else
using FrameParts = UInt128;
#endif

uint64_t nextRandom(uint64_t& state) {  // splitmix64
    state += 0x9E3779B97F4A7C15ull;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Parts of a frame the clock passes in one nanosecond.
uint64_t partsPerNs(uint32_t rate, int64_t driftPpb) {
    return uint64_t(rate) * static_cast<uint64_t>(static_cast<int64_t>(kPpbOne) + driftPpb);
}

}  // namespace

StreamPin::StreamPin(SimController& owner, uint32_t pinId, bool capture, const StreamFormat& format,
                     std::vector<uint8_t> dataFormat, std::vector<LateCompletion>* late)
    : owner_(owner),
      pinId_(pinId),
      capture_(capture),
      format_(format),
      dataFormat_(std::move(dataFormat)),
      late_(late),
      random_(owner.jitterSeed(pinId)) {
    std::memset(queue_, 0, sizeof(queue_));
}

DWORD StreamPin::setState(KSSTATE next, uint64_t nowNs) {
    if (next < KSSTATE_STOP || next > KSSTATE_RUN) return os::kErrorInvalidParameter;
    const int step = static_cast<int>(next) - static_cast<int>(state_);
    if (step > 1 || step < -1) return os::kErrorInvalidParameter;
    if (SimController::consume(owner_.config_.faults.failStateChange)) {
        TRACE("StreamPin::setState injected failure %d -> %d", static_cast<int>(state_), static_cast<int>(next));
        return os::kErrorGenFailure;
    }
    // The bus has moved the clock up to now; from RUN on it counts from here.
    if (next == KSSTATE_RUN && state_ != KSSTATE_RUN) {
        clockNs_ = nowNs;
        ++clockEpoch_;
    }
    if (next == KSSTATE_STOP && state_ != KSSTATE_STOP) {
        failAll(ksabi::kStatusCancelled);
        frames_ = 0;
        remainder_ = 0;
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
    packet = Packet{};
    packet.header = header;
    packet.overlapped = overlapped;
    packet.event = ksabi::completionEvent(*overlapped);
    const uint32_t bytes = capture_ ? header->FrameExtent : header->DataUsed;
    packet.frames = format_.blockAlign == 0 ? 0 : bytes / format_.blockAlign;
    packet.stalled = SimController::consume(owner_.config_.faults.stallPackets);
    const uint32_t jitterUs = owner_.config_.faults.jitterUs;
    packet.jitterNs = jitterUs == 0 ? 0 : static_cast<uint32_t>(nextRandom(random_) % (uint64_t(jitterUs) * 1000u));
    ++count_;
    overlapped->Internal = ksabi::kStatusPending;
    overlapped->InternalHigh = 0;
    if (packet.event != nullptr) os::resetEvent(packet.event);
    return os::kErrorIoPending;
}

void StreamPin::advanceTo(uint64_t nowNs, int64_t driftPpb) {
    if (nowNs <= clockNs_) return;
    if (state_ == KSSTATE_RUN) {
        const FrameParts parts = FrameParts(nowNs - clockNs_) * partsPerNs(format_.rate, driftPpb) + remainder_;
        frames_ += static_cast<uint64_t>(parts / kPartsPerFrame);
        remainder_ = static_cast<uint64_t>(parts % kPartsPerFrame);
    }
    clockNs_ = nowNs;
}

void StreamPin::advanceFrames(uint64_t frames, int64_t driftPpb) {
    if (state_ != KSSTATE_RUN) return;
    const FrameParts parts =
        FrameParts(frames) * static_cast<uint64_t>(static_cast<int64_t>(kPpbOne) + driftPpb) * kPpbOne + remainder_;
    frames_ += static_cast<uint64_t>(parts / kPartsPerFrame);
    remainder_ = static_cast<uint64_t>(parts % kPartsPerFrame);
}

uint64_t StreamPin::timeOfFrame(uint64_t frame, int64_t driftPpb) const {
    const uint64_t perNs = partsPerNs(format_.rate, driftPpb);
    if (frame <= frames_) {
        // Passed already: how long ago, to well below a nanosecond.
        const double parts = double(frames_ - frame) * double(kPartsPerFrame) + double(remainder_);
        const uint64_t ago = static_cast<uint64_t>(parts / double(perNs));
        return ago < clockNs_ ? clockNs_ - ago : 0;
    }
    // Still to come: the first nanosecond at which the clock has reached it.
    const FrameParts needed = FrameParts(frame - frames_ - 1) * kPartsPerFrame + (kPartsPerFrame - remainder_);
    return clockNs_ + static_cast<uint64_t>((needed + (perNs - 1)) / perNs);
}

uint64_t StreamPin::deliveryTime(const Packet& packet, uint64_t endNs) const {
    uint64_t at = endNs;
    // USB moves isochronous data in 1 ms frames: a request completes with
    // the frame that carried its last sample.
    if (owner_.config_.faults.usbFrames) at = (at + kUsbFrameNs - 1) / kUsbFrameNs * kUsbFrameNs;
    at += packet.jitterNs;
    return at < lastDeliveryNs_ ? lastDeliveryNs_ : at;
}

void StreamPin::service(uint64_t nowNs, bool timed, int64_t driftPpb) {
    if (state_ == KSSTATE_RUN) {
        if (!capture_ && owner_.config_.loopback) play(frames_);
        StreamStats& stats = owner_.stats_[capture_ ? 1 : 0];
        while (done_ < count_ && !queued(done_).stalled && cursor_ + queued(done_).frames <= frames_) {
            Packet& packet = queued(done_);
            finishHardware(packet, timed ? timeOfFrame(cursor_ + packet.frames, driftPpb) : nowNs);
            ++done_;
        }
        // The hardware ran on without a packet (none queued, or a stuck one
        // a device stopped completing): those frames are gone.
        if (done_ == count_ || queued(done_).stalled) loseUntil(frames_, stats);
    }
    while (done_ > 0 && (!timed || queued(0).deliverAtNs <= nowNs)) {
        const Packet packet = queued(0);
        head_ = (head_ + 1) % kQueueCapacity;
        --count_;
        --done_;
        lastCompletion_.hardwareEndNs = packet.endNs;
        lastCompletion_.deliveredNs = timed ? packet.deliverAtNs : nowNs;
        ++lastCompletion_.count;
        complete(packet, packet.status, packet.bytes);
    }
}

void StreamPin::loseUntil(uint64_t position, StreamStats& stats) {
    if (position <= cursor_) return;
    if (!dry_) ++stats.gaps;
    dry_ = true;
    stats.framesLost += position - cursor_;
    cursor_ = position;
}

uint64_t StreamPin::nextCompletionNs(uint64_t nowNs, int64_t driftPpb) const {
    (void)nowNs;
    if (done_ > 0) return queued(0).deliverAtNs;
    if (state_ != KSSTATE_RUN || count_ == 0 || queued(0).stalled) return kNever;
    const Packet& packet = queued(0);
    return deliveryTime(packet, timeOfFrame(cursor_ + packet.frames, driftPpb));
}

void StreamPin::catchUp() {
    if (!capture_ && state_ == KSSTATE_RUN && owner_.config_.loopback) play(frames_);
}

void StreamPin::play(uint64_t position) {
    LoopbackLine& line = owner_.loopbackLine_;
    if (line.channels() != format_.channels) line.reset(format_.channels, kMaxLoopbackDelayFrames + kLoopbackMargin);
    if (played_ == 0) line.restart();
    // The packets the hardware is not through with follow each other without
    // a gap from the cursor on; the ones before have played already.
    uint64_t start = cursor_;
    for (size_t k = done_; k < count_ && played_ < position; ++k) {
        const Packet& packet = queued(k);
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

void StreamPin::fillFromLoopback(uint8_t* data, uint32_t frames) {
    StreamPin* render = owner_.renderPin();
    // A render side at another rate cannot be heard on this clock.
    const bool heard = render != nullptr && render->format_.rate == format_.rate;
    if (heard) {
        render->catchUp();
        if (offsetRender_ != render || offsetEpochs_[0] != render->clockEpoch_ || offsetEpochs_[1] != clockEpoch_) {
            offsetRender_ = render;
            offsetEpochs_[0] = render->clockEpoch_;
            offsetEpochs_[1] = clockEpoch_;
            renderOffset_ = static_cast<int64_t>(render->position()) - static_cast<int64_t>(position());
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

void StreamPin::finishHardware(Packet& packet, uint64_t endNs) {
    transfer(packet);
    packet.done = true;
    packet.endNs = endNs;
    packet.deliverAtNs = deliveryTime(packet, endNs);
    lastDeliveryNs_ = packet.deliverAtNs;
}

void StreamPin::transfer(Packet& packet) {
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
        packet.status = tooSmall ? ksabi::kStatusBufferTooSmall : ksabi::kStatusUnsuccessful;
        packet.bytes = 0;
        return;
    }
    if (capture_ && SimController::consume(faults.emptyReads)) {
        // Completed as a success that carries nothing, as USB devices do
        // after a glitch.
        cursor_ += frames;
        packet.header->DataUsed = 0;
        ++stats.emptyPackets;
        ++stats.packetsCompleted;
        packet.status = ksabi::kStatusSuccess;
        packet.bytes = packet.header->Size;
        return;
    }
    if (capture_) {
        if (SimController::consume(owner_.config_.faults.shortReads)) {
            frames /= 2;
            ++stats.shortPackets;
        }
        if (owner_.config_.loopback)
            fillFromLoopback(static_cast<uint8_t*>(packet.header->Data), frames);
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
    packet.status = ksabi::kStatusSuccess;
    packet.bytes = packet.header->Size;
}

void StreamPin::complete(const Packet& packet, uint32_t status, uint32_t bytes) {
    packet.overlapped->InternalHigh = bytes;
    packet.overlapped->Internal = status;
    if (packet.event != nullptr) os::setEvent(packet.event);
}

void StreamPin::failAll(uint32_t status) {
    StreamStats& stats = owner_.stats_[capture_ ? 1 : 0];
    done_ = 0;
    while (count_ > 0) {
        const Packet packet = queue_[head_];
        head_ = (head_ + 1) % kQueueCapacity;
        --count_;
        // One the hardware was through with but the driver had not heard of
        // yet goes the same way: to the driver it was still in flight. (The
        // hardware counted it already.)
        if (!packet.done) ++stats.packetsFailed;
        if (status == ksabi::kStatusCancelled && owner_.config_.faults.lateCancel && late_ != nullptr) {
            late_->push_back({packet.header, packet.overlapped, packet.event, capture_, handle_});
            continue;
        }
        if (capture_) packet.header->DataUsed = 0;
        complete(packet, status, 0);
    }
}

}  // namespace sim
