// Writes the seed corpus of ks_pin_reply_fuzzer into the folder given:
// well-formed filters and one file per kind of reply a device may get wrong.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/ks_fuzz_script.h"
#include "fuzz/seed_files.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Ranges(std::vector<KSDATARANGE_AUDIO> ranges) { return kstest::DataRangeReply(ranges); }

Bytes WithRecord(uint8_t flags, uint8_t pin, uint8_t property, uint8_t control, const Bytes& reply) {
    Bytes input{flags};
    ksfuzz::AppendRecord(input, pin, property, control, reply);
    return input;
}

}  // namespace

int main(int argc, char** argv) {
    std::string folder;
    if (!fuzzseeds::corpusFolder(argc, argv, &folder)) return 2;
    const KSDATARANGE_AUDIO stereo = kstest::AudioRange(2, 16, 24, 44100, 48000);
    const KSDATARANGE_AUDIO wildcard = kstest::AudioRange(4, 16, 16, 44100, 44100, GUID_NULL);
    const KSDATARANGE_AUDIO analog = kstest::AudioRange(2, 16, 16, 48000, 48000, KSDATAFORMAT_SUBTYPE_ANALOG);

    Bytes twoRanges = Ranges({stereo, wildcard});
    Bytes countTooLarge = twoRanges;
    countTooLarge[4] = 9;
    Bytes sizeZero = twoRanges;
    std::memset(sizeZero.data() + 8, 0, 4);
    Bytes pastEnd = twoRanges;
    pastEnd[8 + 88 + 1] = 0x10;  // second FormatSize grows by 4096
    Bytes hugeSize{0xF0, 0xFF, 0xFF, 0x7F};
    hugeSize.insert(hugeSize.end(), twoRanges.begin(), twoRanges.end());
    Bytes nodes = kstest::MultiItemReply(2, &KSNODETYPE_DAC, sizeof(GUID));
    nodes[4] = 1;

    struct Seed {
        const char* name;
        Bytes input;
    } seeds[] = {
        {"two-pins", {0x02}},
        {"seven-pins-rotated", {0x47}},
        {"pending-insufficient-buffer", {0x1A}},
        {"wildcard-analog", WithRecord(0x01, 0, KSPROPERTY_PIN_DATARANGES, 0, Ranges({analog, wildcard, stereo}))},
        {"count-too-large", WithRecord(0x01, 0, KSPROPERTY_PIN_DATARANGES, 0, countTooLarge)},
        {"range-size-zero", WithRecord(0x01, 0, KSPROPERTY_PIN_DATARANGES, 0, sizeZero)},
        {"range-past-end", WithRecord(0x01, 0, KSPROPERTY_PIN_DATARANGES, 0, pastEnd)},
        {"huge-size-query", WithRecord(0x01, 0, KSPROPERTY_PIN_DATARANGES, ksfuzz::kControlReportedSize, hugeSize)},
        {"name-fails", WithRecord(0x02, 1, KSPROPERTY_PIN_NAME, ksfuzz::kControlFail, {})},
        {"pin-count", WithRecord(0x03, 0, KSPROPERTY_PIN_CTYPES, 0, {0x05, 0, 0, 0})},
        {"nodes", WithRecord(0x01, ksfuzz::kFilterPin, KSPROPERTY_TOPOLOGY_NODES, 0, nodes)},
    };
    for (const Seed& seed : seeds) {
        if (!fuzzseeds::writeSeed(folder, seed.name, seed.input)) {
            std::fprintf(stderr, "cannot write %s/%s\n", folder.c_str(), seed.name);
            return 1;
        }
    }
    return 0;
}
