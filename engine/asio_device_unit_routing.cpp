#include "engine/asio_device_unit_routing.h"

size_t AsioDeviceUnitRouting::getNumberOfFormats() {
    AsioDeviceConfigurationIf* configuration = active();
    return configuration != nullptr ? configuration->getNumberOfFormats() : 0;
}

bool AsioDeviceUnitRouting::getFormat(size_t index, UnitWaveFormat* format) {
    AsioDeviceConfigurationIf* configuration = active();
    AsioDeviceFormat record;
    if (configuration == nullptr || format == nullptr || !configuration->getFormat(index, &record)) return false;
    format->inputs = record.inputs;
    format->outputs = record.outputs;
    format->sampleRate = record.sampleRate;
    format->bitsPerSample = record.bitsPerSample;
    return true;
}

uint8_t AsioDeviceUnitRouting::getInputAsioChannel(size_t channel) {
    AsioDeviceConfigurationIf* configuration = active();
    return configuration != nullptr && channel < kAsioRoutingChannels ? configuration->getInputAsioChannel(channel)
                                                                     : kUnitChannelUnrouted;
}

uint8_t AsioDeviceUnitRouting::getOutputAsioChannel(size_t channel) {
    AsioDeviceConfigurationIf* configuration = active();
    return configuration != nullptr && channel < kAsioRoutingChannels ? configuration->getOutputAsioChannel(channel)
                                                                     : kUnitChannelUnrouted;
}
