#include "sim/model_catalog.h"

#include <cctype>
#include <cstring>

namespace sim {
namespace {

const ModelInfo kModels[] = {
    {Model::Fenro, "FENRO", "FENRO", 0x08BB, 0x2702, 0, 3, true, 0x2F9A, 0x0100},
    {Model::Dalto, "DALTO", "DALTO", 0x2F9A, 0x0202, 0, 2, false, 0, 0},
    {Model::Tavio, "TAVIO", "TAVIO", 0x2F9A, 0x0300, 0, 2, false, 0, 0},
    {Model::TavioRawProto2009, "TAVIO RAW PROTO 2009", "TAVIO-RAW-PROTO-2009", 0x2F9A, 0x0310, 0, 2, false, 0, 0},
    {Model::Qelm, "QELM", "QELM", 0x04D8, 0x0C5E, 0, 5, false, 0, 0},
    {Model::TavioRaw, "TAVIO RAW", "TAVIO-RAW", 0x2F9A, 0x0310, 0, 2, false, 0, 0},
};

// Compares model names treating space, '-' and '_' alike and ignoring case.
bool sameName(const char* a, const char* b) {
    auto fold = [](char c) -> char {
        if (c == '-' || c == '_') return ' ';
        return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    };
    for (; *a != '\0' && *b != '\0'; ++a, ++b)
        if (fold(*a) != fold(*b)) return false;
    return *a == *b;
}

}  // namespace

const ModelInfo& modelInfo(Model model) {
    for (const ModelInfo& info : kModels)
        if (info.model == model) return info;
    return kModels[4];
}

bool findModel(const char* text, Model* model) {
    if (text == nullptr || model == nullptr) return false;
    if (text[0] >= '1' && text[0] <= '6' && text[1] == '\0') {
        *model = static_cast<Model>(text[0] - '0');
        return true;
    }
    for (const ModelInfo& info : kModels) {
        if (sameName(text, info.name)) {
            *model = info.model;
            return true;
        }
    }
    return false;
}

std::vector<FormatRange> renderFormats(Model model, QelmLayout layout) {
    switch (model) {
        case Model::Qelm:
            return {{layout == QelmLayout::EightTwo ? 8u : 4u, 16, 44100, 44100}};
        case Model::Dalto:
            return {{2, 24, 44100, 48000}, {2, 16, 44100, 48000}};
        case Model::Fenro:
            return {{2, 16, 48000, 48000}};
        case Model::Tavio:
        case Model::TavioRaw:
        case Model::TavioRawProto2009:
            return {{6, 24, 44100, 44100}, {6, 16, 44100, 48000}};
    }
    return {};
}

std::vector<FormatRange> captureFormats(Model model, QelmLayout layout) {
    if (model != Model::Qelm) return {};
    return {{layout == QelmLayout::EightTwo ? 2u : 4u, 16, 44100, 44100}};
}

bool Faults::operator==(const Faults& o) const {
    return failOpen == o.failOpen && failHidOpen == o.failHidOpen && failPinCreate == o.failPinCreate &&
           crcWrites == o.crcWrites && shortReads == o.shortReads && failStateChange == o.failStateChange &&
           unreadableSerial == o.unreadableSerial && driftPpm == o.driftPpm &&
           pendPropertyRequests == o.pendPropertyRequests &&
           sizeQueryInsufficientBuffer == o.sizeQueryInsufficientBuffer && wildcardRanges == o.wildcardRanges &&
           malformed == o.malformed && failPackets == o.failPackets && emptyReads == o.emptyReads &&
           stallPackets == o.stallPackets && lateCancel == o.lateCancel && inUse == o.inUse &&
           extensibleOnly == o.extensibleOnly && channelMask == o.channelMask && framingBytes == o.framingBytes &&
           aliasLessFirst == o.aliasLessFirst && pinCreateDelayMs == o.pinCreateDelayMs && wanderPpm == o.wanderPpm && rampPpmPerSecond == o.rampPpmPerSecond &&
           rampSeconds == o.rampSeconds && jitterUs == o.jitterUs && usbFrames == o.usbFrames;
}

std::u16string widen(const std::string& text) {
    std::u16string wide;
    wide.reserve(text.size());
    for (char c : text) wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    return wide;
}

std::string narrow(const std::u16string& text) {
    std::string result;
    result.reserve(text.size());
    for (char16_t c : text) result.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return result;
}

}  // namespace sim
