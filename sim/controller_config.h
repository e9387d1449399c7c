// What describes one simulated controller: its hardware model, identity,
// port, channel layout and the faults it should show.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// The hardware models, numbered as the persisted "Type" values.
enum class Model : uint32_t {
    Fenro = 1,
    Dalto = 2,
    Tavio = 3,
    TavioRawProto2009 = 4,
    Qelm = 5,
    TavioRaw = 6,
};

// The two layouts a QELM unit presents, one at a time: 4 render + 4 capture
// channels, or 8 render + 2 capture channels. Other models ignore it.
enum class QelmLayout { FourFour, EightTwo };

// Whether a render or capture alias of the audio interface exists.
enum class AliasState { Present, Removed, Missing };

// One audio data range of a streaming pin: exactly `channels` channels,
// `bits` valid bits per sample (what KSDATARANGE_AUDIO publishes) carried in
// `containerBits`-bit containers (0: the same as bits), a rate interval.
struct FormatRange {
    uint32_t channels;
    uint32_t bits;
    uint32_t minRate;
    uint32_t maxRate;
    uint32_t containerBits = 0;

    uint32_t container() const { return containerBits != 0 ? containerBits : bits; }
    bool operator==(const FormatRange& o) const {
        return channels == o.channels && bits == o.bits && minRate == o.minRate && maxRate == o.maxRate &&
               container() == o.container();
    }
};

// Ways a filter can answer a property request wrongly, to prove that the
// Kernel Streaming layer survives devices that lie.
enum class Malformation {
    None,
    ItemCountTooLarge,   // KSMULTIPLE_ITEM.Count exceeds the items in the reply
    RangeSizeZero,       // the first data range has FormatSize 0
    RangeSizeTooSmall,   // the first audio data range is cut to 64 bytes
    RangePastEnd,        // the last data range claims more bytes than the reply has
    HugeSizeQuery,       // size queries of multi-item properties report ~2 GiB
};

// Faults injected at the calls of one controller. Counted faults fire that
// many times and then stop; kAlways never runs out.
struct Faults {
    static constexpr uint32_t kAlways = 0xFFFFFFFFu;

    uint32_t failOpen = 0;         // CreateFileA on the filter fails (ERROR_GEN_FAILURE)
    uint32_t failHidOpen = 0;      // CreateFileA on the HID path fails
    uint32_t failPinCreate = 0;    // KsCreatePin fails (ERROR_GEN_FAILURE)
    uint32_t crcWrites = 0;        // IOCTL_KS_WRITE_STREAM fails with ERROR_CRC
    uint32_t shortReads = 0;       // capture packets complete with half their frames
    uint32_t failStateChange = 0;  // KSPROPERTY_CONNECTION_STATE sets fail
    bool unreadableSerial = false; // HidD_GetSerialNumberString fails (FENRO: the id carries no serial)
    int32_t driftPpm = 0;          // the hardware clock runs this many ppm fast (negative: slow)
    bool pendPropertyRequests = false;       // property requests complete through ERROR_IO_PENDING
    bool sizeQueryInsufficientBuffer = false;  // size queries answer ERROR_INSUFFICIENT_BUFFER, not ERROR_MORE_DATA
    bool wildcardRanges = false;   // audio data ranges carry a wildcard (null) SubFormat
    Malformation malformed = Malformation::None;

    // What real USB audio devices do (docs/simulator.md):
    uint32_t failPackets = 0;      // stream requests complete with STATUS_UNSUCCESSFUL (as across a sleep)
    uint32_t emptyReads = 0;       // capture requests complete successfully with DataUsed 0
    uint32_t stallPackets = 0;     // stream requests the clock never completes; only a cancel ends them
    bool lateCancel = false;       // cancelled requests complete after the cancelling call has returned
    bool inUse = false;            // another program holds the streaming pins
    bool extensibleOnly = false;   // plain PCM refused beyond 16 bits or 2 channels, as the USB class driver does
    uint32_t channelMask = kAnyChannelMask;  // the one speaker mask extensible formats must carry
    uint32_t framingBytes = 0;     // KSPROPERTY_CONNECTION_ALLOCATORFRAMING FrameSize; smaller packets fail
    bool aliasLessFirst = false;   // the topology and MIDI interfaces are listed before the wave interface
    uint32_t pinCreateDelayMs = 0; // KsCreatePin takes this long, as pins of real devices may

    // What the driver sees of a real crystal and of USB (docs/simulator.md, "Clocks"):
    double wanderPpm = 0;          // the clock wanders slowly: peak deviation, over about a minute
    double rampPpmPerSecond = 0;   // a crystal warming up: the drift moves this fast ...
    uint32_t rampSeconds = 30;     // ... for this long after the plug-in
    uint32_t jitterUs = 0;         // completions reach the driver up to this much late, uniformly spread
    bool usbFrames = false;        // completions reach the driver on the bus clock's 1 ms boundaries

    static constexpr uint32_t kAnyChannelMask = 0xFFFFFFFFu;

    bool operator==(const Faults& other) const;
    bool operator!=(const Faults& other) const { return !(*this == other); }
};

constexpr int32_t kMaxDriftPpm = 100000;
constexpr uint32_t kMaxPinCreateDelayMs = 10000;
// Two seconds at the highest simulated rate.
constexpr uint32_t kMaxLoopbackDelayFrames = 96000;
constexpr double kMaxWanderPpm = 1000.0;
constexpr double kMaxRampPpmPerSecond = 1000.0;
constexpr uint32_t kMaxJitterUs = 100000;
constexpr uint32_t kMaxPort = 64;
// A USB string descriptor holds at most 126 UTF-16 units.
constexpr size_t kMaxSerialUnits = 126;

struct ControllerConfig {
    Model model = Model::Qelm;
    // The HID serial number string as the device reports it (UTF-16 units);
    // FENRO units carry it as the last part of their control device's
    // instance identifier instead.
    std::u16string serial;
    uint32_t port = 0;  // 1..kMaxPort; 0 picks the lowest free port
    QelmLayout layout = QelmLayout::FourFour;
    AliasState renderAlias = AliasState::Present;
    AliasState captureAlias = AliasState::Present;  // only for models with capture channels
    // Replace the model's data ranges when not empty (the capture ones only
    // for models with a capture pin).
    std::vector<FormatRange> renderRanges;
    std::vector<FormatRange> captureRanges;
    // HID top-level collections of the control interface: from 2 on, one HID
    // device node per collection, with &Col01, &Col02, ... in its identifier.
    uint32_t hidCollections = 1;
    // Disabled (bus file): a plugged unit is asked to go as SimBus::requestRemoval
    // does, and is not plugged while the line says so.
    bool disabled = false;
    Faults faults;
    // Loopback: the capture side records what the unit plays (the QELM's
    // "Master rec" input fed from its master output), capture channel c
    // carrying render channel c played loopbackDelayFrames hardware frames
    // earlier. Off, capture carries the counter signal (capture_signal.h).
    bool loopback = false;
    uint32_t loopbackDelayFrames = 0;
};

// Text helpers for serials: bytes map to UTF-16 units one to one.
std::u16string widen(const std::string& text);
std::string narrow(const std::u16string& text);

}  // namespace sim
