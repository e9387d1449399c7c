#include "sim/bus_file.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>

#include "sim/model_catalog.h"

namespace sim {
namespace {

// One whitespace-separated token; quoted parts may hold spaces and the
// escapes \" \\ and \uXXXX (one UTF-16 unit).
struct Token {
    std::u16string text;
};

bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    return (std::tolower(static_cast<unsigned char>(c)) - 'a') + 10;
}

// Splits a line into tokens; false with a reason on a syntax error.
bool tokenize(const std::string& line, std::vector<Token>* tokens, std::string* reason) {
    size_t i = 0;
    const size_t n = line.size();
    while (i < n) {
        const char c = line[i];
        if (c == ' ' || c == '\t') {
            ++i;
            continue;
        }
        if (c == '#') break;
        Token token;
        while (i < n && line[i] != ' ' && line[i] != '\t') {
            const char d = line[i];
            if (static_cast<unsigned char>(d) < 0x20 || d == 0x7F) {
                *reason = "control character";
                return false;
            }
            if (d != '"') {
                token.text.push_back(static_cast<char16_t>(static_cast<unsigned char>(d)));
                ++i;
                continue;
            }
            ++i;  // opening quote
            bool closed = false;
            while (i < n) {
                const char q = line[i];
                if (q == '"') {
                    closed = true;
                    ++i;
                    break;
                }
                if (static_cast<unsigned char>(q) < 0x20 && q != '\t') {
                    *reason = "control character";
                    return false;
                }
                if (q != '\\') {
                    token.text.push_back(static_cast<char16_t>(static_cast<unsigned char>(q)));
                    ++i;
                    continue;
                }
                if (i + 1 >= n) break;
                const char e = line[i + 1];
                if (e == '"' || e == '\\') {
                    token.text.push_back(static_cast<char16_t>(e));
                    i += 2;
                } else if (e == 'u' && i + 5 < n && isHex(line[i + 2]) && isHex(line[i + 3]) && isHex(line[i + 4]) &&
                           isHex(line[i + 5])) {
                    const int unit = (hexValue(line[i + 2]) << 12) | (hexValue(line[i + 3]) << 8) |
                                     (hexValue(line[i + 4]) << 4) | hexValue(line[i + 5]);
                    token.text.push_back(static_cast<char16_t>(unit));
                    i += 6;
                } else {
                    *reason = "unknown escape in quotes";
                    return false;
                }
            }
            if (!closed) {
                *reason = "unterminated quote";
                return false;
            }
        }
        tokens->push_back(std::move(token));
    }
    return true;
}

std::string lower(const std::u16string& text) {
    std::string result;
    for (char16_t c : text) {
        if (c >= 0x80) return std::string("\x01");  // never matches a keyword
        result.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    return result;
}

bool parseUnsigned(const std::string& text, uint32_t limit, uint32_t* value) {
    if (text.empty() || text.size() > 9) return false;
    uint32_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint32_t>(c - '0');
    }
    if (v > limit) return false;
    *value = v;
    return true;
}

// A decimal number with up to three decimals, at most `limit` in size,
// signed when allowed ("-1.5", "+0.25", "3").
bool parseDecimal(const std::string& text, double limit, bool allowSign, double* value) {
    std::string digits = text;
    bool negative = false;
    if (allowSign && !digits.empty() && (digits[0] == '-' || digits[0] == '+')) {
        negative = digits[0] == '-';
        digits = digits.substr(1);
    }
    const size_t point = digits.find('.');
    const std::string whole = digits.substr(0, point);
    const std::string fraction = point == std::string::npos ? std::string() : digits.substr(point + 1);
    if (fraction.size() > 3 || (point != std::string::npos && fraction.empty())) return false;
    uint32_t wholeValue = 0, fractionValue = 0;
    if (!parseUnsigned(whole, 1000000u, &wholeValue)) return false;
    if (!fraction.empty() && !parseUnsigned(fraction, 999u, &fractionValue)) return false;
    double v = wholeValue + fractionValue / std::pow(10.0, double(fraction.size()));
    if (v > limit) return false;
    *value = negative ? -v : v;
    return true;
}

bool parseCount(const std::string& text, uint32_t* value) {
    if (text == "always" || text == "*") {
        *value = Faults::kAlways;
        return true;
    }
    return parseUnsigned(text, 1000000000u, value);
}

bool parseFlag(const std::string& text, bool hasValue, bool* value) {
    if (!hasValue || text == "yes" || text == "on" || text == "true" || text == "1") {
        *value = true;
        return true;
    }
    if (text == "no" || text == "off" || text == "false" || text == "0") {
        *value = false;
        return true;
    }
    return false;
}

bool parseAlias(const std::string& text, AliasState* state) {
    if (text == "present") *state = AliasState::Present;
    else if (text == "removed") *state = AliasState::Removed;
    else if (text == "missing") *state = AliasState::Missing;
    else return false;
    return true;
}

bool parseMalformation(const std::string& text, Malformation* m) {
    if (text == "none") *m = Malformation::None;
    else if (text == "count") *m = Malformation::ItemCountTooLarge;
    else if (text == "range-size-zero") *m = Malformation::RangeSizeZero;
    else if (text == "range-size-small") *m = Malformation::RangeSizeTooSmall;
    else if (text == "range-past-end") *m = Malformation::RangePastEnd;
    else if (text == "huge-size") *m = Malformation::HugeSizeQuery;
    else return false;
    return true;
}

bool parseHex(const std::string& text, uint32_t* value) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && digits[1] == 'x') digits = digits.substr(2);
    if (digits.empty() || digits.size() > 8) return false;
    uint32_t v = 0;
    for (char c : digits) {
        if (!isHex(c)) return false;
        v = (v << 4) | static_cast<uint32_t>(hexValue(c));
    }
    *value = v;
    return true;
}

