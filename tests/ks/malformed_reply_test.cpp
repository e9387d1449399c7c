// Devices that answer with malformed multi-item data: the layer never reads
// past a reply and reports the property as unreadable instead.
#include <cstring>

#include "ks/ks_reply_checks.h"
#include "platform/errors.h"
#include "tests/ks/ks_fixture.h"

namespace kstest {
namespace {

KSDATARANGE_AUDIO Stereo() { return AudioRange(2, 16, 24, 44100, 48000); }

// Two good audio ranges, then `edit` applied to the raw reply.
template <typename Edit>
std::vector<uint8_t> EditedRanges(Edit edit) {
    std::vector<uint8_t> reply = DataRangeReply({Stereo(), Stereo()});
    edit(reply);
    return reply;
}

void SetCount(std::vector<uint8_t>& reply, ULONG count) { std::memcpy(reply.data() + 4, &count, sizeof(count)); }
void SetFormatSize(std::vector<uint8_t>& reply, size_t rangeOffset, ULONG size) {
    std::memcpy(reply.data() + rangeOffset, &size, sizeof(size));
}

struct MalformedCase {
    const char* what;
    std::vector<uint8_t> reply;
};

class MalformedDataRangesTest : public KsFixture, public ::testing::WithParamInterface<int> {};

std::vector<MalformedCase> MalformedRanges() {
    const size_t first = sizeof(KSMULTIPLE_ITEM);
    const size_t second = first + sizeof(KSDATARANGE_AUDIO);
    return {
        {"count larger than the reply", EditedRanges([](auto& r) { SetCount(r, 3); })},
        {"huge count", EditedRanges([](auto& r) { SetCount(r, 0xFFFFFFFFu); })},
        {"format size 0", EditedRanges([&](auto& r) { SetFormatSize(r, first, 0); })},
        {"format size below a data range", EditedRanges([&](auto& r) { SetFormatSize(r, first, 40); })},
        {"format size that lands inside a range", EditedRanges([&](auto& r) { SetFormatSize(r, first, 64); })},
        {"last range past the end", EditedRanges([&](auto& r) { SetFormatSize(r, second, 89); })},
        {"huge format size", EditedRanges([&](auto& r) { SetFormatSize(r, second, 0xFFFFFFF0u); })},
        {"reply cut inside a range", EditedRanges([](auto& r) { r.resize(r.size() - 10); })},
        {"reply without a header", {1, 0, 0}},
    };
}

TEST_P(MalformedDataRangesTest, RangesAreDroppedAndThePinIsNotUsable) {
    MalformedCase c = MalformedRanges()[static_cast<size_t>(GetParam())];
    SCOPED_TRACE(c.what);
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN).dataRanges = c.reply;
    auto filter = Open<CKsAudRenFilter>();

    HRESULT result = E_FAIL;
    CKsPin plain(filter.get(), 0, &result);
    EXPECT_EQ(result, 1);  // described, but without data ranges
    EXPECT_EQ(plain.GetDataRangeCount(), 0u);
    EXPECT_EQ(plain.GetInterfaceCount(), 1u);

    CKsAudPin audio(filter.get(), 0, &result);
    EXPECT_EQ(result, E_FAIL);
    EXPECT_EQ(filter->EnumeratePins(), E_FAIL);
    WAVEFORMATEX format = PcmFormat(2, 16, 48000);
    EXPECT_EQ(filter->CreateRenderPin(&format, false), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Replies, MalformedDataRangesTest, ::testing::Range(0, 9));

TEST_F(KsFixture, ShortAndPaddedRangesWalkButOnlyWholeAudioRangesAreSaved) {
    // A non-audio range of 64 bytes, a PCM range cut to a bare KSDATARANGE
    // (it cannot describe channels, bits and rates) and an audio range with
    // trailing bytes.
    KSDATARANGE other;
    std::memset(&other, 0, sizeof(other));
    other.FormatSize = sizeof(KSDATARANGE);
    other.MajorFormat = KSDATAFORMAT_SPECIFIER_NONE;
    KSDATARANGE_AUDIO cut = AudioRange(4, 16, 16, 44100, 44100);
    cut.DataRange.FormatSize = sizeof(KSDATARANGE);
    KSDATARANGE_AUDIO padded = Stereo();
    padded.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO) + 8;
    std::vector<uint8_t> items(2 * sizeof(KSDATARANGE) + padded.DataRange.FormatSize, 0);
    std::memcpy(items.data(), &other, sizeof(other));
    std::memcpy(items.data() + sizeof(KSDATARANGE), &cut, sizeof(KSDATARANGE));
    std::memcpy(items.data() + 2 * sizeof(KSDATARANGE), &padded, sizeof(padded));
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN).dataRanges = MultiItemReply(3, items.data(), items.size());
    auto filter = Open<CKsAudRenFilter>();
    HRESULT result = E_FAIL;
    CKsAudPin pin(filter.get(), 0, &result);
    EXPECT_EQ(result, S_OK);
    EXPECT_EQ(pin.GetDataRangeCount(), 3u);
    ASSERT_EQ(pin.GetAudioDataRangeCount(), 1u);
    EXPECT_EQ(pin.GetAudioDataRange(0).MaximumChannels, 2u);

