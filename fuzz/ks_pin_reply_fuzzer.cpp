// Feeds arbitrary device replies to pin enumeration, the pin description,
// the data-range walk, format matching and pin creation. Whatever a device
// answers, the layer must neither read past a reply nor crash.
#include <cstddef>
#include <cstdint>

#include "fuzz/ks_fuzz_script.h"
#include "ks/ks_aud_filter.h"
#include "platform/device.h"

namespace {

const WAVEFORMATEX kFormats[] = {
    kstest::PcmFormat(2, 16, 44100), kstest::PcmFormat(2, 24, 48000), kstest::PcmFormat(4, 16, 44100),
    kstest::PcmFormat(8, 32, 96000)};

// Reads everything the pins kept, as a user of the layer would.
unsigned Inspect(const CKsFilter& filter) {
    unsigned sum = 0;
    for (CKsPin* pin : filter.Pins()) {
        for (ULONG i = 0; i < pin->GetInterfaceCount(); ++i) sum += pin->GetInterface(i).Id;
        for (ULONG i = 0; i < pin->GetMediumCount(); ++i) sum += pin->GetMedium(i).Id;
        sum += pin->GetName()[0];
        auto* audio = dynamic_cast<CKsAudPin*>(pin);
        if (audio == nullptr) continue;
        for (size_t i = 0; i < audio->GetAudioDataRangeCount(); ++i)
            sum += audio->GetAudioDataRange(i).MaximumChannels;
        for (const WAVEFORMATEX& format : kFormats) sum += audio->IsFormatSupported(&format) ? 1u : 0u;
        WAVEFORMATEXTENSIBLE extensible = kstest::ExtensibleFormat(2, 24, 48000, KSDATAFORMAT_SUBTYPE_PCM);
        sum += audio->IsFormatSupported(&extensible.Format) ? 1u : 0u;
    }
    for (CKsNode* node : filter.Nodes()) sum += node->GetType().Data1;
    return sum;
}

template <typename F, typename Create>
void Exercise(kstest::FakeDeviceBoundary& fake, Create create) {
    HRESULT result = E_FAIL;
    F filter(fake.filterPath.c_str(), "fuzz", &result);
    if (filter.Instantiate() < 0) return;
    filter.EnumeratePins();
    filter.EnumerateNodes();
    volatile unsigned sink = Inspect(filter);
    (void)sink;
    for (const WAVEFORMATEX& format : kFormats) create(filter, format);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kstest::FakeDeviceBoundary fake;
    ksfuzz::Script script;
    ksfuzz::ApplyScript(data, size, fake, script);
    os::installDeviceBoundary(&fake);
    Exercise<CKsAudRenFilter>(fake, [](CKsAudRenFilter& f, const WAVEFORMATEX& w) { f.CreateRenderPin(&w, false); });
    Exercise<CKsAudCapFilter>(fake, [](CKsAudCapFilter& f, const WAVEFORMATEX& w) { f.CreateCapturePin(&w, true); });
    Exercise<CKsFilter>(fake, [](CKsFilter&, const WAVEFORMATEX&) {});
    os::installDeviceBoundary(nullptr);
    return 0;
}
