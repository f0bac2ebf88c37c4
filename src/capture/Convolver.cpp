#include "capture/Convolver.h"
#include "capture/ConvolverKernels.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <sstream>
#include <stdexcept>

// Zero-latency partitioned convolution.
//
// The first `head` taps are applied in direct form, sample by sample. The rest
// is cut into levels of uniform partitions whose size grows along the response:
// a level of partition size B starting at tap O convolves each completed input
// segment of B samples in the frequency domain (overlap-save, FFT size 2B,
// a delay line of past input spectra). Its result is first needed O samples
// after the segment started, so the work may take O - B samples of time. The
// first level (B = head, O = head) runs at once when its segment completes;
// every later level starts at O >= 2B and so has one whole segment's time,
// over which its transforms and products are spread at fixed points
// ("ticks", every `head` samples), planned so that the big transforms of
// different levels fall on different ticks; the biggest transforms are even
// done in halves on two ticks. Sizes grow fourfold (fewer
// transforms) up to a cap (the largest transform bounds the worst block), e.g.
// 10 s at 48 kHz: head 128, 128 x 7, 512 x 6, 2048 x 6, 8192 x 57.

namespace corvena {

namespace {

// FFTW's planner is not thread-safe: every plan is made and destroyed under this
// lock, on the control thread. Executing a plan needs no lock.
std::mutex& plannerMutex() {
    static std::mutex mutex;
    return mutex;
}

struct FftwFree {
    void operator()(void* p) const { fftwf_free(p); }
};
using Floats = std::unique_ptr<float[], FftwFree>;

Floats zeroedFloats(size_t count) {
    Floats p(fftwf_alloc_real(std::max<size_t>(count, 1)));
    if (!p) throw std::bad_alloc();
    std::fill(p.get(), p.get() + count, 0.0f);
    return p;
}

struct PlanDestroy {
    void operator()(fftwf_plan_s* plan) const {
        std::lock_guard<std::mutex> lock(plannerMutex());
        fftwf_destroy_plan(plan);
    }
};
using Plan = std::unique_ptr<fftwf_plan_s, PlanDestroy>;

size_t nextPowerOfTwo(size_t n) {
    size_t p = 1;
    while (p < n) p <<= 1;
    return p;
}

// Relative costs for the planner and the choice of layout: a transform of N
// points ~ 0.5 N log2 N, a complex product-sum 1 per bin, a direct tap 0.25 per
// sample. Transforms measured alone cost less than that, products a little
// more, but with all levels running (each level's data cold when its turn
// comes) these ratios pick the layouts that measure fastest.
constexpr double fftUnit = 0.5;
constexpr double binUnit = 1.0;
constexpr double tapUnit = 0.25;
double fftCost(int32_t n) { return fftUnit * n * std::log2(double(n)); }

struct LevelShape {
    int32_t size;       // B
    int32_t offset;     // O: first tap
    int32_t partitions; // K
};

// Levels after the head: sizes grow by `growth` up to `largest`; each level has
// as many partitions as it takes to reach twice the next size, where the next
// level must start for its result to be ready in time.
std::vector<LevelShape> layout(size_t taps, int32_t head, int32_t growth, int32_t largest) {
    std::vector<LevelShape> levels;
    size_t offset = size_t(head);
    int32_t size = head;
    while (offset < taps) {
        const int32_t next = std::min(size * growth, largest);
        size_t end = taps;
        if (size < largest) end = std::min(end, 2 * size_t(next));
        const auto partitions = int32_t((end - offset + size - 1) / size);
        levels.push_back({size, int32_t(offset), partitions});
        offset += size_t(partitions) * size;
        size = next;
    }
    return levels;
}

double costPerSample(const std::vector<LevelShape>& levels, int32_t head) {
    double cost = head * tapUnit;
    for (const LevelShape& l : levels)
        cost += (2.0 * fftCost(2 * l.size) + binUnit * (l.size + 1.0) * l.partitions + 4.0 * l.size) / l.size;
    return cost;
}

} // namespace

struct Convolver::State {
    struct Level {
        int32_t size = 0, offset = 0, partitions = 0;
        int32_t bins = 0;  // size + 1, padded to a multiple of 8
        uint64_t ticks = 1; // per segment: the time the work may take
        Plan forward, inverse;
        Floats spectra;   // the delay line: `partitions` input spectra, split form
        Floats responses; // the partitions' spectra, scaled by 1 / (2 size)
        Floats sum;
        std::vector<const float*> x, h; // operands of one product-sum call
        // Big levels transform in halves, the even and the odd samples, one half
        // per tick (see forwardPart), so that no tick carries a whole transform.
        bool halves = false;
        Floats even, odd;                  // size samples each
        Floats evenSpectrum, oddSpectrum;  // size / 2 + 1 complex values each
        Floats twiddles;                   // e^(-i pi k / size), k = 0..size
        // Tasks: the forward transform's parts, the products of the partitions,
        // the inverse transform's parts; doneBy[r] = how many are done by the
        // end of tick r.
        std::vector<int32_t> doneBy;
        int32_t forwardParts() const { return halves ? 3 : 1; }
        int32_t inverseParts() const { return halves ? 2 : 1; }
        int32_t newest = 0;       // delay-line slot of the newest spectrum
        uint64_t completed = 0;   // time the segment being worked on completed
    };

