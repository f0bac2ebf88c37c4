// The networks of capture files.
//
// Every network runs a block as runs of at most kChunk frames, and each run
// layer after layer: a layer's whole run is one small matrix product whose
// inputs are the layer's channels at a few delays. Each convolution's input is
// kept channel-major with its dilated history in front of the run, so a tap is
// a pointer offset in time; when the room behind runs out, the history is
// copied back to the front. The arithmetic lives in the kernels
// (CaptureKernels.h), chosen when the network is made.
//
// The result does not depend on how the stream is cut: every frame goes
// through the same operations in the same order whatever its place in a run.
#include "capture/CaptureModel.h"

#include "capture/CaptureKernels.h"
#include "capture/CaptureLayout.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

namespace corvena {
namespace {

using capture::Activation;
using capture::ActivationKind;
using capture::Gemm;
using capture::Kernels;
using capture::padded;

// Longest run computed at once: the network runs layer after layer over a
// whole run, so this bounds the scratch that has to stay in cache.
constexpr int32_t kChunk = 256;

// Floats on 64-byte lines, zeroed.
class Floats {
public:
    void allocate(size_t count) {
        data_.reset(static_cast<float*>(::operator new[](sizeof(float) * std::max<size_t>(count, 1), std::align_val_t(64))));
        size_ = count;
        clear();
    }
    void clear() { std::fill(data_.get(), data_.get() + size_, 0.0f); }
    float* data() { return data_.get(); }
    size_t size() const { return size_; }

private:
    struct Free {
        void operator()(float* p) const { ::operator delete[](p, std::align_val_t(64)); }
    };
    std::unique_ptr<float, Free> data_;
    size_t size_ = 0;
};

// The input of a causal convolution: `channels` runs of time, each holding the
// last `history` frames before `pos` and room for a run after it. When the room
// runs out the history is copied back to the front.
struct History {
    int32_t channels = 0;
    int32_t history = 0;
    int32_t stride = 0;
    int32_t pos = 0;
    Floats data;

    void allocate(int32_t channelCount, int32_t frames, int32_t chunk) {
        channels = channelCount;
        history = frames;
        stride = padded(history + std::max(4 * chunk, history) + capture::kPad);
        data.allocate(size_t(channels) * stride);
        reset();
    }
    void reset() {
        data.clear();
        pos = history;
    }
    // Room for `n` frames (and their padding) at pos.
    void makeRoom(int32_t n) {
        if (pos + padded(n) <= stride) return;
        for (int32_t c = 0; c < channels; ++c) {
            float* row = data.data() + size_t(c) * stride;
            std::memmove(row, row + pos - history, sizeof(float) * size_t(history));
        }
        pos = history;
    }
    float* at(int32_t channel, int32_t delay = 0) { return data.data() + size_t(channel) * stride + pos - delay; }
};

// Weights taken front to back from the file's list.
class WeightReader {
public:
    explicit WeightReader(const std::vector<float>& w) : w_(w) {}
    float next() { return w_[at_++]; }
    // A matrix written row by row (out x in), packed column-major: [in][out].
    std::vector<float> matrix(int32_t out, int32_t in) {
        std::vector<float> m(static_cast<size_t>(out) * in);
        for (int32_t o = 0; o < out; ++o)
            for (int32_t i = 0; i < in; ++i) m[size_t(i) * out + o] = next();
        return m;
    }
    std::vector<float> vector(int32_t n) {
        std::vector<float> v(static_cast<size_t>(n));
        for (float& x : v) x = next();
        return v;
    }
    // Taps in (out, in, tap) order, packed as [in * k + tap][out], with room for
    // `extra` more inner rows after them.
    std::vector<float> conv(int32_t out, int32_t in, int32_t k, int32_t extra) {
        std::vector<float> m(size_t(out) * (size_t(in) * k + extra));
        for (int32_t o = 0; o < out; ++o)
            for (int32_t i = 0; i < in; ++i)
                for (int32_t t = 0; t < k; ++t) m[(size_t(i) * k + t) * out + o] = next();
        return m;
    }

private:
    const std::vector<float>& w_;
    size_t at_ = 0;
};

// What every network shares: runs of at most kChunk frames, reset and prewarm.
class ChunkedModel : public CaptureModel {
public:
    explicit ChunkedModel(const Kernels& k, int64_t prewarm) : k_(k), prewarm_(prewarm) {}

