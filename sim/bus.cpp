#include "sim/bus.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/errors.h"
#include "platform/trace.h"
#include "sim/model_catalog.h"

namespace sim {
namespace {

// A clock thread that has had nothing to run for this long ends itself, so
// an idle process (or a library being unloaded) holds no thread of ours.
constexpr uint64_t kClockIdleExitNs = 200ull * 1000 * 1000;
constexpr uint32_t kClockTickMs = 1;
// A delayed pin creation on the manual clock stops waiting for others to
// move the time after this long without a move.
constexpr uint64_t kPinDelayIdleNs = 500ull * 1000 * 1000;
constexpr uint32_t kClockJoinMs = 2000;

constexpr const char* kAudioInterfaceClass = "{6994ad04-93ef-11d0-a3cc-00a0c9223196}";
constexpr const char* kHidInterfaceClass = "{4d1e55b2-f16f-11cf-88cb-001111000030}";

bool sameTextNoCase(const std::string& a, const char* b) {
    const size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string lowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// "\\?\" + the instance id with '\' as '#' + "#{class}" + reference string,
// in lower case as the system hands interface paths out.
std::string interfacePathOf(const std::string& instanceId, const char* interfaceClass, const char* reference) {
    std::string path = "\\\\?\\";
    for (char c : instanceId) path.push_back(c == '\\' ? '#' : c);
    path += "#";
    path += interfaceClass;
    path += reference;
    return lowerCase(path);
}

std::string format(const char* pattern, unsigned a, unsigned b, unsigned c = 0, unsigned d = 0) {
    char text[160];
    std::snprintf(text, sizeof(text), pattern, a, b, c, d);
    return text;
}

// The per-port part of instance identifiers, as the system derives it from
// the parent and the port: a different port yields different ids and paths.
unsigned portHash(uint32_t port, unsigned salt) {
    uint32_t h = 0x2a1b3c4du ^ (port * 0x9E3779B1u) ^ (salt * 0x85EBCA6Bu);
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    return h;
}

DWORD aliasFlags(AliasState state) {
    switch (state) {
        case AliasState::Present:
            return SPINT_ACTIVE;
        case AliasState::Removed:
            return SPINT_REMOVED;
        case AliasState::Missing:
            return 0;
    }
    return 0;
}

}  // namespace

SimBus::SimBus(ClockMode mode) : mode_(mode), lock_(std::make_shared<os::RecursiveMutex>()) {
    const DEVINST root = addNode(0, "HTREE\\ROOT\\0");
    const DEVINST host = addNode(root, "ROOT\\SIMULATED_USB_HOST\\0000");
    rootHub_ = addNode(host, "USB\\ROOT_HUB30\\4&2d6f8e1c&0&0");
    clockWake_ = os::createEvent(false, false);
}

SimBus::~SimBus() {
    os::Handle thread = nullptr;
    {
        os::ScopedLock hold(*lock_);
        stopClock_ = true;
        thread = clockThread_;
        clockThread_ = nullptr;
    }
    if (thread != nullptr) {
        if (clockWake_ != nullptr) os::setEvent(clockWake_);
        // Bounded: in a library being unloaded an exiting thread may wait for
        // the loader, which the unloading thread holds; by then it has left
        // our code and only the handle remains.
        os::waitForOne(thread, kClockJoinMs);
        os::closeHandle(thread);
    }
    os::ScopedLock hold(*lock_);
    // Requests still queued point into their callers' memory: complete them
    // as cancelled rather than leave waiters hanging.
    for (auto& controller : controllers_) controller->config_.faults.lateCancel = false;
    for (auto& entry : handles_)
        if (entry.second.pin) entry.second.pin->cancelAll();
    deliverLate();
    for (auto& controller : controllers_) {
        controller->plugged_ = false;
        controller->pins_.clear();
    }
    if (clockWake_ != nullptr) os::closeHandle(clockWake_);
}

// ------------------------------------------------------------- controllers

std::shared_ptr<SimController> SimBus::plug(const ControllerConfig& config) {
    std::shared_ptr<SimController> controller;
    {
        os::ScopedLock hold(*lock_);
        if (config.serial.size() > kMaxSerialUnits || config.port > kMaxPort) return nullptr;
        ControllerConfig chosen = config;
        if (chosen.port == 0) chosen.port = freePort();
        if (chosen.port == 0 || portTaken(chosen.port, nullptr)) return nullptr;
        controller = std::make_shared<SimController>(lock_, chosen);
        controller->setFaults(chosen.faults);  // clamps the drift
        attach(controller);
    }
    deliverNotices();
    return controller;
}

bool SimBus::replug(const std::shared_ptr<SimController>& controller) {
    {
        os::ScopedLock hold(*lock_);
        if (!controller || controller->lock_ != lock_ || controller->plugged_) return false;
        if (portTaken(controller->config_.port, controller.get())) return false;
        attach(controller);
    }
    deliverNotices();
    return true;
}

bool SimBus::unplug(const std::shared_ptr<SimController>& controller) {
    {
        os::ScopedLock hold(*lock_);
        if (!controller || !controller->plugged_ || controller->lock_ != lock_) return false;
        detach(*controller);
    }
    deliverNotices();
    return true;
}

bool SimBus::move(const std::shared_ptr<SimController>& controller, uint32_t port) {
    {
        os::ScopedLock hold(*lock_);
        if (!controller || controller->lock_ != lock_ || port == 0 || port > kMaxPort) return false;
        if (portTaken(port, controller.get())) return false;
        if (controller->plugged_) detach(*controller);
        controller->config_.port = port;
        attach(controller);
    }
    deliverNotices();
    return true;
}

bool SimBus::setQelmLayout(const std::shared_ptr<SimController>& controller, QelmLayout layout) {
    {
        os::ScopedLock hold(*lock_);
        if (!controller || controller->lock_ != lock_ || controller->config_.model != Model::Qelm) return false;
        const bool wasPlugged = controller->plugged_;
        if (wasPlugged) detach(*controller);
        controller->config_.layout = layout;
        if (wasPlugged) attach(controller);
    }
    deliverNotices();
    return true;
}

std::vector<std::shared_ptr<SimController>> SimBus::controllers() const {
    os::ScopedLock hold(*lock_);
    return controllers_;
}

uint32_t SimBus::freePort() const {
    for (uint32_t port = 1; port <= kMaxPort; ++port)
        if (!portTaken(port, nullptr)) return port;
    return 0;
}

bool SimBus::portTaken(uint32_t port, const SimController* except) const {
    for (const auto& c : controllers_)
        if (c.get() != except && c->plugged_ && c->config_.port == port) return true;
    return false;
}

void SimBus::attach(const std::shared_ptr<SimController>& controller) {
    SimController& c = *controller;
    c.generation_ = nextGeneration_++;
    c.filter_ = describeFilter(c.config_);
    c.instances_.assign(c.filter_.pins.size(), 0);
    c.pins_.clear();
    buildTree(c);
    c.plugged_ = true;
    c.pluggedAtNs_ = now();
    if (std::find(controllers_.begin(), controllers_.end(), controller) == controllers_.end())
        controllers_.push_back(controller);
    TRACE("SimBus: %s %s plugged into port %u", modelInfo(c.config_.model).name, narrow(c.config_.serial).c_str(),
          c.config_.port);
    queueClassNotices(os::DeviceNotice::Arrival);
}

void SimBus::detach(SimController& c) {
    // Like a removed device: everything in flight fails, the handles die.
    queueDeviceNotices(c, os::DeviceNotice::RemoveComplete);
    queueClassNotices(os::DeviceNotice::RemoveComplete);
    for (StreamPin* pin : c.pins_) pin->failAll(ksabi::kStatusDeviceNotConnected);
    c.pins_.clear();
    std::fill(c.instances_.begin(), c.instances_.end(), 0u);
    for (auto it = c.nodes_.rbegin(); it != c.nodes_.rend(); ++it) removeNode(*it);
    c.nodes_.clear();
    c.audioNode_ = 0;
    c.plugged_ = false;
    controllers_.erase(std::remove_if(controllers_.begin(), controllers_.end(),
                                      [&](const std::shared_ptr<SimController>& p) { return p.get() == &c; }),
                       controllers_.end());
    TRACE("SimBus: %s %s unplugged", modelInfo(c.config_.model).name, narrow(c.config_.serial).c_str());
}

// ------------------------------------------------------------- device tree

DEVINST SimBus::addNode(DEVINST parent, const std::string& id) {
    const DEVINST node = nextNode_++;
    DeviceNode& n = nodes_[node];
    n.id = id;
    n.parent = parent;
    if (parent != 0) nodes_[parent].children.push_back(node);
    return node;
}

void SimBus::removeNode(DEVINST node) {
    auto it = nodes_.find(node);
    if (it == nodes_.end()) return;
    auto parent = nodes_.find(it->second.parent);
    if (parent != nodes_.end()) {
        auto& siblings = parent->second.children;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), node), siblings.end());
    }
    nodes_.erase(it);
}

