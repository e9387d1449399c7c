// Property replies of simulated filters: layouts, size queries, errors and
// the malformed replies that test the KS layer's robustness.
#include <gtest/gtest.h>

#include "sim_test_support.h"

using namespace simtest;

namespace {

using FilterProperties = OpenFilterTest;

KSDATARANGE_AUDIO rangeAt(const std::vector<uint8_t>& reply, size_t offset) {
    KSDATARANGE_AUDIO range;
    std::memset(&range, 0, sizeof(range));
    std::memcpy(&range, reply.data() + offset, std::min(sizeof(range), reply.size() - offset));
    return range;
}

KSMULTIPLE_ITEM headerOf(const std::vector<uint8_t>& reply) {
    KSMULTIPLE_ITEM header{};
    if (reply.size() >= sizeof(header)) std::memcpy(&header, reply.data(), sizeof(header));
    return header;
}

TEST_F(FilterProperties, QelmPinsDescribeRenderCaptureAndBridges) {
    open(qelm("QELM00001"));
    KSPROPERTY count = propertyRequest(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES);
    ULONG pins = 0;
    Result r = ioctl(bus, filter, &count, sizeof(count), &pins, sizeof(pins));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 4u);
    ASSERT_EQ(pins, 4u);

    // Render sink, speaker bridge, line-in bridge, capture sink.
    const ULONG flows[] = {KSPIN_DATAFLOW_IN, KSPIN_DATAFLOW_OUT, KSPIN_DATAFLOW_IN, KSPIN_DATAFLOW_OUT};
    const ULONG comms[] = {KSPIN_COMMUNICATION_SINK, KSPIN_COMMUNICATION_NONE, KSPIN_COMMUNICATION_NONE,
                           KSPIN_COMMUNICATION_SINK};
    for (ULONG pin = 0; pin < 4; ++pin) {
        EXPECT_EQ(pinSimple<ULONG>(bus, filter, pin, KSPROPERTY_PIN_DATAFLOW), flows[pin]) << pin;
        EXPECT_EQ(pinSimple<ULONG>(bus, filter, pin, KSPROPERTY_PIN_COMMUNICATION), comms[pin]) << pin;
    }

    for (ULONG id : {static_cast<ULONG>(KSPROPERTY_PIN_INTERFACES), static_cast<ULONG>(KSPROPERTY_PIN_MEDIUMS)}) {
        std::vector<uint8_t> reply = pinMulti(bus, filter, 0, id);
        ASSERT_EQ(reply.size(), sizeof(KSMULTIPLE_ITEM) + sizeof(KSIDENTIFIER));
        EXPECT_EQ(headerOf(reply).Size, reply.size());
        EXPECT_EQ(headerOf(reply).Count, 1u);
        KSIDENTIFIER item;
        std::memcpy(&item, reply.data() + sizeof(KSMULTIPLE_ITEM), sizeof(item));
        EXPECT_TRUE(os::guidEquals(item.Set, id == KSPROPERTY_PIN_INTERFACES ? KSINTERFACESETID_Standard
                                                                             : KSMEDIUMSETID_Standard));
        EXPECT_EQ(item.Id, 0u);
    }

    for (ULONG pin : {0u, 3u}) {
        std::vector<uint8_t> reply = pinMulti(bus, filter, pin, KSPROPERTY_PIN_DATARANGES);
        ASSERT_EQ(reply.size(), sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE_AUDIO));
        EXPECT_EQ(headerOf(reply).Count, 1u);
        KSDATARANGE_AUDIO range = rangeAt(reply, sizeof(KSMULTIPLE_ITEM));
        EXPECT_EQ(range.DataRange.FormatSize, 88u);
        EXPECT_TRUE(os::guidEquals(range.DataRange.MajorFormat, KSDATAFORMAT_TYPE_AUDIO));
        EXPECT_TRUE(os::guidEquals(range.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
        EXPECT_TRUE(os::guidEquals(range.DataRange.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX));
        EXPECT_EQ(range.MaximumChannels, 4u);
        EXPECT_EQ(range.MinimumBitsPerSample, 16u);
        EXPECT_EQ(range.MaximumBitsPerSample, 16u);
        EXPECT_EQ(range.MinimumSampleFrequency, 44100u);
        EXPECT_EQ(range.MaximumSampleFrequency, 44100u);
    }
    // Bridge pins carry an analog range only.
    std::vector<uint8_t> bridge = pinMulti(bus, filter, 1, KSPROPERTY_PIN_DATARANGES);
    ASSERT_EQ(bridge.size(), sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE));
    EXPECT_TRUE(os::guidEquals(rangeAt(bridge, 8).DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_ANALOG));

