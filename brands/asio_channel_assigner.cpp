#include "brands/asio_channel_assigner.h"

namespace {

struct QelmRouting {
    uint8_t inputs;
    uint8_t outputs;
    uint8_t inputTable[kAsioRoutingChannels];
    uint8_t outputTable[kAsioRoutingChannels];
};

// By shape, from the computer's side: 2 capture and 8 render channels, or 4 and 4.
constexpr QelmRouting kQelmRoutings[] = {
    {2, 8, {0, 1}, {0, 1, 2, 3, 4, 5, 6, 7}},
    {4, 4, {0, 1, 2, 3}, {0, 1, 2, 3}},
};

const QelmRouting* qelmRoutingFor(const AsioChannelRoutingIf& configuration) {
    for (const QelmRouting& routing : kQelmRoutings) {
        if (configuration.getNumberOfInputs() == routing.inputs &&
            configuration.getNumberOfOutputs() == routing.outputs)
            return &routing;
    }
    return nullptr;
}

size_t channelCount(uint8_t count) { return count < kAsioRoutingChannels ? count : kAsioRoutingChannels; }

}  // namespace

void VexaAsioChannelAssigner::assignChannels(AsioRoutedDeviceIf* device, uint8_t*, uint8_t*, bool force) const {
    if (device == nullptr || device->getModelType() != kQelmModelType) return;
    for (size_t c = 0; c < device->getNumberOfConfigurations(); ++c) {
        AsioChannelRoutingIf* configuration = device->getConfigurationRouting(c);
        const QelmRouting* routing = configuration == nullptr ? nullptr : qelmRoutingFor(*configuration);
        if (routing == nullptr) continue;
        for (size_t j = 0; j < routing->inputs; ++j) {
            if (force || configuration->getInputAsioChannel(j) == kAsioRoutingUnassigned)
                configuration->setInputAsioChannel(j, routing->inputTable[j]);
        }
        for (size_t j = 0; j < routing->outputs; ++j) {
            if (force || configuration->getOutputAsioChannel(j) == kAsioRoutingUnassigned)
                configuration->setOutputAsioChannel(j, routing->outputTable[j]);
        }
    }
}

void OrloAsioChannelAssigner::pickChannels(uint8_t* used, size_t count, uint8_t* picks) {
    size_t position = 0;
    for (size_t j = 0; j < count && j < kAsioRoutingChannels; ++j) {
        while (position < kAsioRoutingChannels && used[position] != 0) ++position;
        size_t pick = position < kAsioRoutingChannels ? position : j;
        picks[j] = static_cast<uint8_t>(pick);
        used[pick] = 1;
        ++position;
    }
}

void OrloAsioChannelAssigner::assignChannels(AsioRoutedDeviceIf* device, uint8_t* usedInputs,
                                             uint8_t* usedOutputs, bool force) const {
    if (device == nullptr) return;
    size_t configurations = device->getNumberOfConfigurations();
    size_t maxInputs = 0;
    size_t maxOutputs = 0;
    for (size_t c = 0; c < configurations; ++c) {
        const AsioChannelRoutingIf* configuration = device->getConfigurationRouting(c);
        if (configuration == nullptr) continue;
        if (channelCount(configuration->getNumberOfInputs()) > maxInputs)
            maxInputs = channelCount(configuration->getNumberOfInputs());
        if (channelCount(configuration->getNumberOfOutputs()) > maxOutputs)
            maxOutputs = channelCount(configuration->getNumberOfOutputs());
    }

    // A caller without used tables gets the first channels.
    uint8_t noInputsUsed[kAsioRoutingChannels] = {};
    uint8_t noOutputsUsed[kAsioRoutingChannels] = {};
    uint8_t inputPicks[kAsioRoutingChannels] = {};
    uint8_t outputPicks[kAsioRoutingChannels] = {};
    pickChannels(usedInputs != nullptr ? usedInputs : noInputsUsed, maxInputs, inputPicks);
    pickChannels(usedOutputs != nullptr ? usedOutputs : noOutputsUsed, maxOutputs, outputPicks);

    for (size_t c = 0; c < configurations; ++c) {
        AsioChannelRoutingIf* configuration = device->getConfigurationRouting(c);
        if (configuration == nullptr) continue;
        size_t next = 0;
        for (size_t j = 0; j < channelCount(configuration->getNumberOfInputs()); ++j) {
            if (force || configuration->getInputAsioChannel(j) == kAsioRoutingUnassigned)
                configuration->setInputAsioChannel(j, inputPicks[next++]);
        }
        next = 0;
        for (size_t j = 0; j < channelCount(configuration->getNumberOfOutputs()); ++j) {
            if (force || configuration->getOutputAsioChannel(j) == kAsioRoutingUnassigned)
                configuration->setOutputAsioChannel(j, outputPicks[next++]);
        }
    }
}