    // The cut range alone leaves the pin without audio ranges.
    fake.pins[0].dataRanges = MultiItemReply(1, items.data() + sizeof(KSDATARANGE), sizeof(KSDATARANGE));
    CKsAudPin alone(filter.get(), 0, &result);
    EXPECT_EQ(result, E_FAIL);
}

TEST_F(KsFixture, InterfaceAndMediumCountsBeyondTheReplyAreRefused) {
    for (ULONG property : {KSPROPERTY_PIN_INTERFACES, KSPROPERTY_PIN_MEDIUMS}) {
        SCOPED_TRACE(property);
        fake.pins.clear();
        AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN);
        fake.replyHook = [property](ULONG, const GUID&, ULONG id, FakeReply* reply) {
            if (id != property) return false;
            KSPIN_INTERFACE one;
            std::memset(&one, 0, sizeof(one));
            one.Set = property == KSPROPERTY_PIN_INTERFACES ? KSINTERFACESETID_Standard : KSMEDIUMSETID_Standard;
            reply->data = MultiItemReply(1000, &one, sizeof(one));
            return true;
        };
        auto filter = Open<CKsAudRenFilter>();
        HRESULT result = E_FAIL;
        CKsPin pin(filter.get(), 0, &result);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(property == KSPROPERTY_PIN_INTERFACES ? pin.GetInterfaceCount() : pin.GetMediumCount(), 0u);
        EXPECT_EQ(filter->EnumeratePins(), E_FAIL);
    }
}

TEST_F(KsFixture, HugeSizeQueriesAreNeitherAllocatedNorFetched) {
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN);
    fake.replyHook = [](ULONG, const GUID&, ULONG id, FakeReply* reply) {
        if (id != KSPROPERTY_PIN_DATARANGES) return false;
        reply->data = DataRangeReply({Stereo()});
        reply->overrideSize = true;
        reply->reportedSize = 0x7FFFFFFFu;
        return true;
    };
    auto filter = Open<CKsAudRenFilter>();
    KSMULTIPLE_ITEM* items = nullptr;
    EXPECT_EQ(filter->GetPinPropertyMulti(0, KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, &items), E_FAIL);
    EXPECT_EQ(items, nullptr);
    EXPECT_EQ(filter->EnumeratePins(), E_FAIL);
}

TEST_F(KsFixture, SizeQueryLargerThanTheFetchedReplyBoundsTheWalkByTheReply) {
    // The size query promises more than the fetch delivers; the walk must
    // stop at what arrived, not at what was allocated.
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN);
    fake.replyHook = [](ULONG, const GUID&, ULONG id, FakeReply* reply) {
        if (id != KSPROPERTY_PIN_DATARANGES) return false;
        reply->data = DataRangeReply({Stereo()});
        SetCount(reply->data, 2);
        reply->overrideSize = true;
        reply->reportedSize = static_cast<DWORD>(reply->data.size() + sizeof(KSDATARANGE_AUDIO));
        return true;
    };
    auto filter = Open<CKsAudRenFilter>();
    HRESULT result = E_FAIL;
    CKsPin pin(filter.get(), 0, &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(pin.GetDataRangeCount(), 0u);
}

TEST_F(KsFixture, ImplausiblePinCountsAreRefused) {
    AddPin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN);
    fake.replyHook = [](ULONG, const GUID&, ULONG id, FakeReply* reply) {
        if (id != KSPROPERTY_PIN_CTYPES) return false;
        ULONG count = 0xFFFFFFFFu;
        reply->data.resize(sizeof(count));
        std::memcpy(reply->data.data(), &count, sizeof(count));
        return true;
    };
    auto audio = Open<CKsAudFilter>();
    EXPECT_EQ(audio->EnumeratePins(), E_FAIL);
    EXPECT_LT(fake.ioctls, 5);
    audio.reset();
    auto plain = Open<CKsFilter>();
    EXPECT_EQ(plain->EnumeratePins(), E_FAIL);
}

TEST(ReplyChecks, FixedItemsMustFitInTheReply) {
    std::vector<uint8_t> reply = MultiItemReply(2, std::vector<uint8_t>(32, 0).data(), 32);
    EXPECT_TRUE(ksreply::FixedItemsFit(reply.data(), static_cast<ULONG>(reply.size()), 16));
    EXPECT_FALSE(ksreply::FixedItemsFit(reply.data(), static_cast<ULONG>(reply.size()), 17));
    EXPECT_FALSE(ksreply::FixedItemsFit(reply.data(), static_cast<ULONG>(reply.size()) - 1, 16));
    EXPECT_FALSE(ksreply::FixedItemsFit(reply.data(), 7, 16));
    EXPECT_FALSE(ksreply::FixedItemsFit(nullptr, 40, 16));
    SetCount(reply, 0x10000001u);  // count * size wraps in 32 bits
    EXPECT_FALSE(ksreply::FixedItemsFit(reply.data(), static_cast<ULONG>(reply.size()), 16));
}

}  // namespace
}  // namespace kstest
