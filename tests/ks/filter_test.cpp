// Filter naming, opening, pin enumeration and classification, topology
// nodes, and render and capture pin selection.
#include <cstring>
#include <string>

#include "platform/errors.h"
#include "tests/ks/ks_fixture.h"

namespace kstest {
namespace {

using FilterTest = KsFixture;

TEST_F(FilterTest, PathsAreStoredWholeOrRefusedAndNamesCut) {
    HRESULT result = S_OK;
    CKsFilter missing(nullptr, "name", &result);
    EXPECT_EQ(result, E_INVALIDARG);

    std::string path(259, 'p');
    std::string name(300, 'n');
    CKsFilter longest(path.c_str(), name.c_str(), &result);
    EXPECT_EQ(result, S_OK);
    EXPECT_EQ(std::string(longest.GetDevicePath()), path);
    EXPECT_EQ(std::string(longest.GetFriendlyName()), std::string(259, 'n'));

    path += 'p';
    CKsFilter tooLong(path.c_str(), "name", &result);
    EXPECT_EQ(result, E_INVALIDARG);
    EXPECT_EQ(tooLong.Instantiate(), E_FAIL);  // opens nothing under a cut name
    EXPECT_EQ(fake.opens, 1);
    EXPECT_EQ(fake.openHandles(), 0u);
}

TEST_F(FilterTest, TypesAndTheirNames) {
    HRESULT result;
    EXPECT_EQ(CKsAudRenFilter("p", "n", &result).GetFilterType(), 1u);
    EXPECT_EQ(CKsAudCapFilter("p", "n", &result).GetFilterType(), 2u);
    EXPECT_EQ(CKsAudFilter("p", "n", &result).GetFilterType(), 0u);
    EXPECT_STREQ(CKsFilter::FilterTypeName(0), "Unknown");
    EXPECT_STREQ(CKsFilter::FilterTypeName(1), "PCM Audio Render");
    EXPECT_STREQ(CKsFilter::FilterTypeName(2), "PCM Audio Capture");
}

TEST_F(FilterTest, InstantiateOpensExclusiveOverlappedAndDeinstantiateCloses) {
    HRESULT result;
    CKsAudRenFilter filter(fake.filterPath.c_str(), "n", &result);
    EXPECT_TRUE(filter.Deinstantiate());  // never opened: nothing to close
    EXPECT_EQ(fake.closes, 0);
    ASSERT_EQ(filter.Instantiate(), S_OK);
    EXPECT_EQ(fake.lastOpenAccess, GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(fake.lastOpenShare, 0u);
    EXPECT_EQ(fake.lastOpenDisposition, OPEN_EXISTING);
    EXPECT_EQ(fake.lastOpenFlags, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(filter.Instantiate(), S_OK);  // already open: kept, not reopened
    EXPECT_EQ(fake.opens, 1);
    EXPECT_TRUE(filter.Deinstantiate());
    EXPECT_EQ(fake.openHandles(), 0u);
    EXPECT_EQ(filter.GetHandle(), INVALID_HANDLE_VALUE);

    fake.openError = os::kErrorAccessDenied;
    EXPECT_EQ(filter.Instantiate(), E_FAIL);
    EXPECT_EQ(filter.GetHandle(), INVALID_HANDLE_VALUE);
}

TEST_F(FilterTest, PinsAreSortedByDataFlowAndCommunication) {
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN);     // 0 render sink
    AddPin(KSPIN_COMMUNICATION_SOURCE, KSPIN_DATAFLOW_IN);   // 1 render source
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_OUT);    // 2 capture sink
    AddPin(KSPIN_COMMUNICATION_SOURCE, KSPIN_DATAFLOW_OUT);  // 3 capture source
    AddPin(KSPIN_COMMUNICATION_BRIDGE, KSPIN_DATAFLOW_OUT);  // 4 not an audio filter's pin
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN).interfaces.clear();  // 5 not constructible
    auto filter = Open<CKsAudFilter>();
    ASSERT_EQ(filter->EnumeratePins(), S_OK);
    ASSERT_EQ(filter->Pins().size(), 4u);
    ASSERT_EQ(filter->RenderSinkPins().size(), 1u);
    EXPECT_EQ(filter->RenderSinkPins()[0]->GetPinId(), 0u);
    ASSERT_EQ(filter->RenderSourcePins().size(), 1u);
    EXPECT_EQ(filter->RenderSourcePins()[0]->GetPinId(), 1u);
    ASSERT_EQ(filter->CaptureSinkPins().size(), 1u);
    EXPECT_EQ(filter->CaptureSinkPins()[0]->GetPinId(), 2u);
    ASSERT_EQ(filter->CaptureSourcePins().size(), 1u);
    EXPECT_EQ(filter->CaptureSourcePins()[0]->GetPinId(), 3u);
    EXPECT_TRUE(filter->NoCommunicationPins().empty());

