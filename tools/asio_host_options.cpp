#include "tools/asio_host_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "tools/asio_host_driver.h"

namespace host {
namespace {

constexpr int32_t kMaxChannelNumber = 1023;
constexpr double kMaxSeconds = 3600;

bool parseNumber(const std::string& text, double* value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const double parsed = std::strtod(text.c_str(), &end);
    if (errno != 0 || end == nullptr || *end != '\0' || !std::isfinite(parsed)) return false;
    *value = parsed;
    return true;
}

bool parseInteger(const std::string& text, long minimum, long maximum, long* value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == nullptr || *end != '\0' || parsed < minimum || parsed > maximum) return false;
    *value = parsed;
    return true;
}

}  // namespace

bool parseChannelList(const std::string& text, std::vector<int32_t>* channels) {
    channels->clear();
    if (text == "all") {
        for (int32_t c = 0; c <= kMaxChannelNumber; ++c) channels->push_back(c);
        return true;
    }
    if (text == "none") return true;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        const std::string item = text.substr(start, comma - start);
        const size_t dash = item.find('-');
        long first = 0, last = 0;
        if (dash == std::string::npos) {
            if (!parseInteger(item, 0, kMaxChannelNumber, &first)) return false;
            last = first;
        } else if (!parseInteger(item.substr(0, dash), 0, kMaxChannelNumber, &first) ||
                   !parseInteger(item.substr(dash + 1), 0, kMaxChannelNumber, &last) || last < first) {
            return false;
        }
        for (long c = first; c <= last; ++c) channels->push_back(static_cast<int32_t>(c));
        start = comma + 1;
    }
    return true;
}

const char* usageText() {
    return "Usage: asio_host [driver] [what to do] [stream options]\n"
           "\n"
           "Loads an ASIO driver as audio programs do, lists its channels, streams\n"
           "with a test tone, records the inputs and says whether the stream was sound.\n"
           "\n"
           "Driver (one of):\n"
           "  --driver PATH        the driver library (vexaasio.dll, vexaasio.so)\n"
           "  --clsid {GUID}       its class identifier (default: this build's driver)\n"
           "  --name NAME          Windows: the driver registered as NAME under\n"
           "                       HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO, created with\n"
           "                       CoCreateInstance as hosts do\n"
           "\n"
           "What to do (default: list, then stream):\n"
           "  --list               list the driver's answers and channels only\n"
           "  --control-panel      open the driver's settings dialog\n"
           "  --notify-settings-changed [DRIVER_ID]\n"
           "                       tell running drivers that settings changed, as the\n"
           "                       settings dialog does (default: this build's driver id)\n"
           "\n"
           "Stream options (channels are ASIO channel numbers from 0: \"0,1\", \"4-7\", \"all\"):\n"
           "  --seconds S          how long to stream (default 3)\n"
           "  --buffer-size N      samples per buffer (default: the driver's preferred size)\n"
           "  --rate HZ            set this sample rate first\n"
           "  --tone LIST          outputs that play the test tone (default 0,1; \"none\")\n"
           "  --frequency HZ       of the tone (default 440, at -12 dBFS)\n"
           "  --wav FILE           record the inputs into a WAV file\n"
           "  --inputs LIST        inputs to record (default: all)\n"
           "  --no-time-info       answer 'no' to time info and use plain buffer switches\n"
           "  --expect-resets N    the run is sound only with exactly N reset requests\n"
           "\n"
           "Reset requests (the driver asks for one when its settings change):\n"
           "  (default)            stop the stream, release the driver, create and\n"
           "                       initialise it anew, and stream on for the rest of\n"
           "                       --seconds with what it now reports, as hosts do\n"
           "  --seconds-after-reset S  after a re-creation, stream S seconds instead\n"
           "  --ignore-resets      only count reset requests and stream on\n"
           "\n"
           "Exit status: 0 sound, 1 bad command line, 2 driver not loaded or not\n"
           "initialised, 3 stream not sound, 4 WAV file not written.\n";
}

