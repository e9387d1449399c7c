// Channel configurations and ASIO device records: the constants users see,
// routing and restore points, and the assigners working on real records.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "brands/asio_device_configurations.h"
#include "brands/orlo_asio_device_info.h"
#include "brands/vexa_qelm_asio_device_info.h"
#include "devices/orlo_device_models.h"
#include "devices/vexa_device_models.h"

namespace {

std::string groupsOf(const AsioDeviceConfigurationIf& configuration) {
    std::string text;
    for (size_t i = 0; i < configuration.getNumberOfChannelGroups(); ++i) {
        const AsioChannelGroup* group = configuration.getChannelGroup(i);
        text += std::string(group->isInput ? "in:" : "out:") + group->label + ";";
    }
    return text;
}

std::string formatsOf(const AsioDeviceConfigurationIf& configuration) {
    std::string text;
    AsioDeviceFormat format;
    for (size_t i = 0; configuration.getFormat(i, &format); ++i)
        text += std::to_string(format.inputs) + "/" + std::to_string(format.outputs) + "/" +
                std::to_string(format.sampleRate) + "/" + std::to_string(format.bitsPerSample) + ";";
    return text;
}

class NoFormats final : public AsioDeviceConfigurationAbs {
public:
    size_t getNumberOfFormats() const override { return 0; }
    bool getFormat(size_t, AsioDeviceFormat* format) const override {
        *format = AsioDeviceFormat{};
        return false;
    }
    size_t getNumberOfChannelGroups() const override { return 0; }
    const AsioChannelGroup* getChannelGroup(size_t) const override { return nullptr; }
};

VexaQelmDeviceModel qelm;

}  // namespace

TEST(DeviceConfigurationTest, EveryConfigurationHasItsGroupsFormatsAndChannelCounts) {
    VexaQelmAsioDeviceConfiguration_4Out4In four;
    VexaQelmAsioDeviceConfiguration_8Out2In eight;
    OrloDaltoAsioDeviceConfiguration dalto;
    OrloFenroAsioDeviceConfiguration fenro;
    OrloTavioAsioDeviceConfiguration tavio;

    EXPECT_STREQ(four.getConfigurationName(), "4 in - 4 out");
    EXPECT_EQ(groupsOf(four), "out:Ostrel2;in:Ostrel2 rec;out:Ostrel3;in:Ostrel3 rec;");
    EXPECT_EQ(formatsOf(four), "4/4/44100/16;");
    EXPECT_EQ(four.getNumberOfInputs(), 4);
    EXPECT_EQ(four.getNumberOfOutputs(), 4);

    EXPECT_STREQ(eight.getConfigurationName(), "8 in - 2 out");
    EXPECT_EQ(groupsOf(eight), "out:Ostrel1;out:Ostrel2;out:Ostrel3;out:Ostrel4;in:Master rec;");
    EXPECT_EQ(formatsOf(eight), "2/8/44100/16;");
    EXPECT_EQ(eight.getNumberOfInputs(), 2);
    EXPECT_EQ(eight.getNumberOfOutputs(), 8);

    EXPECT_EQ(dalto.getConfigurationName(), nullptr);
    EXPECT_EQ(groupsOf(dalto), "out:N/A;");
    EXPECT_EQ(formatsOf(dalto), "0/2/48000/24;0/2/44100/24;0/2/48000/16;0/2/44100/16;");
    EXPECT_EQ(formatsOf(fenro), "0/2/48000/16;");
    EXPECT_EQ(groupsOf(tavio), "out:Left;out:Right;out:Headphones;");
    EXPECT_EQ(formatsOf(tavio), "0/6/44100/24;0/6/48000/16;0/6/44100/16;");
    EXPECT_EQ(tavio.getNumberOfInputs(), 0);
    EXPECT_EQ(tavio.getNumberOfOutputs(), 6);

    // Past the end: nothing, and nothing left behind in the caller's record.
    AsioDeviceFormat format{1, 1, 1, 1};
    EXPECT_FALSE(four.getFormat(1, &format));
    EXPECT_EQ(format.outputs, 0);
    EXPECT_EQ(four.getChannelGroup(4), nullptr);

    NoFormats none;
    EXPECT_EQ(none.getNumberOfInputs(), 0);
    EXPECT_EQ(none.getNumberOfOutputs(), 0);
}

