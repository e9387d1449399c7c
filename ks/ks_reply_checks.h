// Checks of what a device hands back for multi-item properties, before
// anything reads it. A device (or a simulated one) may report item counts,
// sizes and data-range lengths that its reply does not hold; these checks
// bound every walk by the bytes actually delivered.
#pragma once

#include "platform/ks_abi.h"

namespace ksreply {

// The largest variable-size property reply the layer accepts. Real filters
// answer with a few kilobytes at most; a larger size is taken as a lie
// rather than allocated.
constexpr ULONG kMaxPropertyBytes = 1u << 20;

// More pins than this on one filter is taken as a broken pin count.
constexpr ULONG kMaxPinCount = 256;

// True when `bytes` hold a KSMULTIPLE_ITEM header and Count items of
// `itemSize` bytes behind it.
bool FixedItemsFit(const void* reply, ULONG bytes, ULONG itemSize);

// True when `bytes` hold a KSMULTIPLE_ITEM header and Count data ranges
// behind it, each following the previous one at its FormatSize, each at
// least a KSDATARANGE long, and none reaching past the reply. (Audio ranges
// shorter than a KSDATARANGE_AUDIO are legal here, as bridge pins send them;
// whoever reads the audio fields checks the length.)
bool DataRangesFit(const void* reply, ULONG bytes);

// The item count of a reply that passed one of the checks above.
ULONG ItemCount(const void* reply);

// Reads the KSDATARANGE at `offset` bytes into a reply (no alignment needed).
KSDATARANGE ReadDataRange(const void* reply, ULONG offset);

}  // namespace ksreply
