/* A 32-bit ASIO host written in C, with its own declarations of the
 * driver's binary interface: the records with 4-byte packing, the vtable as
 * a struct of 24 slots, IUnknown's methods stdcall, the 21 driver methods
 * thiscall. C has no thiscall, so, like hosts built with other compilers,
 * this host calls them through a thunk that puts the object into ECX. The
 * thunk also measures what each callee took off the stack: a thiscall or
 * stdcall method removes exactly its own arguments, so any other amount
 * means the driver disagrees with its hosts about a convention.
 *
 * x86 only; the test that drives it is tests/driver/x86_host_abi_test.cpp. */
#ifndef KSASIO_TESTS_DRIVER_C_HOST_H
#define KSASIO_TESTS_DRIVER_C_HOST_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#define CHOST_STATIC_ASSERT static_assert
#else
#define CHOST_STATIC_ASSERT _Static_assert
#endif

#pragma pack(push, 4)
typedef struct CHostSamples {
    uint32_t hi;
    uint32_t lo;
} CHostSamples;

typedef struct CHostClockSource {
    int32_t index;
    int32_t associatedChannel;
    int32_t associatedGroup;
    int32_t isCurrentSource;
    char name[32];
} CHostClockSource;

typedef struct CHostChannelInfo {
    int32_t channel;
    int32_t isInput;
    int32_t isActive;
    int32_t channelGroup;
    int32_t type;
    char name[32];
} CHostChannelInfo;

typedef struct CHostBufferInfo {
    int32_t isInput;
    int32_t channelNum;
    void* buffers[2];
} CHostBufferInfo;

typedef struct CHostTimeInfo {
    double speed;
    CHostSamples systemTime;
    CHostSamples samplePosition;
    double sampleRate;
    uint32_t flags;
    char reserved[12];
} CHostTimeInfo;

typedef struct CHostTimeCode {
    double speed;
    CHostSamples timeCodeSamples;
    uint32_t flags;
    char future[64];
} CHostTimeCode;

typedef struct CHostTime {
    int32_t reserved[4];
    CHostTimeInfo timeInfo;
    CHostTimeCode timeCode;
} CHostTime;

/* Plain C functions: the default (cdecl) convention. */
typedef struct CHostCallbacks {
    void (*bufferSwitch)(int32_t doubleBufferIndex, int32_t directProcess);
    void (*sampleRateDidChange)(double rate);
    int32_t (*asioMessage)(int32_t selector, int32_t value, void* message, double* opt);
    CHostTime* (*bufferSwitchTimeInfo)(CHostTime* params, int32_t doubleBufferIndex, int32_t directProcess);
} CHostCallbacks;
#pragma pack(pop)

/* What a 32-bit host was compiled against. */
CHOST_STATIC_ASSERT(sizeof(void*) == 4, "the C host is the 32-bit host");
CHOST_STATIC_ASSERT(sizeof(CHostSamples) == 8, "ASIOSamples");
CHOST_STATIC_ASSERT(sizeof(CHostClockSource) == 48 && offsetof(CHostClockSource, name) == 16, "ASIOClockSource");
CHOST_STATIC_ASSERT(sizeof(CHostChannelInfo) == 52 && offsetof(CHostChannelInfo, type) == 16 &&
                        offsetof(CHostChannelInfo, name) == 20,
                    "ASIOChannelInfo");
CHOST_STATIC_ASSERT(sizeof(CHostBufferInfo) == 16 && offsetof(CHostBufferInfo, buffers) == 8, "ASIOBufferInfo");
CHOST_STATIC_ASSERT(sizeof(CHostTimeInfo) == 48 && offsetof(CHostTimeInfo, sampleRate) == 24 &&
                        offsetof(CHostTimeInfo, flags) == 32,
                    "AsioTimeInfo");