    // Enumerating again rebuilds the lists rather than doubling them.
    ASSERT_EQ(filter->EnumeratePins(), S_OK);
    EXPECT_EQ(filter->Pins().size(), 4u);
    EXPECT_EQ(filter->RenderSinkPins().size(), 1u);
}

TEST_F(FilterTest, ValuesOutsideTheEnumerationsAreClassifiedSafely) {
    AddPin(8, KSPIN_DATAFLOW_IN);                 // no known communication: listed nowhere
    AddPin(KSPIN_COMMUNICATION_SINK, 7);          // any flow but in counts as capture
    auto plain = Open<CKsFilter>();
    ASSERT_EQ(plain->EnumeratePins(), S_OK);
    EXPECT_EQ(plain->Pins().size(), 2u);
    EXPECT_TRUE(plain->RenderSinkPins().empty());
    ASSERT_EQ(plain->CaptureSinkPins().size(), 1u);
    EXPECT_EQ(plain->CaptureSinkPins()[0]->GetPinId(), 1u);
}

TEST_F(FilterTest, PinsWithoutCommunicationAreViableOnlyForPlainFilters) {
    AddPin(KSPIN_COMMUNICATION_NONE, KSPIN_DATAFLOW_IN);
    AddPin(KSPIN_COMMUNICATION_NONE, KSPIN_DATAFLOW_OUT);
    auto audio = Open<CKsAudFilter>();
    EXPECT_EQ(audio->EnumeratePins(), E_FAIL);
    EXPECT_TRUE(audio->Pins().empty());
    audio.reset();

    auto plain = Open<CKsFilter>();
    EXPECT_EQ(plain->EnumeratePins(), S_OK);
    EXPECT_EQ(plain->NoCommunicationPins().size(), 2u);

    fake.pins.clear();
    EXPECT_EQ(plain->EnumeratePins(), E_FAIL);  // no pins at all
}

TEST_F(FilterTest, PinWithBothCommunicationsIsListedTwiceAndDeletedOnce) {
    AddPin(KSPIN_COMMUNICATION_BOTH, KSPIN_DATAFLOW_IN);
    auto filter = Open<CKsAudRenFilter>();
    ASSERT_EQ(filter->EnumeratePins(), S_OK);
    ASSERT_EQ(filter->Pins().size(), 1u);
    ASSERT_EQ(filter->RenderSinkPins().size(), 1u);
    ASSERT_EQ(filter->RenderSourcePins().size(), 1u);
    EXPECT_EQ(filter->RenderSinkPins()[0], filter->RenderSourcePins()[0]);
    WAVEFORMATEX format = PcmFormat(2, 16, 48000);
    ASSERT_NE(filter->CreateRenderPin(&format, false), nullptr);
    EXPECT_EQ(fake.openHandles(), 2u);
    EXPECT_TRUE(filter->Deinstantiate());
    // The pin handle and the filter handle closed once each, nothing twice.
    EXPECT_EQ(fake.openHandles(), 0u);
    EXPECT_EQ(fake.closes, 2);
    EXPECT_EQ(fake.badCloses, 0);
    EXPECT_TRUE(filter->RenderSourcePins().empty());
}

TEST_F(FilterTest, PinsThatCannotBeDescribedAreSkippedAndEnumerationGoesOn) {
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN).failingProperties.insert(KSPROPERTY_PIN_COMMUNICATION);
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN).failingProperties.insert(KSPROPERTY_PIN_DATAFLOW);
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_OUT);
    auto filter = Open<CKsAudCapFilter>();
    EXPECT_EQ(filter->EnumeratePins(), S_OK);
    ASSERT_EQ(filter->Pins().size(), 1u);
    EXPECT_EQ(filter->Pins()[0]->GetPinId(), 2u);

    fake.replyHook = [](ULONG, const GUID&, ULONG id, FakeReply* reply) {
        if (id != KSPROPERTY_PIN_CTYPES) return false;
        reply->error = os::kErrorGenFailure;
        return true;
    };
    EXPECT_EQ(filter->EnumeratePins(), E_FAIL);
    EXPECT_TRUE(filter->Pins().empty());
}

