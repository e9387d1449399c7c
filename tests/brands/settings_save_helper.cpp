// Saves the settings of the test brand named on the command line over and
// over, every routing value and the buffer-size step flipping between 1
// and 2 with each save, until it is killed. The kill test of the settings
// store loads what it leaves behind.
#include <string>

#include "settings_test_support.h"

using namespace settings_test;

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    TestVexaBrand brand{std::string(argv[1])};
    for (;;) {
        auto registry = loadedQelmRegistry(userSettingsStore());
        AsioDeviceInfo* first = registry->getAsioDevice(0);
        const uint8_t value = (first != nullptr && first->getConfiguration(0)->getOutputAsioChannel(0) == 1) ? 2 : 1;
        for (size_t i = 0; i < registry->getNumberOfDevices(); ++i) {
            AsioDeviceInfo* record = registry->getAsioDevice(i);
            for (size_t c = 0; c < record->getNumberOfConfigurations(); ++c) {
                AsioDeviceConfigurationIf* configuration = record->getConfiguration(c);
                for (size_t k = 0; k < configuration->getNumberOfOutputs(); ++k)
                    configuration->setOutputAsioChannel(k, value);
                for (size_t k = 0; k < configuration->getNumberOfInputs(); ++k)
                    configuration->setInputAsioChannel(k, value);
            }
        }
        if (!registry->saveSettings()) return 3;
        Preferences preferences;
        preferences.setBufferSizeStep(value);
        if (!preferences.save()) return 4;
    }
}
