// asio_host: a console ASIO host for users, support and tests. It loads a
// driver as hosts do, lists its channels, streams for a while with a test
// tone on chosen outputs, records the inputs to a WAV file, and reports
// whether the stream was sound. See docs/console-host.md.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "brands/brand_build.h"
#include "platform/os.h"
#include "tools/asio_host_driver.h"
#include "tools/asio_host_options.h"
#include "tools/asio_host_samples.h"
#include "tools/asio_host_session.h"
#include "tools/asio_host_wav.h"

namespace {

enum ExitStatus { kSound = 0, kUsage = 1, kNoDriver = 2, kUnsound = 3, kOutputFailed = 4 };

void printChannels(const host::DriverDescription& d) {
    for (int direction = 1; direction >= 0; --direction) {
        std::printf("%s (%d):\n", direction ? "Inputs" : "Outputs", direction ? d.inputs : d.outputs);
        for (const host::ChannelDescription& c : d.channels) {
            if (c.isInput != (direction != 0)) continue;
            std::printf("  %3d  %-31s %-11s %s\n", c.channel, c.name.c_str(), host::sampleTypeName(c.type),
                        c.isActive ? "active" : "inactive");
        }
    }
}

void printReport(const host::StreamReport& r) {
    std::printf("Buffer switches: %llu (about %llu expected in %.1f s)\n",
                static_cast<unsigned long long>(r.switches), static_cast<unsigned long long>(r.expectedSwitches),
                r.secondsStreamed);
    if (r.switches >= 2)
        std::printf("Period: min %.2f ms, mean %.2f ms, max %.2f ms (nominal %.2f ms)\n", r.minPeriodMs,
                    r.meanPeriodMs, r.maxPeriodMs, r.nominalPeriodMs);
    std::printf("Time-info callbacks: %llu of %llu\n", static_cast<unsigned long long>(r.timeInfoSwitches),
                static_cast<unsigned long long>(r.switches));
    std::printf("Missed switches: %llu; sample position jumps: %llu; position errors: %llu; repeated halves: %llu\n",
                static_cast<unsigned long long>(r.missedSwitches), static_cast<unsigned long long>(r.positionJumps),
                static_cast<unsigned long long>(r.positionErrors), static_cast<unsigned long long>(r.repeatedHalves));
    std::printf("Switches after stop: %llu\n", static_cast<unsigned long long>(r.switchesAfterStop));
    std::printf("Reset requests: %u; resync requests: %u; latency changes: %u; overloads: %u\n", r.resetRequests,
                r.resyncRequests, r.latencyChanges, r.overloads);
    for (const std::string& problem : r.problems) std::printf("Problem: %s\n", problem.c_str());
}

uint32_t waveBits(const std::vector<ASIOSampleType>& types) {
    uint32_t bits = 16;
    for (ASIOSampleType type : types) {
        const uint32_t b = host::significantBits(type);
        bits = std::max(bits, b <= 16 ? 16u : b <= 24 ? 24u : 32u);
    }
    return bits;
}

// Peak level of each recorded input, so a run shows at a glance which
// inputs carried a signal.
void printLevels(const host::StreamReport& r) {
    const size_t channels = r.recordedChannels.size();
    for (size_t c = 0; c < channels; ++c) {
        int64_t peak = 0;
        for (size_t i = c; i < r.samples.size(); i += channels)
            peak = std::max<int64_t>(peak, std::llabs(static_cast<int64_t>(r.samples[i])));
        if (peak == 0)
            std::printf("  input %2d: silent\n", r.recordedChannels[c]);
        else
            std::printf("  input %2d: peak %.1f dBFS\n", r.recordedChannels[c],
                        20.0 * std::log10(static_cast<double>(peak) / 2147483648.0));
    }
}

// Sets the named configuration-changed event, as the settings dialog does
// after it saved: a running driver then asks its host to reset.
int notifySettingsChanged(const std::string& driverId) {
    const std::string name = driverId + "ConfigurationChanged";
    os::Handle event = os::openEvent(name.c_str());
    if (event == nullptr) {
        std::fprintf(stderr, "asio_host: no running driver holds the event %s\n", name.c_str());
        return kNoDriver;
    }
    const bool set = os::setEvent(event);
    os::closeHandle(event);
    std::printf("Signalled %s\n", name.c_str());
    return set ? kSound : kNoDriver;
}

bool load(host::LoadedDriver& loaded, const host::Options& options) {
    const bool ok = options.registeredName.empty() ? loaded.loadFromLibrary(options.libraryPath, options.classId)
                                                    : loaded.loadByRegisteredName(options.registeredName);
    if (!ok) {
        std::fprintf(stderr, "asio_host: %s\n", loaded.error().c_str());
        return false;
    }
    std::printf("Loaded %s\n", loaded.origin().c_str());
    return true;
}

// init, then what the driver reports, printed; kSound when it can stream.
int prepare(IASIO* driver, const host::Options& options, host::DriverDescription* description) {
    if (driver->init(nullptr) == ASIOFalse) {
        char message[kAsioErrorMessageSize + 1] = {};
        driver->getErrorMessage(message);
        message[kAsioErrorMessageSize] = '\0';
        std::fprintf(stderr, "asio_host: the driver did not initialise: %s\n",
                     message[0] ? message : "(no reason given)");
        return kNoDriver;
    }
    *description = host::DriverDescription();
    const bool canStream = host::describeDriver(driver, description);
    std::printf("Driver: %s, version %d\n", description->name.c_str(), description->version);
    std::printf("Sample rate: %.1f Hz\n", description->rate);
    std::printf("Buffer size: min %d, max %d, preferred %d, granularity %d samples\n", description->minSize,
                description->maxSize, description->preferredSize, description->granularity);
    std::printf("Latencies: input %d, output %d samples\n", description->inputLatency, description->outputLatency);
    printChannels(*description);
    for (const std::string& problem : description->problems) std::printf("Problem: %s\n", problem.c_str());
    if (options.listOnly) return description->problems.empty() ? kSound : kUnsound;
    if (!canStream) {
        std::fprintf(stderr, "asio_host: the driver's answers leave nothing to stream\n");
        return kUnsound;
    }
    if (options.rate > 0) {
        const ASIOError result = driver->setSampleRate(options.rate);
        if (result != ASE_OK) {
            std::fprintf(stderr, "asio_host: the driver refused %.1f Hz (%d)\n", options.rate, result);
            return kUnsound;
        }
        ASIOSampleRate rate = 0;
        if (driver->getSampleRate(&rate) != ASE_OK || !(std::fabs(rate - options.rate) < 0.5)) {
            std::fprintf(stderr, "asio_host: the driver accepted %.1f Hz but runs at %.1f Hz\n", options.rate, rate);
            return kUnsound;
        }
        description->rate = rate;
    }
    return kSound;
}

int writeWave(const host::StreamReport& report, const host::DriverDescription& description, const std::string& path) {
    const uint32_t channels = static_cast<uint32_t>(report.recordedChannels.size());
    const uint32_t bits = waveBits(report.recordedTypes);
    if (channels == 0) {
        std::printf("Problem: no input to record\n");
        return kUnsound;
    }
    if (!host::writeWaveFile(path, report.samples, channels, static_cast<uint32_t>(std::lround(description.rate)),
                             bits)) {
        std::fprintf(stderr, "asio_host: cannot write %s\n", path.c_str());
        return kOutputFailed;
    }
    std::printf("Wrote %s: inputs", path.c_str());
    for (int32_t channel : report.recordedChannels) std::printf(" %d", channel);
    std::printf(", %llu frames, %u-bit, %.0f Hz\n", static_cast<unsigned long long>(report.recordedFrames), bits,
                description.rate);
    printLevels(report);
    return kSound;
}

// Releases the driver object; false when its library still says it is in
// use after the last object went.
bool releaseDriver(host::LoadedDriver& loaded) {
    const int unload = loaded.release();
    if (unload == 0 || unload == -1) return true;
    std::printf("Problem: DllCanUnloadNow still answers %d after the last release\n", unload);
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // The build's brand names the default class and event.
    AsioBrandIf* brand = createBuildBrand();
    host::Options options;
    std::string error;
    if (!host::parseOptions(argc, argv, *brand, &options, &error)) {
        std::fprintf(stderr, "asio_host: %s\nTry 'asio_host --help'.\n", error.c_str());
        delete brand;
        return kUsage;
    }
    if (options.help) {
        std::fputs(host::usageText(), stdout);
        delete brand;
        return kSound;
    }
    if (options.notify) {
        const int status = notifySettingsChanged(options.driverId);
        delete brand;
        return status;
    }
    delete brand;

    host::LoadedDriver loaded;
    if (!load(loaded, options)) return kNoDriver;
    IASIO* driver = loaded.driver();
    if (options.controlPanel) {
        const ASIOError result = driver->controlPanel();
        // A refusal leaves the error text as it was (empty on a new driver).
        char message[kAsioErrorMessageSize + 1] = {};
        driver->getErrorMessage(message);
        message[kAsioErrorMessageSize] = '\0';
        std::printf("controlPanel: %s (%d); error text \"%s\"\n", result == ASE_OK ? "started" : "not available",
                    result, message);
        return result == ASE_OK ? kSound : kNoDriver;
    }
    host::DriverDescription description;
    int status = prepare(driver, options, &description);
    if (status != kSound || options.listOnly) return status;

    // Hosts answer a reset request by creating the driver anew, which then
    // reports what its new settings say; so does this one.
    double remaining = options.stream.seconds;
    uint32_t resets = 0;
    host::StreamReport report;
    for (;;) {
        host::StreamOptions stream = options.stream;
        stream.seconds = remaining;
        stream.stopOnReset = !options.ignoreResets;
        stream.recordInputs = !options.wavPath.empty();
        std::printf("Streaming %.1f s with %d-sample buffers at %.1f Hz\n", stream.seconds,
                    stream.bufferSize ? stream.bufferSize : description.preferredSize, description.rate);
        report = host::runStream(loaded.driver(), description, stream);
        if (!report.streamed) {
            std::fprintf(stderr, "asio_host: %s\n", report.failure.c_str());
            return kUnsound;
        }
        printReport(report);
        resets += report.resetRequests;
        if (!host::streamWasSound(report)) status = kUnsound;
        if (!report.endedByReset) break;
        remaining = options.secondsAfterReset > 0 ? options.secondsAfterReset
                                                  : std::max(0.1, remaining - report.secondsStreamed);
        std::printf("Reset requested: creating the driver anew\n");
        if (!releaseDriver(loaded)) status = kUnsound;
        if (!load(loaded, options)) return kNoDriver;
        const int prepared = prepare(loaded.driver(), options, &description);
        if (prepared != kSound) return prepared;
    }
    if (options.expectedResets >= 0 && resets != static_cast<uint32_t>(options.expectedResets)) {
        std::printf("Problem: %u reset requests, %d expected\n", resets, options.expectedResets);
        status = kUnsound;
    }
    if (!options.wavPath.empty()) {
        const int written = writeWave(report, description, options.wavPath);
        if (written == kOutputFailed) return kOutputFailed;
        if (written != kSound) status = written;
    }
    if (!releaseDriver(loaded)) status = kUnsound;
    std::printf("Result: %s\n", status == kSound ? "sound" : "NOT sound");
    return status;
}
