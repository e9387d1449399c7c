/* The C host of c_host.h: explicit vtables and the calling-convention thunk. */
#include "tests/driver/c_host.h"

#include <string.h>

#if !defined(__i386__)
#error "the C host speaks the 32-bit x86 conventions"
#endif

#define CHOST_STDCALL __attribute__((stdcall))

/* The object as every COM client sees it: a pointer to its vtable. */
struct CHostDriver {
    const struct CHostDriverVtbl* vtbl;
};

/* Slots 0-2 are stdcall and typed as such; slots 3-23 are thiscall, which C
 * cannot name, so they are entry points for the thunk. */
typedef void (*CHostThiscallMethod)(void);
struct CHostDriverVtbl {
    int32_t(CHOST_STDCALL* QueryInterface)(CHostDriver* self, const void* iid, void** object);
    uint32_t(CHOST_STDCALL* AddRef)(CHostDriver* self);
    uint32_t(CHOST_STDCALL* Release)(CHostDriver* self);
    CHostThiscallMethod init;
    CHostThiscallMethod getDriverName;
    CHostThiscallMethod getDriverVersion;
    CHostThiscallMethod getErrorMessage;
    CHostThiscallMethod start;
    CHostThiscallMethod stop;
    CHostThiscallMethod getChannels;
    CHostThiscallMethod getLatencies;
    CHostThiscallMethod getBufferSize;
    CHostThiscallMethod canSampleRate;
    CHostThiscallMethod getSampleRate;
    CHostThiscallMethod setSampleRate;
    CHostThiscallMethod getClockSources;
    CHostThiscallMethod setClockSource;
    CHostThiscallMethod getSamplePosition;
    CHostThiscallMethod getChannelInfo;
    CHostThiscallMethod createBuffers;
    CHostThiscallMethod disposeBuffers;
    CHostThiscallMethod controlPanel;
    CHostThiscallMethod future;
    CHostThiscallMethod outputReady;
};
CHOST_STATIC_ASSERT(offsetof(struct CHostDriverVtbl, init) == 3 * sizeof(void*), "init is slot 3");
CHOST_STATIC_ASSERT(offsetof(struct CHostDriverVtbl, outputReady) == 23 * sizeof(void*), "outputReady is slot 23");

typedef struct CHostFactory CHostFactory;
struct CHostFactoryVtbl {
    int32_t(CHOST_STDCALL* QueryInterface)(CHostFactory* self, const void* iid, void** object);
    uint32_t(CHOST_STDCALL* AddRef)(CHostFactory* self);
    uint32_t(CHOST_STDCALL* Release)(CHostFactory* self);
    int32_t(CHOST_STDCALL* CreateInstance)(CHostFactory* self, void* outer, const void* iid, void** object);
    int32_t(CHOST_STDCALL* LockServer)(CHostFactory* self, int32_t lock);
};
struct CHostFactory {
    const struct CHostFactoryVtbl* vtbl;
};

/* {00000001-0000-0000-C000-000000000046}, as stored in memory. */
static const unsigned char kIidClassFactory[16] = {1, 0, 0, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};

/* uint32_t chost_invoke(function, ecx, arguments, count, leftOnStack)
 * Pushes count 32-bit arguments (the first one last, so it ends up on top),
 * loads ECX (the object for thiscall; a poison value for stdcall, whose
 * object is the first argument) and calls. The stack is aligned to 4 bytes
 * only, not 16, as hosts built with other compilers guarantee no more.
 * Afterwards leftOnStack receives how many bytes the callee left on the
 * stack: 0 for a thiscall or stdcall callee. Returns EAX. */
uint32_t chost_invoke(const void* function, const void* ecx, const uint32_t* arguments, uint32_t count,
                      uint32_t* leftOnStack) __asm__("chost_invoke");
