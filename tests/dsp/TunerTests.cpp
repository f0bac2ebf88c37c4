// The tuner's detector and note names, fed in blocks of one level-event period
// (50 ms) and read after each, as the main loop does.
#include "dsp/PitchDetector.h"
#include "dsp/TunerReading.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <optional>
#include <random>
#include <vector>

namespace corvena {
namespace {

double noteFrequency(int midi, double reference = 440.0) { return reference * std::pow(2.0, (midi - 69) / 12.0); }

struct Event {
    double seconds;                        // stream time of the event
    double amplitude;                      // sqrt(2 * mean square) of the last 100 ms
    std::optional<TunerReading> reading;
};

// `signal(i)` for `seconds`, one reading every 50 ms.
std::vector<Event> listen(double rate, double seconds, const std::function<double(size_t)>& signal,
                          double reference = 440.0) {
    PitchDetector detector;
    detector.prepare(rate);
    const size_t block = static_cast<size_t>(std::lround(rate / 20.0));
    const size_t total = static_cast<size_t>(seconds * rate);
    std::vector<float> x(total);
    for (size_t i = 0; i < total; ++i) x[i] = static_cast<float>(signal(i));
    std::vector<Event> events;
    for (size_t at = 0; at + block <= total; at += block) {
        detector.process(x.data() + at, static_cast<int32_t>(block));
        const size_t end = at + block, span = std::min<size_t>(end, static_cast<size_t>(rate / 10));
        double energy = 0.0;
        for (size_t i = end - span; i < end; ++i) energy += static_cast<double>(x[i]) * x[i];
        const std::optional<double> f = detector.analyse();
        events.push_back({static_cast<double>(end) / rate, std::sqrt(2.0 * energy / span),
                          f ? std::optional<TunerReading>(TunerReading::of(*f, reference)) : std::nullopt});
    }
    return events;
}

TEST(Tuner, SteadySinesReadToATenthOfACentAtEveryRate) {
    const struct { double frequency; int midi; const char* note; } notes[] = {
        {30.87, 23, "B0"},  {41.20, 28, "E1"},  {82.41, 40, "E2"},  {110.00, 45, "A2"},  {146.83, 50, "D3"},
        {196.00, 55, "G3"}, {246.94, 59, "B3"}, {329.63, 64, "E4"}, {659.26, 76, "E5"}, {1318.51, 88, "E6"}};
    for (double rate : {48000.0, 44100.0, 96000.0, 192000.0}) {
        for (const auto& n : notes) {
            double worst = 0.0, jitter = 0.0;
            for (double detune : {0.0, -23.7, 8.4}) {
                const double f = n.frequency * std::pow(2.0, detune / 1200.0);
                const double truth = 1200.0 * std::log2(f / noteFrequency(n.midi));
                const auto events = listen(rate, 0.5, [&](size_t i) { return 0.5 * std::sin(2.0 * M_PI * f * i / rate + 1.0); });
                for (size_t e = 2; e < events.size(); ++e) { // from 150 ms, the window full
                    SCOPED_TRACE(testing::Message() << rate << " Hz, " << f << " Hz, event " << e);
                    ASSERT_TRUE(events[e].reading);
                    EXPECT_EQ(events[e].reading->note, n.note);
                    worst = std::max(worst, std::fabs(events[e].reading->cents - truth));
                    if (e > 2) jitter = std::max(jitter, std::fabs(events[e].reading->cents - events[e - 1].reading->cents));
                }
            }
            EXPECT_LE(worst, 0.1) << n.note << " at " << rate;
            EXPECT_LE(jitter, 0.2) << n.note << " at " << rate;
            std::printf("tuner accuracy: %.0f Hz %s worst %.4f cents, jitter %.4f cents\n", rate, n.note, worst, jitter);
        }
    }
}

TEST(Tuner, PluckedOpenStringsHaveNoOctaveErrorAndAreFollowedUntilTheyFade) {
    const double rate = 48000.0;
    const struct { int midi; const char* note; } strings[] = {{40, "E2"}, {45, "A2"}, {50, "D3"}, {55, "G3"}, {59, "B3"}, {64, "E4"}};
    for (const auto& s : strings) {
        const double f0 = noteFrequency(s.midi), attack = 0.2 + 317.0 / rate, inharmonicity = 8e-5;
        // Second partial twice as loud as the fundamental; higher partials die faster.
        auto pluck = [&](size_t i) {
            const double t = static_cast<double>(i) / rate - attack;
            if (t < 0.0) return 0.0;
            double v = 0.0;
            for (int k = 1; k <= 10; ++k) {
                const double a = k == 1 ? 0.5 : k == 2 ? 1.0 : 1.2 / k;
                const double fk = k * f0 * std::sqrt(1.0 + inharmonicity * k * k);
                v += a * std::exp(-t * 3.5 * (1.0 + 0.6 * (k - 1))) * std::sin(2.0 * M_PI * fk * t + 0.7 * k);
            }
            return 0.25 * v;
        };
        const auto events = listen(rate, 2.6, pluck);
        double start = 0.0, worst = 0.0;
        bool firstOnTime = false;
        for (const Event& e : events) {
            const double since = e.seconds - attack;
            if (since < 0.0) {
                EXPECT_FALSE(e.reading) << s.note << " before the pluck";
                continue;
            }
            if (start == 0.0 && since >= 0.1) start = e.amplitude;
            SCOPED_TRACE(testing::Message() << s.note << " " << since << " s after the pluck, amplitude " << e.amplitude);
            if (since >= 0.15 && e.amplitude >= 0.01 * start) {
                firstOnTime = firstOnTime || since < 0.2;
                ASSERT_TRUE(e.reading);
                EXPECT_EQ(e.reading->note, s.note);
                worst = std::max(worst, std::fabs(e.reading->cents));
            } else if (e.amplitude > 0.002) { // -54 dBFS: still followed
                ASSERT_TRUE(e.reading);
                EXPECT_EQ(e.reading->note, s.note);
            } else if (e.amplitude < 0.0007) {
                EXPECT_FALSE(e.reading) << "faded below -60 dBFS";
            }
        }
        EXPECT_TRUE(firstOnTime) << s.note;
        EXPECT_LE(worst, 1.0) << s.note;
        EXPECT_LT(events.back().amplitude, 0.0005) << s.note << " did not fade";
        std::printf("tuner plucked %s: worst %.3f cents\n", s.note, worst);
    }
}

TEST(Tuner, NothingForSilenceNoiseAndChordsAndNamesFollowTheReference) {
    const double rate = 48000.0;
    std::mt19937 random(5);
    std::normal_distribution<double> gaussian(0.0, 0.1); // -20 dBFS RMS
    const std::function<double(size_t)> nothing[] = {
        [](size_t) { return 0.0; },
        [&](size_t) { return gaussian(random); },
        [&](size_t i) { // major third E2 + G#2
            return 0.4 * std::sin(2.0 * M_PI * noteFrequency(40) * i / rate) + 0.4 * std::sin(2.0 * M_PI * noteFrequency(44) * i / rate);
        },
        [&](size_t i) { // tritone A3 + D#4
            return 0.4 * std::sin(2.0 * M_PI * noteFrequency(57) * i / rate) + 0.3 * std::sin(2.0 * M_PI * noteFrequency(63) * i / rate);
        },
        [&](size_t i) { return 0.0004 * std::sin(2.0 * M_PI * 110.0 * i / rate); }, // -68 dBFS
    };
    for (size_t k = 0; k < std::size(nothing); ++k)
        for (const Event& e : listen(rate, 0.5, nothing[k])) EXPECT_FALSE(e.reading) << "signal " << k << " at " << e.seconds;

    const auto a432 = listen(rate, 0.3, [&](size_t i) { return 0.3 * std::sin(2.0 * M_PI * 432.0 * i / rate); }, 432.0);
    ASSERT_TRUE(a432.back().reading);
    EXPECT_EQ(a432.back().reading->note, "A4");
    EXPECT_NEAR(a432.back().reading->cents, 0.0, 0.05);
    EXPECT_NEAR(a432.back().reading->frequency, 432.0, 0.02);

    EXPECT_EQ(TunerReading::of(277.18, 440.0).note, "C#4");
    EXPECT_EQ(TunerReading::of(noteFrequency(22) * 1.0285, 440.0).note, "A#0"); // +48.7 cents
    EXPECT_NEAR(TunerReading::of(noteFrequency(70) * 1.0295, 440.0).cents, -49.7, 0.1); // nearer B4
}

} // namespace
} // namespace corvena
