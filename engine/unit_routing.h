// What a unit (one direction of one attached controller) needs to know of
// its controller: the KS filters to open, the wave formats its active
// channel configuration can stream, and where each hardware channel is
// routed. The composite device feeds it from the controller's ASIO device
// record; it is asked afresh every time, so a routing change made between
// two streams is seen by the next one.
#pragma once

#include <cstddef>
#include <cstdint>

class CKsAudRenFilter;
class CKsAudCapFilter;

// One wave format of a channel configuration, as the configuration lists it.
struct UnitWaveFormat {
    uint8_t inputs = 0;   // capture channels
    uint8_t outputs = 0;  // render channels
    uint32_t sampleRate = 0;
    uint32_t bitsPerSample = 0;
};

// Routing value of a hardware channel that carries no ASIO channel.
constexpr uint8_t kUnitChannelUnrouted = 255;

class UnitRoutingIf {
public:
    virtual ~UnitRoutingIf() = default;
    // The controller's KS filters; null when it has none of that direction.
    virtual CKsAudRenFilter* getRenderFilter() = 0;
    virtual CKsAudCapFilter* getCaptureFilter() = 0;
    // The formats of the active configuration, in its order.
    virtual size_t getNumberOfFormats() = 0;
    // False for an index at or past the count.
    virtual bool getFormat(size_t index, UnitWaveFormat* format) = 0;
    // ASIO channel (0 to 15) of a hardware channel (below 16) of the active
    // configuration; any other value means none.
    virtual uint8_t getInputAsioChannel(size_t channel) = 0;
    virtual uint8_t getOutputAsioChannel(size_t channel) = 0;
};
