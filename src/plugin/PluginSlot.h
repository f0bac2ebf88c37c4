#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "plugin/PluginParameter.h"

namespace corvena {

class Module;

// The single VST 3 plug-in slot. All state lives in one private record that is
// allocated with the slot and never moves, so the audio thread may keep using it.
class PluginSlot {
public:
    PluginSlot();
    ~PluginSlot();
    PluginSlot(const PluginSlot&) = delete;
    PluginSlot& operator=(const PluginSlot&) = delete;

    // Control thread. Loads the first audio-effect class of the module (an
    // instrument is no effect: one without an audio input has no place in the
    // chain), or, with `classIndex`, that class of the factory.
    bool load(const std::string& path, std::string& error, int classIndex = -1);
    // Control thread: a second instance of the class `live` holds, from the
    // same module (for offline rendering beside the live slot).
    bool loadInstanceOf(const PluginSlot& live, std::string& error);
    // Before load: processing is offline (faster or slower than real time).
    void setOffline(bool offline);
    void prepare(double sampleRate, int32_t maxBlockSize);
    void unload();
    bool isReady() const;
    // A plug-in is held (ready or not).
    bool isLoaded() const;
    std::string pluginName() const;
    std::string pluginPath() const;

    // Editor window (control thread).
    bool openEditor(std::string& error);
    void closeEditor();
    void pumpEditor();
    bool isEditorOpen() const;
    // The open view's size in pixels (false when no editor is open).
    bool editorSize(int32_t& width, int32_t& height) const;

    // Parameters and state (control thread). Without a plug-in, or for the
    // parameters without an edit controller, they fail with "no plugin loaded".
    bool parameters(std::vector<PluginParameter>& out, std::string& error) const;
    // Sets the controller's value (clamped to 0..1) and queues the same edit
    // for the processor, as an edit in the editor does; `now` is the parameter
    // as the controller then reports it.
    bool setParameter(uint32_t id, double value, PluginParameter& now, std::string& error);
    // The class id and the component's and controller's states in one
    // versioned container (binary; see SlotState.cpp).
    bool getState(std::string& bytes, std::string& error);
    // Restores such a container. A failure leaves the plug-in as it was.
    bool setState(const std::string& bytes, std::string& error);

    // Audio thread: true when left and right hold n processed samples.
    bool process(const float* input, float* left, float* right, int32_t n);

    struct Record;

private:
    bool instantiate(std::shared_ptr<Module> module, const std::string& path, int classIndex, std::string& error);
    std::unique_ptr<Record> record_;
};

// Plug-in hosting is always available in this build.
bool pluginHostingAvailable();

} // namespace corvena
