#include "engine/composite_ks_audio_device.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "devices/device_registry.h"
#include "engine/composite_stream.h"
#include "engine/hardware_format.h"
#include "platform/trace.h"

namespace {

uint8_t brandSampleBits() {
    const AsioBrandIf* brand = AsioBrandIf::getActiveBrand();
    return brand != nullptr ? brand->getBitsPerSample() : 16;
}

// Whole buffer periods a sample spends in the device in each direction.
constexpr int64_t kInputPeriods = 2;
constexpr int64_t kOutputPeriods = 3;
// Latencies stay within 32 bits for any buffer a host could ask for.
constexpr int64_t kMaxLatencyBuffer = 1 << 24;

double brandDefaultRate() {
    const AsioBrandIf* brand = AsioBrandIf::getActiveBrand();
    return brand != nullptr ? brand->getDefaultSampleRate() : 44100.0;
}

}  // namespace

CompositeKsAudioDevice::ControlGuard::ControlGuard(const CompositeKsAudioDevice& device)
    : device_(device), locked_(!device.onStreamingThread()) {
    if (locked_) device_.control_.lock();
}

CompositeKsAudioDevice::ControlGuard::~ControlGuard() {
    if (locked_) device_.control_.unlock();
}

CompositeKsAudioDevice::CompositeKsAudioDevice(DeviceRegistry* registry, HRESULT* result, CompositeClockIf* clock)
    : registry_(registry),
      clock_(clock != nullptr ? *clock : systemCompositeClock()),
      sampleBits_(brandSampleBits()),
      rate_(brandDefaultRate()) {
    std::memset(&timeInfo_, 0, sizeof(timeInfo_));
    if (!commands_.valid()) {
        if (result != nullptr) *result = E_FAIL;
        registry_ = nullptr;  // never registered
        return;
    }
    if (result != nullptr) *result = S_OK;
    if (registry_ != nullptr && !registry_->addEventHandler(this)) {
        TRACE("Out of memory");
        registry_ = nullptr;
    }
}

CompositeKsAudioDevice::~CompositeKsAudioDevice() {
    if (registry_ != nullptr) registry_->removeEventHandler(this);
    stopWatchingDevices();
    ControlGuard guard(*this);
    endStream();
    for (CompositeUnit* unit : units_) delete unit;
    units_.clear();
}

bool CompositeKsAudioDevice::onStreamingThread() const {
    const uint32_t id = threadId_.load();
    return id != 0 && id == os::currentThreadId();
}

bool CompositeKsAudioDevice::isUsableRate(double rate) { return isUsableHostRate(rate); }

ASIOCallbacks* CompositeKsAudioDevice::getCallbacks() { return callbacks_; }

ASIOError CompositeKsAudioDevice::getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) {
    if (numInputChannels != nullptr) *numInputChannels = kAsioInputChannels;
    if (numOutputChannels != nullptr) *numOutputChannels = kAsioOutputChannels;
    return ASE_OK;
}

ASIOError CompositeKsAudioDevice::getChannelInfo(ASIOChannelInfo* info) {
    if (info == nullptr || !isValidAsioChannel(info->channel, info->isInput != ASIOFalse)) {
        TRACE("Invalid parameters");
        return ASE_InvalidParameter;
    }
    const bool input = info->isInput != ASIOFalse;
    info->type = asioSampleTypeForBits(sampleBits_);
    info->channelGroup = 0;
    info->isActive = ASIOFalse;
    ControlGuard guard(*this);
    for (CompositeUnit* unit : units_)
        if (unit->isInput() == input && unit->serves(info->channel)) {
            info->isActive = ASIOTrue;
            break;
        }
    return ASE_OK;
}

ASIOError CompositeKsAudioDevice::canSampleRate(ASIOSampleRate rate) {
    if (!isUsableRate(rate)) {
        TRACE("Samplerate not supported %.2f", rate);
        return ASE_NoClock;
    }
    ControlGuard guard(*this);
    for (CompositeUnit* unit : units_) {
        const ASIOError answer = unit->filter().canSampleRate(rate);
        if (answer != ASE_OK) return answer;
    }
    return ASE_OK;
}

