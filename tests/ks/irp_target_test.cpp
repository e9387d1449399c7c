// Handle helpers, synchronous requests and the property request conventions.
#include <cstring>

#include "ks/ks_irp_target.h"
#include "ks/ks_reply_checks.h"
#include "platform/errors.h"
#include "tests/ks/ks_fixture.h"

namespace kstest {
namespace {

class IrpTargetTest : public KsFixture {
protected:
    HANDLE OpenFilter() {
        return fake.openDevice(fake.filterPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED);
    }
    // A pin property request of pin 0 with the given output buffer.
    HRESULT PinRequest(HANDLE handle, ULONG id, void* out, ULONG outSize, ULONG* bytes) {
        KSP_PIN request;
        std::memset(&request, 0, sizeof(request));
        request.Property.Set = KSPROPSETID_Pin;
        request.Property.Id = id;
        request.Property.Flags = KSPROPERTY_TYPE_GET;
        return CKsIrpTarget::SyncIoctl(handle, IOCTL_KS_PROPERTY, &request, sizeof(request), out, outSize, bytes);
    }
};

TEST_F(IrpTargetTest, InvalidHandlesAreNeitherClosedNorUsed) {
    HANDLE none = nullptr;
    HANDLE invalid = INVALID_HANDLE_VALUE;
    EXPECT_FALSE(CKsIrpTarget::IsValidHandle(none));
    EXPECT_FALSE(CKsIrpTarget::IsValidHandle(invalid));
    EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(none));
    EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(invalid));
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(fake.closes, 0);

    ULONG bytes = 77;
    ULONG value = 0;
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(nullptr, IOCTL_KS_PROPERTY, &value, 4, &value, 4, &bytes), E_FAIL);
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(INVALID_HANDLE_VALUE, IOCTL_KS_PROPERTY, &value, 4, &value, 4, &bytes), E_FAIL);
    EXPECT_EQ(bytes, 77u);
    EXPECT_EQ(fake.ioctls, 0);
}

TEST_F(IrpTargetTest, SafeCloseClosesOnceAndLeavesInvalidHandle) {
    HANDLE handle = OpenFilter();
    ASSERT_TRUE(CKsIrpTarget::IsValidHandle(handle));
    EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(handle));
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(handle));
    EXPECT_EQ(fake.closes, 1);
    EXPECT_EQ(fake.openHandles(), 0u);
}

TEST_F(IrpTargetTest, SizeQueriesReportTheNeededSizeWithEitherError) {
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN);
    HANDLE handle = OpenFilter();
    const ULONG expected = static_cast<ULONG>(fake.pins[0].dataRanges.size());
    for (bool insufficient : {false, true}) {
        for (bool pend : {false, true}) {
            SCOPED_TRACE(testing::Message() << "insufficient buffer " << insufficient << ", pending " << pend);
            fake.sizeQueriesInsufficientBuffer = insufficient;
            fake.pendRequests = pend;
            ULONG bytes = 0;
            EXPECT_EQ(PinRequest(handle, KSPROPERTY_PIN_DATARANGES, nullptr, 0, &bytes), S_OK);
            EXPECT_EQ(bytes, expected);
        }
    }
    CKsIrpTarget::SafeCloseHandle(handle);
}

TEST_F(IrpTargetTest, MoreDataWithAnOutputBufferOrOnOtherCodesFails) {
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN);
    HANDLE handle = OpenFilter();
    uint8_t small[12];
    ULONG bytes = 5;
    EXPECT_EQ(PinRequest(handle, KSPROPERTY_PIN_DATARANGES, small, sizeof(small), &bytes), E_FAIL);
    EXPECT_EQ(bytes, 0u);
    // The same answer to anything but a property request is no size query.
    fake.otherCodeError = os::kErrorMoreData;
    bytes = 5;
    KSP_PIN request{};
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(handle, IOCTL_KS_READ_STREAM, &request, sizeof(request), nullptr, 0, &bytes),
              E_FAIL);
    CKsIrpTarget::SafeCloseHandle(handle);
}

