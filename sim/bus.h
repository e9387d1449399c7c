// The simulated device bus: a set of controllers behind the device boundary.
//
// SimBus implements os::DeviceBoundaryIf with the semantics of the Win32
// calls (see platform/device.h): controllers appear in the KS audio
// interface listing, in the device tree and as HID devices; their filters
// answer property requests and create pins; their pins complete stream
// packets on a clock at the hardware rate.
//
// Clock: in ClockMode::RealTime a bus thread completes packets as real time
// passes (started when a pin runs, ended when none has run for a while and
// when the bus is destroyed). In ClockMode::Manual nothing happens until a
// test calls advanceFrames() or advanceTime(), which makes streaming exact
// and deterministic.
//
// Thread safety: every method takes one re-enterable lock per bus, so the
// driver's polling thread, its streaming thread, host threads and tests may
// call at once. Events of completed requests are set with the lock held.
// Device notices (watchDevice, watchInterfaceClass) are the one call out of
// the bus: they are delivered on the thread whose call caused them (plug,
// unplug, requestRemoval, a listing that re-read the bus file), after that
// call has let go of the lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/device.h"
#include "sim/bus_file.h"
#include "sim/controller.h"

namespace sim {

enum class ClockMode { RealTime, Manual };

class SimBus final : public os::DeviceBoundaryIf {
public:
    explicit SimBus(ClockMode mode = ClockMode::Manual);
    ~SimBus() override;
    SimBus(const SimBus&) = delete;
    SimBus& operator=(const SimBus&) = delete;

    ClockMode clockMode() const { return mode_; }

    // Creates a controller and plugs it in; nullptr when the port is taken
    // or out of range, the serial is too long, or no port is free.
    std::shared_ptr<SimController> plug(const ControllerConfig& config);
    // Plugs an unplugged controller in again (at its configured port).
    bool replug(const std::shared_ptr<SimController>& controller);
    // Unplugging fails every packet in flight with STATUS_DEVICE_NOT_CONNECTED,
    // kills every handle of the controller and removes its interface and
    // device-tree nodes. The controller object stays valid for inspection.
    bool unplug(const std::shared_ptr<SimController>& controller);
    // Unplug, then plug into another port: new paths and nodes, same serial.
    bool move(const std::shared_ptr<SimController>& controller, uint32_t port);
    // A QELM unit switched to its other layout re-enumerates at the same port.
    bool setQelmLayout(const std::shared_ptr<SimController>& controller, QelmLayout layout);
    // The removal the system asks for when a device is disabled or its
    // driver updated: every watch on the controller's handles hears a
    // query-remove. A handle to it still open afterwards refuses the removal
    // (the watches hear query-remove-failed, the controller stays and counts
    // a veto); otherwise it goes as if unplugged. True when it went.
    bool requestRemoval(const std::shared_ptr<SimController>& controller);
    // Completions a device delivered late (Faults::lateCancel) to requests
    // whose pin handle had been closed already: written into memory whose
    // owner thought it was its own again.
    uint64_t completionsAfterClose() const;
    std::vector<std::shared_ptr<SimController>> controllers() const;

    // A bus description file (docs/simulator.md), re-read at every
    // listAudioInterfaces(); its controllers come and go as it changes.
    void setBusFile(const std::string& path);
    // Lines of the bus file that were skipped, each counted once.
    uint32_t busFileWarnings() const;

    // Manual clock: every running pin moves on by that many frames of its
    // own hardware (drift included), then completes what it finished at
    // once; or by that much time at its rate, completing what is due by
    // then (a device on USB frames or with jitter completes later than its
    // hardware finishes). Wander and warm-up follow the time only.
    void advanceFrames(uint64_t frames);
    void advanceTime(uint64_t nanoseconds);
    // Manual clock: the nanoseconds advanceTime has let pass so far.
    uint64_t manualTimeNs() const { return manualNs_.load(); }
    // The bus's time: the manual clock's (the sum of advanceTime), or the
    // system's nanoseconds.
    uint64_t timeNs() const;
    // How long until the next packet completes by itself (0: due now),
    // kNoCompletion when none will: what a virtual clock may skip at once.
    uint64_t nanosecondsToNextCompletion() const;
    static constexpr uint64_t kNoCompletion = ~uint64_t(0);
    // Whether the real-time clock thread exists and has not decided to end.
    bool clockRunning() const;
    // Real-time clock: while held, the clock thread lets its turns pass, as
    // a loaded machine holds a process's threads up. The hardware runs on
    // regardless: every call the driver makes into a pin finds it where the
    // time has brought it.
    void holdClockThread(bool held) { clockHeld_.store(held); }

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
    CONFIGRET cmGetDeviceInterfaceList(const GUID& interfaceClass, const char* deviceId,
                                       std::vector<std::string>& paths) override;
    bool hidGetSerialNumberString(HANDLE hidDevice, void* buffer, ULONG bufferBytes) override;
    os::DeviceWatch watchDevice(HANDLE device, os::DeviceNoticeSinkIf* sink, uint64_t cookie) override;
    os::DeviceWatch watchInterfaceClass(const GUID& interfaceClass, os::DeviceNoticeSinkIf* sink,
                                        uint64_t cookie) override;
    void unwatch(os::DeviceWatch watch) override;
    void flushNotices() override;

private:
    enum class HandleKind { Filter, Pin, Hid };
    struct HandleEntry {
        HandleKind kind;
        std::shared_ptr<SimController> controller;
        uint32_t generation;
        std::shared_ptr<StreamPin> pin;
    };
    struct DeviceNode {
        std::string id;
        DEVINST parent = 0;
        std::vector<DEVINST> children;
        std::vector<std::pair<GUID, std::string>> interfaces;  // class, path
    };
    struct Watch {
        os::DeviceNoticeSinkIf* sink;
        uint64_t cookie;
        std::shared_ptr<SimController> controller;  // null: an interface-class watch
        uint32_t generation;
        GUID interfaceClass;
    };
    struct PendingNotice {
        os::DeviceWatch watch;
        os::DeviceNotice notice;
    };

