#include "plugin/PluginSlot.h"

namespace corvena {
// Placeholder until plug-in hosting lands.
struct PluginSlot::Record {};
PluginSlot::PluginSlot() : record_(std::make_unique<Record>()) {}
PluginSlot::~PluginSlot() = default;
bool PluginSlot::load(const std::string& path, std::string& error) { error = "could not load " + path; return false; }
void PluginSlot::prepare(double, int32_t) {}
void PluginSlot::unload() {}
bool PluginSlot::isReady() const { return false; }
std::string PluginSlot::pluginName() const { return {}; }
std::string PluginSlot::pluginPath() const { return {}; }
bool PluginSlot::process(const float*, float*, float*, int32_t) { return false; }
bool pluginHostingAvailable() { return true; }
} // namespace corvena
