// Threads, priorities and the clocks.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/errors.h"
#include "platform/os.h"
#include "tests/platform/test_support.h"

namespace {

using platform_test::kPatienceMs;

struct Flag {
    std::atomic<bool> ran{false};
    os::Handle started = nullptr;
};

uint32_t markRan(void* argument) {
    auto* flag = static_cast<Flag*>(argument);
    flag->ran = true;
    if (flag->started) os::setEvent(flag->started);
    return 42;
}

TEST(Threads, SuspendedThreadRunsOnlyAfterResume) {
    Flag flag;
    flag.started = os::createEvent(true, false);
    os::Handle thread = os::createThread(markRan, &flag, true);
    ASSERT_NE(thread, nullptr);
    uint32_t code = 0;
    EXPECT_TRUE(os::getExitCode(thread, &code));
    EXPECT_EQ(code, 259u);  // still active
    // However long we wait, a suspended thread does not start.
    EXPECT_EQ(os::waitForOne(flag.started, 50), os::kWaitTimeout);
    EXPECT_FALSE(flag.ran.load());
    EXPECT_TRUE(os::resumeThread(thread));
    ASSERT_EQ(os::waitForOne(thread, kPatienceMs), os::kWaitObject0);
    EXPECT_TRUE(flag.ran.load());
    EXPECT_TRUE(os::getExitCode(thread, &code));
    EXPECT_EQ(code, 42u);
    os::closeHandle(thread);
    os::closeHandle(flag.started);
}

TEST(Threads, EveryPriorityCreatesARunningThread) {
    for (os::ThreadPriority priority : {os::ThreadPriority::Normal, os::ThreadPriority::AboveNormal,
                                        os::ThreadPriority::Highest, os::ThreadPriority::TimeCritical}) {
        Flag flag;
        os::Handle thread = os::createThread(markRan, &flag, false, priority);
        ASSERT_NE(thread, nullptr) << "priority " << static_cast<int>(priority);
        ASSERT_EQ(os::waitForOne(thread, kPatienceMs), os::kWaitObject0);
        EXPECT_TRUE(flag.ran.load());
        os::closeHandle(thread);
    }
}

// The streaming thread's scheduling: the "Pro Audio" task of the system's
// multimedia class scheduler on Windows (avrt.dll from the system folder),
// the real-time priority elsewhere.
TEST(Threads, AThreadJoinsTheProAudioTaskWhereThereIsOne) {
    struct Joined {
        std::atomic<bool> task{false};
        static uint32_t run(void* argument) {
            const os::Handle task = os::joinProAudioTask();
            static_cast<Joined*>(argument)->task = task != nullptr;
            os::leaveProAudioTask(task);
            return 0;
        }
    } joined;
    os::Handle thread = os::createThread(&Joined::run, &joined, false);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(os::waitForOne(thread, kPatienceMs), os::kWaitObject0);
    os::closeHandle(thread);
#if defined(_WIN32)
    EXPECT_TRUE(joined.task.load());
#else
    EXPECT_FALSE(joined.task.load());
#endif
}

TEST(Threads, HandleClosedWhileRunningLetsTheThreadFinish) {
    Flag flag;
    flag.started = os::createEvent(true, false);
    os::Handle gate = os::createEvent(true, false);
    struct Context {
        os::Handle gate;
        Flag* flag;
    } context{gate, &flag};
    os::Handle thread = os::createThread(
        [](void* argument) -> uint32_t {
            auto* c = static_cast<Context*>(argument);
            os::waitForOne(c->gate, kPatienceMs);
            return markRan(c->flag);
        },
        &context, false);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(os::closeHandle(thread));
    os::setEvent(gate);
    EXPECT_EQ(os::waitForOne(flag.started, kPatienceMs), os::kWaitObject0);
    os::closeHandle(gate);
    os::closeHandle(flag.started);
}

// The system gives a joined thread's id to the next thread: closing the
// handle of a thread that was joined already (at the next thread's start)
// must not join the thread that now has its id.
TEST(Threads, ClosingAnEndedThreadsHandleLeavesTheNextThreadAlone) {
    os::Handle first = os::createThread([](void*) -> uint32_t { return 0; }, nullptr, false);
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(os::waitForOne(first, kPatienceMs), os::kWaitObject0);
    os::sleepMs(20);  // its last instructions
    os::Handle gate = os::createEvent(true, false);
    os::Handle second = os::createThread(
        [](void* argument) -> uint32_t {
            os::waitForOne(static_cast<os::Handle>(argument), kPatienceMs);
            return 0;
        },
        gate, false);
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(os::closeHandle(first));
    // Had the close joined the second thread, it would have returned only
    // once that thread gave up waiting.
    EXPECT_EQ(os::waitForOne(second, 0), os::kWaitTimeout);
    os::setEvent(gate);
    EXPECT_EQ(os::waitForOne(second, kPatienceMs), os::kWaitObject0);
    os::closeHandle(second);
    os::closeHandle(gate);
}

TEST(Threads, IdsDifferBetweenThreads) {
    uint32_t other = 0;
    os::Handle thread = os::createThread(
        [](void* argument) -> uint32_t {
            *static_cast<uint32_t*>(argument) = os::currentThreadId();
            return 0;
        },
        &other, false);
    ASSERT_EQ(os::waitForOne(thread, kPatienceMs), os::kWaitObject0);
    os::closeHandle(thread);
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, os::currentThreadId());
}

TEST(Threads, NullProcIsRefused) {
    EXPECT_EQ(os::createThread(nullptr, nullptr, false), nullptr);
    EXPECT_EQ(os::lastError(), os::kErrorInvalidParameter);
}

TEST(LastError, IsPerThread) {
    os::setLastError(os::kErrorCrc);
    os::Handle thread = os::createThread(
        [](void*) -> uint32_t {
            os::setLastError(os::kErrorNotReady);
            return os::lastError();
        },
        nullptr, false);
    ASSERT_EQ(os::waitForOne(thread, kPatienceMs), os::kWaitObject0);
    uint32_t code = 0;
    os::getExitCode(thread, &code);
    os::closeHandle(thread);
    EXPECT_EQ(code, os::kErrorNotReady);
    os::setLastError(os::kErrorCrc);
    EXPECT_EQ(os::lastError(), os::kErrorCrc);
}

TEST(Clocks, MoveForwardTogether) {
    uint64_t ns0 = os::nanoseconds();
    uint32_t tick0 = os::tickMs();
    uint64_t previous = ns0;
    for (int i = 0; i < 1000; ++i) {
        uint64_t now = os::nanoseconds();
        ASSERT_GE(now, previous);
        previous = now;
    }
    os::sleepMs(30);
    uint64_t elapsedNs = os::nanoseconds() - ns0;
    uint32_t elapsedMs = os::tickMs() - tick0;  // wraps like the tick itself
    // A sleep never ends early; both clocks saw at least (almost) its length.
    EXPECT_GE(elapsedNs, 29000000u);
    EXPECT_GE(elapsedMs, 20u);  // tick granularity may be coarse
    EXPECT_LT(elapsedMs, 0x80000000u);
}

}  // namespace