TEST_F(FilterTest, RunningOutOfMemoryNeverLeavesHalfAPinList) {
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN);
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_OUT);
    auto filter = Open<CKsAudFilter>();
    bool sawOutOfMemory = false;
    for (int64_t successes = 0;; ++successes) {
        heap::failReallocationsAfter(successes);
        HRESULT result = filter->EnumeratePins();
        heap::failReallocationsAfter(heap::kNever);
        if (result == S_OK) {
            EXPECT_EQ(filter->Pins().size(), 2u);
            break;
        }
        ASSERT_TRUE(result == E_FAIL || result == E_OUTOFMEMORY) << result;
        if (result == E_OUTOFMEMORY) {
            sawOutOfMemory = true;
            EXPECT_TRUE(filter->Pins().empty());
            EXPECT_TRUE(filter->RenderSinkPins().empty());
        }
        ASSERT_LT(successes, 100);
    }
    EXPECT_TRUE(sawOutOfMemory);
}

TEST_F(FilterTest, NodesAreReadInOrderAndABrokenListLeavesNone) {
    fake.nodes = {KSNODETYPE_DAC, KSNODETYPE_VOLUME, KSNODETYPE_MUTE};
    auto filter = Open<CKsFilter>();
    ASSERT_EQ(filter->EnumerateNodes(), S_OK);
    ASSERT_EQ(filter->Nodes().size(), 3u);
    EXPECT_EQ(filter->Nodes()[2]->GetNodeId(), 2u);
    EXPECT_TRUE(os::guidEquals(filter->Nodes()[1]->GetType(), KSNODETYPE_VOLUME));
    EXPECT_EQ(filter->Nodes()[0]->GetCpuResources(), KSAUDIO_CPU_RESOURCES_UNINITIALIZED);
    EXPECT_EQ(filter->Nodes()[0]->GetHandle(), filter->GetHandle());

    fake.nodes.clear();
    EXPECT_EQ(filter->EnumerateNodes(), S_OK);
    EXPECT_TRUE(filter->Nodes().empty());

    fake.replyHook = [](ULONG, const GUID&, ULONG, FakeReply* reply) {
        GUID one = KSNODETYPE_ADC;
        reply->data = MultiItemReply(2, &one, sizeof(one));  // claims two, holds one
        return true;
    };
    EXPECT_EQ(filter->EnumerateNodes(), E_FAIL);
    EXPECT_TRUE(filter->Nodes().empty());
}

class PinSelectionTest : public KsFixture {
protected:
    void SetUp() override {
        KsFixture::SetUp();
        AddPin(KSPIN_COMMUNICATION_SOURCE, KSPIN_DATAFLOW_IN);  // 0 not a sink
        AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN, {AudioRange(2, 16, 16, 48000, 48000)});  // 1
        AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN, {AudioRange(2, 24, 24, 48000, 48000)});  // 2
        AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_OUT, {AudioRange(2, 16, 16, 48000, 48000)});  // 3
    }
};

TEST_F(PinSelectionTest, RenderPinIsTheFirstSinkClaimingTheFormat) {
    auto filter = Open<CKsAudRenFilter>();
    ASSERT_EQ(filter->EnumeratePins(), S_OK);
    WAVEFORMATEX format = PcmFormat(2, 24, 48000);
    EXPECT_TRUE(filter->CanCreateRenderPin(&format));
    CKsAudPin* pin = filter->CreateRenderPin(&format, false);
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(pin->GetPinId(), 2u);
    EXPECT_TRUE(CKsIrpTarget::IsValidHandle(pin->GetHandle()));
    EXPECT_EQ(fake.createdPinIds, (std::vector<ULONG>{2}));
}

