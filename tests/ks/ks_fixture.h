// The fixture of the Kernel Streaming tests: a fake device boundary,
// installed for each test, and helpers that open its filter.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "base/heap.h"
#include "ks/ks_aud_filter.h"
#include "tests/ks/fake_device_boundary.h"

namespace kstest {

class KsFixture : public ::testing::Test {
protected:
    void SetUp() override { os::installDeviceBoundary(&fake); }
    void TearDown() override {
        heap::failReallocationsAfter(heap::kNever);
        os::installDeviceBoundary(nullptr);
    }

    // A pin at index `index` with one audio range, communication and flow given.
    FakePin& AddPin(ULONG communication, ULONG dataFlow,
                    std::vector<KSDATARANGE_AUDIO> ranges = {AudioRange(2, 16, 24, 44100, 48000)}) {
        FakePin pin;
        pin.communication = communication;
        pin.dataFlow = dataFlow;
        pin.dataRanges = DataRangeReply(ranges);
        fake.pins.push_back(pin);
        return fake.pins.back();
    }

    // An opened filter of type F, pins not yet enumerated.
    template <typename F>
    std::unique_ptr<F> Open() {
        HRESULT result = E_FAIL;
        auto filter = std::make_unique<F>(fake.filterPath.c_str(), "Fake Filter", &result);
        EXPECT_EQ(result, S_OK);
        EXPECT_EQ(filter->Instantiate(), S_OK);
        return filter;
    }

    FakeDeviceBoundary fake;
};

}  // namespace kstest