void SimBus::buildTree(SimController& c) {
    const ModelInfo& m = modelInfo(c.config_.model);
    const uint32_t port = c.config_.port;
    c.hidPaths_.clear();
    c.aliasLessPaths_.clear();
    auto add = [&](DEVINST parent, const std::string& id) {
        const DEVINST node = addNode(parent, id);
        c.nodes_.push_back(node);
        return node;
    };
    auto addInterface = [&](DEVINST node, const GUID& interfaceClass, const std::string& path) {
        nodes_[node].interfaces.push_back({interfaceClass, path});
        return path;
    };
    auto addHid = [&](DEVINST parent, const std::string& id) {
        return addInterface(add(parent, id), ksabi::kHidInterfaceClass, interfacePathOf(id, kHidInterfaceClass, ""));
    };

    DEVINST functionParent = 0;
    if (m.behindHub) {
        // Hub inside the controller; the USB codec and the control device
        // hang off it side by side.
        const DEVINST hub = add(rootHub_, format("USB\\VID_2F9A&PID_01FF\\6&%08x&0&%u", portHash(port, 1), port));
        functionParent = add(hub, format("USB\\VID_%04X&PID_%04X\\7&%08x&0&1", m.vendorId, m.productId,
                                         portHash(port, 2)));
        const std::string serial = c.config_.faults.unreadableSerial ? std::string() : narrow(c.config_.serial);
        const DEVINST control =
            add(hub, format("USB\\VID_%04X&PID_%04X\\", m.controlVendorId, m.controlProductId) + serial);
        c.hidPaths_.push_back(addHid(control, format("HID\\VID_%04X&PID_%04X\\8&%08x&0&0000", m.controlVendorId,
                                                     m.controlProductId, portHash(port, 3))));
    } else {
        functionParent = add(rootHub_, format("USB\\VID_%04X&PID_%04X\\6&%08x&0&%u", m.vendorId, m.productId,
                                              portHash(port, 1), port));
    }

    const std::string audioId = format("USB\\VID_%04X&PID_%04X&MI_%02u\\", m.vendorId, m.productId, m.audioInterface) +
                                format("7&%08x&0&%04u", portHash(port, 4), m.audioInterface);
    c.audioNode_ = add(functionParent, audioId);
    c.interfacePath_ = addInterface(c.audioNode_, KSCATEGORY_AUDIO,
                                    interfacePathOf(audioId, kAudioInterfaceClass, "\\global"));
    // The audio function's topology filter: a KS audio interface too, with
    // neither a render nor a capture alias.
    c.aliasLessPaths_.push_back(addInterface(c.audioNode_, KSCATEGORY_AUDIO,
                                             interfacePathOf(audioId, kAudioInterfaceClass, "\\topology")));

    if (c.config_.model == Model::Qelm) {
        // Its MIDI function sits between audio and HID, so a walk has to skip
        // it; its KS interface has no render or capture alias either.
        const std::string midiId =
            format("USB\\VID_%04X&PID_%04X&MI_03\\7&%08x&0&0003", m.vendorId, m.productId, portHash(port, 5));
        c.aliasLessPaths_.push_back(addInterface(add(functionParent, midiId), KSCATEGORY_AUDIO,
                                                 interfacePathOf(midiId, kAudioInterfaceClass, "\\global")));
    }
    const DEVINST hidFunction =
        add(functionParent, format("USB\\VID_%04X&PID_%04X&MI_%02u\\", m.vendorId, m.productId, m.hidInterface) +
                                format("7&%08x&0&%04u", portHash(port, 6), m.hidInterface));
    const uint32_t collections = m.behindHub ? 1 : std::min<uint32_t>(std::max<uint32_t>(c.config_.hidCollections, 1), 9);
    for (uint32_t k = 0; k < collections; ++k) {
        // A device with several top-level collections has one HID device
        // node per collection, its identifier marked &Col01, &Col02, ...
        std::string id = format("HID\\VID_%04X&PID_%04X&MI_%02u", m.vendorId, m.productId, m.hidInterface);
        if (collections > 1) id += format("&Col%02u", k + 1, 0);
        id += format("\\8&%08x&0&%04u", portHash(port, 7), k);
        const std::string path = addHid(hidFunction, id);
        if (!m.behindHub) c.hidPaths_.push_back(path);
    }
}