// One data range: CHANNELSxBITS[inCONTAINER]@RATE[-RATE], e.g. 2x24in32@44100-48000.
bool parseRange(const std::string& text, FormatRange* range) {
    const size_t x = text.find('x');
    const size_t at = text.find('@');
    if (x == std::string::npos || at == std::string::npos || at < x) return false;
    const std::string bitsPart = text.substr(x + 1, at - x - 1);
    const size_t in = bitsPart.find("in");
    const std::string ratePart = text.substr(at + 1);
    const size_t dash = ratePart.find('-');
    FormatRange r{0, 0, 0, 0, 0};
    if (!parseUnsigned(text.substr(0, x), 16, &r.channels) || r.channels == 0) return false;
    if (!parseUnsigned(bitsPart.substr(0, in), 32, &r.bits) || r.bits < 8) return false;
    if (in != std::string::npos && (!parseUnsigned(bitsPart.substr(in + 2), 32, &r.containerBits) ||
                                    r.containerBits < r.bits || r.containerBits % 8 != 0))
        return false;
    if (r.containerBits == 0 && r.bits % 8 != 0) return false;
    if (!parseUnsigned(ratePart.substr(0, dash), 768000, &r.minRate) || r.minRate == 0) return false;
    r.maxRate = r.minRate;
    if (dash != std::string::npos && (!parseUnsigned(ratePart.substr(dash + 1), 768000, &r.maxRate) ||
                                      r.maxRate < r.minRate))
        return false;
    *range = r;
    return true;
}

bool parseRanges(const std::string& text, std::vector<FormatRange>* ranges) {
    std::vector<FormatRange> parsed;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        FormatRange range{0, 0, 0, 0, 0};
        if (!parseRange(item, &range) || parsed.size() == 16) return false;
        parsed.push_back(range);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    *ranges = parsed;
    return true;
}

