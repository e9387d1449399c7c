#include "brands/asio_device_info.h"

#include "devices/device_model.h"
#include "platform/trace.h"

AsioDeviceInfo::AsioDeviceInfo(CKsAudRenFilter* renderFilter, CKsAudCapFilter* captureFilter,
                               const char* hidDeviceId, const char* audioDeviceId, uint64_t index,
                               const char* serialNumber, DeviceModelIf* model)
    : DeviceInfo(renderFilter, captureFilter, hidDeviceId, audioDeviceId, index, serialNumber, model) {}

AsioDeviceInfo::~AsioDeviceInfo() {
    active_.store(nullptr);
    for (size_t i = 0; i < configurations_.size(); ++i) delete configurations_[i];
    configurations_.clear();
}

void AsioDeviceInfo::makeRestorePoint() {
    DeviceInfo::makeRestorePoint();
    for (size_t i = 0; i < configurations_.size(); ++i) configurations_[i]->makeRestorePoint();
}

void AsioDeviceInfo::rollbackChanges() {
    DeviceInfo::rollbackChanges();
    for (size_t i = 0; i < configurations_.size(); ++i) configurations_[i]->rollbackChanges();
}

AsioDeviceConfigurationIf* AsioDeviceInfo::getConfiguration(size_t index) const {
    return index < configurations_.size() ? configurations_[index] : nullptr;
}

bool AsioDeviceInfo::setActiveConfiguration(size_t index) {
    if (index >= configurations_.size()) return false;
    active_.store(configurations_[index]);
    return true;
}

bool AsioDeviceInfo::addConfiguration(AsioDeviceConfigurationIf* configuration) {
    if (configuration == nullptr) return false;
    if (!configurations_.push_back(configuration)) {
        TRACE("Out of memory");
        delete configuration;
        return false;
    }
    return true;
}

uint32_t AsioDeviceInfo::getModelType() const { return getModel() != nullptr ? getModel()->getType() : 0; }
