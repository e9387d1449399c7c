// The bus description file: one attached controller per line.
//
//   # comment
//   QELM serial=AB12-CD34 port=1 layout=8+2
//   QELM serial="EF56-GH78  " port=2 crc-writes=2 drift=-40
//   "TAVIO RAW" serial=TR0000017 render=removed
//
// The grammar, every key and every fault are described in docs/simulator.md.
// The parser accepts anything: a line it cannot use is reported as a problem
// and skipped, never half-applied.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/controller_config.h"

namespace sim {

struct BusFileEntry {
    ControllerConfig config;
    uint32_t line = 0;
};

struct BusFileProblem {
    uint32_t line = 0;
    std::string text;    // the line, cut to 200 characters
    std::string reason;
};

struct BusFileContents {
    std::vector<BusFileEntry> controllers;
    std::vector<BusFileProblem> problems;
};

constexpr size_t kMaxBusFileBytes = 64 * 1024;
constexpr size_t kMaxBusFileLine = 1024;
constexpr size_t kMaxBusFileControllers = 32;

// Parses a whole file. Lines without a port get the lowest port no other
// line names; two lines for the same model and serial, or naming the same
// port, keep the first.
BusFileContents parseBusFile(const std::string& text);

// Reads at most kMaxBusFileBytes of the file; false when it cannot be opened.
bool readBusFile(const std::string& path, std::string* text);

}  // namespace sim