TEST(DeviceConfigurationTest, RoutingStartsDisabledAndRollsBackToTheLastRestorePoint) {
    VexaQelmAsioDeviceConfiguration_8Out2In configuration;
    for (size_t k = 0; k < 16; ++k) {
        EXPECT_EQ(configuration.getOutputAsioChannel(k), kAsioRoutingDisabled);
        EXPECT_EQ(configuration.getInputAsioChannel(k), kAsioRoutingDisabled);
    }
    configuration.setOutputAsioChannel(0, 3);
    configuration.setOutputAsioChannel(1, kAsioRoutingUnassigned);
    configuration.setInputAsioChannel(1, 15);
    configuration.makeRestorePoint();
    configuration.setOutputAsioChannel(0, 9);
    configuration.setOutputAsioChannel(1, 4);
    configuration.setInputAsioChannel(1, kAsioRoutingDisabled);
    configuration.setInputAsioChannel(0, 2);
    configuration.rollbackChanges();
    EXPECT_EQ(configuration.getOutputAsioChannel(0), 3);
    EXPECT_EQ(configuration.getOutputAsioChannel(1), kAsioRoutingUnassigned);
    EXPECT_EQ(configuration.getInputAsioChannel(1), 15);
    EXPECT_EQ(configuration.getInputAsioChannel(0), kAsioRoutingDisabled);

    // Hardware channels beyond the tables neither read garbage nor write past them.
    configuration.setOutputAsioChannel(16, 1);
    configuration.setInputAsioChannel(1000, 1);
    EXPECT_EQ(configuration.getOutputAsioChannel(16), kAsioRoutingDisabled);
    EXPECT_EQ(configuration.getInputAsioChannel(1000), kAsioRoutingDisabled);
}

TEST(AsioDeviceInfoTest, QelmRecordWithoutFilterHasBothConfigurationsAndTheFirstActive) {
    VexaQelmAsioDeviceInfo record(nullptr, nullptr, nullptr, nullptr, 3, "QX-0001", &qelm);
    ASSERT_EQ(record.getNumberOfConfigurations(), 2u);
    EXPECT_STREQ(record.getConfiguration(0)->getConfigurationName(), "4 in - 4 out");
    EXPECT_STREQ(record.getConfiguration(1)->getConfigurationName(), "8 in - 2 out");
    EXPECT_EQ(record.getConfiguration(2), nullptr);
    EXPECT_EQ(record.getActiveConfiguration(), record.getConfiguration(0));
    EXPECT_FALSE(record.setActiveConfiguration(2));
    EXPECT_EQ(record.getActiveConfiguration(), record.getConfiguration(0));
    EXPECT_TRUE(record.setActiveConfiguration(1));
    EXPECT_EQ(record.getActiveConfiguration(), record.getConfiguration(1));
    EXPECT_EQ(record.getModelType(), 5u);
    EXPECT_EQ(record.getConfigurationRouting(1), record.getConfiguration(1));
    EXPECT_FALSE(record.isFromSettings());
    record.setFromSettings(true);
    EXPECT_TRUE(record.isFromSettings());
}

TEST(AsioDeviceInfoTest, RestorePointCoversTheStateAndEveryConfiguration) {
    VexaQelmAsioDeviceInfo record(nullptr, nullptr, nullptr, nullptr, 0, "QX-0002", &qelm);
    record.getConfiguration(0)->setOutputAsioChannel(0, 5);
    record.getConfiguration(1)->setInputAsioChannel(1, kAsioRoutingUnassigned);
    record.makeRestorePoint();
    record.getConfiguration(0)->setOutputAsioChannel(0, 6);
    record.getConfiguration(1)->setInputAsioChannel(1, 7);
    DeviceInfo::EventHandlerList nobody;
    record.setStateFlags(DeviceInfo::kStateAvailable, nobody);
    record.rollbackChanges();
    EXPECT_EQ(record.getConfiguration(0)->getOutputAsioChannel(0), 5);
    EXPECT_EQ(record.getConfiguration(1)->getInputAsioChannel(1), kAsioRoutingUnassigned);
    EXPECT_FALSE(record.isAvailable());
}