CONFIGRET SimBus::cmGetParent(DEVINST* parent, DEVINST node, ULONG flags) {
    if (parent == nullptr) return CR_INVALID_POINTER;
    if (flags != 0) return CR_INVALID_FLAG;
    os::ScopedLock hold(*lock_);
    auto it = nodes_.find(node);
    if (it == nodes_.end()) return CR_INVALID_DEVNODE;
    if (it->second.parent == 0) return CR_NO_SUCH_DEVNODE;
    *parent = it->second.parent;
    return CR_SUCCESS;
}

CONFIGRET SimBus::cmGetChild(DEVINST* child, DEVINST node, ULONG flags) {
    if (child == nullptr) return CR_INVALID_POINTER;
    if (flags != 0) return CR_INVALID_FLAG;
    os::ScopedLock hold(*lock_);
    auto it = nodes_.find(node);
    if (it == nodes_.end()) return CR_INVALID_DEVNODE;
    if (it->second.children.empty()) return CR_NO_SUCH_DEVNODE;
    *child = it->second.children.front();
    return CR_SUCCESS;
}

CONFIGRET SimBus::cmGetSibling(DEVINST* sibling, DEVINST node, ULONG flags) {
    if (sibling == nullptr) return CR_INVALID_POINTER;
    if (flags != 0) return CR_INVALID_FLAG;
    os::ScopedLock hold(*lock_);
    auto it = nodes_.find(node);
    if (it == nodes_.end()) return CR_INVALID_DEVNODE;
    auto parent = nodes_.find(it->second.parent);
    if (parent == nodes_.end()) return CR_NO_SUCH_DEVNODE;
    const auto& siblings = parent->second.children;
    auto self = std::find(siblings.begin(), siblings.end(), node);
    if (self == siblings.end() || self + 1 == siblings.end()) return CR_NO_SUCH_DEVNODE;
    *sibling = *(self + 1);
    return CR_SUCCESS;
}

CONFIGRET SimBus::cmGetDeviceIdSize(ULONG* size, DEVINST node, ULONG flags) {
    if (size == nullptr) return CR_INVALID_POINTER;
    if (flags != 0) return CR_INVALID_FLAG;
    os::ScopedLock hold(*lock_);
    auto it = nodes_.find(node);
    if (it == nodes_.end()) return CR_INVALID_DEVNODE;
    *size = static_cast<ULONG>(it->second.id.size());
    return CR_SUCCESS;
}

CONFIGRET SimBus::cmGetDeviceId(DEVINST node, char* buffer, ULONG bufferLength, ULONG flags) {
    if (buffer == nullptr) return CR_INVALID_POINTER;
    if (flags != 0) return CR_INVALID_FLAG;
    os::ScopedLock hold(*lock_);
    auto it = nodes_.find(node);
    if (it == nodes_.end()) return CR_INVALID_DEVNODE;
    const std::string& id = it->second.id;
    if (bufferLength < id.size()) return CR_BUFFER_SMALL;
    std::memcpy(buffer, id.data(), id.size());
    // Like the system: the terminator only when there is room for it.
    if (bufferLength > id.size()) buffer[id.size()] = '\0';
    return CR_SUCCESS;
}

CONFIGRET SimBus::cmGetDeviceInterfaceList(const GUID& interfaceClass, const char* deviceId,
                                           std::vector<std::string>& paths) {
    paths.clear();
    if (deviceId == nullptr) return CR_INVALID_POINTER;
    os::ScopedLock hold(*lock_);
    for (const auto& node : nodes_) {
        if (!sameTextNoCase(node.second.id, deviceId)) continue;
        for (const auto& entry : node.second.interfaces)
            if (os::guidEquals(entry.first, interfaceClass)) paths.push_back(entry.second);
        return CR_SUCCESS;
    }
    return CR_NO_SUCH_DEVNODE;
}