    KSPIN_CINSTANCES instances = pinSimple<KSPIN_CINSTANCES>(bus, filter, 0, KSPROPERTY_PIN_CINSTANCES);
    EXPECT_EQ(instances.PossibleCount, 1u);
    EXPECT_EQ(instances.CurrentCount, 0u);
    EXPECT_TRUE(os::guidEquals(pinSimple<GUID>(bus, filter, 1, KSPROPERTY_PIN_CATEGORY), KSNODETYPE_SPEAKER));

    // The name as UTF-16 with its terminator, into the 259 bytes the KS layer offers.
    KSP_PIN nameRequest = pinRequest(0, KSPROPERTY_PIN_NAME);
    uint8_t name[259] = {};
    r = ioctl(bus, filter, &nameRequest, sizeof(nameRequest), name, sizeof(name));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 2u * (8 + 1));
    EXPECT_EQ(name[0], 'P');
    EXPECT_EQ(name[1], 0);
    EXPECT_EQ(name[14], 'k');
    EXPECT_EQ(name[16], 0);
    EXPECT_EQ(name[17], 0);
}

TEST_F(FilterProperties, LayoutsAndSecondBrandFormats) {
    open(qelm("QELM00002", sim::QelmLayout::EightTwo));
    EXPECT_EQ(rangeAt(pinMulti(bus, filter, 0, KSPROPERTY_PIN_DATARANGES), 8).MaximumChannels, 8u);
    EXPECT_EQ(rangeAt(pinMulti(bus, filter, 3, KSPROPERTY_PIN_DATARANGES), 8).MaximumChannels, 2u);

    // Switching the layout re-enumerates the unit with the other ranges.
    const std::string path = controller->interfacePath();
    ASSERT_TRUE(bus.setQelmLayout(controller, sim::QelmLayout::FourFour));
    EXPECT_EQ(controller->interfacePath(), path);
    KSP_PIN request = pinRequest(0, KSPROPERTY_PIN_DATAFLOW);
    ULONG flow = 0;
    EXPECT_EQ(ioctl(bus, filter, &request, sizeof(request), &flow, sizeof(flow)).error, os::kErrorDeviceNotConnected);
    bus.closeDevice(filter);
    filter = openFilter(bus, controller->interfacePath());
    EXPECT_EQ(rangeAt(pinMulti(bus, filter, 0, KSPROPERTY_PIN_DATARANGES), 8).MaximumChannels, 4u);

    sim::ControllerConfig dalto;
    dalto.model = sim::Model::Dalto;
    dalto.serial = sim::widen("DALTO0001");
    open(dalto);
    EXPECT_EQ(pinSimple<ULONG>(bus, filter, 0, KSPROPERTY_PIN_CTYPES), 2u);  // output only
    std::vector<uint8_t> ranges = pinMulti(bus, filter, 0, KSPROPERTY_PIN_DATARANGES);
    ASSERT_EQ(headerOf(ranges).Count, 2u);
    ASSERT_EQ(ranges.size(), 8u + 2 * 88);
    EXPECT_EQ(rangeAt(ranges, 8).MaximumBitsPerSample, 24u);
    EXPECT_EQ(rangeAt(ranges, 8).MinimumSampleFrequency, 44100u);
    EXPECT_EQ(rangeAt(ranges, 8).MaximumSampleFrequency, 48000u);
    EXPECT_EQ(rangeAt(ranges, 96).MaximumBitsPerSample, 16u);

    KSPROPERTY categories = propertyRequest(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CATEGORIES);
    Result size = ioctl(bus, filter, &categories, sizeof(categories), nullptr, 0);
    EXPECT_EQ(size.bytes, 8u + 2 * sizeof(GUID));  // audio and render, no capture
}

