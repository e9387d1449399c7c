#include "base/thread.h"

#include <gtest/gtest.h>

#include <atomic>

#include "test_functors.h"

namespace {

// A body that waits for its stop event, or returns at once when asked to.
class ProbeThread : public ThreadAbs {
public:
    explicit ProbeThread(bool returnAtOnce) : returnAtOnce_(returnAtOnce) {}
    ~ProbeThread() override { stop(); }

    std::atomic<int> bodies{0};
    ScopedEvent started;

protected:
    void threadEntry() override {
        ++bodies;
        os::setEvent(started.get());
        if (!returnAtOnce_) os::waitForOne(getStopEvent(), os::kInfinite);
    }

private:
    bool returnAtOnce_;
};

TEST(ThreadAbsTest, StopJoinsARunningBody) {
    ProbeThread thread(false);
    ASSERT_TRUE(thread.isCreated());
    thread.resume();
    thread.resume();  // a second resume changes nothing
    ASSERT_EQ(os::waitForOne(thread.started.get(), os::kInfinite), os::kWaitObject0);
    thread.stop();
    EXPECT_FALSE(thread.isCreated());
    EXPECT_EQ(thread.bodies.load(), 1);
}

TEST(ThreadAbsTest, StopOfANeverResumedThreadReturnsWithoutRunningTheBody) {
    ProbeThread thread(false);
    ASSERT_TRUE(thread.isCreated());
    thread.stop();
    EXPECT_EQ(thread.bodies.load(), 0);
    thread.resume();  // nothing left to resume
    EXPECT_EQ(thread.bodies.load(), 0);
}

TEST(ThreadAbsTest, StopAfterTheBodyEndedByItselfAndStopTwiceReturn) {
    ProbeThread thread(true);
    thread.resume();
    ASSERT_EQ(os::waitForOne(thread.started.get(), os::kInfinite), os::kWaitObject0);
    thread.stop();
    thread.stop();
    EXPECT_EQ(thread.bodies.load(), 1);
}

}  // namespace