ASIOError CompositeKsAudioDevice::getSampleRate(ASIOSampleRate* rate) {
    if (rate == nullptr) return ASE_InvalidParameter;
    *rate = rate_.load();
    return ASE_OK;
}

ASIOError CompositeKsAudioDevice::setSampleRate(ASIOSampleRate rate) {
    TRACE_ENTER("CompositeKsAudioDevice::setSampleRate");
    if (!isUsableRate(rate)) {
        TRACE("Failed to set samplerate");
        return ASE_NoClock;
    }
    ControlGuard guard(*this);
    const ASIOError result = applySampleRate(rate);
    TRACE_LEAVE_INT("CompositeKsAudioDevice::setSampleRate", result);
    return result;
}

ASIOError CompositeKsAudioDevice::applySampleRate(double rate) {
    const double current = rate_.load();
    if (rateApplied_ && rate == current) return ASE_OK;
    rateApplied_ = true;
    for (size_t i = 0; i < units_.size(); ++i) {
        const ASIOError result = units_[i]->filter().setSampleRate(rate);
        if (result == ASE_OK) continue;
        TRACE("Failed to set samplerate");
        for (size_t back = i; back-- > 0;) units_[back]->filter().setSampleRate(current);
        return result;
    }
    if (rate != current) {
        rate_.store(rate);
        pendingTimeFlags_.fetch_or(kAsioSampleRateChanged);
        if (callbacks_ != nullptr && callbacks_->sampleRateDidChange != nullptr) callbacks_->sampleRateDidChange(rate);
    }
    return ASE_OK;
}