// ------------------------------------------------------------------ listing

bool SimBus::listAudioInterfaces(std::vector<os::AudioInterfaceInfo>& interfaces) {
    interfaces.clear();
    {
        os::ScopedLock hold(*lock_);
        refreshFromFile();
    }
    removeRequestedByFile();
    deliverNotices();
    os::ScopedLock hold(*lock_);
    std::vector<SimController*> plugged;
    for (const auto& c : controllers_)
        if (c->plugged_) plugged.push_back(c.get());
    std::sort(plugged.begin(), plugged.end(),
              [](const SimController* a, const SimController* b) { return a->config_.port < b->config_.port; });
    for (const SimController* c : plugged) {
        if (c->config_.faults.aliasLessFirst) {
            // The system lists a device's interfaces in no promised order;
            // its topology and MIDI filters may well come first.
            for (const std::string& path : c->aliasLessPaths_) {
                os::AudioInterfaceInfo alone;
                alone.path = path;
                alone.deviceInstance = c->audioNode_;
                interfaces.push_back(std::move(alone));
            }
        }
        os::AudioInterfaceInfo info;
        info.path = c->interfacePath_;
        info.deviceInstance = c->audioNode_;
        info.renderAliasFlags = aliasFlags(c->config_.renderAlias);
        info.captureAliasFlags = c->filter_.capturePin >= 0 ? aliasFlags(c->config_.captureAlias) : 0;
        interfaces.push_back(std::move(info));
    }
    return true;
}

// ------------------------------------------------------------------ handles

SimBus::HandleEntry* SimBus::findHandle(HANDLE handle) {
    auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
    return it == handles_.end() ? nullptr : &it->second;
}

bool SimBus::isLive(const HandleEntry& entry) const {
    return entry.controller->plugged_ && entry.controller->generation_ == entry.generation;
}

HANDLE SimBus::newHandle(HandleEntry entry) {
    const uintptr_t value = nextHandle_;
    nextHandle_ += 4;  // never reused, so a stale handle never reaches a newer object
    handles_.emplace(value, std::move(entry));
    return reinterpret_cast<HANDLE>(value);
}

HANDLE SimBus::openDevice(const char* path, DWORD desiredAccess, DWORD shareMode, DWORD creationDisposition,
                          DWORD flagsAndAttributes) {
    // KS filters may be opened many times whatever the sharing asked for;
    // access and flags do not change what the simulation does.
    (void)desiredAccess;
    (void)shareMode;
    (void)flagsAndAttributes;
    if (path == nullptr) {
        os::setLastError(os::kErrorInvalidParameter);
        return INVALID_HANDLE_VALUE;
    }
    os::ScopedLock hold(*lock_);
    if (creationDisposition != OPEN_EXISTING) {
        os::setLastError(os::kErrorAccessDenied);
        return INVALID_HANDLE_VALUE;
    }
    for (const auto& c : controllers_) {
        if (!c->plugged_) continue;
        const bool filter = sameTextNoCase(c->interfacePath_, path);
        bool hid = false;
        for (const std::string& hidPath : c->hidPaths_) hid = hid || (!filter && sameTextNoCase(hidPath, path));
        if (!filter && !hid) continue;
        uint32_t& fault = filter ? c->config_.faults.failOpen : c->config_.faults.failHidOpen;
        if (SimController::consume(fault)) {
            TRACE("SimBus: injected open failure for %s", path);
            os::setLastError(os::kErrorGenFailure);
            return INVALID_HANDLE_VALUE;
        }
        HANDLE handle = newHandle({filter ? HandleKind::Filter : HandleKind::Hid, c, c->generation_, nullptr});
        os::setLastError(0);
        return handle;
    }
    os::setLastError(os::kErrorFileNotFound);
    return INVALID_HANDLE_VALUE;
}

bool SimBus::closeDevice(HANDLE device) {
    os::ScopedLock hold(*lock_);
    auto it = handles_.find(reinterpret_cast<uintptr_t>(device));
    if (it == handles_.end()) {
        os::setLastError(os::kErrorInvalidHandle);
        return false;
    }
    HandleEntry& entry = it->second;
    if (entry.pin) {
        SimController& c = *entry.controller;
        if (isLive(entry) && entry.pin->state() != KSSTATE_STOP) ++c.pinsClosedUnstopped_;
        entry.pin->cancelAll();
        if (isLive(entry)) {
            c.pins_.erase(std::remove(c.pins_.begin(), c.pins_.end(), entry.pin.get()), c.pins_.end());
            const uint32_t pinId = entry.pin->pinId();
            if (pinId < c.instances_.size() && c.instances_[pinId] > 0) --c.instances_[pinId];
        }
    }
    handles_.erase(it);
    return true;
}

void SimBus::delayPinCreation(HANDLE filter) {
    uint32_t delayMs = 0;
    {
        os::ScopedLock hold(*lock_);
        HandleEntry* entry = findHandle(filter);
        if (entry != nullptr && entry->kind == HandleKind::Filter) delayMs = entry->controller->config_.faults.pinCreateDelayMs;
    }
    if (delayMs == 0) return;
    if (mode_ == ClockMode::RealTime) {
        os::sleepMs(delayMs);
        return;
    }
    // The manual clock's time passes while others move it (a virtual clock
    // streaming on); when nobody does, the call lets it pass itself, as a
    // device that keeps its caller waiting would.
    const uint64_t target = manualNs_.load() + uint64_t(delayMs) * 1000000ull;
    uint64_t seen = manualNs_.load();
    uint64_t idleSince = os::nanoseconds();
    for (;;) {
        const uint64_t now = manualNs_.load();
        if (now >= target) return;
        if (now != seen) {
            seen = now;
            idleSince = os::nanoseconds();
        } else if (os::nanoseconds() - idleSince > kPinDelayIdleNs) {
            advanceTime(target - now);
            return;
        }
        os::sleepMs(1);
    }
}

