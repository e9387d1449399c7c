// What the composite device has learnt of each controller's crystal: how
// fast its frames passed against their nominal rate, by the stream's clock,
// when its units last left the stream. A controller pulled and plugged back
// in (mid-set, the usual case) is then converted from its first packet at
// the ratio it had, instead of drifting unconverted until its drift shows
// and being pulled into place from there (docs/drift.md, "A controller plugged back").
//
// Kept by serial number, for the driver's life: a crystal warms and ages by
// a few ppm, far less than the loop pulls in without a listener noticing.
// Used on the streaming thread only; fixed room, no allocation.
#pragma once

#include <cstddef>
#include <cstring>

class CrystalMemory {
public:
    static constexpr size_t kControllers = 16;
    static constexpr size_t kSerialBytes = 48;

    // Remembers a controller's speed (1 + its crystal's error); a controller
    // without a serial number, or a speed that is no measurement, is not
    // remembered. When full, the entry remembered longest ago goes.
    void remember(const char* serial, double speed) {
        if (!usable(serial) || !(speed > 0.5 && speed < 2.0)) return;
        const size_t found = find(serial);
        Entry* entry = found < kControllers ? &entries_[found] : nullptr;
        if (entry == nullptr) {
            entry = &entries_[0];
            for (Entry& e : entries_) {
                if (e.stamp == 0) {
                    entry = &e;
                    break;
                }
                if (e.stamp < entry->stamp) entry = &e;
            }
            std::strncpy(entry->serial, serial, kSerialBytes - 1);
            entry->serial[kSerialBytes - 1] = '\0';
        }
        entry->speed = speed;
        entry->stamp = ++clock_;
    }
    // Its speed when it was last remembered; 0 when it never was.
    double recall(const char* serial) const {
        if (!usable(serial)) return 0.0;
        const size_t found = find(serial);
        return found < kControllers ? entries_[found].speed : 0.0;
    }

private:
    struct Entry {
        char serial[kSerialBytes] = {};
        double speed = 0.0;
        unsigned long long stamp = 0;  // 0: free
    };
    // Serial numbers too long to keep whole are not told apart safely.
    static bool usable(const char* serial) {
        return serial != nullptr && serial[0] != '\0' && std::strlen(serial) < kSerialBytes;
    }
    // Its index, kControllers when it is not remembered.
    size_t find(const char* serial) const {
        for (size_t i = 0; i < kControllers; ++i)
            if (entries_[i].stamp != 0 && std::strcmp(entries_[i].serial, serial) == 0) return i;
        return kControllers;
    }

    Entry entries_[kControllers];
    unsigned long long clock_ = 0;
};
