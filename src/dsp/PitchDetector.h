#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace corvena {

// Pitch of a single note, 30 Hz to 1400 Hz, from the last 100 ms of a signal:
// the normalised square-difference function (autocorrelation through FFTW over
// the energy of both overlapping parts), its first strong maximum, parabolic
// sub-sample interpolation, refined on the lowest partials at the furthest
// multiple of the period.
// Runs on the control thread; nothing here is real-time safe.
class PitchDetector {
public:
    static constexpr double lowestFrequency = 30.0;
    static constexpr double highestFrequency = 1400.0;
    // Window amplitude (peak of the equivalent sine) below which nothing is read: -60 dBFS.
    static constexpr double minimumAmplitude = 0.001;

    PitchDetector();
    ~PitchDetector();
    PitchDetector(const PitchDetector&) = delete;
    PitchDetector& operator=(const PitchDetector&) = delete;

    // Sizes the window and plans the transforms. FFTW's planner is not
    // thread-safe: every detector must be prepared on the same thread.
    void prepare(double sampleRate);
    // Empties the window and forgets the last reading.
    void reset();
    // Appends samples to the window (older ones fall out).
    void process(const float* samples, int32_t count);
    // The frequency of the window's note in Hz; nothing for silence, noise or
    // several notes. A reading close to the previous one is smoothed gently.
    std::optional<double> analyse();

    int32_t windowLength() const { return window_; }

private:
    std::optional<double> periodOfWindow();
    // n(t) of signal[0, w) into nsdf_, lags 0 to lagLimit + 1; returns its energy.
    double squareDifference(const double* signal, int32_t w, int32_t lagLimit);
    // The period, refined at the furthest multiple within lagLimit.
    double refine(double period, int32_t lagLimit) const;

    struct Plans;
    double sampleRate_ = 0.0;
    int32_t window_ = 0;
    int32_t fftSize_ = 0;
    int32_t minLag_ = 0;
    int32_t maxLag_ = 0;
    int32_t lagLimit_ = 0; // longest lag the refinement may use
    std::vector<float> history_;
    std::vector<double> energy_; // running sum of squares of the window
    std::vector<double> nsdf_;
    std::vector<double> work_;   // the sounding part, mean removed (then low-passed)
    std::unique_ptr<Plans> plans_;
    double last_ = 0.0; // previous reading, 0 when none
};

} // namespace corvena