bool parseOptions(int argc, char** argv, const AsioBrandIf& brand, Options* o, std::string* error) {
    brand.getClassId(&o->classId);
    o->driverId = brand.getDriverId();
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) {
                *error = option + " needs a value";
                return false;
            }
            *out = argv[++i];
            return true;
        };
        std::string v;
        if (option == "--help" || option == "-h") {
            o->help = true;
        } else if (option == "--driver") {
            if (!value(&o->libraryPath)) return false;
        } else if (option == "--clsid") {
            if (!value(&v)) return false;
            if (!parseGuid(v, &o->classId)) {
                *error = "'" + v + "' is not a class identifier like {b5834147-757e-45ec-9a70-4b8611658929}";
                return false;
            }
        } else if (option == "--name") {
            if (!value(&o->registeredName)) return false;
        } else if (option == "--list") {
            o->listOnly = true;
        } else if (option == "--control-panel") {
            o->controlPanel = true;
        } else if (option == "--notify-settings-changed") {
            o->notify = true;
            if (i + 1 < argc && argv[i + 1][0] != '-') o->driverId = argv[++i];
        } else if (option == "--seconds") {
            if (!value(&v)) return false;
            if (!parseNumber(v, &o->stream.seconds) || o->stream.seconds <= 0 || o->stream.seconds > kMaxSeconds) {
                *error = "--seconds takes a time from 0 to 3600 s, not '" + v + "'";
                return false;
            }
        } else if (option == "--buffer-size") {
            long size = 0;
            if (!value(&v)) return false;
            if (!parseInteger(v, 1, 1 << 20, &size)) {
                *error = "--buffer-size takes a number of samples, not '" + v + "'";
                return false;
            }
            o->stream.bufferSize = static_cast<int32_t>(size);
        } else if (option == "--rate") {
            if (!value(&v)) return false;
            if (!parseNumber(v, &o->rate) || o->rate <= 0) {
                *error = "--rate takes a sample rate in Hz, not '" + v + "'";
                return false;
            }
        } else if (option == "--tone" || option == "--inputs") {
            if (!value(&v)) return false;
            std::vector<int32_t>* list = option == "--tone" ? &o->stream.toneOutputs : &o->stream.inputs;
            if (!parseChannelList(v, list)) {
                *error = option + " takes channel numbers like 0,1 or 4-7 or all, not '" + v + "'";
                return false;
            }
        } else if (option == "--frequency") {
            if (!value(&v)) return false;
            if (!parseNumber(v, &o->stream.frequency) || o->stream.frequency <= 0) {
                *error = "--frequency takes a frequency in Hz, not '" + v + "'";
                return false;
            }
        } else if (option == "--wav") {
            if (!value(&o->wavPath)) return false;
        } else if (option == "--no-time-info") {
            o->stream.timeInfo = false;
        } else if (option == "--ignore-resets") {
            o->ignoreResets = true;
        } else if (option == "--seconds-after-reset") {
            if (!value(&v)) return false;
            if (!parseNumber(v, &o->secondsAfterReset) || o->secondsAfterReset <= 0 ||
                o->secondsAfterReset > kMaxSeconds) {
                *error = "--seconds-after-reset takes a time from 0 to 3600 s, not '" + v + "'";
                return false;
            }
        } else if (option == "--expect-resets") {
            long count = 0;
            if (!value(&v)) return false;
            if (!parseInteger(v, 0, 1000000, &count)) {
                *error = "--expect-resets takes a count, not '" + v + "'";
                return false;
            }
            o->expectedResets = static_cast<int>(count);
        } else {
            *error = "unknown option '" + option + "'";
            return false;
        }
    }
    if (o->help || o->notify) return true;
    if (o->libraryPath.empty() == o->registeredName.empty()) {
        *error = "name the driver with --driver PATH or --name NAME (one of them)";
        return false;
    }
#if !defined(_WIN32)
    if (!o->registeredName.empty()) {
        *error = "--name finds drivers in the Windows registry; here use --driver PATH";
        return false;
    }
#endif
    return true;
}

}  // namespace host
