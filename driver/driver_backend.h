// Where the driver object gets its audio device from. The shipped backend
// is the ASIO device registry over the build's hardware models (device
// discovery, remembered units, the composite device); tests put a backend
// of their own under the driver object to check its state machine alone.
#pragma once

class AudioDeviceIf;

class DriverBackendIf {
public:
    virtual ~DriverBackendIf() = default;
    // Loads the remembered units, runs the first enumeration and starts
    // polling. False when the backend cannot be set up.
    virtual bool initialize() = 0;
    // The audio device over the known units, or null.
    virtual AudioDeviceIf* createAudioDevice() = 0;
    // Deletes a device createAudioDevice made.
    virtual void releaseAudioDevice(AudioDeviceIf* device) = 0;
};

// The ASIO device registry of this build's brand (null when memory runs out).
DriverBackendIf* createRegistryBackend();
