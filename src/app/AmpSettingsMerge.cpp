#include "app/AmpSettingsMerge.h"
#include "app/RequestFields.h"

namespace corvena {

AmpSettings mergeAmpSettings(const json& request, const AmpSettings& current) {
    AmpSettings s = current;
    if (request.contains("model")) {
        const std::string model = readString(request, "model", "");
        s.model = model == "clean" ? AmpModel::Clean : model == "capture" ? AmpModel::Capture : AmpModel::Drive;
    }
    s.gain = readFloat(request, "gain", s.gain);
    s.bass = readFloat(request, "bass", s.bass);
    s.mid = readFloat(request, "mid", s.mid);
    s.treble = readFloat(request, "treble", s.treble);
    s.level = readFloat(request, "level", s.level);
    s.gate = readFloat(request, "gate", s.gate);
    return s;
}

} // namespace corvena
