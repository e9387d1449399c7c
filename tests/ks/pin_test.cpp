// Pin description, audio data ranges, format matching, the connection
// request, pin creation, states and stream requests.
#include <cstring>

#include "platform/errors.h"
#include "tests/ks/ks_fixture.h"

namespace kstest {
namespace {

class PinTest : public KsFixture {
protected:
    // Pin 0 of an opened audio filter, constructed directly.
    std::unique_ptr<CKsAudPin> MakeAudioPin(HRESULT* result) {
        filter_ = Open<CKsAudRenFilter>();
        return std::make_unique<CKsAudPin>(filter_.get(), 0, result);
    }
    // Pin 0, expected to construct cleanly.
    std::unique_ptr<CKsAudPin> MakeAudioPin() {
        HRESULT result = E_FAIL;
        auto pin = MakeAudioPin(&result);
        EXPECT_EQ(result, S_OK);
        return pin;
    }
    KSDATAFORMAT ConnectFormat(const CKsPin& pin) {
        KSDATAFORMAT format;
        std::memcpy(&format, reinterpret_cast<const uint8_t*>(pin.GetConnectRequest()) + sizeof(KSPIN_CONNECT),
                    sizeof(format));
        return format;
    }

    std::unique_ptr<CKsAudRenFilter> filter_;
};

TEST_F(PinTest, DescriptionIsReadFromTheFilter) {
    FakePin& described = AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_OUT,
                           {AudioRange(2, 16, 16, 44100, 44100), AudioRange(4, 24, 24, 48000, 96000)});
    described.instances = {1, 0};
    described.globalInstances = {4, 2};
    described.category = KSNODETYPE_MICROPHONE;
    described.name = u"Capture";
    auto pin = MakeAudioPin();
    ULONG communication = 99;
    ULONG dataFlow = 99;
    pin->GetCommunication(&communication);
    pin->GetDataFlow(&dataFlow);
    EXPECT_EQ(communication, static_cast<ULONG>(KSPIN_COMMUNICATION_SINK));
    EXPECT_EQ(dataFlow, static_cast<ULONG>(KSPIN_DATAFLOW_OUT));
    EXPECT_EQ(pin->GetInterfaceCount(), 1u);
    EXPECT_EQ(pin->GetMediumCount(), 1u);
    EXPECT_EQ(pin->GetDataRangeCount(), 2u);
    EXPECT_EQ(pin->GetAudioDataRangeCount(), 2u);
    EXPECT_EQ(pin->GetAudioDataRange(1).MaximumSampleFrequency, 96000u);
    EXPECT_EQ(pin->GetGlobalInstances().PossibleCount, 4u);
    EXPECT_EQ(pin->GetGlobalInstances().CurrentCount, 2u);
    EXPECT_TRUE(os::guidEquals(pin->GetCategory(), KSNODETYPE_MICROPHONE));
    EXPECT_EQ(std::memcmp(pin->GetName(), u"Capture", 16), 0);
    EXPECT_EQ(pin->GetState(), KSSTATE_STOP);
    // Every pin property request names the pin and asks to get.
    for (const std::vector<uint8_t>& sent : fake.propertyRequests) {
        ASSERT_EQ(sent.size(), sizeof(KSP_PIN));
        KSP_PIN request;
        std::memcpy(&request, sent.data(), sizeof(request));
        EXPECT_EQ(request.Property.Flags, KSPROPERTY_TYPE_GET);
        EXPECT_EQ(request.Reserved, 0u);
    }
}

TEST_F(PinTest, AnyUnreadablePropertyStillConstructsThePinWithResultOne) {
    for (ULONG property : {KSPROPERTY_PIN_NAME, KSPROPERTY_PIN_CATEGORY, KSPROPERTY_PIN_GLOBALCINSTANCES}) {
        SCOPED_TRACE(property);
        fake.pins.clear();
        AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN).failingProperties.insert(property);
        auto filter = Open<CKsAudRenFilter>();
        HRESULT result = E_FAIL;
        CKsPin pin(filter.get(), 0, &result);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(pin.GetDataRangeCount(), 1u);
        // Audio filters take such a pin as constructed.
        EXPECT_EQ(filter->EnumeratePins(), S_OK);
        EXPECT_EQ(filter->RenderSinkPins().size(), 1u);
    }
}

