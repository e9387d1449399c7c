// Random call sequences through the driver object's IASIO table, as hosts
// make them and as no host should: every method with odd arguments,
// createBuffers with odd channel lists and sizes, Release at any point,
// stop and disposeBuffers from a second thread, calls from inside the
// buffer switch, and simulated units plugged and pulled between calls. The
// driver streams the real composite device over a simulated bus on the
// virtual clock, so time runs only where the input says.
//
// Checked: no crash, no hang (every wait is bounded), no buffer switch
// before start or after stop (or disposeBuffers, or the last Release) has
// returned, buffers of the size the host asked for, and every answer the
// driver's state machine gives, against a model of that state machine
// (fuzz/driver_call_script.h describes the input).
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "brands/asio_device_registry.h"
#include "brands/brand_vexa.h"
#include "brands/memory_settings_store.h"
#include "devices/vexa_device_models.h"
#include "driver/driver_backend.h"
#include "driver/win_asio.h"
#include "engine/composite_ks_audio_device.h"
#include "engine/composite_virtual_clock.h"
#include "fuzz/driver_call_script.h"
#include "platform/os.h"
#include "sim/bus.h"

using namespace driverfuzz;

#define REQUIRE(condition)                                                                  \
    do {                                                                                    \
        if (!(condition)) {                                                                 \
            std::fprintf(stderr, "%s:%d: requirement failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                   \
        }                                                                                   \
    } while (0)

namespace {

constexpr uint64_t kMs = 1000000;
// Real time a wait of the virtual clock may take before it counts as a hang.
constexpr uint32_t kHangMs = 10000;
constexpr size_t kMaxUnits = 6;
constexpr size_t kMaxOperations = 96;
constexpr uint32_t kBytesPerSample = 2;  // the shipped brand's 16 bits

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool done() const { return at_ >= size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    int8_t signedByte() { return static_cast<int8_t>(byte()); }
    template <class T>
    T raw() {
        uint8_t bytes[sizeof(T)];
        for (uint8_t& b : bytes) b = byte();
        T value;
        std::memcpy(&value, bytes, sizeof(T));
        return value;
    }
    double rate() {
        const uint8_t pick = byte();
        return pick < 8 ? kRates[pick] : raw<double>();
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// Everything one input runs on: a simulated bus on a manual clock, the
// virtual clock over it, settings in memory.
struct Session {
    sim::SimBus bus{sim::ClockMode::Manual};
    sim::ScopedDeviceBoundary boundary{bus};
    VirtualCompositeClock clock{bus};
    MemorySettingsStore store;
    // Set while the driver object holds them (the backend clears them).
    std::atomic<AsioDeviceRegistry*> registry{nullptr};
    std::atomic<CompositeKsAudioDevice*> device{nullptr};
    std::vector<std::shared_ptr<sim::SimController>> units;
    uint32_t serials = 0;
};

// The driver object's backend: the ASIO device registry over QELM units,
// enumerated by the fuzzer (no polling thread), and the composite device on
// the virtual clock.
class FuzzBackend final : public DriverBackendIf {
public:
    explicit FuzzBackend(Session& session) : session_(session) {}
    ~FuzzBackend() override {
        session_.registry = nullptr;
        delete registry_;
    }
    bool initialize() override {
        DeviceModelIf* models[] = {new VexaQelmDeviceModel};
        registry_ = new AsioDeviceRegistry(1, models, session_.store);
        registry_->enumerateDevices();
        session_.registry = registry_;
        return true;
    }
    AudioDeviceIf* createAudioDevice() override {
        HRESULT result = E_FAIL;
        auto* device = new CompositeKsAudioDevice(registry_, &result, &session_.clock);
        REQUIRE(result == S_OK);
        session_.device = device;
        return device;
    }
    void releaseAudioDevice(AudioDeviceIf* device) override {
        session_.device = nullptr;
        delete device;
    }

private:
    Session& session_;
    AsioDeviceRegistry* registry_ = nullptr;
};

// The host side: its callbacks, the buffers it got, and what it does
// inside the buffer switch. The callbacks run on the streaming thread.
struct Host {
    IASIO* driver = nullptr;
    ASIOCallbacks callbacks = {};
    bool takesTimeInfo = false;
    // The records of the createBuffers that made the buffers, and the size.
    std::vector<ASIOBufferInfo> infos;
    int32_t frames = 0;
    // A switch is allowed from start until stop (or disposeBuffers, or the
    // last Release) has returned.
    std::atomic<bool> mayCall{false};
    // Actions inside the switch run only while the fuzzer lets time run.
    std::atomic<bool> timeRuns{false};
    std::atomic<int> action{-1};
    std::atomic<int> actionTaken{-1};
    std::atomic<ASIOError> actionResult{ASE_OK};
    std::atomic<uint64_t> switches{0};
};
Host* host = nullptr;

void checkAndTouchHalf(int32_t half) {
    REQUIRE(host->mayCall.load());
    REQUIRE(half == 0 || half == 1);
    const size_t bytes = static_cast<size_t>(host->frames) * kBytesPerSample;
    uint32_t sum = 0;
    for (const ASIOBufferInfo& info : host->infos) {
        uint8_t* buffer = static_cast<uint8_t*>(info.buffers[half]);
        REQUIRE(buffer != nullptr);
        if (info.isInput != ASIOFalse) {
            for (size_t i = 0; i < bytes; ++i) sum += buffer[i];
        } else {
            std::memset(buffer, 0x11, bytes);
        }
    }
    (void)sum;
    host->switches++;
}

void actInsideTheSwitch() {
    if (!host->timeRuns.load()) return;
    const int action = host->action.exchange(-1);
    if (action < 0) return;
    IASIO* driver = host->driver;
    ASIOError result = ASE_OK;
    switch (action) {
        case kInSwitchStop:
            result = driver->stop();
            REQUIRE(result == ASE_OK || result == ASE_InvalidMode);
            if (result == ASE_OK) host->mayCall = false;  // this switch is the last
            break;
        case kInSwitchPosition: {
            ASIOSamples position;
            ASIOTimeStamp stamp;
            result = driver->getSamplePosition(&position, &stamp);
            REQUIRE(result == ASE_OK);
            const uint64_t at = (uint64_t(position.hi) << 32) | position.lo;
            REQUIRE(at % static_cast<uint64_t>(host->frames) == 0);
            break;
        }
        case kInSwitchOutputReady:
            REQUIRE(driver->outputReady() == ASE_NotPresent);
            break;
        case kInSwitchRelease:
            // The model gives the host the last reference here.
            REQUIRE(driver->Release() == 0u);
            host->mayCall = false;
            break;
        case kInSwitchDispose:
            REQUIRE(driver->disposeBuffers() == ASE_InvalidMode);
            break;
        case kInSwitchStart:
            REQUIRE(driver->start() == ASE_InvalidMode);
            break;
        case kInSwitchLatencies: {
            int32_t input = 0, output = 0;
            REQUIRE(driver->getLatencies(&input, &output) == ASE_OK);
            REQUIRE(input >= 2 * host->frames && output >= 3 * host->frames);
            break;
        }
    }
    host->actionResult = result;
    host->actionTaken = action;
}

void onSwitch(int32_t half, ASIOBool direct) {
    REQUIRE(direct == ASIOFalse);
    checkAndTouchHalf(half);
    actInsideTheSwitch();
}
ASIOTime* onTimeInfo(ASIOTime* time, int32_t half, ASIOBool direct) {
    REQUIRE(time != nullptr && direct == ASIOFalse);
    checkAndTouchHalf(half);
    actInsideTheSwitch();
    return time;
}
void onRateChange(ASIOSampleRate rate) { REQUIRE(rate == 44100.0); }
int32_t onMessage(int32_t selector, int32_t, void*, double*) {
    return selector == kAsioSupportsTimeInfo && host->takesTimeInfo ? 1 : 0;
}

// The driver's state machine as hosts see it.
struct Model {
    int32_t state = WinAsio::kLoaded;
    int32_t references = 1;
    bool hasDevice() const { return state >= WinAsio::kInitialized; }
};

class Run {
public:
    Run(Session& session, Host& hostSide, Reader& input) : session_(session), host_(hostSide), input_(input) {}

    // Runs the input's calls until the host has let go of the driver.
    void calls() {
        // To read a reproducer: DRIVER_CALL_FUZZER_TRACE=1 <fuzzer> <input>.
        static const bool trace = std::getenv("DRIVER_CALL_FUZZER_TRACE") != nullptr;
        for (size_t n = 0; n < kMaxOperations && !input_.done() && model_.references > 0; ++n) {
            const auto operation = static_cast<Operation>(input_.byte() % kOperations);
            if (trace) std::fprintf(stderr, "call %zu: operation %d in state %d\n", n, operation, model_.state);
            call(operation);
            if (model_.references > 0) REQUIRE(driver()->getState() == model_.state);
        }
    }
    void finish() {
        while (model_.references > 0) {
            --model_.references;
            REQUIRE(host_.driver->Release() == static_cast<ULONG>(model_.references));
        }
        host_.mayCall = false;
        REQUIRE(com::awaitDestructions(kHangMs));
        REQUIRE(session_.device.load() == nullptr);
    }

private:
    WinAsio* driver() { return static_cast<WinAsio*>(host_.driver); }

    void call(Operation operation) {
        IASIO* d = host_.driver;
        switch (operation) {
            case kInit: {
                REQUIRE(d->init(nullptr) == ASIOTrue);
                if (model_.state == WinAsio::kLoaded) model_.state = WinAsio::kInitialized;
                break;
            }
            case kDriverName: {
                char name[40];
                std::memset(name, 0x5A, sizeof(name));
                d->getDriverName(name);
                REQUIRE(std::strcmp(name, "VEXA ASIO") == 0);
                for (size_t i = kAsioDriverNameSize; i < sizeof(name); ++i) REQUIRE(name[i] == 0x5A);
                break;
            }
            case kVersion: REQUIRE(d->getDriverVersion() == 2); break;
            case kErrorMessage: {
                char text[WinAsio::kErrorTextSize];
                std::memset(text, 0x5A, sizeof(text));
                d->getErrorMessage(text);
                REQUIRE(std::memchr(text, 0, kAsioErrorMessageSize) != nullptr);
                for (size_t i = kAsioErrorMessageSize; i < sizeof(text); ++i) REQUIRE(text[i] == 0x5A);
                break;
            }
            case kStart: start(); break;
            case kStop: stop(d->stop()); break;
            case kChannels: {
                int32_t inputs = 0, outputs = 0;
                const ASIOError result = d->getChannels(&inputs, &outputs);
                REQUIRE(result == (model_.hasDevice() ? ASE_OK : ASE_NotPresent));
                if (result == ASE_OK) REQUIRE(inputs == 16 && outputs == 16);
                break;
            }
            case kLatencies: {
                int32_t input = 0, output = 0;
                REQUIRE(d->getLatencies(&input, &output) == ASE_OK);
                REQUIRE(input > 0 && output > 0);
                if (model_.state >= WinAsio::kPrepared) REQUIRE(input >= 2 * host_.frames && output >= 3 * host_.frames);
                break;
            }
            case kBufferSize: {
                int32_t minimum = 0, maximum = 0, preferred = 0, granularity = -1;
                REQUIRE(d->getBufferSize(&minimum, &maximum, &preferred, &granularity) == ASE_OK);
                REQUIRE(minimum == preferred && maximum == preferred && granularity == 0);
                REQUIRE(preferred >= kMinBuffer && preferred <= kMaxBuffer);
                break;
            }
            case kCanRate: {
                const double rate = input_.rate();
                const ASIOError expected = model_.hasDevice() && rate == 44100.0 ? ASE_OK : ASE_NoClock;
                REQUIRE(d->canSampleRate(rate) == expected);
                break;
            }
            case kGetRate: {
                ASIOSampleRate rate = 0.0;
                const ASIOError result = d->getSampleRate(&rate);
                REQUIRE(result == (model_.hasDevice() ? ASE_OK : ASE_NotPresent));
                if (result == ASE_OK) REQUIRE(rate == 44100.0);
                break;
            }
            case kSetRate: {
                const double rate = input_.rate();
                const ASIOError expected =
                    !model_.hasDevice() ? ASE_NotPresent : rate == 44100.0 ? ASE_OK : ASE_NoClock;
                REQUIRE(d->setSampleRate(rate) == expected);
                break;
            }
            case kClockSources: {
                ASIOClockSource clocks[4];
                int32_t room = input_.signedByte();
                const ASIOError result = d->getClockSources(clocks, &room);
                REQUIRE(room == 1);
                REQUIRE(result == ASE_OK || result == ASE_InvalidParameter);
                if (result == ASE_OK) REQUIRE(std::strcmp(clocks[0].name, "Internal") == 0);
                break;
            }
            case kSetClockSource: {
                const int32_t reference = input_.signedByte();
                REQUIRE(d->setClockSource(reference) == (reference == 0 ? ASE_OK : ASE_NotPresent));
                break;
            }
            case kSamplePosition: {
                ASIOSamples position;
                ASIOTimeStamp stamp;
                REQUIRE(d->getSamplePosition(&position, &stamp) == (model_.hasDevice() ? ASE_OK : ASE_NotPresent));
                break;
            }
            case kChannelInfo: {
                ASIOChannelInfo info = {};
                info.channel = input_.signedByte();
                info.isInput = input_.byte();
                const ASIOError result = d->getChannelInfo(&info);
                if (!model_.hasDevice())
                    REQUIRE(result == ASE_NotPresent);
                else if (info.channel < 0 || info.channel > 15)
                    REQUIRE(result == ASE_InvalidParameter);
                else
                    REQUIRE(result == ASE_OK && info.type == ASIOSTInt16LSB && std::memchr(info.name, 0, 32) != nullptr);
                break;
            }
            case kCreateBuffers: createBuffers(); break;
            case kDisposeBuffers: dispose(d->disposeBuffers()); break;
            case kControlPanel: REQUIRE(d->controlPanel() == ASE_NotPresent); break;
            case kFuture: {
                const uint8_t pick = input_.byte();
                const int32_t selector = pick == 255 ? input_.raw<int32_t>()
                                                     : kSelectors[pick % (sizeof(kSelectors) / sizeof(kSelectors[0]))];
                uint8_t options[64] = {};
                const ASIOError expected =
                    selector == kAsioCanTimeInfo || selector == kAsioCanTimeCode ? ASE_SUCCESS : ASE_NotPresent;
                REQUIRE(d->future(selector, options) == expected);
                break;
            }
            case kOutputReady: REQUIRE(d->outputReady() == ASE_NotPresent); break;
            case kQueryInterface: query(); break;
            case kAddReference:
                ++model_.references;
                REQUIRE(d->AddRef() == static_cast<ULONG>(model_.references));
                break;
            case kRelease:
                --model_.references;
                REQUIRE(d->Release() == static_cast<ULONG>(model_.references));
                if (model_.references == 0) host_.mayCall = false;
                break;
            case kRunTime: runTime(uint64_t(input_.byte() % 64 + 1) * kMs); break;
            case kPlug: plug(input_.byte()); break;
            case kPull: pull(input_.byte()); break;
            case kSecondThread: secondThread(input_.byte() % 2 == 0); break;
            case kInSwitch: inSwitch(input_.byte() % kInSwitchActions); break;
            case kOperations: break;
        }
    }

    void start() {
        const bool startable = model_.state == WinAsio::kPrepared;
        if (startable) host_.mayCall = true;
        const ASIOError result = host_.driver->start();
        if (startable) {
            REQUIRE(result == ASE_OK);
            model_.state = WinAsio::kRunning;
        } else {
            REQUIRE(result == (model_.state == WinAsio::kRunning ? ASE_OK : ASE_InvalidMode));
        }
    }
    // After stop has returned no switch may come.
    void stop(ASIOError result) {
        REQUIRE(result == ASE_OK);
        host_.mayCall = false;
        if (model_.state == WinAsio::kRunning) model_.state = WinAsio::kPrepared;
    }
    void dispose(ASIOError result) {
        REQUIRE(result == ASE_OK);
        host_.mayCall = false;
        if (model_.state >= WinAsio::kPrepared) model_.state = WinAsio::kInitialized;
    }

    void createBuffers() {
        const uint8_t count = input_.byte();
        const bool noArray = count == 255;
        const int32_t channels = noArray ? 2 : count % 41;
        std::vector<ASIOBufferInfo> infos(static_cast<size_t>(channels));
        bool valid = channels > 0;
        bool seen[32] = {};
        for (ASIOBufferInfo& info : infos) {
            info.isInput = input_.byte() & 1;
            info.channelNum = input_.signedByte();
            info.buffers[0] = info.buffers[1] = nullptr;
            const bool inRange = info.channelNum >= 0 && info.channelNum < 16;
            const int index = info.channelNum + (info.isInput ? 0 : 16);
            if (!inRange || seen[index]) valid = false;
            if (inRange) seen[index] = true;
        }
        const uint8_t kind = input_.byte();
        const int32_t size = kind < kSizeRaw    ? kSizes[kind]
                             : kind == kSizeRaw ? input_.raw<int32_t>()
                                                : kMinBuffer + input_.raw<uint16_t>() % (kMaxBuffer - kMinBuffer + 1);
        const uint8_t flags = input_.byte();
        valid = valid && !noArray && (flags & kHostNoCallbacks) == 0 && channels <= 32 && size >= kMinBuffer &&
                size <= kMaxBuffer;

        const bool takesTimeInfo = (flags & kHostTakesTimeInfo) != 0;
        ASIOCallbacks callbacks = {onSwitch, onRateChange, onMessage,
                                   (flags & kHostGivesTimeInfo) != 0 ? onTimeInfo : nullptr};
        if (model_.state == WinAsio::kInitialized) {
            // The callbacks stay with the driver from here on.
            host_.callbacks = callbacks;
            host_.takesTimeInfo = takesTimeInfo;
        }
        const ASIOError result = host_.driver->createBuffers(
            noArray ? nullptr : infos.data(), channels, size,
            (flags & kHostNoCallbacks) != 0 ? nullptr : &host_.callbacks);
        if (model_.state == WinAsio::kLoaded) {
            REQUIRE(result == ASE_InvalidMode);
        } else if (model_.state != WinAsio::kInitialized) {
            REQUIRE(result == ASE_OK);  // buffers exist: nothing changes
        } else if (!valid) {
            REQUIRE(result == ASE_InvalidParameter);
        } else {
            REQUIRE(result == ASE_OK);
            for (size_t i = 0; i < infos.size(); ++i)
                for (int h = 0; h < 2; ++h) {
                    REQUIRE(infos[i].buffers[h] != nullptr);
                    for (size_t j = 0; j < i; ++j) REQUIRE(infos[j].buffers[h] != infos[i].buffers[h]);
                }
            host_.infos = std::move(infos);
            host_.frames = size;
            model_.state = WinAsio::kPrepared;
        }
    }

    void query() {
        const uint8_t which = input_.byte() % 4;
        GUID classId = VexaAsioBrandProfile::kClassId;
        const GUID iids[3] = {kIidIUnknown, classId, kIidIClassFactory};
        void* object = &object;
        if (which == 3) {
            REQUIRE(host_.driver->QueryInterface(kIidIUnknown, nullptr) == kComPointer);
            return;
        }
        const HRESULT result = host_.driver->QueryInterface(iids[which], &object);
        if (which == 2) {
            REQUIRE(result == kComNoInterface && object == nullptr);
            return;
        }
        REQUIRE(result == kComOk && object != nullptr);
        if (which == 1) REQUIRE(object == host_.driver);
        REQUIRE(static_cast<IUnknown*>(object)->Release() == static_cast<ULONG>(model_.references));
    }

    bool streaming() {
        CompositeKsAudioDevice* device = session_.device.load();
        return device != nullptr && device->hasStream();
    }
    // Lets virtual time run while a stream exists (without one nothing
    // waits on the clock), in slices of real time: a host that lets go of
    // the driver inside the switch ends the stream on the way.
    void runTime(uint64_t ns) {
        if (!streaming()) return;
        constexpr uint32_t kSliceMs = 20;
        const uint64_t until = session_.clock.now() + ns;
        host_.timeRuns = true;
        for (uint32_t waited = 0; !session_.clock.runUntil(until, kSliceMs); waited += kSliceMs) {
            if (host_.actionTaken.load() == kInSwitchRelease) break;
            REQUIRE(waited < kHangMs);
        }
        host_.timeRuns = false;
    }

    void enumerate() {
        AsioDeviceRegistry* registry = session_.registry.load();
        if (registry != nullptr) registry->enumerateDevices();
    }
    void plug(uint8_t how) {
        if (session_.units.size() >= kMaxUnits) return;
        sim::ControllerConfig config;
        config.serial = sim::widen("FUZZ" + std::to_string(session_.serials++));
        config.layout = (how & 1) != 0 ? sim::QelmLayout::EightTwo : sim::QelmLayout::FourFour;
        config.loopback = (how & 2) != 0;
        auto unit = session_.bus.plug(config);
        REQUIRE(unit != nullptr);
        session_.units.push_back(unit);
        enumerate();
    }
    void pull(uint8_t which) {
        if (session_.units.empty()) return;
        const size_t index = which % session_.units.size();
        session_.bus.unplug(session_.units[index]);
        session_.units.erase(session_.units.begin() + static_cast<long>(index));
        enumerate();
    }

    // stop while the stream runs on, or disposeBuffers, from another thread.
    void secondThread(bool stopping) {
        if (model_.state < WinAsio::kPrepared) return;
        std::atomic<ASIOError> result{ASE_OK};
        std::atomic<bool> returned{false};
        IASIO* d = host_.driver;
        std::thread other([&] {
            result = stopping ? d->stop() : d->disposeBuffers();
            returned = true;
        });
        if (stopping) {
            while (!returned.load() && streaming()) runTime(kMs / 2);
        }
        other.join();
        if (stopping)
            stop(result.load());
        else
            dispose(result.load());
    }

    // The host acts inside its next buffer switch.
    void inSwitch(uint8_t action) {
        if (model_.state != WinAsio::kRunning) return;
        // The host gives the driver its last reference only when it holds it.
        if (action == kInSwitchRelease && model_.references != 1) action = kInSwitchPosition;
        host_.actionTaken = -1;
        host_.action = action;
        runTime(uint64_t(host_.frames) * 3000000000ull / 44100 + kMs);
        host_.action = -1;
        const int taken = host_.actionTaken.load();
        if (taken == kInSwitchStop && host_.actionResult.load() == ASE_OK) model_.state = WinAsio::kPrepared;
        if (taken == kInSwitchRelease) {
            model_.references = 0;
            REQUIRE(com::awaitDestructions(kHangMs));
            REQUIRE(session_.device.load() == nullptr);
        }
    }

    Session& session_;
    Host& host_;
    Reader& input_;
    Model model_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // No machine registry: controlPanel finds no install folder and starts
    // nothing.
    os::setEnvironmentVariable("KSASIO_MACHINE_REGISTRY", "/nonexistent/ksasio-fuzz/machine.reg");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static VexaAsioBrand brand;
    Reader input(data, size);
    Session session;
    Host hostSide;
    host = &hostSide;
    HRESULT result = kComOk;
    auto* driver = new WinAsio(nullptr, &result, new FuzzBackend(session), session.store);
    REQUIRE(result == kComOk);
    driver->AddRef();
    hostSide.driver = driver;
    Run run(session, hostSide, input);
    run.calls();
    run.finish();
    REQUIRE(com::pendingDestructions() == 0);
    host = nullptr;
    return 0;
}
