// Units fed from a real ASIO device record: the record's filters, its
// detected configuration's formats and its live routing.
#include <gtest/gtest.h>

#include <memory>

#include "brands/vexa_qelm_asio_device_info.h"
#include "engine/asio_device_unit_routing.h"
#include "engine/ks_audio_capture_filter.h"
#include "engine/ks_audio_render_filter.h"
#include "sim/bus.h"

namespace {

TEST(AsioDeviceUnitRouting, UnitsOpenTheDetectedLayoutAndFollowTheRecordsRouting) {
    sim::SimBus bus(sim::ClockMode::Manual);
    sim::ScopedDeviceBoundary boundary(bus);
    sim::ControllerConfig config;
    config.serial = sim::widen("ROUTE1");
    config.layout = sim::QelmLayout::EightTwo;
    auto controller = bus.plug(config);
    ASSERT_TRUE(controller);
    HRESULT result = E_FAIL;
    auto* render = new CKsAudRenFilter(controller->interfacePath().c_str(), "render", &result);
    auto* capture = new CKsAudCapFilter(controller->interfacePath().c_str(), "capture", &result);
    // The record owns and deletes the filters.
    auto device = std::make_unique<VexaQelmAsioDeviceInfo>(render, capture, "hid", "audio", 0, "ROUTE1", nullptr);
    ASSERT_NE(device->getActiveConfiguration(), nullptr);
    device->getActiveConfiguration()->setOutputAsioChannel(7, 12);
    device->getActiveConfiguration()->setInputAsioChannel(1, 3);

    AsioDeviceUnitRouting routing(device.get());
    std::unique_ptr<KsAudioRenderFilter> out(KsAudioRenderFilter::instantiate(&routing, 16));
    std::unique_ptr<KsAudioCaptureFilter> in(KsAudioCaptureFilter::instantiate(&routing, 16));
    ASSERT_TRUE(out);
    ASSERT_TRUE(in);
    EXPECT_EQ(out->getChannels(), 8);
    EXPECT_EQ(in->getChannels(), 2);
    EXPECT_EQ(out->getKsFilter(), render);
    EXPECT_EQ(in->getKsFilter(), capture);
    EXPECT_EQ(out->getChannelInfo(7), 12);
    EXPECT_EQ(out->getChannelInfo(0), 255);  // still disabled: nothing assigned it
    EXPECT_EQ(in->getChannelInfo(1), 3);
    device->getActiveConfiguration()->setOutputAsioChannel(0, 4);
    EXPECT_EQ(out->getChannelInfo(0), 4);

    AsioDeviceUnitRouting empty(nullptr);
    EXPECT_EQ(empty.getNumberOfFormats(), 0u);
    EXPECT_EQ(empty.getOutputAsioChannel(0), kUnitChannelUnrouted);
    EXPECT_EQ(KsAudioRenderFilter::instantiate(&empty, 16), nullptr);
    out.reset();
    in.reset();
}

}  // namespace