TEST_F(PinTest, LongNamesStayTerminated) {
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN).name = std::u16string(128, u'x');
    auto pin = MakeAudioPin();
    const uint8_t* name = pin->GetName();
    EXPECT_EQ(name[0], 'x');
    EXPECT_EQ(name[CKsPin::kNameBytes - 2], 0);
    EXPECT_EQ(name[CKsPin::kNameBytes - 1], 0);
}

TEST_F(PinTest, WildcardSubFormatQualifiesEveryLaterAudioRange) {
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN,
           {AudioRange(8, 8, 8, 8000, 8000, KSDATAFORMAT_SUBTYPE_ANALOG),
            AudioRange(2, 16, 16, 44100, 44100, GUID_NULL),
            AudioRange(2, 16, 16, 48000, 48000, KSDATAFORMAT_SUBTYPE_ANALOG),
            AudioRange(2, 16, 16, 96000, 96000, KSDATAFORMAT_SUBTYPE_PCM, KSDATAFORMAT_SPECIFIER_NONE)});
    auto pin = MakeAudioPin();
    // The analog range before the wildcard is not audio of ours; after it,
    // every range with the audio major format is kept, the last is not audio.
    ASSERT_EQ(pin->GetAudioDataRangeCount(), 2u);
    EXPECT_EQ(pin->GetAudioDataRange(0).MinimumSampleFrequency, 44100u);
    EXPECT_EQ(pin->GetAudioDataRange(1).MinimumSampleFrequency, 48000u);
    // The wildcard range admits any sub-format, the analog one only its own.
    WAVEFORMATEXTENSIBLE floatFormat = ExtensibleFormat(2, 16, 44100, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
    EXPECT_TRUE(pin->IsFormatSupported(&floatFormat.Format));
    floatFormat.Format.nSamplesPerSec = 48000;
    EXPECT_FALSE(pin->IsFormatSupported(&floatFormat.Format));
}

TEST_F(PinTest, OnlyWaveOrWildcardSubFormatsQualifyAndWithoutThemThePinFails) {
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN,
           {AudioRange(2, 16, 16, 44100, 44100, KSDATAFORMAT_SUBTYPE_ANALOG)});
    HRESULT result = S_OK;
    auto pin = MakeAudioPin(&result);
    EXPECT_EQ(result, E_FAIL);
    EXPECT_EQ(pin->GetAudioDataRangeCount(), 0u);

    fake.pins.clear();
    GUID tagged = KSDATAFORMAT_SUBTYPE_WAVEFORMATEX;
    tagged.Data1 = 0x0055;  // any wave format tag
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN, {AudioRange(2, 16, 16, 44100, 44100, tagged)});
    EXPECT_EQ(MakeAudioPin()->GetAudioDataRangeCount(), 1u);
}

TEST_F(PinTest, PinsWithoutStandardInterfaceOrMediumFail) {
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN).interfaces[0].Id = KSINTERFACE_STANDARD_CONTROL;
    HRESULT result = S_OK;
    MakeAudioPin(&result);
    EXPECT_EQ(result, E_FAIL);

    fake.pins.clear();
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN).mediums[0].Set = KSINTERFACESETID_Standard;
    result = S_OK;
    MakeAudioPin(&result);
    EXPECT_EQ(result, E_FAIL);
}

TEST_F(PinTest, FormatMatchingNeedsExactChannelsAndBitsAndRateInRange) {
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN, {AudioRange(2, 16, 24, 44100, 48000)});
    auto pin = MakeAudioPin();
    WAVEFORMATEX format = PcmFormat(2, 24, 48000);
    EXPECT_TRUE(pin->IsFormatSupported(&format));
    format = PcmFormat(2, 16, 44100);
    EXPECT_TRUE(pin->IsFormatSupported(&format));
    for (WAVEFORMATEX rejected : {PcmFormat(1, 16, 48000), PcmFormat(4, 16, 48000), PcmFormat(2, 32, 48000),
                                  PcmFormat(2, 8, 48000), PcmFormat(2, 16, 48001), PcmFormat(2, 16, 44099)}) {
        EXPECT_FALSE(pin->IsFormatSupported(&rejected)) << rejected.nChannels << " " << rejected.wBitsPerSample
                                                        << " " << rejected.nSamplesPerSec;
    }
    WAVEFORMATEXTENSIBLE extensible = ExtensibleFormat(2, 24, 48000, KSDATAFORMAT_SUBTYPE_PCM);
    EXPECT_TRUE(pin->IsFormatSupported(&extensible.Format));
    // Ranges give valid bits: 24 of them in a 32-bit container fit, 32 do
    // not, and more valid bits than the container holds is no format.
    WAVEFORMATEXTENSIBLE padded = ExtensibleFormat(2, 32, 48000, KSDATAFORMAT_SUBTYPE_PCM);
    EXPECT_FALSE(pin->IsFormatSupported(&padded.Format));
    padded.Samples.wValidBitsPerSample = 24;
    EXPECT_TRUE(pin->IsFormatSupported(&padded.Format));
    extensible.Samples.wValidBitsPerSample = 32;
    EXPECT_FALSE(pin->IsFormatSupported(&extensible.Format));
    extensible.Samples.wValidBitsPerSample = 24;
    extensible.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    EXPECT_FALSE(pin->IsFormatSupported(&extensible.Format));
    // An extensible format too short to carry its sub-format is not read past.
    WAVEFORMATEX truncated = PcmFormat(2, 24, 48000);
    truncated.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    EXPECT_FALSE(pin->IsFormatSupported(&truncated));
    EXPECT_FALSE(pin->IsFormatSupported(nullptr));
}