    void prepare(int32_t maxBlock) final {
        maxBlock_ = std::clamp<int32_t>(maxBlock, 1, 1 << 16); // the chunks take longer blocks in turn
        chunk_ = std::min(padded(maxBlock_), kChunk);
        ptrs_.clear();
        allocate(chunk_);
        reset();
        // Silence in whole host blocks, as many as it takes to reach the prewarm length.
        const int64_t zeros = (prewarm_ + maxBlock_ - 1) / maxBlock_ * maxBlock_;
        const std::vector<float> silence(size_t(chunk_), 0.0f);
        std::vector<float> discarded(static_cast<size_t>(chunk_));
        for (int64_t done = 0; done < zeros;) {
            const int32_t n = int32_t(std::min<int64_t>(chunk_, zeros - done));
            run(silence.data(), discarded.data(), n);
            done += n;
        }
    }

    void process(const float* input, float* output, int32_t n) final {
        if (chunk_ == 0) { // not prepared: silence rather than a crash
            if (n > 0) std::memset(output, 0, sizeof(float) * size_t(n));
            return;
        }
        for (int32_t done = 0; done < n;) {
            const int32_t m = std::min(n - done, chunk_);
            run(input + done, output + done, m);
            done += m;
        }
    }

protected:
    virtual void allocate(int32_t chunk) = 0;
    virtual void reset() = 0;
    virtual void run(const float* input, float* output, int32_t n) = 0;

    // Input pointers for the next gemm, room made at allocate.
    const float** pointers(size_t count) {
        if (ptrs_.size() < count) ptrs_.resize(count); // control thread only: allocate() asks first
        return ptrs_.data();
    }

    const Kernels& k_;
    int64_t prewarm_;
    int32_t maxBlock_ = 0;
    int32_t chunk_ = 0;
    std::vector<const float*> ptrs_;
};

// ---------------------------------------------------------------------------

class WaveNetModel final : public ChunkedModel {
public:
    WaveNetModel(const CaptureLayout& layout, const Kernels& k) : ChunkedModel(k, layout.prewarm) {
        WeightReader w(layout.weights);
        for (const WaveNetArray& given : layout.arrays) {
            Array a;
            a.channels = given.channels;
            a.kernel = given.kernelSize;
            a.headSize = given.headSize;
            a.rechannel = w.matrix(given.channels, given.inputSize);
            a.inputs = given.inputSize;
            for (const WaveNetLayer& gl : given.layers) {
                Layer l;
                const int32_t c = given.channels, z = gl.gated ? 2 * c : c;
                l.dilation = gl.dilation;
                l.gated = gl.gated;
                l.slopes = gl.slopes;
                l.activation = gl.activation;
                l.rows = z;
                l.conv = w.conv(z, c, given.kernelSize, 1);
                l.convBias = w.vector(z);
                for (int32_t o = 0; o < z; ++o) l.conv[size_t(c) * given.kernelSize * z + o] = w.next(); // mixin
                l.mix = w.matrix(c, c);
                l.mixBias = w.vector(c);
                a.layers.push_back(std::move(l));
            }
            a.head = w.matrix(given.headSize, given.channels);
            if (given.headBias) a.headBias = w.vector(given.headSize);
            arrays_.push_back(std::move(a));
        }
        // The head scale goes into the last head's weights.
        const float scale = w.next();
        Array& last = arrays_.back();
        for (float& x : last.head) x *= scale;
        for (float& x : last.headBias) x *= scale;
        for (Array& a : arrays_)
            for (Layer& l : a.layers) l.activation.slopes = l.slopes.empty() ? nullptr : l.slopes.data();
    }

private:
    struct Layer {
        int32_t dilation = 1;
        int32_t rows = 0; // of the convolution: channels, twice that when gated
        bool gated = false;
        Activation activation;
        std::vector<float> slopes;
        std::vector<float> conv; // (channels * kernel + 1) x rows: the taps, then the mixin
        std::vector<float> convBias, mix, mixBias;
        History input;
    };
    struct Array {
        int32_t channels = 0, kernel = 0, headSize = 0, inputs = 0;
        std::vector<float> rechannel, head, headBias;
        std::vector<Layer> layers;
        Floats skip; // channels x chunk: the head's input
        Floats out;  // channels x chunk: the last layer's output
    };

