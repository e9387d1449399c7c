// Channel configurations: one hardware channel layout of a model (its name,
// stereo channel groups, the wave formats it streams) and, per hardware
// channel, the ASIO channel it is routed to.
//
// Hardware channel numbering: within each direction, the k-th group of that
// direction covers hardware channels 2k (left) and 2k + 1 (right). Formats
// and groups count from the computer's side: "outputs" are render channels.
//
// Threads: routing values are single bytes, written by the settings loader
// or the dialog and read by the audio device when it builds its channel
// tables; nothing here locks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "brands/asio_channel_assigner.h"

// One wave format a configuration can stream.
struct AsioDeviceFormat {
    uint8_t inputs = 0;   // capture channels
    uint8_t outputs = 0;  // render channels
    uint32_t sampleRate = 0;
    uint32_t bitsPerSample = 0;
};

// One stereo group of hardware channels.
struct AsioChannelGroup {
    bool isInput;  // a capture group
    const char* label;
};

class AsioDeviceConfigurationIf : public AsioChannelRoutingIf {
public:
    // Null for a configuration without a name.
    virtual const char* getConfigurationName() const = 0;
    virtual size_t getNumberOfFormats() const = 0;
    // False, with *format zeroed, for an index at or past the count.
    virtual bool getFormat(size_t index, AsioDeviceFormat* format) const = 0;
    virtual size_t getNumberOfChannelGroups() const = 0;
    // Null for an index at or past the count.
    virtual const AsioChannelGroup* getChannelGroup(size_t index) const = 0;
    // Saves both routing tables; rollbackChanges restores them.
    virtual void makeRestorePoint() = 0;
    virtual void rollbackChanges() = 0;
};

// The routing tables every configuration has. All values start disabled.
// Channel counts are the largest over the formats (0 without formats).
// Routing values are stored as given; a hardware channel number of 16 or
// more reads as disabled and is not written.
class AsioDeviceConfigurationAbs : public AsioDeviceConfigurationIf {
public:
    AsioDeviceConfigurationAbs();

    const char* getConfigurationName() const override { return nullptr; }
    uint8_t getNumberOfInputs() const override;
    uint8_t getNumberOfOutputs() const override;
    uint8_t getInputAsioChannel(size_t channel) const override;
    void setInputAsioChannel(size_t channel, uint8_t value) override;
    uint8_t getOutputAsioChannel(size_t channel) const override;
    void setOutputAsioChannel(size_t channel, uint8_t value) override;
    void makeRestorePoint() override;
    void rollbackChanges() override;

private:
    uint8_t largestOverFormats(uint8_t AsioDeviceFormat::*count) const;

    uint8_t inputRouting_[kAsioRoutingChannels];
    uint8_t outputRouting_[kAsioRoutingChannels];
    uint8_t savedInputRouting_[kAsioRoutingChannels];
    uint8_t savedOutputRouting_[kAsioRoutingChannels];
};

// A configuration whose name, groups and formats are the constants of
// Layout: kName (text or null), kGroups and kFormats (arrays).
template <class Layout>
class AsioDeviceConfigurationFixed : public AsioDeviceConfigurationAbs {
public:
    const char* getConfigurationName() const override { return Layout::kName; }
    size_t getNumberOfFormats() const override { return sizeof(Layout::kFormats) / sizeof(Layout::kFormats[0]); }
    bool getFormat(size_t index, AsioDeviceFormat* format) const override {
        if (format == nullptr) return false;
        if (index >= getNumberOfFormats()) {
            *format = AsioDeviceFormat{};
            return false;
        }
        *format = Layout::kFormats[index];
        return true;
    }
    size_t getNumberOfChannelGroups() const override { return sizeof(Layout::kGroups) / sizeof(Layout::kGroups[0]); }
    const AsioChannelGroup* getChannelGroup(size_t index) const override {
        return index < getNumberOfChannelGroups() ? &Layout::kGroups[index] : nullptr;
    }
};
