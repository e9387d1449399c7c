// Requests as the Kernel Streaming layer issues them, for the simulator's tests.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/device.h"
#include "platform/errors.h"
#include "platform/os.h"
#include "sim/bus.h"

namespace simtest {

// One overlapped request with its own event, stored with the lowest bit set
// as the driver stores it.
struct Overlapped {
    Overlapped() {
        event = os::createEvent(false, false);
        std::memset(&ov, 0, sizeof(ov));
        ov.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(event) | 1);
    }
    ~Overlapped() { os::closeHandle(event); }
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;
    bool signalled() { return os::waitForOne(event, 0) == os::kWaitObject0; }

    os::Handle event;
    OVERLAPPED ov;
};

struct Result {
    bool ok;
    DWORD error;
    DWORD bytes;
};

inline Result ioctl(os::DeviceBoundaryIf& bus, HANDLE handle, const void* in, DWORD inSize, void* out,
                    DWORD outSize) {
    Overlapped o;
    DWORD bytes = 0xDEADBEEF;
    os::setLastError(0);
    const bool ok =
        bus.deviceIoControl(handle, IOCTL_KS_PROPERTY, const_cast<void*>(in), inSize, out, outSize, &bytes, &o.ov);
    const DWORD error = ok ? 0 : os::lastError();
    if (!ok && error == os::kErrorIoPending) {
        EXPECT_EQ(os::waitForOne(o.event, 5000), os::kWaitObject0);
        DWORD transferred = 0;
        const bool done = bus.getOverlappedResult(handle, &o.ov, &transferred, true);
        return {done, done ? 0 : os::lastError(), transferred};
    }
    return {ok, error, bytes};
}

inline KSP_PIN pinRequest(ULONG pinId, ULONG id, const GUID& set = KSPROPSETID_Pin) {
    KSP_PIN request;
    std::memset(&request, 0, sizeof(request));
    request.Property.Set = set;
    request.Property.Id = id;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.PinId = pinId;
    return request;
}

inline KSPROPERTY propertyRequest(const GUID& set, ULONG id, ULONG flags = KSPROPERTY_TYPE_GET) {
    KSPROPERTY request;
    std::memset(&request, 0, sizeof(request));
    request.Set = set;
    request.Id = id;
    request.Flags = flags;
    return request;
}

// Size query, then fetch, as GetPinPropertyMulti does.
inline std::vector<uint8_t> pinMulti(os::DeviceBoundaryIf& bus, HANDLE filter, ULONG pinId, ULONG id) {
    KSP_PIN request = pinRequest(pinId, id);
    Result size = ioctl(bus, filter, &request, sizeof(request), nullptr, 0);
    EXPECT_FALSE(size.ok);
    EXPECT_EQ(size.error, os::kErrorMoreData);
    std::vector<uint8_t> reply(size.bytes);
    Result fetch = ioctl(bus, filter, &request, sizeof(request), reply.data(), size.bytes);
    EXPECT_TRUE(fetch.ok);
    EXPECT_EQ(fetch.bytes, size.bytes);
    return reply;
}

template <typename T>
T pinSimple(os::DeviceBoundaryIf& bus, HANDLE filter, ULONG pinId, ULONG id) {
    KSP_PIN request = pinRequest(pinId, id);
    T value{};
    Result r = ioctl(bus, filter, &request, sizeof(request), &value, sizeof(value));
    EXPECT_TRUE(r.ok) << "property " << id << " error " << r.error;
    EXPECT_EQ(r.bytes, sizeof(T));
    return value;
}

inline HANDLE openFilter(os::DeviceBoundaryIf& bus, const std::string& path) {
    return bus.openDevice(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL);
}

