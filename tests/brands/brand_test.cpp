#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "base/utilities.h"
#include "brands/brand_build.h"
#include "brands/brand_orlo.h"
#include "brands/brand_vexa.h"

namespace {

TEST(ActiveBrandTest, NullWithoutABrandAndAgainAfterItsDestruction) {
    EXPECT_EQ(BrandIf::getActiveBrand(), nullptr);
    EXPECT_EQ(AsioBrandIf::getActiveBrand(), nullptr);
    {
        VexaAsioBrand brand;
        EXPECT_EQ(BrandIf::getActiveBrand(), &brand);
        EXPECT_EQ(AsioBrandIf::getActiveBrand(), &brand);
    }
    EXPECT_EQ(BrandIf::getActiveBrand(), nullptr);
}

TEST(ActiveBrandTest, TheNewestBrandIsActiveAndSurvivesTheOlderOnesDestruction) {
    auto older = std::make_unique<OrloAsioBrand>();
    {
        VexaAsioBrand newer;
        EXPECT_EQ(AsioBrandIf::getActiveBrand(), &newer);
        older.reset();
        EXPECT_EQ(AsioBrandIf::getActiveBrand(), &newer);
    }
    EXPECT_EQ(AsioBrandIf::getActiveBrand(), nullptr);
}

TEST(ActiveBrandTest, TheBuildBrandMatchesTheBuildOption) {
    std::unique_ptr<AsioBrandIf> brand(createBuildBrand());
    ASSERT_NE(brand, nullptr);
    EXPECT_EQ(AsioBrandIf::getActiveBrand(), brand.get());
#if defined(KSASIO_BRAND_VEXA)
    EXPECT_STREQ(brand->getBrandName(), "VEXA");
#else
    EXPECT_STREQ(brand->getBrandName(), "ORLO");
#endif
    brand.reset();
    EXPECT_EQ(AsioBrandIf::getActiveBrand(), nullptr);
}

// The names below are shared with the settings dialog, the registry and the
// installer; a change breaks existing installations.
TEST(BrandProfileTest, NamesAndIdentifiersOfBothBrands) {
    VexaAsioBrand vexa;
    EXPECT_STREQ(vexa.getBrandName(), "VEXA");
    EXPECT_STREQ(vexa.getDriverId(), "VEXAASIO");
    EXPECT_STREQ(vexa.getAsioDriverName(), "VEXA ASIO");
    EXPECT_STREQ(vexa.getControlPanelFileName(), "vexaasioconfig.exe");
    EXPECT_STREQ(vexa.getDriverFileName(), "vexaasio.dll");
    GUID id;
    EXPECT_EQ(vexa.getClassId(&id), &id);
    EXPECT_STREQ(formatGuid(id), "{b5834147-757e-45ec-9a70-4b8611658929}");
    EXPECT_EQ(vexa.getClassId(nullptr), nullptr);

    OrloAsioBrand orlo;
    EXPECT_STREQ(orlo.getBrandName(), "ORLO");
    EXPECT_STREQ(orlo.getDriverId(), "ORLOASIO");
    EXPECT_STREQ(orlo.getAsioDriverName(), "ORLO ASIO");
    EXPECT_STREQ(orlo.getControlPanelFileName(), "orloasioconfig.exe");
    EXPECT_STREQ(orlo.getDriverFileName(), "orloasio.dll");
    EXPECT_STREQ(formatGuid(*orlo.getClassId(&id)), "{f9f8609a-f76e-4591-aee5-efc0b57a2b95}");
}

bool rateInRange(const AsioBrandIf& brand, double rate) {
    return rate >= brand.getMinSampleRate() && rate <= brand.getMaxSampleRate();
}

TEST(BrandProfileTest, SampleWidthAndRateRanges) {
    VexaAsioBrand vexa;
    EXPECT_EQ(vexa.getBitsPerSample(), 16);
    EXPECT_EQ(vexa.getDefaultSampleRate(), 44100.0);
    EXPECT_TRUE(rateInRange(vexa, 44100.0));
    EXPECT_FALSE(rateInRange(vexa, 48000.0));
    EXPECT_FALSE(rateInRange(vexa, 44099.99));

    OrloAsioBrand orlo;
    EXPECT_EQ(orlo.getBitsPerSample(), 24);
    EXPECT_EQ(orlo.getDefaultSampleRate(), 48000.0);
    EXPECT_TRUE(rateInRange(orlo, 0.0));
    EXPECT_TRUE(rateInRange(orlo, 384000.0));
    EXPECT_FALSE(rateInRange(orlo, 384000.5));
}

TEST(BrandProfileTest, DialogSwitches) {
    VexaAsioBrand vexa;
    EXPECT_FALSE(vexa.hasStatusColumn());
    EXPECT_TRUE(vexa.showsConfigurationMode());
    OrloAsioBrand orlo;
    EXPECT_TRUE(orlo.hasStatusColumn());
    EXPECT_FALSE(orlo.showsConfigurationMode());
}

TEST(BrandProfileTest, ChannelNamesCountFromOne) {
    VexaAsioBrand vexa;
    OrloAsioBrand orlo;
    char name[32];
    vexa.formatChannelName(name, sizeof(name), 0, true);
    EXPECT_STREQ(name, "In 1");
    vexa.formatChannelName(name, sizeof(name), 15, false);
    EXPECT_STREQ(name, "Out 16");
    orlo.formatChannelName(name, sizeof(name), 0, true);
    EXPECT_STREQ(name, "Channel #1");
    orlo.formatChannelName(name, sizeof(name), 0, false);
    EXPECT_STREQ(name, "Channel #1");
    orlo.formatChannelName(name, sizeof(name), 15, false);
    EXPECT_STREQ(name, "Channel #16");

    // A short buffer gets a cut, terminated name; none at all is left alone.
    std::memset(name, 'x', sizeof(name));
    vexa.formatChannelName(name, 4, 15, false);
    EXPECT_STREQ(name, "Out");
    EXPECT_EQ(name[4], 'x');
    vexa.formatChannelName(name, 0, 0, true);
    vexa.formatChannelName(nullptr, 32, 0, true);
    EXPECT_EQ(name[4], 'x');
}

void expectAboutText(const char* text, const char* firstLine) {
    std::string about(text);
    EXPECT_EQ(about.rfind(firstLine, 0), 0u) << about;
    ASSERT_FALSE(about.empty());
    EXPECT_NE(about.back(), '\n');
    EXPECT_EQ(about.find('\r'), std::string::npos);
    // An empty line separates the notices from the attribution line.
    size_t gap = about.find("\n\n");
    ASSERT_NE(gap, std::string::npos);
    EXPECT_EQ(about.find('\n', gap + 2), std::string::npos);
    EXPECT_NE(about.find("ASIO", gap), std::string::npos);
}

TEST(BrandProfileTest, AboutTexts) {
    VexaAsioBrand vexa;
    expectAboutText(vexa.getAboutText(), "VEXA ASIO Driver 1.07.\n");
    OrloAsioBrand orlo;
    expectAboutText(orlo.getAboutText(), "ORLO ASIO Driver 1.10.\n");
}

}  // namespace