    void allocate(int32_t chunk) override {
        size_t most = 1, rows = 1;
        for (Array& a : arrays_) {
            for (Layer& l : a.layers) {
                l.input.allocate(a.channels, l.dilation * (a.kernel - 1), chunk);
                most = std::max(most, size_t(a.channels) * a.kernel + 1);
                rows = std::max(rows, size_t(l.rows));
            }
            most = std::max(most, size_t(std::max(a.channels, a.inputs)));
            a.skip.allocate(size_t(a.channels) * chunk);
            a.out.allocate(size_t(a.channels) * chunk);
        }
        z_.allocate(rows * chunk);
        x_.allocate(size_t(chunk));
        y_.allocate(size_t(chunk));
        pointers(most);
    }

    void reset() override {
        for (Array& a : arrays_)
            for (Layer& l : a.layers) l.input.reset();
    }

    void run(const float* input, float* output, int32_t n) override {
        const int32_t stride = chunk_;
        std::memcpy(x_.data(), input, sizeof(float) * size_t(n));
        std::memset(x_.data() + n, 0, sizeof(float) * size_t(padded(n) - n));
        const float** ptrs = ptrs_.data();
        for (size_t ai = 0; ai < arrays_.size(); ++ai) {
            Array& a = arrays_[ai];
            const bool lastArray = ai + 1 == arrays_.size();
            const int32_t c = a.channels;
            for (Layer& l : a.layers) l.input.makeRoom(n);

            Gemm g;
            if (ai == 0) {
                ptrs[0] = x_.data();
            } else {
                for (int32_t j = 0; j < a.inputs; ++j) ptrs[j] = arrays_[ai - 1].out.data() + size_t(j) * stride;
            }
            g.in = ptrs;
            g.inner = a.inputs;
            g.weights = a.rechannel.data();
            g.rows = c;
            g.out = a.layers[0].input.at(0);
            g.outStride = a.layers[0].input.stride;
            k_.gemm(g, n);
            if (ai == 0) std::memset(a.skip.data(), 0, sizeof(float) * size_t(c) * stride);

            for (size_t li = 0; li < a.layers.size(); ++li) {
                Layer& l = a.layers[li];
                History& h = l.input;
                int32_t j = 0;
                for (int32_t i = 0; i < c; ++i)
                    for (int32_t t = 0; t < a.kernel; ++t) ptrs[j++] = h.at(i, l.dilation * (a.kernel - 1 - t));
                ptrs[j++] = x_.data();
                Gemm conv;
                conv.in = ptrs;
                conv.inner = j;
                conv.weights = l.conv.data();
                conv.bias = l.convBias.data();
                conv.rows = l.rows;
                conv.out = z_.data();
                conv.outStride = stride;
                if (!l.gated && l.activation.kind == ActivationKind::Tanh) {
                    conv.tanhSkip = true;
                    conv.skip = a.skip.data();
                    conv.skipStride = stride;
                    k_.gemm(conv, n);
                } else {
                    k_.gemm(conv, n);
                    if (l.gated) k_.gate(l.activation, z_.data(), stride, c, n);
                    else k_.activate(l.activation, z_.data(), stride, c, n);
                    k_.accumulate(a.skip.data(), stride, z_.data(), stride, c, n);
                }
                const bool lastLayer = li + 1 == a.layers.size();
                if (lastLayer && lastArray) break; // nothing reads the last residual
                for (int32_t i = 0; i < c; ++i) ptrs[i] = z_.data() + size_t(i) * stride;
                Gemm mix;
                mix.in = ptrs;
                mix.inner = c;
                mix.weights = l.mix.data();
                mix.bias = l.mixBias.data();
                mix.rows = c;
                mix.residual = h.at(0);
                mix.residualStride = h.stride;
                if (lastLayer) {
                    mix.out = a.out.data();
                    mix.outStride = stride;
                } else {
                    History& next = a.layers[li + 1].input;
                    mix.out = next.at(0);
                    mix.outStride = next.stride;
                }
                k_.gemm(mix, n);
            }

            for (int32_t i = 0; i < c; ++i) ptrs[i] = a.skip.data() + size_t(i) * stride;
            Gemm head;
            head.in = ptrs;
            head.inner = c;
            head.weights = a.head.data();
            head.bias = a.headBias.empty() ? nullptr : a.headBias.data();
            head.rows = a.headSize;
            head.out = lastArray ? y_.data() : arrays_[ai + 1].skip.data();
            head.outStride = stride;
            k_.gemm(head, n);
        }
        for (Array& a : arrays_)
            for (Layer& l : a.layers) l.input.pos += n;
        std::memcpy(output, y_.data(), sizeof(float) * size_t(n));
    }

