#include "tools/soak_driver.h"

#include <new>

#include "brands/memory_settings_store.h"
#include "driver/driver_backend.h"
#include "driver/win_asio.h"

namespace soak {

SoakDriver::~SoakDriver() { release(); }

bool SoakDriver::create(uint32_t pollingIntervalMs) {
    release();
    DriverBackendIf* backend = createBackend(pollingIntervalMs, &backend_);
    static MemorySettingsStore preferences;  // the driver object's own settings
    HRESULT result = 0;
    auto* object = new (std::nothrow) WinAsio(nullptr, &result, backend, preferences);
    if (object == nullptr) delete backend;  // else the object owns it
    if (object == nullptr || result < 0) {
        delete object;
        backend_ = nullptr;
        return false;
    }
    driver_ = object;
    driver_->AddRef();
    return true;
}

UnitGaps SoakDriver::unitGaps(const std::string& serial, bool input) const {
    return backendUnitGaps(backend_, serial, input);
}

void SoakDriver::release() {
    if (driver_ == nullptr) return;
    backend_ = nullptr;
    driver_->Release();
    driver_ = nullptr;
}

}  // namespace soak
