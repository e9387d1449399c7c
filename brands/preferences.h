// The user's buffer-length choice: one step of the active brand's
// buffer-size model, stored as "Buffer Size" in the settings key. The
// driver reads it when its driver object is created; only the settings
// dialog writes it.
#pragma once

#include <cstddef>

#include "brands/settings_store.h"

class Preferences {
public:
    // Starts from the model's default step and loads the stored one.
    explicit Preferences(SettingsStoreIf& store = userSettingsStore());
    ~Preferences() = default;
    Preferences(const Preferences&) = delete;
    Preferences& operator=(const Preferences&) = delete;

    size_t getBufferSizeStep() const { return currentStep_; }
    // Not range-checked: the dialog's slider offers only valid steps.
    void setBufferSizeStep(size_t step) { currentStep_ = step; }

    // Writes "Buffer Size"; false when a key or the value cannot be written.
    bool save();
    // A stored step below the model's count becomes current; a step beyond
    // it gives the default step; a missing or unreadable value (absent, not
    // a 4-byte REG_DWORD) leaves the current step. The restore point follows
    // what was loaded.
    void load();

    void makeRestorePoint() { savedStep_ = currentStep_; }
    void rollbackChanges() { currentStep_ = savedStep_; }

private:
    SettingsStoreIf& store_;
    size_t currentStep_;
    size_t savedStep_;
};
