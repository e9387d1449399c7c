#include "brands/asio_device_configuration.h"

#include <cstring>

AsioDeviceConfigurationAbs::AsioDeviceConfigurationAbs() {
    std::memset(inputRouting_, kAsioRoutingDisabled, sizeof(inputRouting_));
    std::memset(outputRouting_, kAsioRoutingDisabled, sizeof(outputRouting_));
    std::memset(savedInputRouting_, kAsioRoutingDisabled, sizeof(savedInputRouting_));
    std::memset(savedOutputRouting_, kAsioRoutingDisabled, sizeof(savedOutputRouting_));
}

uint8_t AsioDeviceConfigurationAbs::largestOverFormats(uint8_t AsioDeviceFormat::*count) const {
    uint8_t most = 0;
    AsioDeviceFormat format;
    for (size_t i = 0; i < getNumberOfFormats(); ++i)
        if (getFormat(i, &format) && format.*count > most) most = format.*count;
    return most;
}

uint8_t AsioDeviceConfigurationAbs::getNumberOfInputs() const { return largestOverFormats(&AsioDeviceFormat::inputs); }

uint8_t AsioDeviceConfigurationAbs::getNumberOfOutputs() const {
    return largestOverFormats(&AsioDeviceFormat::outputs);
}

uint8_t AsioDeviceConfigurationAbs::getInputAsioChannel(size_t channel) const {
    return channel < kAsioRoutingChannels ? inputRouting_[channel] : kAsioRoutingDisabled;
}

void AsioDeviceConfigurationAbs::setInputAsioChannel(size_t channel, uint8_t value) {
    if (channel < kAsioRoutingChannels) inputRouting_[channel] = value;
}

uint8_t AsioDeviceConfigurationAbs::getOutputAsioChannel(size_t channel) const {
    return channel < kAsioRoutingChannels ? outputRouting_[channel] : kAsioRoutingDisabled;
}

void AsioDeviceConfigurationAbs::setOutputAsioChannel(size_t channel, uint8_t value) {
    if (channel < kAsioRoutingChannels) outputRouting_[channel] = value;
}

void AsioDeviceConfigurationAbs::makeRestorePoint() {
    std::memcpy(savedInputRouting_, inputRouting_, sizeof(inputRouting_));
    std::memcpy(savedOutputRouting_, outputRouting_, sizeof(outputRouting_));
}

void AsioDeviceConfigurationAbs::rollbackChanges() {
    std::memcpy(inputRouting_, savedInputRouting_, sizeof(inputRouting_));
    std::memcpy(outputRouting_, savedOutputRouting_, sizeof(outputRouting_));
}