    ConvolverKernels kernels{};
    int32_t tick = 1;            // samples between ticks: the first level's partition size
    int32_t head = 0;            // direct-form taps: the tick's worth, or all of a short response
    std::vector<float> reversed; // the head taps, last first
    std::vector<float> history;  // tick - 1 past samples, then the current tick's
    int32_t phase = 0;           // samples into the current tick
    uint64_t now = 0;            // samples since prepare
    std::vector<float> input;    // ring of past input for the transforms
    std::vector<float> output;   // ring of results due, added up by the levels
    uint64_t inputMask = 0, outputMask = 0;
    Floats real;                 // scratch: 2 x the largest size
    Floats complex;              // scratch: largest size + 1 complex values, padded
    std::vector<Level> levels;
    int32_t maxBlock = 0;

    void runTasks(Level& l, int32_t from, int32_t to);
    void forwardPart(Level& l, int32_t part);
    void inversePart(Level& l, int32_t part);
    void addDue(const Level& l, const float* valid);
    void onTick();
};

Convolver::Convolver() = default;
Convolver::~Convolver() = default;
Convolver::Convolver(Convolver&&) noexcept = default;
Convolver& Convolver::operator=(Convolver&&) noexcept = default;

void Convolver::prepare(const std::vector<float>& response, int32_t maxBlock) {
    prepare(response, maxBlock, ConvolverTuning{});
}

void Convolver::prepare(const std::vector<float>& response, int32_t maxBlock, const ConvolverTuning& tuning) {
    auto s = std::make_unique<State>();
    s->kernels = tuning.portableKernels ? portableKernels() : bestKernels();
    s->maxBlock = maxBlock;
    s->tick = std::max<int32_t>(8, int32_t(nextPowerOfTwo(size_t(std::max(tuning.headTaps, 1)))));
    const int32_t tick = s->tick;
    s->head = int32_t(std::min(response.size(), size_t(tick)));
    s->reversed.assign(response.rend() - s->head, response.rend());
    s->history.assign(size_t(tick + tick), 0.0f);

    // The layout of least estimated cost among growth by 2 or 4 and any cap up
    // to the tuning's largest partition.
    std::vector<LevelShape> shapes;
    if (response.size() > size_t(tick)) {
        double best = 0;
        for (int32_t growth : {2, 4})
            for (int32_t largest = tick; largest <= std::max(tick, tuning.largestPartition); largest *= 2) {
                auto candidate = layout(response.size(), tick, growth, largest);
                const double cost = costPerSample(candidate, tick);
                if (shapes.empty() || cost < best) best = cost, shapes = std::move(candidate);
            }
    }

    int32_t largest = tick;
    uint64_t reach = uint64_t(tick);
    for (const LevelShape& shape : shapes) {
        largest = std::max(largest, shape.size);
        reach = std::max<uint64_t>(reach, uint64_t(shape.offset) + shape.size);
    }
    s->real = zeroedFloats(2 * size_t(largest));
    s->complex = zeroedFloats(2 * (size_t(largest) + 8)); // padded bins: a multiple of 8
    s->input.assign(nextPowerOfTwo(4 * size_t(largest)), 0.0f);
    s->inputMask = s->input.size() - 1;
    s->output.assign(nextPowerOfTwo(size_t(reach) + size_t(largest) + size_t(tick)), 0.0f);
    s->outputMask = s->output.size() - 1;

    auto* spectrum = reinterpret_cast<fftwf_complex*>(s->complex.get());
    for (const LevelShape& shape : shapes) {
        State::Level l;
        l.size = shape.size;
        l.offset = shape.offset;
        l.partitions = shape.partitions;
        l.bins = (l.size + 1 + 7) / 8 * 8;
        l.ticks = l.offset >= 2 * l.size ? uint64_t(l.size / tick) : 1;
        l.halves = l.size >= 4096 && l.ticks >= 8;
        Plan whole; // the responses' spectra are made whole in any case
        {
            std::lock_guard<std::mutex> lock(plannerMutex());
            whole.reset(fftwf_plan_dft_r2c_1d(2 * l.size, s->real.get(), spectrum, FFTW_ESTIMATE));
            if (l.halves) {
                l.even = zeroedFloats(size_t(l.size));
                l.odd = zeroedFloats(size_t(l.size));
                l.evenSpectrum = zeroedFloats(size_t(l.size) + 2);
                l.oddSpectrum = zeroedFloats(size_t(l.size) + 2);
                auto* evenSpectrum = reinterpret_cast<fftwf_complex*>(l.evenSpectrum.get());
                l.forward.reset(fftwf_plan_dft_r2c_1d(l.size, l.even.get(), evenSpectrum, FFTW_ESTIMATE));
                l.inverse.reset(fftwf_plan_dft_c2r_1d(l.size, evenSpectrum, l.even.get(), FFTW_ESTIMATE));
            } else {
                l.forward.reset(fftwf_plan_dft_r2c_1d(2 * l.size, s->real.get(), spectrum, FFTW_ESTIMATE));
                l.inverse.reset(fftwf_plan_dft_c2r_1d(2 * l.size, spectrum, s->real.get(), FFTW_ESTIMATE));
            }
        }
        if (!whole || !l.forward || !l.inverse) throw std::runtime_error("cannot plan the transforms");
        if (l.halves) {
            l.twiddles = zeroedFloats(2 * (size_t(l.size) + 1));
            for (int32_t k = 0; k <= l.size; ++k) {
                const double angle = -3.14159265358979323846 * k / l.size;
                l.twiddles[2 * size_t(k)] = float(std::cos(angle));
                l.twiddles[2 * size_t(k) + 1] = float(std::sin(angle));
            }
        }
        const size_t slot = 2 * size_t(l.bins);
        l.spectra = zeroedFloats(slot * l.partitions);
        l.responses = zeroedFloats(slot * l.partitions);
        l.sum = zeroedFloats(slot);
        l.x.resize(size_t(l.partitions));
        l.h.resize(size_t(l.partitions));
        const float scale = 1.0f / float(2 * l.size);
        for (int32_t k = 0; k < l.partitions; ++k) {
            const size_t begin = size_t(l.offset) + size_t(k) * l.size;
            const size_t end = std::min(response.size(), begin + l.size);
            std::fill(s->real.get(), s->real.get() + 2 * l.size, 0.0f);
            std::copy(response.begin() + begin, response.begin() + end, s->real.get());
            fftwf_execute(whole.get());
            float* re = l.responses.get() + slot * k;
            float* im = re + l.bins;
            for (int32_t b = 0; b <= l.size; ++b) {
                re[b] = spectrum[b][0] * scale;
                im[b] = spectrum[b][1] * scale;
            }
        }
        s->levels.push_back(std::move(l));
    }

    // Spread each level's tasks over its segment, biggest level first, each
    // task on the least loaded tick of its allowed range. A level with T ticks
    // repeats every T ticks, so the load is tracked over the longest period.
    size_t period = 1;
    for (const State::Level& l : s->levels) period = std::max<size_t>(period, l.ticks);
    std::vector<double> load(period, 0.0);
    std::vector<size_t> order(s->levels.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return s->levels[a].size > s->levels[b].size; });
    for (size_t index : order) {
        State::Level& l = s->levels[index];
        const auto ticks = size_t(l.ticks);
        // Each part of a transform in its own share of the first (forward) or
        // second (inverse) half of the segment; the products in between.
        const double part = l.halves ? fftCost(l.size) + 2.0 * l.size : fftCost(2 * l.size) + 2.0 * l.size;
        const double product = binUnit * (l.size + 1.0);
        auto worst = [&](size_t r) {
            double w = 0;
            for (size_t t = r; t < period; t += ticks) w = std::max(w, load[t]);
            return w;
        };
        auto add = [&](size_t r, double cost) {
            for (size_t t = r; t < period; t += ticks) load[t] += cost;
        };
        auto quietest = [&](size_t from, size_t to) { // in [from, to]
            size_t best = from;
            for (size_t r = from + 1; r <= to; ++r)
                if (worst(r) < worst(best)) best = r;
            return best;
        };
        auto place = [&](size_t begin, size_t length, int32_t parts, int32_t p) { // part p of `parts` in [begin, begin + length)
            const size_t r = quietest(begin + length * size_t(p) / size_t(parts), begin + length * size_t(p + 1) / size_t(parts) - 1);
            add(r, part);
            return r;
        };
        std::vector<int32_t> count(ticks, 0);
        size_t first = 0;
        for (int32_t p = 0; p < l.forwardParts(); ++p) ++count[first = place(0, (ticks + 1) / 2, l.forwardParts(), p)];
        std::vector<size_t> inverseTicks;
        for (int32_t p = 0; p < l.inverseParts(); ++p) inverseTicks.push_back(place(ticks / 2, ticks - ticks / 2, l.inverseParts(), p));
        const size_t last = inverseTicks.front();
        for (int32_t k = 0; k < l.partitions; ++k) {
            const size_t r = quietest(first, last);
            add(r, product);
            ++count[r];
        }
        for (size_t r : inverseTicks) ++count[r];
        l.doneBy.assign(ticks, 0);
        int32_t done = 0;
        for (size_t r = 0; r < ticks; ++r) l.doneBy[r] = done += count[r];
    }