CHOST_STATIC_ASSERT(sizeof(CHostTimeCode) == 84 && offsetof(CHostTimeCode, future) == 20, "ASIOTimeCode");
CHOST_STATIC_ASSERT(sizeof(CHostTime) == 148 && offsetof(CHostTime, timeInfo) == 16 &&
                        offsetof(CHostTime, timeCode) == 64,
                    "ASIOTime");
CHOST_STATIC_ASSERT(sizeof(CHostCallbacks) == 16, "ASIOCallbacks");

typedef struct CHostDriver CHostDriver;

/* DllGetClassObject, then the factory's CreateInstance with the class
 * identifier (16 bytes) as the interface; returns the HRESULT. */
int32_t chost_create(void* dllGetClassObject, const void* classId, CHostDriver** driver);

/* IUnknown (stdcall). */
int32_t chost_query_interface(CHostDriver* driver, const void* iid, void** object);
uint32_t chost_add_ref(CHostDriver* driver);
uint32_t chost_release(CHostDriver* driver);
/* Release through another interface of the same object (its own vtable). */
uint32_t chost_release_other(void* object);

/* IASIO (thiscall), in vtable order. */
int32_t chost_init(CHostDriver* driver, void* systemHandle);
void chost_get_driver_name(CHostDriver* driver, char* name);
int32_t chost_get_driver_version(CHostDriver* driver);
void chost_get_error_message(CHostDriver* driver, char* text);
int32_t chost_start(CHostDriver* driver);
int32_t chost_stop(CHostDriver* driver);
int32_t chost_get_channels(CHostDriver* driver, int32_t* inputs, int32_t* outputs);
int32_t chost_get_latencies(CHostDriver* driver, int32_t* input, int32_t* output);
int32_t chost_get_buffer_size(CHostDriver* driver, int32_t* minSize, int32_t* maxSize, int32_t* preferred,
                              int32_t* granularity);
int32_t chost_can_sample_rate(CHostDriver* driver, double rate);
int32_t chost_get_sample_rate(CHostDriver* driver, double* rate);
int32_t chost_set_sample_rate(CHostDriver* driver, double rate);
int32_t chost_get_clock_sources(CHostDriver* driver, CHostClockSource* clocks, int32_t* count);
int32_t chost_set_clock_source(CHostDriver* driver, int32_t reference);
int32_t chost_get_sample_position(CHostDriver* driver, CHostSamples* position, CHostSamples* timeStamp);
int32_t chost_get_channel_info(CHostDriver* driver, CHostChannelInfo* info);
int32_t chost_create_buffers(CHostDriver* driver, CHostBufferInfo* infos, int32_t count, int32_t bufferSize,
                             CHostCallbacks* callbacks);
int32_t chost_dispose_buffers(CHostDriver* driver);
int32_t chost_control_panel(CHostDriver* driver);
int32_t chost_future(CHostDriver* driver, int32_t selector, void* options);
int32_t chost_output_ready(CHostDriver* driver);

/* Calls whose callee did not take exactly its own arguments off the stack. */
uint32_t chost_unbalanced_calls(void);

/* The host's callbacks and what they saw. The stream writes a ramp into
 * every output half and checks the time record the driver hands over. */
typedef struct CHostStreamWatch {
    int32_t switches;          /* bufferSwitch calls */
    int32_t timeInfoSwitches;  /* bufferSwitchTimeInfo calls */
    int32_t repeatedHalves;    /* the same half twice in a row */
    int32_t missingBuffers;    /* a half without memory */
    int32_t badTimeRecords;    /* a time record without the valid flags or with another rate */
    int32_t outputReadyAnswer; /* outputReady called from inside the buffer switch */
} CHostStreamWatch;

/* Prepares the callbacks for a stream over these buffers; with timeInfo the
 * host says it takes bufferSwitchTimeInfo. */
void chost_prepare_stream(CHostDriver* driver, CHostCallbacks* callbacks, CHostBufferInfo* infos, int32_t count,
                          int32_t bufferSize, double rate, int32_t timeInfo);
CHostStreamWatch chost_stream_watch(void);

#ifdef __cplusplus
}
#endif

#endif