TEST_F(PinTest, FourChannelRangeDoesNotAdmitStereo) {
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN, {AudioRange(4, 16, 24, 44100, 48000)});
    WAVEFORMATEX format = PcmFormat(2, 24, 48000);
    EXPECT_FALSE(MakeAudioPin()->IsFormatSupported(&format));
}

TEST_F(PinTest, ConnectionRequestCarriesStandardInterfaceMediumAndWaveFormat) {
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN);
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN);
    filter_ = Open<CKsAudRenFilter>();
    HRESULT result = E_FAIL;
    CKsAudPin pin(filter_.get(), 1, &result);
    ASSERT_EQ(result, S_OK);
    ASSERT_EQ(pin.GetConnectRequestSize(), CKsAudPin::kDefaultConnectSize);
    const KSPIN_CONNECT* connect = pin.GetConnectRequest();
    EXPECT_TRUE(os::guidEquals(connect->Interface.Set, KSINTERFACESETID_Standard));
    EXPECT_EQ(connect->Interface.Id, static_cast<ULONG>(KSINTERFACE_STANDARD_STREAMING));
    EXPECT_TRUE(os::guidEquals(connect->Medium.Set, KSMEDIUMSETID_Standard));
    EXPECT_EQ(connect->PinId, 1u);
    EXPECT_EQ(connect->PinToHandle, nullptr);
    EXPECT_EQ(connect->Priority.PriorityClass, KSPRIORITY_NORMAL);
    EXPECT_EQ(connect->Priority.PrioritySubClass, 1u);
    KSDATAFORMAT format = ConnectFormat(pin);
    EXPECT_EQ(format.FormatSize, 82u);
    EXPECT_TRUE(os::guidEquals(format.MajorFormat, KSDATAFORMAT_TYPE_AUDIO));
    EXPECT_TRUE(os::guidEquals(format.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
    EXPECT_TRUE(os::guidEquals(format.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX));

    WAVEFORMATEX wave = PcmFormat(2, 24, 48000);
    ASSERT_EQ(pin.SetFormat(&wave), S_OK);
    EXPECT_EQ(pin.GetConnectRequestSize(), 154u);
    EXPECT_EQ(ConnectFormat(pin).SampleSize, 6u);
    EXPECT_EQ(std::memcmp(reinterpret_cast<const uint8_t*>(connect) + 136, &wave, sizeof(wave)), 0);
    ASSERT_NE(pin.GetFormat(), nullptr);
    EXPECT_EQ(pin.GetFormat()->nSamplesPerSec, 48000u);
}

TEST_F(PinTest, ExtensibleFormatGrowsTheConnectionRequestAndPcmShrinksItBack) {
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN);
    auto pin = MakeAudioPin();
    WAVEFORMATEXTENSIBLE extensible = ExtensibleFormat(2, 24, 48000, KSDATAFORMAT_SUBTYPE_PCM);
    ASSERT_EQ(pin->SetFormat(&extensible.Format), S_OK);
    EXPECT_EQ(pin->GetConnectRequestSize(), 176u);
    EXPECT_EQ(ConnectFormat(*pin).FormatSize, 104u);
    EXPECT_EQ(pin->GetConnectRequest()->PinId, 0u);  // the head survived the move
    EXPECT_EQ(std::memcmp(reinterpret_cast<const uint8_t*>(pin->GetConnectRequest()) + 136, &extensible,
                          sizeof(extensible)),
              0);
    WAVEFORMATEX pcm = PcmFormat(2, 16, 44100);
    ASSERT_EQ(pin->SetFormat(&pcm), S_OK);
    EXPECT_EQ(pin->GetConnectRequestSize(), 154u);
    EXPECT_EQ(ConnectFormat(*pin).FormatSize, 82u);
    EXPECT_EQ(pin->GetFormat()->wFormatTag, WAVE_FORMAT_PCM);
}