DWORD SimBus::ksCreatePin(HANDLE filter, const KSPIN_CONNECT* connect, DWORD desiredAccess, HANDLE* pin) {
    (void)desiredAccess;
    delayPinCreation(filter);
    os::ScopedLock hold(*lock_);
    HandleEntry* entry = findHandle(filter);
    if (entry == nullptr || entry->kind != HandleKind::Filter) return os::kErrorInvalidHandle;
    if (pin == nullptr || connect == nullptr) return os::kErrorInvalidParameter;
    if (!isLive(*entry)) return os::kErrorDeviceNotConnected;
    SimController& c = *entry->controller;
    if (SimController::consume(c.config_.faults.failPinCreate)) {
        TRACE("SimBus: injected pin creation failure");
        return os::kErrorGenFailure;
    }
    StreamFormat format;
    uint32_t pinId = 0;
    const DWORD error = checkConnection(c.filter_, c.config_.faults, connect, &format, &pinId);
    if (error != 0) return error;
    // Held by another program: the class driver refuses a further instance.
    if (c.config_.faults.inUse) return kErrorBadCommand;
    if (c.instances_[pinId] >= c.filter_.pins[pinId].possibleInstances) return kErrorBusy;

    KSDATAFORMAT dataFormat;
    std::memcpy(&dataFormat, connect + 1, sizeof(dataFormat));
    const uint8_t* formatBytes = reinterpret_cast<const uint8_t*>(connect + 1);
    std::vector<uint8_t> copy(formatBytes, formatBytes + dataFormat.FormatSize);
    auto streamPin =
        std::make_shared<StreamPin>(c, pinId, c.filter_.pins[pinId].capture, format, std::move(copy), &late_);
    c.pins_.push_back(streamPin.get());
    ++c.instances_[pinId];
    *pin = newHandle({HandleKind::Pin, entry->controller, entry->generation, streamPin});
    streamPin->setHandle(reinterpret_cast<uintptr_t>(*pin));
    return 0;
}

// ---------------------------------------------------------------- requests

bool SimBus::deviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inSize, void* outBuffer,
                             DWORD outSize, DWORD* bytesReturned, OVERLAPPED* overlapped) {
    os::ScopedLock hold(*lock_);
    HandleEntry* entry = findHandle(device);
    if (entry == nullptr) {
        os::setLastError(os::kErrorInvalidHandle);
        return false;
    }
    if (entry->kind == HandleKind::Hid) {
        os::setLastError(os::kErrorInvalidFunction);
        return false;
    }
    if (overlapped == nullptr) {
        // Every KS handle is open for overlapped I/O.
        os::setLastError(os::kErrorInvalidParameter);
        return false;
    }
    if (!isLive(*entry)) {
        os::setLastError(os::kErrorDeviceNotConnected);
        return false;
    }
    if (ioControlCode == IOCTL_KS_PROPERTY) {
        if (entry->kind == HandleKind::Pin)
            return answerPinProperty(*entry, inBuffer, inSize, outBuffer, outSize, bytesReturned, overlapped);
        const SimController& c = *entry->controller;
        const PropertyReply reply =
            answerFilterProperty(c.filter_, c.instances_, c.config_.faults, inBuffer, inSize, outBuffer, outSize);
        return finishProperty(reply.error, reply.bytes, c.config_.faults.pendPropertyRequests, bytesReturned,
                              overlapped);
    }
    if ((ioControlCode == IOCTL_KS_READ_STREAM || ioControlCode == IOCTL_KS_WRITE_STREAM) &&
        entry->kind == HandleKind::Pin)
        return submitStream(*entry, ioControlCode, outBuffer, outSize, bytesReturned, overlapped);
    os::setLastError(os::kErrorInvalidFunction);
    return false;
}

bool SimBus::finishProperty(DWORD error, DWORD bytes, bool pend, DWORD* bytesReturned, OVERLAPPED* overlapped) {
    const os::Handle event = ksabi::completionEvent(*overlapped);
    const bool warning = error == os::kErrorMoreData;  // STATUS_BUFFER_OVERFLOW completes the request
    if (error != 0 && !warning) {
        if (bytesReturned != nullptr && error == os::kErrorInsufficientBuffer) *bytesReturned = bytes;
        os::setLastError(error);
        return false;
    }
    overlapped->Internal = warning ? ksabi::kStatusBufferOverflow : ksabi::kStatusSuccess;
    overlapped->InternalHigh = bytes;
    if (bytesReturned != nullptr) *bytesReturned = bytes;
    if (event != nullptr) os::setEvent(event);
    if (warning) {
        os::setLastError(error);
        return false;
    }
    if (pend) {
        os::setLastError(os::kErrorIoPending);
        return false;
    }
    os::setLastError(0);
    return true;
}

