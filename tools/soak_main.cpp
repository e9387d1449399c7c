// asio_soak: streams the driver for a given time while a seeded random
// schedule plugs, pulls, moves and re-lays out simulated controllers and
// arms their faults through the bus file, then reports what the host and
// the driver saw and whether the run was sound. See docs/soak.md.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "brands/brand_build.h"
#include "platform/os.h"
#include "tools/asio_host_session.h"
#include "tools/soak_driver.h"
#include "tools/soak_schedule.h"
#include "tools/soak_verdict.h"

#if defined(__SANITIZE_ADDRESS__)
#define KSASIO_SOAK_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KSASIO_SOAK_ADDRESS_SANITIZER 1
#endif
#endif

namespace {

enum ExitStatus { kSound = 0, kUsage = 1, kNoDriver = 2, kUnsound = 3 };

struct Options {
    double seconds = 60;
    uint32_t seed = 1;
    int32_t bufferSize = 0;
    uint32_t stayers = 2;
    uint32_t maxUnits = 4;
    uint32_t eventMs = 400;
    uint32_t pollMs = 500;
    uint32_t progressSeconds = 60;
    std::string folder;
    bool verbose = false;
};

const char kUsageText[] =
    "Usage: asio_soak [options]\n"
    "  --seconds S        how long to stream (default 60)\n"
    "  --seed N           the schedule's seed (default 1): the same seed, the same events\n"
    "  --buffer-size N    buffer size in samples (default: the driver's preferred)\n"
    "  --stayers N        controllers plugged for the whole run, never touched (default 2)\n"
    "  --max-units N      controllers plugged at most at once (default 4)\n"
    "  --event-ms N       mean time between two events (default 400)\n"
    "  --poll-ms N        how often the driver looks at the bus (default 500)\n"
    "  --progress S       a progress line every S seconds, 0 for none (default 60)\n"
    "  --folder DIR       where the bus file goes (default: a new folder in the temporary one)\n"
    "  --verbose          print every event\n";

bool parseNumber(const char* text, double low, double high, double* value) {
    char* end = nullptr;
    const double parsed = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(parsed >= low && parsed <= high)) return false;
    *value = parsed;
    return true;
}

// False with a message for anything it cannot use; *help for --help.
bool parseOptions(int argc, char** argv, Options* o, bool* help) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--help") {
            *help = true;
            return true;
        }
        if (name == "--verbose") {
            o->verbose = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "asio_soak: %s needs a value\n", name.c_str());
            return false;
        }
        const char* text = argv[++i];
        double v = 0;
        bool ok = true;
        if (name == "--folder") {
            o->folder = text;
        } else if (name == "--seconds") {
            ok = parseNumber(text, 0.5, 7 * 24 * 3600.0, &o->seconds);
        } else if (name == "--seed") {
            ok = parseNumber(text, 0, 4294967295.0, &v) && (o->seed = static_cast<uint32_t>(v), true);
        } else if (name == "--buffer-size") {
            ok = parseNumber(text, 1, 1 << 20, &v) && (o->bufferSize = static_cast<int32_t>(v), true);
        } else if (name == "--stayers") {
            ok = parseNumber(text, 0, 8, &v) && (o->stayers = static_cast<uint32_t>(v), true);
        } else if (name == "--max-units") {
            ok = parseNumber(text, 1, 16, &v) && (o->maxUnits = static_cast<uint32_t>(v), true);
        } else if (name == "--event-ms") {
            ok = parseNumber(text, 1, 3600000, &v) && (o->eventMs = static_cast<uint32_t>(v), true);
        } else if (name == "--poll-ms") {
            ok = parseNumber(text, 10, 5000, &v) && (o->pollMs = static_cast<uint32_t>(v), true);
        } else if (name == "--progress") {
            ok = parseNumber(text, 0, 86400, &v) && (o->progressSeconds = static_cast<uint32_t>(v), true);
        } else {
            std::fprintf(stderr, "asio_soak: unknown option %s\n", name.c_str());
            return false;
        }
        if (!ok) {
            std::fprintf(stderr, "asio_soak: %s does not take %s\n", name.c_str(), text);
            return false;
        }
    }
    return true;
}

