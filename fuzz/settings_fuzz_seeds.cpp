// Writes the seed corpus of settings_store_fuzzer into the folder given:
// complete settings as a save writes them, and the kinds of damage the
// loader has to survive, one file each.
#include <cstdio>
#include <string>

#include "fuzz/seed_files.h"

namespace {

using fuzzseeds::writeSeed;

// A QELM unit key as a save writes it, every channel routed to `routing`.
std::string qelmUnit(const std::string& key, const std::string& serial, int routing) {
    std::string text = "k " + key + "\ns SerialNumber=" + serial + "\nd Type=5\n";
    const int outputs[] = {4, 8}, inputs[] = {4, 2};
    for (int c = 0; c < 2; ++c) {
        text += "k " + key + "\\Configuration" + std::to_string(c) + "\n";
        for (int k = 0; k < outputs[c]; ++k) text += "d Channel" + std::to_string(k) + "=" + std::to_string(routing) + "\n";
        for (int k = 0; k < inputs[c]; ++k) text += "d ChannelIn" + std::to_string(k) + "=" + std::to_string(routing) + "\n";
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    std::string folder;
    if (!fuzzseeds::corpusFolder(argc, argv, &folder)) return 2;
    const std::string root = "k\nd Buffer Size=10\n";
    const bool ok =
        writeSeed(folder, "two-units", root + qelmUnit("Device 0", "QX-1001", 1) + qelmUnit("Device 1", "QX-1002", 2)) &&
        writeSeed(folder, "odd-names", qelmUnit("Device 99999999999999999999", "QX-HUGE", 3) +
                                           qelmUnit("device 7", "QX-LOWER", 4) + qelmUnit("Device01", "QX-ODD", 5) +
                                           qelmUnit("Device x", "QX-X", 6) + qelmUnit("Devices", "QX-S", 7)) &&
        writeSeed(folder, "duplicates", qelmUnit("Device 3", "QX-DUP", 1) + qelmUnit("Device 1", "qx-dup", 2)) &&
        writeSeed(folder, "bad-values",
                  qelmUnit("Device 0", "QX-BAD", 99) + "k Device 0\nx 4 Type=0500000000\n" +
                      "k Device 0\\Configuration0\ns Channel1=3\nr ChannelIn1\nd Channel2=4294967295\n" +
                      "k\ns Buffer Size=4\n") &&
        writeSeed(folder, "long-serial", qelmUnit("Device 0", "QX-0123456789ABCDEF", 0) +
                                             "k Device 1\nx 1 SerialNumber=51582d3132333435363738393031323334\n") &&
        writeSeed(folder, "other-models", qelmUnit("Device 0", "DA-0001", 0) + "k Device 0\nd Type=2\n" +
                                              qelmUnit("Device 1", "TV-0001", 0) + "k Device 1\nd Type=6\n");
    return ok ? 0 : 1;
}
