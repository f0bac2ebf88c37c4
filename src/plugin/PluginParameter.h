#pragma once
#include <cstdint>
#include <string>

namespace corvena {

// One parameter of the hosted plug-in as its edit controller describes it.
// Values are normalised (0..1), as the controller reports them.
struct PluginParameter {
    uint32_t id = 0;
    std::string title;
    std::string units;
    std::string display; // the controller's text for `value`
    double value = 0;
    double defaultValue = 0;
    int32_t steps = 0;   // 0: continuous
    bool readOnly = false;
};

} // namespace corvena