ASIOError CompositeKsAudioDevice::createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                                                ASIOCallbacks* callbacks) {
    TRACE_ENTER("CompositeKsAudioDevice::createBuffers");
    if (onStreamingThread()) return ASE_InvalidMode;
    if (registry_ != nullptr) {
        // Units another program held at the last pass may be free now. The
        // registry's lock first, as a pass takes it before the control lock.
        DeviceRegistry::Guard records(*registry_);
        ControlGuard guard(*this);
        if (thread_ == nullptr) retryUnits();
    }
    ControlGuard guard(*this);
    if (thread_ != nullptr || buffers_.exist()) {
        TRACE("Invalid mode");
        return ASE_InvalidMode;
    }
    if (callbacks == nullptr || numChannels < 0 || numChannels > kAsioChannelTableSize ||
        (numChannels > 0 && bufferInfos == nullptr) || bufferSize <= 0) {
        TRACE("Invalid parameters");
        return ASE_InvalidParameter;
    }
    commands_.reset();
    for (CompositeUnit* unit : units_)
        for (uint32_t p = 0; p < KsAudioFilter::kPackets; ++p) os::waitForOne(unit->filter().getEvent(p), 0);

    bool requested[kAsioChannelTableSize] = {};
    for (int32_t i = 0; i < numChannels; ++i) {
        const bool input = bufferInfos[i].isInput != ASIOFalse;
        const int32_t channel = bufferInfos[i].channelNum;
        if (!isValidAsioChannel(channel, input) || requested[asioChannelTableIndex(channel, input)]) {
            TRACE("Invalid parameters");
            return ASE_InvalidParameter;
        }
        requested[asioChannelTableIndex(channel, input)] = true;
    }
    std::memcpy(requested_, requested, sizeof(requested_));

    // Units attached since the rate was last applied have not had it yet.
    const double rate = rate_.load();
    ASIOError result = applySampleRate(rate);
    for (size_t i = 0; result == ASE_OK && i < units_.size(); ++i) result = units_[i]->filter().setSampleRate(rate);
    if (result != ASE_OK) {
        TRACE("Failed to initialize samplerate");
        return result;
    }

    active_.clear();
    for (CompositeUnit* unit : units_) {
        if (!unit->servesRequested(requested_)) continue;
        if (active_.size() >= kMaxActiveUnits) {
            TRACE("More units than can stream at once; the rest waits");
            break;
        }
        if (!active_.push_back(unit)) {
            TRACE("Out of memory");
            active_.clear();
            return ASE_NoMemory;
        }
    }

    channelCount_ = numChannels;
    for (int32_t i = 0; i < numChannels; ++i) bufferInfos[i].buffers[0] = bufferInfos[i].buffers[1] = nullptr;
    if (!buffers_.allocate(static_cast<uint32_t>(bufferSize), sampleBits_, requested_)) {
        TRACE("Out of memory");
        active_.clear();
        return ASE_NoMemory;
    }
    result = prepareUnits();
    if (result != ASE_OK) {
        buffers_.release();
        active_.clear();
        return result;
    }
    for (int32_t i = 0; i < numChannels; ++i) {
        const bool input = bufferInfos[i].isInput != ASIOFalse;
        for (uint32_t h = 0; h < 2; ++h)
            bufferInfos[i].buffers[h] = input ? buffers_.input(bufferInfos[i].channelNum, h)
                                              : buffers_.output(bufferInfos[i].channelNum, h);
    }

    callbacks_ = callbacks;
    const int32_t answer =
        callbacks->asioMessage != nullptr ? callbacks->asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr) : 0;
    // Hosts that answer yes but leave the callback out get plain switches.
    timeInfoMode_ = answer != 0 && callbacks->bufferSwitchTimeInfo != nullptr;
    overloadMessages_ = callbacks->asioMessage != nullptr &&
                        callbacks->asioMessage(kAsioSelectorSupported, kAsioOverload, nullptr, nullptr) != 0;
    latencyMessages_ = callbacks->asioMessage != nullptr &&
                       callbacks->asioMessage(kAsioSelectorSupported, kAsioLatenciesChanged, nullptr, nullptr) != 0;
    latenciesChanged_.store(false);
    std::memset(&timeInfo_, 0, sizeof(timeInfo_));
    if (timeInfoMode_) {
        timeInfo_.timeInfo.speed = 1.0;
        timeInfo_.timeInfo.sampleRate = rate_.load();
        timeInfo_.timeInfo.flags = kAsioSystemTimeValid | kAsioSamplePositionValid | kAsioSampleRateValid;
        timeInfo_.timeCode.speed = 1.0;
        timeInfo_.timeCode.flags = kAsioTimeCodeValid | kAsioTimeCodeRunning;
    }
    pendingTimeFlags_.store(0);
    switchSequence_.store(0);
    samplePosition_.store(0);
    systemTime_.store(0);

    thread_ = os::createThread(threadEntry, this, false,
                               clock_.keepsRealTime() ? os::ThreadPriority::TimeCritical : os::ThreadPriority::Normal);
    if (thread_ == nullptr) {
        TRACE("Failed to create thread");
        releaseStreamResources();
        for (int32_t i = 0; i < numChannels; ++i) bufferInfos[i].buffers[0] = bufferInfos[i].buffers[1] = nullptr;
        return ASE_NoMemory;
    }
    commands_.send(kCompositePause, false, thread_);
    TRACE_LEAVE_INT("CompositeKsAudioDevice::createBuffers", ASE_OK);
    return ASE_OK;
}