bool SimBus::answerPinProperty(HandleEntry& entry, void* inBuffer, DWORD inSize, void* outBuffer, DWORD outSize,
                               DWORD* bytesReturned, OVERLAPPED* overlapped) {
    const bool pend = entry.controller->config_.faults.pendPropertyRequests;
    if (inBuffer == nullptr || inSize < sizeof(KSPROPERTY) || (outBuffer == nullptr && outSize != 0))
        return finishProperty(os::kErrorInvalidParameter, 0, false, bytesReturned, overlapped);
    KSPROPERTY property;
    std::memcpy(&property, inBuffer, sizeof(property));
    if (!os::guidEquals(property.Set, KSPROPSETID_Connection))
        return finishProperty(kErrorSetNotFound, 0, false, bytesReturned, overlapped);
    StreamPin& pin = *entry.pin;
    const bool get = (property.Flags & KSPROPERTY_TYPE_GET) != 0;
    const bool set = (property.Flags & KSPROPERTY_TYPE_SET) != 0;

    if (property.Id == KSPROPERTY_CONNECTION_STATE) {
        if (outSize == 0)
            return finishProperty(os::kErrorMoreData, sizeof(ULONG), false, bytesReturned, overlapped);
        if (outSize < sizeof(ULONG))
            return finishProperty(os::kErrorInsufficientBuffer, sizeof(ULONG), false, bytesReturned, overlapped);
        if (get) {
            const ULONG state = static_cast<ULONG>(pin.state());
            std::memcpy(outBuffer, &state, sizeof(state));
            return finishProperty(0, sizeof(state), pend, bytesReturned, overlapped);
        }
        if (set) {
            // The value of a set travels in the output buffer.
            ULONG state = 0;
            std::memcpy(&state, outBuffer, sizeof(state));
            if (state > KSSTATE_RUN)
                return finishProperty(os::kErrorInvalidParameter, 0, false, bytesReturned, overlapped);
            const uint64_t t = now();
            pin.advanceTo(t, entry.controller->driftPpbAt(t));
            const DWORD error = pin.setState(static_cast<KSSTATE>(state), t);
            if (error != 0) return finishProperty(error, 0, false, bytesReturned, overlapped);
            if (state == KSSTATE_RUN && mode_ == ClockMode::RealTime) ensureClock();
            return finishProperty(0, 0, pend, bytesReturned, overlapped);
        }
        return finishProperty(os::kErrorNotFound, 0, false, bytesReturned, overlapped);
    }
    const uint32_t framing = entry.controller->config_.faults.framingBytes;
    if (property.Id == KSPROPERTY_CONNECTION_ALLOCATORFRAMING && get && framing != 0) {
        KSALLOCATOR_FRAMING value;
        std::memset(&value, 0, sizeof(value));
        value.RequirementsFlags = KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY;
        value.Frames = 2;
        value.FrameSize = framing;
        if (outSize == 0) return finishProperty(os::kErrorMoreData, sizeof(value), false, bytesReturned, overlapped);
        if (outSize < sizeof(value))
            return finishProperty(os::kErrorInsufficientBuffer, sizeof(value), false, bytesReturned, overlapped);
        std::memcpy(outBuffer, &value, sizeof(value));
        return finishProperty(0, sizeof(value), pend, bytesReturned, overlapped);
    }
    if (property.Id == KSPROPERTY_CONNECTION_DATAFORMAT && get) {
        const std::vector<uint8_t>& format = pin.dataFormat();
        const DWORD needed = static_cast<DWORD>(format.size());
        if (outSize == 0) return finishProperty(os::kErrorMoreData, needed, false, bytesReturned, overlapped);
        if (outSize < needed)
            return finishProperty(os::kErrorInsufficientBuffer, needed, false, bytesReturned, overlapped);
        std::memcpy(outBuffer, format.data(), needed);
        return finishProperty(0, needed, pend, bytesReturned, overlapped);
    }
    return finishProperty(os::kErrorNotFound, 0, false, bytesReturned, overlapped);
}

bool SimBus::submitStream(HandleEntry& entry, DWORD ioControlCode, void* outBuffer, DWORD outSize,
                          DWORD* bytesReturned, OVERLAPPED* overlapped) {
    StreamPin& pin = *entry.pin;
    SimController& c = *entry.controller;
    const bool write = ioControlCode == IOCTL_KS_WRITE_STREAM;
    if (bytesReturned != nullptr) *bytesReturned = 0;
    if (write == pin.isCapture()) {
        os::setLastError(os::kErrorInvalidFunction);
        return false;
    }
    KSSTREAM_HEADER* header = static_cast<KSSTREAM_HEADER*>(outBuffer);
    if (header == nullptr || outSize < sizeof(KSSTREAM_HEADER) || header->Size < sizeof(KSSTREAM_HEADER) ||
        header->Size > outSize || header->DataUsed > header->FrameExtent ||
        (header->FrameExtent != 0 && header->Data == nullptr)) {
        os::setLastError(os::kErrorInvalidParameter);
        return false;
    }
    if (write && SimController::consume(c.config_.faults.crcWrites)) {
        TRACE("SimBus: injected ERROR_CRC on a write");
        os::setLastError(os::kErrorCrc);
        return false;
    }
    // The hardware has played (or recorded) up to now before this packet
    // joins its queue: one that comes after the queue ran out leaves a gap.
    catchUp(entry);
    const DWORD result = pin.submit(header, overlapped);
    os::setLastError(result);
    // A packet whose clock time has already come (or an empty one)
    // completes at the next service; a manual clock serves it right away.
    if (mode_ == ClockMode::Manual) pin.service(now(), true, c.driftPpbAt(now()));
    return false;
}

