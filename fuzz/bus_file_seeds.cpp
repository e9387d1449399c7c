// Writes a small seed corpus of bus files for bus_file_fuzzer: one file per
// example, covering every model, layouts, quoted serials, aliases and faults.
#include <cstdio>
#include <string>

namespace {

const char* const kSeeds[] = {
    "QELM serial=QELM-A001 port=1 layout=4+4\nQELM serial=QELM-B002 port=2 layout=8+2\n",
    "# comment\nQELM serial=\"EF56-GH78  \" port=2 crc-writes=2 drift=-40\n",
    "\"TAVIO RAW\" serial=TR0000017 render=removed\nFENRO serial=F1234567 capture=removed\n",
    "DALTO serial=D0000001\nTAVIO serial=T0000002 port=3\n\"TAVIO RAW PROTO 2009\" serial=P0000003\n",
    "QELM serial=SHORT\nQELM port=99 serial=QELM-OUT-OF-RANGE\nbogus line\n",
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    int index = 0;
    for (const char* seed : kSeeds) {
        const std::string path = std::string(argv[1]) + "/seed-" + std::to_string(index++);
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr) return 1;
        std::fputs(seed, file);
        std::fclose(file);
    }
    return 0;
}
