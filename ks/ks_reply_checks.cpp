#include "ks/ks_reply_checks.h"

#include <cstring>


namespace ksreply {

namespace {
KSMULTIPLE_ITEM ReadHeader(const void* reply) {
    KSMULTIPLE_ITEM header;
    std::memcpy(&header, reply, sizeof(header));
    return header;
}
}  // namespace

bool FixedItemsFit(const void* reply, ULONG bytes, ULONG itemSize) {
    if (reply == nullptr || bytes < sizeof(KSMULTIPLE_ITEM) || itemSize == 0) return false;
    uint64_t needed = sizeof(KSMULTIPLE_ITEM) + static_cast<uint64_t>(ReadHeader(reply).Count) * itemSize;
    return needed <= bytes;
}

bool DataRangesFit(const void* reply, ULONG bytes) {
    if (reply == nullptr || bytes < sizeof(KSMULTIPLE_ITEM)) return false;
    ULONG count = ReadHeader(reply).Count;
    uint64_t offset = sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < count; ++i) {
        if (offset + sizeof(KSDATARANGE) > bytes) return false;
        KSDATARANGE range = ReadDataRange(reply, static_cast<ULONG>(offset));
        if (range.FormatSize < sizeof(KSDATARANGE) || offset + range.FormatSize > bytes) return false;
        offset += range.FormatSize;
    }
    return true;
}

ULONG ItemCount(const void* reply) { return ReadHeader(reply).Count; }

KSDATARANGE ReadDataRange(const void* reply, ULONG offset) {
    KSDATARANGE range;
    std::memcpy(&range, static_cast<const uint8_t*>(reply) + offset, sizeof(range));
    return range;
}

}  // namespace ksreply