__asm__(
    ".text\n"
    ".globl chost_invoke\n"
    "chost_invoke:\n"
    "    pushl %ebp\n"
    "    movl %esp, %ebp\n"
    "    pushl %ebx\n"
    "    pushl %esi\n"
    "    pushl %edi\n"
    "    movl 16(%ebp), %esi\n" /* arguments */
    "    movl 20(%ebp), %ecx\n" /* count */
    /* Arrange that the callee sees a stack that is 4-byte but not 16-byte aligned. */
    "    leal 0(,%ecx,4), %eax\n"
    "    movl %esp, %edx\n"
    "    subl %eax, %edx\n"
    "    andl $-16, %edx\n"
    "    subl $4, %edx\n"
    "    addl %eax, %edx\n"
    "    movl %edx, %esp\n"
    "    movl %esp, %edi\n" /* the stack without arguments */
    "1:  testl %ecx, %ecx\n"
    "    jz 2f\n"
    "    pushl -4(%esi,%ecx,4)\n"
    "    decl %ecx\n"
    "    jmp 1b\n"
    "2:  movl 12(%ebp), %ecx\n"
    "    call *8(%ebp)\n"
    "    movl %edi, %ecx\n"
    "    subl %esp, %ecx\n"
    "    movl 24(%ebp), %edx\n"
    "    movl %ecx, (%edx)\n"
    "    leal -12(%ebp), %esp\n"
    "    popl %edi\n"
    "    popl %esi\n"
    "    popl %ebx\n"
    "    popl %ebp\n"
    "    ret\n");

static uint32_t g_unbalanced;

#define CHOST_STDCALL_ECX ((const void*)0xBAADF00Du)
#define CHOST_COUNT(array) ((uint32_t)(sizeof(array) / sizeof((array)[0])))
#define CHOST_WORD(value) ((uint32_t)(uintptr_t)(value))

static uint32_t invoke(const void* function, const void* ecx, const uint32_t* arguments, uint32_t count) {
    uint32_t left = 0;
    const uint32_t result = chost_invoke(function, ecx, arguments, count, &left);
    if (left != 0) __atomic_fetch_add(&g_unbalanced, 1u, __ATOMIC_SEQ_CST);
    return result;
}

static uint32_t stdcall_method(const void* function, const void* self, const uint32_t* more, uint32_t count) {
    uint32_t arguments[5] = {CHOST_WORD(self)};
    for (uint32_t i = 0; i < count; ++i) arguments[i + 1] = more[i];
    return invoke(function, CHOST_STDCALL_ECX, arguments, count + 1);
}

static uint32_t thiscall_method(CHostDriver* driver, CHostThiscallMethod method, const uint32_t* arguments,
                                uint32_t count) {
    return invoke((const void*)method, driver, arguments, count);
}

/* A double goes on the stack as two 32-bit words, low word first. */
static void split_double(double value, uint32_t words[2]) { memcpy(words, &value, sizeof(value)); }

uint32_t chost_unbalanced_calls(void) { return __atomic_load_n(&g_unbalanced, __ATOMIC_SEQ_CST); }

int32_t chost_create(void* dllGetClassObject, const void* classId, CHostDriver** driver) {
    CHostFactory* factory = NULL;
    *driver = NULL;
    const uint32_t getArguments[3] = {CHOST_WORD(classId), CHOST_WORD(kIidClassFactory), CHOST_WORD(&factory)};
    int32_t result = (int32_t)invoke(dllGetClassObject, CHOST_STDCALL_ECX, getArguments, 3);
    if (result != 0 || factory == NULL) return result;
    void* object = NULL;
    const uint32_t createArguments[3] = {0, CHOST_WORD(classId), CHOST_WORD(&object)};
    result = (int32_t)stdcall_method((const void*)factory->vtbl->CreateInstance, factory, createArguments, 3);
    stdcall_method((const void*)factory->vtbl->Release, factory, NULL, 0);
    *driver = (CHostDriver*)object;
    return result;
}

int32_t chost_query_interface(CHostDriver* driver, const void* iid, void** object) {
    const uint32_t arguments[2] = {CHOST_WORD(iid), CHOST_WORD(object)};
    return (int32_t)stdcall_method((const void*)driver->vtbl->QueryInterface, driver, arguments, 2);
}

uint32_t chost_add_ref(CHostDriver* driver) {
    return stdcall_method((const void*)driver->vtbl->AddRef, driver, NULL, 0);
}

uint32_t chost_release(CHostDriver* driver) {
    return stdcall_method((const void*)driver->vtbl->Release, driver, NULL, 0);
}

uint32_t chost_release_other(void* object) { return chost_release((CHostDriver*)object); }

int32_t chost_init(CHostDriver* driver, void* systemHandle) {
    const uint32_t arguments[1] = {CHOST_WORD(systemHandle)};
    return (int32_t)thiscall_method(driver, driver->vtbl->init, arguments, 1);
}

