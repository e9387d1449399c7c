// Where the settings live: below HKEY_CURRENT_USER, the key
// "Software\<brand name>\<driver id>" of the active brand.
#pragma once

#include "brands/settings_store.h"

// Opens the settings key of the key's store (read only, or writable);
// false, leaving the key closed, when there is no active brand or no such
// key.
bool openSettingsKey(SettingsKey& key, bool writable);
// Creates or opens the settings key for writing, and every key on the way
// ("Software" too, which a fresh store may lack). *existed tells whether
// the settings key was there before. False, leaving the key closed, when
// there is no active brand or a key cannot be created.
bool createSettingsKey(SettingsKey& key, bool* existed = nullptr);
