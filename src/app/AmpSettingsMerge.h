#pragma once
#include "app/Protocol.h"
#include "dsp/AmpSettings.h"

namespace corvena {

// `current` with every field replaced whose key is present in `request`.
AmpSettings mergeAmpSettings(const json& request, const AmpSettings& current);

} // namespace corvena