void chost_get_driver_name(CHostDriver* driver, char* name) {
    const uint32_t arguments[1] = {CHOST_WORD(name)};
    thiscall_method(driver, driver->vtbl->getDriverName, arguments, 1);
}

int32_t chost_get_driver_version(CHostDriver* driver) {
    return (int32_t)thiscall_method(driver, driver->vtbl->getDriverVersion, NULL, 0);
}

void chost_get_error_message(CHostDriver* driver, char* text) {
    const uint32_t arguments[1] = {CHOST_WORD(text)};
    thiscall_method(driver, driver->vtbl->getErrorMessage, arguments, 1);
}

int32_t chost_start(CHostDriver* driver) { return (int32_t)thiscall_method(driver, driver->vtbl->start, NULL, 0); }

int32_t chost_stop(CHostDriver* driver) { return (int32_t)thiscall_method(driver, driver->vtbl->stop, NULL, 0); }

int32_t chost_get_channels(CHostDriver* driver, int32_t* inputs, int32_t* outputs) {
    const uint32_t arguments[2] = {CHOST_WORD(inputs), CHOST_WORD(outputs)};
    return (int32_t)thiscall_method(driver, driver->vtbl->getChannels, arguments, 2);
}

int32_t chost_get_latencies(CHostDriver* driver, int32_t* input, int32_t* output) {
    const uint32_t arguments[2] = {CHOST_WORD(input), CHOST_WORD(output)};
    return (int32_t)thiscall_method(driver, driver->vtbl->getLatencies, arguments, 2);
}

int32_t chost_get_buffer_size(CHostDriver* driver, int32_t* minSize, int32_t* maxSize, int32_t* preferred,
                              int32_t* granularity) {
    const uint32_t arguments[4] = {CHOST_WORD(minSize), CHOST_WORD(maxSize), CHOST_WORD(preferred),
                                   CHOST_WORD(granularity)};
    return (int32_t)thiscall_method(driver, driver->vtbl->getBufferSize, arguments, 4);
}

int32_t chost_can_sample_rate(CHostDriver* driver, double rate) {
    uint32_t arguments[2];
    split_double(rate, arguments);
    return (int32_t)thiscall_method(driver, driver->vtbl->canSampleRate, arguments, 2);
}

int32_t chost_get_sample_rate(CHostDriver* driver, double* rate) {
    const uint32_t arguments[1] = {CHOST_WORD(rate)};
    return (int32_t)thiscall_method(driver, driver->vtbl->getSampleRate, arguments, 1);
}

int32_t chost_set_sample_rate(CHostDriver* driver, double rate) {
    uint32_t arguments[2];
    split_double(rate, arguments);
    return (int32_t)thiscall_method(driver, driver->vtbl->setSampleRate, arguments, 2);
}

int32_t chost_get_clock_sources(CHostDriver* driver, CHostClockSource* clocks, int32_t* count) {
    const uint32_t arguments[2] = {CHOST_WORD(clocks), CHOST_WORD(count)};
    return (int32_t)thiscall_method(driver, driver->vtbl->getClockSources, arguments, 2);
}

int32_t chost_set_clock_source(CHostDriver* driver, int32_t reference) {
    const uint32_t arguments[1] = {(uint32_t)reference};
    return (int32_t)thiscall_method(driver, driver->vtbl->setClockSource, arguments, 1);
}

int32_t chost_get_sample_position(CHostDriver* driver, CHostSamples* position, CHostSamples* timeStamp) {
    const uint32_t arguments[2] = {CHOST_WORD(position), CHOST_WORD(timeStamp)};
    return (int32_t)thiscall_method(driver, driver->vtbl->getSamplePosition, arguments, 2);
}

int32_t chost_get_channel_info(CHostDriver* driver, CHostChannelInfo* info) {
    const uint32_t arguments[1] = {CHOST_WORD(info)};
    return (int32_t)thiscall_method(driver, driver->vtbl->getChannelInfo, arguments, 1);
}

int32_t chost_create_buffers(CHostDriver* driver, CHostBufferInfo* infos, int32_t count, int32_t bufferSize,
                             CHostCallbacks* callbacks) {
    const uint32_t arguments[4] = {CHOST_WORD(infos), (uint32_t)count, (uint32_t)bufferSize, CHOST_WORD(callbacks)};
    return (int32_t)thiscall_method(driver, driver->vtbl->createBuffers, arguments, 4);
}