    state_ = std::move(s);
}

void Convolver::State::forwardPart(Level& l, int32_t part) {
    // The segment and the one before it, from the input ring.
    const uint64_t from = l.completed - 2 * uint64_t(l.size);
    float* re = l.spectra.get() + 2 * size_t(l.bins) * size_t(l.newest + 1 == l.partitions ? 0 : l.newest + 1);
    if (!l.halves) {
        const size_t length = 2 * size_t(l.size);
        const size_t start = size_t(from & inputMask);
        const size_t first = std::min(length, input.size() - start);
        std::memcpy(real.get(), input.data() + start, first * sizeof(float));
        std::memcpy(real.get() + first, input.data(), (length - first) * sizeof(float));
        fftwf_execute(l.forward.get());
        kernels.split(complex.get(), re, re + l.bins, l.bins);
    } else if (part == 0) {
        // Pairs of samples split like complex values. The window starts at a
        // multiple of `size`, so it wraps around the ring, if at all, in its middle.
        const size_t start = size_t(from & inputMask);
        const int32_t pairs = int32_t(std::min(2 * size_t(l.size), input.size() - start) / 2);
        kernels.split(input.data() + start, l.even.get(), l.odd.get(), pairs);
        if (pairs < l.size) kernels.split(input.data(), l.even.get() + pairs, l.odd.get() + pairs, l.size - pairs);
        fftwf_execute(l.forward.get());
        return;
    } else if (part == 1) {
        fftwf_execute_dft_r2c(l.forward.get(), l.odd.get(), reinterpret_cast<fftwf_complex*>(l.oddSpectrum.get()));
        return;
    } else {
        // X[k] = E[k] + w^k O[k], the halves' spectra being Hermitian (E[size - k] = E[k]*).
        const float* e = l.evenSpectrum.get();
        const float* o = l.oddSpectrum.get();
        const float* w = l.twiddles.get();
        float* im = re + l.bins;
        for (int32_t k = 0; k <= l.size; ++k) {
            const bool low = 2 * k <= l.size;
            const size_t j = 2 * size_t(low ? k : l.size - k);
            const float sign = low ? 1.0f : -1.0f;
            const float er = e[j], ei = sign * e[j + 1], odr = o[j], odi = sign * o[j + 1];
            const float wr = w[2 * k], wi = w[2 * k + 1];
            re[k] = er + wr * odr - wi * odi;
            im[k] = ei + wr * odi + wi * odr;
        }
    }
    l.newest = l.newest + 1 == l.partitions ? 0 : l.newest + 1;
    std::fill(l.sum.get(), l.sum.get() + 2 * size_t(l.bins), 0.0f);
}