// A KSPIN_CONNECT request as the KS pin layer builds it: connect, data
// format, wave format (plain PCM, or extensible when channelMask is given).
struct ConnectRequest {
    ConnectRequest(ULONG pinId, uint16_t channels, uint16_t bits, uint32_t rate, bool extensible = false,
                   uint32_t channelMask = 0) {
        const size_t waveSize = extensible ? sizeof(WAVEFORMATEXTENSIBLE) : sizeof(WAVEFORMATEX);
        bytes.assign(sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT) + waveSize, 0);
        KSPIN_CONNECT connect;
        std::memset(&connect, 0, sizeof(connect));
        connect.Interface.Set = KSINTERFACESETID_Standard;
        connect.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
        connect.Medium.Set = KSMEDIUMSETID_Standard;
        connect.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
        connect.PinId = pinId;
        connect.Priority.PriorityClass = KSPRIORITY_NORMAL;
        connect.Priority.PrioritySubClass = 1;
        KSDATAFORMAT format;
        std::memset(&format, 0, sizeof(format));
        format.FormatSize = static_cast<ULONG>(sizeof(KSDATAFORMAT) + waveSize);
        format.SampleSize = channels * bits / 8;
        format.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
        format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        format.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
        WAVEFORMATEXTENSIBLE wave;
        std::memset(&wave, 0, sizeof(wave));
        wave.Format.wFormatTag = extensible ? WAVE_FORMAT_EXTENSIBLE : WAVE_FORMAT_PCM;
        wave.Format.nChannels = channels;
        wave.Format.nSamplesPerSec = rate;
        wave.Format.wBitsPerSample = bits;
        wave.Format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
        wave.Format.nAvgBytesPerSec = wave.Format.nBlockAlign * rate;
        if (extensible) {
            wave.Format.cbSize = 22;
            wave.Samples.wValidBitsPerSample = bits;
            wave.dwChannelMask = channelMask;
            wave.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        }
        std::memcpy(bytes.data(), &connect, sizeof(connect));
        std::memcpy(bytes.data() + sizeof(connect), &format, sizeof(format));
        std::memcpy(bytes.data() + sizeof(connect) + sizeof(format), &wave, waveSize);
    }
    KSPIN_CONNECT* connect() { return reinterpret_cast<KSPIN_CONNECT*>(bytes.data()); }
    WAVEFORMATEX* wave() {
        return reinterpret_cast<WAVEFORMATEX*>(bytes.data() + sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT));
    }
    KSDATAFORMAT* dataFormat() { return reinterpret_cast<KSDATAFORMAT*>(bytes.data() + sizeof(KSPIN_CONNECT)); }

    std::vector<uint8_t> bytes;
};

inline Result setState(os::DeviceBoundaryIf& bus, HANDLE pin, KSSTATE state) {
    KSPROPERTY request = propertyRequest(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET);
    ULONG value = static_cast<ULONG>(state);
    return ioctl(bus, pin, &request, sizeof(request), &value, sizeof(value));
}

inline bool runPin(os::DeviceBoundaryIf& bus, HANDLE pin) {
    return setState(bus, pin, KSSTATE_ACQUIRE).ok && setState(bus, pin, KSSTATE_PAUSE).ok &&
           setState(bus, pin, KSSTATE_RUN).ok;
}

inline sim::ControllerConfig qelm(const char* serial, sim::QelmLayout layout = sim::QelmLayout::FourFour,
                                  uint32_t port = 0) {
    sim::ControllerConfig config;
    config.model = sim::Model::Qelm;
    config.serial = sim::widen(serial);
    config.layout = layout;
    config.port = port;
    return config;
}

// A bus with one plugged unit whose filter is open.
class OpenFilterTest : public ::testing::Test {
protected:
    void open(const sim::ControllerConfig& config) {
        if (filter != INVALID_HANDLE_VALUE) bus.closeDevice(filter);
        controller = bus.plug(config);
        ASSERT_TRUE(controller);
        filter = openFilter(bus, controller->interfacePath());
        ASSERT_NE(filter, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (filter != INVALID_HANDLE_VALUE) bus.closeDevice(filter);
    }

    sim::SimBus bus;
    std::shared_ptr<sim::SimController> controller;
    HANDLE filter = INVALID_HANDLE_VALUE;
};

}  // namespace simtest