int32_t chost_dispose_buffers(CHostDriver* driver) {
    return (int32_t)thiscall_method(driver, driver->vtbl->disposeBuffers, NULL, 0);
}

int32_t chost_control_panel(CHostDriver* driver) {
    return (int32_t)thiscall_method(driver, driver->vtbl->controlPanel, NULL, 0);
}

int32_t chost_future(CHostDriver* driver, int32_t selector, void* options) {
    const uint32_t arguments[2] = {(uint32_t)selector, CHOST_WORD(options)};
    return (int32_t)thiscall_method(driver, driver->vtbl->future, arguments, 2);
}

int32_t chost_output_ready(CHostDriver* driver) {
    return (int32_t)thiscall_method(driver, driver->vtbl->outputReady, NULL, 0);
}

/* The stream: what the host's callbacks see. */
static struct {
    CHostDriver* driver;
    CHostBufferInfo* infos;
    int32_t count;
    int32_t bufferSize;
    double rate;
    int32_t timeInfo;
    int32_t lastHalf;
    CHostStreamWatch watch;
} g_stream;

enum { kSelectorSupported = 1, kEngineVersion = 2, kSupportsTimeInfo = 7 };
enum { kSystemTimeValid = 1, kSamplePositionValid = 2, kSampleRateValid = 4 };

static void bump(int32_t* counter) { __atomic_fetch_add(counter, 1, __ATOMIC_SEQ_CST); }

static void process_half(int32_t half) {
    if (half == g_stream.lastHalf) bump(&g_stream.watch.repeatedHalves);
    g_stream.lastHalf = half;
    for (int32_t i = 0; i < g_stream.count; ++i) {
        CHostBufferInfo* info = &g_stream.infos[i];
        if (half < 0 || half > 1 || info->buffers[half] == NULL) {
            bump(&g_stream.watch.missingBuffers);
            continue;
        }
        if (!info->isInput) {
            int16_t* samples = (int16_t*)info->buffers[half];
            for (int32_t s = 0; s < g_stream.bufferSize; ++s) samples[s] = (int16_t)(s * 64);
        }
    }
    g_stream.watch.outputReadyAnswer = chost_output_ready(g_stream.driver);
}

static void on_buffer_switch(int32_t half, int32_t directProcess) {
    (void)directProcess;
    process_half(half);
    bump(&g_stream.watch.switches);
}

static CHostTime* on_buffer_switch_time_info(CHostTime* time, int32_t half, int32_t directProcess) {
    (void)directProcess;
    const uint32_t needed = kSystemTimeValid | kSamplePositionValid | kSampleRateValid;
    if (time == NULL || (time->timeInfo.flags & needed) != needed || time->timeInfo.sampleRate != g_stream.rate)
        bump(&g_stream.watch.badTimeRecords);
    process_half(half);
    bump(&g_stream.watch.timeInfoSwitches);
    return NULL;
}

static void on_sample_rate_did_change(double rate) { (void)rate; }

static int32_t on_message(int32_t selector, int32_t value, void* message, double* opt) {
    (void)message;
    (void)opt;
    switch (selector) {
        case kSelectorSupported: return value == kEngineVersion || value == kSupportsTimeInfo;
        case kEngineVersion: return 2;
        case kSupportsTimeInfo: return g_stream.timeInfo;
        default: return 0;
    }
}

void chost_prepare_stream(CHostDriver* driver, CHostCallbacks* callbacks, CHostBufferInfo* infos, int32_t count,
                          int32_t bufferSize, double rate, int32_t timeInfo) {
    memset(&g_stream, 0, sizeof(g_stream));
    g_stream.driver = driver;
    g_stream.infos = infos;
    g_stream.count = count;
    g_stream.bufferSize = bufferSize;
    g_stream.rate = rate;
    g_stream.timeInfo = timeInfo;
    g_stream.lastHalf = -1;
    g_stream.watch.outputReadyAnswer = 1;
    callbacks->bufferSwitch = on_buffer_switch;
    callbacks->sampleRateDidChange = on_sample_rate_did_change;
    callbacks->asioMessage = on_message;
    callbacks->bufferSwitchTimeInfo = timeInfo ? on_buffer_switch_time_info : NULL;
}

CHostStreamWatch chost_stream_watch(void) {
    CHostStreamWatch copy;
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    copy = g_stream.watch;
    return copy;
}
