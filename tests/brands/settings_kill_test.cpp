// A dialog process killed while it saves: the settings it leaves load, with
// every unit and every value either the old or the new one.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "settings_test_support.h"

using namespace settings_test;

namespace {

std::string helperPath() {
    char self[4096];
    if (!os::currentExecutablePath(self, sizeof self)) return {};
    std::string path(self);
    path.erase(path.find_last_of("/\\") + 1);
#if defined(_WIN32)
    return path + "settings_save_helper.exe";
#else
    return path + "settings_save_helper";
#endif
}

}  // namespace

TEST(SettingsKillTest, KilledWhileSavingLeavesEveryUnitWithOldOrNewValues) {
    isolateUserStore();
    TestVexaBrand brand;
    {
        StoreWriter write(userSettingsStore());
        write.qelmUnit("Device 0", "QX-A", 1);
        write.qelmUnit("Device 1", "QX-B", 1);
        write.qelmUnit("Device 2", "QX-C", 1);
        write.dword("", "Buffer Size", 1);
    }
#if defined(_WIN32)
    const int rounds = 4;
#else
    const int rounds = 12;
#endif
    // How often the helper had saved something: a figure, not a check, as
    // it depends on the machine's speed.
    int roundsWithNewValues = 0;
    for (int round = 0; round < rounds; ++round) {
        os::Handle helper = os::startProcess(helperPath().c_str(), brand.getBrandName());
        ASSERT_NE(helper, nullptr) << helperPath();
        // Kill points spread over several saves; where exactly does not matter.
        os::sleepMs(40 + 37 * static_cast<uint32_t>(round));
        ASSERT_TRUE(os::terminateProcess(helper, 9));
        os::waitForOne(helper, 60000);
        os::closeHandle(helper);

        auto registry = loadedQelmRegistry(userSettingsStore());
        const auto units = snapshotOf(*registry);
        ASSERT_EQ(units.size(), 3u) << "round " << round;
        const char* serials[] = {"QX-A", "QX-B", "QX-C"};
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(units[i].serial, serials[i]);
            for (const auto& values : units[i].outputs)
                for (uint8_t value : values) EXPECT_TRUE(value == 1 || value == 2) << int(value);
            for (const auto& values : units[i].inputs)
                for (uint8_t value : values) EXPECT_TRUE(value == 1 || value == 2) << int(value);
        }
        const size_t step = Preferences().getBufferSizeStep();
        EXPECT_TRUE(step == 1 || step == 2) << step;
        if (units[0].outputs[0][0] == 2 || step == 2) ++roundsWithNewValues;
    }
    RecordProperty("rounds_with_new_values", roundsWithNewValues);
    std::printf("killed %d times, %d times after a save had changed values\n", rounds, roundsWithNewValues);
    deleteBrandKey(userSettingsStore());
}