TEST_F(PinTest, SetFormatFailuresChangeNothing) {
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN);
    auto pin = MakeAudioPin();
    EXPECT_EQ(pin->SetFormat(nullptr), E_FAIL);
    WAVEFORMATEXTENSIBLE extensible = ExtensibleFormat(2, 24, 48000, KSDATAFORMAT_SUBTYPE_PCM);
    heap::failReallocationsAfter(1);  // the saved copy succeeds, the larger request does not
    EXPECT_EQ(pin->SetFormat(&extensible.Format), E_OUTOFMEMORY);
    heap::failReallocationsAfter(heap::kNever);
    EXPECT_EQ(pin->GetConnectRequestSize(), 154u);
    EXPECT_EQ(pin->GetFormat(), nullptr);
}

TEST_F(PinTest, InstantiateReportsMissingKsuserAndTriesAgainNextTime) {
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN);
    auto pin = MakeAudioPin();
    WAVEFORMATEX wave = PcmFormat(2, 16, 48000);
    ASSERT_EQ(pin->SetFormat(&wave), S_OK);
    fake.ksuserMissing = true;
    EXPECT_EQ(static_cast<uint32_t>(pin->Instantiate(false)), 0x80070002u);
    EXPECT_FALSE(CKsIrpTarget::IsValidHandle(pin->GetHandle()));
    fake.ksuserMissing = false;
    EXPECT_EQ(pin->Instantiate(true), S_OK);
    EXPECT_EQ(fake.createPinCalls, 2);
    EXPECT_TRUE(CKsIrpTarget::IsValidHandle(pin->GetHandle()));
    EXPECT_TRUE(pin->IsLooped());
    KSPIN_CONNECT sent;
    ASSERT_GE(fake.lastConnect.size(), sizeof(sent) + 82);
    std::memcpy(&sent, fake.lastConnect.data(), sizeof(sent));
    EXPECT_EQ(sent.Interface.Id, static_cast<ULONG>(KSINTERFACE_STANDARD_LOOPED_STREAMING));
    EXPECT_EQ(std::memcmp(fake.lastConnect.data() + 136, &wave, sizeof(wave)), 0);
}

TEST_F(PinTest, InstantiateTurnsWin32ErrorsIntoHresults) {
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN).createError = os::kErrorGenFailure;
    auto pin = MakeAudioPin();
    EXPECT_EQ(static_cast<uint32_t>(pin->Instantiate(false)), 0x8007001Fu);
    fake.pins[0].createError = 0xC0000001u;  // already a failure code: kept
    EXPECT_EQ(static_cast<uint32_t>(pin->Instantiate(false)), 0xC0000001u);
    EXPECT_EQ(fake.openHandles(), 1u);  // the filter only
}

TEST_F(PinTest, PlainPinHasNoConnectionRequestAndInstantiatesToNothing) {
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN);
    filter_ = Open<CKsAudRenFilter>();
    HRESULT result = E_FAIL;
    CKsPin pin(filter_.get(), 0, &result);
    EXPECT_EQ(pin.Instantiate(false), S_OK);
    EXPECT_EQ(fake.createPinCalls, 0);
    EXPECT_FALSE(CKsIrpTarget::IsValidHandle(pin.GetHandle()));
}

TEST_F(PinTest, StatesReachTheDeviceAndFailuresKeepTheRecordedState) {
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN);
    auto pin = MakeAudioPin();
    EXPECT_EQ(pin->SetState(KSSTATE_RUN), E_FAIL);  // no handle yet
    WAVEFORMATEX wave = PcmFormat(2, 16, 48000);
    ASSERT_EQ(pin->SetFormat(&wave), S_OK);
    ASSERT_EQ(pin->Instantiate(false), S_OK);
    EXPECT_EQ(pin->SetState(KSSTATE_ACQUIRE), S_OK);
    EXPECT_EQ(pin->SetState(KSSTATE_PAUSE), S_OK);
    fake.stateChangeError = os::kErrorGenFailure;
    EXPECT_EQ(pin->SetState(KSSTATE_RUN), E_FAIL);
    EXPECT_EQ(pin->GetState(), KSSTATE_PAUSE);
    fake.stateChangeError = 0;
    EXPECT_EQ(pin->SetState(KSSTATE_RUN), S_OK);
    EXPECT_EQ(pin->GetState(), KSSTATE_RUN);

    // Closing steps a running pin down through every state; twice is harmless.
    pin->ClosePin();
    pin->ClosePin();
    EXPECT_EQ(fake.statesSet, (std::vector<KSSTATE>{KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_PAUSE,
                                                    KSSTATE_ACQUIRE, KSSTATE_STOP}));
    EXPECT_EQ(fake.openHandles(), 1u);
    EXPECT_EQ(fake.badCloses, 0);
}

