// Channel assignment: gives every hardware channel of a unit that has no
// routing yet an ASIO channel. Each brand owns one stateless assigner.
#pragma once

#include <cstddef>
#include <cstdint>

// Routing values of one hardware channel.
constexpr uint8_t kAsioRoutingChannels = 16;  // values 0-15: that ASIO channel of the same direction
constexpr uint8_t kAsioRoutingUnassigned = 254;
constexpr uint8_t kAsioRoutingDisabled = 255;

// The model type number of the QELM controller.
constexpr uint32_t kQelmModelType = 5;

// The routing tables of one channel configuration, as assignment reads and
// writes them; channel configurations extend this interface. Hardware
// channel numbers are below kAsioRoutingChannels.
class AsioChannelRoutingIf {
public:
    virtual ~AsioChannelRoutingIf() = default;
    virtual uint8_t getNumberOfInputs() const = 0;
    virtual uint8_t getNumberOfOutputs() const = 0;
    virtual uint8_t getInputAsioChannel(size_t channel) const = 0;
    virtual void setInputAsioChannel(size_t channel, uint8_t value) = 0;
    virtual uint8_t getOutputAsioChannel(size_t channel) const = 0;
    virtual void setOutputAsioChannel(size_t channel, uint8_t value) = 0;
};

// A unit as assignment sees it: its model's type number and its channel
// configurations in the record's order. The ASIO device record implements it.
class AsioRoutedDeviceIf {
public:
    virtual ~AsioRoutedDeviceIf() = default;
    virtual uint32_t getModelType() const = 0;
    virtual size_t getNumberOfConfigurations() const = 0;
    virtual AsioChannelRoutingIf* getConfigurationRouting(size_t index) const = 0;
};

class AsioChannelAssignerIf {
public:
    virtual ~AsioChannelAssignerIf() = default;
    // Routes the unit's channels that hold kAsioRoutingUnassigned, or every
    // channel when `force` is set. usedInputs and usedOutputs are the
    // 16-entry tables of ASIO channels taken by the units assigned before;
    // an assigner that hands out free channels marks its picks in them.
    virtual void assignChannels(AsioRoutedDeviceIf* device, uint8_t* usedInputs, uint8_t* usedOutputs,
                                bool force) const = 0;
};

// Fixed tables by configuration shape, for QELM units only; the used tables
// are neither read nor written, so several QELM units share ASIO channels
// until the user routes them apart.
class VexaAsioChannelAssigner final : public AsioChannelAssignerIf {
public:
    void assignChannels(AsioRoutedDeviceIf* device, uint8_t* usedInputs, uint8_t* usedOutputs,
                        bool force) const override;
};

// The first free channels, shared by all configurations of the unit.
class OrloAsioChannelAssigner final : public AsioChannelAssignerIf {
public:
    void assignChannels(AsioRoutedDeviceIf* device, uint8_t* usedInputs, uint8_t* usedOutputs,
                        bool force) const override;

    // Picks `count` channels (at most kAsioRoutingChannels): the first ones
    // not marked in `used`, and once those run out the j-th pick is j. Every
    // pick is marked in `used`.
    static void pickChannels(uint8_t* used, size_t count, uint8_t* picks);
};