ASIOError CompositeKsAudioDevice::prepareUnits() {
    // With more than one controller, any unit may have to follow another's
    // clock; a controller alone streams as it always did.
    bool several = false;
    for (const CompositeUnit* unit : active_) several = several || unit->record() != active_[0]->record();
    for (size_t i = 0; i < active_.size();) {
        CompositeUnit* unit = active_[i];
        void* table[kHostBufferTableSize];
        buffers_.buildUnitTable(*unit, table);
        unit->filter().setSteering(several && driftCorrection());
        const ASIOError result = unit->filter().createBuffers(table, buffers_.frames(), sampleBits_);
        if (result == ASE_OK) {
            clearProblem(unit->record(), unit->isInput());
            unit->prepareGapWatch();
            ++i;
        } else if (refusedForFraming(*unit)) {
            active_.remove(i);  // the others stream; this one says why it does not
        } else {
            TRACE("Buffer creation failed");
            disposeUnitBuffers(i);
            return result;
        }
    }
    return ASE_OK;
}

bool CompositeKsAudioDevice::refusedForFraming(const CompositeUnit& unit) {
    const uint32_t minimum = unit.filter().framingMinimumFrames();
    if (minimum == 0) return false;
    char what[64];
    std::snprintf(what, sizeof(what), "needs buffers of at least %u samples", static_cast<unsigned>(minimum));
    setProblem(unit.record(), unit.isInput(), what);
    return true;
}

void CompositeKsAudioDevice::disposeUnitBuffers(size_t count) {
    for (size_t i = 0; i < count && i < active_.size(); ++i) active_[i]->filter().disposeBuffers();
}

void CompositeKsAudioDevice::releaseStreamResources() {
    callbacks_ = nullptr;
    timeInfoMode_ = false;
    overloadMessages_ = false;
    latencyMessages_ = false;
    // Units that left the stream after a failure still hold their buffers;
    // kept, they would refuse every later createBuffers.
    for (CompositeUnit* unit : units_) unit->filter().disposeBuffers();
    active_.clear();
    buffers_.release();
    channelCount_ = 0;
}

void CompositeKsAudioDevice::endStream() {
    if (thread_ != nullptr) {
        commands_.send(kCompositeQuit, true, thread_);
        os::waitForOne(thread_, os::kInfinite);
        os::closeHandle(thread_);
        thread_ = nullptr;
    }
    releaseStreamResources();
}

ASIOError CompositeKsAudioDevice::disposeBuffers() {
    TRACE_ENTER("CompositeKsAudioDevice::disposeBuffers");
    if (onStreamingThread()) return ASE_InvalidMode;
    ControlGuard guard(*this);
    endStream();
    TRACE_LEAVE_INT("CompositeKsAudioDevice::disposeBuffers", ASE_OK);
    return ASE_OK;
}

ASIOError CompositeKsAudioDevice::start() {
    TRACE_ENTER("CompositeKsAudioDevice::start");
    if (onStreamingThread()) return ASE_InvalidMode;
    ControlGuard guard(*this);
    if (callbacks_ == nullptr) {
        TRACE("Invalid mode");
        return ASE_NotPresent;
    }
    switchSequence_.fetch_add(1);
    samplePosition_.store(0);
    systemTime_.store(0);
    switchSequence_.fetch_add(1);
    // A streaming thread that has ended after a failure cannot run.
    if (!commands_.send(kCompositeRun, false, thread_)) return ASE_HWMalfunction;
    return ASE_OK;
}

ASIOError CompositeKsAudioDevice::stop() {
    TRACE_ENTER("CompositeKsAudioDevice::stop");
    if (onStreamingThread()) {
        // From inside the host's buffer switch: the thread cannot wait for
        // itself, so the pause is taken at its next wait, before any packet,
        // and the switch the host is in is the last one. While a command of
        // another thread is under way it cannot even be given.
        if (commands_.post(kCompositePause)) return ASE_OK;
        TRACE("Invalid mode");
        return ASE_InvalidMode;
    }
    ControlGuard guard(*this);
    commands_.send(kCompositePause, true, thread_);
    return ASE_OK;
}