TEST_F(PinTest, InstantiatingAgainClosesThePreviousHandle) {
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN);
    auto pin = MakeAudioPin();
    WAVEFORMATEX wave = PcmFormat(2, 16, 48000);
    ASSERT_EQ(pin->SetFormat(&wave), S_OK);
    ASSERT_EQ(pin->Instantiate(false), S_OK);
    ASSERT_EQ(pin->Instantiate(false), S_OK);
    EXPECT_EQ(fake.openHandles(), 2u);  // filter and one pin
    pin.reset();
    EXPECT_EQ(fake.openHandles(), 1u);
    EXPECT_EQ(fake.badCloses, 0);
}

class StreamTest : public PinTest {
protected:
    void SetUp() override {
        PinTest::SetUp();
        AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN);
        pin_ = MakeAudioPin();
        WAVEFORMATEX wave = PcmFormat(2, 16, 48000);
        ASSERT_EQ(pin_->SetFormat(&wave), S_OK);
        ASSERT_EQ(pin_->Instantiate(false), S_OK);
        event_ = os::createEvent(true, false);
        std::memset(&overlapped_, 0, sizeof(overlapped_));
        overlapped_.hEvent = event_;
        std::memset(&header_, 0, sizeof(header_));
        header_.Size = sizeof(header_);
        header_.FrameExtent = sizeof(data_);
        header_.Data = data_;
    }
    void TearDown() override {
        pin_.reset();
        os::closeHandle(event_);
        PinTest::TearDown();
    }

    std::unique_ptr<CKsAudPin> pin_;
    os::Handle event_ = nullptr;
    OVERLAPPED overlapped_;
    KSSTREAM_HEADER header_;
    uint8_t data_[64] = {};
};

TEST_F(StreamTest, WriteRetriesOnceOnCrcErrors) {
    fake.writeErrors = {os::kErrorCrc};
    EXPECT_EQ(pin_->WriteData(&header_, &overlapped_), S_OK);
    EXPECT_EQ(fake.writeAttempts, 2);
    EXPECT_EQ(os::waitForOne(event_, 0), os::kWaitObject0);
    EXPECT_EQ(fake.lastStreamOutSize, header_.Size);

    fake.writeAttempts = 0;
    fake.writeErrors = {os::kErrorCrc, os::kErrorCrc, 0};
    EXPECT_EQ(pin_->WriteData(&header_, &overlapped_), E_FAIL);
    EXPECT_EQ(fake.writeAttempts, 2);

    fake.writeAttempts = 0;
    fake.writeErrors = {os::kErrorGenFailure};
    EXPECT_EQ(pin_->WriteData(&header_, &overlapped_), E_FAIL);
    EXPECT_EQ(fake.writeAttempts, 1);
}

TEST_F(StreamTest, ReadIsTriedOnceAndCompletesThroughTheCallersEvent) {
    EXPECT_EQ(pin_->ReadData(&header_, &overlapped_), S_OK);
    EXPECT_EQ(os::waitForOne(event_, 0), os::kWaitObject0);
    EXPECT_EQ(header_.DataUsed, sizeof(data_));
    fake.readErrors = {os::kErrorCrc, 0};
    EXPECT_EQ(pin_->ReadData(&header_, &overlapped_), E_FAIL);
    EXPECT_EQ(fake.readAttempts, 2);
}

TEST_F(StreamTest, StreamRequestsWithoutAPinHandleNeverReachTheDevice) {
    pin_->ClosePin();
    int ioctls = fake.ioctls;
    EXPECT_EQ(pin_->WriteData(&header_, &overlapped_), E_FAIL);
    EXPECT_EQ(pin_->ReadData(&header_, &overlapped_), E_FAIL);
    EXPECT_EQ(pin_->WriteData(nullptr, &overlapped_), E_INVALIDARG);
    EXPECT_EQ(fake.ioctls, ioctls);
}

}  // namespace
}  // namespace kstest