TEST(AsioDeviceInfoTest, OrloRecordsCarryTheirModelsConfigurationActive) {
    OrloDaltoDeviceModel daltoModel;
    OrloFenroDeviceModel fenroModel;
    OrloTavioDeviceModel tavioModel;
    OrloDaltoAsioDeviceInfo dalto(nullptr, nullptr, nullptr, nullptr, 0, "D0001", &daltoModel);
    OrloFenroAsioDeviceInfo fenro(nullptr, nullptr, nullptr, nullptr, 1, "F0001", &fenroModel);
    OrloTavioAsioDeviceInfo tavio(nullptr, nullptr, nullptr, nullptr, 2, "T0001", &tavioModel);
    for (AsioDeviceInfo* record : {static_cast<AsioDeviceInfo*>(&dalto), static_cast<AsioDeviceInfo*>(&fenro),
                                   static_cast<AsioDeviceInfo*>(&tavio)}) {
        ASSERT_EQ(record->getNumberOfConfigurations(), 1u);
        EXPECT_EQ(record->getActiveConfiguration(), record->getConfiguration(0));
    }
    EXPECT_EQ(formatsOf(*dalto.getConfiguration(0)), formatsOf(OrloDaltoAsioDeviceConfiguration{}));
    EXPECT_EQ(formatsOf(*fenro.getConfiguration(0)), formatsOf(OrloFenroAsioDeviceConfiguration{}));
    EXPECT_EQ(groupsOf(*tavio.getConfiguration(0)), groupsOf(OrloTavioAsioDeviceConfiguration{}));
    EXPECT_EQ(dalto.getModelType(), 2u);
}

TEST(AsioChannelAssignmentTest, VexaAssignerFillsQelmRecordsAndKeepsChosenValuesWithoutForce) {
    VexaQelmAsioDeviceInfo record(nullptr, nullptr, nullptr, nullptr, 0, "QX-0003", &qelm);
    VexaAsioChannelAssigner assigner;
    uint8_t usedIn[16] = {}, usedOut[16] = {};
    assigner.assignChannels(&record, usedIn, usedOut, true);
    AsioDeviceConfigurationIf* four = record.getConfiguration(0);
    AsioDeviceConfigurationIf* eight = record.getConfiguration(1);
    for (uint8_t k = 0; k < 4; ++k) EXPECT_EQ(four->getOutputAsioChannel(k), k);
    for (uint8_t k = 0; k < 4; ++k) EXPECT_EQ(four->getInputAsioChannel(k), k);
    for (uint8_t k = 0; k < 8; ++k) EXPECT_EQ(eight->getOutputAsioChannel(k), k);
    EXPECT_EQ(eight->getInputAsioChannel(1), 1);

    eight->setOutputAsioChannel(0, kAsioRoutingDisabled);
    eight->setOutputAsioChannel(1, 12);
    eight->setOutputAsioChannel(2, kAsioRoutingUnassigned);
    assigner.assignChannels(&record, usedIn, usedOut, false);
    EXPECT_EQ(eight->getOutputAsioChannel(0), kAsioRoutingDisabled);
    EXPECT_EQ(eight->getOutputAsioChannel(1), 12);
    EXPECT_EQ(eight->getOutputAsioChannel(2), 2);
    for (uint8_t used : usedOut) EXPECT_EQ(used, 0);
}

TEST(AsioChannelAssignmentTest, OrloAssignerGivesTheNextUnitTheNextFreeOutputs) {
    OrloDaltoDeviceModel model;
    OrloDaltoAsioDeviceInfo first(nullptr, nullptr, nullptr, nullptr, 0, "D0001", &model);
    OrloDaltoAsioDeviceInfo second(nullptr, nullptr, nullptr, nullptr, 1, "D0002", &model);
    OrloAsioChannelAssigner assigner;
    uint8_t usedIn[16] = {}, usedOut[16] = {};
    assigner.assignChannels(&first, usedIn, usedOut, true);
    assigner.assignChannels(&second, usedIn, usedOut, true);
    EXPECT_EQ(first.getConfiguration(0)->getOutputAsioChannel(0), 0);
    EXPECT_EQ(first.getConfiguration(0)->getOutputAsioChannel(1), 1);
    EXPECT_EQ(second.getConfiguration(0)->getOutputAsioChannel(0), 2);
    EXPECT_EQ(second.getConfiguration(0)->getOutputAsioChannel(1), 3);
}