TEST_F(FilterProperties, TopologyNodesConnectionsAndNames) {
    open(qelm("QELM00003"));
    KSPROPERTY nodes = propertyRequest(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES);
    std::vector<uint8_t> reply(256);
    Result r = ioctl(bus, filter, &nodes, sizeof(nodes), reply.data(), 256);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.bytes, 8u + 4 * sizeof(GUID));
    EXPECT_EQ(headerOf(reply).Count, 4u);
    GUID second;
    std::memcpy(&second, reply.data() + 8 + sizeof(GUID), sizeof(second));
    EXPECT_TRUE(os::guidEquals(second, KSNODETYPE_DAC));

    KSPROPERTY connections = propertyRequest(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CONNECTIONS);
    r = ioctl(bus, filter, &connections, sizeof(connections), reply.data(), 256);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.bytes, 8u + 6 * sizeof(KSTOPOLOGY_CONNECTION));
    KSTOPOLOGY_CONNECTION first;
    std::memcpy(&first, reply.data() + 8, sizeof(first));
    EXPECT_EQ(first.FromNode, KSFILTER_NODE);
    EXPECT_EQ(first.ToNode, 0u);

    KSP_NODE nameRequest;
    std::memset(&nameRequest, 0, sizeof(nameRequest));
    nameRequest.Property = propertyRequest(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NAME);
    nameRequest.NodeId = 1;
    r = ioctl(bus, filter, &nameRequest, sizeof(nameRequest), reply.data(), 256);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 8u);  // "DAC" and terminator
    nameRequest.NodeId = 4;
    EXPECT_EQ(ioctl(bus, filter, &nameRequest, sizeof(nameRequest), reply.data(), 256).error,
              os::kErrorInvalidParameter);
}

TEST_F(FilterProperties, SizeQueriesAndRefusedRequests) {
    open(qelm("QELM00004"));
    // A fixed-size property answers a size query too; a small buffer is refused with the size.
    KSP_PIN flow = pinRequest(0, KSPROPERTY_PIN_DATAFLOW);
    Result r = ioctl(bus, filter, &flow, sizeof(flow), nullptr, 0);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, os::kErrorMoreData);
    EXPECT_EQ(r.bytes, 4u);
    KSP_PIN ranges = pinRequest(0, KSPROPERTY_PIN_DATARANGES);
    uint8_t small[16];
    r = ioctl(bus, filter, &ranges, sizeof(ranges), small, sizeof(small));
    EXPECT_EQ(r.error, os::kErrorInsufficientBuffer);
    EXPECT_EQ(r.bytes, 96u);

    ULONG value = 0;
    KSP_PIN badPin = pinRequest(9, KSPROPERTY_PIN_DATAFLOW);
    EXPECT_EQ(ioctl(bus, filter, &badPin, sizeof(badPin), &value, 4).error, os::kErrorInvalidParameter);
    EXPECT_EQ(ioctl(bus, filter, &flow, 24, &value, 4).error, os::kErrorInvalidParameter);  // KSPROPERTY only
    EXPECT_EQ(ioctl(bus, filter, &flow, 12, &value, 4).error, os::kErrorInvalidParameter);
    KSP_PIN unknownSet = pinRequest(0, 0, KSPROPSETID_General);
    EXPECT_EQ(ioctl(bus, filter, &unknownSet, sizeof(unknownSet), &value, 4).error, sim::kErrorSetNotFound);
    KSP_PIN unknownId = pinRequest(0, 77);
    EXPECT_EQ(ioctl(bus, filter, &unknownId, sizeof(unknownId), &value, 4).error, os::kErrorNotFound);
    KSP_PIN set = pinRequest(0, KSPROPERTY_PIN_DATAFLOW);
    set.Property.Flags = KSPROPERTY_TYPE_SET;
    EXPECT_EQ(ioctl(bus, filter, &set, sizeof(set), &value, 4).error, os::kErrorInvalidFunction);

    // Without an OVERLAPPED the request is refused: every KS handle is overlapped.
    DWORD bytes = 0;
    EXPECT_FALSE(bus.deviceIoControl(filter, IOCTL_KS_PROPERTY, &flow, sizeof(flow), &value, 4, &bytes, nullptr));
    EXPECT_EQ(os::lastError(), os::kErrorInvalidParameter);

    sim::Faults faults;
    faults.sizeQueryInsufficientBuffer = true;
    controller->setFaults(faults);
    r = ioctl(bus, filter, &ranges, sizeof(ranges), nullptr, 0);
    EXPECT_EQ(r.error, os::kErrorInsufficientBuffer);
    EXPECT_EQ(r.bytes, 96u);
}

