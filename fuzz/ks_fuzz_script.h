// The input format of the Kernel Streaming reply fuzzer, shared by the
// fuzzer and the seed generator.
//
//   byte 0     the filter: bits 0-2 pin count (0-7), bit 3 property requests
//              complete through ERROR_IO_PENDING, bit 4 size queries answer
//              ERROR_INSUFFICIENT_BUFFER, bit 5 flips the data flow of every
//              pin, bits 6-7 rotate the pins' communications
//   then records, as many as the input holds:
//     pin (0xFF: the filter itself), property id, control, length (2 bytes,
//     little-endian), then length bytes of reply (cut at the end of input).
//     control bit 0: the request fails; bit 1: the first 4 reply bytes are
//     the size that size queries report, the rest is the reply.
//
// A (pin, property) without a record is answered as a well-formed stereo
// audio pin would answer it, so that mutations of one reply reach deep into
// the description and the data-range walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tests/ks/fake_device_boundary.h"

namespace ksfuzz {

constexpr uint8_t kFilterPin = 0xFF;
constexpr uint8_t kControlFail = 0x01;
constexpr uint8_t kControlReportedSize = 0x02;

// Configures `fake` from one input; the fake's reply hook refers to
// `records`, which must outlive its use.
struct Script {
    struct Record {
        uint8_t pin;
        uint8_t property;
        kstest::FakeReply reply;
    };
    std::vector<Record> records;
};
void ApplyScript(const uint8_t* data, size_t size, kstest::FakeDeviceBoundary& fake, Script& script);

// One record in the input format.
void AppendRecord(std::vector<uint8_t>& input, uint8_t pin, uint8_t property, uint8_t control,
                  const std::vector<uint8_t>& reply);

}  // namespace ksfuzz
