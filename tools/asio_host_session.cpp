#include "tools/asio_host_session.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/os.h"
#include "tools/asio_host_samples.h"

namespace host {
namespace {

constexpr int32_t kMaxChannels = 256;
constexpr int32_t kMaxBufferSize = 1 << 20;
constexpr double kMaxRate = 10e6;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kToneLevel = 0.25;  // -12 dBFS

std::string text(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string text(const char* format, ...) {
    char buffer[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(buffer, sizeof(buffer), format, arguments);
    va_end(arguments);
    return buffer;
}

// A name the driver wrote into a 32-byte field, cut at the field's end and
// with anything unprintable replaced.
std::string cleanName(const char* field, size_t size) {
    std::string name;
    for (size_t i = 0; i < size && field[i] != '\0'; ++i) {
        const unsigned char c = static_cast<unsigned char>(field[i]);
        name += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    }
    return name;
}

void updateMin(std::atomic<uint64_t>& slot, uint64_t value) {
    uint64_t seen = slot.load(std::memory_order_relaxed);
    while (value < seen && !slot.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}
void updateMax(std::atomic<uint64_t>& slot, uint64_t value) {
    uint64_t seen = slot.load(std::memory_order_relaxed);
    while (value > seen && !slot.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}

struct OutputTone {
    int32_t bufferIndex;  // into the buffer-info array
    ASIOSampleType type;
    double phase;
};

struct InputRecord {
    int32_t bufferIndex;
    ASIOSampleType type;
};

// Everything the callbacks touch; the driver calls them without context.
struct Session {
    IASIO* driver = nullptr;
    int32_t bufferSize = 0;
    double rate = 0;
    double phaseStep = 0;
    bool timeInfo = true;
    std::vector<ASIOBufferInfo> buffers;
    std::vector<OutputTone> tones;
    std::vector<InputRecord> inputs;
    std::vector<int32_t>* samples = nullptr;
    uint64_t capacityFrames = 0;

    std::atomic<bool> recording{false};
    std::atomic<uint64_t> recordedFrames{0};
    std::atomic<uint64_t> droppedFrames{0};
    std::atomic<uint64_t> switches{0};
    std::atomic<uint64_t> timeInfoSwitches{0};
    std::atomic<uint64_t> lastSwitchNs{0};
    std::atomic<uint64_t> minPeriodNs{UINT64_MAX};
    std::atomic<uint64_t> maxPeriodNs{0};
    std::atomic<uint64_t> maxPeriodEndNs{0};  // when the longest period ended
    std::atomic<uint64_t> firstSwitchNs{0};
    std::atomic<int64_t> lastPosition{-1};
    std::atomic<int32_t> lastHalf{-1};
    std::atomic<uint64_t> missed{0};
    std::atomic<uint64_t> jumps{0};
    std::atomic<uint64_t> positionErrors{0};
    std::atomic<uint64_t> repeatedHalves{0};
    std::atomic<uint32_t> resets{0};
    std::atomic<uint32_t> resyncs{0};
    std::atomic<uint32_t> latencyChanges{0};
    std::atomic<uint32_t> overloads{0};
};

std::atomic<Session*> activeSession{nullptr};

void checkPosition(Session& s, int64_t position) {
    const int64_t previous = s.lastPosition.exchange(position);
    if (previous < 0) return;
    const int64_t delta = position - previous;
    if (delta == s.bufferSize) return;
    if (delta > s.bufferSize && delta % s.bufferSize == 0)
        s.missed += static_cast<uint64_t>(delta / s.bufferSize - 1);
    else
        s.jumps++;
}

void processHalf(Session& s, int32_t half, const ASIOTime* time) {
    const uint64_t now = os::nanoseconds();
    const uint64_t count = ++s.switches;
    const uint64_t last = s.lastSwitchNs.exchange(now);
    if (count == 1) {
        s.firstSwitchNs = now;
    } else {
        updateMin(s.minPeriodNs, now - last);
        // Switches come from one thread at a time: the end is the longest's.
        if (now - last > s.maxPeriodNs.load(std::memory_order_relaxed)) s.maxPeriodEndNs = now;
        updateMax(s.maxPeriodNs, now - last);
    }
    if (half != 0 && half != 1) {
        s.jumps++;
        return;
    }
    if (s.lastHalf.exchange(half) == half) s.repeatedHalves++;

    if (time != nullptr && (time->timeInfo.flags & kAsioSamplePositionValid) != 0) {
        checkPosition(s, static_cast<int64_t>(asioToUint64(time->timeInfo.samplePosition)));
    } else {
        ASIOSamples position = {};
        ASIOTimeStamp stamp = {};
        if (s.driver->getSamplePosition(&position, &stamp) == ASE_OK)
            checkPosition(s, static_cast<int64_t>(asioToUint64(position)));
        else
            s.positionErrors++;
    }

    for (OutputTone& tone : s.tones) {
        void* buffer = s.buffers[static_cast<size_t>(tone.bufferIndex)].buffers[half];
        for (int32_t i = 0; i < s.bufferSize; ++i) {
            const double value = kToneLevel * std::sin(tone.phase) * 2147483647.0;
            writeSample(buffer, tone.type, static_cast<size_t>(i), static_cast<int32_t>(value));
            tone.phase += s.phaseStep;
        }
        tone.phase = std::fmod(tone.phase, kTwoPi);
    }

    if (s.recording.load() && !s.inputs.empty()) {
        const uint64_t frame = s.recordedFrames.load(std::memory_order_relaxed);
        const uint64_t room = s.capacityFrames - frame;
        const uint64_t frames = std::min<uint64_t>(room, static_cast<uint64_t>(s.bufferSize));
        int32_t* out = s.samples->data() + frame * s.inputs.size();
        for (uint64_t i = 0; i < frames; ++i)
            for (const InputRecord& input : s.inputs)
                *out++ = readSample(s.buffers[static_cast<size_t>(input.bufferIndex)].buffers[half], input.type,
                                    static_cast<size_t>(i));
        s.recordedFrames.store(frame + frames, std::memory_order_release);
        s.droppedFrames += static_cast<uint64_t>(s.bufferSize) - frames;
    }
    // Hosts tell the driver here that the outputs are written.
    s.driver->outputReady();
}

void onBufferSwitch(int32_t half, ASIOBool) {
    Session* s = activeSession.load();
    if (s != nullptr) processHalf(*s, half, nullptr);
}

ASIOTime* onBufferSwitchTimeInfo(ASIOTime* time, int32_t half, ASIOBool) {
    Session* s = activeSession.load();
    if (s != nullptr) {
        s->timeInfoSwitches++;
        processHalf(*s, half, time);
    }
    return time;
}

void onSampleRateDidChange(ASIOSampleRate) {}

int32_t onAsioMessage(int32_t selector, int32_t value, void*, double*) {
    Session* s = activeSession.load();
    switch (selector) {
        case kAsioSelectorSupported:
            return value == kAsioResetRequest || value == kAsioEngineVersion || value == kAsioResyncRequest ||
                           value == kAsioLatenciesChanged || value == kAsioSupportsTimeInfo || value == kAsioOverload
                       ? 1
                       : 0;
        case kAsioEngineVersion: return 2;
        case kAsioResetRequest:
            if (s != nullptr) s->resets++;
            return 1;
        case kAsioResyncRequest:
            if (s != nullptr) s->resyncs++;
            return 1;
        case kAsioLatenciesChanged:
            if (s != nullptr) s->latencyChanges++;
            return 1;
        case kAsioOverload:
            if (s != nullptr) s->overloads++;
            return 1;
        case kAsioSupportsTimeInfo: return s != nullptr && s->timeInfo ? 1 : 0;
        default: return 0;
    }
}

}  // namespace

bool describeDriver(IASIO* driver, DriverDescription* d) {
    char name[kAsioDriverNameSize + 1] = {};
    driver->getDriverName(name);
    d->name = cleanName(name, kAsioDriverNameSize);
    d->version = driver->getDriverVersion();

    bool canStream = true;
    ASIOError result = driver->getChannels(&d->inputs, &d->outputs);
    if (result != ASE_OK || d->inputs < 0 || d->outputs < 0 || d->inputs > kMaxChannels ||
        d->outputs > kMaxChannels || d->inputs + d->outputs == 0) {
        d->problems.push_back(text("getChannels answered %d with %d inputs and %d outputs", result, d->inputs,
                                   d->outputs));
        d->inputs = d->outputs = 0;
        canStream = false;
    }
    result = driver->getBufferSize(&d->minSize, &d->maxSize, &d->preferredSize, &d->granularity);
    if (result != ASE_OK || d->minSize < 1 || d->maxSize > kMaxBufferSize || d->minSize > d->preferredSize ||
        d->preferredSize > d->maxSize) {
        d->problems.push_back(text("getBufferSize answered %d: min %d, max %d, preferred %d, granularity %d", result,
                                   d->minSize, d->maxSize, d->preferredSize, d->granularity));
        canStream = false;
    }
    result = driver->getSampleRate(&d->rate);
    if (result != ASE_OK || !std::isfinite(d->rate) || d->rate <= 0 || d->rate > kMaxRate) {
        d->problems.push_back(text("getSampleRate answered %d with %g Hz", result, d->rate));
        canStream = false;
    }
    result = driver->getLatencies(&d->inputLatency, &d->outputLatency);
    if (result != ASE_OK || d->inputLatency < 0 || d->outputLatency < 0)
        d->problems.push_back(text("getLatencies answered %d: input %d, output %d", result, d->inputLatency,
                                   d->outputLatency));
    for (int direction = 1; direction >= 0; --direction) {
        const int32_t count = direction ? d->inputs : d->outputs;
        for (int32_t channel = 0; channel < count; ++channel) {
            ASIOChannelInfo info;
            std::memset(&info, 0, sizeof(info));
            info.channel = channel;
            info.isInput = direction;
            ChannelDescription c;
            c.channel = channel;
            c.isInput = direction != 0;
            result = driver->getChannelInfo(&info);
            c.isActive = info.isActive != ASIOFalse;
            c.type = info.type;
            c.name = cleanName(info.name, sizeof(info.name));
            c.usable = result == ASE_OK && sampleBytes(info.type) != 0;
            if (result != ASE_OK)
                d->problems.push_back(text("getChannelInfo of %s %d answered %d", direction ? "input" : "output",
                                           channel, result));
            else if (sampleBytes(info.type) == 0)
                d->problems.push_back(text("%s %d has sample type %d, which this host does not handle",
                                           direction ? "input" : "output", channel, info.type));
            d->channels.push_back(c);
        }
    }
    return canStream;
}

StreamReport runStream(IASIO* driver, const DriverDescription& d, const StreamOptions& options) {
    StreamReport report;
    Session s;
    s.driver = driver;
    s.timeInfo = options.timeInfo;
    s.bufferSize = options.bufferSize != 0 ? options.bufferSize : d.preferredSize;
    s.rate = d.rate;
    s.phaseStep = kTwoPi * options.frequency / d.rate;
    report.bufferSize = s.bufferSize;
    report.rate = d.rate;

    // Every usable channel gets buffers: the outputs not toned play silence.
    std::vector<const ChannelDescription*> used;
    for (const ChannelDescription& c : d.channels)
        if (c.usable) used.push_back(&c);
    if (used.empty()) {
        report.failure = "the driver offers no channel this host can stream";
        return report;
    }
    for (const ChannelDescription* c : used) {
        ASIOBufferInfo info = {};
        info.isInput = c->isInput ? ASIOTrue : ASIOFalse;
        info.channelNum = c->channel;
        const int32_t index = static_cast<int32_t>(s.buffers.size());
        s.buffers.push_back(info);
        const bool toned = !c->isInput && std::find(options.toneOutputs.begin(), options.toneOutputs.end(),
                                                    c->channel) != options.toneOutputs.end();
        if (toned) s.tones.push_back({index, c->type, 0.0});
        const bool recorded = c->isInput && options.recordInputs &&
                              (options.inputs.empty() || std::find(options.inputs.begin(), options.inputs.end(),
                                                                   c->channel) != options.inputs.end());
        if (recorded) {
            s.inputs.push_back({index, c->type});
            report.recordedChannels.push_back(c->channel);
            report.recordedTypes.push_back(c->type);
        }
    }
    s.capacityFrames = static_cast<uint64_t>(std::ceil(options.seconds * d.rate)) + 4u * s.bufferSize;
    if (!s.inputs.empty()) report.samples.resize(s.capacityFrames * s.inputs.size());
    s.samples = &report.samples;

    // Like hosts that do not take time info, leave its callback out then.
    ASIOCallbacks callbacks = {onBufferSwitch, onSampleRateDidChange, onAsioMessage,
                               options.timeInfo ? onBufferSwitchTimeInfo : nullptr};
    activeSession = &s;
    ASIOError result = driver->createBuffers(s.buffers.data(), static_cast<int32_t>(s.buffers.size()), s.bufferSize,
                                             &callbacks);
    if (result != ASE_OK) {
        char message[kAsioErrorMessageSize + 1] = {};
        driver->getErrorMessage(message);
        report.failure = text("createBuffers with %u channels of %d samples answered %d%s%s",
                              static_cast<unsigned>(s.buffers.size()),
                              s.bufferSize, result, message[0] ? ": " : "",
                              cleanName(message, kAsioErrorMessageSize).c_str());
        activeSession = nullptr;
        return report;
    }
    for (const ASIOBufferInfo& info : s.buffers) {
        if (info.buffers[0] == nullptr || info.buffers[1] == nullptr || info.buffers[0] == info.buffers[1]) {
            report.failure = text("createBuffers handed out no usable buffer halves for %s %d",
                                  info.isInput ? "input" : "output", info.channelNum);
            driver->disposeBuffers();
            activeSession = nullptr;
            return report;
        }
    }
    s.recording = true;
    result = driver->start();
    if (result != ASE_OK) {
        report.failure = text("start answered %d", result);
        driver->disposeBuffers();
        activeSession = nullptr;
        return report;
    }
    report.streamed = true;
    const uint64_t started = os::nanoseconds();
    const uint64_t duration = static_cast<uint64_t>(options.seconds * 1e9);
    while (os::nanoseconds() - started < duration) {
        if (options.stopOnReset && s.resets.load() > 0) {
            report.endedByReset = true;
            break;
        }
        if (options.whileStreaming) options.whileStreaming();
        os::sleepMs(10);
    }
    report.secondsStreamed = static_cast<double>(os::nanoseconds() - started) / 1e9;
    s.recording = false;
    result = driver->stop();
    if (result != ASE_OK) report.problems.push_back(text("stop answered %d", result));
    const uint64_t atStop = s.switches.load();
    // Buffer switches must end with stop: wait three periods for strays.
    const double periodMs = 1000.0 * s.bufferSize / d.rate;
    os::sleepMs(static_cast<uint32_t>(std::ceil(3 * periodMs)) + 20);
    report.switchesAfterStop = s.switches.load() - atStop;
    result = driver->disposeBuffers();
    if (result != ASE_OK) report.problems.push_back(text("disposeBuffers answered %d", result));
    activeSession = nullptr;

    report.switches = atStop;
    report.expectedSwitches = static_cast<uint64_t>(report.secondsStreamed * d.rate / s.bufferSize);
    report.nominalPeriodMs = periodMs;
    if (atStop >= 2) {
        report.minPeriodMs = s.minPeriodNs.load() / 1e6;
        report.maxPeriodMs = s.maxPeriodNs.load() / 1e6;
        report.maxPeriodEndSeconds = (s.maxPeriodEndNs.load() - s.firstSwitchNs.load()) / 1e9;
        report.meanPeriodMs = (s.lastSwitchNs.load() - s.firstSwitchNs.load()) / 1e6 / static_cast<double>(atStop - 1);
    }
    report.missedSwitches = s.missed.load();
    report.positionJumps = s.jumps.load();
    report.positionErrors = s.positionErrors.load();
    report.repeatedHalves = s.repeatedHalves.load();
    report.timeInfoSwitches = s.timeInfoSwitches.load();
    report.resetRequests = s.resets.load();
    report.resyncRequests = s.resyncs.load();
    report.latencyChanges = s.latencyChanges.load();
    report.overloads = s.overloads.load();
    report.recordedFrames = s.recordedFrames.load(std::memory_order_acquire);
    report.droppedFrames = s.droppedFrames.load();
    report.samples.resize(report.recordedFrames * s.inputs.size());
    return report;
}

bool streamWasSound(const StreamReport& r) {
    return r.streamed && (r.switches > 0 || r.endedByReset) && r.missedSwitches == 0 && r.positionJumps == 0 && r.positionErrors == 0 &&
           r.repeatedHalves == 0 && r.switchesAfterStop == 0 && r.problems.empty();
}

}  // namespace host
