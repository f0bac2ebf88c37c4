#pragma once
#include <string>

namespace corvena {

// A frequency as the nearest equal-tempered note: "A4", "C#3" (sharps,
// scientific octave numbers) and how far off it is, -50 to +50 cents.
struct TunerReading {
    std::string note;
    double cents = 0.0;
    double frequency = 0.0;

    // `reference` is A4 in Hz.
    static TunerReading of(double frequency, double reference);
};

} // namespace corvena
