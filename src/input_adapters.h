// Capture-side adapters: hardware rate in, host rate out. Each hands the host
// exactly one buffer of frames per packet, whatever the converter made:
// samples beyond the buffer wait in a carry for the next packet, and a
// shortfall (a capture packet that came back short) is filled in.
#pragma once

#include <cstdint>

#include "base/int24.h"
#include "src/integer_converters.h"
#include "src/samplerate_converter.h"
#include "src/variable_rate_converter.h"

template <typename T>
class InputSamplerateConversionAdapterAbs : public InputSamplerateConverterIf {
public:
    ~InputSamplerateConversionAdapterAbs() override;
    InputSamplerateConversionAdapterAbs(const InputSamplerateConversionAdapterAbs&) = delete;
    InputSamplerateConversionAdapterAbs& operator=(const InputSamplerateConversionAdapterAbs&) = delete;

    void* getInputBuffer() override { return input_; }
    int32_t process(int32_t frames, void* out) override;
    // Converts up to the input capacity of samples from in and writes
    // exactly one host buffer to out; outFrames is the host frames (0 for an
    // adapter that failed to allocate).
    void convert(const void* in, int32_t inFrames, void* out, int32_t& outFrames) override;

    // False when the converter or a buffer could not be made; such an
    // adapter must not be used.
    bool isValid() const { return valid_; }
    int32_t inputCapacity() const { return inputCapacity_; }
    int32_t hostFrames() const { return hostFrames_; }
    int32_t carryCapacity() const { return carryCapacity_; }
    uint64_t carryCount() const { return carryCount_; }
    // Host samples filled in for missing hardware samples, and samples
    // dropped because more arrived than was asked for; both stay 0 in a
    // healthy stream after its first packet.
    uint64_t paddedSamples() const { return padded_; }
    uint64_t droppedSamples() const { return dropped_; }

protected:
    explicit InputSamplerateConversionAdapterAbs(int32_t hostFrames);
    // Converts one block into out (room for the most one block makes) and
    // returns the samples made: the converter's, unless a kind does more.
    virtual int32_t convertBlock(const void* in, int32_t inFrames, T* out);
    // Takes the converter (null when it could not be made) and allocates the
    // buffers; maxMade is the most samples one packet can yield.
    void setUp(SamplerateConverterIf* converter, int32_t inputCapacity, int32_t carryCapacity,
               int32_t maxMade);
    // The host frames still owed after the carry, for hardwareFramesFor.
    int32_t framesOwed(int32_t hostFrames) const;
    int32_t limitToCapacity(int64_t frames) const;

    SamplerateConverterIf* converter_ = nullptr;

private:
    T* input_ = nullptr;
    int32_t inputCapacity_ = 0;
    int32_t hostFrames_;
    int32_t carryCapacity_ = 0;
    uint64_t carryCount_ = 0;
    // The carry followed by the converter's output of the current packet.
    T* work_ = nullptr;
    bool valid_ = false;
    bool started_ = false;
    T last_{};
    uint64_t padded_ = 0;
    uint64_t dropped_ = 0;
};

template <typename T>
class IntegerUpInputSamplerateConversionAdapter : public InputSamplerateConversionAdapterAbs<T> {
public:
    // hardwareFrames receives the hardware frames per packet,
    // ceil(frames / factor).
    IntegerUpInputSamplerateConversionAdapter(int32_t factor, int32_t& hardwareFrames, int32_t frames);
    // ceil((hostFrames - carry) / factor): whole packets of repeated samples
    // overshoot by less than one factor, which the carry takes.
    int32_t hardwareFramesFor(int32_t hostFrames) override;

private:
    int32_t factor_;
};

template <typename T>
class IntegerDownInputSamplerateConversionAdapter : public InputSamplerateConversionAdapterAbs<T> {
public:
    // hardwareFrames receives frames * factor.
    IntegerDownInputSamplerateConversionAdapter(int32_t factor, int32_t& hardwareFrames, int32_t frames);
    // hostFrames * factor less the samples of the group already open.
    int32_t hardwareFramesFor(int32_t hostFrames) override;

private:
    int32_t factor_;
    IntegerDownSamplerateConverter<T>* down_ = nullptr;
};

template <typename T, int32_t Min, int32_t Max>
class VariableRateInputSamplerateConversionAdapter : public InputSamplerateConversionAdapterAbs<T> {
public:
    // Host frames a steered adapter keeps in its carry beyond each host
    // buffer: a step steered between a packet's request and its conversion
    // may make one sample fewer than the request counted on, which must not
    // leave the host short.
    static constexpr int32_t kCarryReserve = 1;

    // ratio: hardware rate / host rate. hardwareFrames receives
    // ceil(frames * ratio); with a spread (the part by which steerTo may
    // move the step either way), the most frames a packet may be asked for
    // at any step of the range, a start included. The converter is primed
    // so that the first packet already yields a full host buffer.
    VariableRateInputSamplerateConversionAdapter(double ratio, int32_t& hardwareFrames, int32_t frames,
                                                 double spread = 0.0);
    // Exactly the samples the converter needs to complete the host frames
    // owed beyond the carry, which never exceeds the hardware frames per
    // packet once the first packet is in. A steered adapter also keeps the
    // reserve, and counts from where the block asked for last (still in
    // flight, converted before the one asked for now) will leave it: with
    // the step steered between requests, the requests of two packets in
    // flight must not each make up for the same shortfall.
    int32_t hardwareFramesFor(int32_t hostFrames) override;
    // The samples a block must hold to fill a host buffer and the reserve
    // when it is converted from its start (startAtNextBlock) with an empty
    // carry: a start needs kStartCopy samples more than a running converter.
    // The next hardwareFramesFor counts from that start.
    int32_t hardwareFramesForStart(int32_t hostFrames) override;

    bool steerTo(double step) override;
    void startAtNextBlock() override;
    // The carry (less the reserve a steered adapter keeps), less where the
    // next output's centre lies behind the boundary and the window's half:
    // the conversion delays every sample by kStartCopy hardware frames, and
    // the reserve by as many host frames as it holds.
    double boundaryPosition() const override;

    double ratio() const { return ratio_; }

protected:
    int32_t convertBlock(const void* in, int32_t inFrames, T* out) override;

private:
    // The block asked for last, not yet converted.
    struct Request {
        int32_t frames = 0;
        bool start = false;
        bool counted = false;  // past the converter's start-up: its outcome can be told in advance
    };

    double ratio_;
    VariableRateSamplerateConverter<T, Min, Max>* variable_ = nullptr;
    bool steered_ = false;
    bool startPending_ = false;
    Request inFlight_;
};

using VariableRateInputSamplerateConversionAdapter16 =
    VariableRateInputSamplerateConversionAdapter<int16_t, -32768, 32767>;
using VariableRateInputSamplerateConversionAdapter24 =
    VariableRateInputSamplerateConversionAdapter<Int24, -8388608, 8388607>;
