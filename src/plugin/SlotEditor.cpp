#include "plugin/PluginSlot.h"

namespace corvena {
// Placeholder until the editor window lands.
bool PluginSlot::openEditor(std::string& error) { error = "no plugin loaded"; return false; }
void PluginSlot::closeEditor() {}
void PluginSlot::pumpEditor() {}
bool PluginSlot::isEditorOpen() const { return false; }
} // namespace corvena