// Writes the schedule's bus file in one step, so that the driver's pass
// never reads half of it. On Windows a file another thread is reading
// cannot be replaced: the replacement is tried again a moment later.
bool writeBusFile(const std::string& path, const soak::Schedule& schedule) {
    const std::string next = path + ".next";
    FILE* file = std::fopen(next.c_str(), "wb");
    if (file == nullptr) return false;
    const std::string text = schedule.busText();
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (std::fclose(file) != 0 || !written) return false;
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (os::replaceFile(next.c_str(), path.c_str())) return true;
        os::sleepMs(2);
    }
    return false;
}

double mebibytes(uint64_t bytes) { return static_cast<double>(bytes) / (1 << 20); }

// Waits up to five seconds for the process's threads and handles to come
// back to what they were (threads of the stream and the simulated clock
// end on their own, a moment after the last pin stopped).
void settleFigures(const soak::Figures& f, uint32_t* threads, uint32_t* handles) {
    for (int i = 0; i < 100; ++i) {
        *threads = os::processThreadCount();
        *handles = os::processHandleCount();
        if (*threads <= f.threadsStart && *handles <= f.handlesStart) return;
        os::sleepMs(50);
    }
}

// A driver, initialised and described; false (reported) when it cannot stream.
bool openDriver(soak::SoakDriver& soakDriver, const Options& options, host::DriverDescription* description) {
    if (!soakDriver.create(options.pollMs) || soakDriver.driver()->init(nullptr) == ASIOFalse) {
        char message[kAsioErrorMessageSize + 1] = {};
        if (soakDriver.driver() != nullptr) soakDriver.driver()->getErrorMessage(message);
        std::fprintf(stderr, "asio_soak: the driver did not initialise: %s\n", message[0] ? message : "(no reason)");
        return false;
    }
    *description = host::DriverDescription();
    if (!host::describeDriver(soakDriver.driver(), description)) {
        for (const std::string& problem : description->problems) std::fprintf(stderr, "asio_soak: %s\n", problem.c_str());
        return false;
    }
    return true;
}

// What the driver counted for one direction of a staying controller over
// the whole run. A unit that left the stream after a failure (a stall limit
// reached while the machine held everything up) is opened afresh and counts
// from zero again: a count that went down was such a new unit, and what the
// old one had counted is kept.
class GapTally {
public:
    void update(const UnitGaps& now) {
        if (now.gaps < last_.gaps || now.frames < last_.frames) {
            earlier_.gaps += last_.gaps;
            earlier_.frames += last_.frames;
            ++restarts_;
        }
        last_ = now;
    }
    UnitGaps total() const { return {earlier_.gaps + last_.gaps, earlier_.frames + last_.frames}; }
    uint32_t restarts() const { return restarts_; }

private:
    UnitGaps earlier_;
    UnitGaps last_;
    uint32_t restarts_ = 0;
};