    std::vector<Array> arrays_;
    Floats z_, x_, y_;
};

// ---------------------------------------------------------------------------

class LstmModel final : public ChunkedModel {
public:
    LstmModel(const CaptureLayout& layout, const Kernels& k) : ChunkedModel(k, layout.prewarm) {
        const int32_t hidden = layout.hiddenSize, hp = (hidden + k.lanes - 1) / k.lanes * k.lanes;
        lstm_.layers = layout.lstmLayers;
        lstm_.hidden = hidden;
        lstm_.hp = hp;
        WeightReader w(layout.weights);
        for (int32_t n = 0; n < layout.lstmLayers; ++n) {
            const int32_t inputs = n == 0 ? 1 : hidden, cols = inputs + hidden;
            Floats packed;
            packed.allocate(size_t(cols + 1) * 4 * hp);
            float* p = packed.data();
            for (int32_t r = 0; r < 4 * hidden; ++r)
                for (int32_t col = 0; col < cols; ++col)
                    p[(size_t(col) * 4 + r / hidden) * hp + r % hidden] = w.next();
            for (int32_t r = 0; r < 4 * hidden; ++r)
                p[(size_t(cols) * 4 + r / hidden) * hp + r % hidden] = w.next();
            weights_.push_back(std::move(packed));
            initial_.push_back(w.vector(2 * hidden)); // h, then c
        }
        outWeights_ = w.vector(hidden);
        lstm_.outBias = w.next();
        lstm_.outWeights = outWeights_.data();
        for (int32_t n = 0; n < layout.lstmLayers; ++n) {
            Floats h, c;
            h.allocate(size_t(hp));
            c.allocate(size_t(hp));
            h_.push_back(std::move(h));
            c_.push_back(std::move(c));
        }
        for (int32_t n = 0; n < layout.lstmLayers; ++n) {
            weightPtrs_.push_back(weights_[n].data());
            hPtrs_.push_back(h_[n].data());
            cPtrs_.push_back(c_[n].data());
        }
        lstm_.weights = weightPtrs_.data();
        lstm_.h = hPtrs_.data();
        lstm_.c = cPtrs_.data();
    }

private:
    void allocate(int32_t) override {}
    void reset() override { // the file's initial state
        for (int32_t n = 0; n < lstm_.layers; ++n) {
            h_[n].clear();
            c_[n].clear();
            std::copy(initial_[n].begin(), initial_[n].begin() + lstm_.hidden, h_[n].data());
            std::copy(initial_[n].begin() + lstm_.hidden, initial_[n].end(), c_[n].data());
        }
    }
    void run(const float* input, float* output, int32_t n) override { k_.lstm(lstm_, input, output, n); }

    capture::Lstm lstm_;
    std::vector<Floats> weights_, h_, c_;
    std::vector<std::vector<float>> initial_;
    std::vector<float> outWeights_;
    std::vector<const float*> weightPtrs_;
    std::vector<float*> hPtrs_, cPtrs_;
};

// ---------------------------------------------------------------------------

class LinearModel final : public ChunkedModel {
public:
    LinearModel(const CaptureLayout& layout, const Kernels& k) : ChunkedModel(k, 0) {
        WeightReader w(layout.weights);
        taps_ = w.vector(layout.receptiveField);
        if (layout.bias) bias_ = w.vector(1);
    }

private:
    void allocate(int32_t chunk) override {
        input_.allocate(1, int32_t(taps_.size()) - 1, chunk);
        y_.allocate(size_t(chunk));
        pointers(taps_.size());
    }
    void reset() override { input_.reset(); }
    void run(const float* input, float* output, int32_t n) override {
        input_.makeRoom(n);
        std::memcpy(input_.at(0), input, sizeof(float) * size_t(n));
        std::memset(input_.at(0) + n, 0, sizeof(float) * size_t(padded(n) - n));
        const float** ptrs = ptrs_.data();
        for (size_t t = 0; t < taps_.size(); ++t) ptrs[t] = input_.at(0, int32_t(t));
        Gemm g;
        g.in = ptrs;
        g.inner = int32_t(taps_.size());
        g.weights = taps_.data();
        g.bias = bias_.empty() ? nullptr : bias_.data();
        g.rows = 1;
        g.out = y_.data();
        g.outStride = chunk_;
        k_.gemm(g, n);
        input_.pos += n;
        std::memcpy(output, y_.data(), sizeof(float) * size_t(n));
    }

