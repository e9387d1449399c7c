#include "fuzz/ks_fuzz_script.h"

#include <cstring>

#include "platform/errors.h"

namespace ksfuzz {

void ApplyScript(const uint8_t* data, size_t size, kstest::FakeDeviceBoundary& fake, Script& script) {
    script.records.clear();
    fake.pins.clear();
    if (size == 0) return;
    const uint8_t flags = data[0];
    static const ULONG kCommunications[4] = {KSPIN_COMMUNICATION_SINK, KSPIN_COMMUNICATION_BOTH,
                                             KSPIN_COMMUNICATION_SOURCE, KSPIN_COMMUNICATION_NONE};
    for (uint32_t i = 0; i < (flags & 7u); ++i) {
        kstest::FakePin pin;
        pin.dataFlow = (((flags >> 5) ^ i) & 1u) ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
        pin.communication = kCommunications[((flags >> 6) + i) & 3u];
        fake.pins.push_back(pin);
    }
    fake.pendRequests = (flags & 0x08) != 0;
    fake.sizeQueriesInsufficientBuffer = (flags & 0x10) != 0;

    size_t at = 1;
    while (at + 5 <= size) {
        Script::Record record;
        record.pin = data[at];
        record.property = data[at + 1];
        const uint8_t control = data[at + 2];
        size_t length = static_cast<size_t>(data[at + 3]) | (static_cast<size_t>(data[at + 4]) << 8);
        at += 5;
        if (length > size - at) length = size - at;
        const uint8_t* reply = data + at;
        at += length;
        if (control & kControlFail) record.reply.error = os::kErrorGenFailure;
        if ((control & kControlReportedSize) && length >= 4) {
            record.reply.overrideSize = true;
            std::memcpy(&record.reply.reportedSize, reply, 4);
            reply += 4;
            length -= 4;
        }
        record.reply.data.assign(reply, reply + length);
        script.records.push_back(record);
    }
    fake.replyHook = [&script](ULONG pinId, const GUID&, ULONG id, kstest::FakeReply* reply) {
        const ULONG pin = pinId == kstest::FakeDeviceBoundary::kFilterLevel ? kFilterPin : pinId;
        for (const Script::Record& record : script.records) {
            if (record.pin == pin && record.property == id) {
                *reply = record.reply;
                return true;
            }
        }
        return false;
    };
}

void AppendRecord(std::vector<uint8_t>& input, uint8_t pin, uint8_t property, uint8_t control,
                  const std::vector<uint8_t>& reply) {
    input.push_back(pin);
    input.push_back(property);
    input.push_back(control);
    input.push_back(static_cast<uint8_t>(reply.size() & 0xFF));
    input.push_back(static_cast<uint8_t>(reply.size() >> 8));
    input.insert(input.end(), reply.begin(), reply.end());
}

}  // namespace ksfuzz