void printFigures(const soak::Figures& f, const soak::ScheduleCounts& c, double seconds) {
    std::printf("Events: plugs %u, pulls %u, moves %u, layouts %u, faults %u (stalls %u), clears %u\n", c.plugs,
                c.pulls, c.moves, c.layouts, c.faults, c.stalls, c.clears);
    std::printf("Buffer switches: %llu (about %llu expected in %.1f s); longest time between two: %.1f ms, "
                "ending %.1f s after the first\n",
                static_cast<unsigned long long>(f.switches), static_cast<unsigned long long>(f.expectedSwitches),
                seconds, f.longestPeriodMs, f.longestPeriodEndSeconds);
    std::printf("Missed switches: %llu; sample position jumps: %llu; position errors: %llu; repeated halves: %llu; "
                "switches after stop: %llu\n",
                static_cast<unsigned long long>(f.missedSwitches), static_cast<unsigned long long>(f.positionJumps),
                static_cast<unsigned long long>(f.positionErrors), static_cast<unsigned long long>(f.repeatedHalves),
                static_cast<unsigned long long>(f.switchesAfterStop));
    std::printf("Overload messages to the host: %u\n", f.overloads);
    for (const soak::StayerLoss& s : f.stayers)
        std::printf("Gaps of %s: driver counted %llu (%llu frames); the hardware lost %llu (%llu frames); "
                    "left and rejoined %u times\n",
                    s.unit.c_str(), static_cast<unsigned long long>(s.driverGaps),
                    static_cast<unsigned long long>(s.driverFrames), static_cast<unsigned long long>(s.hardwareGaps),
                    static_cast<unsigned long long>(s.hardwareFrames), s.rejoins);
    std::printf("Resident memory: start %.1f MiB, middle %.1f MiB, end %.1f MiB%s\n", mebibytes(f.residentStart),
                mebibytes(f.residentMiddle), mebibytes(f.residentEnd),
                f.judgeMemory ? "" : " (not judged under the address sanitizer)");
    std::printf("Threads: start %u, end %u; open handles: start %u, end %u\n", f.threadsStart, f.threadsEnd,
                f.handlesStart, f.handlesEnd);
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Options options;
    bool help = false;
    if (!parseOptions(argc, argv, &options, &help)) return kUsage;
    if (help) {
        std::fputs(kUsageText, stdout);
        return kSound;
    }
    // The driver's names, settings key and event come from the build's brand.
    const std::unique_ptr<AsioBrandIf> brand(createBuildBrand());
    std::error_code error;
    const std::filesystem::path folder =
        options.folder.empty() ? std::filesystem::temp_directory_path(error) /
                                     ("ksasio-soak-" + std::to_string(os::currentProcessId()))
                               : std::filesystem::path(options.folder);
    std::filesystem::create_directories(folder, error);
    const std::string busPath = (folder / "bus.txt").string();
    soak::Schedule schedule(options.seed, options.stayers, options.maxUnits);
    if (!writeBusFile(busPath, schedule)) {
        std::fprintf(stderr, "asio_soak: cannot write %s\n", busPath.c_str());
        return kUsage;
    }
    soak::useBusFile(busPath);
    // Natively the driver's named events live in the folder XDG_RUNTIME_DIR
    // names: the soak's own, so that a settings dialog or another driver of
    // the user's neither resets the soak nor loses its signal to it.
    os::setEnvironmentVariable("XDG_RUNTIME_DIR", folder.string().c_str());
    std::printf("Soak: %.0f s, seed %u, %u controllers staying, at most %u at once, an event every %u ms or so\n",
                options.seconds, options.seed, options.stayers, options.maxUnits, options.eventMs);
    std::printf("Bus file: %s\n", busPath.c_str());

    soak::Figures figures;
#if defined(KSASIO_SOAK_ADDRESS_SANITIZER)
    figures.judgeMemory = false;
#endif
    host::DriverDescription description;
    {
        // A first short stream makes what lives as long as the process (the
        // simulated bus, its clock): the figures start after it.
        soak::SoakDriver warmUp;
        if (!openDriver(warmUp, options, &description)) return kNoDriver;
        host::StreamOptions stream;
        stream.seconds = 0.3;
        stream.bufferSize = options.bufferSize;
        host::runStream(warmUp.driver(), description, stream);
    }
    os::sleepMs(500);
    soak::limitRecordings();
    // What the staying controllers' hardware lost in the first stream is not the soak's.
    std::vector<soak::HardwareLoss> lostBefore;
    for (const soak::ScheduledUnit& unit : schedule.units())
        for (int input = 0; input < 2; ++input)
            if (unit.stays) lostBefore.push_back(soak::hardwareLoss(unit.serial, input != 0));
    std::vector<GapTally> tallies(lostBefore.size());
    auto tallyStayers = [&](soak::SoakDriver& driver) {
        size_t index = 0;
        for (const soak::ScheduledUnit& unit : schedule.units())
            for (int input = 0; input < 2 && unit.stays; ++input, ++index)
                tallies[index].update(driver.unitGaps(unit.serial, input != 0));
    };
    figures.residentStart = os::processResidentBytes();
    figures.threadsStart = os::processThreadCount();
    figures.handlesStart = os::processHandleCount();

    soak::SoakDriver soakDriver;
    if (!openDriver(soakDriver, options, &description)) return kNoDriver;
    const uint64_t started = os::nanoseconds();
    uint64_t nextEventNs = started + uint64_t(schedule.nextDelayMs(options.eventMs)) * 1000000;
    uint64_t nextProgressNs = started + uint64_t(options.progressSeconds) * 1000000000;
    const uint64_t middleNs = started + static_cast<uint64_t>(options.seconds * 5e8);
    bool busWritable = true;
    host::StreamOptions stream;
    stream.seconds = options.seconds;
    stream.bufferSize = options.bufferSize;
    stream.whileStreaming = [&]() {
        soak::limitRecordings();
        tallyStayers(soakDriver);
        const uint64_t now = os::nanoseconds();
        if (now >= nextEventNs) {
            const std::string event = schedule.step();
            busWritable = writeBusFile(busPath, schedule) && busWritable;
            if (options.verbose) std::printf("%9.3f s  %s\n", (now - started) / 1e9, event.c_str());
            nextEventNs = now + uint64_t(schedule.nextDelayMs(options.eventMs)) * 1000000;
        }
        if (figures.residentMiddle == 0 && now >= middleNs) figures.residentMiddle = os::processResidentBytes();
        if (options.progressSeconds != 0 && now >= nextProgressNs) {
            std::printf("%7.0f s  resident %.1f MiB, threads %u, handles %u\n", (now - started) / 1e9,
                        mebibytes(os::processResidentBytes()), os::processThreadCount(), os::processHandleCount());
            nextProgressNs += uint64_t(options.progressSeconds) * 1000000000;
        }
    };
    const host::StreamReport report = host::runStream(soakDriver.driver(), description, stream);

    figures.streamed = report.streamed;
    figures.switches = report.switches;
    figures.expectedSwitches = report.expectedSwitches;
    figures.longestPeriodMs = report.maxPeriodMs;
    figures.longestPeriodEndSeconds = report.maxPeriodEndSeconds;
    figures.missedSwitches = report.missedSwitches;
    figures.positionJumps = report.positionJumps;
    figures.positionErrors = report.positionErrors;
    figures.repeatedHalves = report.repeatedHalves;
    figures.switchesAfterStop = report.switchesAfterStop;
    figures.overloads = report.overloads;
    figures.streamProblems = report.problems;
    if (!report.streamed) figures.streamProblems.push_back(report.failure);
    if (!busWritable) figures.streamProblems.push_back("the bus file could not always be written");
    tallyStayers(soakDriver);
    size_t stayer = 0;
    for (const soak::ScheduledUnit& unit : schedule.units()) {
        if (!unit.stays) continue;
        for (int input = 0; input < 2; ++input, ++stayer) {
            soak::StayerLoss loss;
            loss.unit = unit.serial + (input ? " recording" : " playback");
            const UnitGaps counted = tallies[stayer].total();
            const soak::HardwareLoss lost = soak::hardwareLoss(unit.serial, input != 0);
            loss.driverGaps = counted.gaps;
            loss.driverFrames = counted.frames;
            loss.hardwareGaps = lost.gaps - lostBefore[stayer].gaps;
            loss.hardwareFrames = lost.frames - lostBefore[stayer].frames;
            loss.rejoins = tallies[stayer].restarts();
            figures.stayers.push_back(loss);
        }
    }
    soakDriver.release();
    settleFigures(figures, &figures.threadsEnd, &figures.handlesEnd);
    figures.residentEnd = os::processResidentBytes();
    if (figures.residentMiddle == 0) figures.residentMiddle = figures.residentEnd;

    printFigures(figures, schedule.counts(), report.secondsStreamed);
    const std::vector<std::string> reasons = soak::unsoundReasons(figures);
    for (const std::string& reason : reasons) std::printf("Problem: %s\n", reason.c_str());
    std::printf("Result: %s\n", reasons.empty() ? "sound" : "NOT sound");
    if (options.folder.empty()) std::filesystem::remove_all(folder, error);
    return reasons.empty() ? kSound : kUnsound;
}