TEST_F(IrpTargetTest, QueuedRequestsReportTheirOutcomeAndByteCount) {
    FakePin& pin = AddPin(KSPIN_COMMUNICATION_BOTH, KSPIN_DATAFLOW_OUT);
    pin.failingProperties.insert(KSPROPERTY_PIN_NAME);
    HANDLE handle = OpenFilter();
    fake.pendRequests = true;
    ULONG value = 0;
    ULONG bytes = 0;
    EXPECT_EQ(PinRequest(handle, KSPROPERTY_PIN_COMMUNICATION, &value, sizeof(value), &bytes), S_OK);
    EXPECT_EQ(value, static_cast<ULONG>(KSPIN_COMMUNICATION_BOTH));
    EXPECT_EQ(bytes, sizeof(value));
    // A request that fails after being queued is a failure, not a success.
    uint8_t name[64];
    EXPECT_EQ(PinRequest(handle, KSPROPERTY_PIN_NAME, name, sizeof(name), &bytes), E_FAIL);
    EXPECT_EQ(bytes, 0u);
    CKsIrpTarget::SafeCloseHandle(handle);
}

TEST_F(IrpTargetTest, SetPropertySimpleSendsRequestAndExtraBytesWithValueAsOutput) {
    HANDLE handle = OpenFilter();
    CKsIrpTarget target(handle);
    ULONG value = 3;
    uint8_t extra[5] = {1, 2, 3, 4, 5};
    // The fake answers filter-level requests it does not know with an error,
    // which still shows what was sent.
    EXPECT_EQ(target.SetPropertySimple(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &value, sizeof(value),
                                       extra, sizeof(extra)),
              E_FAIL);
    ASSERT_EQ(fake.propertyRequests.size(), 1u);
    const std::vector<uint8_t>& sent = fake.propertyRequests[0];
    ASSERT_EQ(sent.size(), sizeof(KSPROPERTY) + sizeof(extra));
    KSPROPERTY property;
    std::memcpy(&property, sent.data(), sizeof(property));
    EXPECT_TRUE(os::guidEquals(property.Set, KSPROPSETID_Connection));
    EXPECT_EQ(property.Id, static_cast<ULONG>(KSPROPERTY_CONNECTION_STATE));
    EXPECT_EQ(property.Flags, KSPROPERTY_TYPE_SET);
    EXPECT_EQ(std::memcmp(sent.data() + sizeof(property), extra, sizeof(extra)), 0);

    heap::failReallocationsAfter(0);
    EXPECT_EQ(target.SetPropertySimple(KSPROPSETID_Connection, 0, &value, sizeof(value)), E_OUTOFMEMORY);
    heap::failReallocationsAfter(heap::kNever);
    EXPECT_EQ(fake.propertyRequests.size(), 1u);
    CKsIrpTarget::SafeCloseHandle(handle);
}

TEST_F(IrpTargetTest, GetPropertyMultiOfAnEmptyPropertyLeavesThePointerNull) {
    HANDLE handle = OpenFilter();
    CKsIrpTarget target(handle);
    KSMULTIPLE_ITEM* items = nullptr;
    EXPECT_EQ(target.GetPropertyMulti(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, &items), S_OK);
    EXPECT_EQ(items, nullptr);

    fake.nodes = {KSNODETYPE_DAC, KSNODETYPE_VOLUME};
    ULONG bytes = 0;
    EXPECT_EQ(target.GetPropertyMulti(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, &items, &bytes), S_OK);
    ASSERT_NE(items, nullptr);
    EXPECT_EQ(bytes, sizeof(KSMULTIPLE_ITEM) + 2 * sizeof(GUID));
    EXPECT_EQ(items->Count, 2u);
    CKsIrpTarget::FreeBuffer(items);
    CKsIrpTarget::SafeCloseHandle(handle);
}

TEST_F(IrpTargetTest, ImplausibleSizesAreRefusedBeforeAnyAllocation) {
    HANDLE handle = OpenFilter();
    CKsIrpTarget target(handle);
    for (DWORD size : {DWORD{4}, ksreply::kMaxPropertyBytes + 1, DWORD{0x7FFFFFF0u}}) {
        SCOPED_TRACE(size);
        fake.replyHook = [size](ULONG, const GUID&, ULONG, FakeReply* reply) {
            reply->data.assign(8, 0);
            reply->overrideSize = true;
            reply->reportedSize = size;
            return true;
        };
        int before = fake.ioctls;
        KSMULTIPLE_ITEM* items = nullptr;
        EXPECT_EQ(target.GetPropertyMulti(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, &items), E_FAIL);
        EXPECT_EQ(items, nullptr);
        EXPECT_EQ(fake.ioctls - before, 1);  // the size query only
    }
    CKsIrpTarget::SafeCloseHandle(handle);
}

}  // namespace
}  // namespace kstest