bool SimBus::getOverlappedResult(HANDLE device, OVERLAPPED* overlapped, DWORD* bytesTransferred, bool wait) {
    if (overlapped == nullptr) {
        os::setLastError(os::kErrorInvalidParameter);
        return false;
    }
    const os::Handle event = ksabi::completionEvent(*overlapped);
    for (;;) {
        uint32_t status = 0;
        ULONG_PTR bytes = 0;
        {
            os::ScopedLock hold(*lock_);
            deliverLate();
            HandleEntry* entry = findHandle(device);
            if (entry != nullptr) catchUp(*entry);
            if (entry == nullptr && overlapped->Internal == ksabi::kStatusPending) {
                os::setLastError(os::kErrorInvalidHandle);
                return false;
            }
            status = static_cast<uint32_t>(overlapped->Internal);
            bytes = overlapped->InternalHigh;
        }
        if (status != ksabi::kStatusPending) {
            if (bytesTransferred != nullptr) *bytesTransferred = static_cast<DWORD>(bytes);
            const uint32_t error = ksabi::win32ErrorFromStatus(status);
            os::setLastError(error);
            return error == 0;
        }
        if (!wait) {
            os::setLastError(os::kErrorIoIncomplete);
            return false;
        }
        if (event != nullptr)
            os::waitForOne(event, 10);
        else
            os::sleepMs(1);
    }
}

bool SimBus::cancelIo(HANDLE device) {
    os::ScopedLock hold(*lock_);
    HandleEntry* entry = findHandle(device);
    if (entry == nullptr) {
        os::setLastError(os::kErrorInvalidHandle);
        return false;
    }
    if (entry->pin) entry->pin->cancelAll();
    return true;
}

bool SimBus::hidGetSerialNumberString(HANDLE hidDevice, void* buffer, ULONG bufferBytes) {
    os::ScopedLock hold(*lock_);
    HandleEntry* entry = findHandle(hidDevice);
    if (entry == nullptr || entry->kind != HandleKind::Hid) {
        os::setLastError(os::kErrorInvalidHandle);
        return false;
    }
    if (!isLive(*entry)) {
        os::setLastError(os::kErrorDeviceNotConnected);
        return false;
    }
    const SimController& c = *entry->controller;
    if (c.config_.faults.unreadableSerial) {
        os::setLastError(os::kErrorGenFailure);
        return false;
    }
    const std::u16string& serial = c.config_.serial;
    const size_t units = std::min(serial.size(), kMaxSerialUnits);
    if (buffer == nullptr || bufferBytes < units * 2) {
        os::setLastError(os::kErrorInsufficientBuffer);
        return false;
    }
    uint8_t* out = static_cast<uint8_t*>(buffer);
    for (size_t i = 0; i < units; ++i) {
        out[2 * i] = static_cast<uint8_t>(serial[i] & 0xFF);
        out[2 * i + 1] = static_cast<uint8_t>(serial[i] >> 8);
    }
    if (bufferBytes >= units * 2 + 2) {
        out[2 * units] = 0;
        out[2 * units + 1] = 0;
    }
    os::setLastError(0);
    return true;
}

// ------------------------------------------------------------------- clock

uint64_t SimBus::now() const { return mode_ == ClockMode::Manual ? manualNs_.load() : os::nanoseconds(); }

void SimBus::serviceAll(bool timed) {
    deliverLate();
    const uint64_t t = now();
    for (const auto& c : controllers_) {
        const int64_t drift = c->driftPpbAt(t);
        for (StreamPin* pin : c->pins_) {
            if (mode_ == ClockMode::RealTime) pin->advanceTo(t, drift);
            pin->service(t, timed, drift);
        }
    }
}

void SimBus::catchUp(HandleEntry& entry) {
    // A device runs on its own clock however late the process's threads are:
    // on the real-time clock a pin is brought up to now before the driver
    // looks at its requests or queues one, so that it finds what the
    // hardware did by now, even when the clock thread has not run for a
    // while (a loaded machine). The manual clock moves only when told.
    if (mode_ != ClockMode::RealTime || !entry.pin || !isLive(entry)) return;
    const uint64_t t = now();
    const int64_t drift = entry.controller->driftPpbAt(t);
    entry.pin->advanceTo(t, drift);
    entry.pin->service(t, true, drift);
}

void SimBus::advanceFrames(uint64_t frames) {
    os::ScopedLock hold(*lock_);
    if (mode_ != ClockMode::Manual) return;
    for (const auto& c : controllers_)
        for (StreamPin* pin : c->pins_) pin->advanceFrames(frames, c->driftPpbAt(manualNs_.load()));
    serviceAll(false);
}

void SimBus::advanceTime(uint64_t nanoseconds) {
    os::ScopedLock hold(*lock_);
    if (mode_ != ClockMode::Manual) return;
    const uint64_t start = manualNs_;
    manualNs_ += nanoseconds;
    for (const auto& c : controllers_) {
        const int64_t drift = c->driftPpbAt(start);
        for (StreamPin* pin : c->pins_) pin->advanceTo(manualNs_, drift);
    }
    serviceAll(true);
}

uint64_t SimBus::timeNs() const {
    os::ScopedLock hold(*lock_);
    return now();
}

uint64_t SimBus::nanosecondsToNextCompletion() const {
    os::ScopedLock hold(*lock_);
    if (!late_.empty()) return 0;
    const uint64_t t = now();
    uint64_t next = StreamPin::kNever;
    for (const auto& c : controllers_) {
        const int64_t drift = c->driftPpbAt(t);
        for (const StreamPin* pin : c->pins_) next = std::min(next, pin->nextCompletionNs(t, drift));
    }
    if (next == StreamPin::kNever) return kNoCompletion;
    return next > t ? next - t : 0;
}

bool SimBus::clockRunning() const {
    os::ScopedLock hold(*lock_);
    return clockThread_ != nullptr && !clockExited_;
}

