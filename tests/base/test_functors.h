// Functors that record what the worker does with them.
#pragma once

#include <atomic>

#include "base/functor.h"
#include "platform/os.h"

struct Probe {
    std::atomic<int> runs{0};
    std::atomic<int> deletions{0};
};

// Counts its runs and its deletion; optionally sets an event after each run.
class ProbeFunctor : public FunctorIf {
public:
    explicit ProbeFunctor(Probe& probe, os::Handle signal = nullptr) : probe_(probe), signal_(signal) {}
    ~ProbeFunctor() override { ++probe_.deletions; }
    void operator()() override {
        ++probe_.runs;
        if (signal_ != nullptr) os::setEvent(signal_);
    }

private:
    Probe& probe_;
    os::Handle signal_;
};

// Appends its id to a shared log when run.
struct OrderLog {
    int ids[16] = {};
    std::atomic<int> count{0};
};

class LoggingFunctor : public FunctorIf {
public:
    LoggingFunctor(OrderLog& log, int id, os::Handle signal = nullptr) : log_(log), id_(id), signal_(signal) {}
    void operator()() override {
        log_.ids[log_.count++] = id_;
        if (signal_ != nullptr) os::setEvent(signal_);
    }

private:
    OrderLog& log_;
    int id_;
    os::Handle signal_;
};

// An auto-reset event closed at the end of the scope.
class ScopedEvent {
public:
    ScopedEvent() : handle_(os::createEvent(false, false)) {}
    ~ScopedEvent() { os::closeHandle(handle_); }
    ScopedEvent(const ScopedEvent&) = delete;
    ScopedEvent& operator=(const ScopedEvent&) = delete;
    os::Handle get() const { return handle_; }

private:
    os::Handle handle_;
};