// Applies one key=value (or bare flag) to the configuration.
bool applyKey(const std::string& key, const std::u16string& rawValue, bool hasValue, ControllerConfig* config,
              bool* portGiven, std::string* reason) {
    const std::string value = lower(rawValue);
    Faults& f = config->faults;
    bool ok = true;
    if (key == "serial") {
        ok = hasValue && !rawValue.empty() && rawValue.size() <= kMaxSerialUnits;
        if (ok) config->serial = rawValue;
    } else if (key == "port") {
        ok = hasValue && parseUnsigned(value, kMaxPort, &config->port) && config->port != 0;
        *portGiven = ok;
    } else if (key == "layout") {
        if (value == "4+4") config->layout = QelmLayout::FourFour;
        else if (value == "8+2") config->layout = QelmLayout::EightTwo;
        else ok = false;
        if (ok && config->model != Model::Qelm) {
            *reason = "only QELM units have layouts";
            return false;
        }
    } else if (key == "render") {
        ok = hasValue && parseAlias(value, &config->renderAlias);
    } else if (key == "capture") {
        ok = hasValue && parseAlias(value, &config->captureAlias);
    } else if (key == "fail-open") {
        ok = hasValue && parseCount(value, &f.failOpen);
    } else if (key == "fail-hid-open") {
        ok = hasValue && parseCount(value, &f.failHidOpen);
    } else if (key == "fail-pin") {
        ok = hasValue && parseCount(value, &f.failPinCreate);
    } else if (key == "crc-writes") {
        ok = hasValue && parseCount(value, &f.crcWrites);
    } else if (key == "short-reads") {
        ok = hasValue && parseCount(value, &f.shortReads);
    } else if (key == "fail-state") {
        ok = hasValue && parseCount(value, &f.failStateChange);
    } else if (key == "unreadable-serial") {
        ok = parseFlag(value, hasValue, &f.unreadableSerial);
    } else if (key == "pend-properties") {
        ok = parseFlag(value, hasValue, &f.pendPropertyRequests);
    } else if (key == "wildcard-ranges") {
        ok = parseFlag(value, hasValue, &f.wildcardRanges);
    } else if (key == "size-error") {
        if (value == "more-data") f.sizeQueryInsufficientBuffer = false;
        else if (value == "insufficient-buffer") f.sizeQueryInsufficientBuffer = true;
        else ok = false;
    } else if (key == "fail-packets") {
        ok = hasValue && parseCount(value, &f.failPackets);
    } else if (key == "empty-reads") {
        ok = hasValue && parseCount(value, &f.emptyReads);
    } else if (key == "stall") {
        ok = hasValue && parseCount(value, &f.stallPackets);
    } else if (key == "late-cancel") {
        ok = parseFlag(value, hasValue, &f.lateCancel);
    } else if (key == "in-use") {
        ok = parseFlag(value, hasValue, &f.inUse);
    } else if (key == "extensible-only") {
        ok = parseFlag(value, hasValue, &f.extensibleOnly);
    } else if (key == "channel-mask") {
        ok = hasValue && (value == "any" ? (f.channelMask = Faults::kAnyChannelMask, true)
                                         : parseHex(value, &f.channelMask));
    } else if (key == "framing") {
        ok = hasValue && parseUnsigned(value, 1u << 24, &f.framingBytes);
    } else if (key == "pin-delay") {
        ok = hasValue && parseUnsigned(value, kMaxPinCreateDelayMs, &f.pinCreateDelayMs);
    } else if (key == "alias-less-first") {
        ok = parseFlag(value, hasValue, &f.aliasLessFirst);
    } else if (key == "disabled") {
        ok = parseFlag(value, hasValue, &config->disabled);
    } else if (key == "hid-collections") {
        ok = hasValue && parseUnsigned(value, 9, &config->hidCollections) && config->hidCollections != 0;
    } else if (key == "render-ranges") {
        ok = hasValue && parseRanges(value, &config->renderRanges);
    } else if (key == "capture-ranges") {
        ok = hasValue && parseRanges(value, &config->captureRanges);
    } else if (key == "malformed") {
        ok = hasValue && parseMalformation(value, &f.malformed);
    } else if (key == "loopback") {
        // Alone: no delay; a number: the delay in hardware frames; no: off.
        config->loopbackDelayFrames = 0;
        if (!hasValue || parseUnsigned(value, kMaxLoopbackDelayFrames, &config->loopbackDelayFrames))
            config->loopback = true;
        else
            ok = parseFlag(value, hasValue, &config->loopback);
    } else if (key == "wander") {
        ok = hasValue && parseDecimal(value, kMaxWanderPpm, false, &f.wanderPpm);
    } else if (key == "ramp") {
        ok = hasValue && parseDecimal(value, kMaxRampPpmPerSecond, true, &f.rampPpmPerSecond);
    } else if (key == "ramp-time") {
        ok = hasValue && parseUnsigned(value, 86400u, &f.rampSeconds);
    } else if (key == "jitter") {
        ok = hasValue && parseUnsigned(value, kMaxJitterUs, &f.jitterUs);
    } else if (key == "usb-frames") {
        ok = parseFlag(value, hasValue, &f.usbFrames);
    } else if (key == "drift") {
        uint32_t magnitude = 0;
        const bool negative = !value.empty() && value[0] == '-';
        const std::string digits = (!value.empty() && (value[0] == '-' || value[0] == '+')) ? value.substr(1) : value;
        ok = hasValue && parseUnsigned(digits, static_cast<uint32_t>(kMaxDriftPpm), &magnitude);
        if (ok) f.driftPpm = negative ? -static_cast<int32_t>(magnitude) : static_cast<int32_t>(magnitude);
    } else {
        *reason = "unknown key '" + key + "'";
        return false;
    }
    if (!ok) *reason = "bad value for '" + key + "'";
    return ok;
}

