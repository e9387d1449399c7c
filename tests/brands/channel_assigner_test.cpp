#include "brands/asio_channel_assigner.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <vector>

namespace {

class FakeRouting : public AsioChannelRoutingIf {
public:
    FakeRouting(uint8_t inputs, uint8_t outputs, uint8_t initial = kAsioRoutingUnassigned)
        : inputs_(inputs), outputs_(outputs) {
        std::memset(in_, initial, sizeof(in_));
        std::memset(out_, initial, sizeof(out_));
    }
    uint8_t getNumberOfInputs() const override { return inputs_; }
    uint8_t getNumberOfOutputs() const override { return outputs_; }
    uint8_t getInputAsioChannel(size_t channel) const override { return in_[channel]; }
    void setInputAsioChannel(size_t channel, uint8_t value) override { in_[channel] = value; }
    uint8_t getOutputAsioChannel(size_t channel) const override { return out_[channel]; }
    void setOutputAsioChannel(size_t channel, uint8_t value) override { out_[channel] = value; }

    std::vector<uint8_t> inputs() const { return std::vector<uint8_t>(in_, in_ + inputs_); }
    std::vector<uint8_t> outputs() const { return std::vector<uint8_t>(out_, out_ + outputs_); }

private:
    uint8_t inputs_;
    uint8_t outputs_;
    uint8_t in_[16];
    uint8_t out_[16];
};

class FakeDevice : public AsioRoutedDeviceIf {
public:
    FakeDevice(uint32_t type, std::initializer_list<FakeRouting*> configurations)
        : type_(type), configurations_(configurations) {}
    uint32_t getModelType() const override { return type_; }
    size_t getNumberOfConfigurations() const override { return configurations_.size(); }
    AsioChannelRoutingIf* getConfigurationRouting(size_t index) const override { return configurations_[index]; }

private:
    uint32_t type_;
    std::vector<FakeRouting*> configurations_;
};

using Channels = std::vector<uint8_t>;

struct UsedTables {
    uint8_t inputs[16] = {};
    uint8_t outputs[16] = {};
    bool anyUsed() const {
        for (int i = 0; i < 16; ++i)
            if (inputs[i] || outputs[i]) return true;
        return false;
    }
};

TEST(VexaChannelAssignerTest, QelmShapesGetTheirFixedTables) {
    FakeRouting fourByFour(4, 4);
    FakeRouting eightOutTwoIn(2, 8);
    FakeDevice qelm(kQelmModelType, {&fourByFour, &eightOutTwoIn});
    UsedTables used;
    VexaAsioChannelAssigner().assignChannels(&qelm, used.inputs, used.outputs, false);
    EXPECT_EQ(fourByFour.inputs(), (Channels{0, 1, 2, 3}));
    EXPECT_EQ(fourByFour.outputs(), (Channels{0, 1, 2, 3}));
    EXPECT_EQ(eightOutTwoIn.inputs(), (Channels{0, 1}));
    EXPECT_EQ(eightOutTwoIn.outputs(), (Channels{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_FALSE(used.anyUsed());
}

TEST(VexaChannelAssignerTest, WithoutForceOnlyUnassignedChannelsChange) {
    FakeRouting routing(2, 8);
    routing.setInputAsioChannel(0, kAsioRoutingDisabled);
    routing.setOutputAsioChannel(1, 9);
    FakeDevice qelm(kQelmModelType, {&routing});
    VexaAsioChannelAssigner assigner;
    assigner.assignChannels(&qelm, nullptr, nullptr, false);
    EXPECT_EQ(routing.inputs(), (Channels{kAsioRoutingDisabled, 1}));
    EXPECT_EQ(routing.outputs(), (Channels{0, 9, 2, 3, 4, 5, 6, 7}));

    assigner.assignChannels(&qelm, nullptr, nullptr, true);
    EXPECT_EQ(routing.inputs(), (Channels{0, 1}));
    EXPECT_EQ(routing.outputs(), (Channels{0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST(VexaChannelAssignerTest, OtherModelsAndShapesAreLeftAlone) {
    FakeRouting qelmShape(4, 4);
    FakeDevice otherModel(2, {&qelmShape});
    FakeRouting otherShape(0, 6);
    FakeDevice qelmOtherShape(kQelmModelType, {&otherShape});
    VexaAsioChannelAssigner assigner;
    assigner.assignChannels(&otherModel, nullptr, nullptr, true);
    assigner.assignChannels(&qelmOtherShape, nullptr, nullptr, true);
    assigner.assignChannels(nullptr, nullptr, nullptr, true);
    EXPECT_EQ(qelmShape.inputs(), Channels(4, kAsioRoutingUnassigned));
    EXPECT_EQ(otherShape.outputs(), Channels(6, kAsioRoutingUnassigned));
}

TEST(OrloChannelAssignerTest, UnitsAssignedInARowGetChannelsNotTakenBefore) {
    FakeRouting first(0, 2);
    FakeRouting second(0, 2);
    FakeDevice a(2, {&first});
    FakeDevice b(2, {&second});
    UsedTables used;
    OrloAsioChannelAssigner assigner;
    assigner.assignChannels(&a, used.inputs, used.outputs, true);
    assigner.assignChannels(&b, used.inputs, used.outputs, true);
    EXPECT_EQ(first.outputs(), (Channels{0, 1}));
    EXPECT_EQ(second.outputs(), (Channels{2, 3}));
    EXPECT_EQ(used.outputs[3], 1);
    EXPECT_EQ(used.outputs[4], 0);
    for (uint8_t in : used.inputs) EXPECT_EQ(in, 0);
}

TEST(OrloChannelAssignerTest, PicksSkipUsedChannelsAndFallBackToTheirIndexWhenAllAreTaken) {
    uint8_t used[16] = {1, 0, 1, 0};
    uint8_t picks[16] = {};
    OrloAsioChannelAssigner::pickChannels(used, 3, picks);
    EXPECT_EQ(Channels(picks, picks + 3), (Channels{1, 3, 4}));
    EXPECT_EQ(Channels(used, used + 6), (Channels{1, 1, 1, 1, 1, 0}));

    uint8_t full[16];
    std::memset(full, 1, sizeof(full));
    FakeRouting routing(0, 6);
    FakeDevice device(3, {&routing});
    OrloAsioChannelAssigner().assignChannels(&device, nullptr, full, true);
    EXPECT_EQ(routing.outputs(), (Channels{0, 1, 2, 3, 4, 5}));
}

TEST(OrloChannelAssignerTest, EveryConfigurationDrawsFromTheSamePicks) {
    FakeRouting wide(2, 6);
    FakeRouting narrow(0, 2, 5);  // already routed
    narrow.setOutputAsioChannel(1, kAsioRoutingUnassigned);
    FakeDevice device(3, {&wide, &narrow});
    UsedTables used;
    used.outputs[0] = 1;
    used.inputs[1] = 1;
    OrloAsioChannelAssigner().assignChannels(&device, used.inputs, used.outputs, false);
    EXPECT_EQ(wide.inputs(), (Channels{0, 2}));
    EXPECT_EQ(wide.outputs(), (Channels{1, 2, 3, 4, 5, 6}));
    // Only the unassigned channel receives a pick: the first one.
    EXPECT_EQ(narrow.outputs(), (Channels{5, 1}));
    // Six outputs were picked for the unit as a whole.
    EXPECT_EQ(used.outputs[6], 1);
    EXPECT_EQ(used.outputs[7], 0);
}

}  // namespace