    std::vector<float> taps_, bias_;
    History input_;
    Floats y_;
};

// ---------------------------------------------------------------------------

class ConvNetModel final : public ChunkedModel {
public:
    ConvNetModel(const CaptureLayout& layout, const Kernels& k) : ChunkedModel(k, layout.prewarm) {
        WeightReader w(layout.weights);
        const int32_t c = layout.channels;
        slopes_ = layout.slopes;
        activation_ = layout.activation;
        activation_.slopes = slopes_.empty() ? nullptr : slopes_.data();
        for (size_t j = 0; j < layout.dilations.size(); ++j) {
            Block b;
            b.inputs = j == 0 ? 1 : c;
            b.dilation = layout.dilations[j];
            b.conv = w.conv(c, b.inputs, 2, 0);
            if (layout.batchnorm) {
                const std::vector<float> mean = w.vector(c), var = w.vector(c), gamma = w.vector(c), beta = w.vector(c);
                const float eps = w.next();
                b.bias.resize(size_t(c));
                for (int32_t o = 0; o < c; ++o) { // the normalisation folded into the taps
                    const float s = gamma[o] / std::sqrt(eps + var[o]);
                    for (int32_t i = 0; i < 2 * b.inputs; ++i) b.conv[size_t(i) * c + o] *= s;
                    b.bias[o] = beta[o] - s * mean[o];
                }
            } else {
                b.bias = w.vector(c);
            }
            blocks_.push_back(std::move(b));
        }
        out_ = w.vector(c);
        outBias_ = w.vector(1);
        channels_ = c;
    }

private:
    struct Block {
        int32_t inputs = 1, dilation = 1;
        std::vector<float> conv, bias;
        History input;
    };

    void allocate(int32_t chunk) override {
        for (Block& b : blocks_) b.input.allocate(b.inputs, b.dilation, chunk);
        last_.allocate(size_t(channels_) * chunk);
        y_.allocate(size_t(chunk));
        pointers(size_t(std::max(2 * channels_, channels_)));
    }
    void reset() override {
        for (Block& b : blocks_) b.input.reset();
    }
    void run(const float* input, float* output, int32_t n) override {
        const float** ptrs = ptrs_.data();
        for (Block& b : blocks_) b.input.makeRoom(n);
        History& first = blocks_[0].input;
        std::memcpy(first.at(0), input, sizeof(float) * size_t(n));
        std::memset(first.at(0) + n, 0, sizeof(float) * size_t(padded(n) - n));
        for (size_t j = 0; j < blocks_.size(); ++j) {
            Block& b = blocks_[j];
            for (int32_t i = 0; i < b.inputs; ++i) {
                ptrs[2 * i] = b.input.at(i, b.dilation);
                ptrs[2 * i + 1] = b.input.at(i);
            }
            Gemm g;
            g.in = ptrs;
            g.inner = 2 * b.inputs;
            g.weights = b.conv.data();
            g.bias = b.bias.data();
            g.rows = channels_;
            if (j + 1 < blocks_.size()) {
                g.out = blocks_[j + 1].input.at(0);
                g.outStride = blocks_[j + 1].input.stride;
            } else {
                g.out = last_.data();
                g.outStride = chunk_;
            }
            k_.gemm(g, n);
            k_.activate(activation_, g.out, g.outStride, channels_, n);
        }
        for (int32_t i = 0; i < channels_; ++i) ptrs[i] = last_.data() + size_t(i) * chunk_;
        Gemm g;
        g.in = ptrs;
        g.inner = channels_;
        g.weights = out_.data();
        g.bias = outBias_.data();
        g.rows = 1;
        g.out = y_.data();
        g.outStride = chunk_;
        k_.gemm(g, n);
        for (Block& b : blocks_) b.input.pos += n;
        std::memcpy(output, y_.data(), sizeof(float) * size_t(n));
    }

    int32_t channels_ = 0;
    Activation activation_;
    std::vector<float> slopes_;
    std::vector<Block> blocks_;
    std::vector<float> out_, outBias_;
    Floats last_, y_;
};

} // namespace

std::unique_ptr<CaptureModel> makeCaptureModel(const CaptureFile& file) {
    if (!file.layout) return nullptr;
    const Kernels& k = capture::selectKernels();
    const CaptureLayout& layout = *file.layout;
    switch (layout.kind) {
    case CaptureKind::WaveNet: return std::make_unique<WaveNetModel>(layout, k);
    case CaptureKind::Lstm: return std::make_unique<LstmModel>(layout, k);
    case CaptureKind::Linear: return std::make_unique<LinearModel>(layout, k);
    case CaptureKind::ConvNet: return std::make_unique<ConvNetModel>(layout, k);
    }
    return nullptr;
}

} // namespace corvena