void Convolver::State::inversePart(Level& l, int32_t part) {
    if (!l.halves) {
        kernels.join(l.sum.get(), l.sum.get() + l.bins, complex.get(), l.bins);
        fftwf_execute(l.inverse.get());
        addDue(l, real.get() + l.size); // the second half is the valid part
    } else if (part == 0) {
        // The halves' spectra: E[k] = Y[k] + Y[size - k]*, O[k] = (Y[k] - Y[size - k]*) w^-k.
        const float* re = l.sum.get();
        const float* im = re + l.bins;
        const float* w = l.twiddles.get();
        float* e = l.evenSpectrum.get();
        float* o = l.oddSpectrum.get();
        for (int32_t k = 0; 2 * k <= l.size; ++k) {
            const size_t c = size_t(l.size - k);
            const float sr = re[k] + re[c], si = im[k] - im[c];
            const float dr = re[k] - re[c], di = im[k] + im[c];
            const float wr = w[2 * k], wi = -w[2 * k + 1];
            e[2 * k] = sr;
            e[2 * k + 1] = si;
            o[2 * k] = dr * wr - di * wi;
            o[2 * k + 1] = dr * wi + di * wr;
        }
        fftwf_execute(l.inverse.get());
    } else {
        fftwf_execute_dft_c2r(l.inverse.get(), reinterpret_cast<fftwf_complex*>(l.oddSpectrum.get()), l.odd.get());
        // The valid second half, interleaved again: even samples from one half, odd from the other.
        const int32_t middle = l.size / 2;
        kernels.join(l.even.get() + middle, l.odd.get() + middle, real.get(), middle);
        addDue(l, real.get());
    }
}

