// Buffer-size models: which buffer lengths a brand lets the user choose on
// the settings dialog's slider, how they are labelled, and how a chosen step
// becomes a buffer size in samples at a sample rate.
#pragma once

#include <cstddef>
#include <cstdint>

// A step is a 0-based index into the model's list of buffer lengths.
class AsioBufferSizeModelIf {
public:
    virtual ~AsioBufferSizeModelIf() = default;
    // The step used when no valid preference is stored.
    virtual size_t getDefaultStep() const = 0;
    // Valid steps are 0 to getNumberOfSteps() - 1.
    virtual size_t getNumberOfSteps() const = 0;
    // Distance in steps between tick marks on the slider.
    virtual size_t getTickFrequency() const = 0;
    // Seconds.
    virtual double getBufferLength(size_t step) const = 0;
    // The slider's label for the step; always terminated when size > 0.
    virtual void formatBufferLength(size_t step, char* text, size_t size) const = 0;
};

// 2 ms to 40 ms in 1 ms steps.
class VexaAsioBufferSizeModel final : public AsioBufferSizeModelIf {
public:
    size_t getDefaultStep() const override { return 4; }
    size_t getNumberOfSteps() const override { return 39; }
    size_t getTickFrequency() const override { return 10; }
    double getBufferLength(size_t step) const override;
    void formatBufferLength(size_t step, char* text, size_t size) const override;
};

// 1 ms, then 2.0 ms to 40.0 ms in 0.1 ms steps.
class OrloAsioBufferSizeModel final : public AsioBufferSizeModelIf {
public:
    size_t getDefaultStep() const override { return 31; }
    size_t getNumberOfSteps() const override { return 382; }
    size_t getTickFrequency() const override { return 100; }
    double getBufferLength(size_t step) const override;
    void formatBufferLength(size_t step, char* text, size_t size) const override;
};

// Samples for the step at the rate: rate x length rounded up, then a few
// counts replaced by sizes the hardware streams cleanly (52 -> 48; 56, 60
// and 64 -> 72; 84 -> 88). A rate that is not a positive number gives 0;
// counts beyond 32 bits are capped.
uint32_t bufferSizeForStep(const AsioBufferSizeModelIf& model, size_t step, double rate);
