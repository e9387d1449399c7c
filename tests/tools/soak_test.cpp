// The soak's schedule and its verdict.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "sim/bus_file.h"
#include "sim/controller_config.h"
#include "tools/soak_schedule.h"
#include "tools/soak_verdict.h"

namespace {

std::vector<std::string> run(uint32_t seed, int steps) {
    soak::Schedule schedule(seed, 2, 5);
    std::vector<std::string> seen;
    for (int i = 0; i < steps; ++i) {
        seen.push_back(schedule.step());
        seen.push_back(schedule.busText());
        seen.push_back(std::to_string(schedule.nextDelayMs(400)));
    }
    return seen;
}

TEST(SoakSchedule, TheSameSeedGivesTheSameRunAndAnotherSeedAnother) {
    EXPECT_EQ(run(7, 300), run(7, 300));
    EXPECT_NE(run(7, 300), run(8, 300));
}

TEST(SoakSchedule, EveryBusFileItWritesIsReadWholeAndTheStayersAreNeverTouched) {
    soak::Schedule schedule(11, 2, 5);
    const std::vector<soak::ScheduledUnit> stayers = schedule.units();
    ASSERT_EQ(stayers.size(), 2u);
    std::set<std::string> faultKinds;
    std::set<std::string> comingAndGoing;
    for (int i = 0; i < 3000; ++i) {
        schedule.step();
        const sim::BusFileContents contents = sim::parseBusFile(schedule.busText());
        ASSERT_TRUE(contents.problems.empty())
            << "step " << i << ": " << contents.problems[0].reason << " in \"" << contents.problems[0].text << "\"";
        ASSERT_EQ(contents.controllers.size(), schedule.units().size());
        ASSERT_LE(schedule.units().size(), 5u);
        for (size_t s = 0; s < stayers.size(); ++s) {
            const soak::ScheduledUnit& now = schedule.units()[s];
            ASSERT_EQ(now.serial, stayers[s].serial);
            ASSERT_EQ(now.port, stayers[s].port);
            ASSERT_EQ(now.eightTwo, stayers[s].eightTwo);
            ASSERT_TRUE(now.faults.empty());
            const sim::ControllerConfig& read = contents.controllers[s].config;
            EXPECT_EQ(read.port, now.port);
            EXPECT_EQ(read.layout, now.eightTwo ? sim::QelmLayout::EightTwo : sim::QelmLayout::FourFour);
        }
        for (const soak::ScheduledUnit& unit : schedule.units()) {
            if (!unit.faults.empty()) faultKinds.insert(unit.faults.substr(0, unit.faults.find('=')));
            if (!unit.stays) comingAndGoing.insert(unit.serial);
        }
    }
    const soak::ScheduleCounts& c = schedule.counts();
    EXPECT_GT(c.plugs, 100u);
    EXPECT_GT(c.pulls, 100u);
    EXPECT_GT(c.moves, 50u);
    EXPECT_GT(c.layouts, 50u);
    EXPECT_GT(c.clears, 50u);
    EXPECT_GT(c.stalls, 0u);
    EXPECT_GE(faultKinds.size(), 12u) << "every kind of fault is armed at some point";
    // The same few controllers come back: a driver that remembers each one
    // it met keeps a bounded list.
    EXPECT_EQ(comingAndGoing.size(), 8u);
}

soak::Figures soundFigures() {
    soak::Figures f;
    f.streamed = true;
    f.switches = 9990;
    f.expectedSwitches = 10000;
    f.overloads = 3;
    f.stayers.push_back({"S1 playback", 3, 900, 3, 950});
    f.residentStart = 10u << 20;
    f.residentMiddle = 12u << 20;
    f.residentEnd = 13u << 20;
    f.threadsStart = f.threadsEnd = 3;
    f.handlesStart = f.handlesEnd = 9;
    return f;
}

TEST(SoakVerdict, ASoundRunHasNoReasonAndEachFaultGivesOne) {
    EXPECT_TRUE(soak::unsoundReasons(soundFigures()).empty());

    std::vector<soak::Figures> unsound(9, soundFigures());
    unsound[0].missedSwitches = 1;
    unsound[1].positionJumps = 2;
    unsound[2].switchesAfterStop = 1;
    unsound[3].longestPeriodMs = 2500;  // the stream stood still
    unsound[4].stayers[0].driverGaps = 0;  // the unit lost frames unseen
    unsound[4].stayers[0].driverFrames = 0;
    unsound[5].overloads = 0;
    unsound[6].threadsEnd = 4;
    unsound[7].handlesEnd = 10;
    unsound[8].residentEnd = unsound[8].residentMiddle + soak::kResidentGrowthSlack + 1;
    for (size_t i = 0; i < unsound.size(); ++i)
        EXPECT_EQ(soak::unsoundReasons(unsound[i]).size(), 1u) << "case " << i;
}

TEST(SoakVerdict, WhatTheDriverMayMissAndWhatIsNotJudged) {
    soak::Figures f = soundFigures();
    f.stayers[0].driverGaps = 1;  // two gaps hidden behind late completions
    f.stayers[0].driverFrames = 40;
    EXPECT_TRUE(soak::unsoundReasons(f).empty());
    f.stayers[0].driverFrames = 5000;  // counted long: estimates may end early too
    EXPECT_TRUE(soak::unsoundReasons(f).empty());
    f.stayers[0] = {"S1 playback", 0, 0, 0, 0};  // nothing lost, nothing seen
    EXPECT_TRUE(soak::unsoundReasons(f).empty());
    // One direction blind (its completions all reported late), another saw.
    f.stayers = {{"S1 playback", 0, 0, 23, 24634}, {"S1 recording", 22, 25114, 23, 24630}};
    EXPECT_TRUE(soak::unsoundReasons(f).empty());
    f.switches = 4000;  // stalls and a loaded machine held halves back
    f.longestPeriodMs = 400;
    EXPECT_TRUE(soak::unsoundReasons(f).empty());
    f.residentEnd = f.residentMiddle + (200u << 20);
    f.judgeMemory = false;  // the address sanitizer's quarantine grows by design
    EXPECT_TRUE(soak::unsoundReasons(f).empty());
    f.streamed = false;
    EXPECT_FALSE(soak::unsoundReasons(f).empty());
}

}  // namespace