void SimBus::ensureClock() {
    if (stopClock_ || clockWake_ == nullptr) return;
    if (clockThread_ != nullptr && !clockExited_) return;
    if (clockThread_ != nullptr) {
        // It has decided to end and needs no lock any more: only its return is left.
        os::waitForOne(clockThread_, os::kInfinite);
        os::closeHandle(clockThread_);
        clockThread_ = nullptr;
    }
    clockExited_ = false;
    idleSinceNs_ = os::nanoseconds();
    // The thread stands for hardware, which no load on the machine holds up:
    // it runs at the streaming thread's priority.
    clockThread_ = os::createThread(&SimBus::clockThreadMain, this, false, os::ThreadPriority::TimeCritical);
    if (clockThread_ == nullptr) TRACE("SimBus: the clock thread cannot be created");
}

uint32_t SimBus::clockThreadMain(void* bus) {
    static_cast<SimBus*>(bus)->clockLoop();
    return 0;
}

void SimBus::clockLoop() {
    for (;;) {
        os::waitForOne(clockWake_, kClockTickMs);
        os::ScopedLock hold(*lock_);
        if (stopClock_) {
            clockExited_ = true;
            return;
        }
        if (clockHeld_.load()) {
            idleSinceNs_ = os::nanoseconds();
            continue;
        }
        serviceAll(true);
        bool running = false;
        for (const auto& c : controllers_)
            for (const StreamPin* pin : c->pins_) running = running || pin->state() == KSSTATE_RUN;
        const uint64_t t = os::nanoseconds();
        if (running) {
            idleSinceNs_ = t;
        } else if (t - idleSinceNs_ > kClockIdleExitNs) {
            clockExited_ = true;
            return;
        }
    }
}

// ----------------------------------------------------------------- bus file

void SimBus::setBusFile(const std::string& path) {
    os::ScopedLock hold(*lock_);
    busFile_ = path;
    busFileRead_ = false;
    refreshFromFile();
}

uint32_t SimBus::busFileWarnings() const {
    os::ScopedLock hold(*lock_);
    return warnings_;
}

void SimBus::reportProblem(const BusFileProblem& problem) {
    const std::string key = problem.text + "\n" + problem.reason;
    if (!reported_.insert(key).second) return;
    ++warnings_;
    TRACE("SimBus: bus file %s line %u skipped (%s): %s", busFile_.c_str(), problem.line, problem.reason.c_str(),
          problem.text.c_str());
}

void SimBus::refreshFromFile() {
    if (busFile_.empty()) return;
    std::string text;
    if (!readBusFile(busFile_, &text)) text.clear();  // no file: nothing attached
    if (busFileRead_ && text == busFileText_) return;
    busFileRead_ = true;
    busFileText_ = text;

    const BusFileContents contents = parseBusFile(text);
    for (const BusFileProblem& problem : contents.problems) reportProblem(problem);

    auto sameUnit = [](const ControllerConfig& a, const ControllerConfig& b) {
        return a.model == b.model && a.serial == b.serial;
    };
    std::vector<std::shared_ptr<SimController>> fileControllers;
    for (const auto& c : controllers_)
        if (c->fromFile_) fileControllers.push_back(c);

    // First let go of what left the file or changed its place, so that two
    // units can swap ports in one edit.
    std::vector<std::pair<std::shared_ptr<SimController>, const BusFileEntry*>> toAttach;
    for (const auto& c : fileControllers) {
        const BusFileEntry* wanted = nullptr;
        for (const BusFileEntry& e : contents.controllers)
            if (sameUnit(e.config, c->config_)) wanted = &e;
        if (wanted == nullptr) {
            detach(*c);
            continue;
        }
        const ControllerConfig& w = wanted->config;
        const bool replace = w.port != c->config_.port || w.layout != c->config_.layout ||
                             w.renderAlias != c->config_.renderAlias || w.captureAlias != c->config_.captureAlias ||
                             w.renderRanges != c->config_.renderRanges ||
                             w.captureRanges != c->config_.captureRanges ||
                             w.hidCollections != c->config_.hidCollections;
        // Loopback changes as the file says, without a re-plug.
        c->config_.loopback = w.loopback;
        c->config_.loopbackDelayFrames = w.loopbackDelayFrames;
        if (w.faults != c->fileFaults_) {
            // Only an edited fault line resets the counters; a re-read does not.
            c->fileFaults_ = w.faults;
            c->setFaults(w.faults);
        }
        if (w.disabled) {
            // Disabling asks the driver to let go first; that happens once
            // the listing has released the lock.
            fileRemovals_.push_back(c);
        } else if (replace) {
            detach(*c);
            toAttach.push_back({c, wanted});
        }
    }
    for (const BusFileEntry& e : contents.controllers) {
        bool known = false;
        for (const auto& c : fileControllers)
            if (sameUnit(e.config, c->config_)) known = true;
        if (!known && !e.config.disabled) {
            auto c = std::make_shared<SimController>(lock_, e.config);
            c->fromFile_ = true;
            c->fileFaults_ = e.config.faults;
            c->setFaults(e.config.faults);
            toAttach.push_back({c, &e});
        }
    }
    for (auto& item : toAttach) {
        SimController& c = *item.first;
        const Faults liveFaults = c.config_.faults;
        c.config_ = item.second->config;
        c.config_.faults = liveFaults;
        if (portTaken(c.config_.port, &c)) {
            reportProblem({item.second->line, "", "port " + std::to_string(c.config_.port) + " is in use"});
            continue;
        }
        attach(item.first);
    }
}

}  // namespace sim
