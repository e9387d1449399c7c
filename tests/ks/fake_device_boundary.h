// A scriptable device boundary with one KS filter, for tests and the fuzz
// target: every pin property reply, failure, size and completion mode can be
// set per pin and per property, and every call is counted.
//
// Not thread-safe: one test thread drives it. Install it with
// os::installDeviceBoundary (FakeBoundaryScope does that for a scope).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/device.h"

namespace kstest {

// One answer to a property request.
struct FakeReply {
    DWORD error = 0;             // Win32 error; 0 answers with `data`
    std::vector<uint8_t> data;
    bool overrideSize = false;   // size queries report `reportedSize` instead of data.size()
    DWORD reportedSize = 0;
};

struct FakePin {
    ULONG communication = KSPIN_COMMUNICATION_SINK;
    ULONG dataFlow = KSPIN_DATAFLOW_IN;
    std::vector<KSPIN_INTERFACE> interfaces;  // standard streaming unless changed
    std::vector<KSPIN_MEDIUM> mediums;        // standard any-instance unless changed
    std::vector<uint8_t> dataRanges;          // the whole KSMULTIPLE_ITEM reply
    KSPIN_CINSTANCES instances{1, 0};
    KSPIN_CINSTANCES globalInstances{1, 0};
    GUID category = KSCATEGORY_AUDIO;
    std::u16string name = u"Fake Pin";
    std::set<ULONG> failingProperties;  // KSPROPERTY_PIN_* ids answered with ERROR_GEN_FAILURE
    DWORD createError = 0;              // what KsCreatePin answers for this pin

    FakePin();
};

// Record helpers.
KSDATARANGE_AUDIO AudioRange(ULONG channels, ULONG minBits, ULONG maxBits, ULONG minRate, ULONG maxRate,
                             const GUID& subFormat = KSDATAFORMAT_SUBTYPE_PCM,
                             const GUID& majorFormat = KSDATAFORMAT_TYPE_AUDIO);
std::vector<uint8_t> DataRangeReply(const std::vector<KSDATARANGE_AUDIO>& ranges);
// A KSMULTIPLE_ITEM header with `count` and Size = 8 + bytes, then the bytes.
std::vector<uint8_t> MultiItemReply(ULONG count, const void* items, size_t bytes);
WAVEFORMATEX PcmFormat(WORD channels, WORD bits, DWORD rate);
WAVEFORMATEXTENSIBLE ExtensibleFormat(WORD channels, WORD bits, DWORD rate, const GUID& subFormat);

class FakeDeviceBoundary final : public os::DeviceBoundaryIf {
public:
    // ---- script
    std::string filterPath = "\\\\?\\fake#audio#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\wave";
    std::vector<FakePin> pins;
    std::vector<GUID> nodes;
    DWORD openError = 0;                  // openDevice fails with it
    bool pendRequests = false;            // property requests complete through ERROR_IO_PENDING
    bool sizeQueriesInsufficientBuffer = false;  // ERROR_INSUFFICIENT_BUFFER instead of ERROR_MORE_DATA
    bool ksuserMissing = false;           // KsCreatePin cannot be bound: error 2
    DWORD stateChangeError = 0;           // connection-state sets fail with it
    DWORD otherCodeError = 1;             // answer of a filter to codes other than IOCTL_KS_PROPERTY
    std::deque<DWORD> writeErrors;        // errors of the next writes (0: accepted)
    std::deque<DWORD> readErrors;         // errors of the next reads
    // Overrides any reply of the filter (pin properties: pinId; filter
    // properties: kFilterLevel). True: answer with *reply.
    static constexpr ULONG kFilterLevel = 0xFFFFFFFFu;
    std::function<bool(ULONG pinId, const GUID& set, ULONG id, FakeReply* reply)> replyHook;

