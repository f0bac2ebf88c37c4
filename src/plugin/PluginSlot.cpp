#include "plugin/PluginSlot.h"
#include "plugin/SlotRecord.h"

namespace corvena {
PluginSlot::Record::Record() {
    changeTransfer.setMaxParameters(2000);
    processContext.sampleRate = 48000.0;
    processContext.tempo = 120.0;
    processData.inputParameterChanges = &inputChanges;
    processData.processContext = &processContext;
}
// Lifecycle and processing follow.
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