TEST_F(PinSelectionTest, RenderFallsBackToEverySinkPinWhenNoneClaimsTheFormat) {
    fake.pins[1].createError = os::kErrorGenFailure;
    auto filter = Open<CKsAudRenFilter>();
    ASSERT_EQ(filter->EnumeratePins(), S_OK);
    WAVEFORMATEX format = PcmFormat(2, 32, 48000);  // no range admits 32 bits
    EXPECT_FALSE(filter->CanCreateRenderPin(&format));
    CKsAudPin* pin = filter->CreateRenderPin(&format, false);
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(pin->GetPinId(), 2u);
    EXPECT_EQ(fake.createPinCalls, 2);  // pin 1 refused, pin 2 accepted

    fake.pins[2].createError = os::kErrorGenFailure;
    pin->ClosePin();
    EXPECT_EQ(filter->CreateRenderPin(&format, false), nullptr);
}

TEST_F(PinSelectionTest, RenderFallBackAlsoCoversAClaimingPinThatFailsToInstantiate) {
    fake.pins[2].createError = os::kErrorGenFailure;
    fake.pins[1].createError = 0;
    auto filter = Open<CKsAudRenFilter>();
    ASSERT_EQ(filter->EnumeratePins(), S_OK);
    WAVEFORMATEX format = PcmFormat(2, 24, 48000);  // pin 2 claims it, pin 1 takes it
    CKsAudPin* pin = filter->CreateRenderPin(&format, false);
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(pin->GetPinId(), 1u);
}

TEST_F(PinSelectionTest, CaptureNeverTriesAPinThatDoesNotClaimTheFormat) {
    auto filter = Open<CKsAudCapFilter>();
    ASSERT_EQ(filter->EnumeratePins(), S_OK);
    WAVEFORMATEX format = PcmFormat(2, 24, 48000);
    EXPECT_FALSE(filter->CanCreateCapturePin(&format));
    EXPECT_EQ(filter->CreateCapturePin(&format, false), nullptr);
    EXPECT_EQ(fake.createPinCalls, 0);

    format = PcmFormat(2, 16, 48000);
    CKsAudPin* pin = filter->CreateCapturePin(&format, true);
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(pin->GetPinId(), 3u);
    EXPECT_TRUE(pin->IsLooped());

    fake.pins[3].createError = os::kErrorGenFailure;
    pin->ClosePin();
    EXPECT_EQ(filter->CreateCapturePin(&format, false), nullptr);
}

// Another program holds the pins: its instance counts say so, or KsCreatePin
// answers ERROR_BAD_COMMAND; the filter tells which.
TEST_F(PinSelectionTest, PinsAnotherProgramHoldsAreToldApart) {
    fake.pins[3].globalInstances = {1, 1};
    fake.pins[1].instances = {1, 1};
    auto capture = Open<CKsAudCapFilter>();
    ASSERT_EQ(capture->EnumeratePins(), S_OK);
    EXPECT_TRUE(capture->StreamingPinsInUse());
    auto render = Open<CKsAudRenFilter>();
    ASSERT_EQ(render->EnumeratePins(), S_OK);
    EXPECT_FALSE(render->StreamingPinsInUse()) << "pin 2 is free";

    fake.pins[3].createError = 22;  // ERROR_BAD_COMMAND
    WAVEFORMATEX format = PcmFormat(2, 16, 48000);
    EXPECT_EQ(capture->CreateCapturePin(&format, false), nullptr);
    EXPECT_EQ(capture->LastPinCreateResult(), CKsPin::kHeldElsewhere);
    fake.pins[3].createError = os::kErrorGenFailure;
    EXPECT_EQ(capture->CreateCapturePin(&format, false), nullptr);
    EXPECT_NE(capture->LastPinCreateResult(), CKsPin::kHeldElsewhere);
    fake.pins[3].createError = 0;
    EXPECT_NE(capture->CreateCapturePin(&format, false), nullptr);
    EXPECT_EQ(capture->LastPinCreateResult(), S_OK);
}

}  // namespace
}  // namespace kstest
