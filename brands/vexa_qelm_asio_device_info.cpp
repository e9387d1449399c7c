#include "brands/vexa_qelm_asio_device_info.h"

#include <new>

#include "brands/asio_device_configurations.h"
#include "platform/trace.h"

namespace {

WAVEFORMATEX renderFormatOf(const AsioDeviceFormat& format) {
    WAVEFORMATEX wave{};
    wave.wFormatTag = WAVE_FORMAT_PCM;
    wave.nChannels = format.outputs;
    wave.nSamplesPerSec = format.sampleRate;
    wave.wBitsPerSample = static_cast<WORD>(format.bitsPerSample);
    wave.nBlockAlign = static_cast<WORD>(format.bitsPerSample / 8 * format.outputs);
    wave.nAvgBytesPerSec = static_cast<DWORD>(wave.nBlockAlign) * format.sampleRate;
    wave.cbSize = 0;
    return wave;
}

}  // namespace

VexaQelmAsioDeviceInfo::VexaQelmAsioDeviceInfo(CKsAudRenFilter* renderFilter, CKsAudCapFilter* captureFilter,
                                               const char* hidDeviceId, const char* audioDeviceId, uint64_t index,
                                               const char* serialNumber, DeviceModelIf* model)
    : AsioDeviceInfo(renderFilter, captureFilter, hidDeviceId, audioDeviceId, index, serialNumber, model) {
    addConfiguration(new (std::nothrow) VexaQelmAsioDeviceConfiguration_4Out4In);
    addConfiguration(new (std::nothrow) VexaQelmAsioDeviceConfiguration_8Out2In);
    setActiveConfiguration(0);
    detectActiveConfiguration();
}

void VexaQelmAsioDeviceInfo::setRenderFilter(CKsAudRenFilter* filter) {
    AsioDeviceInfo::setRenderFilter(filter);
    detectActiveConfiguration();
}

bool VexaQelmAsioDeviceInfo::detectActiveConfiguration() {
    CKsAudRenFilter* filter = getRenderFilter();
    if (filter == nullptr) return false;
    if (filter->Instantiate() < 0) {
        TRACE("Failed to instantiate the render filter of %s", getSerialNumber());
        return false;
    }
    if (filter->EnumeratePins() >= 0) {
        for (size_t c = 0; c < getNumberOfConfigurations(); ++c) {
            AsioDeviceConfigurationIf* configuration = getConfiguration(c);
            AsioDeviceFormat format;
            for (size_t f = 0; f < configuration->getNumberOfFormats(); ++f) {
                if (!configuration->getFormat(f, &format)) continue;
                const WAVEFORMATEX wave = renderFormatOf(format);
                if (filter->CanCreateRenderPin(&wave)) {
                    setActiveConfiguration(c);
                    return true;
                }
            }
        }
    }
    TRACE("The render filter of %s accepts no format of its configurations", getSerialNumber());
    filter->Deinstantiate();
    return false;
}