TEST_F(FilterProperties, PendingRepliesCompleteThroughTheMaskedEvent) {
    open(qelm("QELM00005"));
    sim::Faults faults;
    faults.pendPropertyRequests = true;
    controller->setFaults(faults);
    KSP_PIN flow = pinRequest(3, KSPROPERTY_PIN_DATAFLOW);
    Overlapped o;
    ULONG value = 0;
    DWORD bytes = 0;
    EXPECT_FALSE(bus.deviceIoControl(filter, IOCTL_KS_PROPERTY, &flow, sizeof(flow), &value, 4, &bytes, &o.ov));
    EXPECT_EQ(os::lastError(), os::kErrorIoPending);
    EXPECT_TRUE(o.signalled());
    DWORD transferred = 0;
    EXPECT_TRUE(bus.getOverlappedResult(filter, &o.ov, &transferred, false));
    EXPECT_EQ(transferred, 4u);
    EXPECT_EQ(value, static_cast<ULONG>(KSPIN_DATAFLOW_OUT));
}

TEST_F(FilterProperties, MalformedRepliesLieAsConfigured) {
    sim::ControllerConfig config = qelm("QELM00006");
    open(config);
    sim::Faults faults;

    faults.malformed = sim::Malformation::ItemCountTooLarge;
    controller->setFaults(faults);
    std::vector<uint8_t> reply = pinMulti(bus, filter, 0, KSPROPERTY_PIN_DATARANGES);
    EXPECT_EQ(headerOf(reply).Size, reply.size());
    EXPECT_GT(headerOf(reply).Count, (reply.size() - 8) / 88);

    faults.malformed = sim::Malformation::RangeSizeZero;
    controller->setFaults(faults);
    EXPECT_EQ(rangeAt(pinMulti(bus, filter, 0, KSPROPERTY_PIN_DATARANGES), 8).DataRange.FormatSize, 0u);

    faults.malformed = sim::Malformation::RangeSizeTooSmall;
    controller->setFaults(faults);
    reply = pinMulti(bus, filter, 0, KSPROPERTY_PIN_DATARANGES);
    EXPECT_EQ(reply.size(), 8u + 64);
    EXPECT_EQ(rangeAt(reply, 8).DataRange.FormatSize, 64u);

    faults.malformed = sim::Malformation::RangePastEnd;
    controller->setFaults(faults);
    reply = pinMulti(bus, filter, 0, KSPROPERTY_PIN_DATARANGES);
    EXPECT_GT(8u + rangeAt(reply, 8).DataRange.FormatSize, reply.size());

    faults.malformed = sim::Malformation::HugeSizeQuery;
    faults.wildcardRanges = true;
    controller->setFaults(faults);
    KSP_PIN ranges = pinRequest(0, KSPROPERTY_PIN_DATARANGES);
    Result size = ioctl(bus, filter, &ranges, sizeof(ranges), nullptr, 0);
    EXPECT_EQ(size.bytes, 0x7FFFFFF0u);
    std::vector<uint8_t> buffer(4096);
    Result fetch = ioctl(bus, filter, &ranges, sizeof(ranges), buffer.data(), 4096);
    EXPECT_TRUE(fetch.ok);
    EXPECT_EQ(fetch.bytes, 96u);
    EXPECT_TRUE(os::guidEquals(rangeAt(buffer, 8).DataRange.SubFormat, GUID_NULL));
}

}  // namespace
