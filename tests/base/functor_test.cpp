#include "base/functor.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

struct Target {
    int calls = 0;
    int first = 0;
    const char* second = nullptr;

    void touch() { ++calls; }
    int touchAndAnswer() { return ++calls; }
    void takeOne(int value) {
        ++calls;
        first = value;
    }
    bool takeTwo(int value, const char* text) {
        ++calls;
        first = value;
        second = text;
        return true;
    }
};

TEST(MemberFunctorTest, RunsTheBoundMemberWithTheStoredArgumentsEachCall) {
    Target target;
    std::unique_ptr<FunctorIf> none(new MemberFunctor<Target>(&target, &Target::touch));
    std::unique_ptr<FunctorIf> answering(new MemberFunctor<Target, int>(&target, &Target::touchAndAnswer));
    (*none)();
    (*answering)();
    EXPECT_EQ(target.calls, 2);

    std::unique_ptr<FunctorIf> one(new MemberFunctor1<Target, int>(&target, &Target::takeOne, 7));
    (*one)();
    (*one)();
    EXPECT_EQ(target.calls, 4);
    EXPECT_EQ(target.first, 7);

    static const char kText[] = "stored";
    std::unique_ptr<FunctorIf> two(
        new MemberFunctor2<Target, int, const char*, bool>(&target, &Target::takeTwo, -3, kText));
    (*two)();
    EXPECT_EQ(target.calls, 5);
    EXPECT_EQ(target.first, -3);
    EXPECT_EQ(target.second, kText);
}

}  // namespace