    HandleEntry* findHandle(HANDLE handle);
    bool isLive(const HandleEntry& entry) const;
    HANDLE newHandle(HandleEntry entry);

    uint32_t freePort() const;
    bool portTaken(uint32_t port, const SimController* except) const;
    void attach(const std::shared_ptr<SimController>& controller);
    void detach(SimController& controller);
    DEVINST addNode(DEVINST parent, const std::string& id);
    void removeNode(DEVINST node);
    void buildTree(SimController& controller);

    bool answerPinProperty(HandleEntry& entry, void* inBuffer, DWORD inSize, void* outBuffer, DWORD outSize,
                           DWORD* bytesReturned, OVERLAPPED* overlapped);
    bool finishProperty(DWORD error, DWORD bytes, bool pend, DWORD* bytesReturned, OVERLAPPED* overlapped);
    bool submitStream(HandleEntry& entry, DWORD ioControlCode, void* outBuffer, DWORD outSize, DWORD* bytesReturned,
                      OVERLAPPED* overlapped);

    void refreshFromFile();
    void reportProblem(const BusFileProblem& problem);
    // Disabled bus-file lines of plugged controllers, asked to go once the
    // listing has let go of the lock.
    void removeRequestedByFile();

    // Notices are queued with the lock held and delivered without it.
    void queueDeviceNotices(const SimController& controller, os::DeviceNotice notice);
    void queueClassNotices(os::DeviceNotice notice);
    void deliverNotices();
    uint32_t openHandlesOf(const SimController& controller) const;
    // Completes the cancellations a device held back (Faults::lateCancel).
    void deliverLate();

    // A device whose pin creation takes a while (Faults::pinCreateDelayMs):
    // the caller waits that long without the lock, in the bus's time.
    void delayPinCreation(HANDLE filter);
    uint64_t now() const;
    void ensureClock();
    static uint32_t clockThreadMain(void* bus);
    void clockLoop();
    // Timed: completions wait for the time the device delivers them;
    // untimed (advanceFrames), everything finished completes at once.
    void serviceAll(bool timed);
    void catchUp(HandleEntry& entry);

    const ClockMode mode_;
    std::shared_ptr<os::RecursiveMutex> lock_;
    std::vector<std::shared_ptr<SimController>> controllers_;
    std::map<uintptr_t, HandleEntry> handles_;
    uintptr_t nextHandle_ = 0x1000;
    std::map<DEVINST, DeviceNode> nodes_;
    DEVINST nextNode_ = 1;
    DEVINST rootHub_ = 0;
    uint32_t nextGeneration_ = 1;

    std::string busFile_;
    std::string busFileText_;
    bool busFileRead_ = false;
    std::set<std::string> reported_;
    uint32_t warnings_ = 0;

    std::map<os::DeviceWatch, Watch> watches_;
    os::DeviceWatch nextWatch_ = 1;
    std::vector<PendingNotice> notices_;
    std::atomic<int> delivering_{0};
    std::vector<std::shared_ptr<SimController>> fileRemovals_;
    std::vector<LateCompletion> late_;
    uint64_t completionsAfterClose_ = 0;

    std::atomic<uint64_t> manualNs_{0};
    os::Handle clockThread_ = nullptr;
    os::Handle clockWake_ = nullptr;
    bool clockExited_ = false;
    bool stopClock_ = false;
    std::atomic<bool> clockHeld_{false};
    uint64_t idleSinceNs_ = 0;
};

// Installs a boundary as the process's for the lifetime of this object.
class ScopedDeviceBoundary {
public:
    explicit ScopedDeviceBoundary(os::DeviceBoundaryIf& boundary) { os::installDeviceBoundary(&boundary); }
    ~ScopedDeviceBoundary() { os::installDeviceBoundary(nullptr); }
    ScopedDeviceBoundary(const ScopedDeviceBoundary&) = delete;
    ScopedDeviceBoundary& operator=(const ScopedDeviceBoundary&) = delete;
};

}  // namespace sim
