#include "base/worker_thread.h"

#include <gtest/gtest.h>

#include "base/heap.h"
#include "test_functors.h"

namespace {

class WorkerThreadTest : public ::testing::Test {
protected:
    void TearDown() override { heap::failReallocationsAfter(heap::kNever); }

    static void expectSignalled(os::Handle event) { ASSERT_EQ(os::waitForOne(event, os::kInfinite), os::kWaitObject0); }
};

TEST_F(WorkerThreadTest, FunctorsPostedBeforeTheThreadRunsRunLastFirst) {
    OrderLog log;
    ScopedEvent done;
    WorkerThread worker;
    ASSERT_TRUE(worker.post(new LoggingFunctor(log, 0, done.get())));  // runs last
    ASSERT_TRUE(worker.post(new LoggingFunctor(log, 1)));
    ASSERT_TRUE(worker.post(new LoggingFunctor(log, 2)));
    EXPECT_EQ(log.count.load(), 0);
    worker.resume();
    expectSignalled(done.get());
    ASSERT_EQ(log.count.load(), 3);
    EXPECT_EQ(log.ids[0], 2);
    EXPECT_EQ(log.ids[1], 1);
    EXPECT_EQ(log.ids[2], 0);
    worker.stop();
}

TEST_F(WorkerThreadTest, AWaitRunsOncePerSignalAndStaysAttached) {
    Probe probe;
    ScopedEvent wake;
    ScopedEvent ran;
    WorkerThread worker;
    ASSERT_TRUE(worker.addWait(wake.get(), new ProbeFunctor(probe, ran.get())));
    worker.resume();
    for (int i = 1; i <= 5; ++i) {
        os::setEvent(wake.get());
        expectSignalled(ran.get());
        EXPECT_EQ(probe.runs.load(), i);
    }
    worker.stop();
    EXPECT_EQ(probe.deletions.load(), 0);
}

TEST_F(WorkerThreadTest, DestructionDeletesQueuedAndAttachedFunctors) {
    Probe queued;
    Probe attached;
    ScopedEvent handle;
    {
        WorkerThread worker;
        worker.post(new ProbeFunctor(queued));
        worker.post(new ProbeFunctor(queued));
        worker.addWait(handle.get(), new ProbeFunctor(attached));
        // Stopped without ever running: nothing runs, nothing blocks.
        worker.stop();
    }
    EXPECT_EQ(queued.runs.load(), 0);
    EXPECT_EQ(queued.deletions.load(), 2);
    EXPECT_EQ(attached.deletions.load(), 1);
}

TEST_F(WorkerThreadTest, RemovingOneOfThreeWaitsKeepsTheOthersWithTheirFunctors) {
    Probe first, second, third;
    ScopedEvent h1, h2, h3, ran1, ran3;
    WorkerThread worker;
    ASSERT_TRUE(worker.addWait(h1.get(), new ProbeFunctor(first, ran1.get())));
    ASSERT_TRUE(worker.addWait(h2.get(), new ProbeFunctor(second)));
    ASSERT_TRUE(worker.addWait(h3.get(), new ProbeFunctor(third, ran3.get())));
    ASSERT_TRUE(worker.removeWait(h2.get()));
    EXPECT_FALSE(worker.removeWait(h2.get()));  // no longer attached
    EXPECT_EQ(second.deletions.load(), 1);      // deleted at removal
    worker.resume();

    // h2 signalled first: were it still watched ahead of h3, the worker
    // would consume it before h3.
    os::setEvent(h2.get());
    os::setEvent(h3.get());
    expectSignalled(ran3.get());
    os::setEvent(h1.get());
    expectSignalled(ran1.get());
    EXPECT_EQ(first.runs.load(), 1);
    EXPECT_EQ(second.runs.load(), 0);
    EXPECT_EQ(third.runs.load(), 1);
    EXPECT_EQ(os::waitForOne(h2.get(), 0), os::kWaitObject0);  // nobody took its signal
    worker.stop();
}

TEST_F(WorkerThreadTest, WaitChangesWhileRunningTakeEffectInCallOrder) {
    Probe removed, kept;
    ScopedEvent handle, marker, ran;
    WorkerThread worker;
    worker.resume();
    // Queued for the worker: add, remove, then a marker wait.
    ASSERT_TRUE(worker.addWait(handle.get(), new ProbeFunctor(removed)));
    ASSERT_TRUE(worker.removeWait(handle.get()));
    ASSERT_TRUE(worker.addWait(marker.get(), new ProbeFunctor(kept, ran.get())));
    os::setEvent(marker.get());
    expectSignalled(ran.get());
    // The marker is attached, so both earlier changes have been made.
    EXPECT_EQ(removed.deletions.load(), 1);

    os::setEvent(handle.get());
    os::setEvent(marker.get());
    expectSignalled(ran.get());
    EXPECT_EQ(removed.runs.load(), 0);
    worker.stop();
    EXPECT_EQ(os::waitForOne(handle.get(), 0), os::kWaitObject0);  // nobody took its signal
}

TEST_F(WorkerThreadTest, AFunctorMayPostFromTheWorker) {
    class Reposting : public FunctorIf {
    public:
        Reposting(WorkerThread& worker, Probe& probe, os::Handle done) : worker_(worker), probe_(probe), done_(done) {}
        void operator()() override { worker_.post(new ProbeFunctor(probe_, done_)); }

    private:
        WorkerThread& worker_;
        Probe& probe_;
        os::Handle done_;
    };
    Probe probe;
    ScopedEvent done;
    WorkerThread worker;
    worker.resume();
    ASSERT_TRUE(worker.post(new Reposting(worker, probe, done.get())));
    expectSignalled(done.get());
    EXPECT_EQ(probe.runs.load(), 1);
    worker.stop();
}

TEST_F(WorkerThreadTest, TheWorkerOwnsFunctorsItRefuses) {
    Probe probe;
    ScopedEvent handle;
    WorkerThread worker;
    EXPECT_FALSE(worker.post(nullptr));
    EXPECT_FALSE(worker.addWait(nullptr, new ProbeFunctor(probe)));
    EXPECT_FALSE(worker.addWait(handle.get(), nullptr));
    EXPECT_FALSE(worker.removeWait(nullptr));
    EXPECT_EQ(probe.deletions.load(), 1);

    // The queue cannot grow.
    heap::failReallocationsAfter(0);
    EXPECT_FALSE(worker.post(new ProbeFunctor(probe)));
    // The wait functor list cannot grow.
    EXPECT_FALSE(worker.addWait(handle.get(), new ProbeFunctor(probe)));
    // The list grows, the handle array does not.
    heap::failReallocationsAfter(1);
    EXPECT_FALSE(worker.addWait(handle.get(), new ProbeFunctor(probe)));
    heap::failReallocationsAfter(heap::kNever);
    EXPECT_EQ(probe.deletions.load(), 4);
    EXPECT_EQ(probe.runs.load(), 0);

    // What failed left nothing behind: the next wait pairs with its own functor.
    Probe good;
    ScopedEvent ran;
    ASSERT_TRUE(worker.addWait(handle.get(), new ProbeFunctor(good, ran.get())));
    worker.resume();
    os::setEvent(handle.get());
    expectSignalled(ran.get());
    EXPECT_EQ(good.runs.load(), 1);
    EXPECT_EQ(probe.runs.load(), 0);
    worker.stop();
}

TEST_F(WorkerThreadTest, AQueuedWaitChangeThatCannotBeQueuedDeletesItsFunctor) {
    Probe probe;
    ScopedEvent handle;
    WorkerThread worker;
    worker.resume();
    // The running worker's queue has never held anything: queuing the change
    // needs a block, and none is to be had.
    heap::failReallocationsAfter(0);
    EXPECT_FALSE(worker.addWait(handle.get(), new ProbeFunctor(probe)));
    EXPECT_FALSE(worker.removeWait(handle.get()));
    heap::failReallocationsAfter(heap::kNever);
    EXPECT_EQ(probe.deletions.load(), 1);
    worker.stop();
}

TEST_F(WorkerThreadTest, AWaitBeyondTheSystemLimitIsRefused) {
    Probe probe;
    ScopedEvent handle;
    WorkerThread worker;
    for (size_t i = 0; i < WorkerThread::kMaxWaits; ++i)
        ASSERT_TRUE(worker.addWait(handle.get(), new ProbeFunctor(probe))) << i;
    EXPECT_FALSE(worker.addWait(handle.get(), new ProbeFunctor(probe)));
    EXPECT_EQ(probe.deletions.load(), 1);
    // One handle attached many times: removal detaches all of them.
    EXPECT_TRUE(worker.removeWait(handle.get()));
    EXPECT_EQ(probe.deletions.load(), static_cast<int>(WorkerThread::kMaxWaits) + 1);
}

TEST_F(WorkerThreadTest, StopOnAnEndedWorkerReturnsAtOnce) {
    WorkerThread worker;
    worker.resume();
    worker.stop();
    worker.stop();
    // After the end, changes are made at once again.
    Probe probe;
    ScopedEvent handle;
    EXPECT_TRUE(worker.addWait(handle.get(), new ProbeFunctor(probe)));
    EXPECT_TRUE(worker.removeWait(handle.get()));
    EXPECT_EQ(probe.deletions.load(), 1);
}

// Several threads post at once; every functor runs exactly once.
class CountdownFunctor : public FunctorIf {
public:
    CountdownFunctor(std::atomic<int>& remaining, os::Handle done) : remaining_(remaining), done_(done) {}
    void operator()() override {
        if (--remaining_ == 0) os::setEvent(done_);
    }

private:
    std::atomic<int>& remaining_;
    os::Handle done_;
};

struct CountdownArgs {
    WorkerThread* worker;
    std::atomic<int>* remaining;
    os::Handle done;
    int count;
};

uint32_t postMany(void* argument) {
    auto* args = static_cast<CountdownArgs*>(argument);
    for (int i = 0; i < args->count; ++i) args->worker->post(new CountdownFunctor(*args->remaining, args->done));
    return 0;
}

TEST_F(WorkerThreadTest, PostsFromSeveralThreadsAllRun) {
    constexpr int kPerThread = 500;
    std::atomic<int> remaining{2 * kPerThread};
    ScopedEvent done;
    WorkerThread worker;
    worker.resume();
    CountdownArgs args{&worker, &remaining, done.get(), kPerThread};
    os::Handle threads[2] = {os::createThread(postMany, &args, false), os::createThread(postMany, &args, false)};
    ASSERT_NE(threads[0], nullptr);
    ASSERT_NE(threads[1], nullptr);
    expectSignalled(done.get());
    for (os::Handle thread : threads) {
        os::waitForOne(thread, os::kInfinite);
        os::closeHandle(thread);
    }
    EXPECT_EQ(remaining.load(), 0);
    worker.stop();
}

}  // namespace