ASIOError CompositeKsAudioDevice::getSamplePosition(ASIOSamples* samplePosition, ASIOTimeStamp* timeStamp) {
    if (samplePosition == nullptr || timeStamp == nullptr) return ASE_InvalidParameter;
    uint64_t position = 0;
    uint64_t time = 0;
    for (;;) {
        const uint32_t before = switchSequence_.load();
        position = samplePosition_.load();
        time = systemTime_.load();
        if ((before & 1) == 0 && switchSequence_.load() == before) break;
    }
    samplePosition->hi = static_cast<uint32_t>(position >> 32);
    samplePosition->lo = static_cast<uint32_t>(position);
    timeStamp->hi = static_cast<uint32_t>(time >> 32);
    timeStamp->lo = static_cast<uint32_t>(time);
    return ASE_OK;
}

ASIOError CompositeKsAudioDevice::outputReady() { return ASE_NotPresent; }

bool CompositeKsAudioDevice::onCallbackThread() const { return onStreamingThread(); }

ASIOError CompositeKsAudioDevice::getLatencies(int32_t bufferSize, int32_t* inputLatency, int32_t* outputLatency) {
    if (inputLatency == nullptr || outputLatency == nullptr) return ASE_InvalidParameter;
    ControlGuard guard(*this);
    const int64_t frames = buffers_.exist() ? static_cast<int64_t>(buffers_.frames()) : bufferSize;
    if (frames <= 0 || frames > kMaxLatencyBuffer) return ASE_InvalidParameter;
    // A captured sample is summed when its packet completes and reaches the
    // host one switch later, from the other half: two periods. A half the
    // host writes is taken into a packet when that half's packet completes
    // next, which then waits behind the one already queued: three periods
    // from the switch to the first frame playing. The slowest converter of
    // each direction adds its delay; the units attached are those that
    // stream (or would), and a splice changes the list only under the lock.
    const ConversionDelays delays = conversionDelays();
    *inputLatency = static_cast<int32_t>(kInputPeriods * frames + delays.input);
    *outputLatency = static_cast<int32_t>(kOutputPeriods * frames + delays.output);
    return ASE_OK;
}

CompositeKsAudioDevice::ConversionDelays CompositeKsAudioDevice::conversionDelays() const {
    ConversionDelays delays;
    const double rate = rate_.load();
    for (const CompositeUnit* unit : units_) {
        uint32_t& delay = unit->isInput() ? delays.input : delays.output;
        const uint32_t own = unit->conversionDelay(rate);
        if (own > delay) delay = own;
    }
    return delays;
}

CompositeKsAudioDevice::LatencyWatch::~LatencyWatch() {
    // Hosts align what they record by the latencies: one that asked for
    // them with these buffers hears when a unit that converts came or went.
    if (device_.callbacks_ != nullptr && device_.conversionDelays() != before_)
        device_.latenciesChanged_.store(true);
}

uint32_t CompositeKsAudioDevice::threadEntry(void* argument) {
    CompositeKsAudioDevice* device = static_cast<CompositeKsAudioDevice*>(argument);
    device->threadId_.store(os::currentThreadId());
    // Scheduled as the multimedia class scheduler's "Pro Audio" task where
    // there is one; time-critical priority otherwise. Not on a virtual
    // clock, whose thread never waits.
    const os::Handle task = device->clock_.keepsRealTime() ? os::joinProAudioTask() : nullptr;
    {
        CompositeStream stream(*device);
        stream.execute();
    }
    os::leaveProAudioTask(task);
    device->threadId_.store(0);
    return 0;
}

size_t CompositeKsAudioDevice::getNumberOfUnits() const {
    os::ScopedLock lock(control_);
    return units_.size();
}

UnitGaps CompositeKsAudioDevice::getUnitGaps(const DeviceInfo* record, bool input) const {
    ControlGuard guard(*this);
    const CompositeUnit* unit = findUnit(record, input);
    return unit != nullptr ? unit->gaps() : UnitGaps();
}

bool CompositeKsAudioDevice::hasStream() const {
    os::ScopedLock lock(control_);
    return thread_ != nullptr && os::waitForOne(thread_, 0) == os::kWaitTimeout;
}