// Adds a level's result to the output ring, where it is due: `offset` after
// the start of its segment.
void Convolver::State::addDue(const Level& l, const float* valid) {
    const uint64_t due = l.completed - uint64_t(l.size) + uint64_t(l.offset);
    const size_t start = size_t(due & outputMask);
    const size_t first = std::min(size_t(l.size), output.size() - start);
    kernels.add(valid, output.data() + start, int(first));
    kernels.add(valid + first, output.data(), int(size_t(l.size) - first));
}

void Convolver::State::runTasks(Level& l, int32_t from, int32_t to) {
    const int32_t products = l.forwardParts();
    const int32_t inverse = products + l.partitions;
    for (int32_t task = from; task < to;) {
        if (task < products) {
            forwardPart(l, task++);
        } else if (task < inverse) {
            const int32_t k0 = task - products;
            const int32_t k1 = std::min(to, inverse) - products;
            const size_t slot = 2 * size_t(l.bins);
            for (int32_t k = k0; k < k1; ++k) {
                int32_t age = l.newest - k;
                if (age < 0) age += l.partitions;
                l.x[size_t(k - k0)] = l.spectra.get() + slot * size_t(age);
                l.h[size_t(k - k0)] = l.responses.get() + slot * size_t(k);
            }
            kernels.multiplyAdd(l.x.data(), l.h.data(), k1 - k0, l.sum.get(), l.bins);
            task = products + k1;
        } else {
            inversePart(l, task++ - inverse);
        }
    }
}

