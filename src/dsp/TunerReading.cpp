#include "dsp/TunerReading.h"

#include <cmath>

namespace corvena {

TunerReading TunerReading::of(double frequency, double reference) {
    static const char* const names[12] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    const double semitones = 12.0 * std::log2(frequency / reference) + 69.0; // MIDI note number
    const double nearest = std::round(semitones);
    const long key = static_cast<long>(nearest);
    const long octave = (key >= 0 ? key / 12 : (key - 11) / 12) - 1;
    TunerReading r;
    r.note = std::string(names[((key % 12) + 12) % 12]) + std::to_string(octave);
    r.cents = 100.0 * (semitones - nearest);
    r.frequency = frequency;
    return r;
}

} // namespace corvena
