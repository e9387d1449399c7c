// The input of the settings fuzzer: a text that fills a settings store, one
// line per operation, relative to the active brand's settings key:
//
//   k <path>                 make <path> the current key ("k" alone: the settings key)
//   d <name>=<decimal>       REG_DWORD
//   s <name>=<text>          REG_SZ with its terminator
//   x <type> <name>=<hex>    any type, any bytes
//   r <name>                 delete a value of the current key
//
// Lines that mean nothing are ignored, so every byte string is an input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "brands/settings_store.h"

namespace settings_fuzz {

// Applies the input to the store below the active brand's settings key.
void fillStore(SettingsStoreIf& store, const uint8_t* data, size_t size);

}  // namespace settings_fuzz