void Convolver::State::onTick() {
    const uint64_t index = now / uint64_t(tick);
    for (Level& l : levels) {
        const auto r = size_t(index % l.ticks);
        if (r == 0) l.completed = now;
        runTasks(l, r == 0 ? 0 : l.doneBy[r - 1], l.doneBy[r]);
    }
}

void Convolver::process(const float* in, float* out, int32_t n) {
    State* s = state_.get();
    if (!s) { // unprepared: silence
        std::memset(out, 0, sizeof(float) * size_t(std::max(n, 0)));
        return;
    }
    int32_t pos = 0;
    while (pos < n) {
        const int32_t step = std::min(n - pos, s->tick - s->phase);
        // Keep the input first: the output may overwrite it.
        float* past = s->history.data() + (s->tick - 1) + s->phase;
        std::memcpy(past, in + pos, sizeof(float) * size_t(step));
        const size_t at = size_t(s->now & s->inputMask);
        const size_t first = std::min(size_t(step), s->input.size() - at);
        std::memcpy(s->input.data() + at, in + pos, sizeof(float) * first);
        std::memcpy(s->input.data(), in + pos + first, sizeof(float) * (size_t(step) - first));

        // Results of the partitions, then the head on top.
        float* y = out + pos;
        const size_t due = size_t(s->now & s->outputMask);
        const size_t ready = std::min(size_t(step), s->output.size() - due);
        std::memcpy(y, s->output.data() + due, sizeof(float) * ready);
        std::memset(s->output.data() + due, 0, sizeof(float) * ready);
        std::memcpy(y + ready, s->output.data(), sizeof(float) * (size_t(step) - ready));
        std::memset(s->output.data(), 0, sizeof(float) * (size_t(step) - ready));
        if (s->head > 0)
            s->kernels.head(s->reversed.data(), s->head, past - (s->head - 1), y, step);

        pos += step;
        s->phase += step;
        s->now += uint64_t(step);
        if (s->phase == s->tick) {
            s->onTick();
            std::memmove(s->history.data(), s->history.data() + s->tick, sizeof(float) * size_t(s->tick - 1));
            s->phase = 0;
        }
    }
}

void measureConvolverTransforms(int32_t largestPartition) {
    const int32_t largest = int32_t(nextPowerOfTwo(size_t(std::max(largestPartition, 8))));
    Floats real = zeroedFloats(2 * size_t(largest));
    Floats complex = zeroedFloats(2 * (size_t(largest) + 1));
    auto* spectrum = reinterpret_cast<fftwf_complex*>(complex.get());
    for (int32_t size = 8; size <= largest; size *= 2) {
        std::lock_guard<std::mutex> lock(plannerMutex());
        fftwf_destroy_plan(fftwf_plan_dft_r2c_1d(2 * size, real.get(), spectrum, FFTW_MEASURE));
        fftwf_destroy_plan(fftwf_plan_dft_c2r_1d(2 * size, spectrum, real.get(), FFTW_MEASURE));
    }
}

std::string Convolver::describe() const {
    if (!state_) return "unprepared";
    std::ostringstream text;
    text << "head " << state_->head;
    for (const State::Level& l : state_->levels) text << ", " << l.size << "x" << l.partitions << "@" << l.offset;
    text << (state_->kernels.head == portableKernels().head ? " (portable)" : " (AVX2)");
    return text.str();
}

} // namespace corvena