    // ---- observations
    int opens = 0;
    int closes = 0;
    int badCloses = 0;  // closes of handles that are not open
    int ioctls = 0;
    int createPinCalls = 0;
    int writeAttempts = 0;
    int readAttempts = 0;
    std::vector<ULONG> createdPinIds;       // pin ids of successful KsCreatePin calls
    std::vector<uint8_t> lastConnect;       // KSPIN_CONNECT + KSDATAFORMAT + wave format
    DWORD lastOpenAccess = 0, lastOpenShare = 0, lastOpenDisposition = 0, lastOpenFlags = 0;
    std::vector<std::vector<uint8_t>> propertyRequests;  // input buffers, in order
    std::vector<KSSTATE> statesSet;
    DWORD lastStreamOutSize = 0;
    size_t openHandles() const { return handles_.size(); }
    HANDLE filterHandle() const;  // the open filter handle, or INVALID_HANDLE_VALUE

    // os::DeviceBoundaryIf
    HANDLE openDevice(const char* path, DWORD desiredAccess, DWORD shareMode, DWORD creationDisposition,
                      DWORD flagsAndAttributes) override;
    bool closeDevice(HANDLE device) override;
    bool deviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inSize, void* outBuffer,
                         DWORD outSize, DWORD* bytesReturned, OVERLAPPED* overlapped) override;
    bool getOverlappedResult(HANDLE device, OVERLAPPED* overlapped, DWORD* bytesTransferred, bool wait) override;
    bool cancelIo(HANDLE device) override;
    DWORD ksCreatePin(HANDLE filter, const KSPIN_CONNECT* connect, DWORD desiredAccess, HANDLE* pin) override;
    bool listAudioInterfaces(std::vector<os::AudioInterfaceInfo>& interfaces) override;
    CONFIGRET cmGetParent(DEVINST* parent, DEVINST node, ULONG flags) override;
    CONFIGRET cmGetChild(DEVINST* child, DEVINST node, ULONG flags) override;
    CONFIGRET cmGetSibling(DEVINST* sibling, DEVINST node, ULONG flags) override;
    CONFIGRET cmGetDeviceIdSize(ULONG* size, DEVINST node, ULONG flags) override;
    CONFIGRET cmGetDeviceId(DEVINST node, char* buffer, ULONG bufferLength, ULONG flags) override;
    CONFIGRET cmGetDeviceInterfaceList(const GUID&, const char*, std::vector<std::string>& paths) override {
        paths.clear();
        return CR_NO_SUCH_DEVNODE;
    }
    bool hidGetSerialNumberString(HANDLE hidDevice, void* buffer, ULONG bufferBytes) override;
    // The filter has no device notices to give.
    os::DeviceWatch watchDevice(HANDLE, os::DeviceNoticeSinkIf*, uint64_t) override { return 0; }
    os::DeviceWatch watchInterfaceClass(const GUID&, os::DeviceNoticeSinkIf*, uint64_t) override { return 0; }
    void unwatch(os::DeviceWatch) override {}
    void flushNotices() override {}

private:
    enum class Kind { Filter, Pin };
    struct Entry {
        Kind kind;
        ULONG pinId;
    };

    FakeReply PinReply(ULONG pinId, const GUID& set, ULONG id);
    FakeReply FilterReply(const GUID& set, ULONG id);
    bool Answer(const FakeReply& reply, void* out, DWORD outSize, DWORD* bytesReturned, OVERLAPPED* overlapped);
    bool Finish(DWORD error, DWORD bytes, DWORD* bytesReturned, OVERLAPPED* overlapped);
    bool PinRequest(Entry& entry, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                    DWORD* bytesReturned, OVERLAPPED* overlapped);

    std::map<uintptr_t, Entry> handles_;
    uintptr_t nextHandle_ = 0x100;
};

// Installs a boundary for the lifetime of the object.
class FakeBoundaryScope {
public:
    explicit FakeBoundaryScope(os::DeviceBoundaryIf& boundary) { os::installDeviceBoundary(&boundary); }
    ~FakeBoundaryScope() { os::installDeviceBoundary(nullptr); }
    FakeBoundaryScope(const FakeBoundaryScope&) = delete;
    FakeBoundaryScope& operator=(const FakeBoundaryScope&) = delete;
};

}  // namespace kstest
