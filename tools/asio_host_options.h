// The console host's command line.
#pragma once

#include <string>

#include "brands/brand_asio.h"
#include "tools/asio_host_session.h"

namespace host {

struct Options {
    bool help = false;
    std::string libraryPath;
    GUID classId = {};
    std::string registeredName;
    bool listOnly = false;
    bool controlPanel = false;
    bool notify = false;
    std::string driverId;
    double rate = 0;
    std::string wavPath;
    int expectedResets = -1;
    // On a reset request: re-create the driver and stream on (as hosts do),
    // unless resets are only to be counted.
    bool ignoreResets = false;
    // After a re-creation, stream this long; 0: what is left of --seconds.
    double secondsAfterReset = 0;
    StreamOptions stream;
};

// False with the reason in *error for anything it cannot use.
bool parseOptions(int argc, char** argv, const AsioBrandIf& brand, Options* options, std::string* error);
const char* usageText();

// "0,1,4-7" or "all" (-1 in the list stands for every channel); false for
// anything else or a channel outside 0..1023.
bool parseChannelList(const std::string& text, std::vector<int32_t>* channels);

}  // namespace host