bool parseLine(const std::string& line, ControllerConfig* config, bool* portGiven, bool* empty,
               std::string* reason) {
    std::vector<Token> tokens;
    if (!tokenize(line, &tokens, reason)) return false;
    *empty = tokens.empty();
    if (tokens.empty()) return true;

    const std::string modelName = lower(tokens[0].text);
    if (!findModel(modelName.c_str(), &config->model)) {
        *reason = "unknown model";
        return false;
    }
    *portGiven = false;
    for (size_t t = 1; t < tokens.size(); ++t) {
        const std::u16string& text = tokens[t].text;
        const size_t eq = text.find(u'=');
        const std::u16string key = eq == std::u16string::npos ? text : text.substr(0, eq);
        const std::u16string value = eq == std::u16string::npos ? std::u16string() : text.substr(eq + 1);
        if (!applyKey(lower(key), value, eq != std::u16string::npos, config, portGiven, reason)) return false;
    }
    if (config->serial.empty()) {
        *reason = "no serial";
        return false;
    }
    return true;
}

std::string excerpt(const std::string& line) {
    std::string text = line.substr(0, 200);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
    return text;
}

}  // namespace

BusFileContents parseBusFile(const std::string& text) {
    BusFileContents contents;
    struct Parsed {
        BusFileEntry entry;
        bool portGiven;
    };
    std::vector<Parsed> parsed;
    std::set<uint32_t> ports;
    std::set<std::pair<uint32_t, std::u16string>> identities;

    const size_t limit = std::min(text.size(), kMaxBusFileBytes);
    size_t start = 0;
    uint32_t lineNumber = 0;
    while (start < limit) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos || end > limit) end = limit;
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();

        auto problem = [&](const std::string& reason) {
            contents.problems.push_back({lineNumber, excerpt(line), reason});
        };
        if (line.size() > kMaxBusFileLine) {
            problem("line too long");
            continue;
        }
        ControllerConfig config;
        bool portGiven = false;
        bool empty = false;
        std::string reason;
        if (!parseLine(line, &config, &portGiven, &empty, &reason)) {
            problem(reason);
            continue;
        }
        if (empty) continue;
        if (parsed.size() == kMaxBusFileControllers) {
            problem("too many controllers");
            continue;
        }
        if (!identities.insert({static_cast<uint32_t>(config.model), config.serial}).second) {
            problem("the same controller is listed twice");
            continue;
        }
        if (portGiven && !ports.insert(config.port).second) {
            identities.erase({static_cast<uint32_t>(config.model), config.serial});
            problem("port already taken");
            continue;
        }
        parsed.push_back({{config, lineNumber}, portGiven});
    }

    uint32_t nextPort = 1;
    for (Parsed& p : parsed) {
        if (!p.portGiven) {
            while (ports.count(nextPort) != 0) ++nextPort;
            if (nextPort > kMaxPort) {
                contents.problems.push_back({p.entry.line, "", "no free port"});
                continue;
            }
            p.entry.config.port = nextPort;
            ports.insert(nextPort);
        }
        contents.controllers.push_back(p.entry);
    }
    return contents;
}

bool readBusFile(const std::string& path, std::string* text) {
    text->clear();
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    char buffer[4096];
    while (text->size() < kMaxBusFileBytes) {
        const size_t n = std::fread(buffer, 1, sizeof(buffer), file);
        if (n == 0) break;
        text->append(buffer, n);
    }
    std::fclose(file);
    if (text->size() > kMaxBusFileBytes) text->resize(kMaxBusFileBytes);
    return true;
}

}  // namespace sim
