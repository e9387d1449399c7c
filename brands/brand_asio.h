// The ASIO brand profile: everything that differs between the product lines
// and is not a property of one hardware model. Brand objects are immutable
// after construction and are read from any thread without locking. All texts
// are static, owned by the brand.
#pragma once

#include <cstddef>
#include <cstdint>

#include "brands/asio_buffer_size_model.h"
#include "brands/asio_channel_assigner.h"
#include "brands/brand.h"
#include "platform/guid.h"

class AsioBrandIf : public BrandIf {
public:
    // Second key level under "Software\<brand name>"; the COM object name;
    // prefix of the named events "%sConfigurationChanged" and
    // "%sConfigurationPanelOpen".
    virtual const char* getDriverId() const = 0;
    virtual const char* getDriverDescription() const = 0;
    // What the driver-name query answers (fits the host's 32 characters).
    virtual const char* getAsioDriverName() const = 0;
    virtual const char* getDriverFileName() const = 0;
    // Started from the driver's install folder.
    virtual const char* getControlPanelFileName() const = 0;
    // Copies the COM class identifier, which is also the identifier of the
    // driver interface, into *classId; returns classId.
    virtual GUID* getClassId(GUID* classId) const = 0;
    // Sample width of the ASIO buffers: 16, 24 or 32.
    virtual uint8_t getBitsPerSample() const = 0;
    virtual double getDefaultSampleRate() const = 0;
    virtual double getMinSampleRate() const = 0;
    virtual double getMaxSampleRate() const = 0;
    virtual const AsioBufferSizeModelIf* getBufferSizeModel() const = 0;
    // Writes the name of the 0-based ASIO channel into text (terminated,
    // cut to size - 1 characters).
    virtual void formatChannelName(char* text, size_t size, int32_t channel, bool isInput) const = 0;
    virtual const AsioChannelAssignerIf* getChannelAssigner() const = 0;
    // Lines separated by a single line feed, none at the end.
    virtual const char* getAboutText() const = 0;
    // Dialog: rows for every remembered device, connected or not, and removal
    // of a device's settings.
    virtual bool showsDeviceStatus() const = 0;
    // Dialog: every channel configuration of a device, not only the active one.
    virtual bool showsAllConfigurations() const = 0;
    // Dialog: the "Mode" column with the configuration name.
    virtual bool showsConfigurationMode() const = 0;

    bool hasStatusColumn() const { return showsDeviceStatus() || showsAllConfigurations(); }

    // The active brand as an ASIO brand, or null.
    static AsioBrandIf* getActiveBrand();
};
