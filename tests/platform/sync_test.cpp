// Events, semaphores and the wait functions.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/errors.h"
#include "platform/os.h"
#include "tests/platform/test_support.h"

namespace {

using platform_test::kPatienceMs;

class Handles {
public:
    ~Handles() {
        for (os::Handle handle : handles_) os::closeHandle(handle);
    }
    os::Handle add(os::Handle handle) {
        if (handle) handles_.push_back(handle);
        return handle;
    }

private:
    std::vector<os::Handle> handles_;
};

TEST(Events, AutoResetReleasesOneWaitThenResets) {
    Handles h;
    os::Handle event = h.add(os::createEvent(false, true));
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(os::waitForOne(event, 0), os::kWaitObject0);
    EXPECT_EQ(os::waitForOne(event, 0), os::kWaitTimeout);
    EXPECT_TRUE(os::setEvent(event));
    EXPECT_TRUE(os::setEvent(event));  // setting twice is still one signal
    EXPECT_EQ(os::waitForOne(event, 0), os::kWaitObject0);
    EXPECT_EQ(os::waitForOne(event, 0), os::kWaitTimeout);
}

TEST(Events, ManualResetStaysSignalledUntilReset) {
    Handles h;
    os::Handle event = h.add(os::createEvent(true, false));
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(os::waitForOne(event, 0), os::kWaitTimeout);
    os::setEvent(event);
    EXPECT_EQ(os::waitForOne(event, 0), os::kWaitObject0);
    EXPECT_EQ(os::waitForOne(event, 0), os::kWaitObject0);
    os::resetEvent(event);
    EXPECT_EQ(os::waitForOne(event, 0), os::kWaitTimeout);
}

TEST(Events, ManualResetReleasesEveryWaiter) {
    Handles h;
    os::Handle event = h.add(os::createEvent(true, false));
    std::atomic<int> released{0};
    struct Context {
        os::Handle event;
        std::atomic<int>* released;
    } context{event, &released};
    auto waiter = [](void* argument) -> uint32_t {
        auto* c = static_cast<Context*>(argument);
        if (os::waitForOne(c->event, kPatienceMs) != os::kWaitObject0) return 1;
        ++*c->released;
        return 0;
    };
    os::Handle threads[3];
    for (os::Handle& thread : threads) thread = h.add(os::createThread(waiter, &context, false));
    os::setEvent(event);
    for (os::Handle thread : threads) ASSERT_EQ(os::waitForOne(thread, kPatienceMs), os::kWaitObject0);
    EXPECT_EQ(released.load(), 3);
}

TEST(Waits, AnyReportsLowestSignalledIndexAndConsumesOnlyThat) {
    Handles h;
    os::Handle events[4];
    for (os::Handle& event : events) event = h.add(os::createEvent(false, false));
    os::setEvent(events[3]);
    os::setEvent(events[1]);
    EXPECT_EQ(os::waitForAny(events, 4, 0), os::kWaitObject0 + 1);
    // Index 3 kept its signal: only one was consumed.
    EXPECT_EQ(os::waitForAny(events, 4, 0), os::kWaitObject0 + 3);
    EXPECT_EQ(os::waitForAny(events, 4, 0), os::kWaitTimeout);
}

TEST(Waits, MixedEventsAndSemaphores) {
    Handles h;
    os::Handle semaphore = h.add(os::createSemaphore(2, 5));
    os::Handle manual = h.add(os::createEvent(true, false));
    os::Handle automatic = h.add(os::createEvent(false, true));
    os::Handle mixed[] = {manual, semaphore, automatic};
    EXPECT_EQ(os::waitForAny(mixed, 3, 0), os::kWaitObject0 + 1);
    EXPECT_EQ(os::waitForAny(mixed, 3, 0), os::kWaitObject0 + 1);
    // Both counts are gone; the auto-reset event is next, once.
    EXPECT_EQ(os::waitForAny(mixed, 3, 0), os::kWaitObject0 + 2);
    EXPECT_EQ(os::waitForAny(mixed, 3, 0), os::kWaitTimeout);
    os::setEvent(manual);
    EXPECT_EQ(os::waitForAny(mixed, 3, 0), os::kWaitObject0);
    EXPECT_EQ(os::waitForAny(mixed, 3, 0), os::kWaitObject0);
}

TEST(Waits, TimeOutWithoutSignalAndWakeOnLaterSignal) {
    Handles h;
    os::Handle event = h.add(os::createEvent(false, false));
    EXPECT_EQ(os::waitForOne(event, 20), os::kWaitTimeout);
    auto setter = [](void* argument) -> uint32_t {
        os::sleepMs(20);
        return os::setEvent(argument) ? 0 : 1;
    };
    os::Handle thread = h.add(os::createThread(setter, event, false));
    EXPECT_EQ(os::waitForOne(event, os::kInfinite), os::kWaitObject0);
    EXPECT_EQ(os::waitForOne(thread, kPatienceMs), os::kWaitObject0);
}

TEST(Waits, InvalidArgumentsFail) {
    Handles h;
    os::Handle event = h.add(os::createEvent(false, false));
    os::Handle withNull[] = {event, nullptr};
    EXPECT_EQ(os::waitForAny(withNull, 2, 0), os::kWaitFailed);
    EXPECT_EQ(os::waitForAny(withNull, 0, 0), os::kWaitFailed);
    os::Handle many[os::kMaxWaitHandles + 1];
    for (os::Handle& handle : many) handle = event;
    EXPECT_EQ(os::waitForAny(many, os::kMaxWaitHandles + 1, 0), os::kWaitFailed);
    EXPECT_EQ(os::waitForAny(many, os::kMaxWaitHandles, 0), os::kWaitTimeout);
}

TEST(Semaphores, CountsAndMaximum) {
    Handles h;
    os::Handle semaphore = h.add(os::createSemaphore(0, 2));
    ASSERT_NE(semaphore, nullptr);
    int32_t previous = -1;
    EXPECT_TRUE(os::releaseSemaphore(semaphore, 2, &previous));
    EXPECT_EQ(previous, 0);
    EXPECT_FALSE(os::releaseSemaphore(semaphore, 1, &previous));
    EXPECT_EQ(os::lastError(), os::kErrorTooManyPosts);
    EXPECT_EQ(os::waitForOne(semaphore, 0), os::kWaitObject0);
    // The refused release left the count alone: one more, then empty.
    EXPECT_TRUE(os::releaseSemaphore(semaphore, 1, &previous));
    EXPECT_EQ(previous, 1);
    EXPECT_EQ(os::waitForOne(semaphore, 0), os::kWaitObject0);
    EXPECT_EQ(os::waitForOne(semaphore, 0), os::kWaitObject0);
    EXPECT_EQ(os::waitForOne(semaphore, 0), os::kWaitTimeout);
    EXPECT_EQ(os::createSemaphore(3, 2), nullptr);
}

// The partner in SignalAndWait: waits for `ping`, then sets `pong`.
struct PingPong {
    os::Handle ping, pong;
    int rounds;
};

uint32_t answerPings(void* argument) {
    auto* p = static_cast<PingPong*>(argument);
    for (int i = 0; i < p->rounds; ++i) {
        if (os::waitForOne(p->ping, kPatienceMs) != os::kWaitObject0) return 1;
        os::setEvent(p->pong);
    }
    return 0;
}

TEST(Waits, SignalAndWaitHandsOverInOneStep) {
    Handles h;
    PingPong p{h.add(os::createEvent(false, false)), h.add(os::createEvent(false, false)), 200};
    os::Handle partner = h.add(os::createThread(answerPings, &p, false));
    for (int i = 0; i < p.rounds; ++i) ASSERT_EQ(os::signalAndWait(p.ping, p.pong, kPatienceMs), os::kWaitObject0);
    EXPECT_EQ(os::waitForOne(partner, kPatienceMs), os::kWaitObject0);
    uint32_t code = 1;
    EXPECT_TRUE(os::getExitCode(partner, &code));
    EXPECT_EQ(code, 0u);

    // A semaphore can be the signalled object; the wait still times out.
    os::Handle semaphore = h.add(os::createSemaphore(0, 1));
    os::Handle idle = h.add(os::createEvent(false, false));
    EXPECT_EQ(os::signalAndWait(semaphore, idle, 0), os::kWaitTimeout);
    EXPECT_EQ(os::waitForOne(semaphore, 0), os::kWaitObject0);
}

TEST(Handles, CloseOnEveryKindAndRejectUnknown) {
    os::Handle event = os::createEvent(false, false);
    os::Handle semaphore = os::createSemaphore(0, 1);
    os::Handle thread = os::createThread([](void*) -> uint32_t { return 0; }, nullptr, false);
    ASSERT_EQ(os::waitForOne(thread, kPatienceMs), os::kWaitObject0);
    EXPECT_TRUE(os::closeHandle(event));
    EXPECT_TRUE(os::closeHandle(semaphore));
    EXPECT_TRUE(os::closeHandle(thread));
    EXPECT_FALSE(os::closeHandle(nullptr));
}

TEST(RecursiveMutex, OwnerReentersOthersWait) {
    os::RecursiveMutex mutex;
    mutex.lock();
    EXPECT_TRUE(mutex.tryLock());
    auto tryFromOtherThread = [](void* argument) -> uint32_t {
        auto* m = static_cast<os::RecursiveMutex*>(argument);
        if (!m->tryLock()) return 1;
        m->unlock();
        return 0;
    };
    uint32_t code = 7;
    os::Handle thread = os::createThread(tryFromOtherThread, &mutex, false);
    ASSERT_EQ(os::waitForOne(thread, kPatienceMs), os::kWaitObject0);
    os::getExitCode(thread, &code);
    os::closeHandle(thread);
    EXPECT_EQ(code, 1u);  // held twice by this thread

    mutex.unlock();
    thread = os::createThread(tryFromOtherThread, &mutex, false);
    ASSERT_EQ(os::waitForOne(thread, kPatienceMs), os::kWaitObject0);
    os::getExitCode(thread, &code);
    os::closeHandle(thread);
    EXPECT_EQ(code, 1u);  // still held once

    mutex.unlock();
    thread = os::createThread(tryFromOtherThread, &mutex, false);
    ASSERT_EQ(os::waitForOne(thread, kPatienceMs), os::kWaitObject0);
    os::getExitCode(thread, &code);
    os::closeHandle(thread);
    EXPECT_EQ(code, 0u);
}

}  // namespace
